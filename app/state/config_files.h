// The configuration folder "Klarion_Config" in the Documents folder and its
// files: "mode.json", "teachers.json", "schedule.json" and one settings file
// per teacher in "teacher_configs".
//
// Writes are atomic (see writeFileAtomic) with folders 0700 and files 0600.
// A missing or damaged file reads as the defaults; an existing file that
// fails to load is first kept as NAME.damaged. A teacher id that is not a
// safe file name is never used as one: nothing is read or written for it.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "app/state/records.h"
#include "platform/paths.h"

namespace klarion {

class ConfigFolder {
public:
    // `documents` stands for the user's Documents folder.
    explicit ConfigFolder(std::filesystem::path documents = documentsFolder());

    const std::filesystem::path& documents() const { return documents_; }
    std::filesystem::path directory() const;  // documents/Klarion_Config
    std::filesystem::path modeFile() const;
    std::filesystem::path teachersFile() const;
    std::filesystem::path scheduleFile() const;
    std::filesystem::path teacherConfigsDirectory() const;
    // None when the id is not a safe file name.
    std::optional<std::filesystem::path> teacherConfigFile(const std::string& teacherId) const;

    // Creates the folder with its parents; failures are ignored.
    void ensureConfigDirectory() const;
    // Removes the temporary files that saves cut short by the end of the
    // process left in the folder and in "teacher_configs" (see
    // removeAtomicWriteLeftovers); how many went. Creates nothing.
    std::size_t removeWriteLeftovers() const;
    // ensureConfigDirectory(), then the folder's path.
    std::filesystem::path configDirectory() const;

    // The string "mode" of "mode.json", else "individual". Creates nothing.
    std::string loadAppMode() const;
    bool saveAppMode(const std::string& mode) const;  // pretty-printed {"mode": ...}

    // That teacher's settings, else the initial TeacherConfig.
    TeacherConfig loadTeacherConfig(const std::string& teacherId) const;
    bool saveTeacherConfig(const std::string& teacherId, const TeacherConfig& config) const;

    // Decoded file content, or none (missing or damaged).
    std::optional<std::vector<Teacher>> readTeachers() const;
    std::optional<ScheduleConfig> readSchedule() const;
    // The same with the fallbacks: no teachers, the default schedule.
    std::vector<Teacher> loadTeachers() const;
    ScheduleConfig loadSchedule() const;
    // ensureConfigDirectory(), then the whole value, compact.
    bool saveTeachers(const std::vector<Teacher>& teachers) const;
    bool saveSchedule(const ScheduleConfig& schedule) const;

private:
    std::filesystem::path documents_;
};

// Compact encoding of the files: record key order, "/" written as "\/".
std::string encodeConfigJson(const Json& value);

}  // namespace klarion
