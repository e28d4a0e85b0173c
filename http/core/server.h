// The server the application creates: routes per method and for any method,
// middleware, and a not-found handler in front of the I/O loop.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "http/core/router.h"
#include "http/core/server_io.h"

namespace klarion {

// Runs before routing; a response ends the dispatch, none lets the request go on.
using HttpMiddleware = std::function<std::optional<HttpResponse>(HttpRequest&)>;

// A registration point for one method:   server.POST["/login"] = handler;
// or                                      server.post.set("/login", handler);
class MethodRoute {
public:
    MethodRoute(std::string method, std::shared_ptr<HttpRouter> router)
        : method_(std::move(method)), router_(std::move(router)) {}

    const std::string& method() const { return method_; }
    void set(const std::string& path, HttpHandler handler) const {
        router_->registerRoute(method_, path, std::move(handler));
    }
    // Reading a handler back always gives none.
    HttpHandler get(const std::string&) const { return {}; }

    struct Slot {
        const MethodRoute& route;
        std::string path;
        Slot& operator=(HttpHandler handler) {
            route.set(path, std::move(handler));
            return *this;
        }
    };
    Slot operator[](std::string path) const { return Slot{*this, std::move(path)}; }

private:
    std::string method_;
    std::shared_ptr<HttpRouter> router_;
};

class HttpServer : public HttpServerIO {
public:
    HttpServer();
    ~HttpServer() override;

    const std::shared_ptr<HttpRouter> router;

    MethodRoute DELETE, PATCH, HEAD, POST, GET, PUT;
    // "delete" is a C++ keyword: the lower-case DELETE registration point is `delete_`.
    MethodRoute delete_, patch, head, post, get, put;

    // Answers requests that match no route; when empty they get notFound.
    HttpHandler notFoundHandler;
    // Run in order before routing; set before start.
    std::vector<HttpMiddleware> middleware;

    // A route for any method:   server["/api/config"] = handler;
    void setRouteHandler(const std::string& path, HttpHandler handler) {
        router->registerRoute(std::nullopt, path, std::move(handler));
    }
    // Always none.
    HttpHandler getRouteHandler(const std::string&) const { return {}; }

    struct Slot {
        HttpServer& server;
        std::string path;
        Slot& operator=(HttpHandler handler) {
            server.setRouteHandler(path, std::move(handler));
            return *this;
        }
    };
    Slot operator[](std::string path) { return Slot{*this, std::move(path)}; }

    std::vector<std::string> routes() const { return router->routes(); }

    // Middleware, then the router (the request's method, then any method),
    // then notFoundHandler, then notFound.
    std::pair<RouteParams, HttpHandler> dispatch(HttpRequest& request) override;

    // The text after "Klarion " in every "Server" header.
    static std::string versionText() { return HttpResponse::versionText(); }
};

}  // namespace klarion
