#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>

#include "http/core/file_utils.h"
#include "http/core/mime.h"
#include "http/core/sha1.h"

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
    const std::pair<std::string, std::string> base64[] = {
        {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"}, {"\xFF\xFE\xFD", "//79"},
    };
    for (const auto& [input, expected] : base64) EXPECT_EQ(toBase64(asBytes(input)), expected);
    // The accept value of the WebSocket opening handshake for the sample key.
    EXPECT_EQ(toBase64(sha1("dGhlIHNhbXBsZSBub25jZQ==258EAFA5-E914-47DA-95CA-C5AB0DC85B11")),
              "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
}

TEST(Mime, CountAndEntries) {
    EXPECT_EQ(mimeTypes().size(), 103u);
    const std::pair<const char*, const char*> cases[] = {
        {"html", "text/html"}, {"Html", "text/html"}, {"JPG", "image/jpeg"}, {"svgz", "image/svg+xml"},
        {"js", "application/javascript"}, {"json", "application/json"}, {"3gp", "video/3gpp"},
        {"pptx", "application/vnd.openxmlformats-officedocument.presentationml.presentation"},
        {"exe", "application/octet-stream"}, {"", "application/octet-stream"}, {"tar.gz", "application/octet-stream"},
        {".html", "application/octet-stream"},  // no leading dot
        {" html", "application/octet-stream"},  // no trimming
        {"wasm", "application/octet-stream"}, {"woff2", "application/octet-stream"},
        {"\xE2\x84\xAAML", "application/vnd.google-earth.kml+xml"},  // Kelvin sign lowers to k
    };
    for (const auto& [extension, type] : cases) EXPECT_EQ(mimeTypeForExtension(std::string_view(extension)), type) << extension;
    EXPECT_EQ(mimeTypeForExtension(std::nullopt), "application/octet-stream");
    const std::pair<const char*, const char*> paths[] = {
        {"/srv/www/index.HTML", "text/html"}, {"archive.tar.gz", "application/octet-stream"},
        {"/srv/www.d/README", "application/octet-stream"}, {"style.css", "text/css"},
    };
    for (const auto& [path, type] : paths) EXPECT_EQ(mimeTypeForPath(path), type) << path;
    EXPECT_EQ(pathExtension("/a.b/c"), "");
    EXPECT_EQ(pathExtension("a/b.tar.gz"), "gz");
}

TEST(TextUtils, UnquoteWhitespaceAndCBuffers) {
    const std::pair<std::string, std::string> cases[] = {
        {"\"", "\""}, {"\"\"", ""}, {"\"a\"b\"", "a\"b"}, {"\"abc", "\"abc"}, {"abc\"", "abc\""}, {"plain", "plain"},
        {"\"\"\"\"", "\"\""},  // only one pair is removed
    };
    for (const auto& [input, expected] : cases) EXPECT_EQ(unquote(input), expected) << input;
    for (char32_t c : {U'\t', U'\n', U'\v', U'\f', U'\r', U' '}) EXPECT_EQ(asWhitespace(c), static_cast<std::uint8_t>(c));
    EXPECT_FALSE(asWhitespace(U'\u00A0').has_value());
    EXPECT_FALSE(asWhitespace(U'a').has_value());
    EXPECT_EQ(fromCStringBuffer(Bytes{'a', 0xC3, 0xA9, 0, 'z'}), "a\xC3\xA9");
    EXPECT_FALSE(fromCStringBuffer(Bytes{0xC3, 0x28, 0}).has_value());
}

TEST(FileUtils, PathsListingReadingAndWriting) {
    char pattern[] = "/tmp/klarion-http-XXXXXX";
    const std::string dir = ::mkdtemp(pattern), file = dir + "/thirty";
    auto errorOf = [](auto call) {
        try {
            call();
        } catch (const FileError& e) {
            return e.code();
        }
        return 0;
    };
    auto names = listDirectory(dir);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{".", ".."}));
    EXPECT_EQ(errorOf([&] { listDirectory(dir + "/missing"); }), ENOENT);
    std::ofstream(file) << std::string(30, 'q');
    for (auto [path, exists, directory] : {std::tuple{dir, true, true}, {file, true, false}, {dir + "/missing", false, false}}) {
        EXPECT_EQ(pathExists(path), exists) << path;
        EXPECT_EQ(isDirectory(path), directory) << path;
    }
    EXPECT_EQ(errorOf([&] { pathExists(file + "/below"); }), ENOTDIR);  // a path below a regular file fails
    EXPECT_EQ(errorOf([&] { isDirectory(file + "/below"); }), ENOTDIR);

    auto reading = openForReading(file);
    std::vector<std::uint8_t> buffer(100);
    EXPECT_EQ(reading->read(buffer), 30u);
    EXPECT_EQ(reading->read(buffer), 0u);
    EXPECT_TRUE(reading->seek(10));
    EXPECT_EQ(reading->read(buffer), 20u);
    reading->close();
    reading->close();  // a second close does nothing
    auto written = openNewForWriting(dir + "/out");
    written->write(asBytes("hello"));
    written->close();
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(std::ifstream(dir + "/out").rdbuf()), {}), "hello");
    EXPECT_EQ(errorOf([&] { openForReading(dir + "/missing"); }), ENOENT);
    std::filesystem::remove_all(dir);
}
