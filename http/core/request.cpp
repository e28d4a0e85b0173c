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

// One url-encoded name or value: "+" is a space, then escapes are decoded.
std::optional<std::string> formDecode(std::string_view text) {
    std::string spaced(text);
    for (char& c : spaced) {
        if (c == '+') c = ' ';
    }
    return percentDecode(spaced);
}

// The parameter `parameter` of a header value such as
// `form-data; name="f"; filename="a=b;c.txt"`: the value after the first "="
// of its ";" piece, trimmed, quotes kept. A ";" between double quotes does not
// end a piece. Nothing inside quotes is unescaped (browsers send a quote in a
// file name as %22).
std::optional<std::string> headerParameter(std::string_view value, std::string_view parameter) {
    for (std::size_t at = 0; at <= value.size();) {
        std::size_t end = at;
        for (bool quoted = false; end < value.size(); ++end) {
            if (value[end] == '"') {
                quoted = !quoted;
            } else if (value[end] == ';' && !quoted) {
                break;
            }
        }
        const std::string_view piece = value.substr(at, end - at);
        const std::size_t equals = piece.find('=');
        if (equals != std::string_view::npos && trimSpacesAndBreaks(piece.substr(0, equals)) == parameter) {
            return trimSpacesAndBreaks(piece.substr(equals + 1));
        }
        at = end + 1;
    }
    return std::nullopt;
}

}  // namespace

NameValueList HttpRequest::parseUrlencodedForm() const {
    NameValueList fields;
    if (!contentTypeIs(headers, "application/x-www-form-urlencoded")) return fields;
    // Read in place: a large form is not copied before it is split.
    const std::string_view text(reinterpret_cast<const char*>(body.data()), body.size());
    if (!isWellFormedUtf8(text)) return fields;
    if (std::count(text.begin(), text.end(), '&') >= httplimits::maxFormItems) return fields;
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
    return unquote(*value);
}

std::optional<std::string> HttpRequest::MultiPart::fileName() const {
    auto value = valueFor("content-disposition", "filename");
    if (!value) return std::nullopt;
    return unquote(*value);
}

std::vector<HttpRequest::MultiPart> HttpRequest::parseMultiPartFormData() const& {
    if (!contentTypeIs(headers, "multipart/form-data")) return {};
    std::string boundary;
    for (const std::string& piece : split(headers.at("content-type"), ';')) {
        auto parts = split(trimSpacesAndBreaks(piece), '=');
        if (parts.size() == 2 && parts[0] == "boundary") boundary = parts[1];
    }
    if (boundary.empty()) return {};
    return parseMultiPartBody(body, "--" + boundary);
}

namespace {

struct Cursor {
    ByteSpan bytes;
    std::size_t at = 0;

    bool atEnd() const { return at >= bytes.size(); }

    // Bytes up to the next line feed; bytes below 14 are dropped. None when the
    // line is not UTF-8.
    std::optional<std::string> line() {
        std::string text = rawLine();
        if (!isWellFormedUtf8(text)) return std::nullopt;
        return text;
    }

    // A part's header line: UTF-8, or else each byte read as the character of
    // that code point, as the request's own header lines are. A page without a
    // declared charset makes browsers send a file name in their legacy
    // encoding ("été.txt" as E9 74 E9): it names the file all the same.
    std::string headerLine() {
        std::string text = rawLine();
        if (isWellFormedUtf8(text)) return text;
        std::string latin1;
        for (char c : text) appendLatin1(latin1, static_cast<std::uint8_t>(c));
        return latin1;
    }

private:
    std::string rawLine() {
        std::string text;
        while (at < bytes.size()) {
            std::uint8_t b = bytes[at++];
            if (b == 10) break;
            if (b >= 14) text.push_back(static_cast<char>(b));
        }
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
        auto opening = cursor.line();
        if (first) {
            if (!opening || *opening != delimiter) return parts;
            first = false;
        }
        MultiPart part;
        for (;;) {
            const std::string line = cursor.headerLine();
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
