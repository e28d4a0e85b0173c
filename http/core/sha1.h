// SHA-1 digest (FIPS 180-4) and Base64 text (RFC 4648, standard alphabet).
#pragma once

#include <string>
#include <string_view>

#include "http/core/bytes.h"

namespace klarion {

struct SHA1 {
    // The 20-byte digest of `message`, the five result words big-endian in order.
    static Bytes hash(ByteSpan message);
};

// Digest of the UTF-8 bytes of a text.
Bytes sha1(std::string_view text);
// The same digest as 40 lower-case hexadecimal digits.
std::string sha1Hex(std::string_view text);

// Base64 with "=" padding and no line breaks; an empty input gives "".
std::string toBase64(ByteSpan bytes);

}  // namespace klarion
