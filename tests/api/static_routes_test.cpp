// The dashboard page and the resource routes.
#include <gtest/gtest.h>

#include <fstream>

#include "http/core/response.h"
#include "platform/random.h"
#include "web/dashboard/static_routes.h"

namespace klarion {
namespace {

std::string bodyOf(const HttpResponse& response) {
    MemoryBodyWriter writer;
    auto content = response.content();
    if (content.writer) content.writer(writer);
    return writer.text();
}

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
            if (routePath == path) {
                HttpRequest request;
                request.method = "GET";
                request.path = path;
                return handler(request);
            }
        }
        ADD_FAILURE() << "no route " << path;
        return HttpResponse::internalServerError();
    }
};

TEST_F(ResourceRoutes, ServeEachFileWithItsType) {
    const std::string png("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16);
    write("index.html", "<!DOCTYPE html><title>Élève</title>");
    write("style.css", "body{color:red}");
    write("app.js", "console.log('ok');");
    write("klarion_petit.png", png);
    write("context_help.png", png + "help");
    const struct {
        const char* path;
        std::string bytes;
        const char* type;
    } cases[] = {{"/", "<!DOCTYPE html><title>Élève</title>", "text/html"},
                 {"/style.css", "body{color:red}", "text/css"},
                 {"/app.js", "console.log('ok');", "application/javascript"},
                 {"/klarion_petit.png", png, "image/png"},
                 {"/context_help.png", png + "help", "image/png"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        const auto response = get(c.path);
        EXPECT_EQ(response.statusCode(), 200);
        EXPECT_EQ(response.headers().at("Content-Type"), c.type);
        EXPECT_EQ(response.content().length, static_cast<int64_t>(c.bytes.size()));
        EXPECT_EQ(bodyOf(response), c.bytes);
    }
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
    EXPECT_EQ(get("/").statusCode(), 200);
}

TEST_F(ResourceRoutes, FileReplacedOnDiskIsServedAtTheNextRequest) {
    write("app.js", "one");
    EXPECT_EQ(bodyOf(get("/app.js")), "one");
    write("app.js", "two");
    EXPECT_EQ(bodyOf(get("/app.js")), "two");
}

TEST_F(ResourceRoutes, RoutesComeInRegistrationOrder) {
    std::vector<std::string> paths;
    for (auto& route : dashboard::staticRoutes(resources)) paths.push_back(route.first);
    EXPECT_EQ(paths, (std::vector<std::string>{"/teacher", "/", "/style.css", "/app.js", "/klarion_petit.png",
                                               "/context_help.png"}));
}

TEST(TeacherPage, IsTheEmbeddedDocument) {
    const auto page = dashboard::teacherPage();
    EXPECT_EQ(page.substr(0, 15), "<!DOCTYPE html>");
    EXPECT_NE(page.find("<title>Klarion - Tableau de bord</title>"), std::string_view::npos);
    EXPECT_NE(page.find("charset=\"UTF-8\""), std::string_view::npos);
    HttpRequest request;
    const auto response = dashboard::handleTeacherPage(request);
    EXPECT_EQ(response.statusCode(), 200);
    EXPECT_EQ(response.headers().at("Content-Type"), "text/html");
    EXPECT_EQ(bodyOf(response), page);
}

TEST(ResourceFolderLocation, IsBesideTheProgram) {
    const auto folder = dashboard::ResourceFolder::besideProgram();
    EXPECT_TRUE(folder.is_absolute());
    EXPECT_EQ(folder.filename(), "resources");
}

}  // namespace
}  // namespace klarion
