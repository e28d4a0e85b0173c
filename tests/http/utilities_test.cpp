#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "http/core/base64.h"
#include "http/core/file.h"
#include "http/core/mime.h"
#include "http/core/sha1.h"
#include "http/core/text_utils.h"

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
    auto hexOf = [](const Bytes& digest) {
        std::string out;
        for (std::uint8_t b : digest) out += "0123456789abcdef"[b >> 4], out += "0123456789abcdef"[b & 15];
        return out;
    };
    for (const auto& [input, hex] : digests) EXPECT_EQ(hexOf(sha1(input)), hex) << "length " << input.size();
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

TEST(File, ReadingSeekingAndClosing) {
    char path[] = "/tmp/klarion-http-XXXXXX";
    int fd = ::mkstemp(path);
    ASSERT_EQ(::write(fd, std::string(30, 'q').data(), 30), 30);
    ::close(fd);
    auto reading = openForReading(path);
    std::vector<std::uint8_t> buffer(100);
    EXPECT_EQ(reading->read(buffer), 30u);
    EXPECT_EQ(reading->read(buffer), 0u);
    EXPECT_TRUE(reading->seek(10));
    EXPECT_EQ(reading->read(buffer), 20u);
    reading->close();
    reading->close();  // a second close does nothing
    std::remove(path);
    try {
        openForReading(path);
        FAIL() << "a missing file cannot be opened";
    } catch (const FileError& e) {
        EXPECT_EQ(e.code(), ENOENT);
    }
}
