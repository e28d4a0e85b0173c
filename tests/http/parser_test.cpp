#include <gtest/gtest.h>

#include <fcntl.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "http/core/limits.h"
#include "http/core/file.h"
#include "http/core/parser.h"
#include "http/core/request.h"
#include "http/core/server_io.h"
#include "http_test_support.h"
#include "tests/http/largest_allocation.h"
#include "tests/support/scratch.h"

using namespace klarion;
using klarion::testing::SocketPair;

namespace {

HttpRequest parse(std::string_view bytes) {
    SocketPair pair;
    pair.send(bytes);
    return HttpParser().readHttpRequest(*pair.socket);
}

template <class Error>
auto errorOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const Error& e) {
        return std::optional(e.kind());
    }
    return std::optional<decltype(std::declval<Error>().kind())>();
}

HttpParserError::Kind parseErrorOf(std::string_view bytes) {
    return errorOf<HttpParserError>([&] { parse(bytes); }).value_or(HttpParserError::Kind::invalidStatusLine);
}

bool isOpen(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

}  // namespace

// ---- socket reads and writes ----

TEST(Socket, ReadsLinesAndExactLengths) {
    SocketPair pair;
    pair.send("Host: a\tb\r\n\xC3\xA9\nabcdef");
    EXPECT_EQ(pair.socket->readLine(), "Host: ab");          // control bytes dropped
    EXPECT_EQ(pair.socket->readLine(), "\xC3\x83\xC2\xA9");  // bytes read as characters: U+00C3 U+00A9
    EXPECT_TRUE(pair.socket->readLength(0).empty());
    EXPECT_EQ(pair.socket->readLength(4), (Bytes{'a', 'b', 'c', 'd'}));
    EXPECT_EQ(errorOf<SocketError>([&] { pair.socket->readLength(5); }), SocketError::Kind::recvFailed);  // early end
    SocketPair unfinished;
    unfinished.send("last");
    EXPECT_THROW(unfinished.socket->readLine(), SocketError);  // the stream ends before a line feed
}

TEST(Socket, WriteToVanishedPeerFailsWithoutSignal) {
    SocketPair pair;
    pair.closePeer();
    try {
        for (int i = 0; i < 4; ++i) pair.socket->writeUTF8(std::string(65536, 'x'));
        FAIL() << "writing to a closed peer must fail";
    } catch (const SocketError& e) {
        EXPECT_EQ(e.kind(), SocketError::Kind::writeFailed);
        EXPECT_EQ(std::string(e.what()).rfind("writeFailed(\"", 0), 0u);
    }
}

TEST(Socket, CloseHappensOnceAndTimeOutsApply) {
    SocketPair pair;
    pair.socket->setTimeouts(httplimits::receiveTimeoutSeconds, httplimits::sendTimeoutSeconds);
    EXPECT_EQ(klarion::testing::timeoutSeconds(pair.socket->fd(), SO_RCVTIMEO), 300);
    EXPECT_EQ(klarion::testing::timeoutSeconds(pair.socket->fd(), SO_SNDTIMEO), 60);

    int fd = pair.socket->fd();
    pair.socket->close();
    EXPECT_TRUE(pair.socket->isClosed());
    // Reuse the number for something else: a second close must not touch it.
    int other = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(other, fd);
    pair.socket->close();
    pair.socket.reset();  // the destructor does not close it again either
    EXPECT_TRUE(isOpen(other));
    ::close(other);
    EXPECT_THROW(Socket(-1).port(), SocketError);  // a placeholder has no name
}

// The server stops a connection with shutdownIO() from one thread while the
// connection's own thread may be closing it. The shutdown must never land on
// the descriptor that took the freed number in between.
TEST(Socket, ShutdownRacingCloseNeverHitsTheNextDescriptor) {
    std::atomic<Socket*> target{nullptr};
    std::atomic<bool> finished{false};
    std::thread waker([&] {
        while (!finished.load()) {
            if (Socket* socket = target.load()) {
                socket->shutdownIO();
                target.store(nullptr);
            } else {
                std::this_thread::yield();
            }
        }
    });
    int damaged = 0;
    for (int i = 0; i < 20000 && damaged == 0; ++i) {
        SocketPair first;
        target.store(first.socket.get());
        first.socket->close();
        SocketPair second;  // usually takes the freed number
        while (target.load() != nullptr) std::this_thread::yield();
        char byte = 'x';
        if (::send(second.socket->fd(), &byte, 1, MSG_NOSIGNAL) != 1) ++damaged;
    }
    finished.store(true);
    waker.join();
    EXPECT_EQ(damaged, 0) << "a shutdown reached a descriptor opened after the close";
}

TEST(Socket, ListeningSocketDualStackAndPortInUse) {
    auto listener = Socket::openListening(0, false);
    EXPECT_FALSE(listener->isIPv4());
    EXPECT_NE(listener->port(), 0);
    int next = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ::close(next);
    try {
        Socket::openListening(listener->port(), false);
        FAIL() << "binding a port in use must fail";
    } catch (const SocketError& e) {
        EXPECT_EQ(e.kind(), SocketError::Kind::bindFailed);
        EXPECT_EQ(e.message(), std::strerror(EADDRINUSE));
    }
    EXPECT_FALSE(isOpen(next)) << "the failed attempt left a descriptor open";
    auto four = Socket::openListening(0, true);
    EXPECT_TRUE(four->isIPv4());
    EXPECT_EQ(::fcntl(four->fd(), F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
}

TEST(Socket, SendFileSendsTheWholeFileFromItsStart) {
    klarion::testing::ScratchFolder scratch;
    const std::string content(200 * 1024, 'f');  // larger than one socket buffer
    auto file = openForReading(klarion::testing::writeText(scratch.root() / "f", content).string());
    std::vector<std::uint8_t> skip(10);
    file->read(skip);
    SocketPair pair;
    std::string received;
    std::thread reader([&] { received = klarion::testing::receiveAll(pair.peer); });
    pair.socket->sendFile(*file);
    pair.socket->close();
    reader.join();
    EXPECT_EQ(received.size(), content.size());
}

// ---- the request parser ----

TEST(HttpParser, RequestLineAndTarget) {
    const struct {
        const char* line;
        const char* method;
        const char* path;
        NameValueList query;
    } cases[] = {
        {"GET /api/logs?x=1 HTTP/1.1", "GET", "/api/logs", {{"x", "1"}}},
        {"GET /a%20b?q=a%20b+c HTTP/1.1", "GET", "/a%20b", {{"q", "a%20b+c"}}},
        {"GET /x?flag&y= HTTP/1.1", "GET", "/x", {{"flag", ""}, {"y", ""}}},
        {"get  /x HTTP/1.1", "get", "", {}},
        {"POST /p#frag?a=1 HTTP/1.0 extra", "POST", "/p#frag", {{"a", "1"}}},
        {"GET http://host:8080/abs?k=v HTTP/1.1", "GET", "/abs", {{"k", "v"}}},
        {"GET /x? HTTP/1.1", "GET", "/x", {}},
        {"GET /x?a=1=2 HTTP/1.1", "GET", "/x", {{"a", "1=2"}}},
        {"GET /\xC3\xA9 HTTP/1.1", "GET", "/\xC3\x83\xC2\xA9", {}},
    };
    for (const auto& c : cases) {
        HttpRequest r = parse(std::string(c.line) + "\r\n\r\n");
        EXPECT_EQ(std::tie(r.method, r.path, r.queryParams), std::tie(c.method, c.path, c.query)) << c.line;
        EXPECT_FALSE(r.address.has_value());
        EXPECT_TRUE(r.params.empty());
    }
    try {
        parse("GET /\r\n\r\n");
        FAIL();
    } catch (const HttpParserError& e) {
        EXPECT_EQ(e, HttpParserError(HttpParserError::Kind::invalidStatusLine, "GET /"));
    }
    EXPECT_THROW(parse(""), SocketError);
}

TEST(HttpParser, Headers) {
    HttpRequest r = parse(
        "GET / HTTP/1.1\r\nHost: a:8080\r\nhost: b\r\nX-Flag\r\n:value-only\r\n:::\r\n"
        "X-Spaces: \t padded \t\r\nX-Empty:\r\nX-Colons: a:b:c\r\n\r\n");
    const HttpHeaders expected{
        {"host", "b"},          {"x-flag", "X-Flag"},   {"value-only", "value-only"},
        {"x-spaces", "padded"}, {"x-empty", "X-Empty"}, {"x-colons", "a:b:c"},
    };
    EXPECT_EQ(r.headers, expected);
    const std::pair<const char*, bool> keepAlive[] = {
        {"keep-alive", true},           {"keep-alive ", true}, {"Keep-Alive", false},
        {"keep-alive, Upgrade", false}, {"close", false},
    };
    for (const auto& [value, expected] : keepAlive)
        EXPECT_EQ(HttpParser::wantsKeepAlive({{"connection", value}}), expected) << value;
    EXPECT_FALSE(HttpParser::wantsKeepAlive({}));
}

TEST(HttpParser, ContentLengthAndLimits) {
    const std::pair<const char*, const char*> bodies[] = {
        {"3", "abc"}, {"+3", "abc"}, {"0", ""}, {"abc", ""}, {"5x", ""}, {"", ""},
    };
    for (const auto& [value, expected] : bodies)
        EXPECT_EQ(parse(std::string("POST / HTTP/1.1\r\nContent-Length: ") + value + "\r\n\r\nabcdef").bodyText(),
                  expected)
            << value;
    const std::pair<const char*, HttpParserError::Kind> refused[] = {
        {"-1", HttpParserError::Kind::negativeContentLength},
        {"67108865", HttpParserError::Kind::payloadTooLarge},
        // Lengths beyond 64 bits are refused, never read as "no body".
        {"9223372036854775808", HttpParserError::Kind::payloadTooLarge},
        {"+99999999999999999999", HttpParserError::Kind::payloadTooLarge},
        {"-9223372036854775809", HttpParserError::Kind::negativeContentLength},
    };
    for (const auto& [value, kind] : refused)
        EXPECT_EQ(parseErrorOf(std::string("POST / HTTP/1.1\r\nContent-Length: ") + value + "\r\n\r\nx"), kind)
            << value;
    EXPECT_THROW(parse("POST / HTTP/1.1\r\nContent-Length: 10\r\n\r\nshort"), SocketError);
    EXPECT_EQ(parseErrorOf("GET /" + std::string(70 * 1024, 'a') + " HTTP/1.1\r\n\r\n"),
              HttpParserError::Kind::requestLineTooLong);
    // Exactly at the body limit the length is accepted (nothing is reserved up front).
    EXPECT_THROW(parse("POST / HTTP/1.1\r\nContent-Length: 67108864\r\n\r\nabc"), SocketError);

    std::string many = "GET / HTTP/1.1\r\n";
    for (int i = 0; i < 5000; ++i) many += "X-H" + std::to_string(i) + ": " + std::string(60, 'v') + "\r\n";
    SocketPair pair;
    std::thread writer([&] { pair.send(many + "\r\n"); });
    EXPECT_EQ(errorOf<HttpParserError>([&] { HttpParser().readHttpRequest(*pair.socket); }),
              HttpParserError::Kind::headersTooLarge);
    pair.socket->close();
    writer.join();
}

TEST(HttpParser, LargeBodyEndsInOneBufferOfItsOwnSize) {
    // Past its first MiB a body's announced length is reserved at once: no
    // buffer twice its size, no copy into one at each doubling.
    std::string body(3 * 1024 * 1024 + 5, 'x');
    for (std::size_t i = 0; i < body.size(); i += 4093) body[i] = char(i);
    SocketPair pair;
    std::thread writer(
        [&] { pair.send("POST / HTTP/1.1\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body); });
    const HttpRequest request = HttpParser().readHttpRequest(*pair.socket);
    writer.join();
    EXPECT_EQ(request.body.capacity(), body.size());
    EXPECT_TRUE(request.bodyText() == body);
}

namespace {

// Hands out one byte per call and keeps nothing read ahead: the other way the
// parser reads (a socket lets it look at what is read ahead in place).
class OneByteAtATime : public ByteSource {
public:
    explicit OneByteAtATime(std::string bytes) : bytes_(std::move(bytes)) {}
    std::uint8_t read() override {
        if (at_ == bytes_.size()) throw SocketError(SocketError::Kind::recvFailed, "end");
        return static_cast<std::uint8_t>(bytes_[at_++]);
    }
    Bytes readLength(std::size_t n) override {
        Bytes out;
        while (out.size() < n) out.push_back(read());
        return out;
    }

private:
    std::string bytes_;
    std::size_t at_ = 0;
};

std::string outcome(const std::function<HttpRequest()>& read) {
    try {
        const HttpRequest r = read();
        std::string text = r.method + " " + r.path + " [" + r.bodyText() + "]";
        for (const auto& [name, value] : r.headers) text += " " + name + "=" + value;
        return text;
    } catch (const HttpParserError& e) {
        return e.what();
    } catch (const SocketError&) {
        return "ended";
    }
}

}  // namespace

TEST(HttpParser, ReadAheadAndOneByteAtATimeGiveTheSameRequests) {
    const std::size_t atLineLimit = httplimits::maxRequestLineBytes - std::string("GET / HTTP/1.1\r").size();
    const std::size_t atHeaderLimit = httplimits::maxHeaderLineBytes - std::string("X: \r").size();
    const std::string cases[] = {
        "GET /a?b=c HTTP/1.1\r\nHost: x\r\nX-\xC3\xA9:\t\xE9t\xE9 \r\n\r\n",
        "POST /p HTTP/1.1\r\nContent-Length: 3\r\n\r\nabcdef",
        "GET /" + std::string(atLineLimit, 'a') + " HTTP/1.1\r\n\r\n",
        "GET /" + std::string(atLineLimit + 1, 'a') + " HTTP/1.1\r\n\r\n",
        "GET / HTTP/1.1\r\nX: " + std::string(atHeaderLimit, 'v') + "\r\n\r\n",
        "GET / HTTP/1.1\r\nX: " + std::string(atHeaderLimit + 1, 'v') + "\r\n\r\n",
        "GET / HTTP/1.1\r\nX: a\r\n",  // ends before the blank line
        "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nab\r\n1;x\r\nc\r\n0\r\nT: v\r\n\r\n",
    };
    for (const std::string& bytes : cases) {
        const std::string oneByOne = outcome([&] {
            OneByteAtATime source(bytes);
            return HttpParser().readHttpRequest(source);
        });
        EXPECT_EQ(outcome([&] { return parse(bytes); }), oneByOne) << bytes.substr(0, 40);
    }
}

// Where a body ends is never in doubt: two lengths must agree, a chunked
// body is read (never taken as empty), and any other coding is refused.
TEST(HttpParser, BodyFraming) {
    const auto result = [](const std::string& bytes) -> std::string {
        try {
            return "[" + parse(bytes).bodyText() + "]";
        } catch (const HttpParserError& e) {
            return e.what();
        } catch (const SocketError&) {
            return "ended";
        }
    };
    const std::string post = "POST / HTTP/1.1\r\n", chunked = post + "Transfer-Encoding: chunked\r\n\r\n";
    const std::pair<std::string, std::string> cases[] = {
        {post + "Content-Length: 3\r\nContent-Length: 3\r\n\r\nabcdef", "[abc]"},
        {post + "Content-Length: 3\r\nContent-Length: 13\r\n\r\nabc", "badFraming"},
        {post + "Content-Length: 3\r\ncontent-length: 03\r\n\r\nabc", "badFraming"},
        {chunked + "3\r\nabc\r\n0\r\n\r\n", "[abc]"},
        {post + "Transfer-Encoding: Chunked \r\n\r\nA;n=\"v\"\r\n0123456789\r\n1 \r\n!\n0\r\nX: t\r\n\r\n",
         "[0123456789!]"},
        {post + "Transfer-Encoding: chunked\r\nContent-Length: 3\r\n\r\nabc", "badFraming"},
        {post + "Transfer-Encoding: identity\r\nTransfer-Encoding: chunked\r\n\r\n", "unsupportedTransferCoding"},
        {post + "Transfer-Encoding: gzip\r\n\r\n", "badFraming"},
        {post + "Transfer-Encoding: chunked, chunked\r\n\r\n", "badFraming"},
        {chunked + "3\r\nabcd\r\n0\r\n\r\n", "badFraming"},  // more data than its size
        {chunked + "g\r\n", "badFraming"},
        {chunked + "fffffffffffffffffffff\r\n", "payloadTooLarge"},
        {chunked + "3\r\nabc\r\n", "ended"},
        {chunked + "4000001\r\n", "payloadTooLarge"},
        {chunked + "2\r\nab\r\n3ffffff\r\n", "payloadTooLarge"},  // the chunks add up past the limit
    };
    for (const auto& [bytes, expected] : cases) EXPECT_EQ(result(bytes), expected) << bytes;

}

TEST(HttpParser, PipelinedRequestsAndExtraBodyBytes) {
    SocketPair pair;
    pair.send("POST /a HTTP/1.1\r\nContent-Length: 2\r\n\r\nhiGET /b HTTP/1.1\r\n\r\n");
    HttpParser parser;
    EXPECT_EQ(parser.readHttpRequest(*pair.socket).bodyText(), "hi");
    HttpRequest second = parser.readHttpRequest(*pair.socket);
    EXPECT_EQ(second.method + " " + second.path, "GET /b");
}

// ---- the request model ----

namespace {

HttpRequest withBody(std::string contentType, std::string body) {
    HttpRequest r;
    if (!contentType.empty()) r.headers["content-type"] = contentType;
    r.body = utf8Bytes(body);
    return r;
}

std::string text(ByteSpan bytes) { return std::string(bytes.begin(), bytes.end()); }

}  // namespace

TEST(HttpRequest, QueryAndHeaderTokens) {
    HttpRequest r;
    r.queryParams = {{"a", "1"}, {"b", ""}, {"a", "2"}};
    EXPECT_EQ(r.queryParam("a"), "1");
    EXPECT_EQ(r.queryParam("b"), "");
    EXPECT_FALSE(r.queryParam("c").has_value());
    r.headers["connection"] = "keep-alive, Upgrade";
    EXPECT_TRUE(r.hasTokenForHeader("connection", "upgrade"));
    EXPECT_TRUE(r.hasTokenForHeader("connection", "keep-alive"));
    EXPECT_FALSE(r.hasTokenForHeader("connection", "Upgrade"));  // callers pass lower case
    EXPECT_FALSE(r.hasTokenForHeader("upgrade", "websocket"));
}

TEST(HttpRequest, UrlencodedForm) {
    const std::string form = "application/x-www-form-urlencoded";
    const struct {
        std::string type;
        const char* body;
        NameValueList expected;
    } cases[] = {
        {form, "a=1&b=x+y%21", {{"a", "1"}, {"b", "x y!"}}},
        {form + "; charset=UTF-8", "a=1&b=x+y%21", {{"a", "1"}, {"b", "x y!"}}},
        {form, "a=%2B", {{"a", "+"}}},
        {form, "a=b=c&d", {{"", ""}, {"", ""}}},
        {form, "a=%zz&b=%C3%A9", {{"", ""}, {"b", "\xC3\xA9"}}},
        // A page without a charset posts Latin-1: each field not UTF-8 reads byte for byte.
        {form, "password=caf%E9+cr%E8me", {{"password", "caf\xC3\xA9 cr\xC3\xA8me"}}},
        {form, "%E9=%FF&b=%C3%A9", {{"\xC3\xA9", "\xC3\xBF"}, {"b", "\xC3\xA9"}}},
        {form, "a=\xE9t\xE9", {{"a", "\xC3\xA9t\xC3\xA9"}}},
        {form, "", {{"", ""}}},
        {"Application/x-www-form-urlencoded", "a=1", {}},
        {"text/plain", "a=1", {}},
        {"", "a=1", {}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(withBody(c.type, c.body).parseUrlencodedForm(), c.expected) << c.type << " / " << c.body;
}

TEST(HttpRequest, MultipartForm) {
    const std::string body =
        "--X\r\nContent-Disposition: form-data; name=\"f\"; filename=\"a.txt\"\r\nContent-Type: text/plain\r\nX: "
        "a:b\r\n\r\n"
        "hello\r\n--X\r\nContent-Disposition: form-data; name=g\r\n\r\nline1\r\nline2\r\n--X--\r\n";
    const HttpRequest request = withBody("multipart/form-data; boundary=X", body);
    auto parts = request.parseMultiPartFormData();
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_EQ(text(parts[0].body), "hello");
    EXPECT_EQ(parts[0].name(), "f");
    EXPECT_EQ(parts[0].fileName(), "a.txt");
    EXPECT_EQ(parts[0].valueFor("content-disposition", "name"), "\"f\"");
    EXPECT_EQ(parts[0].headers.at("content-type"), "text/plain");
    EXPECT_EQ(parts[0].headers.count("x") ? parts[0].headers.at("x") : "", "a:b");  // split at the first colon only
    EXPECT_EQ(text(parts[1].body), "line1\r\nline2");
    EXPECT_EQ(parts[1].name(), "g");
    EXPECT_FALSE(parts[1].fileName().has_value());
    // The parts' contents are the request's own bytes, not copies.
    for (const auto& part : parts) {
        EXPECT_GE(part.body.data(), request.body.data());
        EXPECT_LE(part.body.data() + part.body.size(), request.body.data() + request.body.size());
    }

    // A file name in a legacy encoding (a page without a charset) is read byte for byte.
    std::string binary =
        "--B\r\nContent-Disposition: form-data; name=\"f\"; filename=\"\xE9t\xE9.bin\"\r\n"
        "Content-Type: application/octet-stream\r\n\r\n" +
        std::string("\x00\x01\xFF\r\n-", 6) + "\r\n--B--\r\n";
    parts = HttpRequest::parseMultiPartBody(asBytes(binary), "--B");
    ASSERT_EQ(parts.size(), 1u);
    EXPECT_EQ(parts[0].fileName(), "\xC3\xA9t\xC3\xA9.bin");
    EXPECT_EQ(parts[0].headers.size(), 2u);
    EXPECT_EQ(text(parts[0].body), std::string("\x00\x01\xFF\r\n-", 6));
}

TEST(HttpRequest, MultipartDispositionParametersAreQuotedStrings) {
    const struct {
        const char* disposition;
        std::optional<std::string> name, fileName;
    } cases[] = {
        {R"(form-data; name="f"; filename="a=b.txt")", "f", "a=b.txt"},
        {R"(form-data; name="a;b=c"; filename="x; name=y.txt")", "a;b=c", "x; name=y.txt"},
        {R"(form-data; filename="12:30 c:\d.txt"; name="f")", "f", "12:30 c:\\d.txt"},
        {R"(form-data;name = "f" ;filename=a=b.txt)", "f", "a=b.txt"},
        {R"(form-data; filename=""; name="f")", "f", ""},
        {R"(form-data; filename="a.txt"; name=")", "\"", "a.txt"},  // unfinished quotes run to the end
        {R"(form-data; name="f"; filename)", "f", std::nullopt},    // a bare word has no value
        {R"(form-data; Name="f"; filenames="a")", std::nullopt, std::nullopt},
        // Escapes in quoted strings, as Go's writer sends them; other backslashes stay.
        {R"(form-data; name="f"; filename="a\"b;c.txt")", "f", "a\"b;c.txt"},
        {R"(form-data; name="a\"b; c"; filename="x\\y\z")", "a\"b; c", "x\\y\\z"},
        {R"(form-data; name="f"; filename="dir\")", "f", "dir\\"},  // a browser's trailing backslash
    };
    for (const auto& c : cases) {
        HttpRequest::MultiPart part;
        part.headers["content-disposition"] = c.disposition;
        EXPECT_EQ(part.name(), c.name) << c.disposition;
        EXPECT_EQ(part.fileName(), c.fileName) << c.disposition;
    }
}

TEST(HttpRequest, FormsOfTooManyItemsReadAsNone) {
    // A body of tiny items would take tens of times its size once parsed.
    const std::size_t most = httplimits::maxFormItems;
    const auto repeat = [](std::string_view unit, std::size_t times) {
        std::string out;
        for (std::size_t i = 0; i < times; ++i) out += unit;
        return out;
    };
    const std::string part999 = "\r\n" + repeat("a:b\r\n", 999) + "\r\n\r\n--X";
    const std::tuple<std::string, std::string, std::size_t> cases[] = {
        {"application/x-www-form-urlencoded", repeat("&", most - 1), most},
        {"application/x-www-form-urlencoded", repeat("&", most), 0},
        {"multipart/form-data; boundary=X", "--X" + repeat("\r\n\r\n--X", most) + "--", most},
        {"multipart/form-data; boundary=X", "--X" + repeat("\r\n\r\n--X", most + 1) + "--", 0},
        // Header lines count too: parts of 999 lines each (a part's block stays small).
        {"multipart/form-data; boundary=X", "--X" + repeat(part999, most / 1000) + "--", most / 1000},
        {"multipart/form-data; boundary=X", "--X\r\na:b" + repeat(part999, most / 1000) + "--", 0},
    };
    for (const auto& [type, body, count] : cases) {
        const HttpRequest request = withBody(type, body);
        const std::size_t found = type.starts_with("multipart") ? request.parseMultiPartFormData().size()
                                                                : request.parseUrlencodedForm().size();
        EXPECT_EQ(found, count) << type << ", " << body.size() << " bytes";
    }
}

TEST(HttpRequest, PartHeaderLinesLongerThanARequestHeaderLineReadAsNoForm) {
    const std::size_t most = httplimits::maxHeaderLineBytes;  // bytes before the line feed, CR included
    const auto header = [](std::size_t bytes, char fill) { return "x:" + std::string(bytes - 2, fill) + "\n"; };
    const std::string rest = "\r\nhi\r\n--X--\r\n";
    const std::string lone(4 << 20, '\xE9');  // megabytes without a line feed
    // Header line `i` of `bytes` bytes, line feed included.
    const auto line = [](std::size_t i, std::size_t bytes, char fill) {
        const std::string name = "h" + std::to_string(i) + ":";
        return name + std::string(bytes - name.size() - 1, fill) + "\n";
    };
    // Header lines of `bytes` in all, the blank line that ends them included.
    const auto block = [&](std::size_t bytes, char fill = 'a', std::size_t each = 60000) {
        std::string lines;
        for (std::size_t i = 0; lines.size() + 2 < bytes; ++i)
            lines += line(i, std::min(each, bytes - 2 - lines.size()), fill);
        return lines;
    };
    const std::tuple<const char*, std::string, std::size_t> cases[] = {
        {"at the limit", "--X\r\n" + header(most, 'a') + rest, 1},
        {"one byte over", "--X\r\n" + header(most + 1, 'a') + rest, 0},
        {"Latin-1 at the limit", "--X\r\n" + header(most, '\xE9') + rest, 1},
        {"Latin-1 over", "--X\r\n" + header(most + 1, '\xE9') + rest, 0},
        {"second part over", "--X\r\n\r\na\r\n--X\r\n" + header(most + 1, 'a') + rest, 0},
        {"no line feed", "--X\r\n" + lone, 0},
        {"no line feed after the opening", "--X" + lone, 0},
        {"rest of a delimiter's line", "--X\r\n\r\na\r\n--X" + lone, 1},
        {"after the closing delimiter", "--X\r\n\r\na\r\n--X--\r\n" + lone, 1},
        {"long first line", lone + "\n--X\r\n\r\na\r\n--X--", 0},
        // A part's header block is bounded like a request's (lines of 60,000 bytes here).
        {"block at the limit", "--X\r\n" + block(httplimits::maxHeaderBytes) + rest, 1},
        {"block one byte over", "--X\r\n" + block(httplimits::maxHeaderBytes + 1) + rest, 0},
        {"block of 100 Latin-1 lines", "--X\r\n" + block(100 * 60000 + 2, '\xE9') + rest, 0},
    };
    for (const auto& [name, body, count] : cases) {
        klarion::testing::LargestAllocation largest;
        EXPECT_EQ(HttpRequest::parseMultiPartBody(asBytes(body), "--X").size(), count) << name;
        // A line's Latin-1 reading takes up to two bytes per byte, and a NUL.
        EXPECT_LE(largest.bytes(), 2 * most + 1) << name;
    }
}

TEST(HttpRequest, MultipartFormRefusals) {
    const std::string body = "--X\r\n\r\nhello\r\n--X--\r\n";
    const std::tuple<std::string, std::string, size_t> cases[] = {
        {"multipart/form-data; boundary=X", body, 1},
        {"multipart/form-data; boundary=X", "preamble\r\n" + body, 0},
        {"multipart/form-data", body, 0},
        {"multipart/form-data; boundary=", body, 0},
        {"text/plain; boundary=X", body, 0},
        {"multipart/form-data; boundary=\"X\"", body, 1},  // a quoted boundary is its content
        {"multipart/form-data; boundary=\"X\"", "--\"X\"\r\n\r\nhi\r\n--\"X\"--\r\n", 0},
        {"multipart/form-data; boundary=X", "--X\r\n\r\nunfinished", 0},  // cut off before its delimiter
        {"multipart/form-data; boundary=----=_Part_0_1", "------=_Part_0_1\r\n\r\nhi\r\n------=_Part_0_1--", 1},
        {"multipart/form-data; boundary=\"----=_Part_0_1\"", "------=_Part_0_1\r\n\r\nhi\r\n------=_Part_0_1--", 1},
        {"multipart/form-data; boundary=\"a;b\"", "--a;b\r\n\r\nhi\r\n--a;b--", 1},
        {"multipart/form-data; boundary=\"\"", body, 0},
        // The closing delimiter ends the form: what looks like a part after it is the epilogue.
        {"multipart/form-data; boundary=X",
         body + "--X\r\nContent-Disposition: form-data; name=\"f\"; filename=\"evil.txt\"\r\n\r\nx\r\n--X--", 1},
        {"multipart/form-data; charset=UTF-8; boundary = X ", body, 1},
        {"multipart/form-data; boundary=Y; boundary=X", body, 1},  // the last one counts
    };
    for (const auto& [type, text, count] : cases) {
        const HttpRequest request = withBody(type, text);
        EXPECT_EQ(request.parseMultiPartFormData().size(), count) << type << " / " << text;
    }
}
