// Who gets in: the login lockout (schedule, atomic step, what a success
// forgets, capped table), the teacher PIN rules, the login routes case by case
// (mode, lockout state, body shape) with the exact reply bytes, the lockout
// shared by every teacher route, and the cap on parsed bodies.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "server/api/brute_force_protection.h"
#include "server/api/class_config_routes.h"
#include "server/api/live_data_routes.h"
#include "server/api/log_routes.h"
#include "server/api/login_routes.h"
#include "server/api/replies.h"
#include "server/api/schedule_routes.h"
#include "server/api/teacher_pins.h"
#include "tests/support/classroom_fixture.h"

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
        return lockout.attempt(
            address, [matches] { return matches; }, onSuccess, kind);
    }
    void fail(int times, Kind kind = Kind::teacher) {
        for (int i = 0; i < times; ++i) attempt(false, OnSuccess::forget, kind);
    }
    void waitOut() { clock->advance(3601); }  // the longest block
};

TEST_F(Lockout, BlockLengthFollowsTheFailureCount) {
    const std::pair<int, double> steps[] = {{1, 0},    {4, 0},     {5, 120},   {9, 120},  {10, 900},
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
    EXPECT_EQ(lockout.attempt(
                  kAddress, [&] { return compared = true; }, OnSuccess::forget),
              Verdict::blocked);
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
    for (int i = 0; i < 5; ++i) lockout.recordFailure(kAddress);  // the same schedule, step by step
    EXPECT_TRUE(lockout.isBlocked(kAddress));
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
                auto verdict = lockout.attempt(
                    kAddress,
                    [&] {
                        ++compared;
                        return false;
                    },
                    OnSuccess::forget);
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
        for (int i = 0; i < times; ++i)
            table.attempt(
                address, [] { return false; }, OnSuccess::forget);
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

TEST(PinRules, FollowModeRosterAndSession) {
    const std::optional<std::string> none, alice = "A-ID";
    const struct {
        std::string mode;
        std::optional<std::string> active;
        std::string pin;
        bool anyTeacher;
        bool activeTeacher;
        std::string teacherPin = "4321";
    } cases[] = {
        // Individual mode: the teacher PIN only, the roster ignored.
        {"individual", none, "4321", true, true},
        {"individual", alice, "111111", false, false},
        {"individual", none, "4321 ", false, false},
        {"individual", none, "", false, false, ""},  // an empty PIN never matches
        // Establishment, session of Alice: any teacher for the first rule, Alice only for the second.
        {"establishment", alice, "111111", true, true},
        {"establishment", alice, "222222", true, false},
        {"establishment", alice, "4321", false, false},
        {"establishment", none, "111111", true, false},
        {"establishment", std::string("GONE"), "111111", true, false},
        {"establishment", std::string("N-ID"), "", false, false},  // not even a teacher stored without one
        // Any mode other than exactly "individual" follows the roster rules.
        {"classe", std::string("B-ID"), "222222", true, true},
        {"Individual", none, "4321", false, false},
    };
    const std::vector<Teacher> roster{test::kAlice, test::kBruno, {"N-ID", "Sans PIN", "", ""}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode + " " + c.active.value_or("-") + " [" + c.pin + "] [" + c.teacherPin + "]");
        EXPECT_EQ(checkTeacherPin(c.mode, c.teacherPin, roster, c.pin), c.anyTeacher);
        EXPECT_EQ(isActiveTeacherPin(c.mode, c.teacherPin, roster, c.active, c.pin), c.activeTeacher);
    }
}

using test::callRoute;
using Handler = HttpResponse (*)(const ClassroomContext&, HttpRequest&);

constexpr double kTuesday1030 = 1772530200.0;  // slot 1 ("Matin 2") runs: 2026-W10_tuesday_1
constexpr double kTuesday1230 = 1772537400.0;  // between slots
constexpr double kSaturday1030 = 1772875800.0;
const char* const kAlicePin = R"({"id":"A-ID","pin":"111111"})";
const char* const kBrunoPin = R"({"id":"B-ID","pin":"222222"})";
const std::string kFailure(kReplyFailure), kBlocked(kReplyBlocked), kEnded(kReplyEndSession);

enum class Session { untouched, started, stamped, ended };

struct LoginCase {
    const char* label;
    Handler route;
    std::string mode = "individual";
    std::string body = "";
    int prior = 0;                               // teacher PIN failures the address already has
    std::optional<std::string> active = {};      // running session (teacher id)
    std::optional<std::string> slotHolder = {};  // holder of the running slot's booking
    double now = kTuesday1230;
    std::optional<std::string> address = "192.168.1.30";
    std::string classPin = "2468";
    // Expected:
    int status = 200;
    std::string reply = "";                        // exact bytes; "{session}" / "{busy:NAME}" for built session replies
    const char* contentType = "application/json";  // nullptr: none
    int64_t failuresAfter = 0;
    Session session = Session::untouched;
    const char* journalLine = nullptr;
};

std::ostream& operator<<(std::ostream& out, const LoginCase& c) { return out << c.label; }

// Checks a built session reply: compact, a fresh upper-case token (none for
// a check, which opens nothing), and the busy members naming `busyWith` when
// it is not empty.
void expectSessionReply(const std::string& body, const std::string& busyWith, bool check) {
    auto json = parseJsonObject(body);
    ASSERT_TRUE(json) << body;
    EXPECT_EQ(body.find(": "), std::string::npos) << body;
    const auto token = readString(*json, "sessionToken");
    ASSERT_EQ(token.has_value(), !check) << body;
    if (token) {
        std::string shape = *token;  // upper-case hexadecimal digits in groups of 8-4-4-4-12
        for (char& c : shape) {
            if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')) c = 'h';
        }
        EXPECT_EQ(shape, "hhhhhhhh-hhhh-hhhh-hhhh-hhhhhhhhhhhh") << *token;
    }
    EXPECT_EQ(readBool(*json, "success"), true);
    EXPECT_EQ(readString(*json, "studentPinCode"), "2468");
    EXPECT_TRUE(readString(*json, "teacherName"));
    EXPECT_EQ(json->size(), (busyWith.empty() ? 4u : 6u) - (check ? 1u : 0u)) << body;
    if (!busyWith.empty()) {
        EXPECT_EQ(readBool(*json, "sessionInProgress"), true);
        EXPECT_EQ(readString(*json, "activeTeacher"), busyWith);
    }
}

class LoginRoutes : public ::testing::TestWithParam<LoginCase> {};

TEST_P(LoginRoutes, AnswerAsSpecified) {
    const LoginCase& c = GetParam();
    test::TestContext t;
    AppConfig& config = t.config();
    config.setAppMode(c.mode);
    config.setPinCode(c.classPin);
    config.setTeacherPinCode("4321");
    config.setTeachers({test::kAlice, test::kBruno});
    if (c.active) {
        config.setActiveTeacherId(c.active);
        config.setActiveTeacherName(*c.active == "A-ID" ? "Alice" : "Bruno");
        config.setSessionStartTime(1);
        config.setLastActivityTime(2);
    }
    if (c.slotHolder) {
        auto schedule = config.scheduleConfig();
        schedule.reservations["2026-W10_tuesday_1"] = *c.slotHolder;
        config.setScheduleConfig(schedule);
    }
    t.clock->set(c.now);
    const std::string address = c.address.value_or("0.0.0.0");
    for (int i = 0; i < c.prior; ++i) {
        t.context->lockout->attempt(
            address, [] { return false; }, OnSuccess::keep);
    }

    const auto reply = callRoute(c.route, *t.context, c.body, c.address);
    EXPECT_EQ(reply.status, c.status);
    EXPECT_EQ(reply.contentType, c.contentType ? std::optional<std::string>(c.contentType) : std::nullopt);
    if (c.reply.rfind("{session}", 0) == 0 || c.reply.rfind("{busy:", 0) == 0) {
        const bool check = c.body.find("\"checkOnly\":true") != std::string::npos;
        expectSessionReply(reply.body, c.reply == "{session}" ? "" : c.reply.substr(6, c.reply.size() - 7), check);
    } else {
        EXPECT_EQ(reply.body, c.reply);
    }
    EXPECT_EQ(t.context->lockout->failureCount(address), c.failuresAfter);

    // What the sessions were asked to do, seen once the queued steps ran.
    const auto journal = t.journal();
    const auto starts = std::count_if(journal.begin(), journal.end(),
                                      [](const auto& line) { return line.rfind("Session démarrée : ", 0) == 0; });
    EXPECT_EQ(starts, c.session == Session::started ? 1 : 0);
    switch (c.session) {
        case Session::started: {
            EXPECT_EQ(config.activeTeacherId(), readString(*parseJsonObject(c.body), "id"));
            EXPECT_EQ(config.sessionStartTime(), c.now);
            EXPECT_EQ(config.pinCode(), "8461");  // the teacher's settings (none saved: the initial ones)
            break;
        }
        case Session::stamped:
            EXPECT_EQ(config.activeTeacherId(), c.active);
            EXPECT_EQ(config.sessionStartTime(), 1);  // not restarted
            EXPECT_EQ(config.lastActivityTime(), c.now);
            break;
        case Session::ended:
            EXPECT_EQ(config.activeTeacherId(), std::nullopt);
            EXPECT_EQ(config.pinCode(), "8461");  // the initial settings are back
            break;
        case Session::untouched:
            EXPECT_EQ(config.activeTeacherId(), c.active);
            EXPECT_EQ(config.lastActivityTime(), c.active ? 2 : 0);
            EXPECT_EQ(config.pinCode(), c.classPin);
            break;
    }
    if (c.journalLine) {
        EXPECT_NE(std::find(journal.begin(), journal.end(), c.journalLine), journal.end()) << c.journalLine;
    }
}

const Handler kStudent = handleVerify, kTeacher = handleVerifyTeacher, kEnd = handleEndSession,
              kList = handleTeachersList;

const std::vector<LoginCase> kLoginCases = {
    // ---- "/api/verify": the class PIN.
    {.label = "student_right_pin",
     .route = kStudent,
     .body = R"({"pin":"2468"})",
     .reply = R"({"success": true})",
     .journalLine = "Vérification PIN élève : OK depuis 192.168.1.30"},
    // Class and teacher PIN failures share one counter.
    {.label = "student_wrong_pin",
     .route = kStudent,
     .body = R"({"pin":"0000"})",
     .prior = 4,
     .reply = kFailure,
     .failuresAfter = 5,
     .journalLine = "Vérification PIN élève : ÉCHEC depuis 192.168.1.30"},
    {.label = "student_not_json", .route = kStudent, .body = "pin=2468", .reply = kFailure},
    {.label = "student_empty_class_pin_never_matches",
     .route = kStudent,
     .body = R"({"pin":""})",
     .classPin = "",
     .reply = kFailure,
     .failuresAfter = 1},
    // Every student knows the class PIN: it must not reset guesses at the teacher PIN.
    {.label = "student_right_pin_keeps_teacher_failures",
     .route = kStudent,
     .body = R"({"pin":"2468"})",
     .prior = 4,
     .reply = R"({"success": true})",
     .failuresAfter = 4},
    {.label = "student_blocked_right_pin",
     .route = kStudent,
     .body = R"({"pin":"2468"})",
     .prior = 5,
     .reply = kBlocked,
     .failuresAfter = 5,
     .journalLine = "PIN élève : IP bloquée (brute-force) 192.168.1.30"},
    {.label = "student_without_address",
     .route = kStudent,
     .body = R"({"pin":"1"})",
     .address = std::nullopt,
     .reply = kFailure,
     .failuresAfter = 1,
     .journalLine = "Vérification PIN élève : ÉCHEC depuis 0.0.0.0"},
    // ---- "/api/verify-teacher", individual mode.
    {.label = "individual_right_pin_forgets_failures",
     .route = kTeacher,
     .body = R"({"pin":"4321"})",
     .prior = 4,
     .reply = R"({"success":true,"studentPinCode":"2468"})",
     .journalLine = "Login enseignant individuel : OK"},
    {.label = "individual_wrong_pin",
     .route = kTeacher,
     .body = R"({"pin":"1234"})",
     .reply = kFailure,
     .failuresAfter = 1,
     .journalLine = "Login enseignant individuel : ÉCHEC depuis 192.168.1.30"},
    {.label = "individual_roster_pin_refused",
     .route = kTeacher,
     .body = R"({"pin":"111111"})",
     .reply = kFailure,
     .failuresAfter = 1},
    {.label = "individual_blocked",
     .route = kTeacher,
     .body = R"({"pin":"4321"})",
     .prior = 5,
     .reply = kBlocked,
     .failuresAfter = 5,
     .journalLine = "Login enseignant : IP bloquée (brute-force) 192.168.1.30"},
    {.label = "individual_not_object_before_block",
     .route = kTeacher,
     .body = R"(["4321"])",
     .prior = 5,
     .reply = kFailure,
     .failuresAfter = 5},
    // ---- "/api/verify-teacher", establishment mode.
    {.label = "establishment_blocked",
     .route = kTeacher,
     .mode = "establishment",
     .body = kAlicePin,
     .prior = 5,
     .reply = R"({"success":false,"reason":"blocked","message":"Trop de tentatives. Veuillez patienter."})",
     .failuresAfter = 5,
     .journalLine = "IP bloquée (brute-force) : 192.168.1.30"},
    {.label = "establishment_unknown_id",
     .route = kTeacher,
     .mode = "establishment",
     .body = R"({"id":"X-ID","pin":"111111"})",
     .reply = kFailure},
    {.label = "establishment_wrong_pin",
     .route = kTeacher,
     .mode = "establishment",
     .body = R"({"id":"A-ID","pin":"222222"})",
     .reply = std::string(kReplyWrongPin),
     .failuresAfter = 1,
     .journalLine = "PIN incorrect pour Alice depuis 192.168.1.30"},
    {.label = "establishment_free_class",
     .route = kTeacher,
     .mode = "establishment",
     .body = kAlicePin,
     .reply = "{session}",
     .session = Session::started,
     .journalLine = "Login établissement : Alice"},
    // The teacher who holds the session logs in again: no restart (no wipe of the class data).
    {.label = "establishment_holder_logs_in_again",
     .route = kTeacher,
     .mode = "establishment",
     .body = kAlicePin,
     .active = "A-ID",
     .reply = "{session}",
     .session = Session::stamped},
    {.label = "establishment_other_teacher_busy",
     .route = kTeacher,
     .mode = "establishment",
     .body = kBrunoPin,
     .active = "A-ID",
     .reply = "{busy:Alice}"},
    // Bookings do not count at weekends.
    {.label = "establishment_saturday_busy",
     .route = kTeacher,
     .mode = "establishment",
     .body = kBrunoPin,
     .active = "A-ID",
     .slotHolder = "B-ID",
     .now = kSaturday1030,
     .reply = "{busy:Alice}"},
    {.label = "establishment_slot_booked_by_other",
     .route = kTeacher,
     .mode = "establishment",
     .body = kBrunoPin,
     .slotHolder = "A-ID",
     .now = kTuesday1030,
     .reply = "{busy:Alice}"},
    {.label = "establishment_slot_holder_takes_over",
     .route = kTeacher,
     .mode = "establishment",
     .body = kAlicePin,
     .active = "B-ID",
     .slotHolder = "A-ID",
     .now = kTuesday1030,
     .reply = "{session}",
     .session = Session::started},
    {.label = "establishment_slot_holder_already_active",
     .route = kTeacher,
     .mode = "establishment",
     .body = kAlicePin,
     .active = "A-ID",
     .slotHolder = "A-ID",
     .now = kTuesday1030,
     .reply = "{session}",
     .session = Session::stamped},
    {.label = "establishment_slot_holder_unknown",
     .route = kTeacher,
     .mode = "establishment",
     .body = kBrunoPin,
     .slotHolder = "GONE",
     .now = kTuesday1030,
     .reply = "{busy:Inconnu}"},
    // A check ("checkOnly": true) never opens, takes over nor stamps a session.
    {.label = "check_free_class_opens_nothing",
     .route = kTeacher,
     .mode = "establishment",
     .body = R"({"id":"A-ID","pin":"111111","checkOnly":true})",
     .prior = 3,
     .reply = "{session}"},
    {.label = "check_by_the_holder_does_not_stamp",
     .route = kTeacher,
     .mode = "establishment",
     .body = R"({"id":"A-ID","pin":"111111","checkOnly":true})",
     .active = "A-ID",
     .reply = "{session}"},
    {.label = "check_slot_holder_does_not_take_over",
     .route = kTeacher,
     .mode = "establishment",
     .body = R"({"id":"A-ID","pin":"111111","checkOnly":true})",
     .active = "B-ID",
     .slotHolder = "A-ID",
     .now = kTuesday1030,
     .reply = "{busy:Bruno}"},
    {.label = "check_wrong_pin_counts",
     .route = kTeacher,
     .mode = "establishment",
     .body = R"({"id":"A-ID","pin":"222222","checkOnly":true})",
     .reply = std::string(kReplyWrongPin),
     .failuresAfter = 1},
    {.label = "check_not_boolean_is_a_login",
     .route = kTeacher,
     .mode = "establishment",
     .body = R"({"id":"A-ID","pin":"111111","checkOnly":"true"})",
     .reply = "{session}",
     .session = Session::started},
    {.label = "unknown_mode_is_establishment",
     .route = kTeacher,
     .mode = "classe",
     .body = kBrunoPin,
     .reply = "{session}",
     .session = Session::started},
    // ---- "/api/end-session": plain text, a teacher route (a success keeps the count).
    {.label = "end_individual_keeps_failures",
     .route = kEnd,
     .body = R"({"pin":"4321"})",
     .prior = 2,
     .reply = kEnded,
     .contentType = nullptr,
     .failuresAfter = 2,
     .session = Session::ended},
    {.label = "end_not_the_holder_colleague_pin_not_counted",
     .route = kEnd,
     .mode = "establishment",
     .body = R"({"pin":"222222"})",
     .active = "A-ID",
     .status = 401,
     .contentType = nullptr,
     .failuresAfter = 0},
    {.label = "end_the_holder",
     .route = kEnd,
     .mode = "establishment",
     .body = R"({"pin":"111111"})",
     .active = "A-ID",
     .reply = kEnded,
     .contentType = nullptr,
     .session = Session::ended},
    // ---- "/api/teachers-list".
    {.label = "list_establishment",
     .route = kList,
     .mode = "establishment",
     .reply = R"([{"id":"A-ID","name":"Alice"},{"id":"B-ID","name":"Bruno"}])"},
};

INSTANTIATE_TEST_SUITE_P(Cases, LoginRoutes, ::testing::ValuesIn(kLoginCases),
                         [](const auto& info) { return std::string(info.param.label); });

// Every teacher route sits behind the shared gate: a wrong PIN counts, a right
// one keeps the count, a blocked address is refused before the comparison.
// What the gate does with bodies that are no object with a text PIN is
// checked once, on the first route.
TEST(LoginLockout, EveryTeacherRouteSharesIt) {
    const struct {
        const char* path;
        Handler handler;
        std::string members;  // what the route needs beside the PIN
        int64_t okStatus = 200;
    } routes[] = {
        {"/api/mission", handleMission, R"("mission":"m")"},
        {"/api/admin/update", handleAdminUpdate, ""},
        {"/api/gen-params", handleGenParams, ""},
        {"/api/keywords", handleKeywords, ""},
        {"/api/students", handleStudents, ""},
        {"/api/live-feed", handleLiveFeed, ""},
        {"/api/safety-alerts", handleSafetyAlerts, ""},
        {"/api/ack-alert", handleAckAlert, R"("id":"X")"},
        {"/api/schedule", handleSchedule, ""},
        {"/api/reserve-slot", handleReserveSlot, R"("week":"2026-W10","day":0,"slot":0)"},
        {"/api/logs", handleLogs, ""},
        {"/api/log-content", handleLogContent, R"("filename":"absent.txt")", 404},
        {"/api/end-session", handleEndSession, ""},
    };
    for (const auto& route : routes) {
        SCOPED_TRACE(route.path);
        test::TestContext t;
        const std::string right = t.pinBody(route.members);
        const std::string wrong = R"({"pin":"0000x")" + (route.members.empty() ? "" : "," + route.members) + "}";
        if (route.handler == handleMission) {
            for (const std::string body : {"pas du json", "[]", "{}", R"({"pin":1234})", R"({"code":"x"})"}) {
                EXPECT_EQ(callRoute(route.handler, *t.context, body).status, 401) << body;
            }
            EXPECT_EQ(t.context->lockout->failureCount("10.0.0.5"), 0);
            EXPECT_EQ(t.queue->drain(), 0u);
        }
        EXPECT_EQ(callRoute(route.handler, *t.context, wrong).status, 401);
        EXPECT_EQ(callRoute(route.handler, *t.context, right).status, route.okStatus);
        EXPECT_EQ(t.context->lockout->failureCount("10.0.0.5"), 1) << "counted, and only logins forget";
        for (int i = 0; i < 4; ++i) callRoute(route.handler, *t.context, wrong);
        EXPECT_EQ(callRoute(route.handler, *t.context, right).status, 401) << "blocked, right PIN";
        EXPECT_EQ(callRoute(route.handler, *t.context, right, "10.0.0.6").status, route.okStatus);
    }
}

// A colleague's own PIN on a control only the session holder may use is
// refused without counting: Bob keeps his login. A PIN of nobody still counts.
TEST(LoginLockout, AColleaguesOwnPinIsNoGuess) {
    test::TestContext t;
    t.establishment(true);
    t.config().setTeacherPinCode("4321");
    const std::string bob = R"({"pin":"222222")", bobAddress = "10.0.0.7";
    const auto holderOnly = ClassroomContext::pinCheck(t.context, PinRule::activeTeacher);  // model switch
    for (int click = 0; click < 12; ++click) {
        EXPECT_EQ(callRoute(handleStudents, *t.context, bob + "}", bobAddress).status, 200);  // his dashboard polls
        EXPECT_EQ(callRoute(handleLiveFeed, *t.context, bob + "}", bobAddress).status, 200);
        EXPECT_EQ(callRoute(handleMission, *t.context, bob + R"(,"mission":"m"})", bobAddress).status, 401);
        EXPECT_EQ(callRoute(handleAdminUpdate, *t.context, bob + R"(,"isAiPaused":true})", bobAddress).status, 401);
        EXPECT_EQ(callRoute(handleReserveSlot, *t.context, bob + R"(,"week":"2026-W10","day":0,"slot":0})", bobAddress)
                      .status,
                  401);
        EXPECT_FALSE(holderOnly(bobAddress, "222222"));
        EXPECT_FALSE(holderOnly(bobAddress, "4321"));  // the individual teacher PIN is no guess either
    }
    EXPECT_EQ(t.context->lockout->failureCount(bobAddress), 0);
    const auto login = parseJsonObject(callRoute(handleVerifyTeacher, *t.context, kBrunoPin, bobAddress).body);
    ASSERT_TRUE(login);
    EXPECT_EQ(readBool(*login, "success"), true);

    for (int guess = 0; guess < 5; ++guess) callRoute(handleMission, *t.context, R"({"pin":"999999","mission":"m"})");
    EXPECT_TRUE(t.context->lockout->isBlocked("10.0.0.5"));
    EXPECT_NE(callRoute(handleVerifyTeacher, *t.context, kAlicePin).body.find("blocked"), std::string::npos);
}

// A body is parsed only up to 1 MiB: a hostile body of tiny JSON values would
// otherwise take gigabytes once parsed.
TEST(RequestBody, OversizedBodyIsNotParsed) {
    test::TestContext t;
    t.config().setPinCode("2468");
    const std::string head = R"({"pin":"2468","x":")", tail = R"("})";
    const std::string atLimit = head + std::string(kMaxJsonBodyBytes - head.size() - tail.size(), 'a') + tail;
    EXPECT_TRUE(requestJsonObject(test::postRequest(atLimit)));
    EXPECT_EQ(callRoute(handleVerify, *t.context, atLimit).body, R"({"success": true})");

    const std::string over = head + std::string(kMaxJsonBodyBytes, 'a') + tail;
    EXPECT_FALSE(requestJsonObject(test::postRequest(over)));
    EXPECT_EQ(callRoute(handleVerify, *t.context, over).body, kFailure);
    EXPECT_EQ(t.context->lockout->failureCount("10.0.0.5"), 0);  // a malformed body counts nothing
}

}  // namespace
}  // namespace klarion
