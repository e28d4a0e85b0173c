// Compares pages whose attribute order inside a start tag is free.
#pragma once

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

namespace klarion::testing {

// The text with the attributes of every start tag sorted. A start tag is
// "<" NAME (" " ATTRIBUTE "=\"" VALUE "\"")* ">", NAME of ASCII letters,
// digits and "-", ATTRIBUTE without " ", "=" or ">", VALUE without "\"";
// anything else is copied unchanged.
inline std::string sortedAttributes(const std::string& html) {
    auto nameByte = [](char c) {
        return c == '-' || (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z');
    };
    std::string out;
    std::size_t i = 0;
    while (i < html.size()) {
        if (html[i] != '<') {
            out += html[i++];
            continue;
        }
        std::size_t at = i + 1;
        while (at < html.size() && nameByte(html[at])) ++at;
        const std::size_t nameEnd = at;
        std::vector<std::string> attributes;
        bool whole = nameEnd > i + 1;
        while (whole && at < html.size() && html[at] == ' ') {
            const std::size_t start = at++;
            while (at < html.size() && std::string_view(" =>").find(html[at]) == std::string_view::npos) ++at;
            const std::size_t quote = html.find('"', at + 2);
            whole = at > start + 1 && html.compare(at, 2, "=\"") == 0 && quote != std::string::npos;
            if (whole) {
                at = quote + 1;
                attributes.push_back(html.substr(start, at - start));
            }
        }
        if (!whole || at >= html.size() || html[at] != '>') {
            out += html[i++];
            continue;
        }
        std::sort(attributes.begin(), attributes.end());
        out.append(html, i, nameEnd - i);
        for (const auto& a : attributes) out += a;
        out += '>';
        i = at + 1;
    }
    return out;
}

}  // namespace klarion::testing
