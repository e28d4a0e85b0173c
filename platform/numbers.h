// Numbers read from and written as text.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace klarion {

// A decimal integer: an optional "+" or "-", then one or more ASCII digits,
// nothing else; none on overflow.
std::optional<long long> parseInteger(std::string_view text);

// The shortest text that reads back as `value`, with a fraction always
// shown: "0.7", "2.0", "0.30000000000000004"; decimal notation from 0.0001 up
// to 2^54 ("0.0001", not "1e-04"), exponent notation beyond ("1e-05",
// "1e+21"); "inf", "nan" as they are.
std::string decimalText(double value);

}  // namespace klarion
