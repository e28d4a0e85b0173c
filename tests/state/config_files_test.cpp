#include "app/state/config_files.h"
#include "app/state/records.h"

#include <gtest/gtest.h>

#include "platform/files.h"
#include "tests/support/scratch.h"

namespace klarion {
namespace {

namespace fs = std::filesystem;
using testing::fileMode;
using testing::writeText;

// Removes one member, or gives it another value, in a JSON object text.
Json with(const char* base, const std::string& key, std::optional<Json> value) {
    Json j = *parseJsonObject(base);
    if (value)
        j[key] = *value;
    else
        j.erase(key);
    return j;
}

const char* kTeacher = R"({"id":"A1","name":"Marie","pin":"012345","createdAt":"2025-09-01T07:45:09Z"})";
const char* kTeacherConfig =
    R"({"audience":"eleves","customMission":"m","requiresPin":true,"pinCode":"1111","isSupervisionActive":true,"supervisionLevel":"questions"})";

TEST(RecordDecoding, EveryKeyIsNeededWithItsType) {
    EXPECT_EQ(teacherFromJson(*parseJsonObject(kTeacher)), (Teacher{"A1", "Marie", "012345", "2025-09-01T07:45:09Z"}));
    EXPECT_EQ(teacherConfigFromJson(*parseJsonObject(kTeacherConfig)),
              (TeacherConfig{"eleves", "m", true, "1111", true, "questions"}));
    for (const char* key : {"id", "name", "pin", "createdAt"}) {
        EXPECT_FALSE(teacherFromJson(with(kTeacher, key, std::nullopt))) << "missing " << key;
        for (Json bad : {Json(1), Json(nullptr), Json(true), Json::array()})
            EXPECT_FALSE(teacherFromJson(with(kTeacher, key, bad))) << key << " = " << bad.dump();
    }
    const std::pair<const char*, Json> wrongTypes[] = {
        {"audience", Json(1)},
        {"customMission", Json(nullptr)},
        {"requiresPin", Json("true")},
        {"requiresPin", Json(1)},
        {"pinCode", Json(1111)},
        {"isSupervisionActive", Json("false")},
        {"supervisionLevel", Json(false)},
    };
    for (const auto& [key, bad] : wrongTypes) {
        EXPECT_FALSE(teacherConfigFromJson(with(kTeacherConfig, key, bad))) << key << " = " << bad.dump();
        EXPECT_FALSE(teacherConfigFromJson(with(kTeacherConfig, key, std::nullopt))) << "missing " << key;
    }
    EXPECT_TRUE(teacherFromJson(with(kTeacher, "extra", Json(7))));  // unknown keys are ignored
    Json upper = with(kTeacher, "ID", Json("A1"));
    upper.erase("id");
    EXPECT_FALSE(teacherFromJson(upper));  // keys match case included
    EXPECT_FALSE(teacherFromJson(Json::array()));
    EXPECT_EQ(slotDefinitionFromJson(*parseJsonObject(R"({"end":"9","label":"L","start":"8h"})")),
              (SlotDefinition{"L", "8h", "9"}));  // any member order; times are not checked
    EXPECT_FALSE(slotDefinitionFromJson(*parseJsonObject(R"({"label":"L","start":"08:00"})")));
    EXPECT_EQ(
        dumpJson(toJson(TeacherConfig{})),  // the initial settings
        R"({"audience":"visiteurs","customMission":"","requiresPin":false,"pinCode":"8461","isSupervisionActive":false,"supervisionLevel":"questions_answers"})");
}

// ---- the configuration folder ----

class ConfigFolderTest : public ::testing::Test {
protected:
    testing::ScratchHome scratch;
    fs::path documents = scratch.home() / "Documents";
    ConfigFolder folder{documents};

    enum Kind { mode, teachers, schedule, settings };
    fs::path fileOf(Kind kind) {
        switch (kind) {
            case mode: return folder.modeFile();
            case teachers: return folder.teachersFile();
            case schedule: return folder.scheduleFile();
            default: return *folder.teacherConfigFile("T1");
        }
    }
    // What the program reads from that file, written as JSON.
    std::string load(Kind kind) {
        switch (kind) {
            case mode: return folder.loadAppMode();
            case teachers: return dumpJson(toJson(folder.loadTeachers()));
            case schedule: return dumpJson(toJson(folder.loadSchedule()));
            default: return dumpJson(toJson(folder.loadTeacherConfig("T1")));
        }
    }
};

TEST_F(ConfigFolderTest, ReadingFallsBackToTheDefaultsAndKeepsADamagedFile) {
    const std::string noTeachers = "[]", defaultSchedule = dumpJson(toJson(ScheduleConfig::defaultSchedule()));
    const std::string defaultSettings = dumpJson(toJson(TeacherConfig{}));
    const std::string teacher = R"({"id":"1","name":"A","pin":"123456","createdAt":"x")";
    const std::string custom =
        R"({"slotDefinitions":[{"label":"Seul","start":"08:00","end":"12:00"}],"reservations":{"k":"T"}})";
    const std::string mine =
        R"({"audience":"eleves","customMission":"Réviser","requiresPin":true,"pinCode":"4321","isSupervisionActive":true,"supervisionLevel":"questions"})";
    const struct {
        Kind kind;
        std::string text, loaded;
        bool damaged;
    } cases[] = {
        {mode, R"({"mode": "autre"})", "autre", false},  // not compared with the known modes
        {mode, R"({"mode": 1})", "individual", true},
        {mode, "", "individual", true},
        {teachers, "[]", noTeachers, false},
        {teachers, "[" + teacher + R"(,"extra":0}])", "[" + teacher + "}]", false},
        {teachers, "[" + teacher + R"(},{"id":"2","name":"B","createdAt":"x"}])", noTeachers, true},  // all or nothing
        {teachers, "not json", noTeachers, true},
        {schedule, "{}", defaultSchedule, true},
        {schedule, R"({"slotDefinitions":[{"label":"Seul","start":"08:00"}],"reservations":{}})", defaultSchedule,
         true},
        {schedule, custom, custom, false},
        {schedule, R"({"slotDefinitions":[],"reservations":{}})", R"({"slotDefinitions":[],"reservations":{}})", false},
        {settings, mine, mine, false},
        // One key missing: the defaults, never a mix of stored and initial values.
        {settings,
         R"({"audience":"eleves","customMission":"","pinCode":"4321","isSupervisionActive":true,"supervisionLevel":"questions"})",
         defaultSettings, true},
    };
    EXPECT_EQ(load(teachers), noTeachers);  // missing files, which are no damage
    EXPECT_EQ(load(schedule), defaultSchedule);
    EXPECT_FALSE(fs::exists(fs::path(folder.scheduleFile()) += ".damaged"));
    for (const auto& c : cases) {
        const fs::path file = fileOf(c.kind), copy = fs::path(file) += ".damaged";
        fs::remove(copy);
        writeText(file, c.text);
        EXPECT_EQ(load(c.kind), c.loaded) << c.text;
        EXPECT_EQ(readFile(copy), c.damaged ? std::optional(c.text) : std::nullopt) << c.text;
    }
    EXPECT_EQ(folder.loadAppMode(), "individual");
    folder.saveTeachers({});  // the defaults saved over the damaged file leave the copy alone
    EXPECT_EQ(readFile(folder.teachersFile()), "[]");
    EXPECT_EQ(readFile(fs::path(folder.teachersFile()) += ".damaged"), "not json");
}

TEST_F(ConfigFolderTest, FilesAndFoldersArePrivateAndWrittenCompactly) {
    EXPECT_EQ(ConfigFolder().directory(), documents / "Klarion_Config");  // the Documents folder by default
    EXPECT_EQ(folder.loadAppMode(), "individual");
    EXPECT_FALSE(fs::exists(documents));                                // reading the mode creates nothing
    EXPECT_EQ(folder.configDirectory(), documents / "Klarion_Config");  // made when asked for
    EXPECT_TRUE(fs::is_directory(folder.directory()));
    ASSERT_TRUE(folder.saveAppMode("establishment"));
    EXPECT_EQ(folder.loadAppMode(), "establishment");
    EXPECT_EQ(readFile(folder.modeFile()), "{\n  \"mode\": \"establishment\"\n}");
    EXPECT_EQ(fileMode(documents), 0700u);
    EXPECT_EQ(fileMode(folder.directory()), 0700u);
    EXPECT_EQ(fileMode(folder.modeFile()), 0600u);

    const std::vector<Teacher> teachers{{"ID-1", "M. A/B", "012345", "2025-09-01T07:45:09Z"},
                                        {"2", "Luc \"L\"", "1", "y"}};
    ASSERT_TRUE(folder.saveTeachers(teachers));
    EXPECT_EQ(readFile(folder.teachersFile()),
              R"([{"id":"ID-1","name":"M. A\/B","pin":"012345","createdAt":"2025-09-01T07:45:09Z"},)"
              R"({"id":"2","name":"Luc \"L\"","pin":"1","createdAt":"y"}])");
    EXPECT_EQ(folder.loadTeachers(), teachers);
    ScheduleConfig s{{{"AM", "13:15", "15:00"}}, {{"2026-W02_friday_0", "ID-1"}}};
    ASSERT_TRUE(folder.saveSchedule(ScheduleConfig::defaultSchedule()));
    ASSERT_TRUE(folder.saveSchedule(s));
    EXPECT_EQ(
        readFile(folder.scheduleFile()),
        R"({"slotDefinitions":[{"label":"AM","start":"13:15","end":"15:00"}],"reservations":{"2026-W02_friday_0":"ID-1"}})");
    EXPECT_EQ(folder.loadSchedule(), s);

    TeacherConfig mine{"eleves", "Réviser la Révolution", true, "4321", true, "questions"};
    EXPECT_EQ(folder.loadTeacherConfig("T1"), TeacherConfig{});
    EXPECT_TRUE(fs::is_directory(folder.teacherConfigsDirectory()));  // created by the loader
    ASSERT_TRUE(folder.saveTeacherConfig("T1", mine));
    EXPECT_EQ(folder.loadTeacherConfig("T1"), mine);
    EXPECT_EQ(fileMode(*folder.teacherConfigFile("T1")), 0600u);
    int files = 0;
    for (auto& entry : fs::directory_iterator(folder.directory())) files += entry.is_regular_file();
    EXPECT_EQ(files, 3);  // no temporary file left behind
}

TEST_F(ConfigFolderTest, UnsafeTeacherIdsAreNeverFileNames) {
    ASSERT_TRUE(folder.saveTeacherConfig("T1", TeacherConfig{}));
    writeText(
        folder.directory() / "evil.json",
        R"({"audience":"x","customMission":"","requiresPin":true,"pinCode":"0000","isSupervisionActive":false,"supervisionLevel":"q"})");
    for (const std::string& id : std::vector<std::string>{"", ".", "..", "../evil", "a/b", std::string("T1\0x", 4)}) {
        EXPECT_FALSE(folder.teacherConfigFile(id)) << id;
        EXPECT_EQ(folder.loadTeacherConfig(id), TeacherConfig{}) << id;
        EXPECT_FALSE(folder.saveTeacherConfig(id, TeacherConfig{"pirate", "", true, "0000", false, "q"})) << id;
    }
    EXPECT_FALSE(fs::exists(folder.directory() / "..json"));
    EXPECT_FALSE(fs::exists(folder.teacherConfigsDirectory() / ".json"));
    EXPECT_EQ(folder.loadTeacherConfig("T1"), TeacherConfig{});
}

TEST_F(ConfigFolderTest, WriteFailuresAreReportedAndLoseNothing) {
    writeText(documents / "Klarion_Config", "a file where the folder should be");
    EXPECT_FALSE(folder.saveAppMode("establishment"));
    EXPECT_FALSE(folder.saveTeachers({}));
    EXPECT_EQ(folder.loadAppMode(), "individual");
    EXPECT_EQ(folder.loadTeacherConfig("T1"), TeacherConfig{});
    EXPECT_EQ(readFile(documents / "Klarion_Config"), "a file where the folder should be");
}

}  // namespace
}  // namespace klarion
