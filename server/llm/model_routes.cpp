#include "server/llm/model_routes.h"

#include <string>
#include <utility>
#include <vector>

#include "platform/json.h"

namespace klarion {

namespace {

constexpr std::string_view kEmptyModelList = R"({"data":[]})";
constexpr std::string_view kEmptyDetailedList = "[]";
constexpr std::string_view kSwitchLoaded = R"({"status": "loaded"})";
constexpr std::string_view kSwitchFailed = R"({"status": "error", "message": "Impossible de charger le modèle."})";

HttpResponse jsonBytes(std::string_view bytes) {
    return HttpResponse::ok(HttpResponseBody::data(utf8Bytes(bytes), std::string("application/json")));
}

// LM Studio's bytes when it answered with some (whatever the status), else the fallback.
HttpResponse relayOrFallback(const LmReply& reply, std::string_view fallback) {
    if (reply.error == LmTransportError::InvalidAddress) return HttpResponse::internalServerError();
    if (reply.answered() && !reply.body.empty()) return jsonBytes(reply.body);
    return jsonBytes(fallback);
}

// The id of every loaded instance of every model, in list order.
std::vector<std::string> loadedInstanceIds(const LmReply& reply) {
    std::vector<std::string> ids;
    if (!reply.answered()) return ids;
    const auto list = parseJsonObject(reply.body);
    if (!list) return ids;
    const Json* models = readArray(*list, "models");
    if (models == nullptr) return ids;
    for (const Json& model : *models) {
        const Json* instances = readArray(model, "loaded_instances");
        if (instances == nullptr) continue;
        for (const Json& instance : *instances) {
            if (auto id = readString(instance, "id")) ids.push_back(std::move(*id));
        }
    }
    return ids;
}

}  // namespace

ModelRoutes::ModelRoutes(Dependencies deps) : deps_(std::move(deps)) {
    if (!deps_.lmStudio) deps_.lmStudio = std::make_shared<const LmStudioClient>();
}

HttpResponse ModelRoutes::handleModels(const HttpRequest&) const {
    const LmStudioClient& lm = *deps_.lmStudio;
    return relayOrFallback(lm.listModels(lm.timeouts().modelLists), kEmptyModelList);
}

HttpResponse ModelRoutes::handleAvailableModels(const HttpRequest& request) const {
    const auto body = parseJsonObject(request.bodyText());
    const auto pin = body ? readString(*body, "pin") : std::nullopt;
    if (!pin || !deps_.checkTeacherPin || !deps_.checkTeacherPin(request.clientAddress(), pin)) {
        return HttpResponse::unauthorized();
    }
    const LmStudioClient& lm = *deps_.lmStudio;
    return relayOrFallback(lm.listModelsV0(lm.timeouts().modelLists), kEmptyDetailedList);
}

HttpResponse ModelRoutes::handleSwitchModel(const HttpRequest& request) const {
    const auto body = parseJsonObject(request.bodyText());
    const auto pin = body ? readString(*body, "pin") : std::nullopt;
    const auto modelPath = body ? readString(*body, "modelPath") : std::nullopt;
    if (!pin || !modelPath || !deps_.isActiveTeacherPin || !deps_.isActiveTeacherPin(request.clientAddress(), pin)) {
        return HttpResponse::unauthorized();
    }

    std::lock_guard<std::mutex> oneAtATime(*switchLock_);
    const StateContext& state = deps_.state;
    const auto config = state.config;
    const LmStudioClient& lm = *deps_.lmStudio;

    state.log("Changement de modèle → " + *modelPath, AppLogLevel::info);
    state.post([config] { config->setIsAiPaused(true); });

    const LmStudioClient::StopCheck& stopping = deps_.serverStopping;
    for (const std::string& id : loadedInstanceIds(lm.listModelsV1(lm.timeouts().loadedInstances, stopping))) {
        lm.unloadModel(id, lm.timeouts().unload, stopping);  // the outcome does not matter
    }

    const LmReply load = lm.loadModel(*modelPath, lm.timeouts().load, stopping);
    if (load.error == LmTransportError::InvalidAddress) {
        state.post([config] { config->setIsAiPaused(false); });
        return HttpResponse::internalServerError();
    }
    const bool loaded = load.answered() && load.status == 200;
    // The chats that resume already name the new model.
    state.post([config, loaded, model = *modelPath] {
        if (loaded) config->setLmLoadedModelId(model);
        config->setIsAiPaused(false);
    });
    state.log("Modèle chargé : " + *modelPath + " — succès: " + (loaded ? "true" : "false"),
              loaded ? AppLogLevel::info : AppLogLevel::error);
    return jsonBytes(loaded ? kSwitchLoaded : kSwitchFailed);
}

}  // namespace klarion
