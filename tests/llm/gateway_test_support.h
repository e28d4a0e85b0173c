// Shared pieces of the LLM gateway tests: a state of their own over a drainable main queue and
// a scratch home, a fake LM Studio with a client on short time-outs, and a small loopback HTTP
// client that reads a streamed reply.
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
#include "tests/platform/scratch.h"
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

// A POST with a JSON body and "Connection: close".
std::string httpPost(const std::string& target, const std::string& body);

// A connection held open by the test: sends, reads a little, closes when told.
class RawConnection {
public:
    explicit RawConnection(uint16_t port);
    ~RawConnection() { close(); }
    RawConnection(const RawConnection&) = delete;
    RawConnection& operator=(const RawConnection&) = delete;
    bool send(const std::string& bytes);
    // Reads until `bytes` has been seen (empty: never), the peer closes, or the time-out
    // passes; all that arrived so far.
    std::string readUntil(const std::string& bytes, std::chrono::milliseconds timeout);
    bool peerClosed() const { return peerClosed_; }
    void close();

private:
    int fd_ = -1;
    bool peerClosed_ = false;
    std::string received_;
};

// One request over its own loopback connection, read until the server closes (at most 30 s).
struct HttpExchange {
    int status = 0;
    std::map<std::string, std::string> headers;  // lower-case names
    std::string body;
    bool complete = false;  // the server closed the connection
};
HttpExchange roundTrip(uint16_t port, const std::string& request);

// Polls `done` every few milliseconds until it holds or the time-out passes.
bool eventually(const std::function<bool()>& done, std::chrono::milliseconds timeout = std::chrono::seconds(10));

}  // namespace klarion::gateway_test
