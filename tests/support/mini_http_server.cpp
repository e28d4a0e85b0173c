#include "tests/support/mini_http_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

namespace klarion {

namespace {

constexpr std::size_t kMaxHead = 1 << 20;
constexpr std::size_t kMaxBody = std::size_t{256} << 20;

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]);
        unsigned char y = static_cast<unsigned char>(b[i]);
        if (std::tolower(x) != std::tolower(y)) return false;
    }
    return true;
}

std::string trim(std::string_view s) {
    std::size_t b = 0;
    std::size_t e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
    return std::string(s.substr(b, e - b));
}

void signal(int efd) {
    std::uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(efd, &one, sizeof one);
}

void drain(int efd) {
    std::uint64_t value = 0;
    [[maybe_unused]] auto n = ::read(efd, &value, sizeof value);
}

// Parses the head (request line and headers, without the blank line). Empty optional on error,
// with `what` saying why.
std::optional<MiniHttpRequest> parseHead(std::string_view head, std::string& what) {
    MiniHttpRequest req;
    std::size_t lineEnd = head.find("\r\n");
    std::string_view line = head.substr(0, lineEnd);
    std::size_t s1 = line.find(' ');
    std::size_t s2 = s1 == std::string_view::npos ? s1 : line.find(' ', s1 + 1);
    if (s1 == std::string_view::npos || s2 == std::string_view::npos ||
        line.find(' ', s2 + 1) != std::string_view::npos || s1 == 0 || s2 == s1 + 1) {
        what = "bad request line \"" + std::string(line) + "\"";
        return std::nullopt;
    }
    req.method = std::string(line.substr(0, s1));
    req.target = std::string(line.substr(s1 + 1, s2 - s1 - 1));
    req.version = std::string(line.substr(s2 + 1));
    if (req.version.rfind("HTTP/1.", 0) != 0) {
        what = "bad HTTP version \"" + req.version + "\"";
        return std::nullopt;
    }
    std::size_t q = req.target.find('?');
    req.path = req.target.substr(0, q);
    if (q != std::string::npos) req.query = req.target.substr(q + 1);

    std::size_t pos = lineEnd == std::string_view::npos ? head.size() : lineEnd + 2;
    while (pos < head.size()) {
        std::size_t end = head.find("\r\n", pos);
        if (end == std::string_view::npos) end = head.size();
        std::string_view h = head.substr(pos, end - pos);
        std::size_t colon = h.find(':');
        if (colon == std::string_view::npos || colon == 0 || h[0] == ' ' || h[0] == '\t' ||
            h.substr(0, colon).find_first_of(" \t") != std::string_view::npos) {
            what = "bad header line \"" + std::string(h) + "\"";
            return std::nullopt;
        }
        req.headers.emplace_back(std::string(h.substr(0, colon)), trim(h.substr(colon + 1)));
        pos = end + 2;
    }
    return req;
}

}  // namespace

const std::string* MiniHttpRequest::header(std::string_view name) const {
    for (const auto& [n, v] : headers) {
        if (equalsIgnoreCase(n, name)) return &v;
    }
    return nullptr;
}

std::size_t MiniHttpRequest::headerCount(std::string_view name) const {
    std::size_t count = 0;
    for (const auto& h : headers) {
        if (equalsIgnoreCase(h.first, name)) ++count;
    }
    return count;
}

// ---- MiniHttpConnection ----

const char* MiniHttpConnection::reason(int status) {
    switch (status) {
        case 200: return "OK";
        case 201: return "Created";
        case 202: return "Accepted";
        case 204: return "No Content";
        case 400: return "Bad Request";
        case 401: return "Unauthorized";
        case 403: return "Forbidden";
        case 404: return "Not Found";
        case 405: return "Method Not Allowed";
        case 413: return "Payload Too Large";
        case 422: return "Unprocessable Entity";
        case 500: return "Internal Server Error";
        case 502: return "Bad Gateway";
        case 503: return "Service Unavailable";
        default: return "Status";
    }
}

bool MiniHttpConnection::send(std::string_view bytes) {
    while (!bytes.empty()) {
        if (fd_ < 0 || server_.stopping()) return false;
        ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

static std::string statusLineAndHeaders(int status, std::string_view contentType,
                                        const std::vector<std::pair<std::string, std::string>>& extra, bool keepAlive) {
    std::string out = "HTTP/1.1 " + std::to_string(status) + " " + MiniHttpConnection::reason(status) + "\r\n";
    if (!contentType.empty()) out += "Content-Type: " + std::string(contentType) + "\r\n";
    for (const auto& [n, v] : extra) out += n + ": " + v + "\r\n";
    out += keepAlive ? "Connection: keep-alive\r\n" : "Connection: close\r\n";
    return out;
}

bool MiniHttpConnection::sendResponse(int status, std::string_view contentType, std::string_view body,
                                      const std::vector<std::pair<std::string, std::string>>& extra) {
    std::string out = statusLineAndHeaders(status, contentType, extra, keepAlive_);
    out += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n";
    out.append(body);
    return send(out);
}

bool MiniHttpConnection::beginChunked(int status, std::string_view contentType,
                                      const std::vector<std::pair<std::string, std::string>>& extra) {
    std::string out = statusLineAndHeaders(status, contentType, extra, keepAlive_);
    out += "Transfer-Encoding: chunked\r\n\r\n";
    return send(out);
}

bool MiniHttpConnection::sendChunk(std::string_view bytes) {
    if (bytes.empty()) return fd_ >= 0;
    char size[32];
    std::snprintf(size, sizeof size, "%zx\r\n", bytes.size());
    std::string out = size;
    out.append(bytes);
    out += "\r\n";
    return send(out);
}

bool MiniHttpConnection::endChunked() { return send("0\r\n\r\n"); }

void MiniHttpConnection::closeNow() {
    if (fd_ < 0) return;
    int fd = fd_;
    fd_ = -1;
    server_.forget(fd);
    ::shutdown(fd, SHUT_WR);
    ::close(fd);
}

void MiniHttpConnection::resetNow() {
    if (fd_ < 0) return;
    int fd = fd_;
    fd_ = -1;
    server_.forget(fd);
    linger lg{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    ::close(fd);
}

void MiniHttpConnection::release() { closeNow(); }

bool MiniHttpConnection::sleepFor(std::chrono::milliseconds duration) {
    auto deadline = std::chrono::steady_clock::now() + duration;
    while (!server_.stopping()) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return true;
        pollfd p{server_.stopFd_, POLLIN, 0};
        ::poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 1000)));
    }
    return false;
}

void MiniHttpConnection::waitForPeerOrStop() {
    while (fd_ >= 0 && !server_.stopping()) {
        pollfd p[2] = {{fd_, POLLIN | POLLRDHUP, 0}, {server_.stopFd_, POLLIN, 0}};
        int n = ::poll(p, 2, -1);
        if (n < 0 && errno == EINTR) continue;
        if (n != 0) return;
    }
}

// ---- MiniHttpServer ----

MiniHttpServer::MiniHttpServer(Handler handler, MalformedHandler onMalformed)
    : handler_(std::move(handler)), onMalformed_(std::move(onMalformed)) {}

MiniHttpServer::~MiniHttpServer() {
    stop();
    if (stopFd_ >= 0) ::close(stopFd_);
    if (controlFd_ >= 0) ::close(controlFd_);
}

bool MiniHttpServer::openListener(std::uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 128) != 0) {
        ::close(fd);
        return false;
    }
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    listenFd_ = fd;
    return true;
}

bool MiniHttpServer::start(std::uint16_t port) {
    if (started_) return false;
    stopFd_ = ::eventfd(0, EFD_CLOEXEC);
    controlFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stopFd_ < 0 || controlFd_ < 0 || !openListener(port)) return false;
    started_ = true;
    acceptThread_ = std::thread([this] { acceptLoop(); });
    return true;
}

void MiniHttpServer::stop() {
    if (!started_ || stopping_.exchange(true)) return;
    signal(stopFd_);
    {
        std::lock_guard<std::mutex> lock(mu_);
        cv_.notify_all();
    }
    if (acceptThread_.joinable()) acceptThread_.join();
    {
        std::lock_guard<std::mutex> lock(mu_);
        for (int fd : openFds_) ::shutdown(fd, SHUT_RDWR);
    }
    reapWorkers(true);
}

bool MiniHttpServer::setRefusing(bool refusing) {
    std::unique_lock<std::mutex> lock(mu_);
    if (!started_ || stopping()) return false;
    wantRefusing_ = refusing;
    const std::uint64_t ticket = ++refusalRequests_;
    signal(controlFd_);
    cv_.wait(lock, [&] { return refusalApplied_ >= ticket || stopping(); });
    return refusing || !relistenFailed_;
}

void MiniHttpServer::forget(int fd) {
    std::lock_guard<std::mutex> lock(mu_);
    openFds_.erase(fd);
}

void MiniHttpServer::reapWorkers(bool all) {
    std::list<Worker> finished;
    {
        std::lock_guard<std::mutex> lock(mu_);
        for (auto it = workers_.begin(); it != workers_.end();) {
            if (all || it->done->load()) {
                finished.splice(finished.end(), workers_, it++);
            } else {
                ++it;
            }
        }
    }
    for (auto& w : finished) w.thread.join();
}

void MiniHttpServer::acceptLoop() {
    while (!stopping()) {
        {
            std::lock_guard<std::mutex> lock(mu_);
            if (refusalApplied_ != refusalRequests_) {
                if (wantRefusing_ && listenFd_ >= 0) {
                    ::close(listenFd_);
                    listenFd_ = -1;
                    // Like a program that quit: its kept-alive connections close too.
                    for (int fd : openFds_) ::shutdown(fd, SHUT_RDWR);
                } else if (!wantRefusing_ && listenFd_ < 0) {
                    relistenFailed_ = !openListener(port_);
                }
                refusing_ = wantRefusing_;
                refusalApplied_ = refusalRequests_;
                cv_.notify_all();
            }
        }
        pollfd p[3] = {{stopFd_, POLLIN, 0}, {controlFd_, POLLIN, 0}, {listenFd_, POLLIN, 0}};
        int n = ::poll(p, listenFd_ >= 0 ? 3 : 2, -1);
        if (n < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (p[0].revents != 0) break;
        if (p[1].revents != 0) drain(controlFd_);
        if (listenFd_ >= 0 && (p[2].revents & POLLIN) != 0) {
            int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            auto done = std::make_shared<std::atomic<bool>>(false);
            {
                std::lock_guard<std::mutex> lock(mu_);
                openFds_.insert(fd);
                const std::uint64_t id = ++connections_;
                workers_.push_back(Worker{std::thread([this, fd, id, done] {
                                              serve(fd, id);
                                              done->store(true);
                                          }),
                                          done});
            }
            reapWorkers(false);
        }
    }
    if (listenFd_ >= 0) {
        ::close(listenFd_);
        listenFd_ = -1;
    }
}

void MiniHttpServer::serve(int fd, std::uint64_t id) {
    MiniHttpConnection conn(*this, fd, id);
    std::string buf;
    auto readMore = [&]() -> bool {
        char chunk[16384];
        while (conn.open() && !stopping()) {
            pollfd p[2] = {{fd, POLLIN, 0}, {stopFd_, POLLIN, 0}};
            int n = ::poll(p, 2, -1);
            if (n < 0) {
                if (errno == EINTR) continue;
                return false;
            }
            if (p[1].revents != 0) return false;
            ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) return false;
            buf.append(chunk, static_cast<std::size_t>(got));
            return true;
        }
        return false;
    };
    auto malformed = [&](const std::string& what) {
        if (onMalformed_) onMalformed_(what);
        conn.setKeepAlive(false);
        conn.sendResponse(400, "text/plain", "bad request\n");
        conn.closeNow();
    };

    while (conn.open() && !stopping()) {
        std::size_t headEnd;
        while ((headEnd = buf.find("\r\n\r\n")) == std::string::npos) {
            if (buf.size() > kMaxHead) {
                malformed("request head larger than 1 MiB");
                return;
            }
            if (!readMore()) {
                if (!buf.empty() && onMalformed_) onMalformed_("connection ended inside a request head");
                conn.release();
                return;
            }
        }
        std::string what;
        auto parsed = parseHead(std::string_view(buf).substr(0, headEnd), what);
        if (!parsed) {
            malformed(what);
            return;
        }
        MiniHttpRequest req = std::move(*parsed);
        req.received = std::chrono::system_clock::now();
        if (req.header("Transfer-Encoding") != nullptr) {
            malformed("request body with Transfer-Encoding \"" + *req.header("Transfer-Encoding") + "\"");
            return;
        }
        std::size_t length = 0;
        if (const std::string* cl = req.header("Content-Length")) {
            char* end = nullptr;
            errno = 0;
            unsigned long long v = std::strtoull(cl->c_str(), &end, 10);
            if (cl->empty() || *end != '\0' || errno != 0 || v > kMaxBody || req.headerCount("Content-Length") > 1) {
                malformed("bad Content-Length \"" + *cl + "\"");
                return;
            }
            length = static_cast<std::size_t>(v);
        }
        const std::size_t bodyStart = headEnd + 4;
        while (buf.size() < bodyStart + length) {
            if (!readMore()) {
                if (onMalformed_) onMalformed_("connection ended inside a request body");
                conn.release();
                return;
            }
        }
        req.body = buf.substr(bodyStart, length);
        buf.erase(0, bodyStart + length);

        const std::string* connection = req.header("Connection");
        bool keep = req.version == "HTTP/1.1" && !(connection && equalsIgnoreCase(*connection, "close"));
        conn.setKeepAlive(keep);
        handler_(req, conn);
        if (!conn.keepAlive_) conn.closeNow();
    }
    conn.release();
}

}  // namespace klarion
