// Shared pieces of the classroom API tests: a scratch home folder, a context
// over test doubles, and a small loopback HTTP client.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/state/app_config.h"
#include "app/state/app_logger.h"
#include "platform/clock.h"
#include "platform/main_queue.h"
#include "server/api/classroom_context.h"

namespace klarion::test {

// A fresh temporary folder; HOME and XDG_CONFIG_HOME point into it while it
// lives (the previous values come back afterwards).
class ScratchHome {
public:
    ScratchHome();
    ~ScratchHome();
    ScratchHome(const ScratchHome&) = delete;
    ScratchHome& operator=(const ScratchHome&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path documents() const { return path_ / "Documents"; }

private:
    std::filesystem::path path_;
    std::map<std::string, std::optional<std::string>> saved_;
};

// A context of its own: an AppConfig with preferences in the scratch folder,
// a journal that is on, the scratch Documents folder, a drainable main queue
// and a manual clock (the lockout and the sessions use them too).
struct TestContext {
    ScratchHome home;
    std::shared_ptr<DrainableMainQueue> queue = std::make_shared<DrainableMainQueue>();
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>(1772530200.0);  // Tue 2026-03-03 10:30 Paris
    std::shared_ptr<ClassroomContext> context;

    TestContext();
    // Runs what is still queued: queued steps hold the state that holds the queue.
    ~TestContext();
    AppConfig& config() { return context->config(); }
    // Runs what the handlers queued; returns the journal messages so far.
    std::vector<std::string> journal();
};

struct HttpReply {
    int status = 0;
    std::string reason;
    std::map<std::string, std::string> headers;  // lower-case names
    std::string body;
    bool ok = false;  // a complete reply was read
};

// One request on a new connection to 127.0.0.1:port ("Connection: close"),
// with bounded time-outs. `body` goes with "Content-Type: application/json".
HttpReply httpRequest(uint16_t port, const std::string& method, const std::string& target,
                      const std::string& body = "");

}  // namespace klarion::test
