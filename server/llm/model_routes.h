// The model routes: LM Studio's short and detailed model lists relayed to
// the pages, and the active teacher's model switch.
//
// Every handler runs on its connection's thread and waits there for LM
// Studio's answers (synchronous requests bounded by the client's time-outs).
#pragma once

#include <memory>
#include <mutex>

#include "app/state/state_context.h"
#include "http/core/request.h"
#include "http/core/response.h"
#include "server/llm/chat_proxy.h"
#include "server/llm/lmstudio_client.h"

namespace klarion {

class ModelRoutes {
public:
    struct Dependencies {
        StateContext state;
        std::shared_ptr<const LmStudioClient> lmStudio;  // null: the default address
        TeacherPinCheck checkTeacherPin;                 // any teacher's PIN (the detailed list); null: refused
        TeacherPinCheck isActiveTeacherPin;              // the active teacher's PIN (the switch); null: refused
        // True once the server is stopping: a switch waiting for LM Studio then
        // gives up (the load counts as failed), so that the stop does not wait
        // for LM Studio. Null: never.
        LmStudioClient::StopCheck serverStopping;
    };

    explicit ModelRoutes(Dependencies deps);

    // "/api/models", no PIN: LM Studio's "/v1/models" answer unchanged, or
    // {"data":[]} when it brings no bytes in time.
    HttpResponse handleModels(const HttpRequest& request) const;
    // "/api/available-models", {"pin"}: LM Studio's "/api/v0/models" answer
    // unchanged, or [] when it brings no bytes in time; 401 for a refused PIN.
    HttpResponse handleAvailableModels(const HttpRequest& request) const;
    // "/api/switch-model", {"pin", "modelPath"}: pauses the AI, unloads every
    // loaded instance, loads the model, sets it as the loaded model on
    // success, resumes the AI, and answers {"status": "loaded"} or the error
    // object; 401 for a refused PIN. One switch at a time: a second one waits
    // for the first to end.
    HttpResponse handleSwitchModel(const HttpRequest& request) const;

private:
    Dependencies deps_;
    std::shared_ptr<std::mutex> switchLock_ = std::make_shared<std::mutex>();
};

}  // namespace klarion
