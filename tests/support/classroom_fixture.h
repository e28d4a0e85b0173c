// Shared pieces of the classroom API tests: a scratch home folder, a context
// over test doubles, and route calls without a socket.
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
#include "http/core/request.h"
#include "http/core/response.h"
#include "platform/clock.h"
#include "platform/main_queue.h"
#include "server/api/classroom_context.h"
#include "tests/support/scratch.h"

namespace klarion::test {

inline const Teacher kAlice{"A-ID", "Alice", "111111", "2025-09-01T07:45:09Z"};
inline const Teacher kBruno{"B-ID", "Bruno", "222222", "2025-09-01T07:45:09Z"};

using klarion::testing::ScratchHome;

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
    // {"pin":"<the teacher PIN>"[,extra]}
    std::string pinBody(const std::string& extra = "");
    // The establishment mode with Alice and Bruno; Alice's session runs when asked.
    void establishment(bool aliceSession);
};

// A route handler's reply read without a socket.
struct RouteReply {
    int64_t status = 0;
    std::string body;
    std::optional<std::string> contentType;
};
RouteReply replyOf(const HttpResponse& response);
HttpRequest postRequest(const std::string& body, std::optional<std::string> address = "10.0.0.5");

// Calls `handler(context, request)` with a POST of `body` from `address`.
template <class Handler>
RouteReply callRoute(Handler handler, const ClassroomContext& context, const std::string& body,
                     std::optional<std::string> address = "10.0.0.5") {
    HttpRequest request = postRequest(body, std::move(address));
    return replyOf(handler(context, request));
}

}  // namespace klarion::test
