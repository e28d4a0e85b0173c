// The LM Studio status probes: whether LM Studio answers with a model loaded,
// which model and what context length, and the start button's pre-check.
//
// The requests run on a small worker pool of this object and hand their
// outcome to the main queue, where the status fields of AppConfig are
// written. Make it with create() and keep the shared_ptr: the queued work
// holds only a weak reference, so once the object is gone its late results
// are dropped. The destructor (or shutdown()) waits for the running requests
// and joins the workers; do not let the last reference go on a worker.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/state/state_context.h"
#include "server/llm/lmstudio_client.h"
#include "platform/worker_pool.h"

namespace klarion {

class LmStudioProbes : public std::enable_shared_from_this<LmStudioProbes> {
public:
    // Called on the main thread with the status probe's outcome.
    using ProbeHandler = std::function<void(const LmReply& reply)>;

    // Why the start button's pre-check refused the start.
    enum class StartRefusal { lmStudioUnreachable, noModelLoaded };

    // What the start button's pre-check may do, on the main thread.
    struct StartActions {
        // The start is refused (the panel shows its alert).
        std::function<void(StartRefusal why)> refused;
        // Starts the classroom server.
        std::function<void()> startServer;
    };

    // The model the context query picked.
    struct LoadedModel {
        std::string id;
        int64_t contextLength = 0;
        bool operator==(const LoadedModel&) const = default;
    };

    static std::shared_ptr<LmStudioProbes> create(StateContext state, std::shared_ptr<const LmStudioClient> lmStudio,
                                                  std::size_t workers = 2);
    ~LmStudioProbes();
    LmStudioProbes(const LmStudioProbes&) = delete;
    LmStudioProbes& operator=(const LmStudioProbes&) = delete;

    // Sends GET "/v1/models" with this time-out and returns at once; `handler`
    // later runs on the main queue with the outcome. When no URL can be
    // formed from the client's address nothing is sent and `handler` never runs.
    void probeLMStudio(double timeoutSeconds, ProbeHandler handler);

    // Main thread: LM Studio is online when it answered with a JSON object
    // whose "data" is a non-empty list of objects; then the context query
    // starts. Journals "LM Studio en ligne (N modèle(s))" on the way online
    // and "LM Studio est hors ligne" when a failed request takes it offline.
    // Offline clears the loaded model id and the context length.
    void handleLMProbeResult(const LmReply& reply);

    // Sends GET "/api/v0/models" and returns at once; the model it picks goes
    // to warnShortContext on the main queue.
    void fetchLMContext();

    // The model of a "/api/v0/models" answer: the first with state "loaded",
    // else the first listed; none when the answer holds no model list. Pure.
    static std::optional<LoadedModel> parseLMModels(const LmReply& reply);

    // Main thread: stores the model id and the context length; journals the
    // short-context warning when the length is 1..8191 and has changed.
    void warnShortContext(const std::string& modelId, int64_t contextLength);

    // Main thread: after the start button's probe, either refuses the start
    // (LM Studio unreachable, or no model listed; with their journal lines),
    // or starts the server. Changes no field of AppConfig.
    void startPrecheckResult(const LmReply& reply, const StartActions& actions);

    // The two uses, ready for the panel's seams: the status probe handled by
    // handleLMProbeResult, and the start button's probe handled by
    // startPrecheckResult.
    void probeStatus(double timeoutSeconds);
    void probeBeforeStart(double timeoutSeconds, StartActions actions);

    // LM Studio answered with at least one model: how many; none otherwise.
    static std::optional<std::size_t> listedModelCount(const LmReply& reply);

    // Drops the requests not started and waits for the running ones. Not from a worker.
    void shutdown();

    const std::shared_ptr<const LmStudioClient>& lmStudio() const { return lmStudio_; }

private:
    LmStudioProbes(StateContext state, std::shared_ptr<const LmStudioClient> lmStudio, std::size_t workers);

    StateContext state_;
    std::shared_ptr<const LmStudioClient> lmStudio_;
    WorkerPool pool_;
};

}  // namespace klarion
