#include "http/core/server.h"

namespace klarion {

HttpServer::HttpServer()
    : router(std::make_shared<HttpRouter>()),
      DELETE("DELETE", router),
      PATCH("PATCH", router),
      HEAD("HEAD", router),
      POST("POST", router),
      GET("GET", router),
      PUT("PUT", router),
      delete_("DELETE", router),
      patch("PATCH", router),
      head("HEAD", router),
      post("POST", router),
      get("GET", router),
      put("PUT", router) {}

HttpServer::~HttpServer() {
    // Connection threads call dispatch(), which reads this object's members:
    // they must be gone before those members are.
    stopAndWait();
}

std::pair<RouteParams, HttpHandler> HttpServer::dispatch(HttpRequest& request) {
    for (const auto& operation : middleware) {
        if (!operation) continue;
        if (auto answer = operation(request)) {
            auto response = std::make_shared<const HttpResponse>(std::move(*answer));
            return {RouteParams{}, [response](HttpRequest&) { return *response; }};
        }
    }
    if (auto found = router->route(request.method, request.path)) return std::move(*found);
    if (notFoundHandler) return {RouteParams{}, notFoundHandler};
    return HttpServerIO::dispatch(request);
}

}  // namespace klarion
