#include "http/core/response.h"

#include <cerrno>
#include <memory>

#include "http/core/file.h"

namespace klarion {

SerializationError::SerializationError(Kind kind)
    : std::runtime_error(kind == Kind::invalidObject ? "invalidObject" : "invalidValue"), kind_(kind) {}

// ---- bodies ----

namespace {

const char* const kSerialisationError = "Serialisation error: ";

HttpContent textContent(std::shared_ptr<const std::string> shared) {
    HttpContent content;
    content.length = static_cast<std::int64_t>(shared->size());
    content.writer = [shared](HttpResponseBodyWriter& writer) { writer.write(std::string_view(*shared)); };
    return content;
}

}  // namespace

HttpResponseBody HttpResponseBody::serialisedJson(std::string text) { return {Kind::json, std::move(text)}; }

HttpResponseBody HttpResponseBody::failedJson(std::string reason) {
    HttpResponseBody body(Kind::json, kSerialisationError + reason);
    body.failed_ = true;
    return body;
}

HttpResponseBody HttpResponseBody::html(std::string text) { return {Kind::html, std::move(text)}; }

HttpResponseBody HttpResponseBody::htmlBody(std::string text) {
    static constexpr std::string_view opening = "<html><meta charset=\"UTF-8\"><body>", closing = "</body></html>";
    std::string page;
    page.reserve(opening.size() + text.size() + closing.size());
    page += opening;
    page += text;
    page += closing;
    return {Kind::htmlBody, std::move(page)};
}

HttpResponseBody HttpResponseBody::text(std::string text) { return {Kind::text, std::move(text)}; }

HttpResponseBody HttpResponseBody::data(Bytes bytes, std::optional<std::string> contentType) {
    HttpResponseBody body;
    body.kind_ = Kind::data;
    body.bytes_ = std::make_shared<const Bytes>(std::move(bytes));
    body.contentType_ = std::move(contentType);
    return body;
}

HttpResponseBody HttpResponseBody::custom(std::function<std::string()> produce) {
    HttpResponseBody body;
    body.kind_ = Kind::custom;
    body.produce_ = std::move(produce);
    return body;
}

std::optional<std::string> HttpResponseBody::contentType() const {
    switch (kind_) {
        case Kind::json: return std::string("application/json");
        case Kind::html: return std::string("text/html");
        case Kind::data: return contentType_;
        default: return std::nullopt;
    }
}

HttpContent HttpResponseBody::content() const {
    switch (kind_) {
        case Kind::json:
        case Kind::html:
        case Kind::htmlBody:
        case Kind::text: return textContent(text_ ? text_ : std::make_shared<const std::string>());
        case Kind::data: {
            auto shared = bytes_ ? bytes_ : std::make_shared<const Bytes>();
            HttpContent content;
            content.length = static_cast<std::int64_t>(shared->size());
            content.writer = [shared](HttpResponseBodyWriter& writer) { writer.write(*shared); };
            return content;
        }
        case Kind::custom: {
            std::string text;
            try {
                text = produce_ ? produce_() : std::string();
            } catch (const std::exception& e) {
                text = kSerialisationError + std::string(e.what());
            } catch (...) {
                text = kSerialisationError + std::string("unknown error");
            }
            return textContent(std::make_shared<const std::string>(std::move(text)));
        }
    }
    return {};
}

// ---- responses ----

HttpResponse HttpResponse::switchProtocols(HttpHeaders headers, SocketSession session) {
    HttpResponse r(Kind::switchProtocols);
    r.headers_ = std::move(headers);
    r.session_ = std::move(session);
    return r;
}

HttpResponse HttpResponse::ok(HttpResponseBody body) { return {Kind::ok, std::optional(std::move(body))}; }

HttpResponse HttpResponse::movedPermanently(std::string location) {
    return {Kind::movedPermanently, std::move(location)};
}

HttpResponse HttpResponse::movedTemporarily(std::string location) {
    return {Kind::movedTemporarily, std::move(location)};
}

HttpResponse HttpResponse::badRequest(std::optional<HttpResponseBody> body) {
    return {Kind::badRequest, std::move(body)};
}

HttpResponse HttpResponse::raw(std::int64_t statusCode, std::string reasonPhrase, std::optional<HttpHeaders> headers,
                               HttpBodyWriterFn writer) {
    HttpResponse r(Kind::raw);
    r.rawCode_ = statusCode;
    r.text_ = std::move(reasonPhrase);
    r.headers_ = std::move(headers);
    r.writer_ = std::move(writer);
    return r;
}

HttpResponse HttpResponse::created() { return HttpResponse(Kind::created); }
HttpResponse HttpResponse::accepted() { return HttpResponse(Kind::accepted); }
HttpResponse HttpResponse::unauthorized() { return HttpResponse(Kind::unauthorized); }
HttpResponse HttpResponse::forbidden() { return HttpResponse(Kind::forbidden); }
HttpResponse HttpResponse::notFound() { return HttpResponse(Kind::notFound); }
HttpResponse HttpResponse::notAcceptable() { return HttpResponse(Kind::notAcceptable); }
HttpResponse HttpResponse::tooManyRequests() { return HttpResponse(Kind::tooManyRequests); }
HttpResponse HttpResponse::internalServerError() { return HttpResponse(Kind::internalServerError); }

namespace {

struct StatusLine {
    std::int64_t code;
    const char* reason;
};

// The status line of every kind but raw, which carries its own.
StatusLine fixedStatus(HttpResponse::Kind kind) {
    using Kind = HttpResponse::Kind;
    switch (kind) {
        case Kind::switchProtocols: return {101, "Switching Protocols"};
        case Kind::ok: return {200, "OK"};
        case Kind::created: return {201, "Created"};
        case Kind::accepted: return {202, "Accepted"};
        case Kind::movedPermanently: return {301, "Moved Permanently"};
        case Kind::movedTemporarily: return {307, "Moved Temporarily"};
        case Kind::badRequest: return {400, "Bad Request"};
        case Kind::unauthorized: return {401, "Unauthorized"};
        case Kind::forbidden: return {403, "Forbidden"};
        case Kind::notFound: return {404, "Not Found"};
        case Kind::notAcceptable: return {406, "Not Acceptable"};
        case Kind::tooManyRequests: return {429, "Too Many Requests"};
        case Kind::raw:
        case Kind::internalServerError: break;
    }
    return {500, "Internal Server Error"};
}

}  // namespace

std::int64_t HttpResponse::statusCode() const { return kind_ == Kind::raw ? rawCode_ : fixedStatus(kind_).code; }

std::string HttpResponse::reasonPhrase() const { return kind_ == Kind::raw ? text_ : fixedStatus(kind_).reason; }

std::string HttpResponse::versionText() {
#ifdef KLARION_VERSION_TEXT
    static const std::string text = std::string(KLARION_VERSION_TEXT).empty() ? "Unspecified" : KLARION_VERSION_TEXT;
#else
    static const std::string text = "Unspecified";
#endif
    return text;
}

HttpHeaders HttpResponse::headers() const {
    HttpHeaders headers;
    headers["Server"] = "Klarion " + versionText();
    switch (kind_) {
        case Kind::switchProtocols:
        case Kind::raw:
            if (headers_) {
                for (const auto& [name, value] : *headers_) headers[name] = value;
            }
            break;
        case Kind::ok:
            if (body_) {
                if (auto type = body_->contentType()) headers["Content-Type"] = *type;
            }
            break;
        case Kind::movedPermanently:
        case Kind::movedTemporarily: headers["Location"] = text_; break;
        default: break;
    }
    return headers;
}

HttpContent HttpResponse::content() const {
    switch (kind_) {
        case Kind::ok:
        case Kind::badRequest: return body_ ? body_->content() : HttpContent{};
        case Kind::raw: {
            HttpContent content;
            content.writer = writer_;
            return content;
        }
        default: return {};
    }
}

// ---- in-memory writing ----

void MemoryBodyWriter::writeFile(File& file) {
    if (!file.seek(0)) throw FileError(errno);
    std::uint8_t chunk[16 * 1024];
    for (;;) {
        std::size_t n = file.read(chunk);
        if (n == 0) break;
        bytes.insert(bytes.end(), chunk, chunk + n);
    }
}

void MemoryBodyWriter::writeBytes(ByteSpan data) { bytes.insert(bytes.end(), data.begin(), data.end()); }

namespace {

// A header name, value or reason phrase never carries a line break: one that
// came from outside input could otherwise add headers or a second response.
void appendHeaderSafe(std::string& out, std::string_view text) {
    for (char c : text) out.push_back(c == '\r' || c == '\n' ? ' ' : c);
}

}  // namespace

HttpResponseHead buildResponseHead(const HttpResponse& response, bool keepAliveRequested) {
    HttpResponseHead head;
    head.content = response.content();
    std::string& text = head.text;
    text.reserve(160);
    text += "HTTP/1.1 ";
    text += std::to_string(response.statusCode());
    text += ' ';
    appendHeaderSafe(text, response.reasonPhrase());
    text += "\r\n";
    if (head.content.length >= 0) {
        text += "Content-Length: ";
        text += std::to_string(head.content.length);
        text += "\r\n";
    }
    if (keepAliveRequested && head.content.length != -1) text += "Connection: keep-alive\r\n";
    for (const auto& [name, value] : response.headers()) {
        appendHeaderSafe(text, name);
        text += ": ";
        appendHeaderSafe(text, value);
        text += "\r\n";
    }
    text += "\r\n";
    head.keepAlive = keepAliveRequested && head.content.length != -1;
    return head;
}

std::string renderResponse(const HttpResponse& response, bool keepAliveRequested) {
    HttpResponseHead head = buildResponseHead(response, keepAliveRequested);
    MemoryBodyWriter writer;
    if (head.content.writer) head.content.writer(writer);
    return head.text + writer.text();
}

}  // namespace klarion
