#include "http/core/server_io.h"

#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <csignal>
#include <map>

#include "http/core/diagnostics.h"
#include "http/core/file.h"
#include "http/core/limits.h"

namespace klarion {

struct HttpServerIO::Shared {
    std::mutex mutex;
    std::condition_variable idle;
    // Open clients keyed by object identity: a descriptor number can be reused
    // by a new connection while an old Socket object still exists.
    std::map<const Socket*, std::shared_ptr<Socket>> clients;
    std::size_t serving = 0;    // threads serving a connection
    std::size_t accepting = 0;  // threads waiting in accept() (or about to)
    std::size_t threads = 0;    // every connection thread of every run
    // Connections being served per client address (addresses holding none are absent).
    std::map<std::string, std::size_t> perAddress;
};

namespace {

// Which server, if any, the current thread works for.
thread_local const HttpServerIO* tlsConnectionOf = nullptr;
// The run that started the current connection thread.
thread_local std::uint64_t tlsRun = 0;

void ignoreSigPipe() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction action {};
        action.sa_handler = SIG_IGN;
        sigemptyset(&action.sa_mask);
        ::sigaction(SIGPIPE, &action, nullptr);
    });
}

// Each connection holds a descriptor (and the program's own files and LM
// Studio connections need more): the usual soft limit of 1024 would let one
// device with many idle connections shut everybody else out. The soft limit
// is raised to the hard one, up to a bound, at each start.
void raiseDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
    constexpr auto most = static_cast<rlim_t>(httplimits::maxDescriptors);
    const rlim_t wanted = limit.rlim_max == RLIM_INFINITY ? most : std::min<rlim_t>(limit.rlim_max, most);
    if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < wanted) {
        limit.rlim_cur = wanted;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

// accept() failures that say nothing about the listening socket itself.
bool isTransientAcceptError(int error) {
    switch (error) {
        case EINTR:
        case EAGAIN:
        case ECONNABORTED:
        case EPROTO:
        case EPERM:
        case ENOBUFS:
        case ENOMEM:
        case EMFILE:
        case ENFILE:
        case ENETDOWN:
        case ENETUNREACH:
        case EHOSTDOWN:
        case EHOSTUNREACH:
        case ENONET:
        case ENOPROTOOPT:
        case EOPNOTSUPP:
        case ETIMEDOUT:
        case ENOSR: return true;
        default: return false;
    }
}

bool isResourceShortage(int error) { return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM; }

// The body writer handed to a response: writes go straight to the client
// socket, the first one together with the response's head unless the head
// has gone already.
class InnerWriteContext : public HttpResponseBodyWriter {
public:
    InnerWriteContext(Socket& socket, std::string_view head) : socket_(socket), head_(head) {}
    void writeFile(File& file) override {
        sendHead();
        socket_.sendFile(file);
    }
    void writeBytes(ByteSpan bytes) override {
        if (headSent_) {
            socket_.writeUInt8(bytes);
        } else {
            headSent_ = true;
            socket_.writeTwo(asBytes(head_), bytes);
        }
    }
    void sendHead() {
        if (headSent_) return;
        headSent_ = true;
        socket_.writeUTF8(head_);
    }
    // Sends the head before the writer runs, announcing more: it leaves in one
    // packet with the writer's first bytes when they come at once (a relayed
    // answer: one wake-up of the client, not two), else on its own once the
    // system's ceiling on such a wait (some 200 ms) has passed, while the
    // writer still waits.
    void sendHeadAhead() {
        headSent_ = ahead_ = true;
        socket_.writeAhead(head_);
    }
    // Sends at once whatever may still wait (a head that no body byte followed).
    void finish() {
        if (ahead_) socket_.setNoDelay(true);
    }

private:
    Socket& socket_;
    std::string_view head_;
    bool headSent_ = false;
    bool ahead_ = false;
};

// The answer to a request refused for its size; none for a malformed one,
// whose connection just closes.
std::optional<HttpResponse> refusalFor(HttpParserError::Kind kind) {
    switch (kind) {
        case HttpParserError::Kind::requestLineTooLong: return HttpResponse::raw(414, "URI Too Long");
        case HttpParserError::Kind::headersTooLarge: return HttpResponse::raw(431, "Request Header Fields Too Large");
        case HttpParserError::Kind::payloadTooLarge: return HttpResponse::raw(413, "Payload Too Large");
        case HttpParserError::Kind::badFraming: return HttpResponse::raw(400, "Bad Request");
        case HttpParserError::Kind::unsupportedTransferCoding: return HttpResponse::raw(501, "Not Implemented");
        default: return std::nullopt;
    }
}

// The peer address a connection is counted under; none when unknown.
std::optional<std::string> peerOf(const Socket& socket) {
    try {
        return socket.peername();
    } catch (...) {
        return std::nullopt;
    }
}

// A connection over its address's bound: told so at once, without a thread
// waiting on it. The answer is best effort (the socket's buffer takes it or
// it is lost); what the client already sent is dropped first, so that the
// close does not reset the connection under the answer.
void refuseBusy(Socket& client) {
    static const std::string answer = renderResponse(HttpResponse::raw(503, "Service Unavailable"));
    std::uint8_t sink[4096];
    for (int i = 0; i < 16 && ::recv(client.fd(), sink, sizeof(sink), MSG_DONTWAIT) > 0; ++i) {}
    (void)::send(client.fd(), answer.data(), answer.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    ::shutdown(client.fd(), SHUT_WR);
    client.close();
}

const std::string kContinue = "HTTP/1.1 100 Continue\r\n\r\n";

}  // namespace

HttpServerIO::HttpServerIO() : shared_(std::make_shared<Shared>()), socket_(std::make_shared<Socket>(-1)) {}

HttpServerIO::~HttpServerIO() { stopAndWait(); }

bool HttpServerIO::setState(HttpServerIOState from, HttpServerIOState to) {
    auto expected = static_cast<std::int32_t>(from);
    return stateValue_.compare_exchange_strong(expected, static_cast<std::int32_t>(to));
}

void HttpServerIO::start(std::uint16_t port, bool forceIPv4, ServerPriority priority) {
    std::lock_guard<std::mutex> lock(lifecycle_);
    if (state() == HttpServerIOState::running) return;
    ignoreSigPipe();
    raiseDescriptorLimit();
    stateValue_.store(static_cast<std::int32_t>(HttpServerIOState::starting));

    auto listener = Socket::openListening(port, forceIPv4, httplimits::listenBacklog,
                                          forceIPv4 ? listenAddressIPv4 : listenAddressIPv6);
    socket_ = listener;
    priority_ = priority;
    std::uint64_t run = ++run_;
    stateValue_.store(static_cast<std::int32_t>(HttpServerIOState::running));
    {
        std::lock_guard<std::mutex> guard(shared_->mutex);
        ++shared_->threads;
        ++shared_->accepting;
    }
    try {
        std::thread([this, shared = shared_, listener, run] { connectionThread(shared, listener, run); }).detach();
    } catch (...) {
        {
            std::lock_guard<std::mutex> guard(shared_->mutex);
            --shared_->threads;
            --shared_->accepting;
        }
        listener->close();
        stateValue_.store(static_cast<std::int32_t>(HttpServerIOState::stopped));
        throw;
    }
}

void HttpServerIO::startConnectionThread(const std::shared_ptr<Socket>& listener, std::uint64_t run) {
    std::shared_ptr<Shared> shared = shared_;
    try {
        std::thread([this, shared, listener, run] { connectionThread(shared, listener, run); }).detach();
    } catch (...) {
        // No new thread: the ones already waiting, and this one once its
        // connection ends, go on accepting.
        std::lock_guard<std::mutex> lock(shared->mutex);
        --shared->threads;
        --shared->accepting;
        shared->idle.notify_all();
    }
}

void HttpServerIO::connectionThread(std::shared_ptr<Shared> shared, std::shared_ptr<Socket> listener,
                                    std::uint64_t run) {
    tlsConnectionOf = this;
    tlsRun = run;
    for (;;) {
        // Counted in `accepting` here.
        int fd = ::accept4(listener->fd(), nullptr, nullptr, SOCK_CLOEXEC);
        if (fd == -1) {
            const int error = errno;
            if (operating() && isTransientAcceptError(error)) {
                if (isResourceShortage(error)) std::this_thread::sleep_for(httplimits::acceptShortagePause);
                continue;
            }
            const bool failed = operating();  // the listening socket itself failed
            {
                std::lock_guard<std::mutex> lock(shared->mutex);
                --shared->accepting;
                shared->idle.notify_all();
            }
            if (failed) {
                httpDiagnostic(std::string("Accept failed: ") +
                               SocketError(SocketError::Kind::acceptFailed, std::strerror(error)).what());
                stop();  // this run is over; a newer run is never this thread's to stop
            }
            break;
        }

        auto client = std::make_shared<Socket>(fd);
        const std::optional<std::string> peer = peerOf(*client);
        bool startSpare = false;
        bool refused = false;
        {
            std::lock_guard<std::mutex> lock(shared->mutex);
            --shared->accepting;
            if (!operating()) {  // stop() has swept the clients already
                shared->idle.notify_all();
                break;
            }
            if (peer) {
                auto held = shared->perAddress.try_emplace(*peer, 0).first;
                refused = held->second >= connectionsPerAddress;
                if (!refused) {
                    ++held->second;
                } else if (held->second == 0) {
                    shared->perAddress.erase(held);
                }
            }
            if (refused) {
                ++shared->accepting;  // this thread goes back to accept()
            } else {
                shared->clients.emplace(client.get(), client);
                ++shared->serving;
                startSpare = shared->accepting < httplimits::spareConnectionThreads;
                if (startSpare) {
                    ++shared->threads;
                    ++shared->accepting;
                }
            }
        }
        if (refused) {
            refuseBusy(*client);
            continue;
        }
        if (startSpare) startConnectionThread(listener, run);

        serveConnection(client, peer);

        bool keep = false;
        {
            std::lock_guard<std::mutex> lock(shared->mutex);
            shared->clients.erase(client.get());
            if (peer) {
                auto held = shared->perAddress.find(*peer);
                if (--held->second == 0) shared->perAddress.erase(held);
            }
            --shared->serving;
            keep = operating() && shared->accepting < httplimits::keptConnectionThreads;
            if (keep) ++shared->accepting;
            shared->idle.notify_all();
        }
        if (!keep) break;
    }
    listener.reset();
    std::lock_guard<std::mutex> lock(shared->mutex);
    --shared->threads;
    shared->idle.notify_all();
    // `this` is not touched past this point: stopAndWait() may return now.
}

bool HttpServerIO::operating() const {
    if (state() != HttpServerIOState::running) return false;
    return tlsConnectionOf != this || tlsRun == run_.load();
}

void HttpServerIO::stop() {
    const bool onConnection = tlsConnectionOf == this;
    if (onConnection && tlsRun != run_.load()) return;  // a later run is not this thread's to stop
    std::unique_lock<std::mutex> lock(lifecycle_, std::defer_lock);
    if (onConnection) {
        // Another thread may be stopping and waiting for this very thread.
        while (!lock.try_lock()) {
            if (state() != HttpServerIOState::running) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    } else {
        lock.lock();
    }
    stopLocked();
}

void HttpServerIO::stopLocked() {
    if (!setState(HttpServerIOState::running, HttpServerIOState::stopping)) return;

    // Wake everything that blocks; each connection thread closes its own
    // descriptor when it ends, which may be later: nobody waits for it here.
    {
        std::lock_guard<std::mutex> guard(shared_->mutex);
        for (auto& [identity, client] : shared_->clients) client->shutdownIO();
    }
    socket_->shutdownIO();
    // The threads in accept() wake with an error and leave it; only then is
    // the listening descriptor closed, so that its number cannot be reused
    // under them. The port is then free for a new start.
    {
        std::unique_lock<std::mutex> guard(shared_->mutex);
        shared_->idle.wait(guard, [&] { return shared_->accepting == 0; });
    }
    socket_->close();
    stateValue_.store(static_cast<std::int32_t>(HttpServerIOState::stopped));
}

void HttpServerIO::stopAndWait() {
    stop();
    std::unique_lock<std::mutex> guard(shared_->mutex);
    const std::size_t self = tlsConnectionOf == this ? 1 : 0;
    shared_->idle.wait(guard, [&] { return shared_->threads <= self; });
}

std::uint16_t HttpServerIO::port() const { return socket_->port(); }

bool HttpServerIO::isIPv4() const { return socket_->isIPv4(); }

std::size_t HttpServerIO::activeConnections() const {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    return shared_->serving;
}

std::pair<RouteParams, HttpHandler> HttpServerIO::dispatch(HttpRequest&) {
    return {RouteParams{}, [](HttpRequest&) { return HttpResponse::notFound(); }};
}

void HttpServerIO::handleConnection(const std::shared_ptr<Socket>& socket) { serveConnection(socket, peerOf(*socket)); }

void HttpServerIO::serveConnection(const std::shared_ptr<Socket>& socket, const std::optional<std::string>& peer) {
    socket->setTimeouts(httplimits::receiveTimeoutSeconds, httplimits::sendTimeoutSeconds);
    socket->setNoDelay(true);  // a streamed body's writes must not wait for acknowledgements
    while (operating()) {
        HttpRequest request;
        try {
            // Between requests the wait is the receive time-out; from its
            // first byte on, the head has a deadline of its own.
            socket->waitForBytes();
            socket->setReadDeadline(std::chrono::steady_clock::now() + requestHeadTimeout);
            request = parser_.readRequestHead(*socket);
            socket->setReadDeadline(std::nullopt);
            // A client that waits before sending its body is told to go on; a
            // request refused above was answered without waiting for it.
            if (HttpParser::wantsContinue(request.headers)) {
                if (!operating()) break;
                socket->writeUTF8(kContinue);
            }
            parser_.readBody(*socket, request);
        } catch (const HttpParserError& error) {
            if (auto refusal = refusalFor(error.kind())) {
                try {
                    respond(*socket, *refusal, false);
                    socket->finishAndDrain(httplimits::refusalDrainTime);
                } catch (...) {}
            }
            break;
        } catch (...) {
            break;  // the peer left, timed out, or the server is stopping
        }

        request.address = peer;

        HttpResponse response = HttpResponse::internalServerError();
        try {
            auto [params, handler] = dispatch(request);
            request.params = std::move(params);
            response = handler ? handler(request) : HttpResponse::notFound();
        } catch (const std::exception& error) {
            httpDiagnostic(std::string("Handler failed: ") + error.what());
            response = HttpResponse::internalServerError();
        } catch (...) {
            httpDiagnostic("Handler failed");
            response = HttpResponse::internalServerError();
        }

        // A HEAD answer carries its body like any other; a client that asked
        // with HEAD does not read that body, so the connection ends after it.
        bool keep = HttpParser::wantsKeepAlive(request.headers) && request.method != "HEAD";
        if (operating()) {
            try {
                keep = respond(*socket, response, keep);
            } catch (const std::exception& error) {
                httpDiagnostic(std::string("Failed to send response: ") + error.what());
                keep = false;  // the stream is in an unknown state
            } catch (...) {
                httpDiagnostic("Failed to send response");
                keep = false;
            }
        }

        if (response.kind() == HttpResponse::Kind::switchProtocols) {
            socket->setTimeouts(0, httplimits::sendTimeoutSeconds);  // a session may stay quiet for long
            if (auto listener = delegate.lock()) listener->connectionHandedOver(socket);
            if (const auto& session = response.socketSession()) {
                try {
                    session(socket);
                } catch (const std::exception& error) {
                    httpDiagnostic(std::string("Socket session failed: ") + error.what());
                } catch (...) {}
            }
            break;
        }
        if (!keep) break;
    }
    socket->close();
}

bool HttpServerIO::respond(Socket& socket, const HttpResponse& response, bool keepAlive) {
    if (!operating()) return false;
    HttpResponseHead head = buildResponseHead(response, keepAlive);
    if (!head.content.writer) {
        socket.writeUTF8(head.text);
        return head.keepAlive;
    }
    InnerWriteContext writer(socket, head.text);
    try {
        // A body of unknown length is a stream whose writer may wait long
        // before its first byte (LM Studio loading a model): its head goes
        // first. A body known in advance leaves with its head.
        if (head.content.length < 0) writer.sendHeadAhead();
        head.content.writer(writer);
    } catch (...) {
        // The client still learns how the response began.
        try {
            writer.sendHead();
            writer.finish();
        } catch (...) {}
        throw;
    }
    writer.sendHead();
    writer.finish();
    return head.keepAlive;
}

}  // namespace klarion
