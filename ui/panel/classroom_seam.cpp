#include "ui/panel/classroom_seam.h"

namespace klarion {

ServerReports panelServerReports(const std::shared_ptr<PanelState>& panel) {
    ServerReports reports;
    reports.addressPublished = [panel](const std::string& address) { panel->ipURL = address; };
    reports.startFailed = [panel](int64_t port, const std::string&) {
        panel->alertTitle = "Port réseau bloqué";
        panel->alertMessage = "Impossible de démarrer le serveur sur le port " + std::to_string(port) +
                              ".\n\n👉 Solution : Sélectionne le port 8080 ou 80, puis clique à nouveau sur Démarrer.";
        panel->showingAlert = true;
    };
    reports.cleared = [panel] { panel->ipURL.clear(); };
    return reports;
}

std::shared_ptr<ClassroomServer> plugClassroomServer(ContentView& view, std::shared_ptr<ClassroomContext> context) {
    auto server = std::make_shared<ClassroomServer>(std::move(context), panelServerReports(view.panel()));
    std::weak_ptr<ClassroomServer> weak = server;
    view.serverControl.startServer = [weak](int64_t port, const std::string& hostName) {
        auto running = weak.lock();
        return running && running->startServer(port, hostName);
    };
    view.serverControl.stopServer = [weak] {
        if (auto running = weak.lock()) running->stopServer();
    };
    return server;
}

}  // namespace klarion
