#include "ui/qt/journal_window.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPropertyAnimation>
#include <QScrollBar>
#include <QStackedWidget>
#include <QStyle>
#include <QTextBrowser>
#include <QToolButton>
#include <QVBoxLayout>

#include "ui/panel/journal_view.h"
#include "ui/qt/widgets.h"

namespace klarion::qt {

namespace {

QString levelColor(AppLogLevel level) {
    switch (level) {
        case AppLogLevel::warn: return orange;
        case AppLogLevel::error: return red;
        case AppLogLevel::debug: return "#8e8e93";
        case AppLogLevel::info: break;
    }
    return "#1d1d1f";
}

QString rowTint(AppLogLevel level) {
    if (level == AppLogLevel::warn) return "rgba(230, 126, 0, 0.05)";
    if (level == AppLogLevel::error) return "rgba(217, 44, 32, 0.08)";
    return "transparent";
}

QString rowsHtml(const std::vector<AppLogEntry>& entries) {
    QString html =
        "<table width=\"100%\" cellspacing=\"0\" cellpadding=\"3\" style=\"font-family: monospace; font-size: 9pt;\">";
    for (const AppLogEntry& entry : entries) {
        const QString color = levelColor(entry.level);
        html += QString(
                    "<tr style=\"background: %1\"><td width=\"100\" valign=\"top\" style=\"color: %2\">%3</td>"
                    "<td width=\"38\" align=\"center\" valign=\"top\" style=\"color: %4\"><b>%5</b></td>"
                    "<td valign=\"top\" style=\"color: %4; white-space: pre-wrap\">%6</td></tr>")
                    .arg(rowTint(entry.level), secondary, qs(formatLogTime(entry.timestamp)), color,
                         qs(std::string(toString(entry.level))).toHtmlEscaped().replace(" ", "&nbsp;"),
                         qs(entry.message).toHtmlEscaped());
    }
    return html + "</table>";
}

QWidget* centred(std::initializer_list<QWidget*> children, int spacing) {
    auto* page = new QWidget;
    auto* layout = new QVBoxLayout(page);
    layout->setSpacing(spacing);
    layout->addStretch();
    for (QWidget* child : children) layout->addWidget(child, 0, Qt::AlignHCenter);
    layout->addStretch();
    return page;
}

}  // namespace

JournalWindow::JournalWindow(ContentView& view, std::function<void(const std::function<void()>&)> act, QWidget* parent)
    : QWidget(parent, Qt::Window), view_(view), act_(std::move(act)) {
    setObjectName("journalWindow");
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle("Journal de débogage");
    setMinimumSize(680, 320);
    resize(820, 420);
    auto* root = new QVBoxLayout(this);
    root->setContentsMargins(0, 0, 0, 0);
    root->setSpacing(0);

    auto* header = new QWidget;
    auto* headerLayout = new QHBoxLayout(header);
    headerLayout->setContentsMargins(16, 10, 16, 10);
    headerLayout->setSpacing(14);
    enabled_ = new QCheckBox("Journal actif");
    enabled_->setObjectName("journalEnabled");
    connect(enabled_, &QCheckBox::clicked, this, [this](bool on) {
        act_([this, on] {
            view_.setJournalEnabled(on);
            if (on) view_.context().log("Journal activé", AppLogLevel::info);
        });
    });
    auto* separator = new QFrame;
    separator->setFrameShape(QFrame::VLine);
    separator->setFixedHeight(18);
    filter_ = new QLineEdit;
    filter_->setObjectName("journalFilter");
    filter_->setPlaceholderText("Filtrer…");
    filter_->setFixedWidth(200);
    connect(filter_, &QLineEdit::textEdited, this, [this] { redraw(); });
    autoScroll_ = new QCheckBox("Auto-scroll");
    autoScroll_->setObjectName("journalAutoScroll");
    autoScroll_->setChecked(true);
    errors_ = text("", TextStyle::caption, false, red);
    errors_->setObjectName("journalErrors");
    warnings_ = text("", TextStyle::caption, false, orange);
    warnings_->setObjectName("journalWarnings");
    clear_ = new QToolButton;
    clear_->setObjectName("journalClear");
    clear_->setIcon(style()->standardIcon(QStyle::SP_TrashIcon));
    clear_->setToolTip("Vider le journal");
    clear_->setAutoRaise(true);
    connect(clear_, &QToolButton::clicked, this, [this] { act_([this] { view_.clearJournal(); }); });
    export_ = new QToolButton;
    export_->setObjectName("journalExport");
    export_->setIcon(style()->standardIcon(QStyle::SP_DialogSaveButton));
    export_->setToolTip("Exporter le journal…");
    export_->setAutoRaise(true);
    connect(export_, &QToolButton::clicked, this, [this] { act_([this] { view_.chooseJournalExport(); }); });
    for (QWidget* w : std::initializer_list<QWidget*>{enabled_, separator, filter_, autoScroll_})
        headerLayout->addWidget(w);
    headerLayout->addStretch();
    for (QWidget* w : std::initializer_list<QWidget*>{errors_, warnings_, clear_, export_}) headerLayout->addWidget(w);
    root->addWidget(header);
    root->addWidget(divider());

    content_ = new QStackedWidget;
    auto* ant = text("🐞", TextStyle::largeTitle, false, secondary);
    auto* enable = new QPushButton("Activer le journal");
    enable->setObjectName("journalEnableButton");
    connect(enable, &QPushButton::clicked, this, [this] {
        act_([this] {
            view_.setJournalEnabled(true);
            view_.context().log("Journal activé", AppLogLevel::info);
        });
    });
    auto* explanation =
        text("Activez le journal pour monitorer le fonctionnement\nde l'application et faciliter le débogage.",
             TextStyle::subheadline, false, secondary);
    explanation->setAlignment(Qt::AlignCenter);
    content_->addWidget(
        centred({ant, text("Journal désactivé", TextStyle::headline, false, secondary), explanation, enable}, 14));
    emptyText_ = text("", TextStyle::body, false, secondary);
    emptyText_->setObjectName("journalEmptyText");
    content_->addWidget(centred({text("🔍", TextStyle::title2, false, secondary), emptyText_}, 12));
    list_ = new QTextBrowser;
    list_->setObjectName("journalList");
    list_->setFrameShape(QFrame::NoFrame);
    list_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    QScrollBar* bar = list_->verticalScrollBar();
    scroll_ = new QPropertyAnimation(bar, "value", this);
    scroll_->setObjectName("journalFollow");
    scroll_->setDuration(followMilliseconds);
    scroll_->setEasingCurve(QEasingCurve::OutCubic);
    // The list lays long texts out a piece at a time, so its end moves on
    // after the entries changed: a list following them keeps to the end.
    connect(bar, &QScrollBar::rangeChanged, this, [this, bar](int, int maximum) {
        if (!following_) return;
        if (scroll_->state() == QAbstractAnimation::Running) {
            scroll_->setEndValue(maximum);
        } else {
            bar->setValue(maximum);
        }
    });
    // The teacher scrolling, or unticking "Auto-scroll", stops the following.
    connect(bar, &QScrollBar::actionTriggered, this, [this] {
        following_ = false;
        scroll_->stop();
    });
    connect(autoScroll_, &QCheckBox::toggled, this, [this](bool on) {
        if (!on) following_ = false;
    });
    content_->addWidget(list_);
    root->addWidget(content_, 1);
    root->addWidget(divider());

    auto* footer = new QWidget;
    auto* footerLayout = new QHBoxLayout(footer);
    footerLayout->setContentsMargins(16, 5, 16, 5);
    footerLayout->setSpacing(8);
    footer_ = text("", TextStyle::caption, false, secondary);
    footer_->setObjectName("journalFooter");
    footerFiltered_ = text("", TextStyle::caption, false, secondary);
    footerFiltered_->setObjectName("journalFooterFiltered");
    footerLayout->addWidget(footer_);
    footerLayout->addWidget(footerFiltered_);
    footerLayout->addStretch();
    root->addWidget(footer);
    redraw();
}

void JournalWindow::redraw() {
    const bool first = !drawn_;
    drawn_ = true;
    const auto& logger = view_.context().logger;
    const std::vector<AppLogEntry> entries = logger->entries();
    const JournalView v = journalView(logger->isEnabled(), entries, ss(filter_->text()));
    {
        QSignalBlocker block(enabled_);
        enabled_->setChecked(logger->isEnabled());
    }
    errors_->setVisible(v.errors > 0);
    errors_->setText(QString("✖ %1").arg(v.errors));
    warnings_->setVisible(v.warnings > 0);
    warnings_->setText(QString("⚠ %1").arg(v.warnings));
    clear_->setEnabled(v.canClearOrExport);
    export_->setEnabled(v.canClearOrExport);
    content_->setCurrentIndex(static_cast<int>(v.content));
    emptyText_->setText(qs(v.emptyText));
    footer_->setText(qs(v.footer));
    footerFiltered_->setVisible(!v.footerFiltered.empty());
    footerFiltered_->setText(qs(v.footerFiltered));

    const std::optional<std::string> newest =
        entries.empty() ? std::nullopt : std::optional<std::string>(entries.back().id);
    const std::optional<std::string> shownNewest =
        v.shown.empty() ? std::nullopt : std::optional<std::string>(v.shown.back().id);
    const std::string filter = ss(filter_->text());
    if (filter != shownFilter_ || v.shown.size() != shownCount_ || shownNewest != shownNewest_) {
        QScrollBar* bar = list_->verticalScrollBar();
        const int position = bar->value();
        following_ = false;  // until the new entries ask for it below
        scroll_->stop();
        list_->setHtml(rowsHtml(v.shown));
        bar->setValue(position);
        shownFilter_ = filter;
        shownCount_ = v.shown.size();
        shownNewest_ = shownNewest;
    }
    // New entries, not the window's first drawing, are followed.
    if (newest_ != newest && newest && autoScroll_->isChecked() && !first) follow();
    newest_ = newest;
}

void JournalWindow::follow() {
    following_ = true;
    QScrollBar* bar = list_->verticalScrollBar();
    if (bar->value() == bar->maximum()) return;
    scroll_->stop();
    scroll_->setStartValue(bar->value());
    scroll_->setEndValue(bar->maximum());
    scroll_->start();
}

}  // namespace klarion::qt
