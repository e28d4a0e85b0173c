// The phrases that may signal distress, self-harm, abuse, harassment, violence
// or a call for help in a student's question.
#pragma once

#include <array>
#include <optional>
#include <string_view>

namespace klarion {

// 120 lower-case phrases, searched in this order; the first one found wins.
// Some are word stems ("automutil", "scarifi", "harcel"); every entry matches
// anywhere in the text, inside longer words too. An entry that contains an
// earlier entry (such as "me suicider", which contains "suicide") is never
// the one reported.
extern const std::array<std::string_view, 120> safetyPhrases;

// The first phrase of safetyPhrases contained in `text` once it is lower-cased
// (Unicode default lower-casing, no locale rules), canonically equivalent
// sequences counting as equal; none when no phrase is found.
std::optional<std::string_view> findSafetyPhrase(std::string_view text);

}  // namespace klarion
