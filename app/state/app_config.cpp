#include "app/state/app_config.h"

#include <cstdio>

#include "platform/random.h"
#include "platform/text.h"

namespace klarion {

TeacherConfig AppConfigValues::teacherConfig() const {
    return {audience, customMission, requiresPin, pinCode, isSupervisionActive, supervisionLevel};
}

void AppConfigValues::applyTeacherConfig(const TeacherConfig& c) {
    audience = c.audience;
    customMission = c.customMission;
    requiresPin = c.requiresPin;
    pinCode = c.pinCode;
    isSupervisionActive = c.isSupervisionActive;
    supervisionLevel = c.supervisionLevel;
}

AppConfig::AppConfig(std::shared_ptr<PreferenceStore> preferences) : preferences_(std::move(preferences)) {
    if (!preferences_) preferences_ = PreferenceStore::standard();
    // Only a stored boolean counts; anything else reads as false.
    values_.safetyAiScanAll = preferences_->boolean(safetyScanPreferenceKey).value_or(false);
    // A stored 4-character teacher PIN other than the default class PIN is
    // kept as it is; otherwise a new one (1000...9999, not the default class PIN) is drawn and stored.
    auto stored = preferences_->string(teacherPinPreferenceKey);
    if (stored && *stored != defaultClassPin && characterCount(*stored) == 4) {
        values_.teacherPinCode = *stored;
    } else {
        // Never the default class PIN: students may know it, and the next launch would not keep it.
        char pin[16];
        do {
            std::snprintf(pin, sizeof pin, "%04d", static_cast<int>(randomBelow(9000)) + 1000);
        } while (std::string_view(pin) == defaultClassPin);
        values_.teacherPinCode = pin;
        preferences_->setString(teacherPinPreferenceKey, values_.teacherPinCode);
    }
}

const std::shared_ptr<AppConfig>& AppConfig::shared() {
    static const std::shared_ptr<AppConfig> instance = std::make_shared<AppConfig>(PreferenceStore::standard());
    return instance;
}

template <class T>
void AppConfig::assign(Field field, T Values::*member, T value) {
    {
        std::lock_guard lock(mutex_);
        values_.*member = std::move(value);
        ++revision_;
    }
    notify(field);
}

#define KLARION_X(T, name, setter, initial)                                       \
    T AppConfig::name() const {                                                   \
        std::lock_guard lock(mutex_);                                             \
        return values_.name;                                                      \
    }                                                                             \
    void AppConfig::setter(T value) {                                             \
        assign(Field::name, &Values::name, std::move(value));                     \
        if constexpr (Field::name == Field::safetyAiScanAll)                      \
            preferences_->setBool(safetyScanPreferenceKey, safetyAiScanAll());    \
        if constexpr (Field::name == Field::teacherPinCode) saveTeacherPinCode(); \
    }
KLARION_APP_CONFIG_FIELDS(KLARION_X)
#undef KLARION_X

AppConfig::Values AppConfig::snapshot() const {
    std::lock_guard lock(mutex_);
    return values_;
}

namespace {
constexpr bool isClassData(AppConfigField field) {
    using F = AppConfigField;
    return field == F::wordFrequency || field == F::connectedStudents || field == F::liveQuestions ||
           field == F::safetyAlerts || field == F::teachers || field == F::scheduleConfig;
}
}  // namespace

AppConfig::Values AppConfig::settingsSnapshot() const {
    return read([](const Values& v) {
        Values settings;
        settings.scheduleConfig = {};
#define KLARION_X(T, name, setter, initial) \
    if constexpr (!isClassData(Field::name)) settings.name = v.name;
        KLARION_APP_CONFIG_FIELDS(KLARION_X)
#undef KLARION_X
        return settings;
    });
}

void AppConfig::update(const std::function<void(Values&)>& change) {
    Values before, after;
    {
        std::lock_guard lock(mutex_);
        before = values_;
        change(values_);
        after = values_;
        ++revision_;
    }
#define KLARION_X(T, name, setter, initial) \
    if (!(before.name == after.name)) notify(Field::name);
    KLARION_APP_CONFIG_FIELDS(KLARION_X)
#undef KLARION_X
    if (before.safetyAiScanAll != after.safetyAiScanAll)
        preferences_->setBool(safetyScanPreferenceKey, after.safetyAiScanAll);
    if (before.teacherPinCode != after.teacherPinCode) saveTeacherPinCode();
}

AppMode AppConfig::mode() const {
    std::lock_guard lock(mutex_);
    return values_.mode();
}

TeacherConfig AppConfig::teacherConfig() const {
    std::lock_guard lock(mutex_);
    return values_.teacherConfig();
}

void AppConfig::saveTeacherPinCode() { preferences_->setString(teacherPinPreferenceKey, teacherPinCode()); }

int AppConfig::subscribe(std::function<void(Field)> observer) { return observers_.subscribe(std::move(observer)); }

void AppConfig::unsubscribe(int id) { observers_.unsubscribe(id); }

uint64_t AppConfig::revision() const { return revision_.load(); }

void AppConfig::notify(Field field) { observers_.notify(field); }

}  // namespace klarion
