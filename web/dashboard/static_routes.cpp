#include "web/dashboard/static_routes.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <system_error>

#include "http/core/mime.h"
#include "platform/paths.h"

namespace klarion::dashboard {

namespace detail {
extern const unsigned char kTeacherPage[];
extern const std::size_t kTeacherPageSize;
}  // namespace detail

std::string_view teacherPage() {
    return {reinterpret_cast<const char*>(detail::kTeacherPage), detail::kTeacherPageSize};
}

HttpResponse handleTeacherPage(HttpRequest&) {
    return HttpResponse::ok(HttpResponseBody::html(std::string(teacherPage())));
}

std::filesystem::path ResourceFolder::besideProgram() { return resourceFolder(); }

std::filesystem::path ResourceFolder::fileFor(std::string_view name, std::string_view type) const {
    if (name.empty() || type.empty()) return {};
    std::string fileName(name);
    fileName += '.';
    fileName += type;
    return folder_ / fileName;
}

std::optional<Bytes> ResourceFolder::read(std::string_view name, std::string_view type) const {
    const auto file = fileFor(name, type);
    if (file.empty()) return std::nullopt;
    std::error_code error;
    if (!std::filesystem::is_regular_file(file, error)) return std::nullopt;
    std::ifstream in(file, std::ios::binary);
    if (!in) return std::nullopt;
    Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) return std::nullopt;
    return bytes;
}

HttpResponse serveBundleResource(const ResourceFolder& resources, std::string_view name, std::string_view type,
                                 std::string_view contentType) {
    auto bytes = resources.read(name, type);
    if (!bytes) return HttpResponse::notFound();
    return HttpResponse::ok(HttpResponseBody::data(std::move(*bytes), std::string(contentType)));
}

HttpResponse servePngResource(const ResourceFolder& resources, std::string_view name) {
    return serveBundleResource(resources, name, "png", mimeTypeForExtension("png"));
}

namespace {

// The handler of name.type, answered with the MIME table's type for `type`.
HttpHandler resourceHandler(std::shared_ptr<const ResourceFolder> resources, std::string name, std::string type) {
    std::string contentType = mimeTypeForExtension(type);
    return [resources = std::move(resources), name = std::move(name), type = std::move(type),
            contentType = std::move(contentType)](HttpRequest&) {
        return serveBundleResource(*resources, name, type, contentType);
    };
}

}  // namespace

HttpHandler serveIndexHtml(std::shared_ptr<const ResourceFolder> resources) {
    return resourceHandler(std::move(resources), "index", "html");
}
HttpHandler serveStyleCss(std::shared_ptr<const ResourceFolder> resources) {
    return resourceHandler(std::move(resources), "style", "css");
}
HttpHandler serveAppJs(std::shared_ptr<const ResourceFolder> resources) {
    return resourceHandler(std::move(resources), "app", "js");
}
HttpHandler serveLogoPng(std::shared_ptr<const ResourceFolder> resources) {
    return resourceHandler(std::move(resources), "klarion_petit", "png");
}
HttpHandler serveContextHelpPng(std::shared_ptr<const ResourceFolder> resources) {
    return resourceHandler(std::move(resources), "context_help", "png");
}

HttpHandler serveKatexCss(std::shared_ptr<const ResourceFolder> resources) {
    return resourceHandler(std::move(resources), "katex", "css");
}

namespace {

// The stem of "KaTeX_" + letters, digits and "-" + ".woff2", the names KaTeX's style sheet
// gives its fonts; empty for any other name (nothing else of the folder, no way out of it).
std::string_view katexFontStem(std::string_view name) {
    constexpr std::string_view prefix = "KaTeX_", suffix = ".woff2";
    if (name.size() <= prefix.size() + suffix.size() || !name.starts_with(prefix) || !name.ends_with(suffix)) return {};
    const auto stem = name.substr(0, name.size() - suffix.size());
    const bool plain = std::all_of(stem.begin() + prefix.size(), stem.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
    });
    return plain ? stem : std::string_view();
}

}  // namespace

HttpHandler serveKatexFont(std::shared_ptr<const ResourceFolder> resources) {
    auto fonts = std::make_shared<const ResourceFolder>(resources->path() / "fonts");
    return [fonts = std::move(fonts)](HttpRequest& request) {
        const auto name = request.params.find(":name");
        const auto stem = name == request.params.end() ? std::string_view() : katexFontStem(name->second);
        if (stem.empty()) return HttpResponse::notFound();
        return serveBundleResource(*fonts, stem, "woff2", "font/woff2");
    };
}

std::vector<std::pair<std::string, HttpHandler>> staticRoutes(std::shared_ptr<const ResourceFolder> resources) {
    return {
        {"/teacher", handleTeacherPage},
        {"/", serveIndexHtml(resources)},
        {"/style.css", serveStyleCss(resources)},
        {"/app.js", serveAppJs(resources)},
        {"/klarion_petit.png", serveLogoPng(resources)},
        {"/context_help.png", serveContextHelpPng(resources)},
        {"/katex.css", serveKatexCss(resources)},
        {"/fonts/:name", serveKatexFont(resources)},
    };
}

}  // namespace klarion::dashboard
