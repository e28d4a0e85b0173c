#include "ui/panel/exchange_dialogs.h"

#include <unistd.h>

#include "tests/support/state_fixture.h"

namespace klarion {
namespace {

using ::testing::ElementsAre;
using testing::JournalLine;
using ::testing::StartsWith;
using Names = std::vector<std::string>;
using Bookings = std::map<std::string, std::string>;

Names names(const std::vector<Teacher>& teachers) {
    Names out;
    for (const Teacher& t : teachers) out.push_back(t.name);
    return out;
}

struct ExchangeDialogsTest : testing::StateTest {
    std::shared_ptr<PanelState> panel = std::make_shared<PanelState>();
};
using TeachersCSVTest = ExchangeDialogsTest;
using CalendarTest = ExchangeDialogsTest;

TEST_F(TeachersCSVTest, ImportAppliesSavesAndReports) {
    const std::string unreadable = "Impossible de lire le fichier CSV.", done = "Import terminé !\n";
    auto imported = [](std::string counts) {
        return std::vector{JournalLine{AppLogLevel::info, "CSV enseignants importé : " + counts}};
    };
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
        {"dialog error",
         OpenDialogResult::failure("Opération annulée."),
         "Erreur : Opération annulée.",
         {{AppLogLevel::error, "Erreur import CSV : Opération annulée."}},
         {"Anne"},
         "111111",
         false},
        {"missing file", OpenDialogResult::chosen({dir / "missing.csv"}), unreadable, {}, {"Anne"}, "111111", false},
        {"invalid UTF-8",
         OpenDialogResult::chosen({writeFile("Anne,1\nB\xFF\xFEo,2")}),
         unreadable,
         {},
         {"Anne"},
         "111111",
         false},
        {"no permission",
         OpenDialogResult::chosen({writeFile("Anne,1", "locked.csv")}),
         "Impossible d'accéder au fichier sélectionné.",
         {},
         {"Anne"},
         "111111",
         false},
        {"merged",
         OpenDialogResult::chosen({writeFile("nom,pin\r\nAnne,999999\r\nBob,\r\n,5\r\n", "m.csv")}),
         done + "1 ajouté(s), 1 mis à jour, 1 ignoré(s).",
         imported("+1 ajoutés, 1 mis à jour"),
         {"Anne", "Bob"},
         "999999",
         true},
        {"header only: rewritten unchanged",
         OpenDialogResult::chosen({writeFile("nom,pin", "h.csv")}),
         done + "0 ajouté(s), 0 mis à jour, 0 ignoré(s).",
         imported("+0 ajoutés, 0 mis à jour"),
         {"Anne"},
         "111111",
         true},
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

TEST_F(CalendarTest, RoundTripOnTheSameComputerAndApply) {
    config->setTeachers({teacher("A", "Anne"), teacher("B", "Bruno")});
    ScheduleConfig schedule{{{"Un", "08:00", "09:00"}, {"Deux", "09:00", "10:00"}},
                            {{"2026-W02_monday_0", "A"}, {"2026-W02_monday_1", "B"}}};
    config->setScheduleConfig(schedule);
    auto path = dir / "Klarion_Calendrier.json";
    exportCalendarJSON(ctx, panel, path);
    journal();

    // Locally: the default slots, one booking the file replaces, one it does not carry.
    config->setScheduleConfig(
        {ScheduleConfig::defaultSchedule().slotDefinitions, {{"2026-W02_monday_0", "B"}, {"2026-W03_friday_2", "A"}}});
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
