#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>

#include "http/core/file_utils.h"
#include "http/core/parser.h"
#include "socket_pair.h"

using namespace klarion;
using klarion::testing::SocketPair;

namespace {

HttpRequest parse(std::string_view bytes) {
    SocketPair pair;
    pair.send(bytes);
    return HttpParser().readHttpRequest(*pair.socket);
}

HttpParserError::Kind parseErrorOf(std::string_view bytes) {
    try {
        parse(bytes);
    } catch (const HttpParserError& e) {
        return e.kind();
    }
    ADD_FAILURE() << "no parser error for: " << bytes;
    return HttpParserError::Kind::invalidStatusLine;
}

}  // namespace

// ---- socket reads and writes ----

TEST(Socket, ReadLineDropsControlBytesAndReadsBytesAsCharacters) {
    SocketPair pair;
    pair.send("Host: a\tb\r\n\xC3\xA9\nlast");
    EXPECT_EQ(pair.socket->readLine(), "Host: ab");
    EXPECT_EQ(pair.socket->readLine(), "\xC3\x83\xC2\xA9");  // U+00C3 U+00A9
    EXPECT_THROW(pair.socket->readLine(), SocketError);       // the stream ends before a line feed
}

TEST(Socket, ReadLengthIsExactAndFailsOnEarlyEnd) {
    SocketPair pair;
    pair.send("abcdef");
    EXPECT_TRUE(pair.socket->readLength(0).empty());
    EXPECT_EQ(pair.socket->readLength(4), (Bytes{'a', 'b', 'c', 'd'}));
    try {
        pair.socket->readLength(5);
        FAIL();
    } catch (const SocketError& e) {
        EXPECT_EQ(e.kind(), SocketError::Kind::recvFailed);
    }
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

TEST(Socket, CloseHappensOnce) {
    SocketPair pair;
    int fd = pair.socket->fd();
    pair.socket->close();
    EXPECT_TRUE(pair.socket->isClosed());
    // Reuse the number for something else: a second close must not touch it.
    int other = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(other, fd);
    pair.socket->close();
    pair.socket.reset();  // the destructor does not close it again either
    EXPECT_NE(::fcntl(other, F_GETFD), -1);
    ::close(other);
}

// The server stops a connection with shutdownIO() from one thread while the
// connection's own thread may be closing it. The shutdown must never land on
// the descriptor that took the freed number in between.
TEST(Socket, ShutdownRacingCloseNeverHitsTheNextDescriptor) {
    std::atomic<Socket*> target{nullptr};
    std::atomic<bool> finished{false};
    std::thread waker([&] {
        while (!finished.load()) {
            Socket* socket = target.load();
            if (socket == nullptr) {
                std::this_thread::yield();
                continue;
            }
            socket->shutdownIO();
            target.store(nullptr);
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
    std::uint16_t port = listener->port();
    EXPECT_NE(port, 0);

    int before = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ::close(before);
    try {
        Socket::openListening(port, false);
        FAIL() << "binding a port in use must fail";
    } catch (const SocketError& e) {
        EXPECT_EQ(e.kind(), SocketError::Kind::bindFailed);
        EXPECT_EQ(e.message(), std::strerror(EADDRINUSE));
    }
    int after = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    EXPECT_EQ(after, before) << "the failed attempt left a descriptor open";
    ::close(after);

    auto four = Socket::openListening(0, true);
    EXPECT_TRUE(four->isIPv4());
    EXPECT_EQ(::fcntl(four->fd(), F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
}

TEST(Socket, PlaceholderHasNoName) {
    Socket placeholder(-1);
    EXPECT_THROW(placeholder.port(), SocketError);
}

// ---- the request parser ----

TEST(HttpParser, RequestLineAndTarget) {
    struct Case {
        const char* line;
        const char* method;
        const char* path;
        NameValueList query;
    };
    const Case cases[] = {
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
        EXPECT_EQ(r.method, c.method) << c.line;
        EXPECT_EQ(r.path, c.path) << c.line;
        EXPECT_EQ(r.queryParams, c.query) << c.line;
        EXPECT_FALSE(r.address.has_value());
        EXPECT_TRUE(r.params.empty());
    }
}

TEST(HttpParser, InvalidRequestLine) {
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
        "GET / HTTP/1.1\r\n"
        "Host: a:8080\r\n"
        "host: b\r\n"
        "X-Flag\r\n"
        ":value-only\r\n"
        ":::\r\n"
        "X-Spaces: \t padded \t\r\n"
        "X-Empty:\r\n"
        "X-Colons: a:b:c\r\n"
        "\r\n");
    const HttpHeaders expected{
        {"host", "b"},           {"x-flag", "X-Flag"},   {"value-only", "value-only"},
        {"x-spaces", "padded"},  {"x-empty", "X-Empty"}, {"x-colons", "a:b:c"},
    };
    EXPECT_EQ(r.headers, expected);
}

TEST(HttpParser, ContentLength) {
    struct Case {
        const char* value;
        const char* body;
        const char* expectedBody;
    };
    const Case cases[] = {
        {"3", "abcdef", "abc"},
        {"+3", "abc", "abc"},
        {"0", "", ""},
        {"abc", "xyz", ""},
        {"5x", "xyz", ""},
        {"", "xyz", ""},
    };
    for (const auto& c : cases) {
        HttpRequest r = parse(std::string("POST / HTTP/1.1\r\nContent-Length: ") + c.value + "\r\n\r\n" + c.body);
        EXPECT_EQ(r.bodyText(), c.expectedBody) << c.value;
    }
    EXPECT_EQ(parseErrorOf("POST / HTTP/1.1\r\nContent-Length: -1\r\n\r\n"),
              HttpParserError::Kind::negativeContentLength);
    EXPECT_THROW(parse("POST / HTTP/1.1\r\nContent-Length: 10\r\n\r\nshort"), SocketError);
    // Lengths beyond 64 bits are refused, never read as "no body".
    EXPECT_EQ(parseErrorOf("POST / HTTP/1.1\r\nContent-Length: 9223372036854775808\r\n\r\nx"),
              HttpParserError::Kind::payloadTooLarge);
    EXPECT_EQ(parseErrorOf("POST / HTTP/1.1\r\nContent-Length: +99999999999999999999\r\n\r\nx"),
              HttpParserError::Kind::payloadTooLarge);
    EXPECT_EQ(parseErrorOf("POST / HTTP/1.1\r\nContent-Length: -9223372036854775809\r\n\r\nx"),
              HttpParserError::Kind::negativeContentLength);
}

TEST(HttpParser, Limits) {
    EXPECT_EQ(parseErrorOf("POST / HTTP/1.1\r\nContent-Length: 67108865\r\n\r\n"),
              HttpParserError::Kind::payloadTooLarge);
    EXPECT_EQ(parseErrorOf("GET /" + std::string(70 * 1024, 'a') + " HTTP/1.1\r\n\r\n"),
              HttpParserError::Kind::lineTooLong);
    std::string many = "GET / HTTP/1.1\r\n";
    for (int i = 0; i < 5000; ++i) many += "X-H" + std::to_string(i) + ": " + std::string(60, 'v') + "\r\n";
    many += "\r\n";
    SocketPair pair;
    std::thread writer([&] { pair.send(many); });
    try {
        HttpParser().readHttpRequest(*pair.socket);
        ADD_FAILURE() << "an oversized header block must be refused";
    } catch (const HttpParserError& e) {
        EXPECT_EQ(e.kind(), HttpParserError::Kind::headersTooLarge);
    }
    pair.socket->close();
    writer.join();

    // Exactly at the body limit the length is accepted (nothing is reserved up front).
    SocketPair exact;
    exact.send("POST / HTTP/1.1\r\nContent-Length: 67108864\r\n\r\nabc");
    EXPECT_THROW(HttpParser().readHttpRequest(*exact.socket), SocketError);
}

TEST(HttpParser, PipelinedRequestsAndExtraBodyBytes) {
    SocketPair pair;
    pair.send("POST /a HTTP/1.1\r\nContent-Length: 2\r\n\r\nhiGET /b HTTP/1.1\r\n\r\n");
    HttpParser parser;
    HttpRequest first = parser.readHttpRequest(*pair.socket);
    EXPECT_EQ(first.bodyText(), "hi");
    HttpRequest second = parser.readHttpRequest(*pair.socket);
    EXPECT_EQ(second.method, "GET");
    EXPECT_EQ(second.path, "/b");
}

TEST(HttpParser, KeepAliveDecision) {
    const std::pair<const char*, bool> cases[] = {
        {"keep-alive", true},    {"keep-alive ", true}, {"Keep-Alive", false},
        {"keep-alive, Upgrade", false}, {"close", false},
    };
    for (const auto& [value, expected] : cases) {
        EXPECT_EQ(HttpParser::wantsKeepAlive({{"connection", value}}), expected) << value;
    }
    EXPECT_FALSE(HttpParser::wantsKeepAlive({}));
}

TEST(Socket, SendFileSendsTheWholeFileFromItsStart) {
    char path[] = "/tmp/klarion-sendfile-XXXXXX";
    int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    const std::string content(200 * 1024, 'f');  // larger than one socket buffer
    ASSERT_EQ(::write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    ::close(fd);
    auto file = openForReading(path);
    std::vector<std::uint8_t> skip(10);
    file->read(skip);
    SocketPair pair;
    std::string received;
    std::thread reader([&] { received = pair.receiveAll(); });
    pair.socket->sendFile(*file);
    pair.socket->close();
    reader.join();
    EXPECT_EQ(received.size(), content.size());
    file->close();
    std::remove(path);
}
