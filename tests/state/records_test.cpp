#include "app/state/records.h"

#include <gtest/gtest.h>

namespace klarion {
namespace {

// Removes one member, or gives it another value, in a JSON object text.
Json with(const char* base, const std::string& key, std::optional<Json> value) {
    Json j = *parseJsonObject(base);
    if (value) j[key] = *value;
    else j.erase(key);
    return j;
}

const char* kTeacher = R"({"id":"A1","name":"Marie","pin":"012345","createdAt":"2025-09-01T07:45:09Z"})";
const char* kTeacherConfig =
    R"({"audience":"eleves","customMission":"m","requiresPin":true,"pinCode":"1111","isSupervisionActive":true,"supervisionLevel":"questions"})";

TEST(RecordDecoding, TeacherNeedsEveryKeyAsAString) {
    EXPECT_EQ(teacherFromJson(*parseJsonObject(kTeacher)), (Teacher{"A1", "Marie", "012345", "2025-09-01T07:45:09Z"}));
    for (const char* key : {"id", "name", "pin", "createdAt"}) {
        EXPECT_FALSE(teacherFromJson(with(kTeacher, key, std::nullopt))) << "missing " << key;
        for (Json bad : {Json(1), Json(nullptr), Json(true), Json::array()})
            EXPECT_FALSE(teacherFromJson(with(kTeacher, key, bad))) << key << " = " << bad.dump();
    }
    EXPECT_TRUE(teacherFromJson(with(kTeacher, "extra", Json(7))));  // unknown keys are ignored
    Json upper = with(kTeacher, "ID", Json("A1"));
    upper.erase("id");
    EXPECT_FALSE(teacherFromJson(upper));  // keys match case included
    EXPECT_FALSE(teacherFromJson(Json::array()));
}

TEST(RecordDecoding, TeacherConfigHasNoFallbackForMissingKeys) {
    EXPECT_EQ(teacherConfigFromJson(*parseJsonObject(kTeacherConfig)),
              (TeacherConfig{"eleves", "m", true, "1111", true, "questions"}));
    const std::pair<const char*, Json> wrongTypes[] = {
        {"audience", Json(1)},          {"customMission", Json(nullptr)},
        {"requiresPin", Json("true")},  {"requiresPin", Json(1)},
        {"pinCode", Json(1111)},        {"isSupervisionActive", Json("false")},
        {"supervisionLevel", Json(false)},
    };
    for (const auto& [key, bad] : wrongTypes)
        EXPECT_FALSE(teacherConfigFromJson(with(kTeacherConfig, key, bad))) << key << " = " << bad.dump();
    for (const char* key : {"audience", "customMission", "requiresPin", "pinCode", "isSupervisionActive",
                            "supervisionLevel"})
        EXPECT_FALSE(teacherConfigFromJson(with(kTeacherConfig, key, std::nullopt))) << "missing " << key;
}

TEST(RecordDecoding, SlotAndSchedule) {
    EXPECT_EQ(slotDefinitionFromJson(*parseJsonObject(R"({"end":"9","label":"L","start":"8h"})")),
              (SlotDefinition{"L", "8h", "9"}));  // any member order; times are not checked
    EXPECT_FALSE(slotDefinitionFromJson(*parseJsonObject(R"({"label":"L","start":"08:00"})")));

    const std::pair<const char*, bool> schedules[] = {
        {R"({"slotDefinitions":[],"reservations":{}})", true},
        {R"({"slotDefinitions":[{"label":"a","start":"08:00","end":"09:00"}],"reservations":{"k":"t"}})", true},
        {R"({"slotDefinitions":[{"label":"a","start":"08:00"}],"reservations":{}})", false},  // one bad slot
        {R"({"slotDefinitions":[],"reservations":{"k":1}})", false},
        {R"({"slotDefinitions":[],"reservations":{"k":null}})", false},
        {R"({"slotDefinitions":{},"reservations":{}})", false},
        {R"({"slotDefinitions":[],"reservations":[]})", false},
        {R"({"reservations":{}})", false},
        {R"({"slotDefinitions":[]})", false},
        {R"({})", false},
    };
    for (const auto& [text, ok] : schedules) EXPECT_EQ(scheduleConfigFromJson(*parseJson(text)).has_value(), ok) << text;
    EXPECT_TRUE(scheduleConfigFromJson(*parseJson(schedules[0].first))->reservations.empty());
}

TEST(RecordDecoding, TeacherListFailsAsAWhole) {
    EXPECT_EQ(teachersFromJson(Json::array())->size(), 0u);
    Json list = Json::array({*parseJsonObject(kTeacher), with(kTeacher, "pin", std::nullopt)});
    EXPECT_FALSE(teachersFromJson(list));
    EXPECT_FALSE(teachersFromJson(*parseJsonObject(kTeacher)));  // an object is no list
}

TEST(RecordEncoding, KeysInRecordOrder) {
    EXPECT_EQ(dumpJson(toJson(Teacher{"I", "N/O", "P", "C"})),
              R"({"id":"I","name":"N/O","pin":"P","createdAt":"C"})");
    EXPECT_EQ(dumpJson(toJson(TeacherConfig{})),
              R"({"audience":"visiteurs","customMission":"","requiresPin":false,"pinCode":"8461","isSupervisionActive":false,"supervisionLevel":"questions_answers"})");
    ScheduleConfig s{{{"Matin", "08:00", "09:45"}}, {{"2026-W01_monday_0", "T"}}};
    EXPECT_EQ(dumpJson(toJson(s)),
              R"({"slotDefinitions":[{"label":"Matin","start":"08:00","end":"09:45"}],"reservations":{"2026-W01_monday_0":"T"}})");
}

TEST(RecordEncoding, RoundTrips) {
    ScheduleConfig s = ScheduleConfig::defaultSchedule();
    s.slotDefinitions.push_back({"Créneau 5", "08:00", "09:00"});
    s.reservations["2026-W01_monday_0"] = "A";
    s.reservations["2026-W01_friday_4"] = "B";
    EXPECT_EQ(scheduleConfigFromJson(*parseJson(dumpJson(toJson(s)))), s);
    std::vector<Teacher> teachers{{"1", "Élodie", "000001", "x"}, {"2", "Luc \"L\"", "999999", "y"}};
    EXPECT_EQ(teachersFromJson(*parseJson(dumpJson(toJson(teachers)))), teachers);
    TeacherConfig c{"enseignants", "Sois bref", true, "0042", true, "questions"};
    EXPECT_EQ(teacherConfigFromJson(toJson(c)), c);
}

TEST(RecordDefaults, DefaultSchedule) {
    ScheduleConfig s = ScheduleConfig::defaultSchedule();
    EXPECT_EQ(s.slotDefinitions, (std::vector<SlotDefinition>{{"Matin 1", "08:00", "09:45"},
                                                              {"Matin 2", "10:05", "11:45"},
                                                              {"AM 1", "13:15", "15:00"},
                                                              {"AM 2", "15:15", "17:00"}}));
    EXPECT_TRUE(s.reservations.empty());
}

TEST(AppLogLevel, FromStringMatchesExactly) {
    const std::pair<const char*, std::optional<AppLogLevel>> cases[] = {
        {"INFO", AppLogLevel::info}, {"WARN", AppLogLevel::warn}, {"ERR ", AppLogLevel::error},
        {"DBG ", AppLogLevel::debug}, {"DBG", std::nullopt},       {"dbg ", std::nullopt},
        {"ERR", std::nullopt},        {"info", std::nullopt},      {"", std::nullopt},
    };
    for (const auto& [text, level] : cases) EXPECT_EQ(appLogLevelFromString(text), level) << '"' << text << '"';
    for (AppLogLevel level : {AppLogLevel::info, AppLogLevel::warn, AppLogLevel::error, AppLogLevel::debug})
        EXPECT_EQ(toString(level).size(), 4u);
}

}  // namespace
}  // namespace klarion
