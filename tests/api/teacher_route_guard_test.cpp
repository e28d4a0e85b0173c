// Every teacher route of the class API behind the shared lockout: no body,
// wrong PIN (counted), blocked address (refused before the comparison), right
// PIN (count kept).
#include <gtest/gtest.h>

#include "server/api/class_config_routes.h"
#include "server/api/live_data_routes.h"
#include "server/api/log_routes.h"
#include "server/api/schedule_routes.h"
#include "tests/api/api_test_support.h"
#include "tests/api/route_call.h"

namespace klarion {
namespace {

using Handler = HttpResponse (*)(const ClassroomContext&, HttpRequest&);

struct Route {
    const char* path;
    Handler handler;
    std::string members;  // what the route needs beside the PIN
    int64_t okStatus = 200;
};

const Route kRoutes[] = {
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
};

std::string body(const std::string& pin, const std::string& members) {
    return R"({"pin":")" + pin + "\"" + (members.empty() ? "" : "," + members) + "}";
}

TEST(TeacherRouteGuard, SharedLockout) {
    for (const auto& route : kRoutes) {
        test::TestContext t;
        const std::string pin = t.config().teacherPinCode();
        HttpRequest get;
        get.method = "GET";
        get.address = "10.0.0.5";
        EXPECT_EQ(route.handler(*t.context, get).statusCode(), 401) << route.path << " GET without a body";
        EXPECT_EQ(t.context->lockout->failureCount("10.0.0.5"), 0) << route.path;

        EXPECT_EQ(test::callRoute(route.handler, *t.context, body(pin, route.members)).status, route.okStatus)
            << route.path;
        EXPECT_EQ(test::callRoute(route.handler, *t.context, body("0000x", route.members)).status, 401) << route.path;
        EXPECT_EQ(t.context->lockout->failureCount("10.0.0.5"), 1) << route.path << " a refused PIN counts";
        EXPECT_EQ(test::callRoute(route.handler, *t.context, body(pin, route.members)).status, route.okStatus)
            << route.path;
        EXPECT_EQ(t.context->lockout->failureCount("10.0.0.5"), 1) << route.path << " only logins forget";

        for (int i = 0; i < 4; ++i) test::callRoute(route.handler, *t.context, body("0000x", route.members));
        EXPECT_TRUE(t.context->lockout->isBlocked("10.0.0.5")) << route.path;
        EXPECT_EQ(test::callRoute(route.handler, *t.context, body(pin, route.members)).status, 401)
            << route.path << " blocked, right PIN";
        EXPECT_EQ(test::callRoute(route.handler, *t.context, body(pin, route.members), "10.0.0.6").status,
                  route.okStatus)
            << route.path << " another address";
        t.clock->advance(121);
        EXPECT_EQ(test::callRoute(route.handler, *t.context, body(pin, route.members)).status, route.okStatus)
            << route.path << " after the block";
    }
}

}  // namespace
}  // namespace klarion
