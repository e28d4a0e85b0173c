#include "app/state/calendar_exchange.h"

#include <gmock/gmock.h>

#include <fstream>

#include "state_fixture.h"

namespace klarion {
namespace {

using ::testing::ElementsAre;
using testing::JournalLine;

class CalendarTest : public testing::StateTest {
protected:
    std::filesystem::path writeFile(const std::string& bytes, const std::string& name = "cal.json") {
        std::filesystem::path path = dir / name;
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }
    CalendarImport read(const std::string& text, const std::vector<Teacher>& local) {
        auto document = parseJsonObject(text);
        EXPECT_TRUE(document) << text;
        return readCalendarImport(document.value_or(Json::object()), local);
    }
};

TEST_F(CalendarTest, ExportDocumentHasSortedKeys) {
    ScheduleConfig schedule = ScheduleConfig::defaultSchedule();
    schedule.reservations = {{"2026-W02_monday_0", "A"}, {"2019-W01_friday_9", "GONE"}};
    std::string text = calendarJSONData(schedule, {teacher("A", "Anne", "111111")}, 1756712709);

    auto positions = [&](std::vector<std::string> keys) {
        std::vector<size_t> at;
        for (auto& k : keys) at.push_back(text.find("\"" + k + "\""));
        return at;
    };
    auto top = positions({"exportDate", "exportVersion", "reservations", "slotDefinitions", "teachers"});
    EXPECT_TRUE(std::is_sorted(top.begin(), top.end())) << text;
    EXPECT_EQ(std::count(top.begin(), top.end(), std::string::npos), 0);
    auto slot = positions({"end", "label", "start"});
    EXPECT_TRUE(std::is_sorted(slot.begin(), slot.end()));
    EXPECT_LT(text.find("\"id\""), text.find("\"name\""));
    EXPECT_EQ(text.find("111111"), std::string::npos);     // no PIN
    EXPECT_EQ(text.find("createdAt"), std::string::npos);  // no creation date
    EXPECT_NE(text.find('\n'), std::string::npos);         // pretty-printed

    Json document = *parseJsonObject(text);
    EXPECT_EQ(document.size(), 5u);
    EXPECT_EQ(document["exportVersion"], 1);
    EXPECT_EQ(document["exportDate"], "2025-09-01T07:45:09Z");
    EXPECT_EQ(document["slotDefinitions"].size(), 4u);
    EXPECT_EQ(document["slotDefinitions"][2]["label"], "AM 1");
    EXPECT_EQ(document["reservations"]["2019-W01_friday_9"], "GONE");  // every booking travels
    EXPECT_EQ(document["teachers"], Json::parse(R"([{"id":"A","name":"Anne"}])"));

    Json empty = *parseJsonObject(calendarJSONData(ScheduleConfig::defaultSchedule(), {}, 0));
    EXPECT_TRUE(empty["reservations"].is_object() && empty["reservations"].empty());
    EXPECT_TRUE(empty["teachers"].is_array() && empty["teachers"].empty());
}

TEST_F(CalendarTest, ImportFiltering) {
    const std::vector<Teacher> local{teacher("L1", "Anne"), teacher("L2", "Bruno"), teacher("L3", "Anne")};
    using Bookings = std::map<std::string, std::string>;
    struct Case {
        const char* what;
        std::string json;
        std::vector<SlotDefinition> slots;
        Bookings bookings;
    } cases[] = {
        {"local ids kept, unknown dropped",
         R"({"reservations":{"k1":"L1","k2":"L2","k3":"X"}})", {}, {{"k1", "L1"}, {"k2", "L2"}}},
        {"ids translated by name; the first local namesake wins",
         R"({"reservations":{"k1":"R1","k2":"R2","k3":"R3"},
             "teachers":[{"id":"R1","name":"Anne"},{"id":"R2","name":"Bruno"},{"id":"R3","name":"Zoé"}]})",
         {}, {{"k1", "L1"}, {"k2", "L2"}}},
        {"names compare with case and accents", R"({"reservations":{"k":"R"},"teachers":[{"id":"R","name":"anne"}]})",
         {}, {}},
        {"elements without id or name skipped",
         R"({"reservations":{"k":"R"},"teachers":[{"name":"Anne"},{"id":"R"},{"id":"R","name":"Bruno"}]})", {},
         {{"k", "L2"}}},
        {"a later element with the same id wins",
         R"({"reservations":{"k":"R"},"teachers":[{"id":"R","name":"Anne"},{"id":"R","name":"Bruno"}]})", {},
         {{"k", "L2"}}},
        {"unusable teachers: no translation",
         R"({"reservations":{"k":"R","j":"L1"},"teachers":[{"id":"R","name":"Anne","age":3}]})", {}, {{"j", "L1"}}},
        {"unusable reservations: nothing", R"({"reservations":{"k":"L1","j":2}})", {}, {}},
        {"teachers without reservations read nothing", R"({"teachers":[{"id":"R","name":"Anne"}]})", {}, {}},
        {"slots with defaults and normalised times",
         R"({"slotDefinitions":[{},{"label":"Cours","start":" 8:5","end":"midi"}],"exportVersion":"x"})",
         {{"Créneau", "08:00", "09:00"}, {"Cours", "08:05", "midi"}}, {}},
        {"one numeric member makes the slots unusable",
         R"({"slotDefinitions":[{"label":"A"},{"start":800}],"reservations":{"k":"L1"}})", {}, {{"k", "L1"}}},
        {"slots that are no objects are unusable", R"({"slotDefinitions":["08:00"]})", {}, {}},
        {"empty slot list", R"({"slotDefinitions":[]})", {}, {}},
    };
    for (const Case& c : cases) {
        CalendarImport imported = read(c.json, local);
        EXPECT_EQ(imported.slots, c.slots) << c.what;
        EXPECT_EQ(imported.reservations, c.bookings) << c.what;
    }
}

TEST_F(CalendarTest, RoundTripOnTheSameComputerAndApply) {
    config->setTeachers({teacher("A", "Anne"), teacher("B", "Bruno")});
    ScheduleConfig schedule;
    schedule.slotDefinitions = {{"Un", "08:00", "09:00"}, {"Deux", "09:00", "10:00"}};
    schedule.reservations = {{"2026-W02_monday_0", "A"}, {"2026-W02_monday_1", "B"}};
    config->setScheduleConfig(schedule);

    auto path = dir / "Klarion_Calendrier.json";
    exportCalendarJSON(ctx, panel, path);
    EXPECT_THAT(journal(), ElementsAre(JournalLine{AppLogLevel::info, "Calendrier exporté → Klarion_Calendrier.json"}));
    EXPECT_EQ(panel->importExportMessage, "Calendrier exporté avec succès vers :\nKlarion_Calendrier.json");
    EXPECT_TRUE(panel->showImportExportAlert);

    // Locally: the default slots, one booking the file replaces, one it does not carry.
    config->setScheduleConfig(ScheduleConfig::defaultSchedule());
    config->update([](AppConfig::Values& v) {
        v.scheduleConfig.reservations = {{"2026-W02_monday_0", "B"}, {"2026-W03_friday_2", "A"}};
    });
    *panel = PanelState{};
    importCalendarJSON(ctx, panel, OpenDialogResult::chosen({path}));
    EXPECT_EQ(config->scheduleConfig().slotDefinitions, ScheduleConfig::defaultSchedule().slotDefinitions);
    EXPECT_FALSE(panel->showImportExportAlert);  // applied by the queued step
    EXPECT_THAT(journal(), ElementsAre(JournalLine{AppLogLevel::info, "Calendrier importé : 2 créneaux"}));
    EXPECT_EQ(config->scheduleConfig().slotDefinitions, schedule.slotDefinitions);
    std::map<std::string, std::string> expected{
        {"2026-W02_monday_0", "A"}, {"2026-W02_monday_1", "B"}, {"2026-W03_friday_2", "A"}};
    EXPECT_EQ(config->scheduleConfig().reservations, expected);
    EXPECT_EQ(ctx.folder.readSchedule(), config->scheduleConfig());
    EXPECT_EQ(panel->importExportMessage, "Import réussi !\n2 créneaux et 2 réservation(s) importé(s).");
    EXPECT_EQ(config->teachers().size(), 2u);  // teachers never change
}

TEST_F(CalendarTest, ImportWithoutSlotsKeepsTheLocalOnes) {
    importCalendarJSON(ctx, panel, OpenDialogResult::chosen({writeFile(R"({"slotDefinitions":[]})")}));
    queue->drain();
    EXPECT_EQ(config->scheduleConfig(), ScheduleConfig::defaultSchedule());
    EXPECT_EQ(panel->importExportMessage, "Import réussi !\n0 créneaux et 0 réservation(s) importé(s).");
}

TEST_F(CalendarTest, ImportFailuresAndCancel) {
    struct Case {
        const char* what;
        OpenDialogResult result;
        std::string messageStart;  // empty: no alert
    } cases[] = {
        {"nothing chosen", OpenDialogResult::chosen({}), ""},
        {"dialog error", OpenDialogResult::failure("Échec."), "Erreur : Échec."},
        {"missing file", OpenDialogResult::chosen({dir / "missing.json"}), "Erreur de lecture : "},
        {"not JSON", OpenDialogResult::chosen({writeFile("slots: 4", "a.json")}), "Erreur de lecture : "},
        {"a bare scalar", OpenDialogResult::chosen({writeFile("42", "b.json")}), "Erreur de lecture : "},
        {"a list", OpenDialogResult::chosen({writeFile("[1,2]", "c.json")}), "Le fichier n'est pas un JSON valide."},
    };
    for (Case& c : cases) {
        *panel = PanelState{};
        importCalendarJSON(ctx, panel, c.result);
        EXPECT_THAT(panel->importExportMessage, ::testing::StartsWith(c.messageStart)) << c.what;
        if (c.messageStart == "Erreur de lecture : ") {
            EXPECT_GT(panel->importExportMessage.size(), c.messageStart.size()) << c.what;  // a description follows
        }
        EXPECT_EQ(panel->showImportExportAlert, !c.messageStart.empty()) << c.what;
        EXPECT_TRUE(journal().empty()) << c.what;
        EXPECT_EQ(config->scheduleConfig(), ScheduleConfig::defaultSchedule()) << c.what;
    }
    EXPECT_FALSE(exists(ctx.folder.scheduleFile()));
}

TEST_F(CalendarTest, ExportFailureAndCancel) {
    exportCalendarJSON(ctx, panel, std::nullopt);
    EXPECT_EQ(queue->pending(), 0u);

    exportCalendarJSON(ctx, panel, dir / "no-such-folder" / "c.json");
    auto lines = journal();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, AppLogLevel::error);
    const std::string logPrefix = "Erreur export calendrier : ", messagePrefix = "Erreur lors de l'export : ";
    ASSERT_THAT(lines[0].message, ::testing::StartsWith(logPrefix));
    ASSERT_THAT(panel->importExportMessage, ::testing::StartsWith(messagePrefix));
    EXPECT_EQ(lines[0].message.substr(logPrefix.size()), panel->importExportMessage.substr(messagePrefix.size()));
}

}  // namespace
}  // namespace klarion
