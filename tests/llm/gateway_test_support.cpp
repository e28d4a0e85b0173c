#include "tests/llm/gateway_test_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ostream>
#include <thread>

#include "platform/preferences.h"

namespace klarion::gateway_test {

using namespace std::chrono_literals;

LmStudioTimeouts shortTimeouts() {
    LmStudioTimeouts t;
    t.statusProbe = 2000ms;
    t.startPrecheck = 2000ms;
    t.contextQuery = 2000ms;
    t.modelLists = 2000ms;
    t.loadedInstances = 2000ms;
    t.unload = 2000ms;
    t.load = 3000ms;
    t.safetyVerdict = 2000ms;
    t.streamIdle = 3000ms;
    return t;
}

void PrintTo(const JournalLine& line, std::ostream* os) {
    *os << "[" << toString(line.level) << "] " << line.message;
}

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

namespace {

int connectLoopback(uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool sendAll(int fd, const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

constexpr ssize_t kTimedOut = -2;

// Reads what is available within `timeout`: the count, 0 at the peer's close,
// kTimedOut when nothing came, -1 on an error.
ssize_t readSome(int fd, std::string& into, std::chrono::milliseconds timeout) {
    pollfd p{fd, POLLIN, 0};
    int ready = ::poll(&p, 1, static_cast<int>(timeout.count()));
    if (ready == 0) return kTimedOut;
    if (ready < 0) return -1;
    char buffer[16384];
    ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n > 0) into.append(buffer, static_cast<std::size_t>(n));
    return n;
}

}  // namespace

HttpExchange roundTrip(uint16_t port, const std::string& request) {
    HttpExchange result;
    int fd = connectLoopback(port);
    if (fd < 0) return result;
    std::string raw;
    bool closed = false;
    if (sendAll(fd, request)) {
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        while (std::chrono::steady_clock::now() < deadline) {
            ssize_t n = readSome(fd, raw, 1000ms);
            if (n == 0) {
                closed = true;
                break;
            }
            if (n == -1) break;
        }
    }
    ::close(fd);
    const std::size_t headEnd = raw.find("\r\n\r\n");
    if (headEnd == std::string::npos) return result;
    const std::string head = raw.substr(0, headEnd);
    result.body = raw.substr(headEnd + 4);
    std::size_t lineEnd = head.find("\r\n");
    const std::string statusLine = head.substr(0, lineEnd);
    if (statusLine.size() >= 12) result.status = std::atoi(statusLine.substr(9, 3).c_str());
    while (lineEnd != std::string::npos) {
        std::size_t next = head.find("\r\n", lineEnd + 2);
        std::string line = head.substr(lineEnd + 2, next == std::string::npos ? std::string::npos : next - lineEnd - 2);
        std::size_t colon = line.find(':');
        if (colon != std::string::npos) {
            std::string name = line.substr(0, colon);
            for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            std::size_t v = line.find_first_not_of(' ', colon + 1);
            result.headers[name] = v == std::string::npos ? "" : line.substr(v);
        }
        lineEnd = next;
    }
    result.complete = closed;
    return result;
}

RawConnection::RawConnection(uint16_t port) : fd_(connectLoopback(port)) {}

RawConnection::~RawConnection() { close(); }

bool RawConnection::send(const std::string& bytes) { return fd_ >= 0 && sendAll(fd_, bytes); }

std::string RawConnection::readUntil(const std::string& bytes, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (fd_ >= 0 && received_.find(bytes) == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        const ssize_t n = readSome(fd_, received_, left);
        if (n == 0 || n == -1) break;
    }
    return received_;
}

void RawConnection::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
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
