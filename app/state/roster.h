// The teacher roster of the establishment mode and PIN drawing.
//
// The roster operations run on the main thread, change AppConfig::teachers
// (and, for a deletion, the reservations) and save what they changed at once;
// a failed save is ignored and the change stays in memory.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "app/state/records.h"
#include "app/state/state_context.h"

namespace klarion {

// `digits` decimal digits (0 to 18), leading zeros kept, drawn uniformly
// from 0 ... 10^digits - 1 without modulo bias. A count outside 0 ... 18 is
// brought into that range.
std::string generatePin(int digits);

// A new 4-digit individual teacher PIN: never the default class PIN, which
// students may know and which the next launch would not keep.
std::string generateTeacherPin();

// A new teacher: a new random UUID as id, the name and PIN as given, the
// creation time `now` as an ISO 8601 date-time in UTC ("2025-09-01T07:45:09Z").
Teacher makeTeacher(std::string name, std::string pin, double now);

// Adds a teacher named `typedName` trimmed of white space and line breaks,
// with a drawn 6-digit PIN; saves the roster; journal "Enseignant ajouté : "
// + name. Returns the new teacher, or none (nothing done) when the trimmed
// name is empty.
std::optional<Teacher> addTeacher(const StateContext& ctx, std::string_view typedName);

// Gives the first teacher with that id a new 6-digit PIN; saves the roster;
// journal "PIN régénéré pour " + name + " → " + PIN. False (nothing done) for
// an unknown id.
bool regenerateTeacherPin(const StateContext& ctx, const std::string& teacherId);

// Removes every teacher with that id and every reservation booked for it;
// saves both files, also when no teacher had that id; journal (warn)
// "Enseignant supprimé : " + name, or "?" for an unknown id. A running
// session of that teacher goes on; its settings file and class logs stay.
void deleteTeacher(const StateContext& ctx, const std::string& teacherId);

}  // namespace klarion
