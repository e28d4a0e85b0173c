#include <gtest/gtest.h>

#include <string>

#include "http/core/sha1.h"

using namespace klarion;

TEST(Sha1, KnownDigests) {
    struct Case {
        std::string input;
        const char* hex;
    };
    const Case cases[] = {
        {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
        {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
        {std::string(1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
        // Lengths around the padding boundary (55, 56, 64 bytes).
        {std::string(55, 'x'), "cef734ba81a024479e09eb5a75b6ddae62e6abf1"},
        {std::string(56, 'x'), "901305367c259952f4e7af8323f480d59f81335b"},
        {std::string(64, 'x'), "bb2fa3ee7afb9f54c6dfb5d021f14b1ffe40c163"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(sha1Hex(c.input), c.hex) << "length " << c.input.size();
    }
    EXPECT_EQ(sha1("abc").size(), 20u);
}

TEST(Base64, Rfc4648Vectors) {
    const std::pair<std::string, std::string> cases[] = {
        {"", ""},          {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
    };
    for (const auto& [input, expected] : cases) EXPECT_EQ(toBase64(asBytes(input)), expected);
    const Bytes high{0xFF, 0xFE, 0xFD};
    EXPECT_EQ(toBase64(high), "//79");
}

TEST(Sha1AndBase64, WebSocketHandshakeExample) {
    // The accept value of the opening handshake for the sample key.
    std::string key = "dGhlIHNhbXBsZSBub25jZQ==";
    EXPECT_EQ(toBase64(sha1(key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11")), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
}
