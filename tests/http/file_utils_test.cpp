#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>

#include "http/core/file_utils.h"

using namespace klarion;

namespace {

class ScratchDir {
public:
    ScratchDir() {
        char pattern[] = "/tmp/klarion-http-XXXXXX";
        path = ::mkdtemp(pattern);
    }
    ~ScratchDir() { std::system(("rm -rf '" + path + "'").c_str()); }
    std::string path;
};

}  // namespace

TEST(TextUtils, Unquote) {
    const std::pair<std::string, std::string> cases[] = {
        {"\"", "\""},
        {"\"\"", ""},
        {"\"a\"b\"", "a\"b"},
        {"\"abc", "\"abc"},
        {"abc\"", "abc\""},
        {"plain", "plain"},
        {"\"\"\"\"", "\"\""},  // only one pair is removed
    };
    for (const auto& [input, expected] : cases) EXPECT_EQ(unquote(input), expected) << input;
}

TEST(TextUtils, WhitespaceAndCBuffers) {
    for (char32_t c : {U'\t', U'\n', U'\v', U'\f', U'\r', U' '}) EXPECT_EQ(asWhitespace(c), static_cast<std::uint8_t>(c));
    EXPECT_FALSE(asWhitespace(U'\u00A0').has_value());
    EXPECT_FALSE(asWhitespace(U'a').has_value());

    const Bytes good{'a', 0xC3, 0xA9, 0, 'z'};
    EXPECT_EQ(fromCStringBuffer(good), "a\xC3\xA9");
    const Bytes bad{0xC3, 0x28, 0};
    EXPECT_FALSE(fromCStringBuffer(bad).has_value());
}

TEST(FileUtils, PathTests) {
    ScratchDir dir;
    std::string file = dir.path + "/f.txt";
    std::ofstream(file) << "x";
    EXPECT_TRUE(pathExists(file));
    EXPECT_TRUE(pathExists(dir.path));
    EXPECT_FALSE(pathExists(dir.path + "/missing"));
    EXPECT_TRUE(isDirectory(dir.path));
    EXPECT_FALSE(isDirectory(file));
    EXPECT_FALSE(isDirectory(dir.path + "/missing"));
    try {
        pathExists(file + "/below");
        FAIL() << "a path below a regular file must fail";
    } catch (const FileError& e) {
        EXPECT_EQ(e.code(), ENOTDIR);
    }
    EXPECT_THROW(isDirectory(file + "/below"), FileError);
}

TEST(FileUtils, ListingAndReading) {
    ScratchDir dir;
    auto names = listDirectory(dir.path);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{".", ".."}));
    EXPECT_THROW(listDirectory(dir.path + "/missing"), FileError);

    std::string path = dir.path + "/thirty";
    std::ofstream(path) << std::string(30, 'q');
    auto file = openForReading(path);
    std::vector<std::uint8_t> buffer(100);
    EXPECT_EQ(file->read(buffer), 30u);
    EXPECT_EQ(file->read(buffer), 0u);
    EXPECT_TRUE(file->seek(10));
    EXPECT_EQ(file->read(buffer), 20u);
    file->close();
    file->close();  // a second close does nothing

    auto written = openNewForWriting(dir.path + "/out");
    written->write(asBytes("hello"));
    written->close();
    std::ifstream in(dir.path + "/out");
    std::string content;
    in >> content;
    EXPECT_EQ(content, "hello");

    try {
        openForReading(dir.path + "/missing");
        FAIL();
    } catch (const FileError& e) {
        EXPECT_EQ(e.code(), ENOENT);
    }
}
