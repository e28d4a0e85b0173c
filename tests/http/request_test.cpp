#include <gtest/gtest.h>

#include "http/core/request.h"

using namespace klarion;

namespace {

HttpRequest withBody(std::string contentType, std::string body) {
    HttpRequest r;
    if (!contentType.empty()) r.headers["content-type"] = contentType;
    r.body = utf8Bytes(body);
    return r;
}

}  // namespace

TEST(HttpRequest, ClientAddressAndQuery) {
    HttpRequest r;
    EXPECT_EQ(r.clientAddress(), "0.0.0.0");
    r.address = "192.168.1.20";
    EXPECT_EQ(r.clientAddress(), "192.168.1.20");
    r.queryParams = {{"a", "1"}, {"b", ""}, {"a", "2"}};
    EXPECT_EQ(r.queryParam("a"), "1");
    EXPECT_EQ(r.queryParam("b"), "");
    EXPECT_FALSE(r.queryParam("c").has_value());
}

TEST(HttpRequest, HeaderTokens) {
    HttpRequest r;
    r.headers["connection"] = "keep-alive, Upgrade";
    EXPECT_TRUE(r.hasTokenForHeader("connection", "upgrade"));
    EXPECT_TRUE(r.hasTokenForHeader("connection", "keep-alive"));
    EXPECT_FALSE(r.hasTokenForHeader("connection", "Upgrade"));  // callers pass lower case
    EXPECT_FALSE(r.hasTokenForHeader("upgrade", "websocket"));
}

TEST(HttpRequest, UrlencodedForm) {
    struct Case {
        const char* type;
        const char* body;
        NameValueList expected;
    };
    const Case cases[] = {
        {"application/x-www-form-urlencoded", "a=1&b=x+y%21", {{"a", "1"}, {"b", "x y!"}}},
        {"application/x-www-form-urlencoded; charset=UTF-8", "a=1&b=x+y%21", {{"a", "1"}, {"b", "x y!"}}},
        {"application/x-www-form-urlencoded", "a=%2B", {{"a", "+"}}},
        {"application/x-www-form-urlencoded", "a=b=c&d", {{"", ""}, {"", ""}}},
        {"application/x-www-form-urlencoded", "a=%zz&b=%C3%A9", {{"", ""}, {"b", "\xC3\xA9"}}},
        {"application/x-www-form-urlencoded", "a=%FF", {{"", ""}}},  // escapes must give UTF-8
        {"application/x-www-form-urlencoded", "", {{"", ""}}},
        {"Application/x-www-form-urlencoded", "a=1", {}},
        {"text/plain", "a=1", {}},
        {"", "a=1", {}},
        {"application/x-www-form-urlencoded", "a=\xFF", {}},  // body not UTF-8
    };
    for (const auto& c : cases) {
        EXPECT_EQ(withBody(c.type, c.body).parseUrlencodedForm(), c.expected) << c.type << " / " << c.body;
    }
}

TEST(HttpRequest, MultipartForm) {
    const std::string body =
        "--X\r\n"
        "Content-Disposition: form-data; name=\"f\"; filename=\"a.txt\"\r\n"
        "Content-Type: text/plain\r\n"
        "X: a:b\r\n"
        "\r\n"
        "hello\r\n"
        "--X\r\n"
        "Content-Disposition: form-data; name=g\r\n"
        "\r\n"
        "line1\r\nline2\r\n"
        "--X--\r\n";
    auto parts = withBody("multipart/form-data; boundary=X", body).parseMultiPartFormData();
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_EQ(std::string(parts[0].body.begin(), parts[0].body.end()), "hello");
    EXPECT_EQ(parts[0].name(), "f");
    EXPECT_EQ(parts[0].fileName(), "a.txt");
    EXPECT_EQ(parts[0].valueFor("content-disposition", "name"), "\"f\"");
    EXPECT_EQ(parts[0].headers.at("content-type"), "text/plain");
    EXPECT_EQ(parts[0].headers.count("x"), 0u);
    EXPECT_EQ(std::string(parts[1].body.begin(), parts[1].body.end()), "line1\r\nline2");
    EXPECT_EQ(parts[1].name(), "g");
    EXPECT_FALSE(parts[1].fileName().has_value());
}

TEST(HttpRequest, MultipartFormRefusals) {
    const std::string body = "--X\r\n\r\nhello\r\n--X--\r\n";
    EXPECT_EQ(withBody("multipart/form-data; boundary=X", body).parseMultiPartFormData().size(), 1u);
    EXPECT_TRUE(withBody("multipart/form-data; boundary=X", "preamble\r\n" + body).parseMultiPartFormData().empty());
    EXPECT_TRUE(withBody("multipart/form-data", body).parseMultiPartFormData().empty());
    EXPECT_TRUE(withBody("multipart/form-data; boundary=", body).parseMultiPartFormData().empty());
    EXPECT_TRUE(withBody("text/plain; boundary=X", body).parseMultiPartFormData().empty());
    // A quoted boundary is used with its quotes.
    EXPECT_TRUE(withBody("multipart/form-data; boundary=\"X\"", body).parseMultiPartFormData().empty());
    EXPECT_EQ(withBody("multipart/form-data; boundary=\"X\"", "--\"X\"\r\n\r\nhi\r\n--\"X\"--\r\n")
                  .parseMultiPartFormData()
                  .size(),
              1u);
    // A part cut off before its delimiter is dropped.
    EXPECT_TRUE(withBody("multipart/form-data; boundary=X", "--X\r\n\r\nunfinished").parseMultiPartFormData().empty());
}

TEST(HttpRequest, MultipartBinaryContent) {
    std::string body = "--B\r\nContent-Type: application/octet-stream\r\n\r\n";
    body += std::string("\x00\x01\xFF\r\n-", 6);
    body += "\r\n--B--\r\n";
    auto parts = HttpRequest::parseMultiPartBody(asBytes(body), "--B");
    ASSERT_EQ(parts.size(), 1u);
    EXPECT_EQ(parts[0].body, (Bytes{0x00, 0x01, 0xFF, '\r', '\n', '-'}));
}
