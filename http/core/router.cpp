#include "http/core/router.h"

#include "http/core/text_utils.h"

namespace klarion {

struct HttpRouter::Node {
    std::map<std::string, std::unique_ptr<Node>> nodes;
    bool isEndOfRoute = false;
    HttpHandler handler;

    Node* child(const std::string& key) const {
        auto it = nodes.find(key);
        return it == nodes.end() ? nullptr : it->second.get();
    }
};

namespace {

using Node = HttpRouter::Node;

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string stripQuery(const std::string& path) { return path.substr(0, path.find('?')); }

std::vector<std::string> splitPath(const std::string& path) {
    std::vector<std::string> tokens;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        if (end > start) tokens.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return tokens;
}

struct Matcher {
    const std::vector<std::string>& tokens;
    RouteParams& parameters;
    std::vector<const Node*>& matches;

    void find(const Node& node, std::size_t index) {
        const std::size_t count = tokens.size();
        if (index < count) {
            auto decoded = percentDecode(tokens[index]);
            if (!decoded) return;
            const std::string& token = *decoded;

            // a. the variable child (the first one in key order)
            for (const auto& [key, child] : node.nodes) {
                if (key.empty() || key[0] != ':') continue;
                parameters[key] = token;
                if (index + 1 == count && child->isEndOfRoute) {
                    matches.push_back(child.get());
                    return;
                }
                find(*child, index + 1);
                break;
            }
            // b. literal
            if (const Node* literal = node.child(token)) find(*literal, index + 1);
            // c. any one segment
            if (const Node* star = node.child("*")) find(*star, index + 1);
            // d. one or more segments
            if (const Node* stars = node.child("**")) {
                for (std::size_t next = index + 1; next < count; ++next) {
                    auto later = percentDecode(tokens[next]);
                    if (!later) break;
                    if (const Node* resume = stars->child(*later)) find(*resume, next + 1);
                }
                if (stars->isEndOfRoute) {
                    bool decodable = true;
                    for (std::size_t k = index + 1; k < count && decodable; ++k)
                        decodable = percentDecode(tokens[k]).has_value();
                    if (decodable) matches.push_back(stars);
                }
            }
        }
        if (index == count && node.isEndOfRoute) matches.push_back(&node);
    }
};

HttpHandler findHandler(const Node& root, RouteParams& parameters, const std::vector<std::string>& tokens) {
    std::vector<const Node*> matches;
    Matcher{tokens, parameters, matches}.find(root, 0);
    if (matches.empty()) return {};
    return matches.front()->handler;
}

void routesUnder(const Node& node, const std::string& prefix, std::vector<std::string>& out) {
    if (node.isEndOfRoute) out.push_back(prefix);
    for (const auto& [key, child] : node.nodes) routesUnder(*child, prefix + "/" + key, out);
}

}  // namespace

std::optional<std::string> percentDecodeBytes(std::string_view text, bool plusIsSpace) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out.push_back(plusIsSpace && text[i] == '+' ? ' ' : text[i]);
            continue;
        }
        if (i + 2 >= text.size()) return std::nullopt;
        int hi = hexValue(text[i + 1]), lo = hexValue(text[i + 2]);
        if (hi < 0 || lo < 0) return std::nullopt;
        out.push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
    }
    return out;
}

std::optional<std::string> percentDecode(std::string_view text) {
    auto out = percentDecodeBytes(text);
    if (!out || !textutil::isWellFormedUtf8(*out)) return std::nullopt;
    return out;
}

HttpRouter::HttpRouter() : rootNode_(std::make_unique<Node>()) {}
HttpRouter::~HttpRouter() = default;

void HttpRouter::registerRoute(const std::optional<std::string>& method, const std::string& path, HttpHandler handler) {
    std::vector<std::string> tokens{method.value_or("*")};
    for (auto& token : splitPath(path)) tokens.push_back(std::move(token));
    std::unique_lock lock(mutex_);
    Node* node = rootNode_.get();
    for (const auto& token : tokens) {
        auto& slot = node->nodes[token];
        if (!slot) slot = std::make_unique<Node>();
        node = slot.get();
    }
    node->isEndOfRoute = true;
    node->handler = std::move(handler);
}

std::optional<std::pair<RouteParams, HttpHandler>> HttpRouter::route(const std::optional<std::string>& method,
                                                                     const std::string& path) const {
    const std::string stripped = stripQuery(path);
    // Split before locking: connection threads look up at once.
    const std::vector<std::string> methodTokens =
        method ? splitPath(*method + "/" + stripped) : std::vector<std::string>{};
    const std::vector<std::string> anyTokens = splitPath("*/" + stripped);
    std::shared_lock lock(mutex_);
    if (method) {
        RouteParams parameters;
        HttpHandler handler = findHandler(*rootNode_, parameters, methodTokens);
        if (handler) return std::make_pair(std::move(parameters), std::move(handler));
    }
    RouteParams parameters;
    HttpHandler handler = findHandler(*rootNode_, parameters, anyTokens);
    if (handler) return std::make_pair(std::move(parameters), std::move(handler));
    return std::nullopt;
}

std::vector<std::string> HttpRouter::routes() const {
    std::shared_lock lock(mutex_);
    std::vector<std::string> out;
    for (const auto& [method, child] : rootNode_->nodes) routesUnder(*child, "", out);
    return out;
}

}  // namespace klarion
