// The weekly booking agenda of the "Enseignants" tab, without a window: the
// displayed week, its label and day headers, and each cell's key, text and
// colour. Local time (the user's calendar) throughout.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "app/state/records.h"

namespace klarion {

struct AgendaDay {
    std::string name;  // "Lundi" ... "Vendredi"
    std::string date;  // "dd/MM"
    bool isToday;
    bool operator==(const AgendaDay&) const = default;
};

struct AgendaCell {
    std::string key;   // week key + "_" + day key + "_" + slot index
    std::string text;  // the short name of the booked teacher, else "—"
    bool booked;       // the key has a booking (known teacher or not)
    int color;         // palette index of the booked teacher; -1: gray (unknown or free)
    bool operator==(const AgendaCell&) const = default;
};

struct AgendaSlotRow {
    std::string label;
    std::string times;              // start + "-" + end
    std::vector<AgendaCell> cells;  // Monday to Friday
    bool operator==(const AgendaSlotRow&) const = default;
};

struct AgendaWeek {
    std::string weekKey;
    std::string label;  // "06 mai — 10 mai (2024-W19)"
    std::vector<AgendaDay> days;
    std::vector<AgendaSlotRow> rows;
    bool operator==(const AgendaWeek&) const = default;
};

// The week `weekOffset` weeks from the one holding `now`.
AgendaWeek agendaWeek(double now, int weekOffset, const ScheduleConfig& schedule, const std::vector<Teacher>& teachers);

// "Anne Marie Dupont" -> "A. Dupont"; fewer than two words: unchanged.
std::string shortTeacherName(const std::string& name);
// The palette position (0 to 7) of the teacher's colour, -1 when unknown.
int teacherColor(const std::string& teacherId, const std::vector<Teacher>& teachers);
// Blue, orange, purple, green, pink, teal, indigo, mint.
extern const char* const teacherPalette[8];

}  // namespace klarion
