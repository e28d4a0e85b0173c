#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>

#include "http/core/file_utils.h"
#include "http/core/response.h"

using namespace klarion;

namespace {

// A minimal JSON document type of the shape other layers use.
struct FakeDocument {
    bool object = true;
    std::string text = "{\"k\":\"v\"}";
    bool throws = false;
    bool is_object() const { return object; }
    bool is_array() const { return false; }
    std::string dump() const {
        if (throws) throw std::runtime_error("bad text");
        return text;
    }
};

}  // namespace

TEST(HttpResponse, StatusLinesAndHeaders) {
    struct Case {
        HttpResponse response;
        std::string bytes;
    };
    const Case cases[] = {
        {HttpResponse::ok(HttpResponseBody::json(JsonValue::object({{"a", "b"}}))),
         "HTTP/1.1 200 OK\r\nContent-Length: 9\r\nContent-Type: application/json\r\nServer: Klarion 1.4\r\n\r\n{\"a\":\"b\"}"},
        {HttpResponse::ok(HttpResponseBody::json(JsonValue("bare"))),
         "HTTP/1.1 200 OK\r\nContent-Length: 34\r\nContent-Type: application/json\r\nServer: Klarion 1.4\r\n\r\n"
         "Serialisation error: invalidObject"},
        {HttpResponse::ok(HttpResponseBody::text("é")),
         "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nServer: Klarion 1.4\r\n\r\né"},
        {HttpResponse::ok(HttpResponseBody::htmlBody("Hi")),
         "HTTP/1.1 200 OK\r\nContent-Length: 50\r\nServer: Klarion 1.4\r\n\r\n"
         "<html><meta charset=\"UTF-8\"><body>Hi</body></html>"},
        {HttpResponse::ok(HttpResponseBody::html("<p>")),
         "HTTP/1.1 200 OK\r\nContent-Length: 3\r\nContent-Type: text/html\r\nServer: Klarion 1.4\r\n\r\n<p>"},
        {HttpResponse::ok(HttpResponseBody::data(Bytes{1, 2}, "image/png")),
         "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nContent-Type: image/png\r\nServer: Klarion 1.4\r\n\r\n\x01\x02"},
        {HttpResponse::ok(HttpResponseBody::data(Bytes{})),
         "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nServer: Klarion 1.4\r\n\r\n"},
        {HttpResponse::ok(HttpResponseBody::custom([] { return std::string("c"); })),
         "HTTP/1.1 200 OK\r\nContent-Length: 1\r\nServer: Klarion 1.4\r\n\r\nc"},
        {HttpResponse::ok(HttpResponseBody::custom([]() -> std::string { throw std::runtime_error("boom"); })),
         "HTTP/1.1 200 OK\r\nContent-Length: 25\r\nServer: Klarion 1.4\r\n\r\nSerialisation error: boom"},
        {HttpResponse::movedPermanently("/y"), "HTTP/1.1 301 Moved Permanently\r\nLocation: /y\r\nServer: Klarion 1.4\r\n\r\n"},
        {HttpResponse::movedTemporarily("/x"), "HTTP/1.1 307 Moved Temporarily\r\nLocation: /x\r\nServer: Klarion 1.4\r\n\r\n"},
        {HttpResponse::badRequest(), "HTTP/1.1 400 Bad Request\r\nServer: Klarion 1.4\r\n\r\n"},
        {HttpResponse::badRequest(HttpResponseBody::json(JsonValue::array())),
         "HTTP/1.1 400 Bad Request\r\nContent-Length: 2\r\nServer: Klarion 1.4\r\n\r\n[]"},
        {HttpResponse::created(), "HTTP/1.1 201 Created\r\nServer: Klarion 1.4\r\n\r\n"},
        {HttpResponse::accepted(), "HTTP/1.1 202 Accepted\r\nServer: Klarion 1.4\r\n\r\n"},
        {HttpResponse::unauthorized(), "HTTP/1.1 401 Unauthorized\r\nServer: Klarion 1.4\r\n\r\n"},
        {HttpResponse::forbidden(), "HTTP/1.1 403 Forbidden\r\nServer: Klarion 1.4\r\n\r\n"},
        {HttpResponse::notFound(), "HTTP/1.1 404 Not Found\r\nServer: Klarion 1.4\r\n\r\n"},
        {HttpResponse::notAcceptable(), "HTTP/1.1 406 Not Acceptable\r\nServer: Klarion 1.4\r\n\r\n"},
        {HttpResponse::tooManyRequests(), "HTTP/1.1 429 Too Many Requests\r\nServer: Klarion 1.4\r\n\r\n"},
        {HttpResponse::internalServerError(), "HTTP/1.1 500 Internal Server Error\r\nServer: Klarion 1.4\r\n\r\n"},
        {HttpResponse::raw(200, "OK", HttpHeaders{{"Content-Type", "text/event-stream"}},
                           [](HttpResponseBodyWriter& w) {
                               w.write("data: 1\n\n");
                               w.write(Bytes{'x'});
                           }),
         "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nServer: Klarion 1.4\r\n\r\ndata: 1\n\nx"},
        {HttpResponse::raw(418, "Teapot", HttpHeaders{{"Server", "Other"}}),
         "HTTP/1.1 418 Teapot\r\nServer: Other\r\n\r\n"},
        {HttpResponse::switchProtocols({{"Upgrade", "websocket"}}, nullptr),
         "HTTP/1.1 101 Switching Protocols\r\nServer: Klarion 1.4\r\nUpgrade: websocket\r\n\r\n"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(renderResponse(c.response), c.bytes) << c.bytes;
    }
}

TEST(HttpResponse, KeepAliveOnlyWithKnownLength) {
    auto head = buildResponseHead(HttpResponse::ok(HttpResponseBody::text("a")), true);
    EXPECT_TRUE(head.keepAlive);
    EXPECT_NE(head.text.find("Connection: keep-alive\r\n"), std::string::npos);
    for (const auto& response : {HttpResponse::notFound(), HttpResponse::raw(200, "OK"), HttpResponse::badRequest()}) {
        auto h = buildResponseHead(response, true);
        EXPECT_FALSE(h.keepAlive);
        EXPECT_EQ(h.text.find("Connection"), std::string::npos);
        EXPECT_EQ(h.text.find("Content-Length"), std::string::npos);
    }
    EXPECT_FALSE(buildResponseHead(HttpResponse::ok(HttpResponseBody::text("a")), false).keepAlive);
}

TEST(HttpResponse, HeaderInjectionIsNeutralised) {
    std::string bytes = renderResponse(HttpResponse::movedTemporarily("/x\r\nSet-Cookie: a=b"));
    EXPECT_EQ(bytes.find("\r\nSet-Cookie"), std::string::npos);
    EXPECT_NE(bytes.find("Location: /x  Set-Cookie: a=b\r\n"), std::string::npos);
}

TEST(HttpResponseBody, JsonDocuments) {
    auto body = [](const HttpResponseBody& b) {
        MemoryBodyWriter w;
        auto c = b.content();
        c.writer(w);
        EXPECT_EQ(static_cast<std::int64_t>(w.bytes.size()), c.length);
        return w.text();
    };
    // Non-finite numbers make the document invalid.
    EXPECT_EQ(body(HttpResponseBody::json(JsonValue::array({JsonValue(INFINITY)}))), "Serialisation error: invalidObject");
    EXPECT_EQ(body(HttpResponseBody::json(JsonValue::object({{"s", "a\"\\/\n\x01é"},
                                                             {"n", 1.5},
                                                             {"i", -3},
                                                             {"b", true},
                                                             {"z", nullptr},
                                                             {"l", JsonValue::array({1, 2.0})}}))),
              "{\"s\":\"a\\\"\\\\/\\n\\u0001é\",\"n\":1.5,\"i\":-3,\"b\":true,\"z\":null,\"l\":[1,2]}");
    EXPECT_EQ(body(HttpResponseBody::json(FakeDocument{})), "{\"k\":\"v\"}");
    EXPECT_EQ(body(HttpResponseBody::json(FakeDocument{false})), "Serialisation error: invalidObject");
    EXPECT_EQ(body(HttpResponseBody::json(FakeDocument{true, "", true})), "Serialisation error: bad text");
    EXPECT_EQ(HttpResponseBody::json(FakeDocument{}).contentType(), "application/json");
}

TEST(HttpResponseBodyWriter, FilesAreWrittenWhole) {
    char path[] = "/tmp/klarion-body-XXXXXX";
    int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    ::write(fd, "file body", 9);
    ::close(fd);
    auto file = openForReading(path);
    std::vector<std::uint8_t> skip(4);
    file->read(skip);  // the writer starts from the first byte whatever the position
    auto response = HttpResponse::raw(200, "OK", std::nullopt, [file](HttpResponseBodyWriter& w) { w.write(*file); });
    EXPECT_EQ(renderResponse(response), "HTTP/1.1 200 OK\r\nServer: Klarion 1.4\r\n\r\nfile body");
    file->close();
    std::remove(path);
}

TEST(HttpResponseBodyWriter, DroppedWriterReleasesItsGuard) {
    // The contract for writer owners: a guard captured by shared_ptr is released
    // when the last copy of the writer goes, whether or not it ever ran.
    auto released = std::make_shared<int>(0);
    struct Guard {
        explicit Guard(std::shared_ptr<int> c) : counter(std::move(c)) {}
        ~Guard() { ++*counter; }
        std::shared_ptr<int> counter;
    };
    {
        auto guard = std::make_shared<Guard>(released);
        auto response = HttpResponse::raw(200, "OK", std::nullopt, [guard](HttpResponseBodyWriter&) {});
        guard.reset();
        auto copy = response.content();
        EXPECT_EQ(*released, 0);
    }
    EXPECT_EQ(*released, 1);
}
