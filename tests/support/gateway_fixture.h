// Shared pieces of the LLM gateway tests: a state of their own over a drainable main queue and
// a scratch home, and a fake LM Studio with a client on short time-outs.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/state/app_config.h"
#include "app/state/app_logger.h"
#include "app/state/state_context.h"
#include "platform/clock.h"
#include "platform/json.h"
#include "platform/main_queue.h"
#include "server/llm/lmstudio_client.h"
#include "tests/support/loopback_client.h"
#include "tests/support/scratch.h"
#include "tests/support/fake_lmstudio.h"

namespace klarion::gateway_test {

// Time-outs short enough for tests, long enough not to fire by accident.
LmStudioTimeouts shortTimeouts();

struct JournalLine {
    AppLogLevel level;
    std::string message;
    bool operator==(const JournalLine&) const = default;
};
void PrintTo(const JournalLine& line, std::ostream* os);

// AppConfig with preferences in a scratch folder, a journal that is on, a drainable main queue
// and a manual clock.
struct TestState {
    klarion::testing::ScratchHome home;
    std::shared_ptr<DrainableMainQueue> queue = std::make_shared<DrainableMainQueue>();
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>(1772530200.0);
    std::shared_ptr<AppConfig> config;
    std::shared_ptr<AppLogger> logger;
    StateContext state;

    TestState();
    ~TestState();  // runs what is still queued
    // Runs what was queued; the journal lines so far, oldest first.
    std::vector<JournalLine> journal();
    std::vector<std::string> journalMessages();
};

// A fake LM Studio started on a free port, and a client for it.
struct FakeWithClient {
    FakeLmStudio fake;
    std::shared_ptr<const LmStudioClient> client;
    explicit FakeWithClient(LmStudioTimeouts timeouts = shortTimeouts());
};

// A test with a state of its own and a fake LM Studio; it fails when the fake saw a request
// the program may not send.
class GatewayTest : public ::testing::Test {
protected:
    TestState t;
    FakeWithClient lm;
    void TearDown() override;
};

// The body LM Studio last sent for `path` ("" when none).
std::string lastEmitted(const FakeLmStudio& fake, std::string_view path = "/v1/chat/completions");

using klarion::testing::eventually;
using klarion::testing::LoopbackClient;
using klarion::testing::requestText;
using klarion::testing::roundTrip;

}  // namespace klarion::gateway_test
