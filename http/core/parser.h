// Reads one HTTP/1.1 request (request line, headers, body) from a connection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "http/core/request.h"
#include "http/core/socket.h"

namespace klarion {

class HttpParserError : public std::runtime_error {
public:
    enum class Kind {
        invalidStatusLine,  // fewer than three space-separated parts; carries the line
        negativeContentLength,
        requestLineTooLong,  // answered 414
        headersTooLarge,     // a header line or the header block over its limit (answered 431)
        payloadTooLarge,     // an announced body over the limit (answered 413)
        badFraming,          // two different lengths, a length with a transfer coding, a broken chunk (400)
        unsupportedTransferCoding,  // a transfer coding other than chunked (answered 501)
    };

    explicit HttpParserError(Kind kind, std::string line = {});
    Kind kind() const { return kind_; }
    const std::string& line() const { return line_; }
    bool operator==(const HttpParserError& other) const { return kind_ == other.kind_ && line_ == other.line_; }

private:
    Kind kind_;
    std::string line_;
};

class HttpParser {
public:
    // The limits are those of http/core/limits.h.
    // One request: method, path, queryParams, headers and body filled in.
    // Throws the source's read error (SocketError), or HttpParserError.
    // The same as readRequestHead then readBody.
    HttpRequest readHttpRequest(ByteSource& source) const;

    // The request line and the header block, the body left unread. How the
    // body is framed is checked here, so that a request refused for it (or for
    // an announced length over the limit) is refused before its body is read:
    // two "content-length" fields with different values, or one next to a
    // "transfer-encoding", are badFraming; a transfer coding other than
    // chunked is unsupportedTransferCoding ("chunked" not last: badFraming).
    HttpRequest readRequestHead(ByteSource& source) const;
    // The body the head announced: "content-length" bytes, or a chunked body
    // decoded (chunk extensions and trailer fields are read and dropped),
    // within the same limit; a malformed chunk is badFraming.
    void readBody(ByteSource& source, HttpRequest& request) const;

    // The header block up to its empty line. A field name that comes again
    // replaces the earlier value, except that different "content-length"
    // values are badFraming and "transfer-encoding" values are joined with ", ".
    HttpHeaders readHeaders(ByteSource& source) const;

    // The client sent "Expect: 100-continue" and announced a body: it waits
    // for "100 Continue" (or the final answer) before sending it.
    static bool wantsContinue(const HttpHeaders& headers);

    // True only for a "connection" header equal to "keep-alive" once trimmed.
    static bool wantsKeepAlive(const HttpHeaders& headers);

    // The request target split as the parser does: path (as sent) and query items.
    static void parseTarget(const std::string& target, std::string& path, NameValueList& query);
};

}  // namespace klarion
