// A ready-made server that shows the HTTP library at work: file sharing, a
// folder browser, generated pages, route parameters and wildcards, forms and
// uploads, raw and streamed bodies, redirects, and a WebSocket echo.
#pragma once

#include <memory>
#include <string>

#include "http/core/server.h"

namespace klarion {

// Where the demonstration's redirects point; never fetched by the program.
inline constexpr const char* kDemoHomePageUrl = "http://www.example.com";
inline constexpr const char* kDemoNotFoundUrl = "https://www.example.com/404";

// Prints `directory` on its own line, then builds a server, not started, with
// seventeen routes ("/public/:path" shares `directory`, "/files/:path" browses
// from "/"), a not-found handler redirecting to kDemoNotFoundUrl and a
// middleware printing one "Middleware: " line per request. It listens on
// loopback only (127.0.0.1, or ::1 over IPv6) unless the caller changes its
// listen addresses before starting it. Every text taken from the request or
// the file system is escaped in its pages.
std::unique_ptr<HttpServer> demoServer(const std::string& directory);

}  // namespace klarion
