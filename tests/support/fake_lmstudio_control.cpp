#include "tests/support/fake_lmstudio_control.h"

#include <chrono>
#include <stdexcept>

#include <nlohmann/json.hpp>

namespace klarion {

namespace {

using Json = nlohmann::json;

std::string dump(const Json& j) { return j.dump(-1, ' ', false, Json::error_handler_t::replace); }

Json toJson(const FakeModel& m) {
    return {{"key", m.key},
            {"type", m.type},
            {"publisher", m.publisher},
            {"displayName", m.displayName},
            {"arch", m.arch},
            {"format", m.format},
            {"quantization", m.quantization},
            {"maxContextLength", m.maxContextLength}};
}

Json toJson(const FakeInstance& i) { return {{"id", i.id}, {"model", i.modelKey}, {"contextLength", i.contextLength}}; }

Json toJson(const FakeChatReply& r) {
    Json j = {{"pieces", r.pieces}, {"content", r.content}, {"cuts", r.cuts}, {"gapMs", r.gap.count()}};
    if (r.rawStream) j["rawStream"] = *r.rawStream;
    return j;
}

Json toJson(const FakeRecordedRequest& r) {
    Json headers = Json::array();
    for (const auto& [n, v] : r.headers) headers.push_back({n, v});
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(r.received.time_since_epoch());
    return {{"connection", r.connection}, {"method", r.method},   {"target", r.target},    {"path", r.path},
            {"version", r.version},       {"headers", headers},   {"body", r.body},        {"receivedMs", ms.count()},
            {"status", r.status},         {"emitted", r.emitted}, {"finished", r.finished}};
}

// Reads an optional member into `out`; a member of the wrong type throws.
template <typename T>
void take(const Json& j, const char* key, T& out) {
    if (!j.contains(key)) return;
    out = j.at(key).get<T>();
}

void requireObject(const Json& j, const char* what) {
    if (!j.is_object()) throw std::runtime_error(std::string(what) + " must be a JSON object");
}

FakeModel modelFrom(const Json& j) {
    requireObject(j, "a model");
    FakeModel m;
    take(j, "key", m.key);
    take(j, "type", m.type);
    take(j, "publisher", m.publisher);
    take(j, "displayName", m.displayName);
    take(j, "arch", m.arch);
    take(j, "format", m.format);
    take(j, "quantization", m.quantization);
    take(j, "maxContextLength", m.maxContextLength);
    if (m.key.empty()) throw std::runtime_error("a model needs a \"key\"");
    return m;
}

FakeInstance instanceFrom(const Json& j) {
    requireObject(j, "a loaded instance");
    FakeInstance i;
    take(j, "id", i.id);
    take(j, "model", i.modelKey);
    take(j, "contextLength", i.contextLength);
    if (i.modelKey.empty()) i.modelKey = i.id;
    if (i.id.empty()) i.id = i.modelKey;
    if (i.id.empty()) throw std::runtime_error("a loaded instance needs an \"id\" or a \"model\"");
    return i;
}

FakeChatReply replyFrom(const Json& j) {
    requireObject(j, "the reply");
    FakeChatReply r;
    take(j, "pieces", r.pieces);
    take(j, "content", r.content);
    take(j, "cuts", r.cuts);
    if (j.contains("rawStream")) r.rawStream = j.at("rawStream").get<std::string>();
    long long gap = 0;
    take(j, "gapMs", gap);
    r.gap = std::chrono::milliseconds(gap);
    return r;
}

FakeFault faultFrom(const Json& j) {
    requireObject(j, "a fault");
    FakeFault f;
    take(j, "path", f.path);
    std::string action = "answer";
    take(j, "action", action);
    if (action == "answer")
        f.action = FakeFaultAction::Answer;
    else if (action == "hang")
        f.action = FakeFaultAction::Hang;
    else if (action == "close")
        f.action = FakeFaultAction::Close;
    else if (action == "reset")
        f.action = FakeFaultAction::Reset;
    else if (action == "status")
        f.action = FakeFaultAction::Status;
    else if (action == "raw")
        f.action = FakeFaultAction::Raw;
    else if (action == "break-stream")
        f.action = FakeFaultAction::BreakStream;
    else
        throw std::runtime_error("unknown fault action \"" + action + "\"");
    long long delay = 0;
    take(j, "delayMs", delay);
    f.delay = std::chrono::milliseconds(delay);
    take(j, "status", f.status);
    take(j, "body", f.body);
    take(j, "contentType", f.contentType);
    take(j, "afterEvents", f.afterEvents);
    std::string breakWith = "close";
    take(j, "breakWith", breakWith);
    if (breakWith == "close")
        f.breakWith = FakeStreamBreak::Close;
    else if (breakWith == "reset")
        f.breakWith = FakeStreamBreak::Reset;
    else if (breakWith == "hang")
        f.breakWith = FakeStreamBreak::Hang;
    else
        throw std::runtime_error("unknown \"breakWith\" \"" + breakWith + "\"");
    take(j, "times", f.times);
    return f;
}

}  // namespace

FakeLmStudioControl::FakeLmStudioControl(FakeLmStudio& fake, std::function<void()> onQuit)
    : fake_(fake), onQuit_(std::move(onQuit)) {}

FakeLmStudioControl::~FakeLmStudioControl() { stop(); }

bool FakeLmStudioControl::start(std::uint16_t port) {
    if (server_) return false;
    server_ = std::make_unique<MiniHttpServer>(
        [this](const MiniHttpRequest& req, MiniHttpConnection& conn) { handle(req, conn); });
    if (!server_->start(port)) {
        server_.reset();
        return false;
    }
    return true;
}

void FakeLmStudioControl::stop() {
    if (server_) server_->stop();
}

std::uint16_t FakeLmStudioControl::port() const { return server_ ? server_->port() : 0; }

void FakeLmStudioControl::handle(const MiniHttpRequest& req, MiniHttpConnection& conn) {
    const char* type = "application/json";
    auto reply = [&](int status, const Json& body) { conn.sendResponse(status, type, dump(body)); };
    const Json ok = {{"ok", true}};
    const std::string& p = req.path;
    try {
        if (req.method == "GET") {
            if (p == "/control/state") {
                Json models = Json::array();
                for (const auto& m : fake_.models()) models.push_back(toJson(m));
                Json loaded = Json::array();
                for (const auto& i : fake_.loadedInstances()) loaded.push_back(toJson(i));
                reply(200, {{"port", fake_.port()},
                            {"refusing", fake_.refusing()},
                            {"models", models},
                            {"loaded", loaded},
                            {"reply", toJson(fake_.chatReply())},
                            {"pendingFaults", fake_.pendingFaults()}});
            } else if (p == "/control/requests") {
                Json list = Json::array();
                for (const auto& r : fake_.requests()) list.push_back(toJson(r));
                reply(200, list);
            } else if (p == "/control/violations") {
                reply(200, fake_.violations());
            } else {
                reply(404, {{"error", "unknown control request GET " + p}});
            }
            return;
        }
        if (req.method != "POST") {
            reply(405, {{"error", "control requests are GET or POST"}});
            return;
        }
        Json body = req.body.empty() ? Json::object() : Json::parse(req.body, nullptr, false);
        if (body.is_discarded()) {
            reply(400, {{"error", "the body is not JSON"}});
            return;
        }
        if (p == "/control/models") {
            requireObject(body, "the body");
            std::vector<FakeModel> models;
            std::vector<FakeInstance> loaded;
            for (const auto& m : body.at("models")) models.push_back(modelFrom(m));
            if (body.contains("loaded")) {
                for (const auto& i : body.at("loaded")) loaded.push_back(instanceFrom(i));
            }
            fake_.setModels(std::move(models), std::move(loaded));
            reply(200, ok);
        } else if (p == "/control/reply") {
            fake_.setChatReply(replyFrom(body));
            reply(200, ok);
        } else if (p == "/control/faults") {
            std::vector<FakeFault> faults;
            if (body.is_array()) {
                for (const auto& f : body) faults.push_back(faultFrom(f));
            } else {
                faults.push_back(faultFrom(body));
            }
            for (auto& f : faults) fake_.addFault(std::move(f));
            reply(200, ok);
        } else if (p == "/control/clear-faults") {
            fake_.clearFaults();
            reply(200, ok);
        } else if (p == "/control/refuse") {
            requireObject(body, "the body");
            const bool refusing = body.at("refusing").get<bool>();
            if (fake_.setRefusing(refusing)) {
                reply(200, ok);
            } else {
                reply(500, {{"error", "cannot listen on the port again"}});
            }
        } else if (p == "/control/clear") {
            fake_.clearRecords();
            reply(200, ok);
        } else if (p == "/control/quit") {
            conn.setKeepAlive(false);
            reply(200, ok);
            conn.closeNow();
            if (onQuit_) onQuit_();
        } else {
            reply(404, {{"error", "unknown control request POST " + p}});
        }
    } catch (const std::exception& e) {
        reply(400, {{"error", e.what()}});
    }
}

}  // namespace klarion
