#include "tests/api/api_test_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <sstream>

#include "platform/preferences.h"

namespace klarion::test {

TestContext::TestContext() {
    auto preferences = std::make_shared<PreferenceStore>(home.path() / ".config/klarion/preferences.json");
    StateContext state;
    state.config = std::make_shared<AppConfig>(preferences);
    state.logger = std::make_shared<AppLogger>(queue, clock);
    state.logger->setEnabled(true);
    state.folder = ConfigFolder(home.documents());
    state.queue = queue;
    state.clock = clock;
    context = ClassroomContext::make(state);
    // No LM Studio: an address that forms no URL, so the gateway's routes send nothing.
    context->lmStudio = std::make_shared<const LmStudioClient>("no LM Studio in these tests");
}

TestContext::~TestContext() { queue->drain(); }

std::vector<std::string> TestContext::journal() {
    queue->drain();
    std::vector<std::string> messages;
    for (const auto& entry : context->state.logger->entries()) messages.push_back(entry.message);
    return messages;
}

std::string TestContext::pinBody(const std::string& extra) {
    return R"({"pin":")" + config().teacherPinCode() + "\"" + (extra.empty() ? "" : "," + extra) + "}";
}

void TestContext::establishment(bool aliceSession) {
    config().setAppMode("establishment");
    config().setTeachers({kAlice, kBruno});
    if (aliceSession) {
        config().setActiveTeacherId(kAlice.id);
        config().setActiveTeacherName(kAlice.name);
    }
}

RouteReply replyOf(const HttpResponse& response) {
    RouteReply reply;
    reply.status = response.statusCode();
    MemoryBodyWriter writer;
    auto content = response.content();
    if (content.writer) content.writer(writer);
    reply.body = writer.text();
    const auto headers = response.headers();
    if (auto it = headers.find("Content-Type"); it != headers.end()) reply.contentType = it->second;
    return reply;
}

HttpRequest postRequest(const std::string& body, std::optional<std::string> address) {
    HttpRequest request;
    request.method = "POST";
    request.path = "/api/test";
    request.headers["content-type"] = "application/json";
    request.body = utf8Bytes(body);
    request.address = std::move(address);
    return request;
}

HttpReply httpRequest(uint16_t port, const std::string& method, const std::string& target, const std::string& body) {
    HttpReply reply;
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return reply;
    timeval timeout{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string raw;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        std::string request = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n";
        if (!body.empty()) request += "Content-Type: application/json\r\n";
        request += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
        size_t sent = 0;
        for (ssize_t n = 0; sent < request.size(); sent += static_cast<size_t>(n)) {
            n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) break;
        }
        char buffer[65536];
        for (ssize_t n; sent == request.size() && (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) {
            raw.append(buffer, static_cast<size_t>(n));
        }
    }
    ::close(fd);

    const auto headEnd = raw.find("\r\n\r\n");
    if (headEnd == std::string::npos) return reply;
    std::istringstream head(raw.substr(0, headEnd));
    std::string line, version;
    std::getline(head, line);
    std::istringstream(line) >> version >> reply.status;
    while (std::getline(head, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const auto colon = line.find(':');
        if (colon == std::string::npos) continue;
        std::string name = line.substr(0, colon);
        for (auto& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        const auto start = line.find_first_not_of(' ', colon + 1);
        reply.headers[name] = start == std::string::npos ? "" : line.substr(start);
    }
    reply.body = raw.substr(headEnd + 4);
    const auto length = reply.headers.find("content-length");
    reply.ok = length == reply.headers.end() || reply.body.size() == std::stoul(length->second);
    return reply;
}

}  // namespace klarion::test
