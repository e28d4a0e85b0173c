// The probes plugged into the panel: the timer's tick and the start button.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/llm/gateway_test_support.h"
#include "ui/panel/content_view.h"
#include "ui/panel/lmstudio_probes_seam.h"

namespace klarion {
namespace {

using gateway_test::FakeWithClient;
using gateway_test::TestState;
using ::testing::IsEmpty;

class PanelSeam : public ::testing::Test {
protected:
    TestState t;
    FakeWithClient lm;
    std::unique_ptr<ContentView> view;
    int starts = 0;

    void SetUp() override {
        view = std::make_unique<ContentView>(t.state);
        plugLMStudioProbes(*view, LmStudioProbes::create(t.state, lm.client));
        view->serverControl.startServer = [this] {
            ++starts;
            view->panel()->isRunning = true;
        };
    }
    void TearDown() override {
        view.reset();
        EXPECT_THAT(lm.fake.violations(), IsEmpty());
    }
};

TEST_F(PanelSeam, TimerTickProbesLmStudio) {
    view->onTimerTick();
    ASSERT_TRUE(t.queue->drainUntil([&] { return t.config->lmContextLength() == 8192; }, 10));
    EXPECT_TRUE(t.config->isLmStudioOnline());
    EXPECT_EQ(t.config->lmLoadedModelId(), "qwen2.5-7b-instruct");
}

TEST_F(PanelSeam, StartButtonStartsOnlyWhenLmStudioAnswersWithAModel) {
    lm.fake.setRefusing(true);
    view->startStopAction();
    ASSERT_TRUE(t.queue->drainUntil([&] { return view->panel()->showingAlert; }, 10));
    EXPECT_EQ(view->panel()->alertTitle, "LM Studio inaccessible");
    EXPECT_EQ(starts, 0);

    lm.fake.setRefusing(false);
    view->panel()->showingAlert = false;
    view->startStopAction();
    ASSERT_TRUE(t.queue->drainUntil([&] { return starts == 1; }, 10));
    EXPECT_FALSE(view->panel()->showingAlert);
    EXPECT_TRUE(view->panel()->isRunning);
}

}  // namespace
}  // namespace klarion
