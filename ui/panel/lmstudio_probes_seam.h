// Plugs the LM Studio status probes (server/llm) into the panel's seam: the
// window's and the timer's status probe, and the start button's pre-check.
#pragma once

#include <memory>
#include <string>
#include <utility>

#include "server/llm/lmstudio_probes.h"
#include "ui/panel/content_view.h"

namespace klarion {

// The title and message of the panel's alert for a refused start; `port` is
// LM Studio's (lmStudioPort of its address).
std::pair<std::string, std::string> startRefusalAlert(LmStudioProbes::StartRefusal why, const std::string& port);

// The panel keeps `probes` alive through its seam; destroy the panel on the
// main thread (the probes then wait for their running requests).
void plugLMStudioProbes(ContentView& view, std::shared_ptr<LmStudioProbes> probes);

}  // namespace klarion
