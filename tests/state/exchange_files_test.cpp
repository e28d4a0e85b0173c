#include "app/state/calendar_exchange.h"
#include "app/state/teachers_csv.h"

#include "tests/support/state_fixture.h"

namespace klarion {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using Names = std::vector<std::string>;
using Bookings = std::map<std::string, std::string>;

Names names(const std::vector<Teacher>& teachers) {
    Names out;
    for (const Teacher& t : teachers) out.push_back(t.name);
    return out;
}

using TeachersCSVTest = testing::StateTest;

TEST(TeachersCSVExport, BytesOfTheFileAndEveryNameReadsBack) {
    auto t = [](std::string name, std::string pin) { return Teacher{"id", std::move(name), std::move(pin), ""}; };
    const std::pair<std::vector<Teacher>, std::string> cases[] = {
        {{}, "nom,pin"},
        {{t("Anne", "012345"), t("Dupont, Jean", "999999")}, "nom,pin\nAnne,012345\n\"Dupont, Jean\",999999"},
        {{t("Le \"Grand\", Paul", "1")}, "nom,pin\n\"Le \"\"Grand\"\", Paul\",1"},
        // A double quote alone is enclosed too, so that the name reads back unchanged.
        {{t("Léa \"Bis\"", "2")}, "nom,pin\n\"Léa \"\"Bis\"\"\",2"},
    };
    for (const auto& [teachers, bytes] : cases) EXPECT_EQ(teachersCSV(teachers), bytes);
    for (std::string name : {"Anne", "Dupont, Jean", "Le \"Grand\"", "a\"\",\"b", "\"", "É, è"})
        EXPECT_THAT(parseCSVLine(teachersCSV({t(name, "1")}).substr(8)), ElementsAre(name, "1")) << name;
}

TEST(ParseCSVLine, SplitsAtCommasOutsideQuotes) {
    const std::pair<std::string, Names> cases[] = {
        {"", {""}},
        {"a,b", {"a", "b"}},
        {"a,", {"a", ""}},
        {"a,b,c", {"a", "b", "c"}},
        {"\"Dupont, Jean\",1", {"Dupont, Jean", "1"}},
        {"\"say \"\"hi\"\"\",2", {"say \"hi\"", "2"}},
        {"ab\"c,d\"e,f", {"abc,de", "f"}},  // quotes count anywhere and vanish
        {"\"open,end", {"open,end"}},       // an unclosed quote runs to the end
        {" a , b ", {" a ", " b "}},        // not trimmed
    };
    for (const auto& [line, fields] : cases) EXPECT_THAT(parseCSVLine(line), ElementsAreArray(fields)) << line;
}

TEST_F(TeachersCSVTest, MergeCountsAndPins) {
    const std::vector<Teacher> roster{teacher("A", "Anne", "111111"), teacher("B", "Bruno", "222222")};
    const struct {
        const char* what;
        std::string text;
        int64_t added, updated, skipped;
        Names names;  // after Anne and Bruno
    } cases[] = {
        {"empty file", "", 0, 0, 0, {}},
        {"header only", "nom,pin", 0, 0, 0, {}},
        {"known same pin, known new pin, new name",
         "nom,pin\nAnne,111111\nBruno,333333\nChloé,444444",
         1,
         1,
         1,
         {"Chloé"}},
        {"CRLF like LF", "nom,pin\r\nAnne,999999\r\nDan,1\r\n", 1, 1, 0, {"Dan"}},
        {"BOM before the header", "\xEF\xBB\xBFnom,pin\nEve,5", 1, 0, 0, {"Eve"}},
        {"BOM before a teacher",
         "\xEF\xBB\xBF"
         "Eve,5",
         1,
         0,
         0,
         {"Eve"}},
        {"no header, first line kept", "Eve,5\nFred,6", 2, 0, 0, {"Eve", "Fred"}},
        {"first name beginning with Nom is taken as the header", "NOMBRE Zoé,5\nFred,6", 1, 0, 0, {"Fred"}},
        {"empty names skipped, blank lines ignored", ",123\n\n   \n\"  \",9\n \t,\nGus", 1, 0, 3, {"Gus"}},
        {"name only on a known teacher", "Anne", 0, 0, 1, {}},
        {"case differs: a new teacher", "anne,111111", 1, 0, 0, {"anne"}},
        {"same new name twice: add then update", "Hugo,1\nHugo,2\nHugo,2\nHugo", 1, 1, 2, {"Hugo"}},
        {"semicolons: the whole line is the name", "nom;pin\nIris;7", 1, 0, 0, {"Iris;7"}},
        {"third column ignored, spaces trimmed", "  Jules , 8 , x  ", 1, 0, 0, {"Jules"}},
        {"NEL, LS and PS separate lines",
         "Kim,1\xC2\x85Lou,2\xE2\x80\xA8Max,3\xE2\x80\xA9Noa,4",
         4,
         0,
         0,
         {"Kim", "Lou", "Max", "Noa"}},
    };
    for (const auto& c : cases) {
        TeachersCSVMerge merge = mergeTeachersCSV(roster, c.text, clock->now());
        EXPECT_EQ(std::tuple(merge.added, merge.updated, merge.skipped), std::tuple(c.added, c.updated, c.skipped))
            << c.what;
        Names expected{"Anne", "Bruno"};
        expected.insert(expected.end(), c.names.begin(), c.names.end());
        EXPECT_EQ(names(merge.teachers), expected) << c.what;
    }
    // Canonically equal names are the same teacher, whichever form is stored.
    const std::string nfc = "Andr\xC3\xA9", nfd = "Andre\xCC\x81";
    for (auto [stored, typed] : {std::pair{nfc, nfd}, std::pair{nfd, nfc}}) {
        TeachersCSVMerge merge = mergeTeachersCSV({teacher("X", stored, "000000")}, typed + ",654321", 0);
        EXPECT_EQ(merge.updated, 1);
        EXPECT_THAT(merge.teachers, ElementsAre(teacher("X", stored, "654321")));
    }
    // PINs are kept as written; missing ones are drawn.
    TeachersCSVMerge merge = mergeTeachersCSV({}, "Anne,abc\nBruno,123\nChloé,", clock->now());
    ASSERT_EQ(merge.teachers.size(), 3u);
    EXPECT_EQ(merge.teachers[0].pin, "abc");
    EXPECT_EQ(merge.teachers[1].pin, "123");
    EXPECT_EQ(merge.teachers[2].pin.size(), 6u);
    EXPECT_EQ(merge.teachers[2].createdAt, formatISO8601UTC(clock->now()));
    EXPECT_NE(merge.teachers[0].id, merge.teachers[1].id);
    // Importing the name-only line again keeps the PIN drawn the first time.
    TeachersCSVMerge again = mergeTeachersCSV(merge.teachers, "Chloé", 0);
    EXPECT_EQ(again.skipped, 1);
    EXPECT_EQ(again.teachers, merge.teachers);
}

// ---- calendar JSON ----

using CalendarTest = testing::StateTest;

TEST_F(CalendarTest, ExportDocumentHasSortedKeysAndNoPins) {
    ScheduleConfig schedule = ScheduleConfig::defaultSchedule();
    schedule.reservations = {{"2026-W02_monday_0", "A"}, {"2019-W01_friday_9", "GONE"}};
    std::string text = calendarJSONData(schedule, {teacher("A", "Anne", "111111")}, 1756712709);
    auto inOrder = [&](std::vector<std::string> keys) {
        std::vector<size_t> at;
        for (auto& k : keys) at.push_back(text.find("\"" + k + "\""));
        return std::is_sorted(at.begin(), at.end()) && at.back() != std::string::npos;
    };
    EXPECT_TRUE(inOrder({"exportDate", "exportVersion", "reservations", "slotDefinitions", "teachers"})) << text;
    EXPECT_TRUE(inOrder({"end", "label", "start"}));
    EXPECT_TRUE(inOrder({"id", "name"}));
    EXPECT_EQ(text.find("111111"), std::string::npos);     // no PIN
    EXPECT_EQ(text.find("createdAt"), std::string::npos);  // no creation date
    EXPECT_NE(text.find("\n  \""), std::string::npos);     // pretty-printed

    Json expected = {
        {"exportDate", "2025-09-01T07:45:09Z"},
        {"exportVersion", 1},
        {"reservations", {{"2019-W01_friday_9", "GONE"}, {"2026-W02_monday_0", "A"}}},  // every booking travels
        {"slotDefinitions", toJson(schedule)["slotDefinitions"]},
        {"teachers", Json::parse(R"([{"id":"A","name":"Anne"}])")}};
    EXPECT_EQ(dumpJson(*parseJsonObject(text), {.sortKeys = true}), dumpJson(expected, {.sortKeys = true}));
    EXPECT_EQ(
        dumpJson(*parseJsonObject(calendarJSONData(ScheduleConfig{}, {}, 0)), {.sortKeys = true}),
        R"({"exportDate":"1970-01-01T00:00:00Z","exportVersion":1,"reservations":{},"slotDefinitions":[],"teachers":[]})");
}

TEST_F(CalendarTest, ImportFiltering) {
    const std::vector<Teacher> local{teacher("L1", "Anne"), teacher("L2", "Bruno"), teacher("L3", "Anne")};
    const struct {
        const char* what;
        std::string json;
        std::vector<SlotDefinition> slots;
        Bookings bookings;
    } cases[] = {
        {"local ids kept, unknown dropped",
         R"({"reservations":{"k1":"L1","k2":"L2","k3":"X"}})",
         {},
         {{"k1", "L1"}, {"k2", "L2"}}},
        {"ids translated by name; the first local namesake wins",
         R"({"reservations":{"k1":"R1","k2":"R2","k3":"R3"},
             "teachers":[{"id":"R1","name":"Anne"},{"id":"R2","name":"Bruno"},{"id":"R3","name":"Zoé"}]})",
         {},
         {{"k1", "L1"}, {"k2", "L2"}}},
        {"names compare with case and accents",
         R"({"reservations":{"k":"R"},"teachers":[{"id":"R","name":"anne"}]})",
         {},
         {}},
        {"elements without id or name skipped",
         R"({"reservations":{"k":"R"},"teachers":[{"name":"Anne"},{"id":"R"},{"id":"R","name":"Bruno"}]})",
         {},
         {{"k", "L2"}}},
        {"a later element with the same id wins",
         R"({"reservations":{"k":"R"},"teachers":[{"id":"R","name":"Anne"},{"id":"R","name":"Bruno"}]})",
         {},
         {{"k", "L2"}}},
        {"unusable teachers: no translation",
         R"({"reservations":{"k":"R","j":"L1"},"teachers":[{"id":"R","name":"Anne","age":3}]})",
         {},
         {{"j", "L1"}}},
        {"unusable reservations: nothing", R"({"reservations":{"k":"L1","j":2}})", {}, {}},
        {"teachers without reservations read nothing", R"({"teachers":[{"id":"R","name":"Anne"}]})", {}, {}},
        {"slots with defaults and normalised times",
         R"({"slotDefinitions":[{},{"label":"Cours","start":" 8:5","end":"midi"}],"exportVersion":"x"})",
         {{"Créneau", "08:00", "09:00"}, {"Cours", "08:05", "midi"}},
         {}},
        {"one numeric member makes the slots unusable",
         R"({"slotDefinitions":[{"label":"A"},{"start":800}],"reservations":{"k":"L1"}})",
         {},
         {{"k", "L1"}}},
        {"slots that are no objects are unusable", R"({"slotDefinitions":["08:00"]})", {}, {}},
        {"empty slot list", R"({"slotDefinitions":[]})", {}, {}},
    };
    for (const auto& c : cases) {
        CalendarImport imported = readCalendarImport(*parseJsonObject(c.json), local);
        EXPECT_EQ(imported.slots, c.slots) << c.what;
        EXPECT_EQ(imported.reservations, c.bookings) << c.what;
    }
}

}  // namespace
}  // namespace klarion
