// Plugs the LM Studio status probes (server/llm) into the panel's seam: the
// window's and the timer's status probe, and the start button's pre-check.
#pragma once

#include <memory>

#include "server/llm/lmstudio_probes.h"
#include "ui/panel/content_view.h"

namespace klarion {

// The panel keeps `probes` alive through its seam; destroy the panel on the
// main thread (the probes then wait for their running requests).
void plugLMStudioProbes(ContentView& view, std::shared_ptr<LmStudioProbes> probes);

}  // namespace klarion
