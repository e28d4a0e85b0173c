// Calling a route handler without a socket: a built request in, the status,
// headers and body bytes out.
#pragma once

#include <map>
#include <optional>
#include <string>

#include "http/core/request.h"
#include "http/core/response.h"

namespace klarion::test {

inline HttpRequest postRequest(const std::string& body, std::optional<std::string> address = "10.0.0.5") {
    HttpRequest request;
    request.method = "POST";
    request.path = "/api/test";
    request.headers["content-type"] = "application/json";
    request.body = utf8Bytes(body);
    request.address = std::move(address);
    return request;
}

struct RouteReply {
    int64_t status = 0;
    std::string body;
    std::optional<std::string> contentType;
};

inline RouteReply replyOf(const HttpResponse& response) {
    RouteReply reply;
    reply.status = response.statusCode();
    MemoryBodyWriter writer;
    auto content = response.content();
    if (content.writer) content.writer(writer);
    reply.body = writer.text();
    const auto headers = response.headers();
    if (auto it = headers.find("Content-Type"); it != headers.end()) reply.contentType = it->second;
    return reply;
}

// Calls `handler(context, request)` with a POST of `body` from `address`.
template <class Handler, class Context>
RouteReply callRoute(Handler handler, const Context& context, const std::string& body,
                     std::optional<std::string> address = "10.0.0.5") {
    HttpRequest request = postRequest(body, std::move(address));
    return replyOf(handler(context, request));
}

}  // namespace klarion::test
