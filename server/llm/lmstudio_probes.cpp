#include "server/llm/lmstudio_probes.h"

#include <chrono>
#include <cmath>
#include <utility>

#include "platform/json.h"

namespace klarion {

namespace {

std::chrono::milliseconds toMilliseconds(double seconds) {
    if (!std::isfinite(seconds) || seconds <= 0) return std::chrono::milliseconds(1);
    return std::chrono::milliseconds(std::llround(std::min(seconds, 1e6) * 1000.0));
}

bool isListOfObjects(const Json& value) {
    if (!value.is_array()) return false;
    for (const Json& element : value) {
        if (!element.is_object()) return false;
    }
    return true;
}

}  // namespace

std::shared_ptr<LmStudioProbes> LmStudioProbes::create(StateContext state,
                                                       std::shared_ptr<const LmStudioClient> lmStudio,
                                                       std::size_t workers) {
    return std::shared_ptr<LmStudioProbes>(new LmStudioProbes(std::move(state), std::move(lmStudio), workers));
}

LmStudioProbes::LmStudioProbes(StateContext state, std::shared_ptr<const LmStudioClient> lmStudio, std::size_t workers)
    : state_(std::move(state)),
      lmStudio_(lmStudio ? std::move(lmStudio) : std::make_shared<const LmStudioClient>()),
      pool_(workers) {}

LmStudioProbes::~LmStudioProbes() { pool_.shutdown(); }

void LmStudioProbes::shutdown() { pool_.shutdown(); }

void LmStudioProbes::probeLMStudio(double timeoutSeconds, ProbeHandler handler) {
    // The worker holds the client and the handler, never this object.
    pool_.submit(
        [lm = lmStudio_, state = state_, timeout = toMilliseconds(timeoutSeconds), handler = std::move(handler)] {
            LmReply reply = lm->listModels(timeout);
            if (reply.error == LmTransportError::InvalidAddress) return;
            state.post([handler, reply = std::move(reply)] {
                if (handler) handler(reply);
            });
        });
}

std::optional<std::size_t> LmStudioProbes::listedModelCount(const LmReply& reply) {
    if (!reply.answered()) return std::nullopt;
    const auto object = parseJsonObject(reply.body);
    if (!object) return std::nullopt;
    const Json* data = readArray(*object, "data");
    if (data == nullptr || !isListOfObjects(*data) || data->empty()) return std::nullopt;
    return data->size();
}

void LmStudioProbes::handleLMProbeResult(const LmReply& reply) {
    AppConfig& config = *state_.config;
    const bool wasOnline = config.isLmStudioOnline();
    if (!reply.answered()) {
        if (wasOnline) state_.log("LM Studio est hors ligne", AppLogLevel::warn);
    } else if (const auto count = listedModelCount(reply)) {
        if (!wasOnline) state_.log("LM Studio en ligne (" + std::to_string(*count) + " modèle(s))", AppLogLevel::info);
        config.setIsLmStudioOnline(true);
        fetchLMContext();
        return;
    }
    config.setIsLmStudioOnline(false);
    config.setLmLoadedModelId("");
    config.setLmContextLength(0);
}

void LmStudioProbes::fetchLMContext() {
    std::weak_ptr<LmStudioProbes> weak = weak_from_this();
    pool_.submit([lm = lmStudio_, state = state_, weak] {
        const auto model = parseLMModels(lm->listModelsV0(lm->timeouts().contextQuery));
        if (!model) return;
        state.post([weak, model = *model] {
            if (auto self = weak.lock()) self->warnShortContext(model.id, model.contextLength);
        });
    });
}

std::optional<LmStudioProbes::LoadedModel> LmStudioProbes::parseLMModels(const LmReply& reply) {
    if (!reply.answered()) return std::nullopt;
    const auto document = parseJson(reply.body);
    if (!document) return std::nullopt;
    const Json* list = nullptr;
    if (const Json* data = readArray(*document, "data"); data != nullptr && isListOfObjects(*data)) {
        list = data;
    } else if (isListOfObjects(*document)) {
        list = &*document;
    }
    if (list == nullptr || list->empty()) return std::nullopt;

    const Json* chosen = &list->front();
    for (const Json& model : *list) {
        if (readString(model, "state") == std::optional<std::string>("loaded")) {
            chosen = &model;
            break;
        }
    }
    LoadedModel model;
    if (auto id = readString(*chosen, "id")) {
        model.id = std::move(*id);
    } else if (auto key = readString(*chosen, "key")) {
        model.id = std::move(*key);
    }
    for (const char* name : {"loaded_context_length", "max_context_length", "context_length"}) {
        if (auto length = readInt64(*chosen, name)) {
            model.contextLength = *length;
            break;
        }
    }
    return model;
}

void LmStudioProbes::warnShortContext(const std::string& modelId, int64_t contextLength) {
    AppConfig& config = *state_.config;
    const int64_t previous = config.lmContextLength();
    config.setLmLoadedModelId(modelId);
    config.setLmContextLength(contextLength);
    if (contextLength >= 1 && contextLength < AppConfig::lmContextRecommended && contextLength != previous) {
        state_.log("⚠️ Contexte LM Studio insuffisant : " + std::to_string(contextLength) +
                       " tokens (recommandé ≥ " + std::to_string(AppConfig::lmContextRecommended) +
                       "). L'analyse de logs et l'envoi de fichiers peuvent échouer.",
                   AppLogLevel::warn);
    }
}

void LmStudioProbes::startPrecheckResult(const LmReply& reply, const StartActions& actions) {
    if (!reply.answered()) {
        if (actions.refused) actions.refused(StartRefusal::lmStudioUnreachable);
        state_.log("Démarrage échoué : LM Studio inaccessible", AppLogLevel::error);
        return;
    }
    if (!listedModelCount(reply)) {
        if (actions.refused) actions.refused(StartRefusal::noModelLoaded);
        state_.log("Démarrage échoué : aucun modèle LM Studio", AppLogLevel::error);
        return;
    }
    if (actions.startServer) actions.startServer();
}

void LmStudioProbes::probeStatus(double timeoutSeconds) {
    std::weak_ptr<LmStudioProbes> weak = weak_from_this();
    probeLMStudio(timeoutSeconds, [weak](const LmReply& reply) {
        if (auto self = weak.lock()) self->handleLMProbeResult(reply);
    });
}

void LmStudioProbes::probeBeforeStart(double timeoutSeconds, StartActions actions) {
    std::weak_ptr<LmStudioProbes> weak = weak_from_this();
    probeLMStudio(timeoutSeconds, [weak, actions = std::move(actions)](const LmReply& reply) {
        if (auto self = weak.lock()) self->startPrecheckResult(reply, actions);
    });
}

}  // namespace klarion
