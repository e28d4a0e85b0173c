// Maps a method and a path to a handler and the values of the path's variables.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "http/core/request.h"
#include "http/core/response.h"

namespace klarion {

// A route handler; an empty function stands for "no handler".
// A lambda taking `const HttpRequest&` fits too.
using HttpHandler = std::function<HttpResponse(HttpRequest&)>;

// Path tokens: ":name" matches one segment and records it under ":name"
// (percent-decoded); "*" matches one segment; "**" matches one or more
// segments up to the route's next token, or every remaining segment when it
// ends the route; anything else matches itself. A variable that ends a
// request path wins over a literal at the same place ("/user/:id" answers
// "/user/me" even when "/user/me" exists).
// Routes registered with a method are tried before routes for any method.
// One reader-writer lock guards the route tree: registering holds it alone,
// lookups and listing share it (connection threads look up at once).
class HttpRouter {
public:
    HttpRouter();
    ~HttpRouter();
    HttpRouter(const HttpRouter&) = delete;
    HttpRouter& operator=(const HttpRouter&) = delete;

    // ("register" is a keyword in C++.) A missing method means any method.
    // An empty handler still ends a route, which then answers nothing.
    void registerRoute(const std::optional<std::string>& method, const std::string& path, HttpHandler handler);

    // The parameters and the handler of the first matching route.
    std::optional<std::pair<RouteParams, HttpHandler>> route(const std::optional<std::string>& method,
                                                             const std::string& path) const;

    // Every registered route path, without its method ("/" listed as "").
    std::vector<std::string> routes() const;

    struct Node;

private:
    std::unique_ptr<Node> rootNode_;
    mutable std::shared_mutex mutex_;
};

// Percent-decoding of one path token; none for an invalid escape or bytes that
// are not UTF-8.
std::optional<std::string> percentDecode(std::string_view text);
// The bytes the escapes stand for, whatever they are (and "+" read as a space
// with `plusIsSpace`); none for an invalid escape.
std::optional<std::string> percentDecodeBytes(std::string_view text, bool plusIsSpace = false);

}  // namespace klarion
