// The listening socket, the accept loop and the per-connection request loop.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "http/core/limits.h"
#include "http/core/parser.h"
#include "http/core/request.h"
#include "http/core/response.h"
#include "http/core/router.h"
#include "http/core/socket.h"

namespace klarion {

enum class HttpServerIOState : std::int32_t { starting = 0, running = 1, stopping = 2, stopped = 3 };

// Scheduling class asked for the server's threads. Every connection is served
// by a thread of its own whatever the class; it is recorded, not otherwise used.
enum class ServerPriority { userInteractive, userInitiated, defaultPriority, utility, background };

// Told when a client socket is handed over to a socket session (101 answers).
class HttpServerIODelegate {
public:
    virtual ~HttpServerIODelegate() = default;
    virtual void connectionHandedOver(const std::shared_ptr<Socket>& socket) = 0;
};

// One thread per connection, for the connection's whole life: its requests,
// handlers and body writers run on it. Threads are kept: one whose connection
// ended waits in accept() for the next (httplimits::keptConnectionThreads at
// most wait there), so that a new connection is taken by a thread already
// waiting instead of a thread started for it; a thread that takes a connection
// and leaves too few waiting starts another first.
//
// A response of known length (an in-memory body) leaves in one write, head
// and body together. A response without a length (raw: a stream, a file) has
// its head written before its body writer runs, so that the client learns the
// status while the writer waits for its first bytes. That head is written
// announcing more (MSG_MORE): it leaves in one packet with the first body
// bytes when they follow at once, else on its own within some 200 ms.
//
// One client address holds at most `connectionsPerAddress` connections at
// once; a connection beyond them is answered 503 and closed at once, without
// a thread waiting on it. A request head must arrive whole within
// `requestHeadTimeout` of its first byte, or the connection closes. So one
// device cannot hold the server's threads; the server sets no bound on
// connections as a whole. A chunked request body is read like one of known
// length, and "Expect: 100-continue" is answered "100 Continue" before the
// body is read (a request refused for its head is answered at once instead).
// Keep-alive: the connection stays open after a response only when the client
// sent "Connection: keep-alive" and the response has a known length (ok, and
// badRequest with a body). Every other response — raw (streamed) ones in
// particular — is sent without "Content-Length" and ends with the connection
// closing, which is how a streamed body's end is marked. A HEAD request is
// answered with its body, like any method, and the connection then closes.
//
// Limits (http/core/limits.h): a request line over its limit is answered 414,
// a header block over its limit 431, a body announced over its limit 413; the
// answer is followed by a graceful close (the sending side is shut and what
// the client still sends is drained briefly), so that the client reads the
// status rather than a reset. Framing that leaves the body's end in doubt
// (two different lengths, a length with a transfer coding, a malformed chunk)
// is answered 400, a transfer coding other than chunked 501, both followed by
// the same close. A malformed request line or a negative length
// closes the connection without an answer. Client sockets time out without
// data and when blocked in a send, and send without delay (TCP_NODELAY). A
// failed write closes the connection. Diagnostics go to the hook of
// http/core/diagnostics.h.
class HttpServerIO {
public:
    HttpServerIO();
    // Stops and waits for every connection thread. A subclass whose dispatch
    // uses its own members must call stopAndWait() in its own destructor.
    virtual ~HttpServerIO();
    HttpServerIO(const HttpServerIO&) = delete;
    HttpServerIO& operator=(const HttpServerIO&) = delete;

    // Opens the listening socket (dual-stack IPv6 unless forceIPv4; port 0 picks
    // a free port, see port()) and starts accepting. Does nothing when running.
    // Each start raises the process's soft limit of open descriptors to the
    // hard limit (at most 65536): every connection holds one.
    // Throws the SocketError of the listening socket; the state then stays
    // `starting` and a later start is allowed.
    void start(std::uint16_t port, bool forceIPv4 = false, ServerPriority priority = ServerPriority::background);

    // Stops accepting, closes the listening socket and wakes every blocked
    // connection (shutdown(2)), then returns once no thread waits in accept()
    // any more: it never waits for a handler (a slow LM Studio, a long stream). A connection thread that is
    // still running ends by itself; the server object and what its handlers
    // captured must outlive it (stopAndWait, the destructor). A start right
    // after a stop may use the same port. No effect unless running. Callable
    // from a handler.
    void stop();
    // stop(), then waits for every connection thread, kept ones included, to
    // end (except the calling thread when it is one).
    void stopAndWait();

    HttpServerIOState state() const { return static_cast<HttpServerIOState>(stateValue_.load()); }
    // Running. On a connection thread, whether the run that started the
    // thread is still going: false once it is stopped, even when a new run
    // has started since (its waits end with it).
    bool operating() const;

    // Local port and family of the listening socket (getSockNameFailed when none).
    std::uint16_t port() const;
    bool isIPv4() const;

    // Numeric addresses to bind instead of the wildcard; set before start.
    std::optional<std::string> listenAddressIPv4;
    std::optional<std::string> listenAddressIPv6;

    std::weak_ptr<HttpServerIODelegate> delegate;

    // Bounds that keep one client from holding the server's threads; set
    // before start (defaults: http/core/limits.h).
    std::chrono::milliseconds requestHeadTimeout = httplimits::requestHeadTimeout;
    std::size_t connectionsPerAddress = httplimits::connectionsPerAddress;

    // The handler for one request; the base answers notFound to everything.
    virtual std::pair<RouteParams, HttpHandler> dispatch(HttpRequest& request);

    // The request loop of one connection; returns once the socket is closed.
    void handleConnection(const std::shared_ptr<Socket>& socket);

    // Writes a response; returns whether the connection may stay open.
    // Throws the socket's write errors and whatever the body writer throws.
    bool respond(Socket& socket, const HttpResponse& response, bool keepAlive);

    // Number of connections being served (for tests and diagnostics).
    std::size_t activeConnections() const;

private:
    struct Shared;

    // A thread counted in Shared::threads and Shared::accepting beforehand;
    // when it cannot be started, both are given back.
    void startConnectionThread(const std::shared_ptr<Socket>& listener, std::uint64_t run);
    void connectionThread(std::shared_ptr<Shared> shared, std::shared_ptr<Socket> listener, std::uint64_t run);
    // handleConnection with the peer's address already known.
    void serveConnection(const std::shared_ptr<Socket>& socket, const std::optional<std::string>& peer);
    bool setState(HttpServerIOState from, HttpServerIOState to);
    void stopLocked();

    std::atomic<std::int32_t> stateValue_{static_cast<std::int32_t>(HttpServerIOState::stopped)};
    std::shared_ptr<Shared> shared_;
    std::mutex lifecycle_;  // start / stop, one at a time
    std::shared_ptr<Socket> socket_;
    std::atomic<std::uint64_t> run_{0};
    ServerPriority priority_ = ServerPriority::background;
    HttpParser parser_;
};

}  // namespace klarion
