// The classroom server: start and stop of the one HttpServer of the run, with
// the route table of the class, the published address and the short links.
//
// startServer/stopServer and the reports below run on the main thread. The
// route handlers hold the shared ClassroomContext; nothing they hold points
// back to this object or to its owner. The owner (the panel) learns the
// address and a failed start through ServerReports.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "http/core/server.h"
#include "server/api/classroom_context.h"
#include "server/api/short_links.h"

namespace klarion {

// What the server tells its owner. Each runs on the main queue, in a task of
// its own after the start or stop that caused it; an empty one is skipped.
struct ServerReports {
    // The server listens: the address published for the class.
    std::function<void(const std::string& address)> addressPublished;
    // The port could not be opened: the port asked for and the reason.
    std::function<void(int64_t port, const std::string& description)> startFailed;
    // After a stop, with the short links and the run's class data emptied.
    std::function<void()> cleared;
};

class ClassroomServer {
public:
    // The preference that holds the short-link service URL ("" or missing:
    // no short links are asked for).
    static constexpr const char* shortLinkServicePreferenceKey = "KLR_shortLinkServiceURL";

    ClassroomServer(std::shared_ptr<ClassroomContext> context, ServerReports reports = {});
    // Stops the server and waits for its threads.
    ~ClassroomServer();
    ClassroomServer(const ClassroomServer&) = delete;
    ClassroomServer& operator=(const ClassroomServer&) = delete;

    // The page and resource routes, (path, handler) in registration order;
    // they are registered after the API routes. Set before startServer.
    void setPageRoutes(std::vector<std::pair<std::string, HttpHandler>> routes);

    // Journal, new teacher PIN in the individual mode, the route table, then
    // the listening socket on `port`. On failure startFailed is queued with
    // its journal line and nothing else changes. On success: running, the
    // address (from the LAN address, else `hostName`) queued to
    // addressPublished, the two short-link requests, the journal line.
    // Ignored while the server runs. Returns whether the server runs.
    bool startServer(int64_t port, const std::string& hostName);
    // Stops the server, ends the session in the establishment mode, queues
    // clearServerState, writes "Serveur arrêté".
    void stopServer();

    // Main-thread reactions (the start and stop queue them).
    static void clearServerState(const ClassroomContext& context);
    static void applyShortURL(const ClassroomContext& context, bool isTeacher, const std::string& link);

    // Asks the short-link service for `url`; the link arrives on the main queue.
    void requestShortURL(const std::string& url, bool isTeacher);

    // The port the server listens on while it runs.
    std::optional<uint16_t> listeningPort() const;
    bool isRunning() const { return running_; }

    HttpServer& server() { return *server_; }
    ShortLinkClient& shortLinks() { return *shortLinks_; }
    const std::shared_ptr<ClassroomContext>& context() const { return context_; }

private:
    void registerRoutes();

    std::shared_ptr<ClassroomContext> context_;
    ServerReports reports_;
    bool running_ = false;
    std::unique_ptr<HttpServer> server_;
    std::unique_ptr<ShortLinkClient> shortLinks_;
    std::vector<std::pair<std::string, HttpHandler>> pageRoutes_;
};

}  // namespace klarion
