// The classroom server: start and stop of the one HttpServer of the panel,
// with the route table of the class, the published address, the short links
// and the port alert.
//
// startServer/stopServer and the reactions below run on the main thread. The
// route handlers hold the shared ClassroomContext; nothing they hold points
// back to this object or to the panel.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/state/panel_state.h"
#include "http/core/server.h"
#include "server/api/classroom_context.h"
#include "server/api/short_links.h"

namespace klarion {

class ClassroomServer {
public:
    // The preference that holds the short-link service URL ("" or missing:
    // no short links are asked for).
    static constexpr const char* shortLinkServicePreferenceKey = "KLR_shortLinkServiceURL";

    ClassroomServer(std::shared_ptr<ClassroomContext> context, std::shared_ptr<PanelState> panel);
    // Stops the server and waits for its threads.
    ~ClassroomServer();
    ClassroomServer(const ClassroomServer&) = delete;
    ClassroomServer& operator=(const ClassroomServer&) = delete;

    // The page and resource routes, (path, handler) in registration order;
    // they are registered after the API routes. Set before startServer.
    void setPageRoutes(std::vector<std::pair<std::string, HttpHandler>> routes);

    // Journal, new teacher PIN in the individual mode, the route table, then
    // the listening socket on panel->selectedPort. On failure the port alert
    // is queued and nothing else changes. On success: isRunning, the published
    // address (queued), the two short-link requests, the journal line.
    // Ignored while the server runs.
    void startServer();
    // Stops the server, clears isRunning, ends the session in the
    // establishment mode, queues clearServerState, writes "Serveur arrêté".
    void stopServer();

    // Main-thread reactions (the start and stop queue them).
    static void setIpURL(PanelState& panel, std::string url);
    static void clearServerState(const ClassroomContext& context, PanelState& panel);
    static void showPortError(const ClassroomContext& context, PanelState& panel, const std::string& description);
    static void applyShortURL(const ClassroomContext& context, bool isTeacher, const std::string& link);

    // Asks the short-link service for `url`; the link arrives on the main queue.
    void requestShortURL(const std::string& url, bool isTeacher);

    // The port the server listens on while it runs.
    std::optional<uint16_t> listeningPort() const;
    bool isRunning() const { return panel_->isRunning; }

    HttpServer& server() { return *server_; }
    ShortLinkClient& shortLinks() { return *shortLinks_; }
    const std::shared_ptr<ClassroomContext>& context() const { return context_; }
    const std::shared_ptr<PanelState>& panel() const { return panel_; }

private:
    void registerRoutes();

    std::shared_ptr<ClassroomContext> context_;
    std::shared_ptr<PanelState> panel_;
    std::unique_ptr<HttpServer> server_;
    std::unique_ptr<ShortLinkClient> shortLinks_;
    std::vector<std::pair<std::string, HttpHandler>> pageRoutes_;
};

}  // namespace klarion
