#include <gtest/gtest.h>

#include "http/core/mime.h"

using namespace klarion;

TEST(Mime, TableHasEveryExtensionOnce) {
    EXPECT_EQ(mimeTypes().size(), 103u);
}

TEST(Mime, LookupByExtension) {
    const std::pair<const char*, const char*> cases[] = {
        {"html", "text/html"},
        {"HTML", "text/html"},
        {"Html", "text/html"},
        {"JPG", "image/jpeg"},
        {"svgz", "image/svg+xml"},
        {"js", "application/javascript"},
        {"json", "application/json"},
        {"pptx", "application/vnd.openxmlformats-officedocument.presentationml.presentation"},
        {"3gp", "video/3gpp"},
        {"exe", "application/octet-stream"},
        {"", "application/octet-stream"},
        {"tar.gz", "application/octet-stream"},
        {".html", "application/octet-stream"},  // no leading dot
        {" html", "application/octet-stream"},  // no trimming
        {"wasm", "application/octet-stream"},
        {"woff2", "application/octet-stream"},
        {"\xE2\x84\xAAML", "application/vnd.google-earth.kml+xml"},  // Kelvin sign lowers to k
    };
    for (const auto& [extension, type] : cases) {
        EXPECT_EQ(mimeTypeForExtension(std::string_view(extension)), type) << extension;
    }
    EXPECT_EQ(mimeTypeForExtension(std::nullopt), "application/octet-stream");
}

TEST(Mime, LookupByPath) {
    EXPECT_EQ(mimeTypeForPath("/srv/www/index.HTML"), "text/html");
    EXPECT_EQ(mimeTypeForPath("archive.tar.gz"), "application/octet-stream");
    EXPECT_EQ(mimeTypeForPath("/srv/www.d/README"), "application/octet-stream");
    EXPECT_EQ(mimeTypeForPath("style.css"), "text/css");
    EXPECT_EQ(pathExtension("/a.b/c"), "");
    EXPECT_EQ(pathExtension("a/b.tar.gz"), "gz");
}
