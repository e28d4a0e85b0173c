// The student page's resource routes, read from the resource folder at each
// request.
#include <gtest/gtest.h>

#include <fstream>

#include "platform/random.h"
#include "tests/api/api_test_support.h"
#include "web/dashboard/static_routes.h"

namespace klarion {
namespace {

struct ResourceRoutes : ::testing::Test {
    std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("klarion-resources-" + randomUUIDString());
    std::shared_ptr<dashboard::ResourceFolder> resources = std::make_shared<dashboard::ResourceFolder>(folder);

    void SetUp() override { std::filesystem::create_directories(folder); }
    void TearDown() override { std::filesystem::remove_all(folder); }
    void write(const std::string& name, const std::string& bytes) {
        std::ofstream(folder / name, std::ios::binary) << bytes;
    }
    HttpResponse get(const std::string& path) {
        for (auto& [routePath, handler] : dashboard::staticRoutes(resources)) {
            if (routePath != path) continue;
            HttpRequest request;
            request.method = "GET";
            return handler(request);
        }
        ADD_FAILURE() << "no route " << path;
        return HttpResponse::internalServerError();
    }
};

TEST_F(ResourceRoutes, ServeEachFileWithItsType) {
    const std::string png("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16);
    const struct {
        const char* path;
        const char* file;
        std::string bytes;
        const char* type;
    } cases[] = {{"/", "index.html", "<!DOCTYPE html><title>Élève</title>", "text/html"},
                 {"/style.css", "style.css", "body{color:red}", "text/css"},
                 {"/app.js", "app.js", "console.log('ok');", "application/javascript"},
                 {"/klarion_petit.png", "klarion_petit.png", png, "image/png"},
                 {"/context_help.png", "context_help.png", png + "help", "image/png"},
                 {"/teacher", nullptr, std::string(dashboard::teacherPage()), "text/html"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        if (c.file) write(c.file, c.bytes);
        const auto reply = test::replyOf(get(c.path));
        EXPECT_EQ(reply.status, 200);
        EXPECT_EQ(reply.contentType, c.type);
        EXPECT_EQ(get(c.path).content().length, static_cast<int64_t>(c.bytes.size()));
        EXPECT_EQ(reply.body, c.bytes);
    }
    EXPECT_NE(dashboard::teacherPage().find("<title>Klarion - Tableau de bord</title>"), std::string_view::npos);

    write("app.js", "two");  // replaced on disk: served at the next request
    EXPECT_EQ(test::replyOf(get("/app.js")).body, "two");
}

TEST_F(ResourceRoutes, MissingOrUnreadableFileIsNotFoundWithoutBody) {
    write("index.html", "page");
    std::filesystem::create_directories(folder / "style.css");  // a folder, not a file
    for (const char* path : {"/app.js", "/style.css", "/klarion_petit.png", "/context_help.png"}) {
        SCOPED_TRACE(path);
        const auto response = get(path);
        EXPECT_EQ(response.statusCode(), 404);
        EXPECT_EQ(response.content().length, -1);
        EXPECT_FALSE(response.content().writer);
    }
}

}  // namespace
}  // namespace klarion
