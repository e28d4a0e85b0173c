// The journal window ("Journal de débogage"): switch, filter, auto-scroll,
// counts, clear and export in the header; the placeholder, the empty state
// or the entry list; the counts in the footer. Closing it destroys it: the
// filter and the auto-scroll box start afresh in the next one.
#pragma once

#include <QWidget>

#include <functional>
#include <optional>
#include <string>

#include "ui/panel/content_view.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPropertyAnimation;
class QPushButton;
class QStackedWidget;
class QTextBrowser;
class QToolButton;

namespace klarion::qt {

class JournalWindow : public QWidget {
public:
    JournalWindow(ContentView& view, std::function<void(const std::function<void()>&)> act, QWidget* parent = nullptr);
    void redraw();

    // Auto-scroll: the list glides to its end in this time.
    static constexpr int followMilliseconds = 150;

private:
    void follow();

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
    QPropertyAnimation* scroll_ = nullptr;
    bool following_ = false;  // new entries arrived with "Auto-scroll" on: the list keeps to its end
    // What the list shows: rebuilt only when these change.
    std::string shownFilter_;
    size_t shownCount_ = 0;
    std::optional<std::string> shownNewest_;
    // The newest entry of the journal at the last redraw: another one means
    // new entries (the count alone stays at 500 once the journal is full).
    std::optional<std::string> newest_;
    bool drawn_ = false;
};

}  // namespace klarion::qt
