#include "app/state/config_files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "platform/files.h"
#include "tests/platform/scratch.h"

namespace klarion {
namespace {

namespace fs = std::filesystem;

class ConfigFolderTest : public ::testing::Test {
protected:
    testing::ScratchHome scratch;
    fs::path documents = scratch.home() / "Documents";
    ConfigFolder folder{documents};

    void write(const fs::path& file, const std::string& text) {
        fs::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary) << text;
    }
    static unsigned modeOf(const fs::path& p) {
        struct stat st{};
        stat(p.c_str(), &st);
        return st.st_mode & 0777;
    }
};

TEST_F(ConfigFolderTest, UsesTheDocumentsFolderByDefault) {
    EXPECT_EQ(ConfigFolder().directory(), scratch.home() / "Documents" / "Klarion_Config");
    EXPECT_EQ(folder.teacherConfigFile("ABC"), documents / "Klarion_Config" / "teacher_configs" / "ABC.json");
}

TEST_F(ConfigFolderTest, ModeWithoutFolderIsIndividualAndCreatesNothing) {
    EXPECT_EQ(folder.loadAppMode(), "individual");
    EXPECT_FALSE(fs::exists(documents));
    ASSERT_TRUE(folder.saveAppMode("establishment"));
    EXPECT_EQ(folder.loadAppMode(), "establishment");
    EXPECT_EQ(readFile(folder.modeFile()), "{\n  \"mode\": \"establishment\"\n}");
    EXPECT_EQ(modeOf(folder.directory()), 0700u);
    EXPECT_EQ(modeOf(folder.modeFile()), 0600u);
}

TEST_F(ConfigFolderTest, ModeFallbacks) {
    const std::pair<const char*, const char*> cases[] = {
        {R"({"mode": "autre"})", "autre"},    // not compared with the known modes
        {R"({"mode": 1})", "individual"},
        {R"([])", "individual"},
        {R"("establishment")", "individual"},  // a top-level scalar
        {R"({"mode": "establishment")", "individual"},
        {R"({"Mode": "establishment"})", "individual"},
        {"", "individual"},
    };
    for (const auto& [text, expected] : cases) {
        write(folder.modeFile(), text);
        EXPECT_EQ(folder.loadAppMode(), expected) << text;
    }
}

TEST_F(ConfigFolderTest, ADamagedFileIsKeptBeforeDefaultsOverwriteIt) {
    write(folder.teachersFile(), R"([{"id":"1","name":"A"}])");
    EXPECT_TRUE(folder.loadTeachers().empty());
    EXPECT_EQ(readFile(fs::path(folder.teachersFile()) += ".damaged"), R"([{"id":"1","name":"A"}])");
    folder.saveTeachers({});
    EXPECT_EQ(readFile(folder.teachersFile()), "[]");
    EXPECT_EQ(readFile(fs::path(folder.teachersFile()) += ".damaged"), R"([{"id":"1","name":"A"}])");

    write(folder.modeFile(), "{oops");
    folder.loadAppMode();
    EXPECT_EQ(readFile(fs::path(folder.modeFile()) += ".damaged"), "{oops");

    // A missing file is no damage.
    EXPECT_EQ(folder.loadSchedule(), ScheduleConfig::defaultSchedule());
    EXPECT_FALSE(fs::exists(fs::path(folder.scheduleFile()) += ".damaged"));
}

TEST_F(ConfigFolderTest, TeachersFallbacks) {
    EXPECT_TRUE(folder.loadTeachers().empty());  // missing
    const std::pair<const char*, size_t> cases[] = {
        {"[]", 0},
        {R"([{"id":"1","name":"A","pin":"123456","createdAt":"x","extra":0}])", 1},
        {R"([{"id":"1","name":"A","pin":"123456","createdAt":"x"},{"id":"2","name":"B","createdAt":"x"}])", 0},
        {R"({"id":"1","name":"A","pin":"123456","createdAt":"x"})", 0},
        {"not json", 0},
    };
    for (const auto& [text, count] : cases) {
        write(folder.teachersFile(), text);
        EXPECT_EQ(folder.loadTeachers().size(), count) << text;
    }
    write(folder.teachersFile(), "[]");
    EXPECT_TRUE(folder.readTeachers().has_value());
    write(folder.teachersFile(), "[1]");
    EXPECT_FALSE(folder.readTeachers().has_value());
}

TEST_F(ConfigFolderTest, ScheduleFallbacks) {
    ScheduleConfig custom{{{"Seul", "08:00", "12:00"}}, {{"2026-W01_monday_0", "T"}}};
    const std::pair<std::string, ScheduleConfig> cases[] = {
        {"{}", ScheduleConfig::defaultSchedule()},
        {R"({"slotDefinitions":[{"label":"Seul","start":"08:00"}],"reservations":{}})",
         ScheduleConfig::defaultSchedule()},
        {R"({"slotDefinitions":[],"reservations":{"k":2}})", ScheduleConfig::defaultSchedule()},
        {dumpJson(toJson(custom)), custom},
        {R"({"slotDefinitions":[],"reservations":{}})", ScheduleConfig{}},  // an empty list stays empty
    };
    for (const auto& [text, expected] : cases) {
        write(folder.scheduleFile(), text);
        EXPECT_EQ(folder.loadSchedule(), expected) << text;
    }
}

TEST_F(ConfigFolderTest, TeacherConfigFallbacksAreAllOrNothing) {
    TeacherConfig defaults;
    EXPECT_EQ(folder.loadTeacherConfig("NEVER"), defaults);
    EXPECT_TRUE(fs::is_directory(folder.teacherConfigsDirectory()));  // created by the loader

    TeacherConfig mine{"eleves", "Réviser la Révolution", true, "4321", true, "questions"};
    ASSERT_TRUE(folder.saveTeacherConfig("T1", mine));
    EXPECT_EQ(folder.loadTeacherConfig("T1"), mine);
    EXPECT_EQ(modeOf(*folder.teacherConfigFile("T1")), 0600u);

    write(*folder.teacherConfigFile("T1"),
          R"({"audience":"eleves","customMission":"","pinCode":"4321","isSupervisionActive":true,"supervisionLevel":"questions"})");
    EXPECT_EQ(folder.loadTeacherConfig("T1"), defaults);  // no mix of stored and initial values
    EXPECT_EQ(folder.loadTeacherConfig("T1").pinCode, "8461");
}

TEST_F(ConfigFolderTest, UnsafeTeacherIdsAreNeverFileNames) {
    ASSERT_TRUE(folder.saveTeacherConfig("T1", TeacherConfig{}));
    write(folder.directory() / "evil.json",
          R"({"audience":"x","customMission":"","requiresPin":true,"pinCode":"0000","isSupervisionActive":false,"supervisionLevel":"q"})");
    const std::string ids[] = {"", ".", "..", "../evil", "a/b", std::string("T1\0x", 4)};
    for (const std::string& id : ids) {
        EXPECT_FALSE(folder.teacherConfigFile(id)) << id;
        EXPECT_EQ(folder.loadTeacherConfig(id), TeacherConfig{}) << id;
        EXPECT_FALSE(folder.saveTeacherConfig(id, TeacherConfig{"pirate", "", true, "0000", false, "q"})) << id;
    }
    EXPECT_FALSE(fs::exists(folder.directory() / "..json"));
    EXPECT_FALSE(fs::exists(folder.teacherConfigsDirectory() / ".json"));
    EXPECT_EQ(folder.loadTeacherConfig("T1"), TeacherConfig{});
}

TEST_F(ConfigFolderTest, ListFilesAreCompactWithEscapedSlashes) {
    ASSERT_TRUE(folder.saveTeachers({{"ID-1", "M. A/B", "012345", "2025-09-01T07:45:09Z"}}));
    EXPECT_EQ(readFile(folder.teachersFile()),
              R"([{"id":"ID-1","name":"M. A\/B","pin":"012345","createdAt":"2025-09-01T07:45:09Z"}])");
    ScheduleConfig s{{{"AM", "13:15", "15:00"}}, {{"2026-W02_friday_0", "ID-1"}}};
    ASSERT_TRUE(folder.saveSchedule(s));
    EXPECT_EQ(readFile(folder.scheduleFile()),
              R"({"slotDefinitions":[{"label":"AM","start":"13:15","end":"15:00"}],"reservations":{"2026-W02_friday_0":"ID-1"}})");
    EXPECT_EQ(folder.loadSchedule(), s);
    EXPECT_EQ(folder.loadTeachers().front().name, "M. A/B");
}

TEST_F(ConfigFolderTest, WritesReplaceTheFileAtomically) {
    ASSERT_TRUE(folder.saveSchedule(ScheduleConfig::defaultSchedule()));
    ASSERT_TRUE(folder.saveSchedule(ScheduleConfig{}));
    EXPECT_EQ(folder.loadSchedule(), ScheduleConfig{});
    int files = 0;
    for (auto& entry : fs::directory_iterator(folder.directory())) files += entry.is_regular_file();
    EXPECT_EQ(files, 1);  // no temporary file left behind
}

TEST_F(ConfigFolderTest, WriteFailuresAreReportedAndLoseNothing) {
    write(documents / "Klarion_Config", "a file where the folder should be");
    EXPECT_FALSE(folder.saveAppMode("establishment"));
    EXPECT_FALSE(folder.saveTeachers({}));
    EXPECT_EQ(folder.loadAppMode(), "individual");
    EXPECT_EQ(folder.loadTeacherConfig("T1"), TeacherConfig{});
    EXPECT_EQ(readFile(documents / "Klarion_Config"), "a file where the folder should be");
}

TEST_F(ConfigFolderTest, ConfigDirectoryURLCreatesTheFolder) {
    EXPECT_EQ(folder.configDirectoryURL(), documents / "Klarion_Config");
    EXPECT_TRUE(fs::is_directory(folder.directory()));
    EXPECT_EQ(modeOf(documents), 0700u);  // created with it
}

}  // namespace
}  // namespace klarion
