// The login lockout: schedule, atomic step, forgetting, capped table.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "server/api/brute_force_protection.h"

namespace klarion {
namespace {

using Verdict = BruteForceProtection::Verdict;
using OnSuccess = BruteForceProtection::OnSuccess;

const std::string kAddress = "192.168.1.42";

struct Lockout : ::testing::Test {
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>(1'000'000.0);
    BruteForceProtection lockout{clock};

    Verdict wrong(const std::string& address = kAddress) {
        return lockout.attempt(address, [] { return false; }, OnSuccess::forget);
    }
    Verdict right(const std::string& address = kAddress, OnSuccess onSuccess = OnSuccess::forget) {
        return lockout.attempt(address, [] { return true; }, onSuccess);
    }
    // Waits out whatever block the address has.
    void waitOut() { clock->advance(3601); }
};

TEST_F(Lockout, BlockLengthFollowsTheFailureCount) {
    struct Step {
        int failure;        // number of this failure
        double blockedFor;  // length of the block it starts, 0 for none
    };
    const Step steps[] = {{1, 0},   {2, 0},   {3, 0},   {4, 0},   {5, 120},  {6, 120},  {9, 120},
                          {10, 900}, {11, 900}, {19, 900}, {20, 3600}, {21, 3600}, {40, 3600}};
    int done = 0;
    for (const auto& step : steps) {
        SCOPED_TRACE("failure " + std::to_string(step.failure));
        while (done < step.failure - 1) {  // failures between the listed ones
            ASSERT_EQ(wrong(), Verdict::refused);
            ++done;
            waitOut();
        }
        ASSERT_EQ(wrong(), Verdict::refused);
        ++done;
        EXPECT_EQ(lockout.failureCount(kAddress), step.failure);
        if (step.blockedFor == 0) {
            EXPECT_FALSE(lockout.isBlocked(kAddress));
        } else {
            clock->advance(step.blockedFor - 0.5);
            EXPECT_TRUE(lockout.isBlocked(kAddress));
            clock->advance(0.5);  // the end itself is no longer blocked
            EXPECT_FALSE(lockout.isBlocked(kAddress));
        }
        waitOut();
    }
}

TEST_F(Lockout, BlockedAddressIsRefusedBeforeItsPinIsLookedAt) {
    for (int i = 0; i < 5; ++i) wrong();
    bool compared = false;
    EXPECT_EQ(lockout.attempt(kAddress, [&] { return compared = true; }, OnSuccess::forget), Verdict::blocked);
    EXPECT_FALSE(compared);
    // Attempts during a block neither count nor lengthen it.
    EXPECT_EQ(wrong(), Verdict::blocked);
    EXPECT_EQ(lockout.failureCount(kAddress), 5);
    clock->advance(120);
    EXPECT_EQ(right(), Verdict::accepted);
}

TEST_F(Lockout, SuccessForgetsOnLoginRoutesOnly) {
    for (int i = 0; i < 4; ++i) wrong();
    EXPECT_EQ(right(kAddress, OnSuccess::keep), Verdict::accepted);
    EXPECT_EQ(lockout.failureCount(kAddress), 4);
    EXPECT_EQ(right(kAddress, OnSuccess::forget), Verdict::accepted);
    EXPECT_EQ(lockout.failureCount(kAddress), 0);
    EXPECT_EQ(lockout.size(), 0u);
    wrong();
    EXPECT_EQ(lockout.failureCount(kAddress), 1);
}

// Every student knows the class PIN: accepting it must not wipe refused
// teacher PINs, or the teacher PIN could be guessed without end.
TEST_F(Lockout, RightClassPinForgetsOnlyClassPinFailures) {
    using Kind = BruteForceProtection::PinKind;
    auto attempt = [&](bool matches, Kind kind) {
        return lockout.attempt(kAddress, [matches] { return matches; }, OnSuccess::forget, kind);
    };
    for (int i = 0; i < 4; ++i) attempt(false, Kind::classPin);
    EXPECT_EQ(attempt(true, Kind::classPin), Verdict::accepted);
    EXPECT_EQ(lockout.failureCount(kAddress), 0);  // only class PIN failures: forgotten

    for (int i = 0; i < 4; ++i) attempt(false, Kind::teacher);
    EXPECT_EQ(attempt(true, Kind::classPin), Verdict::accepted);
    EXPECT_EQ(lockout.failureCount(kAddress), 4);
    EXPECT_EQ(attempt(false, Kind::teacher), Verdict::refused);
    EXPECT_TRUE(lockout.isBlocked(kAddress));

    waitOut();
    EXPECT_EQ(attempt(true, Kind::teacher), Verdict::accepted);  // a teacher login forgets everything
    EXPECT_EQ(lockout.failureCount(kAddress), 0);
}

TEST_F(Lockout, AddressesAreCountedApart) {
    for (int i = 0; i < 5; ++i) wrong("10.0.0.1");
    EXPECT_TRUE(lockout.isBlocked("10.0.0.1"));
    EXPECT_FALSE(lockout.isBlocked("10.0.0.2"));
    EXPECT_EQ(right("10.0.0.2"), Verdict::accepted);
}

TEST_F(Lockout, SeparateStepsKeepTheirOwnMeaning) {
    for (int i = 0; i < 4; ++i) lockout.recordFailure(kAddress);
    EXPECT_FALSE(lockout.isBlocked(kAddress));
    lockout.recordFailure(kAddress);
    EXPECT_TRUE(lockout.isBlocked(kAddress));
    lockout.recordSuccess(kAddress);
    EXPECT_FALSE(lockout.isBlocked(kAddress));
    EXPECT_EQ(lockout.failureCount(kAddress), 0);
}

// Guesses sent at the same moment from many threads get exactly as many
// comparisons as guesses sent one after the other: four free failures and
// the fifth, which blocks.
TEST_F(Lockout, ParallelGuessesGetNoMoreTriesThanSequentialOnes) {
    BruteForceProtection sequential{clock};
    int sequentialCompared = 0;
    for (int i = 0; i < 400; ++i) {
        sequential.attempt(kAddress, [&] { ++sequentialCompared; return false; }, OnSuccess::forget);
    }

    std::atomic<int> compared{0};
    std::atomic<int> refused{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            while (!go.load()) std::this_thread::yield();
            for (int i = 0; i < 50; ++i) {
                auto verdict = lockout.attempt(kAddress, [&] { ++compared; return false; }, OnSuccess::forget);
                if (verdict == Verdict::refused) ++refused;
            }
        });
    }
    go = true;
    for (auto& thread : threads) thread.join();

    EXPECT_EQ(sequentialCompared, 5);
    EXPECT_EQ(compared.load(), sequentialCompared);
    EXPECT_EQ(refused.load(), 5);
    EXPECT_EQ(lockout.failureCount(kAddress), 5);
}

TEST(LockoutTable, FullTableEvictsTheOldestUnblockedEntryButNeverABlockedOne) {
    auto clock = std::make_shared<ManualClock>(5000.0);
    BruteForceProtection lockout{clock, 3};
    auto fail = [&](const std::string& address, int times = 1) {
        for (int i = 0; i < times; ++i) lockout.attempt(address, [] { return false; }, OnSuccess::forget);
        clock->advance(1);
    };
    fail("blocked", 5);  // oldest, but blocked
    fail("a");
    fail("b");
    EXPECT_EQ(lockout.size(), 3u);
    fail("c");  // evicts "a", the oldest unblocked entry
    EXPECT_EQ(lockout.size(), 3u);
    EXPECT_EQ(lockout.failureCount("a"), 0);
    EXPECT_EQ(lockout.failureCount("b"), 1);
    EXPECT_TRUE(lockout.isBlocked("blocked"));
    fail("d");  // evicts "b"
    EXPECT_EQ(lockout.failureCount("b"), 0);
    EXPECT_TRUE(lockout.isBlocked("blocked"));
    EXPECT_EQ(lockout.failureCount("blocked"), 5);

    // Once its block has run out, a blocked entry may make room too.
    clock->advance(200);
    fail("e");
    fail("f");
    EXPECT_EQ(lockout.size(), 3u);
    EXPECT_EQ(lockout.failureCount("blocked"), 0);
}

TEST(LockoutTable, TableOfBlockedEntriesStillRecordsNewAddresses) {
    auto clock = std::make_shared<ManualClock>(5000.0);
    BruteForceProtection lockout{clock, 2};
    for (const char* address : {"x", "y", "z"}) {
        for (int i = 0; i < 5; ++i) lockout.attempt(address, [] { return false; }, OnSuccess::forget);
    }
    EXPECT_TRUE(lockout.isBlocked("x"));
    EXPECT_TRUE(lockout.isBlocked("y"));
    EXPECT_TRUE(lockout.isBlocked("z"));
}

}  // namespace
}  // namespace klarion
