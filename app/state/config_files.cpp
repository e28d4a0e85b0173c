#include "app/state/config_files.h"

#include "platform/files.h"

namespace klarion {

namespace fs = std::filesystem;

std::string encodeConfigJson(const Json& value) { return dumpJson(value, {.escapeSlashes = true}); }

namespace {

// Reads and decodes a file; an existing file that does not decode is kept
// as NAME.damaged, since the caller's defaults will be saved over it.
template <class T, class Decode>
std::optional<T> readConfigFile(const fs::path& path, Decode decode) {
    auto bytes = readFile(path);
    if (!bytes) return std::nullopt;
    std::optional<T> value;
    if (auto json = parseJson(*bytes)) value = decode(*json);
    if (!value) keepDamagedCopy(path);
    return value;
}

}  // namespace

ConfigFolder::ConfigFolder(fs::path documents) : documents_(std::move(documents)) {}

fs::path ConfigFolder::directory() const { return documents_ / "Klarion_Config"; }
fs::path ConfigFolder::modeFile() const { return directory() / "mode.json"; }
fs::path ConfigFolder::teachersFile() const { return directory() / "teachers.json"; }
fs::path ConfigFolder::scheduleFile() const { return directory() / "schedule.json"; }
fs::path ConfigFolder::teacherConfigsDirectory() const { return directory() / "teacher_configs"; }

std::optional<fs::path> ConfigFolder::teacherConfigFile(const std::string& teacherId) const {
    if (!isSafeFileName(teacherId)) return std::nullopt;
    return teacherConfigsDirectory() / (teacherId + ".json");
}

void ConfigFolder::ensureConfigDirectory() const { ensureDirectory(directory()); }

std::size_t ConfigFolder::removeWriteLeftovers() const {
    return removeAtomicWriteLeftovers(directory()) + removeAtomicWriteLeftovers(teacherConfigsDirectory());
}

fs::path ConfigFolder::configDirectory() const {
    ensureConfigDirectory();
    return directory();
}

std::string ConfigFolder::loadAppMode() const {
    auto mode = readConfigFile<std::string>(modeFile(), [](const Json& j) { return readString(j, "mode"); });
    return mode.value_or("individual");
}

bool ConfigFolder::saveAppMode(const std::string& mode) const {
    ensureConfigDirectory();
    Json j = Json::object();
    j["mode"] = mode;
    return writeFileAtomic(modeFile(), dumpJson(j, {.pretty = true, .escapeSlashes = true}));
}

TeacherConfig ConfigFolder::loadTeacherConfig(const std::string& teacherId) const {
    ensureConfigDirectory();
    ensureDirectory(teacherConfigsDirectory());
    auto file = teacherConfigFile(teacherId);
    if (!file) return TeacherConfig{};
    return readConfigFile<TeacherConfig>(*file, teacherConfigFromJson).value_or(TeacherConfig{});
}

bool ConfigFolder::saveTeacherConfig(const std::string& teacherId, const TeacherConfig& config) const {
    auto file = teacherConfigFile(teacherId);
    if (!file) return false;
    ensureConfigDirectory();
    ensureDirectory(teacherConfigsDirectory());
    return writeFileAtomic(*file, encodeConfigJson(toJson(config)));
}

std::optional<std::vector<Teacher>> ConfigFolder::readTeachers() const {
    return readConfigFile<std::vector<Teacher>>(teachersFile(), teachersFromJson);
}

std::optional<ScheduleConfig> ConfigFolder::readSchedule() const {
    return readConfigFile<ScheduleConfig>(scheduleFile(), scheduleConfigFromJson);
}

std::vector<Teacher> ConfigFolder::loadTeachers() const { return readTeachers().value_or(std::vector<Teacher>{}); }

ScheduleConfig ConfigFolder::loadSchedule() const { return readSchedule().value_or(ScheduleConfig::defaultSchedule()); }

bool ConfigFolder::saveTeachers(const std::vector<Teacher>& teachers) const {
    ensureConfigDirectory();
    return writeFileAtomic(teachersFile(), encodeConfigJson(toJson(teachers)));
}

bool ConfigFolder::saveSchedule(const ScheduleConfig& schedule) const {
    ensureConfigDirectory();
    return writeFileAtomic(scheduleFile(), encodeConfigJson(toJson(schedule)));
}

}  // namespace klarion
