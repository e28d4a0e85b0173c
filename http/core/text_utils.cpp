#include "http/core/text_utils.h"

#include <cstdint>

namespace klarion::textutil {

std::vector<std::string> split(std::string_view text, char separator) {
    std::vector<std::string> pieces;
    std::size_t start = 0;
    for (;;) {
        std::size_t at = text.find(separator, start);
        if (at == std::string_view::npos) {
            pieces.emplace_back(text.substr(start));
            return pieces;
        }
        pieces.emplace_back(text.substr(start, at - start));
        start = at + 1;
    }
}

namespace {

// Length of the space character at `text[i]` (0 when it is none).
std::size_t spaceAt(std::string_view text, std::size_t i, bool lineBreaks) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == ' ' || c == '\t') return 1;
    if (lineBreaks && (c == '\n' || c == '\r' || c == 0x0B || c == 0x0C)) return 1;
    auto rest = text.substr(i);
    if (rest.starts_with("\xC2\xA0")) return 2;
    if (lineBreaks && rest.starts_with("\xC2\x85")) return 2;
    if (rest.starts_with("\xE1\x9A\x80")) return 3;  // U+1680
    if (rest.size() >= 3 && rest[0] == '\xE2') {
        unsigned char b1 = static_cast<unsigned char>(rest[1]), b2 = static_cast<unsigned char>(rest[2]);
        if (b1 == 0x80 && b2 >= 0x80 && b2 <= 0x8A) return 3;                  // U+2000..U+200A
        if (b1 == 0x80 && b2 == 0xAF) return 3;                                // U+202F
        if (b1 == 0x81 && b2 == 0x9F) return 3;                                // U+205F
        if (lineBreaks && b1 == 0x80 && (b2 == 0xA8 || b2 == 0xA9)) return 3;  // U+2028, U+2029
    }
    if (rest.starts_with("\xE3\x80\x80")) return 3;  // U+3000
    return 0;
}

std::string trim(std::string_view text, bool lineBreaks) {
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t n = spaceAt(text, start, lineBreaks);
        if (n == 0) break;
        start += n;
    }
    std::size_t end = text.size();
    while (end > start) {
        // Find the start of the last character.
        std::size_t k = end - 1;
        while (k > start && (static_cast<unsigned char>(text[k]) & 0xC0) == 0x80) --k;
        std::size_t n = spaceAt(text, k, lineBreaks);
        if (n == 0 || k + n != end) break;
        end = k;
    }
    return std::string(text.substr(start, end - start));
}

}  // namespace

std::string trimHorizontal(std::string_view text) { return trim(text, false); }

std::string trimSpacesAndBreaks(std::string_view text) { return trim(text, true); }

std::string lowerLatin1(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 'A' && c <= 'Z') {
            out.push_back(static_cast<char>(c - 'A' + 'a'));
        } else if (c == 0xC3 && i + 1 < text.size()) {
            // U+00C0..U+00DE (except U+00D7) lower to U+00E0..U+00FE.
            unsigned char next = static_cast<unsigned char>(text[i + 1]);
            out.push_back(static_cast<char>(c));
            if (next >= 0x80 && next <= 0x9E && next != 0x97) next = static_cast<unsigned char>(next + 0x20);
            out.push_back(static_cast<char>(next));
            ++i;
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
    return out;
}

std::string unquote(std::string_view text) {
    // Quotes are single bytes, so "more than one scalar" is "at least two bytes"
    // once both ends are quotes.
    if (text.size() >= 2 && text.front() == '"' && text.back() == '"') {
        return std::string(text.substr(1, text.size() - 2));
    }
    return std::string(text);
}

bool isWellFormedUtf8(std::string_view bytes) {
    const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
    std::size_t n = bytes.size(), i = 0;
    while (i < n) {
        unsigned char c = s[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t len;
        std::uint32_t cp;
        if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
            cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (i + len > n) return false;
        for (std::size_t k = 1; k < len; ++k) {
            if ((s[i + k] & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (s[i + k] & 0x3F);
        }
        if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
            (cp >= 0xD800 && cp <= 0xDFFF)) {
            return false;
        }
        i += len;
    }
    return true;
}

std::optional<std::string> fromCStringBuffer(ByteSpan buffer) {
    std::size_t end = 0;
    while (end < buffer.size() && buffer[end] != 0) ++end;
    std::string text(reinterpret_cast<const char*>(buffer.data()), end);
    if (!isWellFormedUtf8(text)) return std::nullopt;
    return text;
}

std::optional<std::uint8_t> asWhitespace(char32_t scalar) {
    if ((scalar >= 9 && scalar <= 13) || scalar == 32) return static_cast<std::uint8_t>(scalar);
    return std::nullopt;
}

}  // namespace klarion::textutil
