#include "platform/text.h"

#include <unicode/brkiter.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

#include <memory>

namespace klarion {

namespace {

// Decodes the code point at `i` (advancing it); invalid bytes give a negative value.
UChar32 next(std::string_view s, int32_t& i) {
    UChar32 c;
    U8_NEXT(reinterpret_cast<const uint8_t*>(s.data()), i, static_cast<int32_t>(s.size()), c);
    return c;
}
UChar32 previous(std::string_view s, int32_t& i) {
    UChar32 c;
    U8_PREV(reinterpret_cast<const uint8_t*>(s.data()), 0, i, c);
    return c;
}

template <class Pred>
std::string trim(std::string_view text, Pred drop) {
    int32_t begin = 0, end = static_cast<int32_t>(text.size());
    while (begin < end) {
        int32_t i = begin;
        UChar32 c = next(text, i);
        if (c < 0 || !drop(c)) break;
        begin = i;
    }
    while (end > begin) {
        int32_t i = end;
        UChar32 c = previous(text, i);
        if (c < 0 || !drop(c)) break;
        end = i;
    }
    return std::string(text.substr(static_cast<size_t>(begin), static_cast<size_t>(end - begin)));
}

bool isLineBreak(UChar32 c) { return (c >= 0x0A && c <= 0x0D) || c == 0x85 || c == 0x2028 || c == 0x2029; }

icu::UnicodeString toUnicode(std::string_view text) {
    return icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
}

std::string toUTF8(const icu::UnicodeString& text) {
    std::string out;
    text.toUTF8String(out);
    return out;
}

}  // namespace

std::string trimWhitespaceAndNewlines(std::string_view text) {
    return trim(text, [](UChar32 c) { return u_hasBinaryProperty(c, UCHAR_WHITE_SPACE) != 0; });
}

std::string trimBlanks(std::string_view text) {
    return trim(text, [](UChar32 c) { return c == 0x09 || u_charType(c) == U_SPACE_SEPARATOR; });
}

std::vector<std::string> splitAtLineBreaks(std::string_view text) {
    std::vector<std::string> pieces;
    int32_t start = 0, i = 0, size = static_cast<int32_t>(text.size());
    while (i < size) {
        int32_t at = i;
        UChar32 c = next(text, i);
        if (c >= 0 && isLineBreak(c)) {
            pieces.emplace_back(text.substr(static_cast<size_t>(start), static_cast<size_t>(at - start)));
            start = i;
        }
    }
    pieces.emplace_back(text.substr(static_cast<size_t>(start)));
    return pieces;
}

std::vector<std::string_view> splitOmittingEmpty(std::string_view s, char separator, size_t maxSplits) {
    std::vector<std::string_view> pieces;
    size_t start = 0, i = 0;
    for (; i < s.size(); ++i) {
        if (s[i] != separator) continue;
        bool appended = i > start;
        if (appended) pieces.push_back(s.substr(start, i - start));
        start = i + 1;
        if (appended && pieces.size() == maxSplits) break;
    }
    if (start < s.size()) pieces.push_back(s.substr(start));
    return pieces;
}

std::string lowercased(std::string_view text) {
    icu::UnicodeString u = toUnicode(text);
    u.toLower(icu::Locale::getRoot());
    return toUTF8(u);
}

size_t characterCount(std::string_view text) {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> it(icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    icu::UnicodeString u = toUnicode(text);
    if (U_FAILURE(status) || !it) return static_cast<size_t>(u.countChar32());
    it->setText(u);
    size_t count = 0;
    it->first();
    while (it->next() != icu::BreakIterator::DONE) ++count;
    return count;
}

std::string nfc(std::string_view text) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* n = icu::Normalizer2::getNFCInstance(status);
    icu::UnicodeString u = toUnicode(text);
    if (U_FAILURE(status)) return toUTF8(u);
    icu::UnicodeString out = n->normalize(u, status);
    return U_FAILURE(status) ? toUTF8(u) : toUTF8(out);
}

bool canonicallyEqual(std::string_view a, std::string_view b) {
    if (a == b) return true;
    return nfc(a) == nfc(b);
}

bool isValidUTF8(std::string_view text) {
    int32_t i = 0, size = static_cast<int32_t>(text.size());
    while (i < size)
        if (next(text, i) < 0) return false;
    return true;
}

std::string repairUTF8(std::string_view bytes) {
    std::string text;
    text.reserve(bytes.size());
    int32_t i = 0, size = static_cast<int32_t>(bytes.size());
    while (i < size) {
        const int32_t start = i;
        if (next(bytes, i) < 0) {
            text += "\xEF\xBF\xBD";
        } else {
            text.append(bytes.substr(static_cast<size_t>(start), static_cast<size_t>(i - start)));
        }
    }
    return text;
}

std::vector<std::string> letterRuns(std::string_view text) {
    std::vector<std::string> runs;
    int32_t runStart = 0, i = 0, size = static_cast<int32_t>(text.size());
    auto keep = [&](int32_t end) {
        if (end > runStart)
            runs.emplace_back(text.substr(static_cast<size_t>(runStart), static_cast<size_t>(end - runStart)));
    };
    while (i < size) {
        const int32_t at = i;
        const UChar32 c = next(text, i);
        if (c < 0 || (U_GET_GC_MASK(c) & (U_GC_L_MASK | U_GC_M_MASK)) == 0) {
            keep(at);
            runStart = i;
        }
    }
    keep(size);
    return runs;
}

std::string characterPrefix(std::string_view text, size_t count) {
    icu::UnicodeString u = toUnicode(text);
    if (static_cast<size_t>(u.length()) <= count) return toUTF8(u);  // never more characters than units
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> it(icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    if (U_FAILURE(status) || !it) return toUTF8(u.tempSubString(0, u.moveIndex32(0, static_cast<int32_t>(count))));
    it->setText(u);
    int32_t end = it->first();
    for (size_t i = 0; i < count; ++i) {
        int32_t boundary = it->next();
        if (boundary == icu::BreakIterator::DONE) break;
        end = boundary;
    }
    return toUTF8(u.tempSubString(0, end));
}

}  // namespace klarion
