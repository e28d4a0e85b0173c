#include "app/state/app_config.h"

#include <atomic>
#include <thread>

#include "tests/support/state_fixture.h"

namespace klarion {
namespace {

namespace fs = std::filesystem;
using Field = AppConfigField;

class AppConfigTest : public ::testing::Test {
protected:
    testing::ScratchHome scratch;
    fs::path prefsFile = scratch.root() / "prefs" / "preferences.json";

    // One launch of the program: a fresh store read from disk, a fresh state.
    std::shared_ptr<AppConfig> launch() {
        return std::make_shared<AppConfig>(std::make_shared<PreferenceStore>(prefsFile));
    }
    void store(const std::string& key, Json value) { PreferenceStore(prefsFile).set(key, std::move(value)); }
    std::optional<Json> stored(const std::string& key) { return PreferenceStore(prefsFile).object(key); }
};

TEST_F(AppConfigTest, TeacherPinPreferenceRulesAcrossTwoLaunches) {
    auto drawn = [](const std::string& pin) {  // four digits, never a leading zero
        return pin.size() == 4 && pin >= "1000" && pin <= "9999" &&
               pin.find_first_not_of("0123456789") == std::string::npos;
    };
    const std::pair<std::optional<Json>, bool> cases[] = {
        {std::nullopt, false}, {Json("8461"), false},  // the default class PIN is never kept
        {Json("123"), false},  {Json("12345"), false}, {Json(""), false}, {Json(1234), false},  // not a string
        {Json("abcd"), true},  // 4 characters, digits not checked
        {Json("éèàç"), true},  // 4 characters in 8 bytes
        {Json("0042"), true},
    };
    for (const auto& [value, kept] : cases) {
        fs::remove(prefsFile);
        if (value) store(AppConfig::teacherPinPreferenceKey, *value);
        std::string pin = launch()->teacherPinCode(), label = value ? value->dump() : "none";
        if (kept)
            EXPECT_EQ(pin, value->get<std::string>()) << label;
        else
            EXPECT_TRUE(drawn(pin)) << label << " -> " << pin;
        EXPECT_EQ(launch()->teacherPinCode(), pin) << label;  // the second launch keeps it
    }
    for (int i = 0; i < 200; ++i) {
        fs::remove(prefsFile);
        ASSERT_TRUE(drawn(launch()->teacherPinCode()));
    }
    auto config = launch();
    config->setTeacherPinCode("5678");
    EXPECT_EQ(launch()->teacherPinCode(), "5678");
    fs::remove(prefsFile);
    config->setTeacherPinCode("5678");  // every assignment writes, also without a change
    EXPECT_EQ(stored(AppConfig::teacherPinPreferenceKey), Json("5678"));
}

TEST_F(AppConfigTest, SafetyScanPreferenceRulesAndInitialValues) {
    auto config = launch();
    AppConfigValues expected;
    expected.teacherPinCode = config->teacherPinCode();
    EXPECT_EQ(config->snapshot(), expected);
    EXPECT_EQ(config->activeChatStreams()->value(), 0);
    for (Json notBool : {Json("true"), Json(1), Json(nullptr)}) {
        store(AppConfig::safetyScanPreferenceKey, notBool);
        EXPECT_FALSE(launch()->safetyAiScanAll()) << notBool.dump();
    }
    launch()->setSafetyAiScanAll(true);
    EXPECT_TRUE(launch()->safetyAiScanAll());
    fs::remove(prefsFile);
    launch()->setSafetyAiScanAll(false);  // written even when unchanged
    EXPECT_EQ(stored(AppConfig::safetyScanPreferenceKey), Json(false));
}

TEST(AtomicCounter, NeverGoesBelowZero) {
    AtomicCounter counter;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 1000; ++i)
                counter.increment(), counter.decrement(), counter.decrement();  // one too many
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(counter.value(), 0);
    EXPECT_FALSE(counter.decrement());
    counter.increment();
    EXPECT_TRUE(counter.decrement());
}

TEST_F(AppConfigTest, ObserversHearEachAssignmentAndEachFieldAnUpdateChanged) {
    auto config = launch();
    config->setActiveTeacherId("T1");
    config->setPinCode("1111");
    std::vector<Field> heard;
    std::string seen;
    config->subscribe([&](Field field) {
        heard.push_back(field);
        seen = config->audience();  // reading from an observer must not deadlock
    });
    config->setAudience("eleves");
    config->setAudience("eleves");
    EXPECT_EQ(seen, "eleves");
    config->update([](AppConfigValues& v) {
        v.activeTeacherId.reset();
        v.applyTeacherConfig(TeacherConfig{});
        v.wordFrequency.clear();  // already empty: no notification
        v.teacherPinCode = "2468";
    });
    EXPECT_EQ(heard, (std::vector<Field>{Field::audience, Field::audience, Field::audience, Field::pinCode,
                                         Field::activeTeacherId, Field::teacherPinCode}));
    EXPECT_EQ(config->teacherConfig(), TeacherConfig{});
    EXPECT_EQ(stored(AppConfig::teacherPinPreferenceKey), Json("2468"));  // an update writes the preference too
}

TEST_F(AppConfigTest, ReadersOnOtherThreadsSeeConsistentSnapshots) {
    auto config = launch();
    std::atomic<bool> done{false};
    std::atomic<int> torn{0};
    std::thread reader([&] {
        for (; !done; (void)config->teachers()) {
            auto v = config->snapshot();  // the writer keeps the two names in step
            if (v.activeTeacherName != v.activeTeacherId.value_or("")) ++torn;
        }
    });
    for (int i = 0; i < 2000; ++i) {
        config->update(
            [i](AppConfigValues& v) { v.activeTeacherName = *(v.activeTeacherId = "T" + std::to_string(i)); });
        config->setTeachers(std::vector<Teacher>(i % 5, Teacher{"id", "n", "p", "c"}));
    }
    done = true;
    reader.join();
    EXPECT_EQ(torn.load(), 0);
}

// ---- the journal ----

class AppLoggerTest : public testing::StateTest {
protected:
    std::vector<std::string> messages() {
        std::vector<std::string> out;
        for (auto& e : logger->entries()) out.push_back(e.message);
        return out;
    }
};

TEST_F(AppLoggerTest, OffByDefaultThenAppendsOnTheMainQueue) {
    auto off = std::make_shared<AppLogger>(queue, clock);
    std::vector<AppLogger::Field> heard;
    off->subscribe([&](AppLogger::Field f) { heard.push_back(f); });
    for (int i = 0; i < 10; ++i) off->log("m" + std::to_string(i));
    EXPECT_EQ(queue->pending(), 0u);  // off: leaves no trace

    off->setEnabled(true);
    off->log("a", AppLogLevel::warn);
    EXPECT_TRUE(off->entries().empty());  // only queued so far
    off->setEnabled(false);               // queued entries still arrive
    clock->advance(5);                    // stamped when the append runs
    queue->drain();
    auto entries = off->entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(std::tie(entries[0].message, entries[0].level, entries[0].timestamp),
              std::make_tuple("a", AppLogLevel::warn, clock->now()));
    EXPECT_EQ(entries[0].id.size(), 36u);
    off->setEnabled(true);
    off->setEntries({});  // clearing keeps the switch
    EXPECT_TRUE(off->isEnabled());
    using F = AppLogger::Field;
    EXPECT_EQ(heard, (std::vector<F>{F::isEnabled, F::isEnabled, F::entries, F::isEnabled, F::entries}));
}

TEST_F(AppLoggerTest, KeepsTheNewest500FromAnyThread) {
    for (auto [calls, first, last] : {std::tuple{500, "1", "500"}, {501, "2", "501"}, {1000, "501", "1000"}}) {
        logger->setEntries({});
        for (int i = 1; i <= calls; ++i) logger->log(std::to_string(i));
        queue->drain();
        auto m = messages();
        ASSERT_EQ(m.size(), 500u) << calls;
        EXPECT_EQ(m.front() + "-" + m.back(), std::string(first) + "-" + last);
    }
    logger->setEntries({});
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 100; ++i) logger->log("x");
        });
    for (auto& th : threads) th.join();
    queue->drain();
    EXPECT_EQ(logger->entries().size(), 400u);
}

TEST_F(AppLoggerTest, ExportTextAndLevels) {
    testing::ScopedTimeZone tz("Europe/Paris");
    EXPECT_EQ(logger->exportText(), "");
    clock->set(1767255302.481);  // 1 Jan 2026 09:15:02.481
    logger->log("Journal activé depuis le menu", AppLogLevel::info);
    queue->drain();
    clock->set(1767279599.9999);  // 15:59:59.999, truncated not rounded
    logger->log("Prudence", AppLogLevel::warn);
    logger->log("Échec", AppLogLevel::error);
    logger->log("deux\nlignes", AppLogLevel::debug);
    queue->drain();
    EXPECT_EQ(logger->exportText(),
              "[09:15:02.481] [INFO] Journal activé depuis le menu\n[15:59:59.999] [WARN] Prudence\n"
              "[15:59:59.999] [ERR ] Échec\n[15:59:59.999] [DBG ] deux\nlignes");
    // The padded tags read back; nothing else does.
    EXPECT_EQ(appLogLevelFromString("ERR "), AppLogLevel::error);
    for (const char* text : {"ERR", "dbg ", ""}) EXPECT_EQ(appLogLevelFromString(text), std::nullopt) << text;
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
