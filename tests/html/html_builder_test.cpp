#include <gtest/gtest.h>

#include <thread>

#include "http/core/server.h"
#include "http/html/scopes.h"
#include "http/html/scopes_detail.h"
#include "tests/html/markup_compare.h"
#include "tests/http/http_test_support.h"

using namespace klarion;
using namespace klarion::markup;
using klarion::testing::sortedAttributes;

namespace {

std::string render(const std::function<void()>& page) {
    Scopes::response(page);
    return Scopes::threadBuffer().value();
}

}  // namespace

TEST(HtmlBuilder, ContentAssignsItsOwnElementOnly) {
    const std::vector<std::string> items{"x", "y"};
    const std::pair<std::function<void()>, std::string> cases[] = {
        {[] {
             a([] {
                 Scopes::href = "/p";
                 Scopes::innerText = "/p";
             });
         },
         R"(<a href="/p">/p</a>)"},
        {[] {
             p([] {
                 em([] {});
                 Scopes::innerText = "text";
             });
         },
         "<p>text</p>"},
        {[] {
             p([] {
                 em([] {});
                 Scopes::innerText = "";
             });
         },
         "<p></p>"},
        {[] { br({}); }, "<br></br>"},
        {[] {
             div([] {
                 Scopes::classs = "c";
                 span([] {});
                 Scopes::idd = "i";
             });
         },
         R"(<div class="c" id="i"><span></span></div>)"},
        {[] {
             li([] {
                 Scopes::href = "/l";
                 a([] { Scopes::innerText = "x"; });
             });
         },
         R"(<li href="/l"><a>x</a></li>)"},
        {[] {
             element("input", {{"type", "x"}}, [] {
                 Scopes::type = "y";
                 Scopes::value = "v";
             });
         },
         R"(<input type="x" value="v"></input>)"},
        {[] {
             element("a", {{"href", std::nullopt}, {"x-new", "n"}}, [] { Scopes::href = "/x"; });
         },
         R"(<a x-new="n"></a>)"},
        {[] {
             b([] {
                 Scopes::classs = "";
                 Scopes::Name = "N";
                 Scopes::name = "n";
                 Scopes::title = std::nullopt;
             });
         },
         R"(<b Name="N" class="" name="n"></b>)"},
        {[] {
             q([] {
                 Scopes::dataText = "<&\"";
                 Scopes::innerText = "<i>&amp;</i>";
             });
         },
         R"(<q data-text="<&""><i>&amp;</i></q>)"},
        {[] {
             Scopes::stylesheetLink([] {
                 Scopes::rel = "icon";
                 Scopes::href = "s.css";
             });
         },
         R"(<link href="s.css" rel="stylesheet" type="text/css"></link>)"},
        {[] { Scopes::javascriptScript([] { Scopes::src = "a.js"; }); },
         R"(<script src="a.js" type="text/javascript"></script>)"},
        {[&] { ul(items, [](const std::string& i) { li([&] { Scopes::innerText = i; }); }); },
         "<ul><li>x</li><li>y</li></ul>"},
        {[] { table(std::vector<int>{}, [](int) {}); }, "<table></table>"},
        {[] {
             Scopes::classs = "page";
             html([] { body([] {}); });
         },
         "<html><body></body></html>"},
        {[] { element("", {}); }, "<></>"},
    };
    for (const auto& [page, expected] : cases)
        EXPECT_EQ(sortedAttributes(render(page)), sortedAttributes(expected)) << expected;
    // A value assigned outside every element stays, and no element carried it.
    EXPECT_EQ(Scopes::classs.get(), "page");
    Scopes::classs = std::nullopt;
}

TEST(HtmlBuilder, EveryTagFunctionWritesItsTag) {
    const std::pair<void (*)(const Content&), std::string_view> tags[] = {
#define KLARION_TEST_TAG(function, tag) {&function<const Content&>, tag},
        KLARION_HTML_TAGS(KLARION_TEST_TAG)
#undef KLARION_TEST_TAG
    };
    const auto setId = [] { Scopes::idd = "k"; };
    for (const auto& [function, tag] : tags)
        EXPECT_EQ(render([&, function = function] { function(setId); }),
                  "<" + std::string(tag) + " id=\"k\"></" + std::string(tag) + ">");
    for (std::size_t i = 0; i < attributeCount; ++i)  // and every variable writes its own name
        EXPECT_EQ(render([&] { element("e", [&] { Variable(AttributeIndex(i)) = "v"; }); }),
                  "<e " + std::string(Scopes::attributeName(i)) + "=\"v\"></e>");
}

TEST(HtmlBuilder, ThreadsRenderingAtOnceNeverMix) {
    std::vector<std::thread> threads;
    std::atomic<int> wrong{0};
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([t, &wrong] {
            const std::string id = std::to_string(t);
            const std::string expected = "<ul id=\"" + id + "\"><li>" + id + "</li><li>" + id + "</li></ul>";
            for (int round = 0; round < 2000; ++round) {
                auto item = [&] { li([&] { Scopes::innerText = id; }); };
                if (render([&] {
                        ul([&] {
                            Scopes::idd = id;
                            item();
                            std::this_thread::yield();
                            item();
                        });
                    }) != expected)
                    ++wrong;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST(HtmlBuilder, ContentThatThrowsLeavesTheBuilderClean) {
    EXPECT_THROW(render([] {
                     div([] {
                         Scopes::title = "kept";
                         h1([] {});
                         p([] {
                             Scopes::classs = "x";
                             span([] { throw std::runtime_error("page bug"); });
                         });
                     });
                 }),
                 std::runtime_error);
    EXPECT_EQ(Scopes::threadBuffer(), "");  // the half-written elements are gone
    EXPECT_FALSE(Scopes::title.get() || Scopes::classs.get());
    EXPECT_EQ(render([] { div([] { span([] {}); }); }), "<div><span></span></div>");
}

TEST(HtmlBuilder, PageResponseOnTheWire) {
    HttpServer server;
    server["/page"] =
        Scopes::pageHandler([] { html([] { body([] { h1([] { Scopes::innerText = "Élève — ok"; }); }); }); });
    server["/empty"] = Scopes::pageHandler([] {});
    server.start(0);
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nServer: Klarion 1.4\r\n\r\n<!DOCTYPE html>";
    for (const auto& [path, page] :
         {std::pair{"/page", "<html><body><h1>Élève — ok</h1></body></html>"}, {"/empty", ""}}) {
        klarion::testing::Client client(server.port());
        client.send(std::string("GET ") + path + " HTTP/1.1\r\nConnection: keep-alive\r\n\r\n");
        bool closed = false;
        EXPECT_EQ(client.readToEnd(&closed), head + page);
        EXPECT_TRUE(closed);  // no length: the connection ends the body
    }
    server.stop();
}

TEST(HtmlBuilder, AThreadKeepsItsLastPageUntilItsNextPageGivesTheMemoryBack) {
    const std::string large(200 * 1024, 'x');
    const auto paragraph = [](const std::string& text) { return [&text] { p([&] { Scopes::innerText = text; }); }; };
    std::thread([&] {
        const HttpResponse response = Scopes::response(paragraph(large));
        const std::string page = "<p>" + large + "</p>";
        EXPECT_TRUE(renderResponse(response).ends_with("<!DOCTYPE html>" + page));
        EXPECT_TRUE(renderResponse(response).ends_with("<!DOCTYPE html>" + page));  // written again
        EXPECT_EQ(Scopes::threadBuffer(), page);
        Scopes::response(paragraph("small"));
        EXPECT_LE(detail::threadBufferCapacity(), 64u * 1024);
        EXPECT_EQ(Scopes::threadBuffer(), "<p>small</p>");
    }).join();
}

TEST(HtmlBuilder, ContentIsMadeOnlyFromACallableThatOutlivesIt) {
    auto closure = [] {};
    using Closure = decltype(closure);
    // A Content made from a temporary would call it after it is gone.
    EXPECT_FALSE((std::is_constructible_v<Content, Closure>));
    EXPECT_FALSE((std::is_convertible_v<Closure, Content>));
    EXPECT_FALSE((std::is_constructible_v<Content, std::function<void()>>));
    EXPECT_TRUE((std::is_constructible_v<Content, Closure&>));
    EXPECT_TRUE((std::is_constructible_v<Content, const std::function<void()>&>));
    // Element functions still take a closure written in place, or one kept in a variable.
    auto heading = [] { h3([] { Scopes::innerText = "t"; }); };
    EXPECT_EQ(render([&] { body(heading); }), "<body><h3>t</h3></body>");
}
