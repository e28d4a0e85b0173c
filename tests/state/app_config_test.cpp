#include "app/state/app_config.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/files.h"
#include "platform/main_queue.h"
#include "tests/platform/scratch.h"

namespace klarion {
namespace {

namespace fs = std::filesystem;

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

bool isDrawnPin(const std::string& pin) {
    return pin.size() == 4 && pin >= "1000" && pin <= "9999" &&
           pin.find_first_not_of("0123456789") == std::string::npos;
}

TEST_F(AppConfigTest, TeacherPinPreferenceRules) {
    struct Case {
        std::optional<Json> storedValue;
        bool kept;
    };
    const Case cases[] = {
        {std::nullopt, false},
        {Json("8461"), false},      // the default class PIN is never kept
        {Json("123"), false},
        {Json("12345"), false},
        {Json(""), false},
        {Json(1234), false},        // not a string
        {Json("abcd"), true},       // 4 characters, digits not checked
        {Json("éèàç"), true},       // 4 characters in 8 bytes
        {Json("0042"), true},
    };
    for (const auto& c : cases) {
        PreferenceStore(prefsFile).remove(AppConfig::teacherPinPreferenceKey);
        if (c.storedValue) store(AppConfig::teacherPinPreferenceKey, *c.storedValue);
        auto config = launch();
        std::string label = c.storedValue ? c.storedValue->dump() : "none";
        if (c.kept) {
            EXPECT_EQ(config->teacherPinCode(), c.storedValue->get<std::string>()) << label;
        } else {
            EXPECT_TRUE(isDrawnPin(config->teacherPinCode())) << label << " -> " << config->teacherPinCode();
            EXPECT_EQ(stored(AppConfig::teacherPinPreferenceKey), Json(config->teacherPinCode())) << label;
        }
    }
}

TEST_F(AppConfigTest, TeacherPinSurvivesTwoLaunches) {
    std::string first = launch()->teacherPinCode();
    EXPECT_EQ(launch()->teacherPinCode(), first);
    auto config = launch();
    config->setTeacherPinCode("5678");
    EXPECT_EQ(launch()->teacherPinCode(), "5678");
    // Every assignment writes the preference, also without a change.
    fs::remove(prefsFile);
    config->setTeacherPinCode("5678");
    EXPECT_EQ(stored(AppConfig::teacherPinPreferenceKey), Json("5678"));
}

TEST_F(AppConfigTest, DrawnPinsNeverStartWithZero) {
    for (int i = 0; i < 200; ++i) {
        fs::remove(prefsFile);
        ASSERT_TRUE(isDrawnPin(launch()->teacherPinCode()));
    }
}

TEST_F(AppConfigTest, SafetyScanPreferenceRules) {
    EXPECT_FALSE(launch()->safetyAiScanAll());
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

TEST_F(AppConfigTest, FreshInstanceHasTheInitialValues) {
    auto config = launch();
    AppConfigValues expected;
    expected.teacherPinCode = config->teacherPinCode();
    EXPECT_EQ(config->snapshot(), expected);
    EXPECT_EQ(config->scheduleConfig(), ScheduleConfig::defaultSchedule());
    EXPECT_EQ(config->appMode(), "individual");
    EXPECT_FALSE(config->activeTeacherId());
    EXPECT_EQ(config->pinCode(), "8461");
    EXPECT_EQ(config->temperature(), 0.7);
    EXPECT_EQ(config->repeatPenalty(), 1.1);
    EXPECT_EQ(config->maxTokens(), 4096);
    EXPECT_EQ(config->seedValue(), 42);
    EXPECT_EQ(AppConfig::lmContextRecommended, 8192);
    EXPECT_EQ(config->activeChatStreams()->value(), 0);
}

TEST(AtomicCounter, NeverGoesBelowZero) {
    AtomicCounter counter;
    EXPECT_FALSE(counter.decrement());
    counter.increment();
    counter.increment();
    EXPECT_TRUE(counter.decrement());
    EXPECT_TRUE(counter.decrement());
    EXPECT_FALSE(counter.decrement());
    EXPECT_EQ(counter.value(), 0);

    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 1000; ++i) {
                counter.increment();
                counter.decrement();
                counter.decrement();  // one too many each time
            }
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(counter.value(), 0);
}

TEST_F(AppConfigTest, ObserversHearEachAssignmentOutsideTheLock) {
    auto config = launch();
    std::vector<AppConfigField> heard;
    std::string seen;
    config->subscribe([&](AppConfigField field) {
        heard.push_back(field);
        seen = config->audience();  // reading from an observer must not deadlock
    });
    config->setAudience("eleves");
    config->setAudience("eleves");
    config->setIsAiPaused(true);
    EXPECT_EQ(heard, (std::vector<AppConfigField>{AppConfigField::audience, AppConfigField::audience,
                                                  AppConfigField::isAiPaused}));
    EXPECT_EQ(seen, "eleves");
}

TEST_F(AppConfigTest, UpdateChangesSeveralFieldsAtOnce) {
    auto config = launch();
    config->setActiveTeacherId("T1");
    config->setPinCode("1111");
    std::vector<AppConfigField> heard;
    config->subscribe([&](AppConfigField field) { heard.push_back(field); });
    config->update([](AppConfigValues& v) {
        v.activeTeacherId.reset();
        v.applyTeacherConfig(TeacherConfig{});
        v.wordFrequency.clear();  // already empty: no notification
        v.teacherPinCode = "2468";
    });
    EXPECT_EQ(heard, (std::vector<AppConfigField>{AppConfigField::pinCode, AppConfigField::activeTeacherId,
                                                  AppConfigField::teacherPinCode}));
    EXPECT_EQ(config->pinCode(), "8461");
    EXPECT_EQ(stored(AppConfig::teacherPinPreferenceKey), Json("2468"));
    EXPECT_EQ(config->teacherConfig(), TeacherConfig{});
}

TEST_F(AppConfigTest, ReadersOnOtherThreadsSeeConsistentSnapshots) {
    auto config = launch();
    std::atomic<bool> done{false};
    std::atomic<int> torn{0};
    std::thread reader([&] {
        while (!done) {
            auto v = config->snapshot();
            // The writer keeps the two names in step.
            if (v.activeTeacherName != (v.activeTeacherId ? *v.activeTeacherId : "")) ++torn;
            (void)config->teachers();
        }
    });
    for (int i = 0; i < 2000; ++i) {
        config->update([i](AppConfigValues& v) {
            v.activeTeacherId = "T" + std::to_string(i);
            v.activeTeacherName = *v.activeTeacherId;
        });
        config->setTeachers(std::vector<Teacher>(i % 5, Teacher{"id", "n", "p", "c"}));
    }
    done = true;
    reader.join();
    EXPECT_EQ(torn.load(), 0);
}

TEST_F(AppConfigTest, ChangeReactionsRunAfterTheWholeTask) {
    auto config = launch();
    DrainableMainQueue queue;
    std::vector<std::string> saved;
    // Saving the active teacher's settings after any change of them.
    addChangeReaction<TeacherConfig>(queue, [config] { return config->teacherConfig(); },
                                     [&](const TeacherConfig&, const TeacherConfig& now) {
                                         saved.push_back(now.audience + "/" + now.customMission);
                                     });
    queue.post([config] {
        config->setAudience("eleves");
        config->setCustomMission("Réviser");
    });
    queue.post([config] { config->setIsAiPaused(true); });
    queue.drain();
    EXPECT_EQ(saved, (std::vector<std::string>{"eleves/Réviser"}));
}

}  // namespace
}  // namespace klarion
