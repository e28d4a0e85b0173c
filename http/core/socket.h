// Blocking TCP sockets of the HTTP server and their errors.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "http/core/bytes.h"
#include "http/core/kinded_error.h"

namespace klarion {

class File;

// The C library's message for the current errno (strerror).
struct Errno {
    static std::string description();
};

enum class SocketErrorKind {
    socketCreationFailed,
    socketSettingReUseAddrFailed,
    bindFailed,
    listenFailed,
    writeFailed,
    getPeerNameFailed,
    getNameInfoFailed,
    acceptFailed,
    recvFailed,
    getSockNameFailed,
    convertingPeerNameFailed,
};

// Every socket failure; what() gives the textual form, e.g. writeFailed("Broken pipe").
// message() is the system text carried by the error ("" for convertingPeerNameFailed).
class SocketError : public KindedError<SocketErrorKind> {
public:
    SocketError(Kind kind, std::string message);
    static const char* kindName(Kind kind);
};

// Where the request parser reads its bytes from. Socket is the real one; tests
// and the fuzzer may feed bytes from memory.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    // One byte; throws (SocketError::recvFailed for a socket) at end of stream.
    virtual std::uint8_t read() = 0;
    // Exactly n bytes (nothing read for n == 0). The buffer grows as data
    // arrives: an announced length is never reserved up front.
    virtual Bytes readLength(std::size_t n) = 0;
    // The bytes already read ahead and not taken yet (empty when none), for a
    // reader that looks at many at once; take(n) consumes the first n of them.
    virtual ByteSpan readAhead() const { return {}; }
    virtual void take(std::size_t n) { (void)n; }
};

// One TCP socket descriptor. Shared through std::shared_ptr; not copyable.
// Equality and hashing use the descriptor alone; the server's own set of open
// clients is keyed by object identity instead, since descriptors are reused.
class Socket : public ByteSource {
public:
    explicit Socket(int fileDescriptor) : socketFileDescriptor(fileDescriptor) {}
    ~Socket() override;
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    // A listening socket: IPv4 when forceIPv4, else dual-stack IPv6
    // (IPV6_V6ONLY set to 0). SO_REUSEADDR on, close-on-exec.
    // Throws socketCreationFailed, socketSettingReUseAddrFailed, bindFailed or
    // listenFailed; no descriptor is left open on failure.
    static std::shared_ptr<Socket> openListening(std::uint16_t port, bool forceIPv4 = false, int backlog = 128,
                                                 std::optional<std::string> listenAddress = std::nullopt);
    // Blocks for one client (close-on-exec). Throws acceptFailed.
    std::shared_ptr<Socket> acceptClient();

    // Closes the descriptor at most once, whoever calls it (also the destructor).
    // Only the thread that owns a socket should close it: another thread stops
    // it with shutdownIO() instead.
    void close();
    // shutdown(2) both ways: wakes a thread blocked in accept/read/write on it,
    // without closing (so the descriptor number cannot be reused meanwhile).
    void shutdownIO();
    bool isClosed() const { return shutdown.load(); }
    // A protocol session's last words when the server shuts the connection
    // down (a WebSocket's going-away close frame): run once by shutdownIO()
    // just before the shutdown, under this socket's lock, while the descriptor
    // is open. It must not block nor use this socket's close(), shutdownIO()
    // or this setter. nullptr removes it (and waits for one that is running).
    void setShutdownNotice(std::function<void()> notice);

    // Local port (host order) and whether the local family is IPv4. Throw getSockNameFailed.
    std::uint16_t port() const;
    bool isIPv4() const;

    // Complete, blocking writes; writeFailed on any failure. Never raises SIGPIPE.
    void writeUTF8(std::string_view text);
    void writeUInt8(ByteSpan bytes);
    void writeBuffer(const void* pointer, std::size_t length);
    // The same, announcing more to follow (MSG_MORE): over TCP the bytes wait
    // for the next write to share its packet, at most some 200 ms (the
    // system's ceiling), or until setNoDelay(true) pushes them.
    void writeAhead(std::string_view text);
    // `first` then `second`, handed to the system together (one packet when
    // they fit): a response's head and its body.
    void writeTwo(ByteSpan first, ByteSpan second);
    // Sends an open file from its first byte to its end (sendfile).
    // Throws writeFailed("sendfile: ...").
    void sendFile(File& file);

    // Reads go through a read-ahead buffer owned by the socket: the request
    // parser takes its bytes from it, and whatever arrived past one request
    // (a pipelined request, or the first bytes of a protocol that follows a
    // 101 answer) stays here for the next reader. Every read below takes the
    // buffered bytes first, then reads the descriptor. One reading thread at a time.

    // One byte; recvFailed at end of stream or on error.
    std::uint8_t read() override;
    // Exactly n bytes; recvFailed when the peer closes early.
    Bytes readLength(std::size_t n) override;
    // What is available, at most `capacity` bytes: buffered bytes if any, else
    // one blocking recv. 0 at the end of the stream; recvFailed on error.
    std::size_t readSome(void* out, std::size_t capacity);
    // Bytes read ahead and not yet consumed.
    std::size_t buffered() const { return readEnd_ - readStart_; }
    ByteSpan readAhead() const override {
        if (!readBuffer_) return {};
        return {readBuffer_.get() + readStart_, buffered()};
    }
    void take(std::size_t n) override { readStart_ += std::min(n, buffered()); }
    // Ends a connection whose request is refused after its answer is written:
    // shuts the sending side (the client sees the answer, then the end), then
    // reads and drops what the client still sends until it closes or
    // `patience` has passed. The caller then closes.
    void finishAndDrain(std::chrono::milliseconds patience);
    // Blocks until at least one byte is read ahead (the receive time-out
    // applies); recvFailed at the end of the stream or on error.
    void waitForBytes() {
        if (readStart_ == readEnd_) fill();
    }
    // Reads that have to wait for data give up with recvFailed ("Connection
    // timed out") once `deadline` has passed, however often bytes trickle in;
    // none: only the receive time-out applies.
    void setReadDeadline(std::optional<std::chrono::steady_clock::time_point> deadline) { readDeadline_ = deadline; }
    // One line: bytes 0..13 dropped (CR, tabs...), byte 10 ends it, every other
    // byte becomes the character of that code point (0xC3 -> U+00C3, as UTF-8).
    std::string readLine();

    // The peer's numeric address; an IPv4-mapped IPv6 peer is given as dotted IPv4.
    // Throws getPeerNameFailed or getNameInfoFailed.
    std::string peername() const;

    // Receive and send time-outs in seconds (0 = none).
    void setTimeouts(int receiveSeconds, int sendSeconds);

    // TCP_NODELAY: every write leaves at once. Without it a write that follows
    // another (a streamed body's pieces) waits for the client's delayed
    // acknowledgement of the one before (some 40 ms).
    // Returns whether the option took (false on a socket that is not TCP).
    bool setNoDelay(bool on);
    bool noDelay() const;

    int fd() const { return socketFileDescriptor; }

    static void setNoSigPipe(int fd);
    static void closeDescriptor(int fd);

    bool operator==(const Socket& other) const { return socketFileDescriptor == other.socketFileDescriptor; }

    const int socketFileDescriptor;

private:
    void sendAll(const void* pointer, std::size_t length, int flags);
    // Refills the read-ahead buffer with one recv; recvFailed at end or on error.
    void fill();
    // Waits until the descriptor is readable or the read deadline passes (recvFailed).
    void awaitReadDeadline();

    std::unique_ptr<std::uint8_t[]> readBuffer_;  // allocated at the first read
    std::size_t readStart_ = 0;
    std::size_t readEnd_ = 0;
    std::optional<std::chrono::steady_clock::time_point> readDeadline_;
    std::atomic<bool> shutdown{false};
    // Makes close() and shutdownIO() exclusive: a shutdown that has seen the
    // descriptor open must reach it before it is closed, or the number could
    // already belong to another descriptor.
    std::mutex closeMutex_;
    std::function<void()> shutdownNotice_;  // guarded by closeMutex_
};

// The character of code point `byte` appended as UTF-8 (the line rule above).
void appendLatin1(std::string& line, std::uint8_t byte);

}  // namespace klarion

template <>
struct std::hash<klarion::Socket> {
    std::size_t operator()(const klarion::Socket& s) const noexcept { return std::hash<int>()(s.socketFileDescriptor); }
};
