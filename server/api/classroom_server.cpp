#include "server/api/classroom_server.h"

#include <stdexcept>

#include "app/state/roster.h"
#include "server/api/class_config_routes.h"
#include "server/api/class_log.h"
#include "server/api/lan_address.h"
#include "server/api/live_data_routes.h"
#include "server/api/log_routes.h"
#include "server/api/login_routes.h"
#include "server/api/schedule_routes.h"
#include "server/llm/chat_proxy.h"
#include "server/llm/model_routes.h"

namespace klarion {

namespace {

// A route handler over the shared context.
template <class Fn>
HttpHandler bind(const std::shared_ptr<ClassroomContext>& context, Fn fn) {
    return [context, fn](HttpRequest& request) { return fn(*context, request); };
}

}  // namespace

ClassroomServer::ClassroomServer(std::shared_ptr<ClassroomContext> context, ServerReports reports)
    : context_(std::move(context)),
      reports_(std::move(reports)),
      server_(std::make_unique<HttpServer>()),
      shortLinks_(std::make_unique<ShortLinkClient>()) {}

ClassroomServer::~ClassroomServer() {
    server_->stopAndWait();  // its handlers use what this object holds
    shortLinks_.reset();
}

void ClassroomServer::setPageRoutes(std::vector<std::pair<std::string, HttpHandler>> routes) {
    pageRoutes_ = std::move(routes);
}

// The route table of the class, in registration order. Every route answers
// any method. A route whose handler is not built yet stays unregistered.
void ClassroomServer::registerRoutes() {
    HttpServer& s = *server_;
    const auto& c = context_;
    // The LLM gateway's routes share one chat proxy and one set of model routes.
    // Their waits for LM Studio end once the server stops (the check is only
    // asked on the server's own connection threads, which its stop waits for).
    const LmStudioClient::StopCheck stopping = [server = server_.get()] { return !server->operating(); };
    const auto chat = std::make_shared<const ChatProxy>(ChatProxy::Dependencies{
        c->state, c->lmStudio, RateLimiter::shared(), ClassroomContext::pinCheck(c, PinRule::activeTeacher),
        [sessions = c->sessions] { sessions->touchLastActivity(); }, stopping});
    const auto models = std::make_shared<const ModelRoutes>(
        ModelRoutes::Dependencies{c->state, c->lmStudio, ClassroomContext::pinCheck(c, PinRule::anyTeacher),
                                  ClassroomContext::pinCheck(c, PinRule::activeTeacher), stopping});
    s["/api/config"] = bind(c, handleConfig);
    s["/api/mission"] = bind(c, handleMission);
    s["/api/admin/update"] = bind(c, handleAdminUpdate);
    s["/api/gen-params"] = bind(c, handleGenParams);
    s["/api/keywords"] = bind(c, handleKeywords);
    s["/api/students"] = bind(c, handleStudents);
    s["/api/live-feed"] = bind(c, handleLiveFeed);
    s["/api/safety-alerts"] = bind(c, handleSafetyAlerts);
    s["/api/ack-alert"] = bind(c, handleAckAlert);
    s["/api/verify"] = bind(c, handleVerify);
    s["/api/verify-teacher"] = bind(c, handleVerifyTeacher);
    s["/api/teachers-list"] = bind(c, handleTeachersList);
    s["/api/end-session"] = bind(c, handleEndSession);
    s["/api/schedule"] = bind(c, handleSchedule);
    s["/api/reserve-slot"] = bind(c, handleReserveSlot);
    s["/api/available-models"] = [models](HttpRequest& r) { return models->handleAvailableModels(r); };
    s["/api/switch-model"] = [models](HttpRequest& r) { return models->handleSwitchModel(r); };
    s["/api/log"] = bind(c, handleLog);
    s["/api/logs"] = bind(c, handleLogs);
    s["/api/log-content"] = bind(c, handleLogContent);
    s["/api/models"] = [models](HttpRequest& r) { return models->handleModels(r); };
    s["/api/chat"] = [chat](HttpRequest& r) { return chat->handleChat(r); };
    // 23-28 "/teacher", "/", "/style.css", "/app.js", "/klarion_petit.png",
    //       "/context_help.png": the page and resource routes, in their order.
    for (const auto& [path, handler] : pageRoutes_) {
        if (handler) s[path] = handler;
    }
}

bool ClassroomServer::startServer(int64_t selectedPort, const std::string& hostName) {
    if (running_ || server_->operating()) return true;
    const auto& c = *context_;
    c.log("Démarrage du serveur sur le port " + std::to_string(selectedPort) + "…", AppLogLevel::info);

    if (c.config().mode() == AppMode::individual) {
        c.config().setTeacherPinCode(generateTeacherPin());
        c.log("PIN enseignant régénéré au démarrage du serveur", AppLogLevel::debug);
    }

    registerRoutes();

    std::string failure;
    if (selectedPort < 0 || selectedPort > 65535) {
        failure = "port hors de l'intervalle 0 à 65535";
    } else {
        try {
            server_->start(static_cast<uint16_t>(selectedPort), false, ServerPriority::background);
        } catch (const std::exception& error) {
            failure = error.what();
        }
    }
    if (!failure.empty()) {
        c.post([context = context_, report = reports_.startFailed, selectedPort, failure] {
            if (report) report(selectedPort, failure);
            context->log("Impossible de démarrer sur le port " + std::to_string(selectedPort) + " : " + failure,
                         AppLogLevel::error);
        });
        return false;
    }

    running_ = true;
    // Port 0 asks the system for a free port: publish the one it gave.
    int64_t port = selectedPort;
    if (port == 0) {
        if (auto bound = listeningPort()) port = *bound;
    }
    const std::string serverURL = buildServerURL(localIPAddress(), hostName, port);
    if (reports_.addressPublished) {
        c.post([report = reports_.addressPublished, serverURL] { report(serverURL); });
    }

    std::string service;
    if (c.config().preferences()) {
        service = c.config().preferences()->string(shortLinkServicePreferenceKey).value_or("");
    }
    shortLinks_->setServiceURL(service);
    requestShortURL(serverURL, false);
    requestShortURL(serverURL + "/teacher", true);

    c.log("Serveur démarré sur le port " + std::to_string(port) + " → " + serverURL, AppLogLevel::info);
    return true;
}

void ClassroomServer::stopServer() {
    const auto& c = *context_;
    server_->stop();
    running_ = false;
    if (c.isEstablishmentMode()) c.sessions->endTeacherSession();
    c.post([context = context_, report = reports_.cleared] {
        clearServerState(*context);
        if (report) report();
    });
    c.log("Serveur arrêté", AppLogLevel::info);
}

void ClassroomServer::clearServerState(const ClassroomContext& context) {
    AppConfig& config = context.config();
    config.setShortURL("");
    config.setTeacherShortURL("");
    config.setConnectedStudents({});
    config.setWordFrequency({});
    config.setLiveQuestions({});
    config.setSafetyAlerts({});
}

void ClassroomServer::applyShortURL(const ClassroomContext& context, bool isTeacher, const std::string& link) {
    if (isTeacher) {
        context.config().setTeacherShortURL(link);
    } else {
        context.config().setShortURL(link);
    }
    context.log("Lien court généré : " + link, AppLogLevel::debug);
}

void ClassroomServer::requestShortURL(const std::string& url, bool isTeacher) {
    auto context = context_;
    shortLinks_->request(url, [context, isTeacher](const std::string& link) {
        context->post([context, isTeacher, link] { applyShortURL(*context, isTeacher, link); });
    });
}

std::optional<uint16_t> ClassroomServer::listeningPort() const {
    if (!server_->operating()) return std::nullopt;
    try {
        return server_->port();
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

}  // namespace klarion
