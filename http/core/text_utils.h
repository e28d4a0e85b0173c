// Text helpers of the HTTP core.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "http/core/bytes.h"

namespace klarion::textutil {

// Splits on every occurrence of `separator` (empty pieces kept).
std::vector<std::string> split(std::string_view text, char separator);

// Trims horizontal spaces: space, tab and the Unicode space separators (U+00A0,
// U+1680, U+2000..U+200A, U+202F, U+205F, U+3000), not line breaks.
std::string trimHorizontal(std::string_view text);

// Trims white space including line breaks (and the spaces above, and U+0085,
// U+2028, U+2029).
std::string trimSpacesAndBreaks(std::string_view text);

// Unicode lower-casing of the characters a request line can hold (U+0000..U+00FF
// and ASCII); other characters unchanged.
std::string lowerLatin1(std::string_view text);

// The text without one enclosing pair of double quotes (needs at least two
// characters), else the text unchanged. Nothing inside is unescaped.
std::string unquote(std::string_view text);

// True when the bytes are well-formed UTF-8 (RFC 3629): no overlong forms,
// surrogates or values past U+10FFFF.
bool isWellFormedUtf8(std::string_view bytes);

// The bytes before the first NUL decoded as UTF-8 (all of them when there is
// no NUL); none when they are not well-formed UTF-8.
std::optional<std::string> fromCStringBuffer(ByteSpan buffer);

// The byte of a white-space scalar: tab, line feed, vertical tab, form feed,
// carriage return (9..13) or space (32); none for every other scalar.
std::optional<std::uint8_t> asWhitespace(char32_t scalar);

}  // namespace klarion::textutil
