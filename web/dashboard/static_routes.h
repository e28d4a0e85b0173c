// The page and resource routes of the classroom server:
//   "/teacher"            the dashboard page, embedded in the program
//   "/"                   index.html     text/html
//   "/style.css"          style.css      text/css
//   "/app.js"             app.js         application/javascript
//   "/klarion_petit.png"  image/png
//   "/context_help.png"   image/png
//   "/katex.css"          katex.css      text/css     the formulas' style sheet (KaTeX's)
//   "/fonts/NAME"         fonts/NAME     font/woff2   its fonts, NAME being KaTeX_….woff2
// None of them reads the request, checks a PIN or writes to the journal. The
// resource files are read from disk at every request (nothing is cached);
// a missing or unreadable file answers 404 without a body.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "http/core/bytes.h"
#include "http/core/request.h"
#include "http/core/response.h"
#include "http/core/router.h"

namespace klarion::dashboard {

// The dashboard page text, as embedded at build time.
std::string_view teacherPage();
// "/teacher": 200 with the page as an html body (Content-Type "text/html").
HttpResponse handleTeacherPage(HttpRequest& request);

// The folder that holds the resource files.
class ResourceFolder {
public:
    explicit ResourceFolder(std::filesystem::path folder) : folder_(std::move(folder)) {}

    // The program's resource folder (platform/paths: beside the program, or installed).
    static std::filesystem::path besideProgram();

    const std::filesystem::path& path() const { return folder_; }
    // The file `name`.`type`; empty when the name or the type is empty.
    std::filesystem::path fileFor(std::string_view name, std::string_view type) const;
    // The whole file, or none when it is missing, not a regular file or unreadable.
    std::optional<Bytes> read(std::string_view name, std::string_view type) const;

private:
    std::filesystem::path folder_;
};

// 200 with the file's bytes and `contentType`, or 404 without a body.
HttpResponse serveBundleResource(const ResourceFolder& resources, std::string_view name, std::string_view type,
                                 std::string_view contentType);
// The same for name.png as "image/png".
HttpResponse servePngResource(const ResourceFolder& resources, std::string_view name);

// The route handlers over one resource folder.
HttpHandler serveIndexHtml(std::shared_ptr<const ResourceFolder> resources);
HttpHandler serveStyleCss(std::shared_ptr<const ResourceFolder> resources);
HttpHandler serveAppJs(std::shared_ptr<const ResourceFolder> resources);
HttpHandler serveLogoPng(std::shared_ptr<const ResourceFolder> resources);
HttpHandler serveContextHelpPng(std::shared_ptr<const ResourceFolder> resources);
HttpHandler serveKatexCss(std::shared_ptr<const ResourceFolder> resources);
// Serves the font named by the route's ":name"; any other name is not found.
HttpHandler serveKatexFont(std::shared_ptr<const ResourceFolder> resources);

// The eight routes above, (path, handler), in the order the server registers them.
std::vector<std::pair<std::string, HttpHandler>> staticRoutes(std::shared_ptr<const ResourceFolder> resources);

}  // namespace klarion::dashboard
