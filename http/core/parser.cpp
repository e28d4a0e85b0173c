#include "http/core/parser.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <string_view>
#include <vector>

#include "http/core/limits.h"
#include "http/core/text_utils.h"

namespace klarion {

using namespace textutil;

namespace {

const char* kindText(HttpParserError::Kind kind) {
    switch (kind) {
        case HttpParserError::Kind::invalidStatusLine: return "invalidStatusLine";
        case HttpParserError::Kind::negativeContentLength: return "negativeContentLength";
        case HttpParserError::Kind::requestLineTooLong: return "requestLineTooLong";
        case HttpParserError::Kind::headersTooLarge: return "headersTooLarge";
        case HttpParserError::Kind::payloadTooLarge: return "payloadTooLarge";
        case HttpParserError::Kind::badFraming: return "badFraming";
        case HttpParserError::Kind::unsupportedTransferCoding: return "unsupportedTransferCoding";
    }
    return "unknown";
}

std::string describe(HttpParserError::Kind kind, const std::string& line) {
    if (kind == HttpParserError::Kind::invalidStatusLine) return std::string(kindText(kind)) + "(\"" + line + "\")";
    return kindText(kind);
}

// One line by the socket's line rule, bounded: a line over `maxLine` bytes
// (as received) throws `tooLong`. `budget` is what is left of the header block.
// Bytes already read ahead are looked at in place, not one call each.
std::string readBoundedLine(ByteSource& source, std::size_t maxLine, HttpParserError::Kind tooLong,
                            std::size_t* budget) {
    std::string line;
    std::size_t received = 0;
    // One byte; true once it ends the line.
    const auto step = [&](std::uint8_t byte) {
        ++received;
        if (budget) {
            if (*budget == 0) throw HttpParserError(HttpParserError::Kind::headersTooLarge);
            --*budget;
        }
        if (byte == 10) return true;
        if (received > maxLine) throw HttpParserError(tooLong);
        if (byte >= 0x80) {
            appendLatin1(line, byte);
        } else if (byte >= 14) {
            line.push_back(static_cast<char>(byte));
        }
        return false;
    };
    for (;;) {
        const ByteSpan ahead = source.readAhead();
        if (ahead.empty()) {
            if (step(source.read())) return line;
            continue;
        }
        std::size_t used = 0;
        bool ended = false;
        try {
            while (!ended && used < ahead.size()) ended = step(ahead[used++]);
        } catch (...) {
            source.take(used);
            throw;
        }
        source.take(used);
        if (ended) return line;
    }
}

// A "content-length" value: optional sign, then decimal digits only. Anything
// else announces no body. A length too large for 64 bits still announces one.
enum class LengthKind { none, value, negative, tooLarge };

LengthKind parseLength(std::string_view text, std::uint64_t& value) {
    bool negative = false;
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
        negative = text[0] == '-';
        text.remove_prefix(1);
    }
    if (text.empty() || text[0] < '0' || text[0] > '9') return LengthKind::none;
    const char* end = text.data() + text.size();
    auto [stop, error] = std::from_chars(text.data(), end, value);
    if (stop != end) return LengthKind::none;
    if (negative && (error != std::errc() || value != 0)) return LengthKind::negative;
    if (error != std::errc()) return LengthKind::tooLarge;
    return LengthKind::value;
}

// How a request's body is delimited.
struct Framing {
    enum class Kind { none, length, chunked } kind = Kind::none;
    std::uint64_t length = 0;
};

Framing framingOf(const HttpHeaders& headers) {
    const auto coding = headers.find("transfer-encoding");
    const auto length = headers.find("content-length");
    if (coding != headers.end()) {
        // A length next to a coding is the classic way to make two readers
        // of one stream disagree on where the request ends.
        if (length != headers.end()) throw HttpParserError(HttpParserError::Kind::badFraming);
        std::vector<std::string> codings;
        for (const std::string& piece : split(coding->second, ',')) {
            std::string name = lowerLatin1(trimHorizontal(piece));
            if (!name.empty()) codings.push_back(std::move(name));
        }
        // Only chunked is known, once and last; without it last the body has no end.
        if (codings.empty() || codings.back() != "chunked") throw HttpParserError(HttpParserError::Kind::badFraming);
        codings.pop_back();
        if (std::find(codings.begin(), codings.end(), "chunked") != codings.end())
            throw HttpParserError(HttpParserError::Kind::badFraming);
        if (!codings.empty()) throw HttpParserError(HttpParserError::Kind::unsupportedTransferCoding);
        return {Framing::Kind::chunked};
    }
    if (length == headers.end()) return {};
    std::uint64_t value = 0;
    switch (parseLength(length->second, value)) {
        case LengthKind::none: return {};
        case LengthKind::negative: throw HttpParserError(HttpParserError::Kind::negativeContentLength);
        case LengthKind::tooLarge: throw HttpParserError(HttpParserError::Kind::payloadTooLarge);
        case LengthKind::value: break;
    }
    if (value > httplimits::maxBodyBytes) throw HttpParserError(HttpParserError::Kind::payloadTooLarge);
    return {Framing::Kind::length, value};
}

// A chunked body: chunks of a hexadecimal size line (extensions after ";"
// dropped), the data and a line end, up to the chunk of size 0; then trailer
// fields, read within the header limits and dropped.
void readChunkedBody(ByteSource& source, Bytes& body) {
    constexpr auto broken = HttpParserError::Kind::badFraming;
    for (;;) {
        const std::string line = readBoundedLine(source, httplimits::maxHeaderLineBytes, broken, nullptr);
        std::uint64_t size = 0;
        std::size_t at = 0;
        for (; at < line.size() && std::isxdigit(static_cast<unsigned char>(line[at])); ++at) {
            const char c = line[at];
            size = size * 16 + static_cast<std::uint64_t>(c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10);
            // The size only grows digit by digit: checked at each, it cannot overflow.
            if (size > httplimits::maxBodyBytes - body.size())
                throw HttpParserError(HttpParserError::Kind::payloadTooLarge);
        }
        if (at == 0) throw HttpParserError(broken);
        at = std::min(line.find_first_not_of(" \t", at), line.size());
        if (at < line.size() && line[at] != ';') throw HttpParserError(broken);
        if (size == 0) break;
        Bytes chunk = source.readLength(static_cast<std::size_t>(size));
        if (body.empty()) {
            body = std::move(chunk);
        } else {
            body.insert(body.end(), chunk.begin(), chunk.end());
        }
        if (!readBoundedLine(source, httplimits::maxHeaderLineBytes, broken, nullptr).empty())
            throw HttpParserError(broken);
    }
    std::size_t budget = httplimits::maxHeaderBytes;
    while (!readBoundedLine(source, httplimits::maxHeaderLineBytes, HttpParserError::Kind::headersTooLarge, &budget)
                .empty()) {
    }
}

bool isSchemeStart(const std::string& target) {
    // scheme = ALPHA *( ALPHA / DIGIT / "+" / "-" / "." ) ":"
    if (target.empty() || !std::isalpha(static_cast<unsigned char>(target[0]))) return false;
    for (std::size_t i = 1; i < target.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(target[i]);
        if (c == ':') return true;
        if (!std::isalnum(c) && c != '+' && c != '-' && c != '.') return false;
    }
    return false;
}

}  // namespace

HttpParserError::HttpParserError(Kind kind, std::string line)
    : std::runtime_error(describe(kind, line)), kind_(kind), line_(std::move(line)) {}

void HttpParser::parseTarget(const std::string& target, std::string& path, NameValueList& query) {
    path.clear();
    query.clear();
    // The target is taken as sent: nothing is decoded. "#" is an ordinary
    // character; an absolute-form target keeps only its path and query.
    std::string rest = target;
    if (isSchemeStart(rest)) rest = rest.substr(rest.find(':') + 1);
    if (rest.starts_with("//")) {
        std::size_t end = rest.find_first_of("/?", 2);
        std::string authority = rest.substr(2, end == std::string::npos ? std::string::npos : end - 2);
        // A port must be digits; anything else does not parse.
        std::size_t at = authority.rfind('@');
        std::string hostPort = at == std::string::npos ? authority : authority.substr(at + 1);
        std::size_t bracket = hostPort.rfind(']');
        std::size_t colon = hostPort.rfind(':');
        if (colon != std::string::npos && (bracket == std::string::npos || colon > bracket)) {
            for (char c : hostPort.substr(colon + 1)) {
                if (c < '0' || c > '9') return;
            }
        }
        rest = end == std::string::npos ? std::string() : rest.substr(end);
    }
    std::size_t question = rest.find('?');
    path = rest.substr(0, question);
    if (question == std::string::npos) return;
    std::string items = rest.substr(question + 1);
    if (items.empty()) return;
    for (const std::string& item : split(items, '&')) {
        std::size_t equals = item.find('=');
        if (equals == std::string::npos) {
            query.emplace_back(item, std::string());
        } else {
            query.emplace_back(item.substr(0, equals), item.substr(equals + 1));
        }
    }
}

HttpRequest HttpParser::readHttpRequest(ByteSource& source) const {
    HttpRequest request = readRequestHead(source);
    readBody(source, request);
    return request;
}

HttpRequest HttpParser::readRequestHead(ByteSource& source) const {
    std::string line =
        readBoundedLine(source, httplimits::maxRequestLineBytes, HttpParserError::Kind::requestLineTooLong, nullptr);
    auto parts = split(line, ' ');
    if (parts.size() < 3) throw HttpParserError(HttpParserError::Kind::invalidStatusLine, line);

    HttpRequest request;
    request.method = parts[0];
    parseTarget(parts[1], request.path, request.queryParams);
    request.headers = readHeaders(source);
    framingOf(request.headers);
    return request;
}

void HttpParser::readBody(ByteSource& source, HttpRequest& request) const {
    const Framing framing = framingOf(request.headers);
    switch (framing.kind) {
        case Framing::Kind::none: break;
        case Framing::Kind::length: request.body = source.readLength(static_cast<std::size_t>(framing.length)); break;
        case Framing::Kind::chunked: readChunkedBody(source, request.body); break;
    }
}

bool HttpParser::wantsContinue(const HttpHeaders& headers) {
    const auto expect = headers.find("expect");
    if (expect == headers.end() || lowerLatin1(expect->second) != "100-continue") return false;
    try {
        const Framing framing = framingOf(headers);
        return framing.kind == Framing::Kind::chunked || framing.length > 0;
    } catch (const HttpParserError&) {
        return false;
    }
}

HttpHeaders HttpParser::readHeaders(ByteSource& source) const {
    HttpHeaders headers;
    std::size_t budget = httplimits::maxHeaderBytes;
    for (;;) {
        std::string line =
            readBoundedLine(source, httplimits::maxHeaderLineBytes, HttpParserError::Kind::headersTooLarge, &budget);
        if (line.empty()) return headers;
        std::size_t start = line.find_first_not_of(':');
        if (start == std::string::npos) continue;  // colons only
        std::size_t colon = line.find(':', start);
        std::string first = line.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
        std::string second = colon == std::string::npos ? std::string() : line.substr(colon + 1);
        const std::string& last = second.empty() ? first : second;
        std::string name = lowerLatin1(first);
        std::string value = trimHorizontal(last);
        auto [field, added] = headers.try_emplace(name, value);
        if (added) continue;
        // Which of two lengths would be the body's? Neither: the request is refused.
        if (name == "content-length" && field->second != value) throw HttpParserError(HttpParserError::Kind::badFraming);
        if (name == "transfer-encoding") {
            field->second += ", " + value;  // codings add up, in order
        } else {
            field->second = std::move(value);
        }
    }
}

bool HttpParser::wantsKeepAlive(const HttpHeaders& headers) {
    auto it = headers.find("connection");
    return it != headers.end() && trimSpacesAndBreaks(it->second) == "keep-alive";
}

}  // namespace klarion
