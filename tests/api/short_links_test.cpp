// Short-link requests against a loopback stand-in for the service.
#include <gtest/gtest.h>

#include <mutex>

#include "http/core/server.h"
#include "http/core/socket.h"
#include "server/api/classroom_server.h"
#include "server/api/short_links.h"
#include "tests/api/api_test_support.h"

namespace klarion {
namespace {

// The short-link service: records what it is sent, answers what it is told.
struct FakeShortLinkService {
    HttpServer server;
    std::mutex mutex;
    std::vector<HttpRequest> requests;
    HttpResponse answer = HttpResponse::ok(HttpResponseBody::text("{}"));

    FakeShortLinkService() {
        server["/api/shorturl.php"] = [this](HttpRequest& request) {
            std::lock_guard lock(mutex);
            requests.push_back(request);
            return answer;
        };
        server.start(0);
    }
    ~FakeShortLinkService() { server.stop(); }
    std::string url() { return "http://127.0.0.1:" + std::to_string(server.port()) + "/api/shorturl.php"; }
    void reply(int status, const std::string& body) {
        std::lock_guard lock(mutex);
        answer = status == 200 ? HttpResponse::ok(HttpResponseBody::data(utf8Bytes(body), std::string("application/json")))
                               : HttpResponse::raw(status, "Error", HttpHeaders{{"Content-Length", std::to_string(body.size())}},
                                                   [body](HttpResponseBodyWriter& w) { w.write(body); });
    }
    size_t count() {
        std::lock_guard lock(mutex);
        return requests.size();
    }
};

struct ReplyCase {
    const char* label;
    int status;
    std::string body;
    std::optional<std::string> link;
};

std::ostream& operator<<(std::ostream& out, const ReplyCase& c) { return out << c.label; }

class ShortLinkReplies : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(ShortLinkReplies, DeliverOnlyAStringShortUrl) {
    const auto& c = GetParam();
    FakeShortLinkService service;
    service.reply(c.status, c.body);
    ShortLinkClient client;
    client.setServiceURL(service.url());
    std::mutex mutex;
    std::vector<std::string> links;
    client.request("http://192.168.1.10:3000", [&](const std::string& link) {
        std::lock_guard lock(mutex);
        links.push_back(link);
    });
    client.waitIdle();

    ASSERT_EQ(service.count(), 1u);
    const HttpRequest& sent = service.requests.front();
    EXPECT_EQ(sent.method, "POST");
    EXPECT_EQ(sent.headers.at("content-type"), "application/json");
    EXPECT_EQ(sent.bodyText(), R"({"url":"http://192.168.1.10:3000"})");
    if (c.link) {
        EXPECT_EQ(links, std::vector<std::string>{*c.link});
    } else {
        EXPECT_TRUE(links.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Replies, ShortLinkReplies,
    ::testing::Values(ReplyCase{"link", 200, R"({"shorturl":"https://k.test/s1","other":1})", "https://k.test/s1"},
                      ReplyCase{"link_with_error_status", 500, R"({"shorturl":"https://k.test/s2"})", "https://k.test/s2"},
                      ReplyCase{"number", 200, R"({"shorturl":42})", std::nullopt},
                      ReplyCase{"missing_key", 200, R"({"url":"https://k.test/s3"})", std::nullopt},
                      ReplyCase{"array", 200, R"(["https://k.test/s4"])", std::nullopt},
                      ReplyCase{"not_json", 200, "https://k.test/s5", std::nullopt},
                      ReplyCase{"empty", 200, "", std::nullopt}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(ShortLinkReply, TransportErrorWinsOverData) {
    EXPECT_EQ(parseShortURLResponse(std::string(R"({"shorturl":"x"})"), true), std::nullopt);
    EXPECT_EQ(parseShortURLResponse(std::nullopt, false), std::nullopt);
    EXPECT_EQ(parseShortURLResponse(std::string(R"({"shorturl":"x"})"), false), "x");
}

TEST(ShortLinkClientSetting, EmptyOrUnusableServiceUrlMakesNoRequest) {
    FakeShortLinkService service;
    for (const std::string& url : std::vector<std::string>{"", "not a url", "ftp://127.0.0.1/api/shorturl.php"}) {
        ShortLinkClient client;
        client.setServiceURL(url);
        bool called = false;
        client.request("http://x:3000", [&](const std::string&) { called = true; });
        client.waitIdle();
        EXPECT_FALSE(called);
    }
    EXPECT_EQ(service.count(), 0u);
}

TEST(ShortLinkClientSetting, UnreachableServiceIsSilent) {
    auto closed = Socket::openListening(0);
    const auto port = closed->port();
    closed->close();
    ShortLinkClient client;
    client.setServiceURL("http://127.0.0.1:" + std::to_string(port) + "/api/shorturl.php");
    bool called = false;
    client.request("http://x:3000", [&](const std::string&) { called = true; });
    client.waitIdle();
    EXPECT_FALSE(called);
}

TEST(ShortLinkApply, StoresTheLinkInItsOwnFieldWithAJournalLine) {
    test::TestContext t;
    ClassroomServer::applyShortURL(*t.context, false, "https://k.test/eleve");
    ClassroomServer::applyShortURL(*t.context, true, "https://k.test/prof");
    EXPECT_EQ(t.config().shortURL(), "https://k.test/eleve");
    EXPECT_EQ(t.config().teacherShortURL(), "https://k.test/prof");
    const auto journal = t.journal();
    EXPECT_EQ(journal, (std::vector<std::string>{"Lien court généré : https://k.test/eleve",
                                                 "Lien court généré : https://k.test/prof"}));
}

}  // namespace
}  // namespace klarion
