// The login routes, case by case: mode, lockout state and body shape, with the
// exact reply bytes.
#include <gtest/gtest.h>

#include <regex>

#include "http/core/response.h"
#include "server/api/login_routes.h"
#include "server/api/replies.h"
#include "tests/api/api_test_support.h"

namespace klarion {
namespace {

const Teacher kAlice{"A-ID", "Alice", "111111", "2025-09-01T07:45:09Z"};
const Teacher kBruno{"B-ID", "Bruno", "222222", "2025-09-01T07:45:09Z"};

constexpr double kTuesday1030 = 1772530200.0;  // slot 1 ("Matin 2") runs: 2026-W10_tuesday_1
constexpr double kTuesday1230 = 1772537400.0;  // between slots
constexpr double kSaturday1030 = 1772875800.0;
const std::string kRunningSlot = "2026-W10_tuesday_1";

const char* const kBlockedCompact =
    R"({"success":false,"reason":"blocked","message":"Trop de tentatives. Veuillez patienter."})";

struct LoginCase {
    const char* label;
    const char* route;
    std::string mode = "individual";
    std::string body;
    bool blocked = false;                    // the address starts with 5 failures
    std::optional<std::string> active;       // running session (teacher id)
    std::optional<std::string> slotHolder;   // holder of the running slot's booking
    double now = kTuesday1230;
    std::optional<std::string> address = std::string("192.168.1.30");
    // Expected:
    int status = 200;
    std::string reply;             // exact bytes; "{session}" / "{busy:NAME}" for built session replies
    const char* contentType = "application/json";  // nullptr: none
    int64_t failuresAfter = 0;
    std::vector<std::string> started = {};
    int stamped = 0;
    int ended = 0;
    const char* journalLine = nullptr;
};

std::ostream& operator<<(std::ostream& out, const LoginCase& c) { return out << c.label; }

HttpResponse call(const ClassroomContext& context, const std::string& route, HttpRequest& request) {
    if (route == "/api/verify") return handleVerify(context, request);
    if (route == "/api/verify-teacher") return handleVerifyTeacher(context, request);
    if (route == "/api/teachers-list") return handleTeachersList(context, request);
    return handleEndSession(context, request);
}

std::string bodyOf(const HttpResponse& response) {
    MemoryBodyWriter writer;
    auto content = response.content();
    if (content.writer) content.writer(writer);
    return writer.text();
}

class LoginRoutes : public ::testing::TestWithParam<LoginCase> {};

TEST_P(LoginRoutes, AnswerAsSpecified) {
    const LoginCase& c = GetParam();
    test::TestContext t;
    AppConfig& config = t.config();
    config.setAppMode(c.mode);
    config.setPinCode("2468");
    config.setTeacherPinCode("4321");
    config.setTeachers({kAlice, kBruno});
    if (c.active) {
        config.setActiveTeacherId(c.active);
        config.setActiveTeacherName(*c.active == "A-ID" ? "Alice" : "Bruno");
        config.setSessionStartTime(1);
        config.setLastActivityTime(2);
    }
    if (c.slotHolder) {
        auto schedule = config.scheduleConfig();
        schedule.reservations[kRunningSlot] = *c.slotHolder;
        config.setScheduleConfig(schedule);
    }
    t.clock->set(c.now);
    const std::string address = c.address.value_or("0.0.0.0");
    if (c.blocked) {
        for (int i = 0; i < 5; ++i) t.context->lockout->recordFailure(address);
    }

    HttpRequest request;
    request.method = "POST";
    request.path = c.route;
    request.body = utf8Bytes(c.body);
    request.address = c.address;
    const HttpResponse response = call(*t.context, c.route, request);

    EXPECT_EQ(response.statusCode(), c.status);
    const auto headers = response.headers();
    if (c.contentType) {
        ASSERT_TRUE(headers.count("Content-Type"));
        EXPECT_EQ(headers.at("Content-Type"), c.contentType);
    } else {
        EXPECT_FALSE(headers.count("Content-Type"));
    }
    const std::string body = bodyOf(response);
    if (c.reply.rfind("{session}", 0) == 0 || c.reply.rfind("{busy:", 0) == 0) {
        // Built session replies: compact, a fresh upper-case token.
        auto json = parseJsonObject(body);
        ASSERT_TRUE(json) << body;
        EXPECT_EQ(body.find(": "), std::string::npos) << body;
        const std::string name = c.reply == "{session}" ? "" : c.reply.substr(6, c.reply.size() - 7);
        const auto token = readString(*json, "sessionToken");
        ASSERT_TRUE(token);
        EXPECT_TRUE(std::regex_match(*token, std::regex("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}")));
        EXPECT_EQ(readBool(*json, "success"), true);
        EXPECT_EQ(readString(*json, "studentPinCode"), "2468");
        EXPECT_TRUE(readString(*json, "teacherName"));
        if (name.empty()) {
            EXPECT_EQ(json->size(), 4u) << body;
        } else {
            EXPECT_EQ(json->size(), 6u) << body;
            EXPECT_EQ(readBool(*json, "sessionInProgress"), true);
            EXPECT_EQ(readString(*json, "activeTeacher"), name);
        }
    } else {
        EXPECT_EQ(body, c.reply);
    }
    EXPECT_EQ(t.context->lockout->failureCount(address), c.failuresAfter);

    // What the sessions were asked to do, seen once the queued steps ran.
    const auto journal = t.journal();
    std::vector<std::string> started;
    for (const auto& line : journal) {
        if (line.rfind("Session démarrée : ", 0) == 0) started.push_back(line.substr(std::string("Session démarrée : ").size()));
    }
    std::vector<std::string> expectedStarted;
    for (const auto& id : c.started) expectedStarted.push_back(id == "A-ID" ? "Alice" : "Bruno");
    EXPECT_EQ(started, expectedStarted);
    if (!c.started.empty()) {
        EXPECT_EQ(config.activeTeacherId(), c.started.back());
        EXPECT_EQ(config.sessionStartTime(), c.now);
    }
    if (c.stamped) {
        EXPECT_EQ(config.activeTeacherId(), c.active);
        EXPECT_EQ(config.sessionStartTime(), 1);  // not restarted
        EXPECT_EQ(config.lastActivityTime(), c.now);
    } else if (c.active && c.started.empty() && !c.ended) {
        EXPECT_EQ(config.activeTeacherId(), c.active);  // untouched
        EXPECT_EQ(config.lastActivityTime(), 2);
    }
    if (c.ended) {
        EXPECT_EQ(config.activeTeacherId(), std::nullopt);
        EXPECT_EQ(config.pinCode(), "8461");  // the initial settings are back
    } else if (!c.started.empty()) {
        EXPECT_EQ(config.pinCode(), "8461");  // the teacher's settings (none saved: the initial ones)
    } else {
        EXPECT_EQ(config.pinCode(), "2468");
    }
    if (c.journalLine) {
        EXPECT_NE(std::find(journal.begin(), journal.end(), c.journalLine), journal.end())
            << "missing journal line: " << c.journalLine;
    }
}

LoginCase onRoute(const char* label, const char* route, std::string mode = "individual") {
    LoginCase c;
    c.label = label;
    c.route = route;
    c.mode = std::move(mode);
    return c;
}
LoginCase student(const char* label) {
    LoginCase c;
    c.label = label;
    c.route = "/api/verify";
    return c;
}
LoginCase teacher(const char* label, std::string mode = "individual") {
    LoginCase c;
    c.label = label;
    c.route = "/api/verify-teacher";
    c.mode = std::move(mode);
    return c;
}

std::vector<LoginCase> cases() {
    std::vector<LoginCase> all;
    auto add = [&](LoginCase c, auto&& edit) {
        edit(c);
        all.push_back(std::move(c));
    };
    // ---- "/api/verify": the class PIN.
    add(student("student_right_pin"), [](auto& c) {
        c.body = R"({"pin":"2468"})";
        c.reply = R"({"success": true})";
        c.journalLine = "Vérification PIN élève : OK depuis 192.168.1.30";
    });
    add(student("student_wrong_pin"), [](auto& c) {
        c.body = R"({"pin":"0000"})";
        c.reply = R"({"success": false})";
        c.failuresAfter = 1;
        c.journalLine = "Vérification PIN élève : ÉCHEC depuis 192.168.1.30";
    });
    add(student("student_pin_as_number"), [](auto& c) {
        c.body = R"({"pin":2468})";
        c.reply = R"({"success": false})";
    });
    add(student("student_not_json"), [](auto& c) {
        c.body = "pin=2468";
        c.reply = R"({"success": false})";
    });
    add(student("student_empty_pin"), [](auto& c) {
        c.body = R"({"pin":""})";
        c.reply = R"({"success": false})";
        c.failuresAfter = 1;
    });
    add(student("student_blocked_right_pin"), [](auto& c) {
        c.body = R"({"pin":"2468"})";
        c.blocked = true;
        c.reply = std::string(kReplyBlocked);
        c.failuresAfter = 5;
        c.journalLine = "PIN élève : IP bloquée (brute-force) 192.168.1.30";
    });
    add(student("student_blocked_before_body"), [](auto& c) {
        c.body = "garbage";
        c.blocked = true;
        c.reply = std::string(kReplyBlocked);
        c.failuresAfter = 5;
    });
    add(student("student_without_address"), [](auto& c) {
        c.body = R"({"pin":"1"})";
        c.address = std::nullopt;
        c.reply = R"({"success": false})";
        c.failuresAfter = 1;  // counted under "0.0.0.0"
        c.journalLine = "Vérification PIN élève : ÉCHEC depuis 0.0.0.0";
    });
    // ---- "/api/verify-teacher", individual mode.
    add(teacher("individual_right_pin"), [](auto& c) {
        c.body = R"({"pin":"4321"})";
        c.reply = R"({"success":true,"studentPinCode":"2468"})";
        c.journalLine = "Login enseignant individuel : OK";
    });
    add(teacher("individual_wrong_pin"), [](auto& c) {
        c.body = R"({"pin":"1234"})";
        c.reply = R"({"success": false})";
        c.failuresAfter = 1;
        c.journalLine = "Login enseignant individuel : ÉCHEC depuis 192.168.1.30";
    });
    add(teacher("individual_roster_pin_refused"), [](auto& c) {
        c.body = R"({"pin":"111111"})";
        c.reply = R"({"success": false})";
        c.failuresAfter = 1;
    });
    add(teacher("individual_missing_pin"), [](auto& c) {
        c.body = R"({"id":"A-ID"})";
        c.reply = R"({"success": false})";
    });
    add(teacher("individual_blocked"), [](auto& c) {
        c.body = R"({"pin":"4321"})";
        c.blocked = true;
        c.reply = std::string(kReplyBlocked);
        c.failuresAfter = 5;
        c.journalLine = "Login enseignant : IP bloquée (brute-force) 192.168.1.30";
    });
    add(teacher("individual_not_object_before_block"), [](auto& c) {
        c.body = R"(["4321"])";
        c.blocked = true;
        c.reply = R"({"success": false})";
        c.failuresAfter = 5;
    });
    // ---- "/api/verify-teacher", establishment mode.
    add(teacher("establishment_blocked", "establishment"), [](auto& c) {
        c.body = R"({"id":"A-ID","pin":"111111"})";
        c.blocked = true;
        c.reply = kBlockedCompact;
        c.failuresAfter = 5;
        c.journalLine = "IP bloquée (brute-force) : 192.168.1.30";
    });
    add(teacher("establishment_missing_id", "establishment"), [](auto& c) {
        c.body = R"({"pin":"111111"})";
        c.reply = R"({"success": false})";
    });
    add(teacher("establishment_unknown_id", "establishment"), [](auto& c) {
        c.body = R"({"id":"X-ID","pin":"111111"})";
        c.reply = R"({"success": false})";
    });
    add(teacher("establishment_wrong_pin", "establishment"), [](auto& c) {
        c.body = R"({"id":"A-ID","pin":"222222"})";
        c.reply = std::string(kReplyWrongPin);
        c.failuresAfter = 1;
        c.journalLine = "PIN incorrect pour Alice depuis 192.168.1.30";
    });
    add(teacher("establishment_free_class", "establishment"), [](auto& c) {
        c.body = R"({"id":"A-ID","pin":"111111"})";
        c.reply = "{session}";
        c.started = {"A-ID"};
        c.journalLine = "Login établissement : Alice";
    });
    add(teacher("establishment_holder_logs_in_again", "establishment"), [](auto& c) {
        c.body = R"({"id":"A-ID","pin":"111111"})";
        c.active = "A-ID";
        c.reply = "{session}";
        c.stamped = 1;  // no restart
    });
    add(teacher("establishment_other_teacher_busy", "establishment"), [](auto& c) {
        c.body = R"({"id":"B-ID","pin":"222222"})";
        c.active = "A-ID";
        c.reply = "{busy:Alice}";
    });
    add(teacher("establishment_saturday_busy", "establishment"), [](auto& c) {
        c.body = R"({"id":"B-ID","pin":"222222"})";
        c.active = "A-ID";
        c.now = kSaturday1030;
        c.slotHolder = "B-ID";  // bookings do not count at weekends
        c.reply = "{busy:Alice}";
    });
    add(teacher("establishment_slot_booked_by_other", "establishment"), [](auto& c) {
        c.body = R"({"id":"B-ID","pin":"222222"})";
        c.now = kTuesday1030;
        c.slotHolder = "A-ID";
        c.reply = "{busy:Alice}";
    });
    add(teacher("establishment_slot_holder_takes_over", "establishment"), [](auto& c) {
        c.body = R"({"id":"A-ID","pin":"111111"})";
        c.now = kTuesday1030;
        c.slotHolder = "A-ID";
        c.active = "B-ID";
        c.reply = "{session}";
        c.started = {"A-ID"};
    });
    add(teacher("establishment_slot_holder_already_active", "establishment"), [](auto& c) {
        c.body = R"({"id":"A-ID","pin":"111111"})";
        c.now = kTuesday1030;
        c.slotHolder = "A-ID";
        c.active = "A-ID";
        c.reply = "{session}";
        c.stamped = 1;
    });
    add(teacher("establishment_slot_holder_unknown", "establishment"), [](auto& c) {
        c.body = R"({"id":"B-ID","pin":"222222"})";
        c.now = kTuesday1030;
        c.slotHolder = "GONE";
        c.reply = "{busy:Inconnu}";
    });
    add(teacher("unknown_mode_is_establishment", "classe"), [](auto& c) {
        c.body = R"({"id":"B-ID","pin":"222222"})";
        c.reply = "{session}";
        c.started = {"B-ID"};
    });
    // ---- "/api/end-session".
    add(onRoute("end_individual", "/api/end-session"), [](auto& c) {
        c.body = R"({"pin":"4321"})";
        c.reply = std::string(kReplyEndSession);
        c.contentType = nullptr;
        c.ended = 1;
    });
    add(onRoute("end_wrong_pin", "/api/end-session"), [](auto& c) {
        c.body = R"({"pin":"0000"})";
        c.status = 401;
        c.contentType = nullptr;
        c.failuresAfter = 1;
    });
    add(onRoute("end_no_body", "/api/end-session"), [](auto& c) {
        c.status = 401;
        c.contentType = nullptr;
    });
    add(onRoute("end_blocked", "/api/end-session"), [](auto& c) {
        c.body = R"({"pin":"4321"})";
        c.blocked = true;
        c.status = 401;
        c.contentType = nullptr;
        c.failuresAfter = 5;
    });
    add(onRoute("end_not_the_holder", "/api/end-session", "establishment"), [](auto& c) {
        c.body = R"({"pin":"222222"})";
        c.active = "A-ID";
        c.status = 401;
        c.contentType = nullptr;
        c.failuresAfter = 1;
    });
    add(onRoute("end_the_holder", "/api/end-session", "establishment"), [](auto& c) {
        c.body = R"({"pin":"111111"})";
        c.active = "A-ID";
        c.reply = std::string(kReplyEndSession);
        c.contentType = nullptr;
        c.ended = 1;
    });
    // ---- "/api/teachers-list".
    add(onRoute("list_individual", "/api/teachers-list"), [](auto& c) { c.reply = "[]"; });
    add(onRoute("list_establishment", "/api/teachers-list", "establishment"),
        [](auto& c) { c.reply = R"([{"id":"A-ID","name":"Alice"},{"id":"B-ID","name":"Bruno"}])"; });
    return all;
}

INSTANTIATE_TEST_SUITE_P(Cases, LoginRoutes, ::testing::ValuesIn(cases()),
                         [](const auto& info) { return std::string(info.param.label); });

HttpRequest post(const std::string& body) {
    HttpRequest request;
    request.method = "POST";
    request.body = utf8Bytes(body);
    request.address = "10.1.2.3";
    return request;
}

TEST(LoginLockout, StudentAndTeacherFailuresShareOneCounter) {
    test::TestContext t;
    t.config().setPinCode("2468");
    t.config().setTeacherPinCode("4321");
    for (int i = 0; i < 3; ++i) {
        auto request = post(R"({"pin":"0000"})");
        handleVerify(*t.context, request);
    }
    for (int i = 0; i < 2; ++i) {
        auto request = post(R"({"pin":"0000"})");
        handleVerifyTeacher(*t.context, request);
    }
    auto student = post(R"({"pin":"2468"})");
    EXPECT_EQ(bodyOf(handleVerify(*t.context, student)), kReplyBlocked);
    auto teacherLogin = post(R"({"pin":"4321"})");
    EXPECT_EQ(bodyOf(handleVerifyTeacher(*t.context, teacherLogin)), kReplyBlocked);
}

TEST(LoginLockout, RightLoginForgetsEarlierFailures) {
    test::TestContext t;
    t.config().setTeacherPinCode("4321");
    for (int i = 0; i < 4; ++i) {
        auto request = post(R"({"pin":"0000"})");
        handleVerifyTeacher(*t.context, request);
    }
    auto right = post(R"({"pin":"4321"})");
    handleVerifyTeacher(*t.context, right);
    EXPECT_EQ(t.context->lockout->failureCount("10.1.2.3"), 0);
    auto wrong = post(R"({"pin":"0000"})");
    handleVerifyTeacher(*t.context, wrong);
    EXPECT_EQ(t.context->lockout->failureCount("10.1.2.3"), 1);
}

// A student who knows the class PIN cannot use it to reset the count of
// teacher PIN guesses.
TEST(LoginLockout, RightClassPinDoesNotResetTeacherPinGuesses) {
    test::TestContext t;
    t.config().setPinCode("2468");
    t.config().setTeacherPinCode("4321");
    for (int round = 0; round < 2; ++round) {
        for (int i = 0; i < 2; ++i) {
            auto guess = post(R"({"pin":"0000"})");
            EXPECT_EQ(bodyOf(handleVerifyTeacher(*t.context, guess)), R"({"success": false})");
        }
        auto student = post(R"({"pin":"2468"})");
        EXPECT_EQ(bodyOf(handleVerify(*t.context, student)), R"({"success": true})");
    }
    auto fifth = post(R"({"pin":"0000"})");
    handleVerifyTeacher(*t.context, fifth);
    auto right = post(R"({"pin":"4321"})");
    EXPECT_EQ(bodyOf(handleVerifyTeacher(*t.context, right)), kReplyBlocked);
}

// A teacher route's success does not wipe the count: only the logins do.
TEST(LoginLockout, TeacherRouteSuccessKeepsTheCount) {
    test::TestContext t;
    t.config().setTeacherPinCode("4321");
    for (int i = 0; i < 2; ++i) {
        auto request = post(R"({"pin":"0000"})");
        handleEndSession(*t.context, request);
    }
    auto right = post(R"({"pin":"4321"})");
    EXPECT_EQ(handleEndSession(*t.context, right).statusCode(), 200);
    EXPECT_EQ(t.context->lockout->failureCount("10.1.2.3"), 2);
}

TEST(LoginLockout, EmptyClassPinIsNeverMatched) {
    test::TestContext t;
    t.config().setPinCode("");
    auto request = post(R"({"pin":""})");
    EXPECT_EQ(bodyOf(handleVerify(*t.context, request)), R"({"success": false})");
}

// A body is parsed only up to a size far above any real one: a hostile body of
// tiny JSON values would otherwise take gigabytes once parsed.
TEST(RequestBody, OversizedBodyIsNotParsed) {
    test::TestContext t;
    t.config().setPinCode("2468");
    const std::string head = R"({"pin":"2468","x":")";
    const std::string tail = R"("})";
    const std::string atLimit = head + std::string(kMaxJsonBodyBytes - head.size() - tail.size(), 'a') + tail;
    auto fits = post(atLimit);
    EXPECT_TRUE(requestJsonObject(fits));
    EXPECT_EQ(bodyOf(handleVerify(*t.context, fits)), R"({"success": true})");

    auto over = post(head + std::string(kMaxJsonBodyBytes, 'a') + tail);
    EXPECT_FALSE(requestJsonObject(over));
    EXPECT_EQ(bodyOf(handleVerify(*t.context, over)), R"({"success": false})");
    EXPECT_EQ(t.context->lockout->failureCount("10.1.2.3"), 0);  // a malformed body counts nothing
}

}  // namespace
}  // namespace klarion
