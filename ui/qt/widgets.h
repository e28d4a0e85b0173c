// Small building blocks of the window: a segmented picker, cards, texts in
// the window's type scale and the round dots of the status lines.
#pragma once

#include <QButtonGroup>
#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <QWidget>

#include <functional>
#include <string>
#include <vector>

namespace klarion::qt {

// Font sizes standing in for the platform's text styles.
enum class TextStyle { largeTitle, title2, title3, headline, subheadline, body, caption, caption2 };

QLabel* text(const QString& content, TextStyle style = TextStyle::body, bool bold = false, const QString& color = {});
void styleText(QLabel* label, TextStyle style, bool bold = false, const QString& color = {}, int weight = -1);

inline QString qs(const std::string& s) { return QString::fromStdString(s); }
inline std::string ss(const QString& s) { return s.toStdString(); }

// Named colours.
inline const QString green = "#28a745", red = "#d92c20", orange = "#e67e00", blue = "#0a6ed1", secondary = "#6b6b70";

// A row of exclusive toggle buttons. Shows the segment of a value, or none
// when the value has no segment. `chosen` runs on a click only.
class Segmented : public QWidget {
public:
    struct Segment {
        QString title;
        QString value;
    };
    explicit Segmented(const QString& objectName, QWidget* parent = nullptr);
    void setSegments(const std::vector<Segment>& segments);
    void select(const QString& value);
    QString selected() const;
    QPushButton* button(const QString& value) const;
    std::function<void(const QString& value)> chosen;

private:
    std::vector<Segment> segments_;
    std::vector<QPushButton*> buttons_;
};

// A rounded card with a background colour (CSS colour with alpha).
QFrame* card(const QString& objectName, const QString& background, int radius = 12);

// A filled circle of the given diameter and colour.
QLabel* dot(int diameter, const QString& color, const QString& objectName = {});
void setDotColor(QLabel* dot, const QString& color);
QPixmap dotPixmap(int diameter, const QString& color);

QFrame* divider();

}  // namespace klarion::qt

#include "ui/panel/panel_sections.h"

namespace klarion::qt {

// Draws a QR matrix without interpolation on a white square with a quiet
// zone of two modules.
class QRWidget : public QWidget {
public:
    explicit QRWidget(QWidget* parent = nullptr);
    void setMatrix(QRMatrix matrix, QString text);
    const QRMatrix& matrix() const { return matrix_; }
    const QString& encodedText() const { return text_; }
    // The code as a black and white image, `scale` pixels per module.
    QImage image(int scale) const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QRMatrix matrix_;
    QString text_;
};

}  // namespace klarion::qt
