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

// Which handler answers, by the text it answers with ("" for none), and the parameters.
std::string who(const HttpRouter& router, std::optional<std::string> method, const std::string& path,
                RouteParams* params = nullptr) {
    auto found = router.route(method, path);
    if (!found) return "";
    if (params) *params = found->first;
    HttpRequest request;
    MemoryBodyWriter writer;
    found->second(request).content().writer(writer);
    return writer.text();
}

}  // namespace

TEST(HttpRouter, MatchingTable) {
    HttpRouter router;
    for (auto [path, name] : {std::pair{"/api/config", "config"},
                              {"/user/:id", "user"},
                              {"/user/me", "me"},
                              {"/user/me/settings", "settings"},
                              {"/files/*/raw", "raw"},
                              {"/", "root"},
                              {"/form", "any-form"},
                              {"/static/**", "static"},
                              {"/docs/**/index", "docs-index"},
                              {"/test/:param1/:param2", "two"}})
        router.registerRoute(std::nullopt, path, answering(name));
    router.registerRoute("POST", "/form", answering("post-form"));
    router.registerRoute(std::nullopt, "/empty", nullptr);
    router.registerRoute(std::nullopt, "/x/:v", nullptr);  // a null handler ends the search
    router.registerRoute(std::nullopt, "/x/lit", answering("lit"));
    router.registerRoute(std::nullopt, "/a/b", answering("one"));
    router.registerRoute(std::nullopt, "/a/b", answering("two"));  // replaces
    router.registerRoute("GET", "/a/b", answering("get"));

    const std::optional<std::string> any;
    const struct {
        std::optional<std::string> method;
        const char* path;
        const char* handler;
        RouteParams params;
    } cases[] = {
        {"GET", "/api/config?x=1", "config", {}},
        {any, "/api/config", "config", {}},
        {"GET", "/api//config/", "config", {}},
        {"GET", "/user/42", "user", {{":id", "42"}}},
        {"GET", "/user/a%20b", "user", {{":id", "a b"}}},           // decoded, the name keeps its colon
        {"GET", "/user/%FF", "", {}},                               // not UTF-8 once decoded
        {"GET", "/user/me", "user", {{":id", "me"}}},               // the variable wins as the last token
        {"GET", "/user/me/settings", "settings", {{":id", "me"}}},  // a failed branch leaves its entry
        {"GET", "/test/a%20b/c", "two", {{":param1", "a b"}, {":param2", "c"}}},
        {"GET", "/files/x/raw", "raw", {}},
        {"GET", "/files/raw", "", {}},
        {"GET", "/a/%zz", "", {}},
        {"GET", "/", "root", {}},
        {"GET", "", "root", {}},
        {"POST", "/form", "post-form", {}},
        {"GET", "/form", "any-form", {}},
        {any, "/form", "any-form", {}},
        {"GET", "/static/a.css", "static", {}},
        {"GET", "/static/a/b/c.js", "static", {}},
        {"GET", "/static", "", {}},
        {"GET", "/docs/v1/index", "docs-index", {}},
        {"GET", "/docs/v1/v2/index", "docs-index", {}},
        {"GET", "/docs/index", "", {}},
        {"GET", "/empty", "", {}},
        {"GET", "/x/lit", "", {}},
        {"GET", "/nothing", "", {}},
        {any, "/a/b", "two", {}},
        {"GET", "/a/b", "get", {}},
    };
    for (const auto& c : cases) {
        RouteParams params;
        EXPECT_EQ(who(router, c.method, c.path, &params), c.handler) << c.method.value_or("(any)") << " " << c.path;
        EXPECT_EQ(params, c.params) << c.path;
    }
    auto routes = router.routes();  // every route end, any method; the root lists as ""
    std::sort(routes.begin(), routes.end());
    EXPECT_EQ(routes, (std::vector<std::string>{"", "/a/b", "/a/b", "/api/config", "/docs/**/index", "/empty",
                                                "/files/*/raw", "/form", "/form", "/static/**", "/test/:param1/:param2",
                                                "/user/:id", "/user/me", "/user/me/settings", "/x/:v", "/x/lit"}));
}

TEST(HttpRouter, RegisteringWhileOtherThreadsLookUp) {
    HttpRouter router;
    router.registerRoute(std::nullopt, "/stable/:id", answering("stable"));
    std::atomic<bool> done{false};
    std::atomic<int> misses{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 4; ++t)
        readers.emplace_back([&] {
            while (!done) {
                if (!router.route("GET", "/stable/7")) ++misses;
                router.route("GET", "/dyn/3/x");
            }
        });
    for (int i = 0; i < 500; ++i) router.registerRoute("GET", "/dyn/" + std::to_string(i) + "/x", answering("dyn"));
    done = true;
    for (auto& reader : readers) reader.join();
    EXPECT_EQ(misses.load(), 0);
    EXPECT_EQ(router.routes().size(), 501u);
}
