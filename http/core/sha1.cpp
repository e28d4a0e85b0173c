#include "http/core/sha1.h"

#include <array>
#include <cstdint>

namespace klarion {

namespace {

std::uint32_t rotl(std::uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

void processBlock(const std::uint8_t* block, std::array<std::uint32_t, 5>& h) {
    std::uint32_t w[80];
    for (int i = 0; i < 16; ++i) {
        w[i] = (std::uint32_t(block[i * 4]) << 24) | (std::uint32_t(block[i * 4 + 1]) << 16) |
               (std::uint32_t(block[i * 4 + 2]) << 8) | std::uint32_t(block[i * 4 + 3]);
    }
    for (int i = 16; i < 80; ++i) w[i] = rotl(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
    std::uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
    for (int i = 0; i < 80; ++i) {
        std::uint32_t f, k;
        if (i < 20) {
            f = (b & c) | (~b & d);
            k = 0x5A827999;
        } else if (i < 40) {
            f = b ^ c ^ d;
            k = 0x6ED9EBA1;
        } else if (i < 60) {
            f = (b & c) | (b & d) | (c & d);
            k = 0x8F1BBCDC;
        } else {
            f = b ^ c ^ d;
            k = 0xCA62C1D6;
        }
        std::uint32_t t = rotl(a, 5) + f + e + k + w[i];
        e = d;
        d = c;
        c = rotl(b, 30);
        b = a;
        a = t;
    }
    h[0] += a;
    h[1] += b;
    h[2] += c;
    h[3] += d;
    h[4] += e;
}

}  // namespace

Bytes SHA1::hash(ByteSpan message) {
    std::array<std::uint32_t, 5> h{0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
    std::size_t full = message.size() / 64;
    for (std::size_t i = 0; i < full; ++i) processBlock(message.data() + i * 64, h);

    // Padding: the rest, 0x80, zeros, then the bit length big-endian.
    Bytes tail;
    appendBytes(tail, message.subspan(full * 64));
    tail.push_back(0x80);
    while (tail.size() % 64 != 56) tail.push_back(0);
    std::uint64_t bits = static_cast<std::uint64_t>(message.size()) * 8;
    for (int i = 7; i >= 0; --i) tail.push_back(static_cast<std::uint8_t>(bits >> (i * 8)));
    for (std::size_t i = 0; i < tail.size(); i += 64) processBlock(tail.data() + i, h);

    Bytes digest;
    digest.reserve(20);
    for (std::uint32_t word : h) {
        for (int i = 3; i >= 0; --i) digest.push_back(static_cast<std::uint8_t>(word >> (i * 8)));
    }
    return digest;
}

Bytes sha1(std::string_view text) { return SHA1::hash(asBytes(text)); }

std::string sha1Hex(std::string_view text) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(40);
    for (std::uint8_t byte : sha1(text)) {
        hex.push_back(digits[byte >> 4]);
        hex.push_back(digits[byte & 15]);
    }
    return hex;
}

}  // namespace klarion
