#include "platform/files.h"
#include "platform/paths.h"
#include "platform/preferences.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "tests/support/scratch.h"

namespace klarion {
namespace {

namespace fs = std::filesystem;
using testing::fileMode;
using testing::ScratchHome;
using testing::writeText;

int regularFiles(const fs::path& folder) {
    int count = 0;
    for (auto& entry : fs::directory_iterator(folder)) count += entry.is_regular_file();
    return count;
}

TEST(Files, AtomicWriteReplacesTheWholeFilePrivatelyOrLeavesNothing) {
    ScratchHome scratch;
    fs::path file = writeText(scratch.root() / "a.json", "old content that is longer");
    chmod(file.c_str(), 0644);
    ASSERT_TRUE(writeFileAtomic(file, "new"));
    EXPECT_EQ(readFile(file), "new");
    EXPECT_EQ(fileMode(file), 0600u);
    EXPECT_EQ(regularFiles(scratch.root()), 1);  // no temporary file left behind

    EXPECT_FALSE(writeFileAtomic(scratch.root() / "missing" / "a.json", "x"));
    EXPECT_FALSE(fs::exists(scratch.root() / "missing"));
    fs::create_directories(scratch.root() / "dir.json");
    EXPECT_FALSE(writeFileAtomic(scratch.root() / "dir.json", "x"));  // cannot replace a folder
}

TEST(Files, ReadersNeverSeeAMixOfTwoWrites) {
    ScratchHome scratch;
    fs::path file = scratch.root() / "big.json";
    const std::string a(200000, 'a'), b(150000, 'b');
    ASSERT_TRUE(writeFileAtomic(file, a));
    std::atomic<bool> done{false};
    std::atomic<int> bad{0};
    std::thread reader([&] {
        while (!done) {
            auto text = readFile(file);
            if (!text || (*text != a && *text != b)) ++bad;
        }
    });
    std::vector<std::thread> writers;
    for (int w = 0; w < 3; ++w)
        writers.emplace_back([&, w] {
            for (int i = 0; i < 30; ++i) writeFileAtomic(file, (i + w) % 2 ? a : b);
        });
    for (auto& t : writers) t.join();
    done = true;
    reader.join();
    EXPECT_EQ(bad.load(), 0);
}

TEST(Files, OnlyTheLeftoversOfAtomicWritesAreRemoved) {
    ScratchHome scratch;
    const fs::path folder = scratch.root() / "Klarion_Config";
    const std::pair<std::string, bool> files[] = {
        // name, removed
        {".mode.json.tmp.a1B2c3", true},   {".teachers.json.tmp.ZZZZZZ", true},
        {".x.tmp.000000", true},           {"mode.json", false},
        {"mode.json.damaged", false},      {".mode.json.tmp.a1B2c", false},
        {".mode.json.tmp.a1B2c3d", false}, {".mode.json.tmp.a1-2c3", false},
        {"mode.json.tmp.a1B2c3", false},   {"..tmp.a1B2c3", false},
        {".mode.json.TMP.a1B2c3", false},
    };
    for (const auto& [name, removed] : files) writeText(folder / name, name);
    const fs::path outside = writeText(scratch.root() / "notes.txt", "mes notes");
    fs::create_symlink(outside, folder / ".notes.txt.tmp.abcdef");
    fs::create_directories(folder / ".dossier.tmp.abcdef");
    writeText(folder / "teacher_configs" / ".T1.json.tmp.abcdef", "plus bas");

    EXPECT_EQ(removeAtomicWriteLeftovers(folder), 3u);
    for (const auto& [name, removed] : files) EXPECT_EQ(fs::exists(folder / name), !removed) << name;
    EXPECT_EQ(readFile(outside), "mes notes");
    EXPECT_TRUE(fs::is_symlink(folder / ".notes.txt.tmp.abcdef"));
    EXPECT_TRUE(fs::is_directory(folder / ".dossier.tmp.abcdef"));
    EXPECT_TRUE(fs::exists(folder / "teacher_configs" / ".T1.json.tmp.abcdef"));  // one folder only
    EXPECT_EQ(removeAtomicWriteLeftovers(scratch.root() / "absent"), 0u);
}

TEST(Files, PrivateFoldersAndDamagedCopies) {
    ScratchHome scratch;
    fs::path deep = scratch.root() / "x" / "y" / "z";
    ASSERT_TRUE(ensureDirectory(deep));
    EXPECT_EQ(fileMode(scratch.root() / "x"), 0700u);
    EXPECT_EQ(fileMode(deep), 0700u);
    EXPECT_TRUE(ensureDirectory(deep));  // an existing folder is fine
    writeText(scratch.root() / "file", "x");
    EXPECT_FALSE(ensureDirectory(scratch.root() / "file"));
    EXPECT_FALSE(ensureDirectory(scratch.root() / "file" / "sub"));

    fs::path file = scratch.root() / "teachers.json";
    EXPECT_FALSE(keepDamagedCopy(file));
    writeText(file, "{broken");
    ASSERT_TRUE(keepDamagedCopy(file));
    EXPECT_EQ(readFile(scratch.root() / "teachers.json.damaged"), "{broken");
    EXPECT_EQ(readFile(file), "{broken");  // the original stays until something is saved over it
}

TEST(Files, SafeFileNames) {
    const std::pair<std::string, bool> cases[] = {
        {"6F9619FF-8B86-D011-B42D-00C04FC964FF", true},
        {"a..b", true},
        {"", false},
        {".", false},
        {"..", false},
        {"../teachers", false},
        {"a/b", false},
        {std::string("a\0b", 3), false},
    };
    for (const auto& [name, safe] : cases) EXPECT_EQ(isSafeFileName(name), safe) << name;
    const std::pair<std::string, std::string> made[] = {
        {"M. Dupont/Durand", "M. Dupont_Durand"}, {"..", "_"}, {"", "_"}};
    for (const auto& [name, safe] : made) EXPECT_EQ(makeSafeFileName(name), safe);
    EXPECT_TRUE(isSafeFileName(makeSafeFileName(std::string("x\0/", 3))));
}

TEST(Paths, DocumentsConfigHomeAndExecutable) {
    ScratchHome scratch;
    const fs::path home = scratch.home();
    EXPECT_EQ(documentsFolder(), home / "Documents");  // no user-dirs.dirs
    const std::pair<std::string, fs::path> cases[] = {
        {"XDG_DOCUMENTS_DIR=\"$HOME/Dokumente\"\n", home / "Dokumente"},
        {"# comment\nXDG_DESKTOP_DIR=\"$HOME/Bureau\"\nXDG_DOCUMENTS_DIR=\"/srv/docs\"\n", "/srv/docs"},
        {"XDG_DOCUMENTS_DIR=\"$HOME/\"\n", home / "Documents"},  // disabled
        {"XDG_DOCUMENTS_DIR=\"relative\"\n", home / "Documents"},
    };
    for (const auto& [text, expected] : cases) {
        writeText(home / ".config" / "user-dirs.dirs", text);
        EXPECT_EQ(documentsFolder(), expected) << text;
    }
    EXPECT_EQ(configHome(), home / ".config");
    scratch.set("XDG_CONFIG_HOME", "relative/path");  // ignored
    EXPECT_EQ(configHome(), home / ".config");
    scratch.unset("XDG_CONFIG_HOME");
    EXPECT_EQ(configHome(), home / ".config");
    EXPECT_TRUE(fs::exists(executableFolder() / "platform_tests"));
}

TEST(Preferences, SurviveARestartAndStayPrivate) {
    ScratchHome scratch;
    fs::path file = PreferenceStore::standardPath();
    EXPECT_EQ(file, scratch.home() / ".config" / "klarion" / "preferences.json");
    EXPECT_TRUE(PreferenceStore(file).setBool("flag", false));
    EXPECT_EQ(fileMode(file), 0600u);
    EXPECT_EQ(fileMode(file.parent_path()), 0700u);
    EXPECT_EQ(PreferenceStore(file).boolean("flag"), false);
    EXPECT_TRUE(PreferenceStore(file).remove("flag"));
    EXPECT_FALSE(PreferenceStore(file).object("flag"));
}

TEST(Preferences, DamagedFileIsKeptAndReadAsEmpty) {
    ScratchHome scratch;
    fs::path file = scratch.root() / "preferences.json";
    for (const char* damaged : {"{\"a\":", "[1,2]", "42"}) {
        PreferenceStore store(writeText(file, damaged));
        EXPECT_FALSE(store.object("a")) << damaged;
        EXPECT_EQ(readFile(scratch.root() / "preferences.json.damaged"), damaged);
        store.setBool("a", true);
        EXPECT_EQ(PreferenceStore(file).boolean("a"), true);
    }
}

}  // namespace
}  // namespace klarion
