#include "tests/api/api_test_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>

#include "platform/preferences.h"
#include "platform/random.h"

namespace klarion::test {

namespace {

const char* const kHomeVariables[] = {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME",
                                      "XDG_STATE_HOME"};

std::string lower(std::string text) {
    for (auto& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

}  // namespace

ScratchHome::ScratchHome() {
    path_ = std::filesystem::temp_directory_path() / ("klarion-api-test-" + randomUUIDString());
    std::filesystem::create_directories(path_ / "Documents");
    std::filesystem::create_directories(path_ / ".config");
    for (const char* name : kHomeVariables) {
        const char* value = std::getenv(name);
        saved_[name] = value ? std::optional<std::string>(value) : std::nullopt;
    }
    setenv("HOME", path_.c_str(), 1);
    setenv("XDG_CONFIG_HOME", (path_ / ".config").c_str(), 1);
    setenv("XDG_DATA_HOME", (path_ / ".local/share").c_str(), 1);
    setenv("XDG_CACHE_HOME", (path_ / ".cache").c_str(), 1);
    setenv("XDG_STATE_HOME", (path_ / ".local/state").c_str(), 1);
}

ScratchHome::~ScratchHome() {
    for (const auto& [name, value] : saved_) {
        if (value) {
            setenv(name.c_str(), value->c_str(), 1);
        } else {
            unsetenv(name.c_str());
        }
    }
    std::error_code error;
    std::filesystem::remove_all(path_, error);
}

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
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return reply;
    }
    std::string request = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n";
    if (!body.empty()) request += "Content-Type: application/json\r\n";
    request += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    for (size_t sent = 0; sent < request.size();) {
        ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            ::close(fd);
            return reply;
        }
        sent += static_cast<size_t>(n);
    }
    std::string raw;
    char buffer[65536];
    for (;;) {
        ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        raw.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);

    const auto headEnd = raw.find("\r\n\r\n");
    if (headEnd == std::string::npos) return reply;
    std::istringstream head(raw.substr(0, headEnd));
    std::string line;
    std::getline(head, line);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::istringstream status(line);
    std::string version;
    status >> version >> reply.status;
    std::getline(status, reply.reason);
    if (!reply.reason.empty() && reply.reason.front() == ' ') reply.reason.erase(0, 1);
    while (std::getline(head, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const auto colon = line.find(':');
        if (colon == std::string::npos) continue;
        std::string value = line.substr(colon + 1);
        while (!value.empty() && value.front() == ' ') value.erase(0, 1);
        reply.headers[lower(line.substr(0, colon))] = value;
    }
    reply.body = raw.substr(headEnd + 4);
    if (auto it = reply.headers.find("content-length"); it != reply.headers.end()) {
        const size_t length = std::stoul(it->second);
        reply.ok = reply.body.size() == length;
    } else {
        reply.ok = true;
    }
    return reply;
}

}  // namespace klarion::test
