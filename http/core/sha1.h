// SHA-1 digest (FIPS 180-4).
#pragma once

#include <string_view>

#include "http/core/bytes.h"

namespace klarion {

// The 20-byte digest, the five result words big-endian in order.
Bytes sha1(ByteSpan message);
// Digest of the UTF-8 bytes of a text.
Bytes sha1(std::string_view text);

}  // namespace klarion
