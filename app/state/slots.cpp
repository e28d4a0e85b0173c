#include "app/state/slots.h"

#include "app/state/slot_times.h"

namespace klarion {

namespace {

// Applies `edit` to the slot at `index` and saves, when the index exists.
template <class Edit>
void editSlot(const StateContext& ctx, int64_t index, Edit edit) {
    bool changed = false;
    ctx.config->update([&](AppConfig::Values& v) {
        auto& slots = v.scheduleConfig.slotDefinitions;
        if (index < 0 || index >= static_cast<int64_t>(slots.size())) return;
        edit(slots[static_cast<size_t>(index)]);
        changed = true;
    });
    if (changed) ctx.saveSchedule();
}

}  // namespace

void setSlotCount(const StateContext& ctx, int64_t newCount) {
    ctx.config->update([&](AppConfig::Values& v) {
        auto& slots = v.scheduleConfig.slotDefinitions;
        if (newCount < minSlotCount || newCount > maxSlotCount) return;
        auto target = static_cast<size_t>(newCount);
        if (slots.size() >= target) {
            slots.resize(target);
            return;
        }
        for (size_t position = slots.size() + 1; position <= target; ++position) {
            slots.push_back(SlotDefinition{"Créneau " + std::to_string(position), "08:00", "09:00"});
        }
    });
    ctx.saveSchedule();
}

void setSlotLabel(const StateContext& ctx, const std::string& text, int64_t index) {
    editSlot(ctx, index, [&](SlotDefinition& slot) { slot.label = text; });
}

void setSlotStart(const StateContext& ctx, const std::string& text, int64_t index) {
    editSlot(ctx, index, [&](SlotDefinition& slot) { slot.start = timeOrText(text); });
}

void setSlotEnd(const StateContext& ctx, const std::string& text, int64_t index) {
    editSlot(ctx, index, [&](SlotDefinition& slot) { slot.end = timeOrText(text); });
}

void setReservation(const StateContext& ctx, const std::string& key, const std::optional<std::string>& teacherId) {
    ctx.config->update([&](AppConfig::Values& v) {
        if (teacherId) {
            v.scheduleConfig.reservations[key] = *teacherId;
        } else {
            v.scheduleConfig.reservations.erase(key);
        }
    });
    ctx.saveSchedule();
    ctx.log("Slot " + key + " → " + teacherId.value_or("libre"), AppLogLevel::debug);
}

}  // namespace klarion
