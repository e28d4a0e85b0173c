// The response a route handler returns: status cases, body kinds, body writers.
#pragma once

#include <concepts>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "http/core/bytes.h"
#include "http/core/request.h"

namespace klarion {

class File;
class Socket;

// The sink a body is written through. The server's writer sends on the client
// socket at once; every write may throw (SocketError::writeFailed for the socket).
class HttpResponseBodyWriter {
public:
    virtual ~HttpResponseBodyWriter() = default;

    // Sends an open file whole, from its first byte to its end.
    virtual void writeFile(File& file) = 0;
    // Sends the bytes, in order, completely.
    virtual void writeBytes(ByteSpan bytes) = 0;

    void write(File& file) { writeFile(file); }
    void write(ByteSpan bytes) { writeBytes(bytes); }
    void write(const Bytes& bytes) { writeBytes(bytes); }
    void write(std::string_view text) { writeBytes(asBytes(text)); }
};

// A body-writing operation. It runs on the connection's thread, right after the
// handler returned, and may block there as long as it needs (a streamed chat
// answer does); it may throw, which ends the response and closes the connection.
//
// Contract for whoever builds a writer: the core may DROP a writer without ever
// running it (the server is stopping, the head could not be written, the
// response is discarded...), and it copies and destroys the closure freely. So a
// resource handed to a writer (a concurrency slot, a stream count, an open File)
// must be released by an RAII guard that the closure captures by shared_ptr:
// the guard's destructor runs when the last copy of the closure is destroyed,
// whether the writer ran, threw, or never ran.
//     auto slot = std::make_shared<SlotGuard>(limiter, address);
//     return HttpResponse::raw(200, "OK", headers, [slot](HttpResponseBodyWriter& w) { ... });
using HttpBodyWriterFn = std::function<void(HttpResponseBodyWriter&)>;

// What a response or a body puts on the wire after its head: the length
// (-1 when not known in advance: no "Content-Length", the connection closes
// after the body) and the operation that writes the bytes (may be empty).
struct HttpContent {
    std::int64_t length = -1;
    HttpBodyWriterFn writer;
};

class SerializationError : public std::runtime_error {
public:
    enum class Kind { invalidObject, invalidValue };
    explicit SerializationError(Kind kind);
    Kind kind() const { return kind_; }

private:
    Kind kind_;
};

// A JSON document type from elsewhere (nlohmann::json has this shape).
template <class J>
concept JsonDocumentLike = requires(const J& j) {
    { j.dump() } -> std::convertible_to<std::string>;
    { j.is_object() } -> std::convertible_to<bool>;
    { j.is_array() } -> std::convertible_to<bool>;
};

class HttpResponseBody {
public:
    enum class Kind { json, html, htmlBody, text, data, custom };

    HttpResponseBody() = default;

    // JSON: the top level must be an object or an array (numbers finite), else
    // the body is the text "Serialisation error: invalidObject". Compact output.
    template <JsonDocumentLike J>
    static HttpResponseBody json(const J& document);
    // A complete HTML document ("Content-Type: text/html" in an ok response).
    static HttpResponseBody html(std::string text);
    // The text inside '<html><meta charset="UTF-8"><body>' ... '</body></html>'; no content type.
    static HttpResponseBody htmlBody(std::string text);
    // UTF-8 text, no content type.
    static HttpResponseBody text(std::string text);
    // Bytes unchanged; a content type, when given, becomes "Content-Type".
    static HttpResponseBody data(Bytes bytes, std::optional<std::string> contentType = std::nullopt);
    // A text produced when the response is sent; an exception becomes
    // "Serialisation error: " + its message.
    static HttpResponseBody custom(std::function<std::string()> produce);

    Kind kind() const { return kind_; }
    // The content type an ok response takes from this body, if any.
    std::optional<std::string> contentType() const;
    // Length and writer of the serialised body; never throws.
    HttpContent content() const;

private:
    static HttpResponseBody serialisedJson(std::string text);
    static HttpResponseBody failedJson(std::string reason);
    HttpResponseBody(Kind kind, std::string text)
        : kind_(kind), text_(std::make_shared<const std::string>(std::move(text))) {}

    Kind kind_ = Kind::text;
    // Shared by the body's copies and its writers, never copied: a body may
    // be many megabytes.
    std::shared_ptr<const std::string> text_;
    std::shared_ptr<const Bytes> bytes_;
    std::optional<std::string> contentType_;
    std::function<std::string()> produce_;
    bool failed_ = false;
};

class HttpResponse {
public:
    enum class Kind {
        switchProtocols,
        ok,
        movedPermanently,
        movedTemporarily,
        badRequest,
        raw,
        created,
        accepted,
        unauthorized,
        forbidden,
        notFound,
        notAcceptable,
        tooManyRequests,
        internalServerError,
    };

    // Takes over the client socket after a 101 answer, on the connection's thread.
    using SocketSession = std::function<void(std::shared_ptr<Socket>)>;

    static HttpResponse switchProtocols(HttpHeaders headers, SocketSession session);
    static HttpResponse ok(HttpResponseBody body);
    static HttpResponse movedPermanently(std::string location);  // 301
    static HttpResponse movedTemporarily(std::string location);  // 307
    static HttpResponse badRequest(std::optional<HttpResponseBody> body = std::nullopt);
    // Any status; headers added to "Server"; the writer (may be empty) produces
    // the body. No length: the connection closes after the writer returns.
    static HttpResponse raw(std::int64_t statusCode, std::string reasonPhrase,
                            std::optional<HttpHeaders> headers = std::nullopt, HttpBodyWriterFn writer = nullptr);
    static HttpResponse created();              // 201
    static HttpResponse accepted();             // 202
    static HttpResponse unauthorized();         // 401
    static HttpResponse forbidden();            // 403
    static HttpResponse notFound();             // 404
    static HttpResponse notAcceptable();        // 406
    static HttpResponse tooManyRequests();      // 429
    static HttpResponse internalServerError();  // 500

    Kind kind() const { return kind_; }
    std::int64_t statusCode() const;
    std::string reasonPhrase() const;
    // "Server" = "Klarion " + version, then the case's own headers.
    HttpHeaders headers() const;
    // Only ok, and badRequest with a body, have a length.
    HttpContent content() const;

    const std::optional<HttpResponseBody>& body() const { return body_; }
    const SocketSession& socketSession() const { return session_; }
    const std::string& location() const { return text_; }

    // The server's version text (after "Klarion " in "Server").
    static std::string versionText();

private:
    explicit HttpResponse(Kind kind) : kind_(kind) {}
    HttpResponse(Kind kind, std::string text) : kind_(kind), text_(std::move(text)) {}
    HttpResponse(Kind kind, std::optional<HttpResponseBody> body) : kind_(kind), body_(std::move(body)) {}

    Kind kind_;
    std::optional<HttpResponseBody> body_;
    std::string text_;  // location, or raw reason phrase
    std::int64_t rawCode_ = 0;
    std::optional<HttpHeaders> headers_;
    HttpBodyWriterFn writer_;
    SocketSession session_;
};

// A writer that keeps what is written in memory (files are read whole).
class MemoryBodyWriter : public HttpResponseBodyWriter {
public:
    void writeFile(File& file) override;
    void writeBytes(ByteSpan bytes) override;
    std::string text() const { return std::string(bytes.begin(), bytes.end()); }
    Bytes bytes;
};

// The head (status line, headers, blank line) the server writes for a response
// when the client asked for keep-alive or not; also tells whether the connection
// may stay open afterwards.
struct HttpResponseHead {
    std::string text;
    bool keepAlive = false;
    HttpContent content;
};
HttpResponseHead buildResponseHead(const HttpResponse& response, bool keepAliveRequested);

// Every byte the server would send for a response (head, then the body writer's
// output). The writer's exceptions propagate.
std::string renderResponse(const HttpResponse& response, bool keepAliveRequested = false);

// ---- template definition ----
template <JsonDocumentLike J>
HttpResponseBody HttpResponseBody::json(const J& document) {
    if (!document.is_object() && !document.is_array()) return failedJson("invalidObject");
    try {
        if constexpr (requires { document.dump(-1, ' ', false, J::error_handler_t::replace); }) {
            return serialisedJson(document.dump(-1, ' ', false, J::error_handler_t::replace));
        } else {
            return serialisedJson(document.dump());
        }
    } catch (const std::exception& e) {
        return failedJson(e.what());
    }
}

}  // namespace klarion
