// Small building blocks of the window: a segmented picker, cards, texts in
// the window's type scale, the round dots of the status lines, a layout that
// wraps its items and the alert dialog.
#pragma once

#include <QButtonGroup>
#include <QDialog>
#include <QFrame>
#include <QLabel>
#include <QLayout>
#include <QPushButton>
#include <QWidget>

#include <functional>
#include <string>
#include <vector>

class QHBoxLayout;

namespace klarion::qt {

// Font sizes standing in for the platform's text styles.
enum class TextStyle { largeTitle, title2, title3, headline, subheadline, body, caption, caption2 };

// A label drawn as plain text: names, messages and file names are shown as
// typed, never read as markup.
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

// Lays its items out left to right and starts a new line where the width
// ends; its height follows from the width it is given.
class FlowLayout : public QLayout {
public:
    FlowLayout(QWidget* parent, int horizontalSpacing, int verticalSpacing);
    ~FlowLayout() override;
    void addItem(QLayoutItem* item) override;
    int count() const override;
    QLayoutItem* itemAt(int index) const override;
    QLayoutItem* takeAt(int index) override;
    Qt::Orientations expandingDirections() const override { return {}; }
    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;
    QSize minimumSize() const override;
    QSize sizeHint() const override;
    void setGeometry(const QRect& rect) override;

private:
    int arrange(const QRect& rect, bool apply) const;
    QList<QLayoutItem*> items_;
    int horizontal_, vertical_;
};

// An alert over a window: its title as a bold headline above the message
// (window managers often draw no title bar on a dialog), then its buttons,
// right-aligned. Both texts are plain text. Opened with open(); Escape or
// closing the window rejects it with no button clicked.
class AlertDialog : public QDialog {
public:
    AlertDialog(const QString& objectName, const QString& title, const QString& message, QWidget* parent);
    // Buttons from left to right; `name` is their object name.
    QPushButton* addButton(const QString& label, const QString& name, bool isDefault = false, bool destructive = false);
    QPushButton* clickedButton() const { return clicked_; }

private:
    QHBoxLayout* buttons_;
    QPushButton* clicked_ = nullptr;
};

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
