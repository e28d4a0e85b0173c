// The access checks: the login lockout (schedule, atomic step, what a success
// forgets, capped table) and the two teacher PIN rules.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "server/api/brute_force_protection.h"
#include "server/api/teacher_pins.h"
#include "tests/api/api_test_support.h"

namespace klarion {
namespace {

using Verdict = BruteForceProtection::Verdict;
using OnSuccess = BruteForceProtection::OnSuccess;
using Kind = BruteForceProtection::PinKind;

const std::string kAddress = "192.168.1.42";

struct Lockout : ::testing::Test {
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>(1'000'000.0);
    BruteForceProtection lockout{clock};

    Verdict attempt(bool matches, OnSuccess onSuccess = OnSuccess::forget, Kind kind = Kind::teacher,
                    const std::string& address = kAddress) {
        return lockout.attempt(address, [matches] { return matches; }, onSuccess, kind);
    }
    void fail(int times, Kind kind = Kind::teacher) {
        for (int i = 0; i < times; ++i) attempt(false, OnSuccess::forget, kind);
    }
    void waitOut() { clock->advance(3601); }  // the longest block
};

TEST_F(Lockout, BlockLengthFollowsTheFailureCount) {
    const std::pair<int, double> steps[] = {{1, 0},     {4, 0},     {5, 120},   {9, 120},  {10, 900},
                                            {19, 900}, {20, 3600}, {21, 3600}, {40, 3600}};
    int done = 0;
    for (const auto& [failure, blockedFor] : steps) {
        SCOPED_TRACE("failure " + std::to_string(failure));
        for (; done < failure; ++done) {
            waitOut();  // whatever block the address has
            ASSERT_EQ(attempt(false), Verdict::refused);
        }
        EXPECT_EQ(lockout.failureCount(kAddress), failure);
        if (blockedFor > 0) {
            clock->advance(blockedFor - 0.5);
            EXPECT_TRUE(lockout.isBlocked(kAddress));
            clock->advance(0.5);  // the end itself is no longer blocked
        }
        EXPECT_FALSE(lockout.isBlocked(kAddress));
    }
}

TEST_F(Lockout, BlockedAddressIsRefusedBeforeItsPinIsLookedAt) {
    fail(5);
    bool compared = false;
    EXPECT_EQ(lockout.attempt(kAddress, [&] { return compared = true; }, OnSuccess::forget), Verdict::blocked);
    EXPECT_FALSE(compared);
    EXPECT_EQ(attempt(false), Verdict::blocked);  // neither counts nor lengthens the block
    EXPECT_EQ(lockout.failureCount(kAddress), 5);
    EXPECT_EQ(attempt(true, OnSuccess::forget, Kind::teacher, "10.0.0.2"), Verdict::accepted);  // counted apart
    clock->advance(120);
    EXPECT_EQ(attempt(true), Verdict::accepted);
}

TEST_F(Lockout, WhatASuccessForgets) {
    fail(4);
    EXPECT_EQ(attempt(true, OnSuccess::keep), Verdict::accepted);  // a teacher route
    EXPECT_EQ(lockout.failureCount(kAddress), 4);
    EXPECT_EQ(attempt(true, OnSuccess::forget), Verdict::accepted);  // a login
    EXPECT_EQ(lockout.size(), 0u);

    fail(4, Kind::classPin);
    EXPECT_EQ(attempt(true, OnSuccess::forget, Kind::classPin), Verdict::accepted);
    EXPECT_EQ(lockout.failureCount(kAddress), 0);  // only class PIN failures: forgotten

    // Every student knows the class PIN: accepting it must not wipe refused
    // teacher PINs, or the teacher PIN could be guessed without end.
    fail(4);
    EXPECT_EQ(attempt(true, OnSuccess::forget, Kind::classPin), Verdict::accepted);
    EXPECT_EQ(lockout.failureCount(kAddress), 4);
    EXPECT_EQ(attempt(false), Verdict::refused);
    EXPECT_TRUE(lockout.isBlocked(kAddress));

    lockout.recordSuccess(kAddress);
    EXPECT_FALSE(lockout.isBlocked(kAddress));
    EXPECT_EQ(lockout.failureCount(kAddress), 0);
}

// Guesses sent at the same moment from many threads get exactly as many
// comparisons as guesses sent one after the other: four free failures and
// the fifth, which blocks.
TEST_F(Lockout, ParallelGuessesGetNoMoreTriesThanSequentialOnes) {
    std::atomic<int> compared{0}, refused{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            while (!go.load()) std::this_thread::yield();
            for (int i = 0; i < 50; ++i) {
                auto verdict = lockout.attempt(kAddress, [&] { ++compared; return false; }, OnSuccess::forget);
                refused += verdict == Verdict::refused;
            }
        });
    }
    go = true;
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(compared.load(), 5);
    EXPECT_EQ(refused.load(), 5);
    EXPECT_EQ(lockout.failureCount(kAddress), 5);
}

TEST_F(Lockout, FullTableEvictsTheOldestUnblockedEntryButNeverABlockedOne) {
    BruteForceProtection table{clock, 3};
    auto fail = [&](const std::string& address, int times = 1) {
        for (int i = 0; i < times; ++i) table.attempt(address, [] { return false; }, OnSuccess::forget);
        clock->advance(1);
    };
    fail("blocked", 5);  // oldest, but blocked
    fail("a");
    fail("b");
    fail("c");  // evicts "a", the oldest unblocked entry
    EXPECT_EQ(table.size(), 3u);
    EXPECT_EQ(table.failureCount("a"), 0);
    EXPECT_EQ(table.failureCount("b"), 1);
    fail("d");  // evicts "b"
    EXPECT_EQ(table.failureCount("b"), 0);
    EXPECT_EQ(table.failureCount("blocked"), 5);
    // A table of blocked entries still records new addresses.
    fail("x", 5);
    EXPECT_TRUE(table.isBlocked("x"));
    EXPECT_TRUE(table.isBlocked("blocked"));
    // Once its block has run out, a blocked entry may make room too.
    clock->advance(200);
    fail("e");
    fail("f");
    fail("g");
    EXPECT_EQ(table.size(), 3u);
    EXPECT_EQ(table.failureCount("blocked"), 0);
}

struct PinCase {
    const char* label;
    std::string mode;
    std::optional<std::string> active;
    std::string pin;
    bool anyTeacher;
    bool activeTeacher;
    std::string teacherPin = "4321";
};

class PinRules : public ::testing::TestWithParam<PinCase> {};

TEST_P(PinRules, FollowModeRosterAndSession) {
    const auto& c = GetParam();
    const std::vector<Teacher> roster{test::kAlice, test::kBruno, {"N-ID", "Sans PIN", "", ""}};
    EXPECT_EQ(checkTeacherPin(c.mode, c.teacherPin, roster, c.pin), c.anyTeacher);
    EXPECT_EQ(isActiveTeacherPin(c.mode, c.teacherPin, roster, c.active, c.pin), c.activeTeacher);
    // The same through the live state.
    test::TestContext t;
    t.config().setAppMode(c.mode);
    t.config().setTeacherPinCode(c.teacherPin);
    t.config().setTeachers(roster);
    t.config().setActiveTeacherId(c.active);
    EXPECT_EQ(checkTeacherPin(t.config(), c.pin), c.anyTeacher);
    EXPECT_EQ(isActiveTeacherPin(t.config(), c.pin), c.activeTeacher);
    EXPECT_EQ(pinPassesRule(t.config(), PinRule::anyTeacher, c.pin), c.anyTeacher);
    EXPECT_EQ(pinPassesRule(t.config(), PinRule::activeTeacher, c.pin), c.activeTeacher);
}

const std::optional<std::string> kNone, kA = "A-ID";

INSTANTIATE_TEST_SUITE_P(
    Cases, PinRules,
    ::testing::Values(
        // Individual mode: the teacher PIN only, the roster ignored.
        PinCase{"individual_teacher_pin", "individual", kNone, "4321", true, true},
        PinCase{"individual_roster_pin", "individual", kA, "111111", false, false},
        PinCase{"individual_other_text", "individual", kNone, "4321 ", false, false},
        PinCase{"individual_empty", "individual", kNone, "", false, false},
        PinCase{"individual_both_empty", "individual", kNone, "", false, false, ""},
        // Establishment, session of Alice: any teacher for the first rule, Alice only for the second.
        PinCase{"establishment_alice", "establishment", kA, "111111", true, true},
        PinCase{"establishment_bruno", "establishment", kA, "222222", true, false},
        PinCase{"establishment_teacher_pin", "establishment", kA, "4321", false, false},
        PinCase{"establishment_no_session", "establishment", kNone, "111111", true, false},
        PinCase{"establishment_ghost_session", "establishment", std::string("GONE"), "111111", true, false},
        // An empty PIN never matches, not even a teacher stored without one.
        PinCase{"establishment_empty_pin", "establishment", std::string("N-ID"), "", false, false},
        // Any mode other than exactly "individual" follows the roster rules.
        PinCase{"unknown_mode_roster", "classe", std::string("B-ID"), "222222", true, true},
        PinCase{"unknown_mode_teacher_pin", "classe", kNone, "4321", false, false},
        PinCase{"capitalised_mode", "Individual", kNone, "4321", false, false}),
    [](const auto& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace klarion
