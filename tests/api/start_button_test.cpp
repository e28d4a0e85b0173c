// The panel's start button with the classroom server plugged in: one LM
// Studio check at a time, a start only when it answers, and no second start.
#include <gtest/gtest.h>

#include "server/api/classroom_server.h"
#include "tests/api/api_test_support.h"
#include "ui/panel/content_view.h"

namespace klarion {
namespace {

TEST(StartButton, IgnoresPressesWhileItsCheckIsPending) {
    test::TestContext t;
    ContentView view(t.context->state);
    auto context = ClassroomContext::make(view.context(), view.sessions());
    auto classroom = std::make_shared<ClassroomServer>(context, view.panel());
    view.serverControl.startServer = [classroom] { classroom->startServer(); };
    view.serverControl.stopServer = [classroom] { classroom->stopServer(); };
    std::vector<StartPrecheck> checks;
    view.lmStudioProbes.probeBeforeStart = [&](double, StartPrecheck precheck) { checks.push_back(std::move(precheck)); };
    auto panel = view.panel();
    panel->selectedPort = 0;

    view.startStopAction();
    view.startStopAction();  // the check has not answered: ignored
    ASSERT_EQ(checks.size(), 1u);
    checks[0].startServer();
    EXPECT_TRUE(panel->isRunning);

    view.startStopAction();  // stops
    EXPECT_FALSE(panel->isRunning);
    checks[0].startServer();  // a repeated answer of the old check
    EXPECT_TRUE(panel->isRunning);  // the server start itself only refuses a running server
    view.startStopAction();
    EXPECT_FALSE(panel->isRunning);

    // A refused check answers too: the next press checks again.
    view.startStopAction();
    ASSERT_EQ(checks.size(), 2u);
    checks[1].showAlert("LM Studio injoignable", "Lancez LM Studio.");
    EXPECT_TRUE(panel->showingAlert);
    EXPECT_FALSE(panel->isRunning);

    // A check dropped without an answer frees the button as well.
    view.startStopAction();
    ASSERT_EQ(checks.size(), 3u);
    checks.pop_back();
    view.startStopAction();
    ASSERT_EQ(checks.size(), 3u);

    // Dropping an old, answered check leaves the pending one pending.
    checks.erase(checks.begin());
    view.startStopAction();
    EXPECT_EQ(checks.size(), 2u);
    checks.back().startServer();
    EXPECT_TRUE(panel->isRunning);
    classroom->stopServer();
    t.queue->drain();
}

}  // namespace
}  // namespace klarion
