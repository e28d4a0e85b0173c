// The "Enseignants" tab: the teachers card, the slot configuration card and
// the weekly booking agenda. Rows are reused between redraws so that a field
// keeps its focus, its cursor and the text being typed.
#pragma once

#include <QStringList>
#include <QWidget>

#include <functional>
#include <optional>
#include <vector>

#include "ui/panel/agenda.h"
#include "ui/panel/content_view.h"

class QComboBox;
class QGridLayout;
class QLabel;
class QLineEdit;
class QPushButton;
class QScrollArea;
class QVBoxLayout;

namespace klarion::qt {

class TeachersTab : public QWidget {
public:
    TeachersTab(ContentView& view, std::function<void(const std::function<void()>&)> act, QWidget* parent = nullptr);
    void redraw();

private:
    struct TeacherRow {
        QWidget* widget;
        QLabel* name;
        QLabel* pin;
        QPushButton* renew;
        QPushButton* remove;
    };
    struct SlotRow {
        QWidget* widget;
        QLabel* number;
        QLineEdit* label;
        QLineEdit* start;
        QLineEdit* end;
    };
    QWidget* buildTeachersCard();
    QWidget* buildSlotsCard();
    QWidget* buildAgendaCard();
    void redrawTeachers();
    void redrawSlots();
    void redrawAgenda();

    ContentView& view_;
    std::function<void(const std::function<void()>&)> act_;

    QLabel* noTeacher_ = nullptr;
    QVBoxLayout* teacherRows_ = nullptr;
    std::vector<TeacherRow> teachers_;
    QLineEdit* newTeacherName_ = nullptr;
    QPushButton* addTeacher_ = nullptr;

    QLabel* slotCount_ = nullptr;
    QPushButton* fewerSlots_ = nullptr;
    QPushButton* moreSlots_ = nullptr;
    QScrollArea* slotScroll_ = nullptr;
    QVBoxLayout* slotRows_ = nullptr;
    std::vector<SlotRow> slots_;

    QLabel* weekLabel_ = nullptr;
    QComboBox* teacherPicker_ = nullptr;
    QGridLayout* grid_ = nullptr;
    QWidget* gridWidget_ = nullptr;
    QWidget* legend_ = nullptr;
    // The teachers (id, name, ...) the picker and the legend were filled with.
    QStringList pickerItems_, legendItems_;
    std::optional<AgendaWeek> shownWeek_;  // what the grid shows
};

}  // namespace klarion::qt
