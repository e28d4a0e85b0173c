#include "ui/qt/teachers_tab.h"

#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QStyle>
#include <QVBoxLayout>

#include <tuple>

#include "app/state/slots.h"
#include "platform/text.h"
#include "ui/panel/agenda.h"
#include "ui/qt/widgets.h"

namespace klarion::qt {

namespace {

const QString cardBackground = "rgba(236, 236, 240, 0.6)";

QHBoxLayout* plainRow(QWidget* widget, int spacing) {
    auto* layout = new QHBoxLayout(widget);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(spacing);
    return layout;
}

QPushButton* smallButton(const QIcon& icon, const QString& title, const QString& name) {
    auto* button = new QPushButton(icon, title);
    button->setObjectName(name);
    QFont font = button->font();
    font.setPointSize(9);
    button->setFont(font);
    return button;
}

QFrame* tabCard(const QString& name, int spacing, QVBoxLayout*& layout) {
    QFrame* frame = card(name, cardBackground);
    layout = new QVBoxLayout(frame);
    layout->setContentsMargins(20, 20, 20, 20);
    layout->setSpacing(spacing);
    return frame;
}

// A field the teacher is typing in keeps the typed text: each keystroke is
// stored (a time in its normalised form), and the field shows the stored
// form once the teacher leaves it or presses Enter. Rewriting it at every
// keystroke would mix the normalised form with the next key ("930" became
// "0309:00").
void trackEditing(QLineEdit* field, const std::function<void(const QString&)>& store,
                  const std::function<void()>& finished) {
    QObject::connect(field, &QLineEdit::textEdited, field, [field, store](const QString& value) {
        field->setProperty("editing", true);
        store(value);
    });
    QObject::connect(field, &QLineEdit::editingFinished, field, [field, finished] {
        field->setProperty("editing", false);
        finished();
    });
}

// Shows the stored value, unless the teacher is typing in the field.
void showStored(QLineEdit* field, const QString& value) {
    if (field->text() == value || field->property("editing").toBool()) return;
    QSignalBlocker block(field);
    field->setText(value);
}

// Two plain-text lines, the second small and grey: day headers and slot labels.
QWidget* twoLines(const QString& first, const QString& second, int firstPoints, int secondPoints,
                  Qt::Alignment alignment) {
    auto* cell = new QWidget;
    auto* layout = new QVBoxLayout(cell);
    layout->setContentsMargins(4, 4, 4, 4);
    layout->setSpacing(2);
    for (const auto& [line, points, bold] : {std::tuple{first, firstPoints, true}, {second, secondPoints, false}}) {
        auto* label = text(line, TextStyle::caption, bold, bold ? QString() : secondary);
        QFont font = label->font();
        font.setPointSize(points);
        label->setFont(font);
        label->setAlignment(alignment);
        layout->addWidget(label);
    }
    return cell;
}

QString cellStyle(const AgendaCell& cell) {
    const QString background = !cell.booked     ? "#ffffff"
                               : cell.color < 0 ? "#8e8e93"
                                                : QColor(teacherPalette[cell.color]).name();
    const QString alpha = cell.booked && cell.color >= 0 ? "rgba(%1, %2, %3, 0.75)" : "";
    QString fill = background;
    if (!alpha.isEmpty()) {
        const QColor c(background);
        fill = alpha.arg(c.red()).arg(c.green()).arg(c.blue());
    }
    return QString("QPushButton { background: %1; color: %2; border: none; border-radius: 4px; font-size: 8pt; }")
        .arg(fill, cell.color >= 0 ? "white" : secondary);
}

}  // namespace

TeachersTab::TeachersTab(ContentView& view, std::function<void(const std::function<void()>&)> act, QWidget* parent)
    : QWidget(parent), view_(view), act_(std::move(act)) {
    setObjectName("teachersTab");
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(30, 30, 30, 30);
    layout->setSpacing(20);
    layout->addWidget(buildTeachersCard());
    layout->addWidget(buildSlotsCard());
    layout->addWidget(buildAgendaCard());
    layout->addStretch();
}

QWidget* TeachersTab::buildTeachersCard() {
    QVBoxLayout* layout = nullptr;
    QFrame* frame = tabCard("teachersCard", 10, layout);
    auto* header = new QWidget;
    auto* headerLayout = plainRow(header, 6);
    headerLayout->addWidget(text("Enseignants autorisés", TextStyle::headline));
    headerLayout->addStretch();
    auto* exportCSV = smallButton(style()->standardIcon(QStyle::SP_ArrowUp), "Exporter CSV", "exportTeachersCSV");
    auto* importCSV = smallButton(style()->standardIcon(QStyle::SP_ArrowDown), "Importer CSV", "importTeachersCSV");
    connect(exportCSV, &QPushButton::clicked, this, [this] { act_([this] { view_.chooseTeachersCSVExport(); }); });
    connect(importCSV, &QPushButton::clicked, this, [this] { act_([this] { view_.chooseTeachersCSVImport(); }); });
    headerLayout->addWidget(exportCSV);
    headerLayout->addWidget(importCSV);
    layout->addWidget(header);

    noTeacher_ = text("Aucun enseignant ajouté.", TextStyle::body, false, secondary);
    noTeacher_->setObjectName("noTeacher");
    layout->addWidget(noTeacher_);
    auto* rows = new QWidget;
    teacherRows_ = new QVBoxLayout(rows);
    teacherRows_->setContentsMargins(0, 0, 0, 0);
    teacherRows_->setSpacing(6);
    layout->addWidget(rows);

    auto* add = new QWidget;
    auto* addLayout = plainRow(add, 8);
    add->setContentsMargins(0, 10, 0, 0);
    newTeacherName_ = new QLineEdit;
    newTeacherName_->setObjectName("newTeacherName");
    newTeacherName_->setPlaceholderText("Nom de l'enseignant");
    connect(newTeacherName_, &QLineEdit::textEdited, this,
            [this](const QString& value) { act_([this, value] { view_.panel()->newTeacherName = ss(value); }); });
    addTeacher_ = new QPushButton("+ Ajouter");
    addTeacher_->setObjectName("addTeacher");
    connect(addTeacher_, &QPushButton::clicked, this, [this] { act_([this] { view_.addTeacher(); }); });
    addLayout->addWidget(newTeacherName_, 1);
    addLayout->addWidget(addTeacher_);
    layout->addWidget(add);
    auto* hint = text(
        "Format CSV : nom,pin  (une ligne par enseignant — le PIN peut être vide pour en générer un "
        "automatiquement)",
        TextStyle::caption2, false, secondary);
    hint->setContentsMargins(0, 4, 0, 0);
    hint->setWordWrap(true);
    layout->addWidget(hint);
    return frame;
}

QWidget* TeachersTab::buildSlotsCard() {
    QVBoxLayout* layout = nullptr;
    QFrame* frame = tabCard("slotsCard", 12, layout);
    auto* header = new QWidget;
    auto* headerLayout = plainRow(header, 6);
    headerLayout->addWidget(text("Configuration des créneaux", TextStyle::headline));
    headerLayout->addStretch();
    auto* exportCalendar = smallButton(style()->standardIcon(QStyle::SP_ArrowUp), "Exporter", "exportCalendar");
    auto* importCalendar = smallButton(style()->standardIcon(QStyle::SP_ArrowDown), "Importer", "importCalendar");
    connect(exportCalendar, &QPushButton::clicked, this, [this] { act_([this] { view_.chooseCalendarExport(); }); });
    connect(importCalendar, &QPushButton::clicked, this, [this] { act_([this] { view_.chooseCalendarImport(); }); });
    headerLayout->addWidget(exportCalendar);
    headerLayout->addWidget(importCalendar);
    layout->addWidget(header);
    layout->addWidget(
        text("Définissez le nombre et les horaires des créneaux journaliers.", TextStyle::caption, false, secondary));

    auto* count = new QWidget;
    auto* countLayout = plainRow(count, 8);
    countLayout->addWidget(text("Nombre de créneaux :", TextStyle::subheadline));
    auto* stepper = new QWidget;
    stepper->setFixedWidth(150);
    auto* stepperLayout = plainRow(stepper, 4);
    slotCount_ = new QLabel;
    slotCount_->setObjectName("slotCount");
    fewerSlots_ = new QPushButton("−");
    fewerSlots_->setObjectName("fewerSlots");
    moreSlots_ = new QPushButton("+");
    moreSlots_->setObjectName("moreSlots");
    for (QPushButton* b : {fewerSlots_, moreSlots_}) b->setFixedWidth(28);
    connect(fewerSlots_, &QPushButton::clicked, this, [this] {
        act_([this] {
            const int64_t count = static_cast<int64_t>(view_.config()->scheduleConfig().slotDefinitions.size());
            view_.setSlotCount(std::min(count - 1, maxSlotCount));
        });
    });
    connect(moreSlots_, &QPushButton::clicked, this, [this] {
        act_([this] {
            view_.setSlotCount(static_cast<int64_t>(view_.config()->scheduleConfig().slotDefinitions.size()) + 1);
        });
    });
    stepperLayout->addWidget(slotCount_);
    stepperLayout->addStretch();
    stepperLayout->addWidget(fewerSlots_);
    stepperLayout->addWidget(moreSlots_);
    countLayout->addWidget(stepper);
    countLayout->addStretch();
    layout->addWidget(count);

    auto* rows = new QWidget;
    slotRows_ = new QVBoxLayout(rows);
    slotRows_->setContentsMargins(0, 0, 0, 0);
    slotRows_->setSpacing(6);
    slotScroll_ = new QScrollArea;
    slotScroll_->setObjectName("slotScroll");
    slotScroll_->setWidgetResizable(true);
    slotScroll_->setFrameShape(QFrame::NoFrame);
    slotScroll_->setWidget(rows);
    layout->addWidget(slotScroll_);
    return frame;
}

QWidget* TeachersTab::buildAgendaCard() {
    QVBoxLayout* layout = nullptr;
    QFrame* frame = tabCard("agendaCard", 10, layout);
    layout->addWidget(text("Agenda de réservation", TextStyle::headline));

    auto* navigation = new QWidget;
    auto* navLayout = plainRow(navigation, 6);
    navigation->setContentsMargins(0, 0, 0, 5);
    auto* previous = new QPushButton(style()->standardIcon(QStyle::SP_ArrowLeft), "");
    previous->setObjectName("previousWeek");
    auto* next = new QPushButton(style()->standardIcon(QStyle::SP_ArrowRight), "");
    next->setObjectName("nextWeek");
    auto* today = smallButton({}, "Aujourd'hui", "thisWeek");
    weekLabel_ = text("", TextStyle::subheadline, true);
    weekLabel_->setObjectName("weekLabel");
    auto move = [this](int delta) {
        act_([this, delta] {
            int& offset = view_.panel()->displayedWeekOffset;
            offset = delta == 0 ? 0 : offset + delta;
        });
    };
    connect(previous, &QPushButton::clicked, this, [move] { move(-1); });
    connect(next, &QPushButton::clicked, this, [move] { move(1); });
    connect(today, &QPushButton::clicked, this, [move] { move(0); });
    navLayout->addWidget(previous);
    navLayout->addStretch();
    navLayout->addWidget(weekLabel_);
    navLayout->addStretch();
    navLayout->addWidget(today);
    navLayout->addWidget(next);
    layout->addWidget(navigation);

    auto* pickerRow = new QWidget;
    auto* pickerLayout = plainRow(pickerRow, 8);
    pickerLayout->addWidget(text("Attribuer à :", TextStyle::caption, false, secondary));
    teacherPicker_ = new QComboBox;
    teacherPicker_->setObjectName("teacherForSlot");
    teacherPicker_->setFixedWidth(200);
    connect(teacherPicker_, &QComboBox::activated, this, [this](int index) {
        const QString id = teacherPicker_->itemData(index).toString();
        act_([this, id] {
            view_.panel()->selectedTeacherForSlot = id.isEmpty() ? std::nullopt : std::optional<std::string>(ss(id));
        });
    });
    pickerLayout->addWidget(teacherPicker_);
    pickerLayout->addStretch();
    layout->addWidget(pickerRow);

    gridWidget_ = new QWidget;
    gridWidget_->setObjectName("agendaGrid");
    gridWidget_->setStyleSheet("QWidget#agendaGrid { background: rgba(60, 60, 67, 0.07); border-radius: 8px; }");
    grid_ = new QGridLayout(gridWidget_);
    grid_->setContentsMargins(0, 0, 0, 0);
    grid_->setHorizontalSpacing(2);
    grid_->setVerticalSpacing(2);
    grid_->setColumnMinimumWidth(0, 80);
    for (int c = 1; c <= 5; ++c) grid_->setColumnStretch(c, 1);
    layout->addWidget(gridWidget_);

    // The legend wraps to the card's width: twenty teachers do not widen the tab.
    legend_ = new QWidget;
    legend_->setObjectName("legend");
    legend_->setContentsMargins(0, 5, 0, 0);
    new FlowLayout(legend_, 15, 6);
    layout->addWidget(legend_);
    return frame;
}

void TeachersTab::redraw() {
    redrawTeachers();
    redrawSlots();
    redrawAgenda();
}

void TeachersTab::redrawTeachers() {
    const std::vector<Teacher> teachers = view_.config()->teachers();
    noTeacher_->setVisible(teachers.empty());
    while (teachers_.size() < teachers.size()) {
        const size_t index = teachers_.size();
        TeacherRow row{};
        row.widget = card(QString("teacherRow%1").arg(index), "#ffffff", 8);
        auto* layout = plainRow(row.widget, 8);
        layout->setContentsMargins(12, 12, 12, 12);
        auto* names = new QWidget;
        auto* namesLayout = new QVBoxLayout(names);
        namesLayout->setContentsMargins(0, 0, 0, 0);
        namesLayout->setSpacing(2);
        row.name = text("", TextStyle::body, true);
        row.pin = text("");
        row.pin->setStyleSheet("color: " + orange + "; font-family: monospace; font-size: 9pt;");
        namesLayout->addWidget(row.name);
        namesLayout->addWidget(row.pin);
        layout->addWidget(names);
        layout->addStretch();
        row.renew = smallButton(style()->standardIcon(QStyle::SP_BrowserReload), "Régénérer PIN",
                                QString("renewPin%1").arg(index));
        row.remove = smallButton(style()->standardIcon(QStyle::SP_TrashIcon), "Supprimer",
                                 QString("deleteTeacher%1").arg(index));
        row.remove->setStyleSheet("color: " + red + ";");
        connect(row.renew, &QPushButton::clicked, this, [this, index] {
            act_([this, index] {
                const auto list = view_.config()->teachers();
                if (index < list.size()) view_.regenerateTeacherPin(list[index].id);
            });
        });
        connect(row.remove, &QPushButton::clicked, this, [this, index] {
            act_([this, index] {
                const auto list = view_.config()->teachers();
                if (index < list.size()) view_.requestTeacherDeletion(list[index]);
            });
        });
        layout->addWidget(row.renew);
        layout->addWidget(row.remove);
        teacherRows_->addWidget(row.widget);
        teachers_.push_back(row);
    }
    for (size_t i = 0; i < teachers_.size(); ++i) {
        const bool used = i < teachers.size();
        teachers_[i].widget->setVisible(used);
        if (!used) continue;
        teachers_[i].name->setText(qs(teachers[i].name));
        teachers_[i].pin->setText(qs("PIN : " + teachers[i].pin));
    }
    const std::string typed = view_.panel()->newTeacherName;
    showStored(newTeacherName_, qs(typed));
    addTeacher_->setEnabled(!trimWhitespaceAndNewlines(typed).empty());
}

void TeachersTab::redrawSlots() {
    const std::vector<SlotDefinition> definitions = view_.config()->scheduleConfig().slotDefinitions;
    const int64_t count = static_cast<int64_t>(definitions.size());
    slotCount_->setText(QString::number(count));
    fewerSlots_->setEnabled(count > 1);
    moreSlots_->setEnabled(count < maxSlotCount);
    while (slots_.size() < definitions.size()) {
        const int64_t index = static_cast<int64_t>(slots_.size());
        SlotRow row{};
        row.widget = new QWidget;
        auto* layout = plainRow(row.widget, 8);
        row.number = text(QString("%1.").arg(index + 1), TextStyle::caption, false, secondary);
        row.number->setFixedWidth(22);
        row.number->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        row.label = new QLineEdit;
        row.label->setPlaceholderText("Nom");
        row.label->setFixedWidth(120);
        row.start = new QLineEdit;
        row.start->setPlaceholderText("Début");
        row.end = new QLineEdit;
        row.end->setPlaceholderText("Fin");
        row.label->setObjectName(QString("slotLabel%1").arg(index));
        row.start->setObjectName(QString("slotStart%1").arg(index));
        row.end->setObjectName(QString("slotEnd%1").arg(index));
        for (QLineEdit* time : {row.start, row.end}) time->setFixedWidth(65);
        auto redrawn = [this] { act_([] {}); };
        trackEditing(
            row.label,
            [this, index](const QString& v) { act_([this, index, v] { view_.setSlotLabel(ss(v), index); }); }, redrawn);
        trackEditing(
            row.start,
            [this, index](const QString& v) { act_([this, index, v] { view_.setSlotStart(ss(v), index); }); }, redrawn);
        trackEditing(
            row.end, [this, index](const QString& v) { act_([this, index, v] { view_.setSlotEnd(ss(v), index); }); },
            redrawn);
        layout->addWidget(row.number);
        layout->addWidget(row.label);
        layout->addWidget(row.start);
        layout->addWidget(new QLabel("—"));
        layout->addWidget(row.end);
        layout->addStretch();
        slotRows_->addWidget(row.widget);
        slots_.push_back(row);
    }
    for (size_t i = 0; i < slots_.size(); ++i) {
        const bool used = i < definitions.size();
        slots_[i].widget->setVisible(used);
        if (!used) continue;
        showStored(slots_[i].label, qs(definitions[i].label));
        showStored(slots_[i].start, qs(definitions[i].start));
        showStored(slots_[i].end, qs(definitions[i].end));
    }
    // Up to 8 rows show whole; from 9 on the list scrolls within 250 points.
    const int rowHeight = slots_.empty() ? 28 : slots_.front().widget->sizeHint().height() + 6;
    slotScroll_->setFixedHeight(count <= 8 ? static_cast<int>(count) * rowHeight : 250);
    slotScroll_->setVerticalScrollBarPolicy(count <= 8 ? Qt::ScrollBarAlwaysOff : Qt::ScrollBarAlwaysOn);
}

void TeachersTab::redrawAgenda() {
    const AppConfig::Values config = view_.config()->snapshot();
    const PanelState& panel = *view_.panel();
    const AgendaWeek week =
        agendaWeek(view_.context().now(), panel.displayedWeekOffset, config.scheduleConfig, config.teachers);
    weekLabel_->setText(qs(week.label));

    {
        // Filled again only when the teachers change, so that an open list
        // is not emptied under the pointer by the 5-second tick.
        QSignalBlocker block(teacherPicker_);
        QStringList items;
        for (const Teacher& teacher : config.teachers) items << qs(teacher.id) << qs(teacher.name);
        if (items != pickerItems_) {
            teacherPicker_->clear();
            teacherPicker_->addItem("— Libérer —", QString());
            for (const Teacher& teacher : config.teachers) teacherPicker_->addItem(qs(teacher.name), qs(teacher.id));
            pickerItems_ = items;
        }
        const QString selected = panel.selectedTeacherForSlot ? qs(*panel.selectedTeacherForSlot) : QString();
        teacherPicker_->setCurrentIndex(std::max(0, teacherPicker_->findData(selected)));
    }

    // The grid is small (a few dozen cells): rebuilt whenever what it shows changed.
    if (week == shownWeek_ && pickerItems_ == legendItems_) return;
    shownWeek_ = week;
    while (QLayoutItem* item = grid_->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    for (int d = 0; d < 5; ++d) {
        const AgendaDay& day = week.days[static_cast<size_t>(d)];
        QWidget* header = twoLines(qs(day.name), qs(day.date), 9, 7, Qt::AlignHCenter);
        header->setObjectName(QString("dayHeader%1").arg(d));
        header->setStyleSheet(QString("QWidget#dayHeader%1 { border-radius: 4px; background: %2; }")
                                  .arg(d)
                                  .arg(day.isToday ? "rgba(10, 110, 209, 0.15)" : "transparent"));
        header->setAttribute(Qt::WA_StyledBackground);
        grid_->addWidget(header, 0, d + 1);
    }
    for (size_t s = 0; s < week.rows.size(); ++s) {
        const AgendaSlotRow& row = week.rows[s];
        QWidget* label = twoLines(qs(row.label), qs(row.times), 8, 6, Qt::AlignLeft);
        label->setObjectName(QString("slotLabelCell%1").arg(s));
        label->setFixedWidth(80);
        grid_->addWidget(label, static_cast<int>(s) + 1, 0);
        for (int d = 0; d < 5; ++d) {
            const AgendaCell& cell = row.cells[static_cast<size_t>(d)];
            auto* button = new QPushButton(qs(cell.text));
            button->setObjectName(QString("cell_%1_%2").arg(s).arg(d));
            button->setMinimumHeight(32);
            button->setStyleSheet(cellStyle(cell));
            const std::string key = cell.key;
            connect(button, &QPushButton::clicked, this,
                    [this, key] { act_([this, key] { view_.setReservation(key); }); });
            grid_->addWidget(button, static_cast<int>(s) + 1, d + 1);
        }
    }

    if (pickerItems_ == legendItems_) return;
    QLayout* legendLayout = legend_->layout();
    while (QLayoutItem* item = legendLayout->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    for (const Teacher& teacher : config.teachers) {
        const int color = teacherColor(teacher.id, config.teachers);
        auto* item = new QWidget;
        auto* itemLayout = plainRow(item, 4);
        itemLayout->addWidget(dot(10, teacherPalette[color]));
        itemLayout->addWidget(text(qs(shortTeacherName(teacher.name)), TextStyle::caption));
        legendLayout->addWidget(item);
    }
    legendItems_ = pickerItems_;
}

}  // namespace klarion::qt
