#include "ui/qt/main_window.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QHBoxLayout>
#include <QAction>
#include <QKeySequence>
#include <QMenuBar>
#include <QScrollArea>
#include <QStackedWidget>
#include <QStyle>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

#include "ui/qt/about_dialog.h"
#include "ui/qt/journal_window.h"
#include "ui/qt/teachers_tab.h"

namespace klarion::qt {

namespace {

QHBoxLayout* row(QWidget* parent = nullptr, int spacing = 6) {
    auto* layout = new QHBoxLayout(parent);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(spacing);
    return layout;
}

QVBoxLayout* column(QWidget* parent = nullptr, int spacing = 6) {
    auto* layout = new QVBoxLayout(parent);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(spacing);
    return layout;
}

QWidget* rowWidget(std::initializer_list<QWidget*> children, int spacing = 6, const QString& name = {}) {
    auto* widget = new QWidget;
    if (!name.isEmpty()) widget->setObjectName(name);
    auto* layout = row(widget, spacing);
    for (QWidget* child : children) layout->addWidget(child);
    layout->addStretch();
    return widget;
}

QLabel* selectable(QLabel* label) {
    label->setTextFormat(Qt::PlainText);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return label;
}

QToolButton* iconButton(const QString& glyph, const QString& help, const QString& color, const QString& name,
                        int pointSize) {
    auto* button = new QToolButton;
    button->setObjectName(name);
    button->setText(glyph);
    button->setToolTip(help);
    button->setAutoRaise(true);
    button->setStyleSheet(
        QString("QToolButton { color: %1; font-size: %2pt; border: none; }").arg(color).arg(pointSize));
    return button;
}

// The label of an "on/off" visibility without a redraw when nothing changed.
void setShown(QWidget* widget, bool visible) {
    if (widget->isVisibleTo(widget->parentWidget()) != visible) widget->setVisible(visible);
}

void setLabel(QLabel* label, const QString& value) {
    if (label->text() != value) label->setText(value);
}

}  // namespace

MainWindow::MainWindow(Application& app, QWidget* parent) : QMainWindow(parent), app_(app) {
    setObjectName("mainWindow");
    setWindowTitle("Klarion");
    auto* root = new QWidget;
    root->setObjectName("root");
    auto* main = column(root, 0);

    tabSelector_ = new Segmented("tabSelector");
    tabSelector_->chosen = [this](const QString& value) { selectTab(value.toInt()); };
    auto* tabsRow = new QHBoxLayout;
    tabsRow->setContentsMargins(0, 20, 0, 10);
    tabsRow->addStretch();
    tabsRow->addWidget(tabSelector_);
    tabsRow->addStretch();
    main->addLayout(tabsRow);
    main->addWidget(buildHeader());
    main->addWidget(divider());

    // Every tab scrolls: the window is shorter than its content on a small screen.
    pages_ = new QStackedWidget;
    pages_->setObjectName("pages");
    teachersTab_ = new TeachersTab(app_.view(), [this](const std::function<void()>& action) { act(action); });
    const std::pair<const char*, QWidget*> tabs[] = {
        {"serverScroll", buildServerTab()}, {"pedagogyScroll", buildPedagogyTab()}, {"teachersScroll", teachersTab_}};
    for (const auto& [name, content] : tabs) {
        auto* scroll = new QScrollArea;
        scroll->setObjectName(name);
        scroll->setWidgetResizable(true);
        scroll->setFrameShape(QFrame::NoFrame);
        scroll->setWidget(content);
        pages_->addWidget(scroll);
    }
    pages_->addWidget(new QWidget);  // nothing below the divider
    main->addWidget(pages_, 1);

    setCentralWidget(root);
    buildMenus();
    fitToScreen();

    // Linux's usual quit key; closing the window quits.
    auto* quit = new QAction(this);
    quit->setShortcut(QKeySequence::Quit);
    quit->setShortcutContext(Qt::ApplicationShortcut);
    connect(quit, &QAction::triggered, this, &QWidget::close);
    addAction(quit);

    hookId_ = app_.view().context().mainQueueRef().addAfterTaskHook([this] { scheduleRedraw(); });
    redraw();
    startStop_->setFocus();
}

MainWindow::~MainWindow() {
    app_.view().context().mainQueueRef().removeAfterTaskHook(hookId_);
    delete journal_.data();  // a window of its own, drawing the same panel
}

void MainWindow::fitToScreen() {
    // Room for the window manager's title bar and borders, which are not
    // known before the window is shown.
    const QSize decorations(16, 48);
    const QSize available = screen()->availableGeometry().size() - decorations;
    const QSize wanted = preferredContentSize + QSize(0, menuBar()->sizeHint().height());
    setMinimumSize(QSize(480, 360).boundedTo(available));
    resize(wanted.boundedTo(available));
}

void MainWindow::act(const std::function<void()>& action) { app_.view().context().mainQueueRef().runTask(action); }

void MainWindow::scheduleRedraw() {
    if (redrawScheduled_) return;
    redrawScheduled_ = true;
    QTimer::singleShot(0, this, [this] { redraw(); });
}

void MainWindow::selectTab(int tab) {
    act([this, tab] { app_.view().panel()->selectedTab = tab; });
}

void MainWindow::showAbout() {
    if (!about_) about_ = new AboutDialog(this);
    about_->open();
}

JournalWindow* MainWindow::journalWindow() const { return journal_; }

JournalWindow* MainWindow::showJournalWindow() {
    if (!journal_)
        journal_ = new JournalWindow(app_.view(), [this](const std::function<void()>& action) { act(action); });
    journal_->show();
    journal_->raise();
    journal_->activateWindow();
    return journal_;
}

void MainWindow::closeEvent(QCloseEvent* event) {
    if (journal_) journal_->close();
    event->accept();
    // exit(), not quit(): quit() asks every window to close and gives up when
    // one refuses, which would leave the process running without this window.
    QApplication::exit(0);
}

QWidget* MainWindow::buildHeader() {
    auto* header = new QWidget;
    header->setObjectName("header");
    auto* layout = row(header, 8);
    layout->setContentsMargins(40, 10, 40, 20);
    auto* title = text("Serveur Klarion", TextStyle::largeTitle, true);
    title->setObjectName("headerTitle");
    auto* version = text(QString("Version ") + KLARION_VERSION_TEXT, TextStyle::headline, false, secondary);
    version->setObjectName("headerVersion");
    version->setContentsMargins(0, 0, 0, 4);
    auto* aboutButton = new QPushButton("À propos");
    aboutButton->setObjectName("aboutButton");
    aboutButton->setFlat(true);
    aboutButton->setStyleSheet("QPushButton { color: " + blue + "; border: none; }");
    connect(aboutButton, &QPushButton::clicked, this, [this] { showAbout(); });
    layout->addWidget(title, 0, Qt::AlignBottom);
    layout->addWidget(version, 0, Qt::AlignBottom);
    layout->addStretch();
    layout->addWidget(aboutButton, 0, Qt::AlignBottom);
    return header;
}

QWidget* MainWindow::buildServerTab() {
    auto* tab = new QWidget;
    tab->setObjectName("serverTab");
    auto* layout = column(tab, 30);
    layout->setContentsMargins(30, 30, 30, 30);
    layout->setAlignment(Qt::AlignHCenter);

    layout->addWidget(text("État du Serveur Web", TextStyle::headline), 0, Qt::AlignHCenter);

    // Port and LM Studio columns.
    auto* portColumn = new QWidget;
    auto* portLayout = column(portColumn, 8);
    portLayout->addWidget(text("Port réseau :", TextStyle::subheadline, true));
    portPicker_ = new Segmented("portPicker");
    portPicker_->setSegments({{"3000", "3000"}, {"8080", "8080"}, {"80", "80"}});
    portPicker_->setFixedWidth(150);
    portPicker_->chosen = [this](const QString& value) {
        act([this, value] { app_.view().panel()->selectedPort = value.toLongLong(); });
    };
    portLayout->addWidget(portPicker_);
    portLayout->addStretch();

    auto* lmColumn = new QWidget;
    auto* lmLayout = column(lmColumn, 8);
    lmLayout->addWidget(text("Serveur IA :", TextStyle::subheadline, true));
    lmDot_ = dot(10, red, "lmStatusDot");
    lmStatus_ = text("", TextStyle::subheadline, false, secondary);
    lmStatus_->setObjectName("lmStatus");
    auto* status = rowWidget({lmDot_, lmStatus_}, 6);
    status->setContentsMargins(0, 4, 0, 0);
    lmLayout->addWidget(status);
    modelId_ = text("", TextStyle::caption, false, secondary);
    modelId_->setObjectName("modelId");
    modelId_->setMaximumWidth(260);
    modelRow_ = rowWidget({text("⚙", TextStyle::caption2, false, secondary), modelId_}, 6, "modelRow");
    lmLayout->addWidget(modelRow_);
    contextIcon_ = text("", TextStyle::caption2);
    contextText_ = text("", TextStyle::caption);
    contextText_->setObjectName("contextText");
    contextRow_ = rowWidget({contextIcon_, contextText_}, 6, "contextRow");
    lmLayout->addWidget(contextRow_);
    lmLayout->addStretch();

    auto* columns = new QWidget;
    auto* columnsLayout = row(columns, 60);
    columnsLayout->addStretch();
    columnsLayout->addWidget(portColumn, 0, Qt::AlignTop);
    columnsLayout->addWidget(lmColumn, 0, Qt::AlignTop);
    columnsLayout->addStretch();
    layout->addWidget(columns);

    // Context warning box.
    auto* warning = card("contextWarning", "rgba(230, 126, 0, 0.10)", 10);
    auto* warningLayout = row(warning, 10);
    warningLayout->setContentsMargins(14, 14, 14, 14);
    warningLayout->addWidget(text("⚠", TextStyle::subheadline, false, orange), 0, Qt::AlignTop);
    auto* warningTexts = new QWidget;
    auto* warningColumn = column(warningTexts, 3);
    contextWarningTitle_ = text("", TextStyle::subheadline, true, orange);
    contextWarningTitle_->setObjectName("contextWarningTitle");
    contextWarningText_ = text("", TextStyle::caption, false, secondary);
    contextWarningText_->setObjectName("contextWarningText");
    contextWarningText_->setWordWrap(true);
    warningColumn->addWidget(contextWarningTitle_);
    warningColumn->addWidget(contextWarningText_);
    warningLayout->addWidget(warningTexts, 1);
    contextWarning_ = new QWidget;
    auto* warningOuter = row(contextWarning_, 0);
    warningOuter->setContentsMargins(60, 0, 60, 0);
    warningOuter->addWidget(warning);
    layout->addWidget(contextWarning_);

    auto* line = new QWidget;
    auto* lineLayout = row(line, 0);
    lineLayout->setContentsMargins(60, 0, 60, 0);
    lineLayout->addWidget(divider());
    layout->addWidget(line);

    modePicker_ = new Segmented("modePicker");
    modePicker_->setSegments({{"Individuel", "individual"}, {"Établissement", "establishment"}});
    modePicker_->setFixedWidth(250);
    modePicker_->chosen = [this](const QString& value) { act([this, value] { app_.view().changeMode(ss(value)); }); };
    auto* modeRow = new QWidget;
    auto* modeLayout = row(modeRow, 20);
    modeLayout->addStretch();
    modeLayout->addWidget(text("Mode de fonctionnement :", TextStyle::subheadline, true));
    modeLayout->addWidget(modePicker_);
    modeLayout->addStretch();
    layout->addWidget(modeRow);

    modeWarning_ = text("", TextStyle::caption, false, orange);
    modeWarning_->setObjectName("modeWarning");
    layout->addWidget(modeWarning_, 0, Qt::AlignHCenter);

    startStop_ = new QPushButton;
    startStop_->setObjectName("startStopButton");
    startStop_->setFixedSize(250, 40);
    startStop_->setIconSize(QSize(10, 10));
    connect(startStop_, &QPushButton::clicked, this, [this] { act([this] { app_.view().startStopAction(); }); });
    layout->addWidget(startStop_, 0, Qt::AlignHCenter);

    runningInfo_ = new QWidget;
    runningInfo_->setObjectName("runningInfo");
    auto* runningLayout = column(runningInfo_, 8);
    localAddress_ = selectable(text("", TextStyle::subheadline, true));
    localAddress_->setObjectName("localAddress");
    auto* addressRow = new QWidget;
    auto* addressLayout = row(addressRow);
    addressLayout->addStretch();
    addressLayout->addWidget(text("Adresse Locale :", TextStyle::subheadline, false, secondary));
    addressLayout->addWidget(localAddress_);
    addressLayout->addStretch();
    runningLayout->addWidget(addressRow);
    studentShortLink_ = selectable(text("", TextStyle::subheadline, true, blue));
    studentShortLink_->setObjectName("studentShortLink");
    studentShortRow_ = new QWidget;
    studentShortRow_->setObjectName("studentShortRow");
    auto* shortLayout = row(studentShortRow_);
    shortLayout->addStretch();
    shortLayout->addWidget(text("Lien Élèves :", TextStyle::subheadline, false, secondary));
    shortLayout->addWidget(studentShortLink_);
    shortLayout->addStretch();
    runningLayout->addWidget(studentShortRow_);
    sessionBadge_ = card("sessionBadge", "rgba(40, 167, 69, 0.10)", 8);
    auto* badgeLayout = row(sessionBadge_);
    badgeLayout->setContentsMargins(8, 8, 8, 8);
    sessionDot_ = dot(8, green);
    sessionText_ = text("", TextStyle::subheadline);
    sessionText_->setObjectName("sessionText");
    badgeLayout->addWidget(sessionDot_);
    badgeLayout->addWidget(sessionText_);
    runningLayout->addWidget(sessionBadge_, 0, Qt::AlignHCenter);
    layout->addWidget(runningInfo_);

    layout->addStretch(1);
    return tab;
}

QWidget* MainWindow::buildPedagogyTab() {
    auto* tab = new QWidget;
    tab->setObjectName("pedagogyTab");
    auto* layout = column(tab, 20);
    layout->setContentsMargins(30, 30, 30, 30);

    pauseBanner_ = new QLabel("⚠️ IA TEMPORAIREMENT EN PAUSE ⚠️");
    pauseBanner_->setObjectName("pauseBanner");
    styleText(pauseBanner_, TextStyle::headline);
    pauseBanner_->setAlignment(Qt::AlignCenter);
    pauseBanner_->setStyleSheet("QLabel { color: white; background: " + red +
                                "; border-radius: 12px; padding: 10px; }");
    layout->addWidget(pauseBanner_);

    auto* linkCard = card("studentLinkCard", "rgba(10, 110, 209, 0.08)");
    studentLinkCard_ = linkCard;
    auto* linkLayout = column(linkCard, 10);
    linkLayout->setContentsMargins(20, 20, 20, 20);
    linkLayout->addWidget(
        rowWidget({text("🔗", TextStyle::headline), text("Lien d'accès pour les élèves", TextStyle::headline)}));
    studentLink_ = selectable(new QLabel);
    studentLink_->setObjectName("studentLink");
    styleText(studentLink_, TextStyle::body, true, blue);
    QFont big = studentLink_->font();
    big.setPointSize(20);
    studentLink_->setFont(big);
    linkLayout->addWidget(studentLink_);
    layout->addWidget(linkCard);

    // Audience and lock.
    auto* pair = new QWidget;
    auto* pairLayout = row(pair, 20);
    auto* audienceCard = card("audienceCard", "rgba(236, 236, 240, 0.9)");
    auto* audienceLayout = column(audienceCard, 15);
    audienceLayout->setContentsMargins(20, 20, 20, 20);
    audienceLayout->setAlignment(Qt::AlignHCenter);
    audienceLayout->addWidget(text("Qui va utiliser l'IA ?", TextStyle::headline), 0, Qt::AlignHCenter);
    audiencePicker_ = new Segmented("audiencePicker");
    audiencePicker_->setSegments({{"Visiteurs", "visiteurs"}, {"Élèves", "eleves"}, {"Enseignants", "enseignants"}});
    audiencePicker_->chosen = [this](const QString& value) {
        act([this, value] { app_.view().config()->setAudience(ss(value)); });
    };
    audienceLayout->addWidget(audiencePicker_, 0, Qt::AlignHCenter);
    audienceLayout->addStretch();
    pairLayout->addWidget(audienceCard, 1);

    auto* lockCard = card("lockCard", "rgba(236, 236, 240, 0.9)");
    auto* lockLayout = column(lockCard, 15);
    lockLayout->setContentsMargins(20, 20, 20, 20);
    lockLayout->addWidget(text("Verrouillage de la classe", TextStyle::headline), 0, Qt::AlignHCenter);
    requiresPin_ = new QCheckBox("Code PIN Requis");
    requiresPin_->setObjectName("requiresPin");
    connect(requiresPin_, &QCheckBox::clicked, this,
            [this](bool on) { act([this, on] { app_.view().config()->setRequiresPin(on); }); });
    lockLayout->addWidget(requiresPin_, 0, Qt::AlignHCenter);
    classPin_ = new QLabel;
    classPin_->setObjectName("classPin");
    styleText(classPin_, TextStyle::body, false, blue, QFont::Black);
    QFont pinFont = classPin_->font();
    pinFont.setPointSize(22);
    classPin_->setFont(pinFont);
    auto* renewClassPin = iconButton("⟳", "Régénérer le PIN élève", blue, "renewClassPin", 15);
    connect(renewClassPin, &QToolButton::clicked, this, [this] { act([this] { app_.view().renewStudentPin(); }); });
    classPinRow_ = new QWidget;
    classPinRow_->setObjectName("classPinRow");
    auto* pinLayout = row(classPinRow_, 8);
    pinLayout->addStretch();
    pinLayout->addWidget(classPin_);
    pinLayout->addWidget(renewClassPin);
    pinLayout->addStretch();
    lockLayout->addWidget(classPinRow_);
    lockLayout->addStretch();
    pairLayout->addWidget(lockCard, 1);
    layout->addWidget(pair);

    // Supervision.
    auto* supervisionCard = card("supervisionCard", "rgba(236, 236, 240, 0.9)");
    auto* supervisionLayout = column(supervisionCard, 10);
    supervisionLayout->setContentsMargins(20, 20, 20, 20);
    supervision_ = new QCheckBox("Activer");
    supervision_->setObjectName("supervisionActive");
    connect(supervision_, &QCheckBox::clicked, this,
            [this](bool on) { act([this, on] { app_.view().config()->setIsSupervisionActive(on); }); });
    auto* supervisionTitle = new QWidget;
    auto* titleLayout = row(supervisionTitle);
    titleLayout->addWidget(text("Supervision et Journalisation", TextStyle::headline));
    titleLayout->addStretch();
    titleLayout->addWidget(supervision_);
    supervisionLayout->addWidget(supervisionTitle);
    levelRow_ = new QWidget;
    levelRow_->setObjectName("recordingLevelRow");
    auto* levelColumn = column(levelRow_, 10);
    levelColumn->setContentsMargins(0, 5, 0, 0);
    levelColumn->addWidget(divider());
    levelPicker_ = new QComboBox;
    levelPicker_->setObjectName("recordingLevel");
    levelPicker_->addItem("Questions uniquement", "questions");
    levelPicker_->addItem("Questions + Réponses", "questions_answers");
    levelPicker_->setFixedWidth(250);
    connect(levelPicker_, &QComboBox::activated, this, [this](int index) {
        const std::string level = ss(levelPicker_->itemData(index).toString());
        act([this, level] { app_.view().config()->setSupervisionLevel(level); });
    });
    auto* logsButton = new QPushButton(style()->standardIcon(QStyle::SP_DirIcon), "Dossier Logs");
    logsButton->setObjectName("logsFolderButton");
    connect(logsButton, &QPushButton::clicked, this, [this] { act([this] { app_.view().showLogsFolder(); }); });
    auto* levelLine = new QWidget;
    auto* levelLayout = row(levelLine, 10);
    levelLayout->addWidget(text("Niveau d'enregistrement :", TextStyle::body));
    levelLayout->addWidget(levelPicker_);
    levelLayout->addStretch();
    levelLayout->addWidget(logsButton);
    levelColumn->addWidget(levelLine);
    supervisionLayout->addWidget(levelRow_);
    layout->addWidget(supervisionCard);

    layout->addWidget(buildDashboardCard());
    layout->addStretch(1);
    return tab;
}

QWidget* MainWindow::buildDashboardCard() {
    auto* dashboard = card("dashboardCard", "rgba(230, 126, 0, 0.10)");
    auto* layout = column(dashboard, 15);
    layout->setContentsMargins(20, 20, 20, 20);
    layout->addWidget(text("Tableau de bord et personnalisation de l'IA", TextStyle::headline), 0, Qt::AlignHCenter);

    auto* body = new QWidget;
    auto* bodyLayout = row(body, 30);
    bodyLayout->addStretch();

    auto* qrArea = new QWidget;
    auto* qrLayout = column(qrArea, 4);
    qrCode_ = new QRWidget;
    qrCaption_ = new QLabel("Scan pour accéder");
    qrCaption_->setObjectName("qrCaption");
    qrCaption_->setStyleSheet("color: " + secondary + "; font-size: 8pt;");
    qrPlaceholder_ = new QLabel("Démarrer\nle serveur");
    qrPlaceholder_->setObjectName("qrPlaceholder");
    qrPlaceholder_->setAlignment(Qt::AlignCenter);
    qrPlaceholder_->setFixedSize(100, 100);
    qrPlaceholder_->setStyleSheet("QLabel { background: rgba(230, 126, 0, 0.20); border-radius: 8px; color: " + orange +
                                  "; font-size: 9pt; }");
    qrLayout->addWidget(qrCode_, 0, Qt::AlignHCenter);
    qrLayout->addWidget(qrCaption_, 0, Qt::AlignHCenter);
    qrLayout->addWidget(qrPlaceholder_, 0, Qt::AlignHCenter);
    bodyLayout->addWidget(qrArea, 0, Qt::AlignVCenter);

    auto* access = new QWidget;
    auto* accessLayout = column(access, 10);
    teacherPin_ = new QLabel;
    teacherPin_->setObjectName("teacherPin");
    styleText(teacherPin_, TextStyle::body, false, orange, QFont::Black);
    QFont pinFont = teacherPin_->font();
    pinFont.setPointSize(22);
    teacherPin_->setFont(pinFont);
    auto* renew = iconButton("⟳", "Générer nouveau code", orange, "renewTeacherPin", 17);
    connect(renew, &QToolButton::clicked, this, [this] { act([this] { app_.view().renewTeacherPin(); }); });
    teacherPinRow_ =
        rowWidget({text("PIN Enseignant :", TextStyle::subheadline), teacherPin_, renew}, 6, "teacherPinRow");
    accessLayout->addWidget(teacherPinRow_);
    establishmentLines_ = new QWidget;
    establishmentLines_->setObjectName("establishmentLines");
    auto* linesLayout = column(establishmentLines_, 2);
    linesLayout->addWidget(text("Mode Établissement", TextStyle::subheadline, false, orange));
    linesLayout->addWidget(text("Connexion par nom + PIN 6 chiffres", TextStyle::caption, false, secondary));
    accessLayout->addWidget(establishmentLines_);

    teacherLinks_ = new QWidget;
    teacherLinks_->setObjectName("teacherLinks");
    auto* linksLayout = column(teacherLinks_, 5);
    teacherShortLink_ = selectable(new QLabel);
    teacherShortLink_->setObjectName("teacherShortLink");
    teacherShortLink_->setStyleSheet("color: " + orange + "; font-weight: bold; font-size: 11pt;");
    teacherShortRow_ = rowWidget({text("Lien court :", TextStyle::caption, false, secondary), teacherShortLink_}, 4);
    teacherLocalLink_ = selectable(text("", TextStyle::caption, false, orange));
    teacherLocalLink_->setObjectName("teacherLocalLink");
    linksLayout->addWidget(teacherShortRow_);
    linksLayout->addWidget(
        rowWidget({text("Lien local :", TextStyle::caption, false, secondary), teacherLocalLink_}, 4));
    accessLayout->addWidget(teacherLinks_);

    auto* copy = new QPushButton("📋 Copier le lien");
    copy->setObjectName("copyTeacherLink");
    connect(copy, &QPushButton::clicked, this, [this] { act([this] { app_.view().copyTeacherLink(); }); });
    auto* open = new QPushButton("Ouvrir sur cet ordinateur");
    open->setObjectName("openDashboard");
    open->setFlat(true);
    open->setCursor(Qt::PointingHandCursor);
    open->setStyleSheet("QPushButton { color: " + orange + "; border: none; text-decoration: underline; }");
    connect(open, &QPushButton::clicked, this, [this] { act([this] { app_.view().openTeacherDashboard(); }); });
    teacherButtons_ = rowWidget({copy, open}, 15, "teacherButtons");
    teacherButtons_->setContentsMargins(0, 5, 0, 0);
    accessLayout->addWidget(teacherButtons_);
    bodyLayout->addWidget(access, 0, Qt::AlignVCenter);
    bodyLayout->addStretch();
    layout->addWidget(body);
    return dashboard;
}

void MainWindow::buildMenus() {
    QMenu* tools = menuBar()->addMenu("Outils");
    tools->setObjectName("outilsMenu");
    journalToggle_ = tools->addAction("Activer le journal");
    journalToggle_->setObjectName("journalToggle");
    journalToggle_->setShortcut(QKeySequence("Ctrl+Shift+L"));
    journalToggle_->setShortcutContext(Qt::ApplicationShortcut);
    connect(journalToggle_, &QAction::triggered, this, [this] {
        act([this] {
            const bool on = !app_.view().context().logger->isEnabled();
            app_.view().setJournalEnabled(on);
            // The journal window, while open, notes the switch as well.
            if (on && journal_ && journal_->isVisible()) app_.view().context().log("Journal activé", AppLogLevel::info);
        });
    });
    tools->addSeparator();
    clearJournal_ = tools->addAction(style()->standardIcon(QStyle::SP_TrashIcon), "Vider le journal");
    clearJournal_->setObjectName("clearJournal");
    connect(clearJournal_, &QAction::triggered, this, [this] { act([this] { app_.view().clearJournal(); }); });
    exportJournal_ = tools->addAction(style()->standardIcon(QStyle::SP_DialogSaveButton), "Exporter le journal…");
    exportJournal_->setObjectName("exportJournal");
    connect(exportJournal_, &QAction::triggered, this, [this] { act([this] { app_.view().chooseJournalExport(); }); });
    tools->addSeparator();
    QAction* logs = tools->addAction(style()->standardIcon(QStyle::SP_DirIcon), "Ouvrir le dossier des logs…");
    logs->setObjectName("openLogsFolder");
    connect(logs, &QAction::triggered, this, [this] { act([this] { app_.view().openLogsRootFolder(); }); });

    // Linux has no automatic window menu: the journal window is offered here.
    QMenu* windows = menuBar()->addMenu("Fenêtre");
    windows->setObjectName("fenetreMenu");
    QAction* journal = windows->addAction("Journal de débogage");
    journal->setObjectName("journalWindowAction");
    connect(journal, &QAction::triggered, this, [this] { showJournalWindow(); });
}

void MainWindow::redrawMenus() {
    const bool enabled = app_.view().context().logger->isEnabled();
    const bool hasEntries = !app_.view().context().logger->entries().empty();
    journalToggle_->setText(enabled ? "Désactiver le journal" : "Activer le journal");
    journalToggle_->setIcon(style()->standardIcon(enabled ? QStyle::SP_MediaStop : QStyle::SP_MediaPlay));
    clearJournal_->setEnabled(hasEntries);
    exportJournal_->setEnabled(hasEntries);
}

void MainWindow::redraw() {
    redrawScheduled_ = false;
    const PanelState& panel = *app_.view().panel();
    const AppConfig::Values config = app_.view().config()->snapshot();
    const WindowFrame frame = windowFrame(panel.selectedTab, config);
    {
        QSignalBlocker block(tabSelector_);
        std::vector<Segmented::Segment> segments;
        for (const TabSegment& tab : frame.tabs) segments.push_back({qs(tab.title), QString::number(tab.value)});
        tabSelector_->setSegments(segments);
        tabSelector_->setFixedWidth(frame.pickerWidth);
        tabSelector_->select(QString::number(panel.selectedTab));
    }
    pages_->setCurrentIndex(frame.shownTab < 0 ? 3 : frame.shownTab);
    redrawServerTab();
    redrawPedagogyTab();
    redrawMenus();
    if (frame.shownTab == 2) teachersTab_->redraw();
    if (journal_ && journal_->isVisible()) journal_->redraw();
    showPendingAlert();
}

void MainWindow::redrawServerTab() {
    const PanelState& panel = *app_.view().panel();
    const ServerSection s = serverSection(panel, app_.view().config()->snapshot());
    portPicker_->select(QString::number(panel.selectedPort));
    portPicker_->setEnabled(s.pickersEnabled);
    setDotColor(lmDot_, s.lmOnline ? green : red);
    setLabel(lmStatus_, qs(s.lmStatus));
    setShown(modelRow_, s.showModel);
    const QString model = qs(s.modelId);
    setLabel(modelId_, modelId_->fontMetrics().elidedText(model, Qt::ElideMiddle, modelId_->maximumWidth()));
    modelId_->setToolTip("<qt>" + model.toHtmlEscaped() + "</qt>");  // tooltips read markup: shown as named
    setShown(contextRow_, s.showContext);
    setLabel(contextIcon_, s.contextTooShort ? "⚠" : "✔");
    contextIcon_->setStyleSheet("color: " + (s.contextTooShort ? orange : green) + ";");
    setLabel(contextText_, qs(s.contextText));
    contextText_->setStyleSheet("color: " + (s.contextTooShort ? orange : secondary) + ";");
    setShown(contextWarning_, s.showContextWarning);
    setLabel(contextWarningTitle_, qs(s.contextWarningTitle));
    setLabel(contextWarningText_, qs(s.contextWarningText));
    modePicker_->select(qs(app_.view().config()->appMode()));
    modePicker_->setEnabled(s.pickersEnabled);
    setShown(modeWarning_, s.showModeWarning);
    setLabel(modeWarning_, qs(s.modeWarning));
    startStop_->setText(qs(s.startStopText));
    startStop_->setIcon(QIcon(dotPixmap(10, s.running ? red : green)));
    const QString tint = s.running ? red : blue;
    startStop_->setStyleSheet(
        QString("QPushButton { background: %1; color: white; font-weight: bold; border-radius: 8px;"
                " font-size: 12pt; } QPushButton:focus { border: 2px solid #7fb4ff; }")
            .arg(tint));
    setShown(runningInfo_, s.running);
    setLabel(localAddress_, qs(s.localAddress));
    setShown(studentShortRow_, s.showStudentShortLink);
    setLabel(studentShortLink_, qs(s.studentShortLink));
    setShown(sessionBadge_, s.showSession);
    const QString sessionColor = s.sessionActive ? green : orange;
    setDotColor(sessionDot_, sessionColor);
    setLabel(sessionText_, qs(s.sessionText));
    sessionText_->setStyleSheet("color: " + sessionColor + ";");
    sessionBadge_->setStyleSheet(QString("QFrame#sessionBadge { background: %1; border-radius: 8px; }")
                                     .arg(s.sessionActive ? "rgba(40, 167, 69, 0.10)" : "rgba(230, 126, 0, 0.10)"));
}

void MainWindow::redrawPedagogyTab() {
    const PanelState& panel = *app_.view().panel();
    const AppConfig::Values config = app_.view().config()->snapshot();
    const PedagogySection p = pedagogySection(panel, config);
    setShown(pauseBanner_, p.showPauseBanner);
    setShown(studentLinkCard_, p.showStudentLink);
    setLabel(studentLink_, qs(p.studentLink));
    audiencePicker_->select(qs(config.audience));
    {
        QSignalBlocker block(requiresPin_);
        requiresPin_->setChecked(config.requiresPin);
    }
    setShown(classPinRow_, p.showClassPin);
    setLabel(classPin_, qs(config.pinCode));
    {
        QSignalBlocker block(supervision_);
        supervision_->setChecked(config.isSupervisionActive);
    }
    setShown(levelRow_, p.showRecordingLevel);
    {
        QSignalBlocker block(levelPicker_);
        levelPicker_->setCurrentIndex(levelPicker_->findData(qs(config.supervisionLevel)));
    }

    const DashboardCard d = dashboardCard(panel, config);
    if (d.showQRCode) qrCode_->setMatrix(qrMatrix(d.teacherLocalURL), qs(d.teacherLocalURL));
    const bool qrShown = d.showQRCode && qrCode_->matrix().size > 0;
    setShown(qrCode_, qrShown);
    setShown(qrCaption_, qrShown);
    setShown(qrPlaceholder_, !qrShown);
    setShown(teacherPinRow_, d.individual);
    setLabel(teacherPin_, qs(config.teacherPinCode));
    setShown(establishmentLines_, !d.individual);
    setShown(teacherLinks_, d.showLinks);
    setShown(teacherShortRow_, d.showShortLink);
    setLabel(teacherShortLink_, qs(d.shortLink));
    setLabel(teacherLocalLink_, qs(d.teacherLocalURL));
    setShown(teacherButtons_, d.showLinks);
}

void MainWindow::openAlert(const QString& name, const QString& title, const QString& message,
                           std::function<void()> closed) {
    auto* box = new AlertDialog(name, title, message, this);
    box->addButton("OK", "alertOK", true);
    connect(box, &QDialog::finished, this, [this, closed] {
        alert_.clear();
        act(closed);
    });
    alert_ = box;
    box->open();
}

void MainWindow::showPendingAlert() {
    if (alert_) return;  // one alert at a time
    auto panel = app_.view().panel();
    if (panel->showingAlert) {
        openAlert("generalAlert", qs(panel->alertTitle), qs(panel->alertMessage),
                  [panel] { panel->showingAlert = false; });
    } else if (panel->showDeleteConfirmation && panel->teacherToDelete) {
        auto* box = new AlertDialog("deleteConfirmation", "Supprimer l'enseignant ?",
                                    qs(deleteMessage(panel->teacherToDelete->name)), this);
        box->addButton("Annuler", "cancelDelete", true);
        QPushButton* remove = box->addButton("Supprimer", "confirmDelete", false, true);
        connect(box, &QDialog::finished, this, [this, box, remove, panel] {
            const bool confirmed = box->clickedButton() == remove;
            alert_.clear();
            act([this, panel, confirmed] {
                panel->showDeleteConfirmation = false;
                if (confirmed && panel->teacherToDelete) app_.view().deleteTeacher(panel->teacherToDelete->id);
            });
        });
        alert_ = box;
        box->open();
    } else if (panel->showImportExportAlert) {
        openAlert("calendarAlert", "Calendrier", qs(panel->importExportMessage),
                  [panel] { panel->showImportExportAlert = false; });
    } else if (panel->showTeacherCSVAlert) {
        openAlert("csvAlert", "Import/Export CSV", qs(panel->teacherCSVMessage),
                  [panel] { panel->showTeacherCSVAlert = false; });
    }
}

}  // namespace klarion::qt
