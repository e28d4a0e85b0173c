// The shared application state.
//
// One AppConfig serves the whole program (AppConfig::shared()); tests build
// their own with a preference store of their own. All assignments happen on
// the main thread; reads are safe from any thread: one mutex guards every
// field, getters return copies, and snapshot() returns a consistent copy of
// all fields at once. Subscribers are told of each assignment after the value
// is stored, on the assigning thread, never while the lock is held.
//
// Two fields are preferences: `teacherPinCode` ("KLR_teacherPinCode", a
// string) and `safetyAiScanAll` ("KLR_safetyAiScanV2", a boolean). Each of
// their setters writes the preference, also when the value does not change.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/state/atomic_counter.h"
#include "app/state/records.h"
#include "platform/observer_list.h"
#include "platform/preferences.h"

namespace klarion {

using WordFrequency = std::map<std::string, int64_t>;
using ConnectedStudents = std::map<std::string, std::string>;  // address -> display name

// X(type, getter, setter, initial value) for every observable field, in
// declaration order.
#define KLARION_APP_CONFIG_FIELDS(X)                                                        \
    X(std::string, audience, setAudience, "visiteurs")                                      \
    X(bool, requiresPin, setRequiresPin, false)                                             \
    X(std::string, pinCode, setPinCode, "8461")                                             \
    X(bool, isSupervisionActive, setIsSupervisionActive, false)                             \
    X(std::string, supervisionLevel, setSupervisionLevel, "questions_answers")              \
    X(std::string, customMission, setCustomMission, {})                                     \
    X(WordFrequency, wordFrequency, setWordFrequency, {})                                   \
    X(bool, isAiPaused, setIsAiPaused, false)                                               \
    X(double, timerEndTime, setTimerEndTime, 0)                                             \
    X(bool, isLmStudioOnline, setIsLmStudioOnline, false)                                   \
    X(std::string, lmLoadedModelId, setLmLoadedModelId, {})                                 \
    X(int64_t, lmContextLength, setLmContextLength, 0)                                      \
    X(std::string, shortURL, setShortURL, {})                                               \
    X(std::string, teacherShortURL, setTeacherShortURL, {})                                 \
    X(ConnectedStudents, connectedStudents, setConnectedStudents, {})                       \
    X(std::vector<LiveQuestion>, liveQuestions, setLiveQuestions, {})                       \
    X(std::vector<SafetyAlert>, safetyAlerts, setSafetyAlerts, {})                          \
    X(bool, safetyAiScanAll, setSafetyAiScanAll, false)                                     \
    X(std::string, appMode, setAppMode, "individual")                                       \
    X(std::vector<Teacher>, teachers, setTeachers, {})                                      \
    X(ScheduleConfig, scheduleConfig, setScheduleConfig, ScheduleConfig::defaultSchedule()) \
    X(std::optional<std::string>, activeTeacherId, setActiveTeacherId, {})                  \
    X(std::string, activeTeacherName, setActiveTeacherName, {})                             \
    X(double, sessionStartTime, setSessionStartTime, 0)                                     \
    X(double, lastActivityTime, setLastActivityTime, 0)                                     \
    X(double, temperature, setTemperature, 0.7)                                             \
    X(double, topP, setTopP, 0.9)                                                           \
    X(double, frequencyPenalty, setFrequencyPenalty, 0)                                     \
    X(double, presencePenalty, setPresencePenalty, 0)                                       \
    X(int64_t, maxTokens, setMaxTokens, 4096)                                               \
    X(bool, useSeed, setUseSeed, false)                                                     \
    X(int64_t, seedValue, setSeedValue, 42)                                                 \
    X(bool, expertConstraintsDisabled, setExpertConstraintsDisabled, false)                 \
    X(std::string, expertDirective, setExpertDirective, {})                                 \
    X(double, repeatPenalty, setRepeatPenalty, 1.1)                                         \
    X(std::string, teacherPinCode, setTeacherPinCode, {})

// Every observable field, in declaration order, with its initial value.
struct AppConfigValues {
#define KLARION_X(T, name, setter, initial) T name = initial;
    KLARION_APP_CONFIG_FIELDS(KLARION_X)
#undef KLARION_X
    bool operator==(const AppConfigValues&) const = default;

    AppMode mode() const { return appModeOf(appMode); }

    // The six settings kept per teacher, and their assignment.
    TeacherConfig teacherConfig() const;
    void applyTeacherConfig(const TeacherConfig& config);
};

enum class AppConfigField {
#define KLARION_X(T, name, setter, initial) name,
    KLARION_APP_CONFIG_FIELDS(KLARION_X)
#undef KLARION_X
};

class AppConfig {
public:
    using Values = AppConfigValues;
    using Field = AppConfigField;

    static constexpr int64_t lmContextRecommended = 8192;
    static constexpr const char* teacherPinPreferenceKey = "KLR_teacherPinCode";
    static constexpr const char* safetyScanPreferenceKey = "KLR_safetyAiScanV2";
    static constexpr const char* defaultClassPin = "8461";

    // Sets every field to its initial value, reads the two preferences and,
    // when no usable teacher PIN is stored, draws one and stores it.
    explicit AppConfig(std::shared_ptr<PreferenceStore> preferences);
    AppConfig(const AppConfig&) = delete;
    AppConfig& operator=(const AppConfig&) = delete;

    // The program's instance, made on first use (thread-safe) with the
    // standard preference store.
    static const std::shared_ptr<AppConfig>& shared();

#define KLARION_X(T, name, setter, initial) \
    T name() const;                         \
    void setter(T value);
    KLARION_APP_CONFIG_FIELDS(KLARION_X)
#undef KLARION_X

    // A consistent copy of every field.
    Values snapshot() const;
    // The same without the class's live data and tables, left empty: the word
    // table, the students, the questions, the alerts, the roster and the
    // schedule. For a chat, which reads only the settings.
    Values settingsSnapshot() const;
    // Runs `reader` over the fields under the lock and returns what it
    // returns: a consistent read of a few fields without copying the rest
    // (the word table, the student list). `reader` must be short and must not
    // call back into this object.
    template <class Reader>
    auto read(Reader&& reader) const {
        std::lock_guard lock(mutex_);
        return reader(static_cast<const Values&>(values_));
    }
    // Changes several fields in one step (readers see all or none of the
    // change); subscribers hear of every field that differs afterwards. A
    // changed teacherPinCode or safetyAiScanAll is written to the preferences.
    // `change` runs under the lock: it must not call back into this object.
    void update(const std::function<void(Values&)>& change);
    // The operating mode of appMode.
    AppMode mode() const;
    // The six per-teacher settings as they stand.
    TeacherConfig teacherConfig() const;

    // Counts the chat streams being relayed; usable from any thread.
    const std::shared_ptr<AtomicCounter>& activeChatStreams() const { return activeChatStreams_; }

    // Writes the current teacherPinCode to the preference store.
    void saveTeacherPinCode();

    // Called with the field after each assignment (on the assigning thread).
    int subscribe(std::function<void(Field)> observer);
    void unsubscribe(int id);
    // Counts assignments; lets a reader tell cheaply whether anything changed.
    uint64_t revision() const;

    const std::shared_ptr<PreferenceStore>& preferences() const { return preferences_; }

private:
    template <class T>
    void assign(Field field, T Values::*member, T value);
    void notify(Field field);

    std::shared_ptr<PreferenceStore> preferences_;
    std::shared_ptr<AtomicCounter> activeChatStreams_ = std::make_shared<AtomicCounter>();
    mutable std::mutex mutex_;
    Values values_;
    std::atomic<uint64_t> revision_{0};  // changed under the lock, read without it
    ObserverList<Field> observers_;
};

}  // namespace klarion
