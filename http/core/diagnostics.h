// Where the HTTP server's diagnostics go (a failed handler, write or accept).
#pragma once

#include <functional>
#include <string_view>

namespace klarion {

using HttpDiagnosticsHook = std::function<void(std::string_view message)>;

// Replaces the hook for every server of the process; an empty hook restores
// the default, one line on standard error. Safe from any thread.
void setHttpDiagnosticsHook(HttpDiagnosticsHook hook);

// Hands one message to the current hook.
void httpDiagnostic(std::string_view message);

}  // namespace klarion
