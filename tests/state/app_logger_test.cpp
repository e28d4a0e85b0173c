#include "app/state/app_logger.h"

#include <gtest/gtest.h>

#include <thread>

#include "tests/platform/scratch.h"

namespace klarion {
namespace {

class AppLoggerTest : public ::testing::Test {
protected:
    testing::ScopedTimeZone tz{"Europe/Paris"};
    std::shared_ptr<DrainableMainQueue> queue = std::make_shared<DrainableMainQueue>();
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>(1767255302.481);  // 1 Jan 2026 09:15:02.481
    std::shared_ptr<AppLogger> logger = std::make_shared<AppLogger>(queue, clock);

    std::vector<std::string> messages() {
        std::vector<std::string> out;
        for (auto& e : logger->entries()) out.push_back(e.message);
        return out;
    }
};

TEST_F(AppLoggerTest, OffByDefaultAndLeavesNoTrace) {
    EXPECT_FALSE(logger->isEnabled());
    for (int i = 0; i < 10; ++i) logger->log("m" + std::to_string(i));
    EXPECT_EQ(queue->pending(), 0u);
    logger->setEnabled(true);
    queue->drain();
    EXPECT_TRUE(logger->entries().empty());
}

TEST_F(AppLoggerTest, AppendsOnTheMainQueue) {
    logger->setEnabled(true);
    logger->log("a", AppLogLevel::warn);
    EXPECT_TRUE(logger->entries().empty());  // only queued so far
    logger->setEnabled(false);               // queued entries still arrive
    clock->advance(5);                       // stamped when the append runs
    queue->drain();
    auto entries = logger->entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].message, "a");
    EXPECT_EQ(entries[0].level, AppLogLevel::warn);
    EXPECT_EQ(entries[0].timestamp, 1767255307.481);
    EXPECT_EQ(entries[0].id.size(), 36u);
}

TEST_F(AppLoggerTest, KeepsTheNewest500) {
    logger->setEnabled(true);
    struct Case {
        int calls;
        std::string first, last;
    };
    for (const Case& c : {Case{500, "1", "500"}, Case{501, "2", "501"}, Case{1000, "501", "1000"}}) {
        logger->setEntries({});
        for (int i = 1; i <= c.calls; ++i) logger->log(std::to_string(i));
        queue->drain();
        auto m = messages();
        ASSERT_EQ(m.size(), 500u) << c.calls;
        EXPECT_EQ(m.front(), c.first);
        EXPECT_EQ(m.back(), c.last);
    }
    EXPECT_EQ(AppLogger::maxEntries, 500);
}

TEST_F(AppLoggerTest, ExportText) {
    EXPECT_EQ(logger->exportText(), "");
    logger->setEnabled(true);
    logger->log("Journal activé depuis le menu", AppLogLevel::info);
    queue->drain();
    EXPECT_EQ(logger->exportText(), "[09:15:02.481] [INFO] Journal activé depuis le menu");
    clock->set(1767279599.9999);  // 15:59:59.999, truncated not rounded
    logger->log("Échec", AppLogLevel::error);
    logger->log("deux\nlignes", AppLogLevel::debug);
    queue->drain();
    EXPECT_EQ(logger->exportText(),
              "[09:15:02.481] [INFO] Journal activé depuis le menu\n"
              "[15:59:59.999] [ERR ] Échec\n"
              "[15:59:59.999] [DBG ] deux\nlignes");
}

TEST_F(AppLoggerTest, ClearingKeepsTheSwitchAndSwitchingOffKeepsEntries) {
    logger->setEnabled(true);
    logger->log("x");
    queue->drain();
    logger->setEnabled(false);
    EXPECT_EQ(logger->entries().size(), 1u);
    logger->setEnabled(true);
    logger->setEntries({});
    EXPECT_TRUE(logger->isEnabled());
    EXPECT_TRUE(logger->entries().empty());
}

TEST_F(AppLoggerTest, CallsFromManyThreadsAllArrive) {
    logger->setEnabled(true);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 100; ++i) logger->log(std::to_string(t));
        });
    for (auto& th : threads) th.join();
    queue->drain();
    EXPECT_EQ(logger->entries().size(), 400u);
}

TEST_F(AppLoggerTest, ObserversHearChanges) {
    std::vector<AppLogger::Field> heard;
    logger->subscribe([&](AppLogger::Field f) { heard.push_back(f); });
    logger->setEnabled(true);
    logger->log("x");
    queue->drain();
    logger->setEntries({});
    EXPECT_EQ(heard, (std::vector<AppLogger::Field>{AppLogger::Field::isEnabled, AppLogger::Field::entries,
                                                    AppLogger::Field::entries}));
}

TEST(AppLoggerShared, UsesTheProcessQueue) {
    auto queue = std::make_shared<DrainableMainQueue>();
    setMainQueue(queue);
    AppLogger::shared()->setEnabled(true);
    AppLogger::shared()->log("hello");
    EXPECT_EQ(queue->drain(), 1u);
    EXPECT_EQ(AppLogger::shared()->entries().back().message, "hello");
    AppLogger::shared()->setEnabled(false);
    AppLogger::shared()->setEntries({});
}

}  // namespace
}  // namespace klarion
