#include "platform/files.h"
#include "platform/paths.h"
#include "platform/preferences.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <fstream>
#include <thread>

#include "tests/platform/scratch.h"

namespace klarion {
namespace {

namespace fs = std::filesystem;
using testing::ScratchHome;

unsigned modeOf(const fs::path& p) {
    struct stat st{};
    stat(p.c_str(), &st);
    return st.st_mode & 0777;
}

void writePlain(const fs::path& p, const std::string& text) {
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << text;
}

TEST(Files, AtomicWriteReplacesWholeFileWithPrivateMode) {
    ScratchHome scratch;
    fs::path file = scratch.root() / "a.json";
    writePlain(file, "old content that is longer");
    chmod(file.c_str(), 0644);
    ASSERT_TRUE(writeFileAtomic(file, "new"));
    EXPECT_EQ(readFile(file), "new");
    EXPECT_EQ(modeOf(file), 0600u);
    // No temporary file is left behind.
    int count = 0;
    for (auto& entry : fs::directory_iterator(scratch.root())) count += entry.is_regular_file();
    EXPECT_EQ(count, 1);
}

TEST(Files, AtomicWriteFailureLeavesNothing) {
    ScratchHome scratch;
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

TEST(Files, EnsureDirectoryCreatesPrivateFolders) {
    ScratchHome scratch;
    fs::path deep = scratch.root() / "x" / "y" / "z";
    ASSERT_TRUE(ensureDirectory(deep));
    EXPECT_EQ(modeOf(scratch.root() / "x"), 0700u);
    EXPECT_EQ(modeOf(deep), 0700u);
    EXPECT_TRUE(ensureDirectory(deep));  // an existing folder is fine
    writePlain(scratch.root() / "file", "x");
    EXPECT_FALSE(ensureDirectory(scratch.root() / "file"));
    EXPECT_FALSE(ensureDirectory(scratch.root() / "file" / "sub"));
}

TEST(Files, KeepDamagedCopy) {
    ScratchHome scratch;
    fs::path file = scratch.root() / "teachers.json";
    EXPECT_FALSE(keepDamagedCopy(file));
    writePlain(file, "{broken");
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
    EXPECT_EQ(makeSafeFileName("M. Dupont/Durand"), "M. Dupont_Durand");
    EXPECT_EQ(makeSafeFileName(".."), "_");
    EXPECT_EQ(makeSafeFileName(""), "_");
    EXPECT_TRUE(isSafeFileName(makeSafeFileName(std::string("x\0/", 3))));
}

TEST(Paths, DocumentsFolderFollowsUserDirs) {
    ScratchHome scratch;
    const fs::path home = scratch.home();
    const fs::path dirs = home / ".config" / "user-dirs.dirs";
    EXPECT_EQ(documentsFolder(), home / "Documents");  // no user-dirs.dirs
    const std::pair<std::string, fs::path> cases[] = {
        {"XDG_DOCUMENTS_DIR=\"$HOME/Dokumente\"\n", home / "Dokumente"},
        {"# comment\nXDG_DESKTOP_DIR=\"$HOME/Bureau\"\nXDG_DOCUMENTS_DIR=\"/srv/docs\"\n", "/srv/docs"},
        {"XDG_DOCUMENTS_DIR=\"$HOME/\"\n", home / "Documents"},  // disabled
        {"XDG_DOCUMENTS_DIR=\"relative\"\n", home / "Documents"},
    };
    for (const auto& [text, expected] : cases) {
        writePlain(dirs, text);
        EXPECT_EQ(documentsFolder(), expected) << text;
    }
}

TEST(Paths, ConfigHomeAndExecutable) {
    ScratchHome scratch;
    EXPECT_EQ(configHome(), scratch.home() / ".config");
    scratch.set("XDG_CONFIG_HOME", "relative/path");  // ignored
    EXPECT_EQ(configHome(), scratch.home() / ".config");
    scratch.unset("XDG_CONFIG_HOME");
    EXPECT_EQ(configHome(), scratch.home() / ".config");
    EXPECT_TRUE(fs::exists(executableFolder() / "platform_tests"));
}

TEST(Preferences, TypedReadsTellAbsentFromWrongType) {
    ScratchHome scratch;
    fs::path file = scratch.root() / "prefs" / "preferences.json";
    writePlain(file, R"({"s":"x","b":true,"n":1234})");
    PreferenceStore store(file);
    EXPECT_EQ(store.string("s"), "x");
    EXPECT_EQ(store.boolean("b"), true);
    EXPECT_FALSE(store.string("n"));   // a number is no string
    EXPECT_FALSE(store.boolean("n"));  // nor a boolean
    EXPECT_FALSE(store.object("none"));
    EXPECT_EQ(store.object("n"), Json(1234));
}

TEST(Preferences, SurviveARestartAndStayPrivate) {
    ScratchHome scratch;
    fs::path file = PreferenceStore::standardPath();
    EXPECT_EQ(file, scratch.home() / ".config" / "klarion" / "preferences.json");
    {
        PreferenceStore store(file);
        EXPECT_TRUE(store.setString("KLR_teacherPinCode", "1234"));
        EXPECT_TRUE(store.setBool("flag", false));
    }
    PreferenceStore again(file);
    EXPECT_EQ(again.string("KLR_teacherPinCode"), "1234");
    EXPECT_EQ(again.boolean("flag"), false);
    EXPECT_EQ(modeOf(file), 0600u);
    EXPECT_EQ(modeOf(file.parent_path()), 0700u);
    EXPECT_TRUE(again.remove("flag"));
    EXPECT_FALSE(PreferenceStore(file).object("flag"));
}

TEST(Preferences, DamagedFileIsKeptAndReadAsEmpty) {
    ScratchHome scratch;
    fs::path file = scratch.root() / "preferences.json";
    for (const char* damaged : {"{\"a\":", "[1,2]", "42"}) {
        writePlain(file, damaged);
        PreferenceStore store(file);
        EXPECT_FALSE(store.object("a")) << damaged;
        EXPECT_EQ(readFile(scratch.root() / "preferences.json.damaged"), damaged);
        store.setBool("a", true);
        EXPECT_EQ(PreferenceStore(file).boolean("a"), true);
    }
}

}  // namespace
}  // namespace klarion
