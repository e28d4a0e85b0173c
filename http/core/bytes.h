// Byte buffers shared by the HTTP core: requests, responses, sockets, digests.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace klarion {

// An owned list of bytes (request bodies, response data, digests).
using Bytes = std::vector<std::uint8_t>;
// A borrowed run of bytes (what writers and digests read).
using ByteSpan = std::span<const std::uint8_t>;

// The UTF-8 bytes of a text, as a new array (empty for the empty text).
Bytes utf8Bytes(std::string_view text);

// The bytes of a text viewed without copying.
inline ByteSpan asBytes(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// Appends the bytes of `tail` to the end of `bytes`, growing it as needed.
void appendBytes(Bytes& bytes, ByteSpan tail);

}  // namespace klarion
