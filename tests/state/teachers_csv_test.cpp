#include "app/state/teachers_csv.h"
#include "app/state/roster.h"

#include <gmock/gmock.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "state_fixture.h"

namespace klarion {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using testing::JournalLine;

class TeachersCSVTest : public testing::StateTest {
protected:
    std::filesystem::path writeCSV(const std::string& bytes, const std::string& name = "in.csv") {
        std::filesystem::path path = dir / name;
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }
    std::vector<std::string> names(const std::vector<Teacher>& teachers) {
        std::vector<std::string> out;
        for (const Teacher& t : teachers) out.push_back(t.name);
        return out;
    }
};

TEST(TeachersCSVExport, BytesOfTheFile) {
    auto t = [](std::string name, std::string pin) { return Teacher{"id", std::move(name), std::move(pin), ""}; };
    struct Case {
        std::vector<Teacher> teachers;
        std::string bytes;
    } cases[] = {
        {{}, "nom,pin"},
        {{t("Anne", "012345"), t("Dupont, Jean", "999999")}, "nom,pin\nAnne,012345\n\"Dupont, Jean\",999999"},
        {{t("Le \"Grand\", Paul", "1")}, "nom,pin\n\"Le \"\"Grand\"\", Paul\",1"},
        // A double quote alone is enclosed too, so that the name reads back unchanged.
        {{t("Léa \"Bis\"", "2")}, "nom,pin\n\"Léa \"\"Bis\"\"\",2"},
    };
    for (const Case& c : cases) EXPECT_EQ(teachersCSV(c.teachers), c.bytes);
}

TEST(ParseCSVLine, SplitsAtCommasOutsideQuotes) {
    struct Case {
        std::string line;
        std::vector<std::string> fields;
    } cases[] = {
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
    for (const Case& c : cases) EXPECT_THAT(parseCSVLine(c.line), ElementsAreArray(c.fields)) << c.line;
}

TEST(TeachersCSVExport, EveryNameReadsBackUnchanged) {
    for (std::string name : {"Anne", "Dupont, Jean", "Le \"Grand\"", "a\"\",\"b", "\"", "É, è"}) {
        std::string line = teachersCSV({Teacher{"id", name, "1", ""}}).substr(std::string("nom,pin\n").size());
        EXPECT_THAT(parseCSVLine(line), ElementsAre(name, "1")) << name;
    }
}

TEST_F(TeachersCSVTest, MergeCounts) {
    const std::vector<Teacher> roster{teacher("A", "Anne", "111111"), teacher("B", "Bruno", "222222")};
    const std::string nfcName = "Andr\xC3\xA9";   // é precomposed
    const std::string nfdName = "Andre\xCC\x81";  // e + combining acute
    struct Case {
        const char* what;
        std::string text;
        int64_t added, updated, skipped;
        std::vector<std::string> names;
    } cases[] = {
        {"empty file", "", 0, 0, 0, {"Anne", "Bruno"}},
        {"header only", "nom,pin", 0, 0, 0, {"Anne", "Bruno"}},
        {"known same pin, known new pin, new name", "nom,pin\nAnne,111111\nBruno,333333\nChloé,444444", 1, 1, 1,
         {"Anne", "Bruno", "Chloé"}},
        {"CRLF like LF", "nom,pin\r\nAnne,999999\r\nDan,1\r\n", 1, 1, 0, {"Anne", "Bruno", "Dan"}},
        {"BOM before the header", "\xEF\xBB\xBFnom,pin\nEve,5", 1, 0, 0, {"Anne", "Bruno", "Eve"}},
        {"BOM before a teacher", "\xEF\xBB\xBF" "Eve,5", 1, 0, 0, {"Anne", "Bruno", "Eve"}},
        {"no header, first line kept", "Eve,5\nFred,6", 2, 0, 0, {"Anne", "Bruno", "Eve", "Fred"}},
        {"first name beginning with Nom is taken as the header", "NOMBRE Zoé,5\nFred,6", 1, 0, 0,
         {"Anne", "Bruno", "Fred"}},
        {"empty names skipped, blank lines ignored", ",123\n\n   \n\"  \",9\n \t,\nGus", 1, 0, 3,
         {"Anne", "Bruno", "Gus"}},
        {"name only on a known teacher", "Anne", 0, 0, 1, {"Anne", "Bruno"}},
        {"case differs: a new teacher", "anne,111111", 1, 0, 0, {"Anne", "Bruno", "anne"}},
        {"same new name twice: add then update", "Hugo,1\nHugo,2\nHugo,2\nHugo", 1, 1, 2, {"Anne", "Bruno", "Hugo"}},
        {"semicolons: the whole line is the name", "nom;pin\nIris;7", 1, 0, 0, {"Anne", "Bruno", "Iris;7"}},
        {"third column ignored, spaces trimmed", "  Jules , 8 , x  ", 1, 0, 0, {"Anne", "Bruno", "Jules"}},
        {"NEL, LS and PS separate lines", "Kim,1\xC2\x85Lou,2\xE2\x80\xA8Max,3\xE2\x80\xA9Noa,4", 4, 0, 0,
         {"Anne", "Bruno", "Kim", "Lou", "Max", "Noa"}},
    };
    for (const Case& c : cases) {
        TeachersCSVMerge merge = mergeTeachersCSV(roster, c.text, clock->now());
        EXPECT_EQ(merge.added, c.added) << c.what;
        EXPECT_EQ(merge.updated, c.updated) << c.what;
        EXPECT_EQ(merge.skipped, c.skipped) << c.what;
        EXPECT_EQ(names(merge.teachers), c.names) << c.what;
    }

    // Canonically equal names are the same teacher, whichever form is stored.
    for (auto [stored, typed] : {std::pair{nfcName, nfdName}, std::pair{nfdName, nfcName}}) {
        TeachersCSVMerge merge = mergeTeachersCSV({teacher("X", stored, "000000")}, typed + ",654321", 0);
        EXPECT_EQ(merge.updated, 1);
        ASSERT_EQ(merge.teachers.size(), 1u);
        EXPECT_EQ(merge.teachers[0].pin, "654321");
        EXPECT_EQ(merge.teachers[0].name, stored);
    }
}

TEST_F(TeachersCSVTest, MergeKeepsPinsAsWrittenAndDrawsMissingOnes) {
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
    config->setTeachers({teacher("A", "Anne", "111111")});
    importTeachersCSV(ctx, panel, OpenDialogResult::chosen({writeCSV("nom,pin\r\nAnne,999999\r\nBob,\r\n,5\r\n")}));
    // Computed and applied in the same step: nothing is left queued to change the roster.
    EXPECT_EQ(names(config->teachers()), (std::vector<std::string>{"Anne", "Bob"}));
    EXPECT_EQ(config->teachers()[0].pin, "999999");
    EXPECT_EQ(config->teachers()[0].id, "A");
    EXPECT_EQ(ctx.folder.readTeachers(), config->teachers());
    EXPECT_EQ(panel->teacherCSVMessage, "Import terminé !\n1 ajouté(s), 1 mis à jour, 1 ignoré(s).");
    EXPECT_TRUE(panel->showTeacherCSVAlert);
    EXPECT_THAT(journal(),
                ElementsAre(JournalLine{AppLogLevel::info, "CSV enseignants importé : +1 ajoutés, 1 mis à jour"}));
}

TEST_F(TeachersCSVTest, ImportOfAHeaderOnlyFileRewritesTheRosterUnchanged) {
    config->setTeachers({teacher("A", "Anne", "111111")});
    importTeachersCSV(ctx, panel, OpenDialogResult::chosen({writeCSV("nom,pin")}));
    EXPECT_EQ(ctx.folder.readTeachers(), config->teachers());
    EXPECT_EQ(config->teachers().size(), 1u);
    EXPECT_EQ(panel->teacherCSVMessage, "Import terminé !\n0 ajouté(s), 0 mis à jour, 0 ignoré(s).");
    EXPECT_THAT(journal(),
                ElementsAre(JournalLine{AppLogLevel::info, "CSV enseignants importé : +0 ajoutés, 0 mis à jour"}));
}

TEST_F(TeachersCSVTest, ImportFailuresAndCancel) {
    config->setTeachers({teacher("A", "Anne")});
    struct Case {
        const char* what;
        OpenDialogResult result;
        std::string message;  // empty: no alert
        std::vector<JournalLine> journal;
    } cases[] = {
        {"nothing chosen", OpenDialogResult::chosen({}), "", {}},
        {"dialog error", OpenDialogResult::failure("Opération annulée."), "Erreur : Opération annulée.",
         {{AppLogLevel::error, "Erreur import CSV : Opération annulée."}}},
        {"missing file", OpenDialogResult::chosen({dir / "missing.csv"}), "Impossible de lire le fichier CSV.", {}},
        {"invalid UTF-8", OpenDialogResult::chosen({writeCSV("Anne,1\nB\xFF\xFEo,2")}),
         "Impossible de lire le fichier CSV.", {}},
    };
    for (Case& c : cases) {
        *panel = PanelState{};
        importTeachersCSV(ctx, panel, c.result);
        EXPECT_EQ(panel->teacherCSVMessage, c.message) << c.what;
        EXPECT_EQ(panel->showTeacherCSVAlert, !c.message.empty()) << c.what;
        EXPECT_EQ(journal(), c.journal) << c.what;
        EXPECT_EQ(config->teachers().size(), 1u) << c.what;
    }
    EXPECT_FALSE(exists(ctx.folder.teachersFile()));
}

TEST_F(TeachersCSVTest, ImportOfAFileWithoutPermissionSaysAccessIsRefused) {
    if (geteuid() == 0) GTEST_SKIP() << "root reads any file";
    auto path = writeCSV("Anne,1");
    chmod(path.c_str(), 0);
    importTeachersCSV(ctx, panel, OpenDialogResult::chosen({path}));
    EXPECT_EQ(panel->teacherCSVMessage, "Impossible d'accéder au fichier sélectionné.");
    EXPECT_TRUE(journal().empty());
}

TEST_F(TeachersCSVTest, ExportWritesTheFileAndReportsFromTheMainQueue) {
    config->setTeachers({teacher("A", "Anne", "012345"), teacher("B", "Dupont, Jean", "999999")});
    auto path = dir / "Klarion_Enseignants.csv";
    teachersCSVText(ctx, panel, path);
    EXPECT_EQ(fileText(path), "nom,pin\nAnne,012345\n\"Dupont, Jean\",999999");
    EXPECT_FALSE(panel->showTeacherCSVAlert);  // reported by the queued step
    EXPECT_THAT(journal(), ElementsAre(JournalLine{AppLogLevel::info,
                                                   "CSV enseignants exporté → Klarion_Enseignants.csv"}));
    EXPECT_EQ(panel->teacherCSVMessage,
              "Export réussi : 2 enseignant(s) exporté(s) vers Klarion_Enseignants.csv");
    EXPECT_TRUE(panel->showTeacherCSVAlert);
}

TEST_F(TeachersCSVTest, ExportFailureAndCancel) {
    teachersCSVText(ctx, panel, std::nullopt);
    EXPECT_EQ(queue->pending(), 0u);
    EXPECT_FALSE(panel->showTeacherCSVAlert);

    teachersCSVText(ctx, panel, dir / "no-such-folder" / "out.csv");
    auto lines = journal();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, AppLogLevel::error);
    EXPECT_THAT(lines[0].message, ::testing::StartsWith("Erreur export CSV : "));
    EXPECT_THAT(panel->teacherCSVMessage, ::testing::StartsWith("Erreur d'export : "));
    EXPECT_EQ(panel->teacherCSVMessage.substr(std::string("Erreur d'export : ").size()),
              lines[0].message.substr(std::string("Erreur export CSV : ").size()));
    EXPECT_TRUE(panel->showTeacherCSVAlert);
}

}  // namespace
}  // namespace klarion
