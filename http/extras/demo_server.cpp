#include "http/extras/demo_server.h"

#include <cstdio>

#include "http/extras/file_sharing.h"
#include "http/extras/websocket.h"
#include "http/html/scopes.h"

namespace klarion {

namespace {

using namespace markup;

constexpr const char* kJQueryUrl = "http://cdnjs.cloudflare.com/ajax/libs/jquery/2.1.4/jquery.min.js";
constexpr const char* kBootstrapStyleUrl =
    "http://cdnjs.cloudflare.com/ajax/libs/twitter-bootstrap/3.3.0/css/bootstrap.min.css";
constexpr const char* kBootstrapScriptUrl =
    "http://cdnjs.cloudflare.com/ajax/libs/twitter-bootstrap/3.3.0/js/bootstrap.min.js";
constexpr const char* kImageUrl = "https://www.gnu.org/graphics/heckert_gnu.transp.small.png";

// ---- generated pages ----

void indexPage(const std::weak_ptr<HttpRouter>& router) {
    auto owner = router.lock();
    const std::vector<std::string> routes = owner ? owner->routes() : std::vector<std::string>{};
    html([&] {
        body([&] {
            ul(routes, [](const std::string& route) {
                li([&] {
                    a([&] {
                        Scopes::href = route;
                        Scopes::innerText = route;
                    });
                });
            });
        });
    });
}

template <class Entries>
void keyValueTable(const Entries& entries) {
    table(entries, [](const auto& entry) {
        tr([&] {
            td([&] { Scopes::innerText = escapeText(entry.first); });
            td([&] { Scopes::innerText = escapeText(entry.second); });
        });
    });
}

void requestEchoPage(const HttpRequest& request) {
    auto heading = [](std::string text) { h3([&] { Scopes::innerText = std::move(text); }); };
    html([&] {
        body([&] {
            heading("Address: " + escapeText(request.address.value_or("unknown")));
            heading("Url: " + escapeText(request.path));
            heading("Method: " + escapeText(request.method));
            heading("Query:");
            keyValueTable(request.queryParams);
            heading("Headers:");
            keyValueTable(request.headers);
            heading("Route params:");
            keyValueTable(request.params);
        });
    });
}

void uploadPage() {
    auto fileInput = [](const char* name) {
        input([&] {
            Scopes::name = name;
            Scopes::type = "file";
        });
    };
    html([&] {
        body([&] {
            form([&] {
                Scopes::method = "POST";
                Scopes::action = "/upload";
                Scopes::enctype = "multipart/form-data";
                fileInput("my_file1");
                fileInput("my_file2");
                fileInput("my_file3");
                button([] {
                    Scopes::type = "submit";
                    Scopes::innerText = "Upload";
                });
            });
        });
    });
}

void loginField(const char* hint, const char* key) {
    Scopes::placeholder = hint;
    Scopes::name = key;
    Scopes::type = key;
}

void loginPage() {
    html([] {
        head([] {
            script([] { Scopes::src = kJQueryUrl; });
            Scopes::stylesheetLink([] { Scopes::href = kBootstrapStyleUrl; });
        });
        body([] {
            h3([] { Scopes::innerText = "Sign In"; });
            form([] {
                Scopes::method = "POST";
                Scopes::action = "/login";
                fieldset([] {
                    input([] { loginField("E-mail", "email"); });
                    input([] { loginField("Password", "password"); });
                    a([] {
                        Scopes::href = "/login";
                        button([] {
                            Scopes::type = "submit";
                            Scopes::innerText = "Login";
                        });
                    });
                });
            });
            Scopes::javascriptScript([] { Scopes::src = kBootstrapScriptUrl; });
        });
    });
}

void imagePage() {
    html([] {
        body([] {
            center([] {
                h2([] { Scopes::innerText = "Hello Ostrel"; });
                img([] { Scopes::src = kImageUrl; });
            });
        });
    });
}

// ---- other handlers ----

HttpResponse htmlText(std::string text) { return HttpResponse::ok(HttpResponseBody::htmlBody(std::move(text))); }

// What one echo page reports at most: a form of megabytes (each ' of it
// written as five bytes) is reported up to here and then cut with a note,
// rather than built whole in memory. Read with the "<br>" of its items.
constexpr std::size_t kMaxReportBytes = std::size_t{1} << 20;
constexpr std::string_view kReportCut = "<br>… (report cut at 1 MiB)";

// The text of an echo page, escaped as it is built, in one string.
class EchoReport {
public:
    // Appends `text` escaped; false once the report is full (cut between two
    // characters, never inside one).
    bool add(std::string_view text) {
        for (const char c : text) {
            if (full_) return false;
            if (text_.size() >= kMaxReportBytes && (static_cast<unsigned char>(c) & 0xC0) != 0x80) {
                text_ += kReportCut;
                full_ = true;
                return false;
            }
            const std::string_view reference = characterReference(c);
            if (reference.empty()) {
                text_ += c;
            } else {
                text_ += reference;
            }
        }
        return !full_;
    }
    // Appends the page's own markup, never cut.
    bool markup(std::string_view text) {
        if (!full_) text_ += text;
        return !full_;
    }
    HttpResponse answer() { return htmlText(std::move(text_)); }

private:
    std::string text_;
    bool full_ = false;
};

HttpResponse uploadReport(HttpRequest& request) {
    EchoReport report;
    for (const auto& part : request.parseMultiPartFormData()) {
        auto name = part.name(), fileName = part.fileName();
        if (!name || !fileName) continue;  // a plain field reports nothing
        if (!(report.markup("Name: ") && report.add(*name) && report.markup(" File name: ") && report.add(*fileName) &&
              report.markup(" Size: " + std::to_string(part.body.size()) + "<br>")))
            break;
    }
    return report.answer();
}

HttpResponse loginEcho(HttpRequest& request) {
    // An empty body is no field at all; an empty or malformed item among
    // others ("a=1&&b=2") is echoed in its place as " = ".
    EchoReport report;
    if (request.body.empty()) return report.answer();
    bool first = true;
    for (const auto& [name, value] : request.parseUrlencodedForm()) {
        if (!((first || report.markup("<br>")) && report.add(name) && report.markup(" = ") && report.add(value))) break;
        first = false;
    }
    return report.answer();
}

HttpResponse longText(HttpRequest&) {
    std::string text;
    for (int i = 0; i < 1000; ++i) text += "(" + std::to_string(i) + "),->";
    return htmlText(std::move(text));
}

HttpResponse streamChunks(HttpRequest&) {
    return HttpResponse::raw(200, "OK", std::nullopt, [](HttpResponseBodyWriter& writer) {
        for (int i = 0; i <= 100; ++i) writer.write("[chunk " + std::to_string(i) + "]");
    });
}

std::optional<HttpResponse> logRequest(HttpRequest& request) {
    const std::string line = "Middleware: " + request.address.value_or("unknown address") + " -> " + request.method +
                             " -> " + request.path + "\n";
    std::fputs(line.c_str(), stdout);
    std::fflush(stdout);
    return std::nullopt;
}

}  // namespace

std::unique_ptr<HttpServer> demoServer(const std::string& directory) {
    std::fputs((directory + "\n").c_str(), stdout);
    std::fflush(stdout);
    auto server = std::make_unique<HttpServer>();
    server->listenAddressIPv4 = "127.0.0.1";
    server->listenAddressIPv6 = "::1";
    HttpServer& s = *server;
    s["/public/:path"] = shareFilesFromDirectory(directory, {"index.html", "default.html"});
    s["/files/:path"] = directoryBrowser("/");
    s["/"] = Scopes::pageHandler([router = std::weak_ptr<HttpRouter>(s.router)] { indexPage(router); });
    s["/magic"] = [](HttpRequest& request) { return htmlText("You asked for " + escapeText(request.path)); };
    s["/test/:param1/:param2"] = [](HttpRequest& request) {
        return Scopes::response([&] { requestEchoPage(request); });
    };
    s.GET["/upload"] = Scopes::pageHandler(uploadPage);
    s.POST["/upload"] = uploadReport;
    s.GET["/login"] = Scopes::pageHandler(loginPage);
    s.POST["/login"] = loginEcho;
    s["/demo"] = Scopes::pageHandler(imagePage);
    s["/raw"] = [](HttpRequest&) {
        return HttpResponse::raw(200, "OK", HttpHeaders{{"XXX-Custom-Header", "value"}},
                                 [](HttpResponseBodyWriter& writer) { writer.write("test"); });
    };
    s["/redirect/permanently"] = [](HttpRequest&) { return HttpResponse::movedPermanently(kDemoHomePageUrl); };
    s["/redirect/temporarily"] = [](HttpRequest&) { return HttpResponse::movedTemporarily(kDemoHomePageUrl); };
    s["/long"] = longText;
    s["/wildcard/*/test/*/:param"] = [](HttpRequest& request) { return htmlText(escapeText(request.path)); };
    s["/stream"] = streamChunks;
    s["/websocket-echo"] = websocket(
        [](const std::shared_ptr<WebSocketSession>& session, const std::string& text) { session->writeText(text); },
        [](const std::shared_ptr<WebSocketSession>& session, const Bytes& bytes) { session->writeBinary(bytes); },
        [](const std::shared_ptr<WebSocketSession>&, const Bytes&) {}, [](const std::shared_ptr<WebSocketSession>&) {},
        [](const std::shared_ptr<WebSocketSession>&) {});
    s.notFoundHandler = [](HttpRequest&) { return HttpResponse::movedPermanently(kDemoNotFoundUrl); };
    s.middleware.push_back(logRequest);
    return server;
}

}  // namespace klarion
