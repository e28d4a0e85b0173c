// SHA-1 digest (FIPS 180-4).
#pragma once

#include <string>
#include <string_view>

#include "http/core/bytes.h"

namespace klarion {

struct SHA1 {
    // The 20-byte digest, the five result words big-endian in order.
    static Bytes hash(ByteSpan message);
};

// Digest of the UTF-8 bytes of a text.
Bytes sha1(std::string_view text);
// The same digest as 40 lower-case hexadecimal digits.
std::string sha1Hex(std::string_view text);

}  // namespace klarion
