// Compares pages whose attribute order inside a start tag is free.
#pragma once

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

namespace klarion::testing {

// The text with the attributes of every start tag sorted.
inline std::string sortedAttributes(const std::string& html) {
    static const std::regex tag(R"(<([a-zA-Z0-9-]+)((?: [^ =>]+="[^"]*")*)>)"), attribute(R"( [^ =>]+="[^"]*")");
    std::string out;
    auto last = html.cbegin();
    for (std::sregex_iterator it(html.begin(), html.end(), tag), end; it != end; ++it) {
        const std::string all = (*it)[2];
        std::vector<std::string> attributes(std::sregex_token_iterator(all.begin(), all.end(), attribute), {});
        std::sort(attributes.begin(), attributes.end());
        out.append(last, (*it)[0].first) += "<" + (*it)[1].str();
        for (const auto& a : attributes) out += a;
        out += '>';
        last = (*it)[0].second;
    }
    return out.append(last, html.cend());
}

}  // namespace klarion::testing
