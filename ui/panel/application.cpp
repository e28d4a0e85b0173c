#include "ui/panel/application.h"

#include "platform/files.h"
#include "platform/paths.h"
#include "server/llm/lmstudio_probes.h"
#include "server/llm/safety_monitor.h"
#include "ui/panel/classroom_seam.h"
#include "ui/panel/lmstudio_probes_seam.h"
#include "web/dashboard/static_routes.h"

namespace klarion {

namespace {

// A save cut short (the program killed, the power gone) leaves its temporary
// file behind; the files themselves are whole. One instance runs per user, so
// at start no other process is saving there.
void removeSaveLeftovers(const StateContext& state) {
    state.folder.removeWriteLeftovers();
    if (state.config && state.config->preferences()) {
        removeAtomicWriteLeftovers(state.config->preferences()->path().parent_path());
    }
}

}  // namespace

Application::Application(ApplicationOptions options, StateContext state)
    : view_(std::make_unique<ContentView>(std::move(state))) {
    removeSaveLeftovers(view_->context());
    auto lmStudio = std::make_shared<const LmStudioClient>(options.lmStudioURL);
    if (auto port = lmStudioPort(lmStudio->baseUrl()); !port.empty()) view_->panel()->lmStudioPort = port;
    plugLMStudioProbes(*view_, LmStudioProbes::create(view_->context(), lmStudio));

    auto context = ClassroomContext::make(view_->context(), view_->sessions());
    context->lmStudio = lmStudio;
    // Every logged question goes to the keyword safety scan.
    context->safetyMonitor = std::make_shared<SafetyMonitor>(view_->context(), lmStudio);
    server_ = plugClassroomServer(*view_, context);
    const auto resources = options.resources.empty() ? resourceFolder() : options.resources;
    server_->setPageRoutes(dashboard::staticRoutes(std::make_shared<dashboard::ResourceFolder>(resources)));
}

Application::~Application() {
    stopServer();
    server_.reset();
    view_.reset();
}

void Application::stopServer() {
    if (view_->panel()->isRunning) view_->startStopAction();
}

}  // namespace klarion
