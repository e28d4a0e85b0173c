// Unicode text helpers over UTF-8 strings (ICU). Invalid UTF-8 is read as
// U+FFFD where a result is rebuilt.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace klarion {

// Removes white space and line breaks at both ends: every code point with the
// Unicode White_Space property (tab, LF, VT, FF, CR, space, NEL, no-break
// space, the Zs spaces, LINE SEPARATOR, PARAGRAPH SEPARATOR...). Code points
// are looked at one by one, so a combining mark stops the trimming.
std::string trimWhitespaceAndNewlines(std::string_view text);
// Removes blanks at both ends: tab and the space separators (Zs), no line breaks.
std::string trimBlanks(std::string_view text);
// Splits at every line-break character (LF, VT, FF, CR, NEL, LINE SEPARATOR,
// PARAGRAPH SEPARATOR); CR LF gives an empty piece between them. Every piece
// is kept, empty ones included.
std::vector<std::string> splitAtLineBreaks(std::string_view text);

// Splits at `separator`, dropping empty pieces; after `maxSplits` pieces the
// rest of the text is one more piece (empty pieces never count as splits).
std::vector<std::string_view> splitOmittingEmpty(std::string_view text, char separator, size_t maxSplits = SIZE_MAX);

// Full Unicode lower-casing, independent of the user's locale.
std::string lowercased(std::string_view text);
// Number of user-perceived characters (extended grapheme clusters).
size_t characterCount(std::string_view text);
// Canonical equivalence: "é" precomposed equals "e" + combining acute.
bool canonicallyEqual(std::string_view a, std::string_view b);
std::string nfc(std::string_view text);
bool isValidUTF8(std::string_view text);
// The bytes with every ill-formed UTF-8 sequence replaced by U+FFFD (each
// maximal ill-formed part once); well-formed text comes back unchanged.
std::string repairUTF8(std::string_view bytes);
// The runs of letters and combining marks (any script), in order: every
// other character cuts (spaces, apostrophes, digits, hyphens...).
std::vector<std::string> letterRuns(std::string_view text);
// The first `count` user-perceived characters of `text` (all of it when it
// has fewer), as journal lines quote the start of a message.
std::string characterPrefix(std::string_view text, size_t count);

}  // namespace klarion
