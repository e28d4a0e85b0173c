#include "tests/support/fake_lmstudio.h"

#include <algorithm>
#include <cctype>
#include <ctime>

#include <nlohmann/json.hpp>

namespace klarion {

namespace {

using OJson = nlohmann::ordered_json;
using Json = nlohmann::json;

const std::vector<std::pair<std::string, std::string>> kJsonHeaders = {{"X-Powered-By", "Express"}};
const std::vector<std::pair<std::string, std::string>> kStreamHeaders = {{"Cache-Control", "no-cache"},
                                                                         {"X-Powered-By", "Express"}};
constexpr const char* kJsonType = "application/json; charset=utf-8";

std::string dump(const OJson& j) { return j.dump(-1, ' ', false, OJson::error_handler_t::replace); }

std::string errorBody(const std::string& message) {
    OJson e;
    e["error"] = message;
    return dump(e);
}

std::string paramsString(const FakeModel& m) {
    if (m.type == "embeddings") return "137M";
    return m.maxContextLength >= 100000 ? "4B" : "7B";
}

long long sizeBytes(const FakeModel& m) { return m.type == "embeddings" ? 84106624LL : 4683073952LL; }

// Splits a streamed body into its events, each ending with its blank line; a tail without one
// is an event of its own.
std::vector<std::string> splitEvents(const std::string& body) {
    std::vector<std::string> events;
    std::size_t pos = 0;
    while (pos < body.size()) {
        std::size_t end = body.find("\n\n", pos);
        if (end == std::string::npos) {
            events.push_back(body.substr(pos));
            break;
        }
        events.push_back(body.substr(pos, end + 2 - pos));
        pos = end + 2;
    }
    return events;
}

}  // namespace

struct FakeLmStudio::Answer {
    int status = 200;
    std::string body;
    std::vector<std::string> events;  // a streamed answer
    FakeChatReply reply;              // its cutting
};

const std::string* FakeRecordedRequest::header(std::string_view name) const {
    for (const auto& [n, v] : headers) {
        if (n.size() == name.size() && std::equal(n.begin(), n.end(), name.begin(), [](char a, char b) {
                return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
            })) {
            return &v;
        }
    }
    return nullptr;
}

std::vector<FakeModel> FakeLmStudio::defaultModels() {
    FakeModel qwen;
    qwen.key = "qwen2.5-7b-instruct";
    qwen.displayName = "Qwen2.5 7B Instruct";
    qwen.arch = "qwen2";
    qwen.maxContextLength = 32768;
    FakeModel gemma;
    gemma.key = "google/gemma-3-4b";
    gemma.type = "vlm";
    gemma.publisher = "google";
    gemma.displayName = "Gemma 3 4B";
    gemma.arch = "gemma3";
    gemma.maxContextLength = 131072;
    FakeModel embed;
    embed.key = "text-embedding-nomic-embed-text-v1.5";
    embed.type = "embeddings";
    embed.publisher = "nomic-ai";
    embed.displayName = "Nomic Embed Text v1.5";
    embed.arch = "nomic-bert";
    embed.maxContextLength = 2048;
    return {qwen, gemma, embed};
}

std::vector<FakeInstance> FakeLmStudio::defaultInstances() {
    return {FakeInstance{"qwen2.5-7b-instruct", "qwen2.5-7b-instruct", 8192}};
}

FakeLmStudio::FakeLmStudio() : models_(defaultModels()), instances_(defaultInstances()) {}

FakeLmStudio::~FakeLmStudio() { stop(); }

bool FakeLmStudio::start(std::uint16_t port) {
    if (server_) return false;
    server_ = std::make_unique<MiniHttpServer>(
        [this](const MiniHttpRequest& req, MiniHttpConnection& conn) { handle(req, conn); },
        [this](const std::string& what) {
            std::lock_guard<std::mutex> lock(mu_);
            violations_.push_back("unreadable request: " + what);
            cv_.notify_all();
        });
    if (!server_->start(port)) {
        server_.reset();
        return false;
    }
    return true;
}

void FakeLmStudio::stop() {
    if (server_) server_->stop();
}

std::uint16_t FakeLmStudio::port() const { return server_ ? server_->port() : 0; }

std::string FakeLmStudio::baseUrl() const { return "http://127.0.0.1:" + std::to_string(port()); }

bool FakeLmStudio::setRefusing(bool refusing) {
    if (!server_) return false;
    bool ok = server_->setRefusing(refusing);
    std::lock_guard<std::mutex> lock(mu_);
    if (ok) refusing_ = refusing;
    return ok;
}

bool FakeLmStudio::refusing() const {
    std::lock_guard<std::mutex> lock(mu_);
    return refusing_;
}

void FakeLmStudio::setModels(std::vector<FakeModel> models, std::vector<FakeInstance> loaded) {
    std::lock_guard<std::mutex> lock(mu_);
    models_ = std::move(models);
    instances_ = std::move(loaded);
}

std::vector<FakeModel> FakeLmStudio::models() const {
    std::lock_guard<std::mutex> lock(mu_);
    return models_;
}

std::vector<FakeInstance> FakeLmStudio::loadedInstances() const {
    std::lock_guard<std::mutex> lock(mu_);
    return instances_;
}

void FakeLmStudio::setChatReply(FakeChatReply reply) {
    std::lock_guard<std::mutex> lock(mu_);
    reply_ = std::move(reply);
}

FakeChatReply FakeLmStudio::chatReply() const {
    std::lock_guard<std::mutex> lock(mu_);
    return reply_;
}

void FakeLmStudio::addFault(FakeFault fault) {
    std::lock_guard<std::mutex> lock(mu_);
    faults_.push_back(std::move(fault));
}

void FakeLmStudio::clearFaults() {
    std::lock_guard<std::mutex> lock(mu_);
    faults_.clear();
}

std::size_t FakeLmStudio::pendingFaults() const {
    std::lock_guard<std::mutex> lock(mu_);
    return faults_.size();
}

std::vector<FakeRecordedRequest> FakeLmStudio::requests() const {
    std::lock_guard<std::mutex> lock(mu_);
    return records_;
}

std::vector<FakeRecordedRequest> FakeLmStudio::requestsTo(std::string_view path) const {
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<FakeRecordedRequest> out;
    for (const auto& r : records_) {
        if (r.path == path) out.push_back(r);
    }
    return out;
}

std::vector<std::string> FakeLmStudio::violations() const {
    std::lock_guard<std::mutex> lock(mu_);
    return violations_;
}

void FakeLmStudio::clearRecords() {
    std::lock_guard<std::mutex> lock(mu_);
    recordBase_ += records_.size();
    records_.clear();
    violations_.clear();
}

bool FakeLmStudio::waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, timeout, [&] {
        return static_cast<std::size_t>(
                   std::count_if(records_.begin(), records_.end(), [](const auto& r) { return r.finished; })) >= count;
    });
}

FakeRecordedRequest* FakeLmStudio::recordLocked(std::uint64_t serial) {
    if (serial < recordBase_ || serial - recordBase_ >= records_.size()) return nullptr;
    return &records_[serial - recordBase_];
}

void FakeLmStudio::noteEmitted(std::uint64_t serial, std::string_view bytes) {
    std::lock_guard<std::mutex> lock(mu_);
    if (auto* r = recordLocked(serial)) r->emitted.append(bytes);
}

void FakeLmStudio::noteStatus(std::uint64_t serial, int status) {
    std::lock_guard<std::mutex> lock(mu_);
    if (auto* r = recordLocked(serial)) r->status = status;
}

void FakeLmStudio::finish(std::uint64_t serial) {
    std::lock_guard<std::mutex> lock(mu_);
    if (auto* r = recordLocked(serial)) r->finished = true;
    cv_.notify_all();
}

// ---- one request ----

void FakeLmStudio::handle(const MiniHttpRequest& req, MiniHttpConnection& conn) {
    std::uint64_t serial;
    std::optional<FakeFault> fault;
    {
        std::lock_guard<std::mutex> lock(mu_);
        FakeRecordedRequest rec;
        rec.connection = conn.id();
        rec.method = req.method;
        rec.target = req.target;
        rec.path = req.path;
        rec.version = req.version;
        rec.headers = req.headers;
        rec.body = req.body;
        rec.received = req.received;
        serial = recordBase_ + records_.size();
        records_.push_back(std::move(rec));
        for (auto& v : lmStudioContractViolations(req)) violations_.push_back(std::move(v));
        for (auto it = faults_.begin(); it != faults_.end(); ++it) {
            if (!it->path.empty() && it->path != req.path) continue;
            fault = *it;
            if (it->times > 0 && --it->times == 0) faults_.erase(it);
            break;
        }
    }

    if (fault && fault->delay.count() > 0 && !conn.sleepFor(fault->delay)) {
        finish(serial);
        return;
    }
    const FakeFaultAction action = fault ? fault->action : FakeFaultAction::Answer;
    switch (action) {
        case FakeFaultAction::Hang:
            conn.waitForPeerOrStop();
            conn.closeNow();
            finish(serial);
            return;
        case FakeFaultAction::Close:
            conn.closeNow();
            finish(serial);
            return;
        case FakeFaultAction::Reset:
            conn.resetNow();
            finish(serial);
            return;
        case FakeFaultAction::Raw:
            noteEmitted(serial, fault->body);
            conn.send(fault->body);
            conn.closeNow();
            finish(serial);
            return;
        case FakeFaultAction::Status: {
            noteStatus(serial, fault->status);
            noteEmitted(serial, fault->body);
            conn.sendResponse(fault->status, fault->contentType, fault->body, kJsonHeaders);
            finish(serial);
            return;
        }
        case FakeFaultAction::Answer:
        case FakeFaultAction::BreakStream: break;
    }

    bool streamed = false;
    Answer answer;
    {
        std::lock_guard<std::mutex> lock(mu_);
        answer = route(req, streamed);
    }
    if (!streamed) {
        if (action == FakeFaultAction::BreakStream) {
            conn.closeNow();
            finish(serial);
            return;
        }
        noteStatus(serial, answer.status);
        noteEmitted(serial, answer.body);
        conn.sendResponse(answer.status, kJsonType, answer.body, kJsonHeaders);
        finish(serial);
        return;
    }
    noteStatus(serial, 200);
    std::optional<FakeFault> breakFault;
    if (action == FakeFaultAction::BreakStream) breakFault = fault;
    stream(serial, conn, answer.events, answer.reply, breakFault);
    finish(serial);
}

void FakeLmStudio::stream(std::uint64_t serial, MiniHttpConnection& conn, const std::vector<std::string>& events,
                          const FakeChatReply& reply, std::optional<FakeFault> breakFault) {
    std::size_t count = events.size();
    if (breakFault) count = std::min(count, breakFault->afterEvents);

    // The chunks to send: one per event, or the body cut into the scripted sizes.
    std::vector<std::string> chunks;
    if (reply.cuts.empty()) {
        chunks.assign(events.begin(), events.begin() + static_cast<std::ptrdiff_t>(count));
    } else {
        std::string body;
        for (std::size_t i = 0; i < count; ++i) body += events[i];
        std::size_t pos = 0;
        std::size_t k = 0;
        while (pos < body.size()) {
            std::size_t size = std::max<std::size_t>(reply.cuts[k++ % reply.cuts.size()], 1);
            chunks.push_back(body.substr(pos, size));
            pos += size;
        }
    }

    bool ok = conn.beginChunked(200, "text/event-stream", kStreamHeaders);
    for (std::size_t i = 0; ok && i < chunks.size(); ++i) {
        if (i > 0 && reply.gap.count() > 0 && !conn.sleepFor(reply.gap)) return;
        noteEmitted(serial, chunks[i]);
        ok = conn.sendChunk(chunks[i]);
    }
    if (!ok) {
        conn.closeNow();
        return;
    }
    if (!breakFault) {
        conn.endChunked();
        return;
    }
    switch (breakFault->breakWith) {
        case FakeStreamBreak::Close: conn.closeNow(); break;
        case FakeStreamBreak::Reset: conn.resetNow(); break;
        case FakeStreamBreak::Hang:
            conn.waitForPeerOrStop();
            conn.closeNow();
            break;
    }
}

std::string FakeLmStudio::loadLocked(const std::string& key, int& status) {
    auto model = std::find_if(models_.begin(), models_.end(), [&](const FakeModel& m) { return m.key == key; });
    if (model == models_.end()) {
        status = 404;
        return errorBody("Model not found: " + key);
    }
    std::string id = key;
    for (int n = 2;
         std::any_of(instances_.begin(), instances_.end(), [&](const FakeInstance& i) { return i.id == id; }); ++n) {
        id = key + ":" + std::to_string(n);
    }
    instances_.push_back(FakeInstance{id, key, std::min(4096, model->maxContextLength)});
    OJson out;
    out["type"] = model->type == "embeddings" ? "embedding" : "llm";
    out["instance_id"] = id;
    out["load_time_seconds"] = 1.25;
    out["status"] = "loaded";
    status = 200;
    return dump(out);
}

FakeLmStudio::Answer FakeLmStudio::route(const MiniHttpRequest& req, bool& streamed) {
    Answer a;
    streamed = false;
    const std::string& p = req.path;
    const bool get = req.method == "GET";
    const bool post = req.method == "POST";

    if (get && p == "/v1/models") {
        OJson data = OJson::array();
        for (const auto& inst : instances_) {
            data.push_back({{"id", inst.id}, {"object", "model"}, {"owned_by", "organization_owner"}});
        }
        a.body = dump(OJson{{"object", "list"}, {"data", data}});
        return a;
    }
    if (get && p == "/api/v0/models") {
        OJson data = OJson::array();
        for (const auto& m : models_) {
            auto inst = std::find_if(instances_.begin(), instances_.end(),
                                     [&](const FakeInstance& i) { return i.modelKey == m.key; });
            OJson e;
            e["id"] = m.key;
            e["object"] = "model";
            e["type"] = m.type;
            e["publisher"] = m.publisher;
            e["arch"] = m.arch;
            e["compatibility_type"] = m.format;
            e["quantization"] = m.quantization;
            e["state"] = inst == instances_.end() ? "not-loaded" : "loaded";
            e["max_context_length"] = m.maxContextLength;
            if (inst != instances_.end()) e["loaded_context_length"] = inst->contextLength;
            data.push_back(std::move(e));
        }
        a.body = dump(OJson{{"object", "list"}, {"data", data}});
        return a;
    }
    if (get && p == "/api/v1/models") {
        OJson list = OJson::array();
        for (const auto& m : models_) {
            OJson loaded = OJson::array();
            for (const auto& inst : instances_) {
                if (inst.modelKey == m.key) {
                    loaded.push_back({{"id", inst.id}, {"config", {{"context_length", inst.contextLength}}}});
                }
            }
            const bool embedding = m.type == "embeddings";
            OJson e;
            e["type"] = embedding ? "embedding" : "llm";
            e["publisher"] = m.publisher;
            e["key"] = m.key;
            e["display_name"] = m.displayName.empty() ? m.key : m.displayName;
            if (!embedding) e["architecture"] = m.arch;
            e["quantization"] = {{"name", m.quantization}, {"bits_per_weight", 4}};
            e["size_bytes"] = sizeBytes(m);
            e["params_string"] = paramsString(m);
            e["loaded_instances"] = loaded;
            e["max_context_length"] = m.maxContextLength;
            e["format"] = m.format;
            if (!embedding) {
                e["capabilities"] = {{"vision", m.type == "vlm"}, {"trained_for_tool_use", false}};
            }
            list.push_back(std::move(e));
        }
        a.body = dump(OJson{{"models", list}});
        return a;
    }

    Json body = Json::parse(req.body, nullptr, false);
    if (post && p == "/api/v1/models/load") {
        if (!body.is_object() || !body.contains("model") || !body["model"].is_string()) {
            a.status = 400;
            a.body = errorBody("Invalid body: expected {\"model\": string}");
            return a;
        }
        a.body = loadLocked(body["model"].get<std::string>(), a.status);
        return a;
    }
    if (post && p == "/api/v1/models/unload") {
        if (!body.is_object() || !body.contains("instance_id") || !body["instance_id"].is_string()) {
            a.status = 400;
            a.body = errorBody("Invalid body: expected {\"instance_id\": string}");
            return a;
        }
        const std::string id = body["instance_id"].get<std::string>();
        auto it = std::find_if(instances_.begin(), instances_.end(), [&](const FakeInstance& i) { return i.id == id; });
        if (it == instances_.end()) {
            a.status = 404;
            a.body = errorBody("No loaded model instance with id: " + id);
            return a;
        }
        instances_.erase(it);
        a.body = dump(OJson{{"instance_id", id}});
        return a;
    }
    if (post && p == "/v1/chat/completions") {
        if (!body.is_object() || !body.contains("messages") || !body["messages"].is_array()) {
            a.status = 400;
            a.body = errorBody("'messages' field is required");
            return a;
        }
        std::string model;
        if (body.contains("model") && body["model"].is_string()) {
            const std::string wanted = body["model"].get<std::string>();
            auto it = std::find_if(instances_.begin(), instances_.end(),
                                   [&](const FakeInstance& i) { return i.id == wanted || i.modelKey == wanted; });
            if (it == instances_.end()) {
                a.status = 404;
                a.body = errorBody("Model \"" + wanted + "\" is not loaded");
                return a;
            }
            model = it->id;
        } else if (!instances_.empty()) {
            model = instances_.front().id;
        } else {
            a.status = 400;
            a.body =
                errorBody("No models loaded. Please load a model in the developer page or use the `lms load` command.");
            return a;
        }
        const std::string id = "chatcmpl-" + std::to_string(++completionSerial_);
        const long long created = static_cast<long long>(std::time(nullptr));
        const bool wantsStream = body.contains("stream") && body["stream"].is_boolean() && body["stream"].get<bool>();
        if (!wantsStream) {
            OJson out;
            out["id"] = id;
            out["object"] = "chat.completion";
            out["created"] = created;
            out["model"] = model;
            out["choices"] = OJson::array({OJson{{"index", 0},
                                                 {"logprobs", nullptr},
                                                 {"finish_reason", "stop"},
                                                 {"message", {{"role", "assistant"}, {"content", reply_.content}}}}});
            const int words = static_cast<int>(reply_.content.size() / 4) + 1;
            out["usage"] = {{"prompt_tokens", 24}, {"completion_tokens", words}, {"total_tokens", 24 + words}};
            out["system_fingerprint"] = model;
            a.body = dump(out);
            return a;
        }
        streamed = true;
        a.reply = reply_;
        if (reply_.rawStream) {
            a.events = splitEvents(*reply_.rawStream);
            return a;
        }
        auto event = [&](OJson delta, OJson finish) {
            OJson e;
            e["id"] = id;
            e["object"] = "chat.completion.chunk";
            e["created"] = created;
            e["model"] = model;
            e["system_fingerprint"] = model;
            e["choices"] = OJson::array({OJson{{"index", 0},
                                               {"delta", std::move(delta)},
                                               {"logprobs", nullptr},
                                               {"finish_reason", std::move(finish)}}});
            return "data: " + dump(e) + "\n\n";
        };
        for (std::size_t i = 0; i < reply_.pieces.size(); ++i) {
            OJson delta;
            if (i == 0) delta["role"] = "assistant";
            delta["content"] = reply_.pieces[i];
            a.events.push_back(event(std::move(delta), nullptr));
        }
        a.events.push_back(event(OJson::object(), "stop"));
        a.events.push_back("data: [DONE]\n\n");
        return a;
    }

    a.status = 404;
    a.body = errorBody("Unexpected endpoint or method. (" + req.method + " " + req.path + ")");
    return a;
}

}  // namespace klarion
