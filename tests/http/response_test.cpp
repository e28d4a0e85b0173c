#include <gtest/gtest.h>

#include <cstdio>

#include "http/core/file.h"
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

const std::string server = "Server: Klarion 1.4\r\n\r\n";

}  // namespace

TEST(HttpResponse, Bytes) {
    const std::pair<HttpResponse, std::string> cases[] = {
        {HttpResponse::ok(HttpResponseBody::json(FakeDocument{true, "{\"a\":\"b\"}"})),
         "200 OK\r\nContent-Length: 9\r\nContent-Type: application/json\r\n" + server + "{\"a\":\"b\"}"},
        {HttpResponse::ok(HttpResponseBody::json(FakeDocument{false, "\"bare\""})),
         "200 OK\r\nContent-Length: 34\r\nContent-Type: application/json\r\n" + server +
             "Serialisation error: invalidObject"},
        {HttpResponse::ok(HttpResponseBody::text("é")), "200 OK\r\nContent-Length: 2\r\n" + server + "é"},
        {HttpResponse::ok(HttpResponseBody::htmlBody("Hi")),
         "200 OK\r\nContent-Length: 50\r\n" + server + "<html><meta charset=\"UTF-8\"><body>Hi</body></html>"},
        {HttpResponse::ok(HttpResponseBody::html("<p>")),
         "200 OK\r\nContent-Length: 3\r\nContent-Type: text/html\r\n" + server + "<p>"},
        {HttpResponse::ok(HttpResponseBody::data(Bytes{1, 2}, "image/png")),
         "200 OK\r\nContent-Length: 2\r\nContent-Type: image/png\r\n" + server + "\x01\x02"},
        {HttpResponse::ok(HttpResponseBody::data(Bytes{})), "200 OK\r\nContent-Length: 0\r\n" + server},
        {HttpResponse::ok(HttpResponseBody::custom([] { return std::string("c"); })),
         "200 OK\r\nContent-Length: 1\r\n" + server + "c"},
        {HttpResponse::ok(HttpResponseBody::custom([]() -> std::string { throw std::runtime_error("boom"); })),
         "200 OK\r\nContent-Length: 25\r\n" + server + "Serialisation error: boom"},
        {HttpResponse::movedPermanently("/y"), "301 Moved Permanently\r\nLocation: /y\r\n" + server},
        {HttpResponse::movedTemporarily("/x"), "307 Moved Temporarily\r\nLocation: /x\r\n" + server},
        {HttpResponse::movedTemporarily("/x\r\nSet-Cookie: a=b"),
         "307 Moved Temporarily\r\nLocation: /x  Set-Cookie: a=b\r\n" + server},
        {HttpResponse::badRequest(HttpResponseBody::json(FakeDocument{true, "[]"})),
         "400 Bad Request\r\nContent-Length: 2\r\n" + server + "[]"},
        {HttpResponse::raw(200, "OK", HttpHeaders{{"Content-Type", "text/event-stream"}},
                           [](HttpResponseBodyWriter& w) { w.write("data: 1\n\n"), w.write(Bytes{'x'}); }),
         "200 OK\r\nContent-Type: text/event-stream\r\n" + server + "data: 1\n\nx"},
        {HttpResponse::raw(418, "Teapot", HttpHeaders{{"Server", "Other"}}), "418 Teapot\r\nServer: Other\r\n\r\n"},
        {HttpResponse::switchProtocols({{"Upgrade", "websocket"}}, nullptr),
         "101 Switching Protocols\r\nServer: Klarion 1.4\r\nUpgrade: websocket\r\n\r\n"},
        {HttpResponse::badRequest(), "400 Bad Request\r\n" + server},
        {HttpResponse::created(), "201 Created\r\n" + server},
        {HttpResponse::accepted(), "202 Accepted\r\n" + server},
        {HttpResponse::unauthorized(), "401 Unauthorized\r\n" + server},
        {HttpResponse::forbidden(), "403 Forbidden\r\n" + server},
        {HttpResponse::notFound(), "404 Not Found\r\n" + server},
        {HttpResponse::notAcceptable(), "406 Not Acceptable\r\n" + server},
        {HttpResponse::tooManyRequests(), "429 Too Many Requests\r\n" + server},
        {HttpResponse::internalServerError(), "500 Internal Server Error\r\n" + server},
    };
    for (const auto& [response, bytes] : cases) EXPECT_EQ(renderResponse(response), "HTTP/1.1 " + bytes);
}

TEST(HttpResponseBody, JsonDocuments) {
    auto body = [](const HttpResponseBody& b) {
        MemoryBodyWriter w;
        auto c = b.content();
        c.writer(w);
        EXPECT_EQ(static_cast<std::int64_t>(w.bytes.size()), c.length);
        return w.text();
    };
    EXPECT_EQ(body(HttpResponseBody::json(FakeDocument{})), "{\"k\":\"v\"}");
    EXPECT_EQ(body(HttpResponseBody::json(FakeDocument{false})), "Serialisation error: invalidObject");
    EXPECT_EQ(body(HttpResponseBody::json(FakeDocument{true, "", true})), "Serialisation error: bad text");
    EXPECT_EQ(HttpResponseBody::json(FakeDocument{}).contentType(), "application/json");
}

TEST(HttpResponseBodyWriter, FilesAreWrittenWholeAndADroppedWriterReleasesItsGuard) {
    char path[] = "/tmp/klarion-body-XXXXXX";
    int fd = ::mkstemp(path);
    ASSERT_EQ(::write(fd, "file body", 9), 9);
    ::close(fd);
    auto file = openForReading(path);
    std::vector<std::uint8_t> skip(4);
    file->read(skip);  // the writer starts from the first byte whatever the position
    auto response = HttpResponse::raw(200, "OK", std::nullopt, [file](HttpResponseBodyWriter& w) { w.write(*file); });
    EXPECT_EQ(renderResponse(response), "HTTP/1.1 200 OK\r\n" + server + "file body");
    std::remove(path);

    // The contract for writer owners: a guard captured by shared_ptr is released
    // when the last copy of the writer goes, whether or not it ever ran.
    bool released = false;
    {
        auto guard = std::shared_ptr<int>(new int(0), [&](int* p) {
            delete p;
            released = true;
        });
        auto unused = HttpResponse::raw(200, "OK", std::nullopt, [guard](HttpResponseBodyWriter&) {});
        guard.reset();
        auto copy = unused.content();
        EXPECT_FALSE(released);
    }
    EXPECT_TRUE(released);
}
