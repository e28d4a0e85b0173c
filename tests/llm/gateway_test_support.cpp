#include "tests/llm/gateway_test_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <ostream>
#include <sstream>
#include <thread>

#include "platform/preferences.h"

namespace klarion::gateway_test {

using namespace std::chrono_literals;

LmStudioTimeouts shortTimeouts() {
    return {.statusProbe = 2000ms, .startPrecheck = 2000ms, .contextQuery = 2000ms, .modelLists = 2000ms,
            .loadedInstances = 2000ms, .unload = 2000ms, .load = 3000ms, .safetyVerdict = 2000ms, .streamIdle = 3000ms};
}

void PrintTo(const JournalLine& line, std::ostream* os) { *os << "[" << toString(line.level) << "] " << line.message; }

TestState::TestState() {
    config = std::make_shared<AppConfig>(std::make_shared<PreferenceStore>(home.root() / "preferences.json"));
    logger = std::make_shared<AppLogger>(queue, clock);
    logger->setEnabled(true);
    state = StateContext{config, logger, ConfigFolder(home.root() / "Documents"), queue, clock};
}

TestState::~TestState() { queue->drain(); }

std::vector<JournalLine> TestState::journal() {
    queue->drain();
    std::vector<JournalLine> lines;
    for (const AppLogEntry& e : logger->entries()) lines.push_back({e.level, e.message});
    return lines;
}

std::vector<std::string> TestState::journalMessages() {
    std::vector<std::string> out;
    for (auto& line : journal()) out.push_back(line.message);
    return out;
}

FakeWithClient::FakeWithClient(LmStudioTimeouts timeouts) {
    fake.start();
    client = std::make_shared<const LmStudioClient>(fake.baseUrl(), timeouts);
}

void GatewayTest::TearDown() { EXPECT_THAT(lm.fake.violations(), ::testing::IsEmpty()); }

std::string lastEmitted(const FakeLmStudio& fake, std::string_view path) {
    const auto requests = fake.requestsTo(path);
    return requests.empty() ? std::string() : requests.back().emitted;
}

std::string httpPost(const std::string& target, const std::string& body) {
    return "POST " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

RawConnection::RawConnection(uint16_t port) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd_ >= 0 && ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) close();
}

bool RawConnection::send(const std::string& bytes) {
    for (std::size_t sent = 0; sent < bytes.size();) {
        const ssize_t n = fd_ < 0 ? -1 : ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

std::string RawConnection::readUntil(const std::string& bytes, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (fd_ >= 0 && !peerClosed_ && (bytes.empty() || received_.find(bytes) == std::string::npos)) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p{fd_, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
        char buffer[16384];
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        if (n < 0) break;
        received_.append(buffer, static_cast<std::size_t>(n));
        peerClosed_ = n == 0;
    }
    return received_;
}

void RawConnection::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

HttpExchange roundTrip(uint16_t port, const std::string& request) {
    HttpExchange result;
    RawConnection connection(port);
    if (!connection.send(request)) return result;
    const std::string raw = connection.readUntil("", 30s);
    result.complete = connection.peerClosed();
    const std::size_t headEnd = raw.find("\r\n\r\n");
    if (headEnd == std::string::npos) return result;
    result.body = raw.substr(headEnd + 4);
    std::istringstream head(raw.substr(0, headEnd));
    std::string line, version;
    std::getline(head, line);
    std::istringstream(line) >> version >> result.status;
    while (std::getline(head, line)) {
        const std::size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        std::string name = line.substr(0, colon);
        for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        const std::size_t value = line.find_first_not_of(' ', colon + 1);
        result.headers[name] = value == std::string::npos ? "" : line.substr(value, line.find_last_not_of('\r') + 1 - value);
    }
    return result;
}

bool eventually(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

}  // namespace klarion::gateway_test
