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
    HttpRequest readHttpRequest(ByteSource& source) const;

    // The header block up to its empty line.
    HttpHeaders readHeaders(ByteSource& source) const;

    // True only for a "connection" header equal to "keep-alive" once trimmed.
    static bool wantsKeepAlive(const HttpHeaders& headers);

    // The request target split as the parser does: path (as sent) and query items.
    static void parseTarget(const std::string& target, std::string& path, NameValueList& query);
};

}  // namespace klarion
