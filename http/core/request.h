// The request a route handler receives.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "http/core/bytes.h"

namespace klarion {

// Header names are lower-cased by the parser; values are trimmed.
using HttpHeaders = std::map<std::string, std::string>;
// Route parameters, keyed by the route's variable token with its ":" (":id").
using RouteParams = std::map<std::string, std::string>;
// Ordered (name, value) pairs: query items and url-encoded form fields.
using NameValueList = std::vector<std::pair<std::string, std::string>>;

class HttpRequest {
public:
    // The target's path as the client sent it, without the query (escapes kept).
    std::string path;
    // Query items in request order, as sent (no decoding); "flag" gives ("flag", "").
    NameValueList queryParams;
    // The request line's first word, as sent.
    std::string method;
    // Lower-cased names, trimmed values; a repeated name keeps its last value.
    HttpHeaders headers;
    // Exactly "content-length" bytes.
    Bytes body;
    // The peer's numeric address (IPv4-mapped peers as dotted IPv4); none when unknown.
    std::optional<std::string> address;
    // Filled by dispatch.
    RouteParams params;

    // The client address keyed on by rate limits and lockouts: `address`, or
    // "0.0.0.0" when the connection has none.
    std::string clientAddress() const { return address.value_or("0.0.0.0"); }

    // The body as a text (bytes unchanged).
    std::string bodyText() const { return std::string(body.begin(), body.end()); }

    // First value of a query item, none when absent.
    std::optional<std::string> queryParam(std::string_view name) const;

    // True when header `name` (lower case) holds `token` (lower case) in its
    // comma-separated list, compared trimmed and lower-cased.
    bool hasTokenForHeader(const std::string& name, std::string_view token) const;

    // Fields of an "application/x-www-form-urlencoded" body in order; "+" and
    // escapes decoded; a name or value whose bytes are not UTF-8 is read as
    // Latin-1 (a page without a charset posts "é" as %E9); a malformed item
    // stays as a pair of empty strings. Empty for any other content type, or
    // more than httplimits::maxFormItems fields.
    NameValueList parseUrlencodedForm() const;

    // One part of a multipart body. Its content is not copied: `body` views
    // the bytes of the body it was cut from, and is valid while that body is
    // neither changed nor destroyed.
    struct MultiPart {
        HttpHeaders headers;  // lower-cased names, trimmed values
        ByteSpan body;

        // Parameter `parameter` of header `headerName`, none when absent. The
        // header is read as "type; key=value; key="quoted value"": ";" and "="
        // inside double quotes, and \" there, belong to the value, whose quotes
        // and backslashes are kept.
        std::optional<std::string> valueFor(std::string_view headerName, std::string_view parameter) const;
        // "name" and "filename" of "content-disposition": a quoted value's
        // content with \" and \\ undone (another backslash stays, as browsers
        // send "c:\d.txt"), else the value without one pair of quotes.
        std::optional<std::string> name() const;
        std::optional<std::string> fileName() const;
    };

    // Parts of a "multipart/form-data" body, in order, up to the closing
    // delimiter; empty when the type or the boundary (quoted or not) is
    // missing, the body does not start with the delimiter, or it holds more
    // than httplimits::maxFormItems parts and part header lines, a part header
    // line longer than httplimits::maxHeaderLineBytes or a part header block
    // larger than httplimits::maxHeaderBytes.
    // The parts view this request's body (not callable on a temporary).
    std::vector<MultiPart> parseMultiPartFormData() const&;
    std::vector<MultiPart> parseMultiPartFormData() const&& = delete;

    // The splitting step alone: parts of `body` cut at `delimiter` ("--" + boundary),
    // each viewing `body`.
    static std::vector<MultiPart> parseMultiPartBody(ByteSpan body, std::string_view delimiter);
};

}  // namespace klarion
