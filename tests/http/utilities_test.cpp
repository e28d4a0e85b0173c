#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "http/core/base64.h"
#include "http/core/file.h"
#include "http/core/mime.h"
#include "http/core/process.h"
#include "http/core/sha1.h"
#include "http/core/text_utils.h"
#include "tests/support/scratch.h"

using namespace klarion;

TEST(Sha1AndBase64, KnownVectors) {
    const std::pair<std::string, const char*> digests[] = {
        {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
        {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
        {std::string(1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
        // Lengths around the padding boundary (55, 56, 64 bytes).
        {std::string(55, 'x'), "cef734ba81a024479e09eb5a75b6ddae62e6abf1"},
        {std::string(56, 'x'), "901305367c259952f4e7af8323f480d59f81335b"},
        {std::string(64, 'x'), "bb2fa3ee7afb9f54c6dfb5d021f14b1ffe40c163"},
    };
    for (const auto& [input, hex] : digests) EXPECT_EQ(sha1Hex(input), hex) << "length " << input.size();
    EXPECT_EQ(SHA1::hash(Bytes{0xFF, 0x00, 0x80}), sha1(std::string_view("\xFF\0\x80", 3)));  // any bytes
    const std::pair<std::string, std::string> base64[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
        {"\xFF\xFE\xFD", "//79"},
    };
    for (const auto& [input, expected] : base64) EXPECT_EQ(toBase64(asBytes(input)), expected);
    // The accept value of the WebSocket opening handshake for the sample key.
    EXPECT_EQ(toBase64(sha1("dGhlIHNhbXBsZSBub25jZQ==258EAFA5-E914-47DA-95CA-C5AB0DC85B11")),
              "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
}

TEST(Bytes, AppendBytes) {
    Bytes bytes;
    appendBytes(bytes, asBytes("ab"));
    appendBytes(bytes, {});
    EXPECT_EQ(bytes, utf8Bytes("ab"));
    for (int i = 0; i < 4; ++i) appendBytes(bytes, bytes);  // its own bytes, moved while growing
    EXPECT_EQ(bytes, utf8Bytes("abababababababababababababababab"));
    appendBytes(bytes, ByteSpan(bytes).subspan(1, 2));
    EXPECT_EQ(bytes.size(), 34u);
    EXPECT_EQ(std::string(bytes.end() - 2, bytes.end()), "ba");
}

TEST(Mime, LookupRules) {
    const std::pair<const char*, const char*> cases[] = {
        {"Html", "text/html"},
        {"JPG", "image/jpeg"},
        {"exe", "application/octet-stream"},
        {"", "application/octet-stream"},
        {"tar.gz", "application/octet-stream"},
        {".html", "application/octet-stream"},                       // no leading dot
        {" html", "application/octet-stream"},                       // no trimming
        {"\xE2\x84\xAAML", "application/vnd.google-earth.kml+xml"},  // Kelvin sign lowers to k
    };
    for (const auto& [extension, type] : cases)
        EXPECT_EQ(mimeTypeForExtension(std::string_view(extension)), type) << extension;
    EXPECT_EQ(mimeTypeForExtension(std::nullopt), "application/octet-stream");
    const std::pair<const char*, const char*> paths[] = {
        {"/srv/www/index.HTML", "text/html"},
        {"archive.tar.gz", "application/octet-stream"},
        {"/srv/www.d/README", "application/octet-stream"},
    };
    for (const auto& [path, type] : paths) EXPECT_EQ(mimeTypeForPath(path), type) << path;
}

TEST(TextUtils, UnquoteAndUtf8) {
    const std::pair<std::string, std::string> cases[] = {
        {"\"", "\""},       {"\"\"", ""},       {"\"a\"b\"", "a\"b"}, {"\"abc", "\"abc"},
        {"abc\"", "abc\""}, {"plain", "plain"}, {"\"\"\"\"", "\"\""},  // only one pair is removed
    };
    for (const auto& [input, expected] : cases) EXPECT_EQ(textutil::unquote(input), expected) << input;
    for (const char* good : {"", "a\xC3\xA9", "\xF4\x8F\xBF\xBF"})
        EXPECT_TRUE(textutil::isWellFormedUtf8(good)) << good;
    // Overlong, surrogate, past U+10FFFF, cut short.
    for (const char* bad : {"\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xC3"})
        EXPECT_FALSE(textutil::isWellFormedUtf8(bad)) << bad;
}

TEST(TextUtils, CStringBuffersAndWhitespace) {
    const std::pair<Bytes, std::optional<std::string>> buffers[] = {
        {{'a', 0xC3, 0xA9, 0, 'z', 0}, "a\xC3\xA9"},  // up to the first NUL
        {{0}, ""},
        {{0xC3, 0x28, 0}, std::nullopt},       // not UTF-8
        {{'o', 'k', 0, 0xFF, 0}, "ok"},        // what follows the NUL is not looked at
        {{'n', 'o', 'n', 'u', 'l'}, "nonul"},  // no NUL: never read past the end
    };
    for (const auto& [buffer, expected] : buffers) EXPECT_EQ(textutil::fromCStringBuffer(buffer), expected);
    for (char32_t c : {U'\t', U'\n', U'\v', U'\f', U'\r', U' '})
        EXPECT_EQ(textutil::asWhitespace(c), static_cast<std::uint8_t>(c)) << int(c);
    for (char32_t c : {U'\u00A0', U'\u0085', U'\u2028', U'\u3000', char32_t(8), char32_t(14), U'a', char32_t(0)})
        EXPECT_FALSE(textutil::asWhitespace(c).has_value()) << int(c);
}

namespace {

// The errno of the FileError that `call` throws; 0 when it throws none.
template <class Call>
int fileErrorOf(Call call) {
    try {
        call();
    } catch (const FileError& e) {
        return e.code();
    }
    return 0;
}

std::vector<std::string> sorted(std::vector<std::string> names) {
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

TEST(File, OpenModesReadWriteSeekAndClose) {
    klarion::testing::ScratchFolder scratch;
    const std::string path = (scratch.root() / "f").string();
    EXPECT_EQ(fileErrorOf([&] { openForWritingAndReading(path); }), ENOENT);  // "r+b" never creates

    auto written = openNewForWriting(path);
    written->write(asBytes(std::string(30, 'q')));
    written->write({});
    EXPECT_EQ(::fcntl(::fileno(written->pointer), F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    written->close();
    written->close();  // a second close does nothing
    EXPECT_EQ(fileErrorOf([&] { written->write(asBytes("late")); }), EBADF);

    auto reading = openForReading(path);
    std::vector<std::uint8_t> buffer(100);
    EXPECT_EQ(reading->read(buffer), 30u);
    EXPECT_EQ(reading->read(buffer), 0u);  // at the end, no error
    EXPECT_TRUE(reading->seek(10));
    EXPECT_EQ(reading->read(buffer), 20u);
    reading->close();

    auto both = openForWritingAndReading(path);  // keeps the content, writes from the start
    both->write(asBytes("AB"));
    both->close();
    auto appending = openFileForMode(path, "ab");
    appending->write(asBytes("Z"));
    appending->close();
    EXPECT_EQ(klarion::testing::readText(path), "AB" + std::string(28, 'q') + "Z");
    openNewForWriting(path)->close();  // "wb" empties an existing file
    EXPECT_EQ(klarion::testing::readText(path), "");

    // A write the system refuses is reported by write itself, not lost in close.
    if (std::filesystem::exists("/dev/full")) {
        auto full = openFile("/dev/full", "wb");
        EXPECT_EQ(fileErrorOf([&] { full->write(asBytes("x")); }), ENOSPC);
        full->close();
    }
}

TEST(File, PathTestsAndListing) {
    klarion::testing::ScratchFolder scratch;
    const std::string root = scratch.root().string(), file = root + "/thirty", link = root + "/dangling";
    EXPECT_EQ(sorted(files(root)), (std::vector<std::string>{".", ".."}));
    klarion::testing::writeText(file, std::string(30, 'q'));
    std::filesystem::create_symlink(root + "/nowhere", link);
    const std::tuple<std::string, bool, bool> paths[] = {
        {root, true, true},
        {file, true, false},
        {root + "/missing", false, false},
        {link, false, false},  // links are followed
    };
    for (const auto& [path, isThere, isDirectory] : paths) {
        EXPECT_EQ(exists(path), isThere) << path;
        EXPECT_EQ(directory(path), isDirectory) << path;
    }
    EXPECT_EQ(fileErrorOf([&] { exists(file + "/below"); }), ENOTDIR);
    EXPECT_EQ(fileErrorOf([&] { directory(file + "/below"); }), ENOTDIR);

    klarion::testing::writeText(root + "/\xC3\xA9t\xC3\xA9", "");
    klarion::testing::writeText(root + "/bad\xFF", "");  // not UTF-8: left out
    EXPECT_EQ(sorted(files(root)), (std::vector<std::string>{".", "..", "dangling", "thirty", "\xC3\xA9t\xC3\xA9"}));
    EXPECT_EQ(fileErrorOf([&] { files(root + "/missing"); }), ENOENT);
    EXPECT_EQ(fileErrorOf([&] { files(file); }), ENOTDIR);
}

TEST(File, WorkingDirectoryAndSeparator) {
    klarion::testing::ScratchFolder scratch;
    auto deep = scratch.root();  // longer than the first buffer the query tries
    for (int i = 0; i < 12; ++i) deep /= std::string(40, char('a' + i));
    std::filesystem::create_directories(deep);
    const auto before = std::filesystem::current_path();
    std::filesystem::current_path(deep);
    const std::string inDeep = currentWorkingDirectory();
    std::filesystem::current_path(before);
    EXPECT_EQ(inDeep, std::filesystem::canonical(deep).string());

    EXPECT_EQ(pathSeparator(), "/");
    std::thread setter([] {  // set on one thread while another reads it
        for (int i = 0; i < 200; ++i) setPathSeparator(i % 2 ? "/" : "\\");
    });
    for (int i = 0; i < 200; ++i) EXPECT_EQ(pathSeparator().size(), 1u);
    setter.join();
    EXPECT_EQ(pathSeparator(), "/");
}

TEST(Process, Ids) {
    EXPECT_EQ(Process::pid(), ::getpid());
    EXPECT_EQ(Process::tid(), static_cast<std::uint64_t>(::getpid()));  // the main thread's id is the process's
    std::uint64_t other = 0;
    std::thread([&] { other = Process::tid(); }).join();
    EXPECT_NE(other, static_cast<std::uint64_t>(::getpid()));
}

namespace {

// Writes "<tag> <signal>" to standard error, as a watcher may (write(2) only).
template <char Tag>
void watcher(std::int32_t signal) {
    char line[] = {Tag, ' ', char('0' + signal / 10), char('0' + signal % 10), '\n'};
    (void)!::write(2, line, sizeof line);
    errno = EIO;  // the interrupted code must not see this
}

}  // namespace

TEST(Process, SignalWatchersRunInOrderAndKeepTheProcessAlive) {
    // In a child process: the handler must not stay installed in the test program.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            Process::watchSignals(watcher<'a'>);
            Process::watchSignals(nullptr);  // ignored
            Process::watchSignals(watcher<'b'>);
            if (Process::signalsWatchers() != std::vector<Process::SignalWatcher>{watcher<'a'>, watcher<'b'>})
                ::_exit(3);
            for (int signal : {SIGTERM, SIGHUP, SIGINT}) {
                errno = ERANGE;
                std::raise(signal);
                if (errno != ERANGE) ::_exit(4);
            }
            ::_exit(7);  // still alive after the three signals
        },
        ::testing::ExitedWithCode(7), "a 15\nb 15\na 01\nb 01\na 02\nb 02\n");
}
