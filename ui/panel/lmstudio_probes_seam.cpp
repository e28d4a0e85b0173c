#include "ui/panel/lmstudio_probes_seam.h"

#include <utility>

namespace klarion {

std::pair<std::string, std::string> startRefusalAlert(LmStudioProbes::StartRefusal why, const std::string& port) {
    if (why == LmStudioProbes::StartRefusal::lmStudioUnreachable) {
        return {"LM Studio inaccessible",
                "Veuillez vérifier que LM Studio est ouvert et que le serveur local est démarré "
                "sur le port " +
                    port + " avant de lancer le serveur Klarion."};
    }
    return {"Aucun modèle chargé",
            "LM Studio est démarré, mais aucun modèle d'IA n'est chargé en mémoire. Veuillez charger un modèle avant "
            "de lancer Klarion."};
}

void plugLMStudioProbes(ContentView& view, std::shared_ptr<LmStudioProbes> probes) {
    view.lmStudioProbes.probeStatus = [probes](double timeoutSeconds) { probes->probeStatus(timeoutSeconds); };
    view.lmStudioProbes.probeBeforeStart = [probes, panel = view.panel()](double timeoutSeconds,
                                                                          StartPrecheck precheck) {
        auto refused = [show = std::move(precheck.showAlert), panel](LmStudioProbes::StartRefusal why) {
            auto [title, message] = startRefusalAlert(why, panel->lmStudioPort);
            if (show) show(title, message);
        };
        probes->probeBeforeStart(timeoutSeconds,
                                 LmStudioProbes::StartActions{refused, std::move(precheck.startServer)});
    };
}

}  // namespace klarion
