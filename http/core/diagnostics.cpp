#include "http/core/diagnostics.h"

#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

namespace klarion {

namespace {

std::mutex hookMutex;
std::shared_ptr<const HttpDiagnosticsHook> currentHook;

}  // namespace

void setHttpDiagnosticsHook(HttpDiagnosticsHook hook) {
    auto shared = hook ? std::make_shared<const HttpDiagnosticsHook>(std::move(hook)) : nullptr;
    std::lock_guard<std::mutex> lock(hookMutex);
    currentHook = std::move(shared);
}

void httpDiagnostic(std::string_view message) {
    std::shared_ptr<const HttpDiagnosticsHook> hook;
    {
        std::lock_guard<std::mutex> lock(hookMutex);
        hook = currentHook;
    }
    if (hook) {
        (*hook)(message);
        return;
    }
    std::string line(message);
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stderr);
}

}  // namespace klarion
