#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "http/core/router.h"

using namespace klarion;

namespace {

HttpHandler answering(std::string name) {
    return [name](HttpRequest&) { return HttpResponse::ok(HttpResponseBody::text(name)); };
}

// Which handler answers, by the text it answers with ("" for none).
std::string who(const HttpRouter& router, std::optional<std::string> method, const std::string& path,
                RouteParams* params = nullptr) {
    auto found = router.route(method, path);
    if (!found) return "";
    if (params) *params = found->first;
    HttpRequest request;
    auto response = found->second(request);
    MemoryBodyWriter writer;
    response.content().writer(writer);
    return writer.text();
}

}  // namespace

TEST(HttpRouter, MatchingTable) {
    HttpRouter router;
    router.registerRoute(std::nullopt, "/api/config", answering("config"));
    router.registerRoute(std::nullopt, "/user/:id", answering("user"));
    router.registerRoute(std::nullopt, "/user/me", answering("me"));
    router.registerRoute(std::nullopt, "/user/me/settings", answering("settings"));
    router.registerRoute(std::nullopt, "/files/*/raw", answering("raw"));
    router.registerRoute(std::nullopt, "/", answering("root"));
    router.registerRoute("POST", "/form", answering("post-form"));
    router.registerRoute(std::nullopt, "/form", answering("any-form"));
    router.registerRoute(std::nullopt, "/static/**", answering("static"));
    router.registerRoute(std::nullopt, "/docs/**/index", answering("docs-index"));
    router.registerRoute(std::nullopt, "/empty", nullptr);

    struct Case {
        std::optional<std::string> method;
        const char* path;
        const char* handler;
    };
    const Case cases[] = {
        {"GET", "/api/config?x=1", "config"},
        {std::nullopt, "/api/config", "config"},
        {"GET", "/api//config/", "config"},
        {"GET", "/user/42", "user"},
        {"GET", "/user/me", "user"},  // the variable wins as the last token
        {"GET", "/user/me/settings", "settings"},
        {"GET", "/files/x/raw", "raw"},
        {"GET", "/files/raw", ""},
        {"GET", "/a/%zz", ""},
        {"GET", "/", "root"},
        {"GET", "", "root"},
        {"POST", "/form", "post-form"},
        {"GET", "/form", "any-form"},
        {std::nullopt, "/form", "any-form"},
        {"GET", "/static/a.css", "static"},
        {"GET", "/static/a/b/c.js", "static"},
        {"GET", "/static", ""},
        {"GET", "/docs/v1/index", "docs-index"},
        {"GET", "/docs/v1/v2/index", "docs-index"},
        {"GET", "/docs/index", ""},
        {"GET", "/empty", ""},
        {"GET", "/nothing", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(who(router, c.method, c.path), c.handler) << c.method.value_or("(any)") << " " << c.path;
    }
}

TEST(HttpRouter, ParametersAreDecodedAndKeepTheirColon) {
    HttpRouter router;
    router.registerRoute(std::nullopt, "/user/:id", answering("user"));
    router.registerRoute(std::nullopt, "/test/:param1/:param2", answering("two"));
    RouteParams params;
    EXPECT_EQ(who(router, "GET", "/user/42", &params), "user");
    EXPECT_EQ(params, (RouteParams{{":id", "42"}}));
    EXPECT_EQ(who(router, "GET", "/user/a%20b", &params), "user");
    EXPECT_EQ(params, (RouteParams{{":id", "a b"}}));
    EXPECT_EQ(who(router, "GET", "/test/a%20b/c", &params), "two");
    EXPECT_EQ(params, (RouteParams{{":param1", "a b"}, {":param2", "c"}}));
    EXPECT_EQ(who(router, "GET", "/user/%FF"), "");  // not UTF-8 once decoded
}

TEST(HttpRouter, NullHandlerEndsTheSearch) {
    HttpRouter router;
    router.registerRoute(std::nullopt, "/x/:v", nullptr);
    router.registerRoute(std::nullopt, "/x/lit", answering("lit"));
    EXPECT_EQ(who(router, "GET", "/x/lit"), "");
}

TEST(HttpRouter, ReplacingAndListing) {
    HttpRouter router;
    router.registerRoute(std::nullopt, "/", answering("root"));
    router.registerRoute(std::nullopt, "/a/b", answering("one"));
    router.registerRoute(std::nullopt, "/a/b", answering("two"));
    router.registerRoute("GET", "/a/b", answering("get"));
    EXPECT_EQ(who(router, std::nullopt, "/a/b"), "two");
    auto routes = router.routes();
    std::sort(routes.begin(), routes.end());
    EXPECT_EQ(routes, (std::vector<std::string>{"", "/a/b", "/a/b"}));
}

TEST(HttpRouter, RegisteringWhileOtherThreadsLookUp) {
    HttpRouter router;
    router.registerRoute(std::nullopt, "/stable/:id", answering("stable"));
    std::atomic<bool> done{false};
    std::atomic<int> misses{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 4; ++t) {
        readers.emplace_back([&] {
            while (!done) {
                if (!router.route("GET", "/stable/7")) ++misses;
                router.route("GET", "/dyn/3/x");
            }
        });
    }
    for (int i = 0; i < 500; ++i) router.registerRoute("GET", "/dyn/" + std::to_string(i) + "/x", answering("dyn"));
    done = true;
    for (auto& reader : readers) reader.join();
    EXPECT_EQ(misses.load(), 0);
    EXPECT_EQ(router.routes().size(), 501u);
}
