#include "app/state/calendar_exchange.h"
#include "app/state/teachers_csv.h"

#include <unistd.h>

#include "state_fixture.h"

namespace klarion {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::StartsWith;
using testing::JournalLine;
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
        {"", {""}}, {"a,b", {"a", "b"}}, {"a,", {"a", ""}}, {"a,b,c", {"a", "b", "c"}},
        {"\"Dupont, Jean\",1", {"Dupont, Jean", "1"}}, {"\"say \"\"hi\"\"\",2", {"say \"hi\"", "2"}},
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
        {"known same pin, known new pin, new name", "nom,pin\nAnne,111111\nBruno,333333\nChloé,444444", 1, 1, 1, {"Chloé"}},
        {"CRLF like LF", "nom,pin\r\nAnne,999999\r\nDan,1\r\n", 1, 1, 0, {"Dan"}},
        {"BOM before the header", "\xEF\xBB\xBFnom,pin\nEve,5", 1, 0, 0, {"Eve"}},
        {"BOM before a teacher", "\xEF\xBB\xBF" "Eve,5", 1, 0, 0, {"Eve"}},
        {"no header, first line kept", "Eve,5\nFred,6", 2, 0, 0, {"Eve", "Fred"}},
        {"first name beginning with Nom is taken as the header", "NOMBRE Zoé,5\nFred,6", 1, 0, 0, {"Fred"}},
        {"empty names skipped, blank lines ignored", ",123\n\n   \n\"  \",9\n \t,\nGus", 1, 0, 3, {"Gus"}},
        {"name only on a known teacher", "Anne", 0, 0, 1, {}},
        {"case differs: a new teacher", "anne,111111", 1, 0, 0, {"anne"}},
        {"same new name twice: add then update", "Hugo,1\nHugo,2\nHugo,2\nHugo", 1, 1, 2, {"Hugo"}},
        {"semicolons: the whole line is the name", "nom;pin\nIris;7", 1, 0, 0, {"Iris;7"}},
        {"third column ignored, spaces trimmed", "  Jules , 8 , x  ", 1, 0, 0, {"Jules"}},
        {"NEL, LS and PS separate lines", "Kim,1\xC2\x85Lou,2\xE2\x80\xA8Max,3\xE2\x80\xA9Noa,4", 4, 0, 0,
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

TEST_F(TeachersCSVTest, ImportAppliesSavesAndReports) {
    const std::string unreadable = "Impossible de lire le fichier CSV.", done = "Import terminé !\n";
    auto imported = [](std::string counts) { return std::vector{JournalLine{AppLogLevel::info, "CSV enseignants importé : " + counts}}; };
    const struct {
        const char* what;
        OpenDialogResult result;
        std::string message;  // empty: no alert
        std::vector<JournalLine> journal;
        Names names;
        std::string annesPin;
        bool saved;
    } cases[] = {
        {"nothing chosen", OpenDialogResult::chosen({}), "", {}, {"Anne"}, "111111", false},
        {"dialog error", OpenDialogResult::failure("Opération annulée."), "Erreur : Opération annulée.",
         {{AppLogLevel::error, "Erreur import CSV : Opération annulée."}}, {"Anne"}, "111111", false},
        {"missing file", OpenDialogResult::chosen({dir / "missing.csv"}), unreadable, {}, {"Anne"}, "111111", false},
        {"invalid UTF-8", OpenDialogResult::chosen({writeFile("Anne,1\nB\xFF\xFEo,2")}), unreadable, {}, {"Anne"}, "111111", false},
        {"no permission", OpenDialogResult::chosen({writeFile("Anne,1", "locked.csv")}),
         "Impossible d'accéder au fichier sélectionné.", {}, {"Anne"}, "111111", false},
        {"merged", OpenDialogResult::chosen({writeFile("nom,pin\r\nAnne,999999\r\nBob,\r\n,5\r\n", "m.csv")}),
         done + "1 ajouté(s), 1 mis à jour, 1 ignoré(s).", imported("+1 ajoutés, 1 mis à jour"), {"Anne", "Bob"}, "999999", true},
        {"header only: rewritten unchanged", OpenDialogResult::chosen({writeFile("nom,pin", "h.csv")}),
         done + "0 ajouté(s), 0 mis à jour, 0 ignoré(s).", imported("+0 ajoutés, 0 mis à jour"), {"Anne"}, "111111", true},
    };
    chmod((dir / "locked.csv").c_str(), 0);
    for (const auto& c : cases) {
        if (std::string(c.what) == "no permission" && geteuid() == 0) continue;  // root reads any file
        config->setTeachers({teacher("A", "Anne", "111111")});
        std::filesystem::remove(ctx.folder.teachersFile());
        *panel = PanelState{};
        importTeachersCSV(ctx, panel, c.result);
        // Computed and applied in the same step: nothing is left queued to change the roster.
        EXPECT_EQ(names(config->teachers()), c.names) << c.what;
        EXPECT_EQ(config->teachers()[0].id + config->teachers()[0].pin, "A" + c.annesPin) << c.what;
        EXPECT_EQ(ctx.folder.readTeachers(), c.saved ? std::optional(config->teachers()) : std::nullopt) << c.what;
        EXPECT_EQ(panel->teacherCSVMessage, c.message) << c.what;
        EXPECT_EQ(panel->showTeacherCSVAlert, !c.message.empty()) << c.what;
        EXPECT_EQ(journal(), c.journal) << c.what;
    }
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

    Json expected = {{"exportDate", "2025-09-01T07:45:09Z"}, {"exportVersion", 1},
                     {"reservations", {{"2019-W01_friday_9", "GONE"}, {"2026-W02_monday_0", "A"}}},  // every booking travels
                     {"slotDefinitions", toJson(schedule)["slotDefinitions"]},
                     {"teachers", Json::parse(R"([{"id":"A","name":"Anne"}])")}};
    EXPECT_EQ(dumpJson(*parseJsonObject(text), {.sortKeys = true}), dumpJson(expected, {.sortKeys = true}));
    EXPECT_EQ(dumpJson(*parseJsonObject(calendarJSONData(ScheduleConfig{}, {}, 0)), {.sortKeys = true}),
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
        {"local ids kept, unknown dropped", R"({"reservations":{"k1":"L1","k2":"L2","k3":"X"}})", {},
         {{"k1", "L1"}, {"k2", "L2"}}},
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
    for (const auto& c : cases) {
        CalendarImport imported = readCalendarImport(*parseJsonObject(c.json), local);
        EXPECT_EQ(imported.slots, c.slots) << c.what;
        EXPECT_EQ(imported.reservations, c.bookings) << c.what;
    }
}

TEST_F(CalendarTest, RoundTripOnTheSameComputerAndApply) {
    config->setTeachers({teacher("A", "Anne"), teacher("B", "Bruno")});
    ScheduleConfig schedule{{{"Un", "08:00", "09:00"}, {"Deux", "09:00", "10:00"}},
                            {{"2026-W02_monday_0", "A"}, {"2026-W02_monday_1", "B"}}};
    config->setScheduleConfig(schedule);
    auto path = dir / "Klarion_Calendrier.json";
    exportCalendarJSON(ctx, panel, path);
    journal();

    // Locally: the default slots, one booking the file replaces, one it does not carry.
    config->setScheduleConfig({ScheduleConfig::defaultSchedule().slotDefinitions,
                               {{"2026-W02_monday_0", "B"}, {"2026-W03_friday_2", "A"}}});
    *panel = PanelState{};
    importCalendarJSON(ctx, panel, OpenDialogResult::chosen({path}));
    EXPECT_EQ(config->scheduleConfig().slotDefinitions, ScheduleConfig::defaultSchedule().slotDefinitions);
    EXPECT_FALSE(panel->showImportExportAlert);  // applied by the queued step
    EXPECT_THAT(journal(), ElementsAre(JournalLine{AppLogLevel::info, "Calendrier importé : 2 créneaux"}));
    EXPECT_EQ(config->scheduleConfig().slotDefinitions, schedule.slotDefinitions);
    EXPECT_EQ(config->scheduleConfig().reservations,
              (Bookings{{"2026-W02_monday_0", "A"}, {"2026-W02_monday_1", "B"}, {"2026-W03_friday_2", "A"}}));
    EXPECT_EQ(ctx.folder.readSchedule(), config->scheduleConfig());
    EXPECT_EQ(panel->importExportMessage, "Import réussi !\n2 créneaux et 2 réservation(s) importé(s).");
    EXPECT_EQ(config->teachers().size(), 2u);  // teachers never change

    importCalendarJSON(ctx, panel, OpenDialogResult::chosen({writeFile(R"({"slotDefinitions":[]})")}));
    queue->drain();
    EXPECT_EQ(config->scheduleConfig().slotDefinitions, schedule.slotDefinitions);  // no slots: the local ones stay
    EXPECT_EQ(panel->importExportMessage, "Import réussi !\n0 créneaux et 0 réservation(s) importé(s).");
}

TEST_F(CalendarTest, ImportFailuresAndCancel) {
    const std::string unreadable = "Erreur de lecture : ";
    const struct {
        const char* what;
        OpenDialogResult result;
        std::string messageStart;  // empty: no alert
    } cases[] = {
        {"nothing chosen", OpenDialogResult::chosen({}), ""},
        {"dialog error", OpenDialogResult::failure("Échec."), "Erreur : Échec."},
        {"missing file", OpenDialogResult::chosen({dir / "missing.json"}), unreadable},
        {"not JSON", OpenDialogResult::chosen({writeFile("slots: 4", "a.json")}), unreadable},
        {"a bare scalar", OpenDialogResult::chosen({writeFile("42", "b.json")}), unreadable},
        {"a list", OpenDialogResult::chosen({writeFile("[1,2]", "c.json")}), "Le fichier n'est pas un JSON valide."},
    };
    for (const auto& c : cases) {
        *panel = PanelState{};
        importCalendarJSON(ctx, panel, c.result);
        EXPECT_THAT(panel->importExportMessage, StartsWith(c.messageStart)) << c.what;
        if (c.messageStart == unreadable) {  // a description follows
            EXPECT_GT(panel->importExportMessage.size(), unreadable.size()) << c.what;
        }
        EXPECT_EQ(panel->showImportExportAlert, !c.messageStart.empty()) << c.what;
        EXPECT_TRUE(journal().empty()) << c.what;
    }
    EXPECT_EQ(config->scheduleConfig(), ScheduleConfig::defaultSchedule());
    EXPECT_FALSE(exists(ctx.folder.scheduleFile()));
}

// ---- both exports ----

using Exporter = void (*)(const StateContext&, const std::shared_ptr<PanelState>&, const SaveDestination&);

TEST_F(CalendarTest, ExportsReportFromTheMainQueueAndSayNothingWhenCancelled) {
    config->setTeachers({teacher("A", "Anne", "012345"), teacher("B", "Dupont, Jean", "999999")});
    const struct {
        Exporter exporter;
        std::string file, journalLine, message, errorLine, errorMessage;
        std::string PanelState::*text;
        bool PanelState::*shown;
    } cases[] = {
        {teachersCSVText, "Klarion_Enseignants.csv", "CSV enseignants exporté → Klarion_Enseignants.csv",
         "Export réussi : 2 enseignant(s) exporté(s) vers Klarion_Enseignants.csv", "Erreur export CSV : ",
         "Erreur d'export : ", &PanelState::teacherCSVMessage, &PanelState::showTeacherCSVAlert},
        {exportCalendarJSON, "Klarion_Calendrier.json", "Calendrier exporté → Klarion_Calendrier.json",
         "Calendrier exporté avec succès vers :\nKlarion_Calendrier.json", "Erreur export calendrier : ",
         "Erreur lors de l'export : ", &PanelState::importExportMessage, &PanelState::showImportExportAlert},
    };
    for (const auto& c : cases) {
        c.exporter(ctx, panel, std::nullopt);
        EXPECT_EQ(queue->pending(), 0u) << c.file;
        c.exporter(ctx, panel, dir / c.file);
        EXPECT_FALSE((*panel).*c.shown) << c.file;  // reported by the queued step
        EXPECT_THAT(journal(), ElementsAre(JournalLine{AppLogLevel::info, c.journalLine}));
        EXPECT_EQ((*panel).*c.text, c.message);
        EXPECT_TRUE((*panel).*c.shown);
        // A failure tells the same description in the journal and in the alert.
        c.exporter(ctx, panel, dir / "no-such-folder" / c.file);
        auto lines = journal();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].level, AppLogLevel::error);
        ASSERT_THAT(lines[0].message, StartsWith(c.errorLine));
        ASSERT_THAT((*panel).*c.text, StartsWith(c.errorMessage));
        EXPECT_EQ(lines[0].message.substr(c.errorLine.size()), ((*panel).*c.text).substr(c.errorMessage.size()));
    }
    EXPECT_EQ(fileText(dir / "Klarion_Enseignants.csv"), "nom,pin\nAnne,012345\n\"Dupont, Jean\",999999");
}

}  // namespace
}  // namespace klarion
