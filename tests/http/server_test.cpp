#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "http/core/server.h"

using namespace klarion;

TEST(HttpServerSmoke, AnswersOnLoopback) {
    HttpServer server;
    server["/hello"] = [](HttpRequest&) { return HttpResponse::ok(HttpResponseBody::text("hi")); };
    server.start(0);
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(server.port());
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
    std::string req = "GET /hello HTTP/1.1\r\nHost: x\r\n\r\n";
    ::send(fd, req.data(), req.size(), 0);
    std::string got;
    char buf[512];
    ssize_t n;
    while ((n = ::recv(fd, buf, sizeof buf, 0)) > 0) got.append(buf, n);
    ::close(fd);
    EXPECT_EQ(got, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nServer: Klarion 1.4\r\n\r\nhi");
    server.stop();
}
