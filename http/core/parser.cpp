#include "http/core/parser.h"

#include <cctype>
#include <charconv>
#include <string_view>

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
    std::string line =
        readBoundedLine(source, httplimits::maxRequestLineBytes, HttpParserError::Kind::requestLineTooLong, nullptr);
    auto parts = split(line, ' ');
    if (parts.size() < 3) throw HttpParserError(HttpParserError::Kind::invalidStatusLine, line);

    HttpRequest request;
    request.method = parts[0];
    parseTarget(parts[1], request.path, request.queryParams);
    request.headers = readHeaders(source);

    auto length = request.headers.find("content-length");
    if (length == request.headers.end()) return request;
    std::uint64_t value = 0;
    switch (parseLength(length->second, value)) {
        case LengthKind::none: break;
        case LengthKind::negative: throw HttpParserError(HttpParserError::Kind::negativeContentLength);
        case LengthKind::tooLarge: throw HttpParserError(HttpParserError::Kind::payloadTooLarge);
        case LengthKind::value:
            if (value > httplimits::maxBodyBytes) throw HttpParserError(HttpParserError::Kind::payloadTooLarge);
            request.body = source.readLength(static_cast<std::size_t>(value));
            break;
    }
    return request;
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
        headers[lowerLatin1(first)] = trimHorizontal(last);
    }
}

bool HttpParser::wantsKeepAlive(const HttpHeaders& headers) {
    auto it = headers.find("connection");
    return it != headers.end() && trimSpacesAndBreaks(it->second) == "keep-alive";
}

}  // namespace klarion
