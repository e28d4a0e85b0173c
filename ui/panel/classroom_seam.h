// Plugs the classroom server (server/api) into the panel: its reports set the
// panel's address and alert, and the panel's start and stop drive it.
#pragma once

#include <memory>

#include "server/api/classroom_server.h"
#include "ui/panel/content_view.h"

namespace klarion {

// The panel's reactions to the server's reports: the published address into
// ipURL, a failed start as the alert "Port réseau bloqué", ipURL emptied
// after a stop.
ServerReports panelServerReports(const std::shared_ptr<PanelState>& panel);

// Builds the server over `context` with the panel's reports and plugs it into
// view.serverControl. The caller owns the server; the panel holds it weakly.
std::shared_ptr<ClassroomServer> plugClassroomServer(ContentView& view, std::shared_ptr<ClassroomContext> context);

}  // namespace klarion
