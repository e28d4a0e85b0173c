#include "http/core/request.h"

#include <algorithm>

#include "http/core/limits.h"
#include "http/core/router.h"
#include "http/core/socket.h"
#include "http/core/text_utils.h"

namespace klarion {

using namespace textutil;

std::optional<std::string> HttpRequest::queryParam(std::string_view name) const {
    for (const auto& [key, value] : queryParams) {
        if (key == name) return value;
    }
    return std::nullopt;
}

bool HttpRequest::hasTokenForHeader(const std::string& name, std::string_view token) const {
    auto it = headers.find(name);
    if (it == headers.end()) return false;
    for (const std::string& piece : split(it->second, ',')) {
        if (lowerLatin1(trimHorizontal(piece)) == token) return true;
    }
    return false;
}

namespace {

// The first ";" piece of "content-type", trimmed, must be `expected`.
bool contentTypeIs(const HttpHeaders& headers, std::string_view expected) {
    auto it = headers.find("content-type");
    if (it == headers.end()) return false;
    auto pieces = split(it->second, ';');
    return trimSpacesAndBreaks(pieces.front()) == expected;
}

// Bytes that are not UTF-8 read one for one as the characters of those code
// points (Latin-1), as a request's own header lines are: a page that declares
// no charset makes browsers send its fields and file names in their legacy
// encoding ("é" as E9). UTF-8 stays as it is.
std::string utf8OrLatin1(std::string text) {
    if (isWellFormedUtf8(text)) return text;
    std::string latin1;
    latin1.reserve(2 * text.size());
    for (char c : text) appendLatin1(latin1, static_cast<std::uint8_t>(c));
    return latin1;
}

// One url-encoded name or value: "+" is a space, escapes are decoded, and the
// bytes are read as UTF-8 or else as Latin-1. None for an invalid escape.
std::optional<std::string> formDecode(std::string_view text) {
    auto bytes = percentDecodeBytes(text, true);
    if (!bytes) return std::nullopt;
    return utf8OrLatin1(std::move(*bytes));
}

// Inside a quoted string a backslash takes the next character as it is when
// that is a double quote or a backslash (RFC 2045, as Go's multipart writer
// escapes names). Any other backslash is a character of its own: browsers send
// "c:\data.txt" unescaped.
bool isQuotedPair(std::string_view text, std::size_t at) {
    return text[at] == '\\' && at + 1 < text.size() && (text[at + 1] == '"' || text[at + 1] == '\\');
}

// The parameter `parameter` of a header value such as
// `form-data; name="f"; filename="a=b;c.txt"`: the value after the first "="
// of its ";" piece, trimmed, quotes and escapes kept. A ";" between double
// quotes does not end a piece, nor does an escaped quote end the quotes. When
// the parameter is given more than once, the first one counts, or the last
// one with `last`.
std::optional<std::string> headerParameter(std::string_view value, std::string_view parameter, bool last = false) {
    std::optional<std::string> found;
    for (std::size_t at = 0; at <= value.size();) {
        std::size_t end = at;
        for (bool quoted = false; end < value.size(); ++end) {
            if (quoted && isQuotedPair(value, end)) {
                ++end;
            } else if (value[end] == '"') {
                quoted = !quoted;
            } else if (value[end] == ';' && !quoted) {
                break;
            }
        }
        const std::string_view piece = value.substr(at, end - at);
        const std::size_t equals = piece.find('=');
        if (equals != std::string_view::npos && trimSpacesAndBreaks(piece.substr(0, equals)) == parameter) {
            found = trimSpacesAndBreaks(piece.substr(equals + 1));
            if (!last) return found;
        }
        at = end + 1;
    }
    return found;
}

// A parameter's value: the content of a whole quoted string, its escapes
// undone; anything else loses one pair of enclosing quotes and nothing more
// (so "a\", an unfinished quoted string that a browser sends for a name
// ending in a backslash, gives a\).
std::string parameterValue(std::string_view value) {
    if (value.size() >= 2 && value.front() == '"') {
        std::string out;
        for (std::size_t at = 1; at < value.size(); ++at) {
            if (isQuotedPair(value, at)) {
                out += value[++at];
            } else if (value[at] == '"') {
                if (at + 1 == value.size()) return out;
                break;
            } else {
                out += value[at];
            }
        }
    }
    return unquote(value);
}

}  // namespace

NameValueList HttpRequest::parseUrlencodedForm() const {
    NameValueList fields;
    if (!contentTypeIs(headers, "application/x-www-form-urlencoded")) return fields;
    // Read in place: a large form is not copied before it is split.
    const std::string_view text(reinterpret_cast<const char*>(body.data()), body.size());
    if (static_cast<std::size_t>(std::count(text.begin(), text.end(), '&')) >= httplimits::maxFormItems) return fields;
    for (std::size_t at = 0; at <= text.size();) {
        const std::size_t end = std::min(text.find('&', at), text.size());
        const std::string_view piece = text.substr(at, end - at);
        at = end + 1;
        // Exactly one "=" makes a field; anything else stays as two empty strings.
        const std::size_t equals = piece.find('=');
        if (equals != std::string_view::npos && piece.find('=', equals + 1) == std::string_view::npos) {
            auto name = formDecode(piece.substr(0, equals));
            auto value = formDecode(piece.substr(equals + 1));
            if (name && value) {
                fields.emplace_back(std::move(*name), std::move(*value));
                continue;
            }
        }
        fields.emplace_back(std::string(), std::string());
    }
    return fields;
}

std::optional<std::string> HttpRequest::MultiPart::valueFor(std::string_view headerName,
                                                            std::string_view parameter) const {
    auto it = headers.find(std::string(headerName));
    if (it == headers.end()) return std::nullopt;
    return headerParameter(it->second, parameter);
}

std::optional<std::string> HttpRequest::MultiPart::name() const {
    auto value = valueFor("content-disposition", "name");
    if (!value) return std::nullopt;
    return parameterValue(*value);
}

std::optional<std::string> HttpRequest::MultiPart::fileName() const {
    auto value = valueFor("content-disposition", "filename");
    if (!value) return std::nullopt;
    return parameterValue(*value);
}

std::vector<HttpRequest::MultiPart> HttpRequest::parseMultiPartFormData() const& {
    if (!contentTypeIs(headers, "multipart/form-data")) return {};
    // Read as the parameters of Content-Disposition are: a boundary may hold "="
    // ("----=_Part_0_1") and, quoted, ";". A quoted boundary (boundary="XyZ",
    // as .NET sends it) is its content: no body's delimiter line carries the
    // quotes. The last of several counts.
    const auto boundary = headerParameter(headers.at("content-type"), "boundary", true);
    if (!boundary) return {};
    const std::string value = parameterValue(*boundary);
    if (value.empty()) return {};
    return parseMultiPartBody(body, "--" + value);
}

namespace {

struct Cursor {
    ByteSpan bytes;
    std::size_t at = 0;

    bool atEnd() const { return at >= bytes.size(); }

    // Whether the bytes at the cursor begin with `text`.
    bool startsWith(std::string_view text) const {
        return bytes.size() - at >= text.size() && std::equal(text.begin(), text.end(), bytes.begin() + at);
    }

    // Moves past the next line feed without reading the line.
    void skipLine() {
        const ByteSpan rest = bytes.subspan(at);
        const auto feed = std::find(rest.begin(), rest.end(), std::uint8_t{10});
        at += static_cast<std::size_t>(feed - rest.begin()) + (feed != rest.end());
    }

    // Bytes up to the next line feed; bytes below 14 are dropped. None when the
    // line is not UTF-8 or is too long (see rawLine).
    std::optional<std::string> line() {
        auto text = rawLine();
        if (!text || !isWellFormedUtf8(*text)) return std::nullopt;
        return text;
    }

    // A part's header line: UTF-8, or else each byte read as the character of
    // that code point, as the request's own header lines are. A page without a
    // declared charset makes browsers send a file name in their legacy
    // encoding ("été.txt" as E9 74 E9): it names the file all the same.
    // None when the line is too long (see rawLine).
    std::optional<std::string> headerLine() {
        auto text = rawLine();
        if (!text) return text;
        return utf8OrLatin1(std::move(*text));
    }

private:
    // The bytes up to the next line feed, which the cursor passes. None, with
    // nothing built, when more bytes come before the line feed than a
    // request's own header line may hold: a body of megabytes without a line
    // feed is not copied into a line (nor into its Latin-1 reading).
    std::optional<std::string> rawLine() {
        const ByteSpan rest = bytes.subspan(at);
        const ByteSpan window = rest.first(std::min(rest.size(), httplimits::maxHeaderLineBytes + 1));
        const auto feed = std::find(window.begin(), window.end(), std::uint8_t{10});
        const std::size_t length = static_cast<std::size_t>(feed - window.begin());
        if (length > httplimits::maxHeaderLineBytes) return std::nullopt;
        std::string text;
        text.reserve(length);
        for (std::uint8_t b : window.first(length))
            if (b >= 14) text.push_back(static_cast<char>(b));
        at += length + (feed != window.end());
        return text;
    }
};

}  // namespace

std::vector<HttpRequest::MultiPart> HttpRequest::parseMultiPartBody(ByteSpan body, std::string_view delimiter) {
    std::vector<MultiPart> parts;
    if (delimiter.empty()) return parts;
    Cursor cursor{body};
    bool first = true;
    std::size_t items = 0;
    for (;;) {
        if (first) {
            auto opening = cursor.line();
            if (!opening || *opening != delimiter) return parts;
            first = false;
        } else {
            // The closing delimiter ("--" after it) ends the form: what follows
            // is the epilogue, never a part, even when it looks like one.
            if (cursor.startsWith("--")) return parts;
            cursor.skipLine();  // the rest of the delimiter's line
        }
        MultiPart part;
        // A part's header lines are bounded as a request's own are: a line too
        // long, or a block too large, reads as no form at all.
        std::size_t headerBytes = 0;
        for (;;) {
            const std::size_t lineStart = cursor.at;
            const std::optional<std::string> header = cursor.headerLine();
            if (!header) return {};
            headerBytes += cursor.at - lineStart;
            if (headerBytes > httplimits::maxHeaderBytes) return {};
            const std::string& line = *header;
            if (line.empty()) break;
            if (++items > httplimits::maxFormItems) return {};
            // Split at the first colon: a value may hold more (a file name "12:30.txt").
            const std::size_t colon = line.find(':');
            if (colon == std::string::npos) continue;
            part.headers[lowerLatin1(std::string_view(line).substr(0, colon))] =
                trimSpacesAndBreaks(std::string_view(line).substr(colon + 1));
        }
        // The content runs to the next delimiter.
        const std::size_t start = cursor.at;
        std::size_t matched = 0;
        bool complete = false;
        while (!cursor.atEnd()) {
            std::uint8_t b = body[cursor.at++];
            if (b == static_cast<std::uint8_t>(delimiter[matched])) {
                if (++matched == delimiter.size()) {
                    complete = true;
                    break;
                }
            } else {
                matched = 0;
            }
        }
        if (!complete) return parts;
        std::size_t end = cursor.at - delimiter.size();
        if (end > start && body[end - 1] == '\n') --end;
        if (end > start && body[end - 1] == '\r') --end;
        part.body = body.subspan(start, end - start);
        if (++items > httplimits::maxFormItems) return {};
        parts.push_back(std::move(part));
    }
}

}  // namespace klarion
