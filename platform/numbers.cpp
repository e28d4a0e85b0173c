#include "platform/numbers.h"

#include <charconv>
#include <cmath>

namespace klarion {

std::optional<long long> parseInteger(std::string_view text) {
    // from_chars takes a "-" but no "+".
    if (text.size() > 1 && text[0] == '+' && text[1] != '-') text.remove_prefix(1);
    long long value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (error != std::errc() || stop != end) return std::nullopt;
    return value;
}

std::string decimalText(double value) {
    char buffer[64];
    const double magnitude = std::fabs(value);
    const bool exponent = value != 0 && (magnitude < 1e-4 || magnitude > 0x1p54);
    const auto result = std::isfinite(value)
                            ? std::to_chars(buffer, buffer + sizeof buffer, value,
                                            exponent ? std::chars_format::scientific : std::chars_format::fixed)
                            : std::to_chars(buffer, buffer + sizeof buffer, value);
    std::string text(buffer, result.ptr);
    // "inf" and "nan" hold an "n"; exponent forms an "e".
    if (text.find_first_of(".en") == std::string::npos) text += ".0";
    return text;
}

}  // namespace klarion
