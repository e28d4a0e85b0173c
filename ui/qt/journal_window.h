// The journal window ("Journal de débogage"): switch, filter, auto-scroll,
// counts, clear and export in the header; the placeholder, the empty state
// or the entry list; the counts in the footer.
#pragma once

#include <QWidget>

#include <functional>

#include "ui/panel/content_view.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QStackedWidget;
class QTextBrowser;
class QToolButton;

namespace klarion::qt {

class JournalWindow : public QWidget {
public:
    JournalWindow(ContentView& view, std::function<void(const std::function<void()>&)> act, QWidget* parent = nullptr);
    void redraw();

protected:
    void showEvent(QShowEvent* event) override;

private:
    ContentView& view_;
    std::function<void(const std::function<void()>&)> act_;
    QCheckBox* enabled_ = nullptr;
    QLineEdit* filter_ = nullptr;
    QCheckBox* autoScroll_ = nullptr;
    QLabel* errors_ = nullptr;
    QLabel* warnings_ = nullptr;
    QToolButton* clear_ = nullptr;
    QToolButton* export_ = nullptr;
    QStackedWidget* content_ = nullptr;
    QLabel* emptyText_ = nullptr;
    QTextBrowser* list_ = nullptr;
    QLabel* footer_ = nullptr;
    QLabel* footerFiltered_ = nullptr;
    size_t lastCount_ = 0;
    bool countSeen_ = false;
};

}  // namespace klarion::qt
