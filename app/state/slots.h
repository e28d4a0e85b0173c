// Editing the daily slots and the reservations of the weekly agenda.
//
// Main thread. Every change goes straight into AppConfig::scheduleConfig and
// schedule.json is saved at once; a failed save is silent and the change
// stays in memory. Reservations are not bound to the slot list: shrinking the
// list keeps the bookings of the removed indexes, and they apply again when
// the list grows back.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "app/state/state_context.h"

namespace klarion {

// Slot counts the panel offers.
inline constexpr int64_t minSlotCount = 1;
inline constexpr int64_t maxSlotCount = 24;

// Grows the list with slots "Créneau <position>" from "08:00" to "09:00", or
// keeps its first `newCount` slots; a count outside 1 ... 24 changes nothing.
// Saves in every case. No journal line.
void setSlotCount(const StateContext& ctx, int64_t newCount);

// For 0 <= index < count: sets the slot's label as typed (empty allowed) and
// saves; otherwise nothing happens and nothing is saved.
void setSlotLabel(const StateContext& ctx, const std::string& text, int64_t index);
// For 0 <= index < count: stores normalizeTime(text) when it reads as a time,
// else the text as typed, and saves; otherwise nothing.
void setSlotStart(const StateContext& ctx, const std::string& text, int64_t index);
void setSlotEnd(const StateContext& ctx, const std::string& text, int64_t index);

// Books `key` for `teacherId` (replacing any booking), or frees it when none;
// saves; journal (debug) "Slot " + key + " → " + id, or "libre".
void setReservation(const StateContext& ctx, const std::string& key, const std::optional<std::string>& teacherId);

}  // namespace klarion
