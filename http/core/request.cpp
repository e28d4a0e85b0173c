#include "http/core/request.h"

#include "http/core/router.h"
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

}  // namespace

NameValueList HttpRequest::parseUrlencodedForm() const {
    NameValueList fields;
    if (!contentTypeIs(headers, "application/x-www-form-urlencoded")) return fields;
    std::string text = bodyText();
    if (!isWellFormedUtf8(text)) return fields;
    for (const std::string& piece : split(text, '&')) {
        auto parts = split(piece, '=');
        if (parts.size() == 2) {
            for (auto& part : parts) {
                for (char& c : part) {
                    if (c == '+') c = ' ';
                }
            }
            auto name = percentDecode(parts[0]);
            auto value = percentDecode(parts[1]);
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
    for (const auto& [name, value] : headers) {
        if (name != headerName) continue;
        for (const std::string& piece : split(value, ';')) {
            auto parts = split(trimSpacesAndBreaks(piece), '=');
            if (parts.front() == parameter) return parts.back();
        }
    }
    return std::nullopt;
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

std::vector<HttpRequest::MultiPart> HttpRequest::parseMultiPartFormData() const {
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
        std::string text;
        while (at < bytes.size()) {
            std::uint8_t b = bytes[at++];
            if (b == 10) break;
            if (b >= 14) text.push_back(static_cast<char>(b));
        }
        if (!isWellFormedUtf8(text)) return std::nullopt;
        return text;
    }
};

}  // namespace

std::vector<HttpRequest::MultiPart> HttpRequest::parseMultiPartBody(ByteSpan body, std::string_view delimiter) {
    std::vector<MultiPart> parts;
    if (delimiter.empty()) return parts;
    Cursor cursor{body};
    bool first = true;
    for (;;) {
        auto opening = cursor.line();
        if (first) {
            if (!opening || *opening != delimiter) return parts;
            first = false;
        }
        MultiPart part;
        for (;;) {
            auto line = cursor.line();
            if (!line || line->empty()) break;
            auto pieces = split(*line, ':');
            if (pieces.size() == 2) part.headers[lowerLatin1(pieces[0])] = trimSpacesAndBreaks(pieces[1]);
        }
        // The content runs to the next delimiter.
        std::size_t matched = 0;
        bool complete = false;
        while (!cursor.atEnd()) {
            std::uint8_t b = body[cursor.at++];
            part.body.push_back(b);
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
        part.body.resize(part.body.size() - delimiter.size());
        if (!part.body.empty() && part.body.back() == '\n') part.body.pop_back();
        if (!part.body.empty() && part.body.back() == '\r') part.body.pop_back();
        parts.push_back(std::move(part));
    }
}

}  // namespace klarion
