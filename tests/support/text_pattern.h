// Loose matching of texts whose details vary from run to run (times, drawn
// PINs, headers in any order), without <regex>: libstdc++'s regex engine is
// slow to build and draws false -Wmaybe-uninitialized warnings under the
// sanitizer builds.
#pragma once

#include <string_view>

namespace klarion::testing {

// Whether the whole of `text` matches `pattern`, in which "#" stands for one
// ASCII digit, "*" for any run of bytes (line breaks included, or none), and
// every other byte for itself.
inline bool matchesPattern(std::string_view text, std::string_view pattern) {
    std::size_t t = 0, p = 0;
    std::size_t starP = std::string_view::npos, starT = 0;  // the last "*" seen, and where its run ends
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            starP = p++;
            starT = t;
        } else if (p < pattern.size() &&
                   (pattern[p] == '#' ? text[t] >= '0' && text[t] <= '9' : pattern[p] == text[t])) {
            ++p;
            ++t;
        } else if (starP != std::string_view::npos) {  // the last "*" takes one more byte
            p = starP + 1;
            t = ++starT;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

}  // namespace klarion::testing
