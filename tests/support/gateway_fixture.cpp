#include "tests/support/gateway_fixture.h"

#include <ostream>

#include "platform/preferences.h"

namespace klarion::gateway_test {

using namespace std::chrono_literals;

LmStudioTimeouts shortTimeouts() {
    return {.statusProbe = 2000ms,
            .startPrecheck = 2000ms,
            .contextQuery = 2000ms,
            .modelLists = 2000ms,
            .loadedInstances = 2000ms,
            .unload = 2000ms,
            .load = 3000ms,
            .safetyVerdict = 2000ms,
            .streamIdle = 3000ms};
}

void PrintTo(const JournalLine& line, std::ostream* os) { *os << "[" << toString(line.level) << "] " << line.message; }

TestState::TestState() {
    config = std::make_shared<AppConfig>(std::make_shared<PreferenceStore>(home.root() / "preferences.json"));
    logger = std::make_shared<AppLogger>(queue, clock);
    logger->setEnabled(true);
    state = StateContext{config, logger, ConfigFolder(home.root() / "Documents"), queue, clock};
}

TestState::~TestState() { queue->drain(); }

std::vector<JournalLine> TestState::journal() {
    queue->drain();
    std::vector<JournalLine> lines;
    for (const AppLogEntry& e : logger->entries()) lines.push_back({e.level, e.message});
    return lines;
}

std::vector<std::string> TestState::journalMessages() {
    std::vector<std::string> out;
    for (auto& line : journal()) out.push_back(line.message);
    return out;
}

FakeWithClient::FakeWithClient(LmStudioTimeouts timeouts) {
    fake.start();
    client = std::make_shared<const LmStudioClient>(fake.baseUrl(), timeouts);
}

void GatewayTest::TearDown() { EXPECT_THAT(lm.fake.violations(), ::testing::IsEmpty()); }

std::string lastEmitted(const FakeLmStudio& fake, std::string_view path) {
    const auto requests = fake.requestsTo(path);
    return requests.empty() ? std::string() : requests.back().emitted;
}

}  // namespace klarion::gateway_test
