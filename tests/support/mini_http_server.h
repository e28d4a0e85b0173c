// A small HTTP/1.1 server for test doubles, written on plain sockets and independent of the
// program's own HTTP core, so that a fault of the core cannot hide inside the double.
//
// It listens on 127.0.0.1, serves each connection on its own thread with keep-alive, reads
// requests with a Content-Length body, and lets the handler answer however it likes: a whole
// response, a chunked stream, raw bytes, a close, a reset, or nothing at all.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace klarion {

struct MiniHttpRequest {
    std::string method;
    std::string target;                                        // as sent: path and query
    std::string path;                                          // target before any "?"
    std::string query;                                         // after the "?", without it; empty when none
    std::string version;                                       // "HTTP/1.1"
    std::vector<std::pair<std::string, std::string>> headers;  // in order, names as sent
    std::string body;
    std::chrono::system_clock::time_point received;

    // The first header of that name (any case), or nullptr.
    const std::string* header(std::string_view name) const;
    std::size_t headerCount(std::string_view name) const;
};

class MiniHttpServer;

// One client connection, handed to the handler. Every call is made on the connection's thread.
class MiniHttpConnection {
public:
    // Sends bytes as they are. False when the peer is gone or the server stops.
    bool send(std::string_view bytes);

    // A whole response with Content-Length.
    bool sendResponse(int status, std::string_view contentType, std::string_view body,
                      const std::vector<std::pair<std::string, std::string>>& extraHeaders = {});

    // A response whose body follows in chunks (Transfer-Encoding: chunked).
    bool beginChunked(int status, std::string_view contentType,
                      const std::vector<std::pair<std::string, std::string>>& extraHeaders = {});
    bool sendChunk(std::string_view bytes);  // one chunk; empty bytes are skipped
    bool endChunked();                       // the last (zero) chunk

    void closeNow();  // closes the connection (FIN) without more bytes
    void resetNow();  // aborts the connection (RST)
    bool open() const { return fd_ >= 0; }
    // Serial number of the connection (1, 2, ... in order of acceptance).
    std::uint64_t id() const { return id_; }

    // Sleeps; false when the server stops meanwhile.
    bool sleepFor(std::chrono::milliseconds duration);
    // Waits until the peer closes the connection (or sends more), or the server stops.
    void waitForPeerOrStop();

    // Whether to read another request on this connection once the handler returns.
    void setKeepAlive(bool keep) { keepAlive_ = keep; }

    static const char* reason(int status);

private:
    friend class MiniHttpServer;
    MiniHttpConnection(MiniHttpServer& server, int fd, std::uint64_t id) : server_(server), fd_(fd), id_(id) {}
    void release();

    MiniHttpServer& server_;
    int fd_;
    std::uint64_t id_;
    bool keepAlive_ = true;
};

class MiniHttpServer {
public:
    using Handler = std::function<void(const MiniHttpRequest&, MiniHttpConnection&)>;
    // Called for a request that cannot be read (bad request line, bad header, chunked body...).
    using MalformedHandler = std::function<void(const std::string& what)>;

    MiniHttpServer(Handler handler, MalformedHandler onMalformed = {});
    ~MiniHttpServer();
    MiniHttpServer(const MiniHttpServer&) = delete;
    MiniHttpServer& operator=(const MiniHttpServer&) = delete;

    // Listens on 127.0.0.1 at `port` (0: any free port). False when it cannot.
    bool start(std::uint16_t port = 0);
    std::uint16_t port() const { return port_; }
    // Closes the listener and every connection, and waits for their threads. Idempotent.
    void stop();

    // While refusing, nothing listens on the port: connections are refused. Turning it off
    // listens again on the same port; false when that port cannot be had again.
    bool setRefusing(bool refusing);

private:
    friend class MiniHttpConnection;
    struct Worker {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };

    bool openListener(std::uint16_t port);
    void acceptLoop();
    void serve(int fd, std::uint64_t id);
    void reapWorkers(bool all);
    void forget(int fd);
    bool stopping() const { return stopping_.load(); }

    Handler handler_;
    MalformedHandler onMalformed_;
    std::atomic<std::uint16_t> port_{0};  // read by any thread, written again when listening resumes
    int listenFd_ = -1;                   // owned by the accept thread once it runs
    int stopFd_ = -1;                     // eventfd: stays signalled once stop begins
    int controlFd_ = -1;                  // eventfd: wakes the accept thread for a refusing change
    std::atomic<bool> stopping_{false};
    bool started_ = false;

    std::mutex mu_;
    std::condition_variable cv_;
    bool wantRefusing_ = false;
    bool refusing_ = false;
    std::uint64_t refusalRequests_ = 0;
    std::uint64_t refusalApplied_ = 0;
    bool relistenFailed_ = false;
    std::set<int> openFds_;
    std::uint64_t connections_ = 0;
    std::list<Worker> workers_;
    std::thread acceptThread_;
};

}  // namespace klarion
