#include "http/core/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "http/core/file.h"
#include "http/core/limits.h"

namespace klarion {

std::string Errno::description() { return std::strerror(errno); }

const char* SocketError::kindName(Kind kind) {
    switch (kind) {
        case Kind::socketCreationFailed: return "socketCreationFailed";
        case Kind::socketSettingReUseAddrFailed: return "socketSettingReUseAddrFailed";
        case Kind::bindFailed: return "bindFailed";
        case Kind::listenFailed: return "listenFailed";
        case Kind::writeFailed: return "writeFailed";
        case Kind::getPeerNameFailed: return "getPeerNameFailed";
        case Kind::getNameInfoFailed: return "getNameInfoFailed";
        case Kind::acceptFailed: return "acceptFailed";
        case Kind::recvFailed: return "recvFailed";
        case Kind::getSockNameFailed: return "getSockNameFailed";
        case Kind::convertingPeerNameFailed: return "convertingPeerNameFailed";
    }
    return "unknown";
}

namespace {

std::string textualForm(SocketError::Kind kind, const std::string& message) {
    if (kind == SocketError::Kind::convertingPeerNameFailed) return SocketError::kindName(kind);
    return SocketError::callForm(SocketError::kindName(kind), message);
}

[[noreturn]] void fail(SocketError::Kind kind) { throw SocketError(kind, Errno::description()); }

}  // namespace

SocketError::SocketError(Kind kind, std::string message) : KindedError(kind, message, textualForm(kind, message)) {}

void appendLatin1(std::string& line, std::uint8_t byte) {
    if (byte < 0x80) {
        line.push_back(static_cast<char>(byte));
    } else {
        line.push_back(static_cast<char>(0xC0 | (byte >> 6)));
        line.push_back(static_cast<char>(0x80 | (byte & 0x3F)));
    }
}

Socket::~Socket() { close(); }

std::shared_ptr<Socket> Socket::openListening(std::uint16_t port, bool forceIPv4, int backlog,
                                              std::optional<std::string> listenAddress) {
    int family = forceIPv4 ? AF_INET : AF_INET6;
    int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd == -1) fail(SocketError::Kind::socketCreationFailed);

    int one = 1;
    if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one)) == -1) {
        std::string text = Errno::description();
        closeDescriptor(fd);
        throw SocketError(SocketError::Kind::socketSettingReUseAddrFailed, text);
    }
    setNoSigPipe(fd);

    int bound;
    if (forceIPv4) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_ANY);
        if (listenAddress) ::inet_pton(AF_INET, listenAddress->c_str(), &address.sin_addr);
        bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    } else {
        // Dual stack, explicitly: IPv4 clients arrive as IPv4-mapped addresses
        // whatever the system's default for this option is.
        int zero = 0;
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof(zero));
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        address.sin6_port = htons(port);
        address.sin6_addr = in6addr_any;
        if (listenAddress) ::inet_pton(AF_INET6, listenAddress->c_str(), &address.sin6_addr);
        bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    }
    if (bound == -1) {
        std::string text = Errno::description();
        closeDescriptor(fd);
        throw SocketError(SocketError::Kind::bindFailed, text);
    }
    if (::listen(fd, backlog) == -1) {
        std::string text = Errno::description();
        closeDescriptor(fd);
        throw SocketError(SocketError::Kind::listenFailed, text);
    }
    return std::make_shared<Socket>(fd);
}

std::shared_ptr<Socket> Socket::acceptClient() {
    int fd = ::accept4(socketFileDescriptor, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd == -1) fail(SocketError::Kind::acceptFailed);
    setNoSigPipe(fd);
    return std::make_shared<Socket>(fd);
}

void Socket::close() {
    std::lock_guard<std::mutex> lock(closeMutex_);
    bool expected = false;
    if (shutdown.compare_exchange_strong(expected, true) && socketFileDescriptor >= 0) {
        closeDescriptor(socketFileDescriptor);
    }
}

void Socket::shutdownIO() {
    std::lock_guard<std::mutex> lock(closeMutex_);
    if (shutdown.load() || socketFileDescriptor < 0) return;
    if (auto notice = std::exchange(shutdownNotice_, nullptr)) notice();
    ::shutdown(socketFileDescriptor, SHUT_RDWR);
}

void Socket::setShutdownNotice(std::function<void()> notice) {
    std::lock_guard<std::mutex> lock(closeMutex_);
    shutdownNotice_ = std::move(notice);
}

std::uint16_t Socket::port() const {
    sockaddr_storage address{};
    socklen_t length = sizeof(address);
    if (::getsockname(socketFileDescriptor, reinterpret_cast<sockaddr*>(&address), &length) == -1) {
        fail(SocketError::Kind::getSockNameFailed);
    }
    if (address.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port);
    return ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
}

bool Socket::isIPv4() const {
    sockaddr_storage address{};
    socklen_t length = sizeof(address);
    if (::getsockname(socketFileDescriptor, reinterpret_cast<sockaddr*>(&address), &length) == -1) {
        fail(SocketError::Kind::getSockNameFailed);
    }
    return address.ss_family == AF_INET;
}

void Socket::writeUTF8(std::string_view text) { writeBuffer(text.data(), text.size()); }

void Socket::writeUInt8(ByteSpan bytes) { writeBuffer(bytes.data(), bytes.size()); }

void Socket::writeBuffer(const void* pointer, std::size_t length) { sendAll(pointer, length, 0); }

void Socket::writeAhead(std::string_view text) { sendAll(text.data(), text.size(), MSG_MORE); }

void Socket::sendAll(const void* pointer, std::size_t length, int flags) {
    const auto* bytes = static_cast<const std::uint8_t*>(pointer);
    std::size_t sent = 0;
    while (sent < length) {
        // MSG_NOSIGNAL: a peer that has gone gives EPIPE, never SIGPIPE.
        ssize_t n = ::send(socketFileDescriptor, bytes + sent, length - sent, MSG_NOSIGNAL | flags);
        if (n < 1) {
            if (n == -1 && errno == EINTR) continue;
            fail(SocketError::Kind::writeFailed);
        }
        sent += static_cast<std::size_t>(n);
    }
}

void Socket::writeTwo(ByteSpan first, ByteSpan second) {
    iovec parts[2] = {{const_cast<std::uint8_t*>(first.data()), first.size()},
                      {const_cast<std::uint8_t*>(second.data()), second.size()}};
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = 2;
    while (parts[0].iov_len + parts[1].iov_len > 0) {
        ssize_t n = ::sendmsg(socketFileDescriptor, &message, MSG_NOSIGNAL);
        if (n < 1) {
            if (n == -1 && errno == EINTR) continue;
            fail(SocketError::Kind::writeFailed);
        }
        // A partial send: drop what went from the front.
        auto sent = static_cast<std::size_t>(n);
        for (iovec& part : parts) {
            const std::size_t taken = std::min(sent, part.iov_len);
            part.iov_base = static_cast<std::uint8_t*>(part.iov_base) + taken;
            part.iov_len -= taken;
            sent -= taken;
        }
        if (parts[0].iov_len == 0) {
            message.msg_iov = parts + 1;
            message.msg_iovlen = 1;
        }
    }
}

void Socket::sendFile(File& file) {
    int in = file.pointer ? ::fileno(file.pointer) : -1;
    struct stat st;
    if (in == -1 || ::fstat(in, &st) == -1) {
        throw SocketError(SocketError::Kind::writeFailed, "sendfile: " + Errno::description());
    }
    // Linux sendfile sends at most a given count and may stop short, so it is
    // repeated until the whole file (from its first byte) has gone.
    off_t offset = 0;
    while (offset < st.st_size) {
        ssize_t n = ::sendfile(socketFileDescriptor, in, &offset, static_cast<std::size_t>(st.st_size - offset));
        if (n == -1) {
            if (errno == EINTR) continue;
            throw SocketError(SocketError::Kind::writeFailed, "sendfile: " + Errno::description());
        }
        if (n == 0) break;  // the file became shorter meanwhile
    }
}

void Socket::awaitReadDeadline() {
    if (!readDeadline_) return;
    for (;;) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(*readDeadline_ - std::chrono::steady_clock::now()).count();
        if (left <= 0) {
            errno = ETIMEDOUT;
            fail(SocketError::Kind::recvFailed);
        }
        pollfd ready{socketFileDescriptor, POLLIN, 0};
        const int n = ::poll(&ready, 1, static_cast<int>(std::min<long long>(left, 60 * 1000)));
        if (n > 0) return;  // data, or the end or error that the read reports
        if (n == -1 && errno != EINTR) fail(SocketError::Kind::recvFailed);
    }
}

void Socket::fill() {
    if (!readBuffer_) readBuffer_ = std::make_unique<std::uint8_t[]>(httplimits::readAheadBytes);
    awaitReadDeadline();
    for (;;) {
        ssize_t n = ::recv(socketFileDescriptor, readBuffer_.get(), httplimits::readAheadBytes, 0);
        if (n > 0) {
            readStart_ = 0;
            readEnd_ = static_cast<std::size_t>(n);
            return;
        }
        if (n == -1 && errno == EINTR) continue;
        if (n == 0) errno = 0;
        fail(SocketError::Kind::recvFailed);
    }
}

std::uint8_t Socket::read() {
    if (readStart_ == readEnd_) fill();
    return readBuffer_[readStart_++];
}

std::size_t Socket::readSome(void* out, std::size_t capacity) {
    if (capacity == 0) return 0;
    if (readStart_ < readEnd_) {
        std::size_t n = std::min(capacity, buffered());
        std::memcpy(out, readBuffer_.get() + readStart_, n);
        readStart_ += n;
        return n;
    }
    awaitReadDeadline();
    for (;;) {
        ssize_t n = ::recv(socketFileDescriptor, out, capacity, 0);
        if (n >= 0) return static_cast<std::size_t>(n);
        if (errno == EINTR) continue;
        fail(SocketError::Kind::recvFailed);
    }
}

Bytes Socket::readLength(std::size_t n) {
    Bytes bytes;
    if (n == 0) return bytes;
    // Grow with the data instead of trusting the announced length, until the
    // first MiB has arrived (httplimits::bodyGrowthBytes): then the rest is
    // reserved at once, so that a large body is not copied again and again
    // into ever larger buffers, two of them held at each step.
    bytes.reserve(std::min<std::size_t>(n, 64 * 1024));
    std::uint8_t chunk[16 * 1024];
    while (bytes.size() < n) {
        if (bytes.size() == bytes.capacity()) {
            bytes.reserve(bytes.size() >= httplimits::bodyGrowthBytes ? n : std::min(n, 2 * bytes.capacity()));
        }
        // Never past the capacity (which never exceeds n): the vector does not grow by itself.
        std::size_t got = readSome(chunk, std::min(sizeof(chunk), bytes.capacity() - bytes.size()));
        if (got == 0) {
            errno = 0;
            fail(SocketError::Kind::recvFailed);
        }
        bytes.insert(bytes.end(), chunk, chunk + got);
    }
    return bytes;
}

void Socket::finishAndDrain(std::chrono::milliseconds patience) {
    {
        std::lock_guard<std::mutex> lock(closeMutex_);
        if (shutdown.load() || socketFileDescriptor < 0) return;
        ::shutdown(socketFileDescriptor, SHUT_WR);
    }
    readStart_ = readEnd_ = 0;
    const auto deadline = std::chrono::steady_clock::now() + patience;
    std::uint8_t sink[16 * 1024];
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return;
        timeval wait{static_cast<time_t>(left.count() / 1000000), static_cast<suseconds_t>(left.count() % 1000000)};
        ::setsockopt(socketFileDescriptor, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof(wait));
        ssize_t n = ::recv(socketFileDescriptor, sink, sizeof(sink), 0);
        if (n == 0 || (n == -1 && errno != EINTR)) return;
    }
}

std::string Socket::readLine() {
    std::string line;
    for (;;) {
        std::uint8_t byte = read();
        if (byte == 10) return line;
        if (byte >= 14) appendLatin1(line, byte);
    }
}

std::string Socket::peername() const {
    sockaddr_storage address{};
    socklen_t length = sizeof(address);
    if (::getpeername(socketFileDescriptor, reinterpret_cast<sockaddr*>(&address), &length) == -1) {
        fail(SocketError::Kind::getPeerNameFailed);
    }
    char host[NI_MAXHOST];
    // An IPv4 client (of the dual-stack listener too, IPv4-mapped) as a.b.c.d.
    const void* four = nullptr;
    if (address.ss_family == AF_INET) four = &reinterpret_cast<sockaddr_in*>(&address)->sin_addr;
    if (address.ss_family == AF_INET6) {
        const auto* six = reinterpret_cast<sockaddr_in6*>(&address);
        if (IN6_IS_ADDR_V4MAPPED(&six->sin6_addr)) four = six->sin6_addr.s6_addr + 12;
    }
    if (four != nullptr) {
        if (::inet_ntop(AF_INET, four, host, sizeof(host)) == nullptr) {
            throw SocketError(SocketError::Kind::getNameInfoFailed, Errno::description());
        }
        return std::string(host);
    }
    int rc =
        ::getnameinfo(reinterpret_cast<sockaddr*>(&address), length, host, sizeof(host), nullptr, 0, NI_NUMERICHOST);
    if (rc != 0) throw SocketError(SocketError::Kind::getNameInfoFailed, ::gai_strerror(rc));
    return std::string(host);
}

void Socket::setTimeouts(int receiveSeconds, int sendSeconds) {
    timeval receive{receiveSeconds, 0};
    timeval send{sendSeconds, 0};
    ::setsockopt(socketFileDescriptor, SOL_SOCKET, SO_RCVTIMEO, &receive, sizeof(receive));
    ::setsockopt(socketFileDescriptor, SOL_SOCKET, SO_SNDTIMEO, &send, sizeof(send));
}

bool Socket::setNoDelay(bool on) {
    int value = on ? 1 : 0;
    return ::setsockopt(socketFileDescriptor, IPPROTO_TCP, TCP_NODELAY, &value, sizeof(value)) == 0;
}

bool Socket::noDelay() const {
    int value = 0;
    socklen_t length = sizeof(value);
    if (::getsockopt(socketFileDescriptor, IPPROTO_TCP, TCP_NODELAY, &value, &length) != 0) return false;
    return value != 0;
}

void Socket::setNoSigPipe(int fd) {
    // Linux has no per-socket SO_NOSIGPIPE: writes pass MSG_NOSIGNAL and the
    // server ignores SIGPIPE process-wide.
    (void)fd;
}

void Socket::closeDescriptor(int fd) { ::close(fd); }

}  // namespace klarion
