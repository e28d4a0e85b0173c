#include "ui/panel/lmstudio_probes_seam.h"

#include <utility>

namespace klarion {

void plugLMStudioProbes(ContentView& view, std::shared_ptr<LmStudioProbes> probes) {
    view.lmStudioProbes.probeStatus = [probes](double timeoutSeconds) { probes->probeStatus(timeoutSeconds); };
    view.lmStudioProbes.probeBeforeStart = [probes](double timeoutSeconds, StartPrecheck precheck) {
        probes->probeBeforeStart(timeoutSeconds, LmStudioProbes::StartActions{std::move(precheck.showAlert),
                                                                              std::move(precheck.startServer)});
    };
}

}  // namespace klarion
