#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "http/core/mime.h"
#include "http/extras/demo_server.h"
#include "http/extras/file_sharing.h"
#include "tests/html/markup_compare.h"
#include "tests/http/http_test_support.h"

using namespace klarion;
using klarion::testing::sortedAttributes;
namespace fs = std::filesystem;

namespace {

const std::string kServer = "Server: Klarion 1.4\r\n\r\n";
const std::string kPage = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n" + kServer + "<!DOCTYPE html>";

std::string okHtml(const std::string& text) {
    const std::string body = "<html><meta charset=\"UTF-8\"><body>" + text + "</body></html>";
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" + kServer + body;
}

std::string post(const std::string& path, const std::string& type, const std::string& body) {
    return "POST " + path + " HTTP/1.1\r\nContent-Type: " + type +
           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

// The same body sent in chunks of at most 7 bytes.
std::string postChunked(const std::string& path, const std::string& type, const std::string& body) {
    std::string chunks;
    for (std::size_t at = 0; at < body.size(); at += 7) {
        const std::string piece = body.substr(at, 7);
        chunks += std::to_string(piece.size()) + "\r\n" + piece + "\r\n";
    }
    return "POST " + path + " HTTP/1.1\r\nContent-Type: " + type + "\r\nTransfer-Encoding: chunked\r\n\r\n" + chunks +
           "0\r\n\r\n";
}

// The demonstration server on a free loopback port, sharing a scratch folder.
class DemoServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        char name[] = "/tmp/klarion-extras-XXXXXX";
        folder = ::mkdtemp(name);
        fs::create_directory(folder / "sub");
        for (auto [file, text] : {std::pair{"page.HTML", "<p>"},
                                  {"archive.tar.gz", "gz"},
                                  {"noext", "n"},
                                  {"b", ""},
                                  {"A", ""},
                                  {"C", ""},
                                  {"<x>&y", ""},
                                  {"sub/index.html", "sub"},
                                  {"e\u0301c", ""},
                                  {"Éb", ""},
                                  {"éa", ""}})
            std::ofstream(folder / file) << text;
        fs::create_directory_symlink("/etc", folder / "out");
        fs::create_symlink("page.HTML", folder / "inside");
        ::mkfifo((folder / "pipe").c_str(), 0600);
        server = demoServer(folder);
        server->start(0, true);
    }
    void TearDown() override { server->stop(), fs::remove_all(folder); }
    std::string exchange(const std::string& request) {
        klarion::testing::Client client(server->port());
        client.send(request);
        return client.readToEnd();
    }
    std::string get(const std::string& path) { return exchange("GET " + path + " HTTP/1.1\r\n\r\n"); }

    fs::path folder;
    std::unique_ptr<HttpServer> server;
};

}  // namespace

TEST_F(DemoServerTest, GeneratedPagesAreExactAndEscapeWhatTheRequestSent) {
    std::string index = "<html><body><ul>";
    for (const auto& route : server->routes()) index += "<li><a href=\"" + route + "\">" + route + "</a></li>";
    const std::string echoRequest = "PUT /test/a%20b/c?x=1&y=<z>&flag HTTP/1.1\r\nHost: h\r\nX-Evil: <b>&\r\n\r\n";
    const std::pair<std::string, std::string> cases[] = {
        {"GET / HTTP/1.1\r\n\r\n", index + "</ul></body></html>"},
        {echoRequest,
         "<html><body><h3>Address: 127.0.0.1</h3><h3>Url: /test/a%20b/c</h3><h3>Method: PUT</h3><h3>Query:</h3>"
         "<table><tr><td>x</td><td>1</td></tr><tr><td>y</td><td>&lt;z&gt;</td></tr><tr><td>flag</td><td></td></tr></"
         "table>"
         "<h3>Headers:</h3><table><tr><td>host</td><td>h</td></tr><tr><td>x-evil</td><td>&lt;b&gt;&amp;</td></tr></"
         "table>"
         "<h3>Route params:</h3><table><tr><td>:param1</td><td>a "
         "b</td></tr><tr><td>:param2</td><td>c</td></tr></table></body></html>"},
        {"GET /upload HTTP/1.1\r\n\r\n",
         R"(<html><body><form action="/upload" enctype="multipart/form-data" method="POST">)"
         R"(<input name="my_file1" type="file"></input><input name="my_file2" type="file"></input>)"
         R"(<input name="my_file3" type="file"></input><button type="submit">Upload</button></form></body></html>)"},
        {"GET /login HTTP/1.1\r\nConnection: keep-alive\r\n\r\n",
         R"(<html><head><script src="http://cdnjs.cloudflare.com/ajax/libs/jquery/2.1.4/jquery.min.js"></script>)"
         R"(<link href="http://cdnjs.cloudflare.com/ajax/libs/twitter-bootstrap/3.3.0/css/bootstrap.min.css" rel="stylesheet" type="text/css"></link>)"
         R"(</head><body><h3>Sign In</h3><form action="/login" method="POST"><fieldset>)"
         R"(<input name="email" placeholder="E-mail" type="email"></input><input name="password" placeholder="Password" type="password"></input>)"
         R"(<a href="/login"><button type="submit">Login</button></a></fieldset></form>)"
         R"(<script src="http://cdnjs.cloudflare.com/ajax/libs/twitter-bootstrap/3.3.0/js/bootstrap.min.js" type="text/javascript"></script></body></html>)"},
        {"POST /demo HTTP/1.1\r\n\r\n",
         R"(<html><body><center><h2>Hello Ostrel</h2><img src="https://www.gnu.org/graphics/heckert_gnu.transp.small.png"></img></center></body></html>)"},
    };
    for (const auto& [request, page] : cases)
        EXPECT_EQ(sortedAttributes(exchange(request)), sortedAttributes(kPage + page)) << request;
    const auto routes = server->routes();
    EXPECT_EQ(routes.size(), 17u);  // "/upload" and "/login" twice: GET and POST
    EXPECT_EQ(std::count(routes.begin(), routes.end(), "/upload") + std::count(routes.begin(), routes.end(), "/login"),
              4);
}

TEST_F(DemoServerTest, HandlersFormsRedirectsAndTheNotFoundRedirectLogOneLineEach) {
    const std::string multipart =
        "--XyZ\r\nContent-Disposition: form-data; name=\"note\"\r\n\r\nhello\r\n"
        "--XyZ\r\nContent-Disposition: form-data; name=\"my_file1\"; filename=\"<b>&.txt\"\r\nContent-Type: "
        "text/plain\r\n\r\nabc\r\n"
        "--XyZ\r\nContent-Disposition: form-data; name=\"my_file2\"; filename=\"\"\r\n\r\n\r\n--XyZ--\r\n";
    std::string longText, chunks;
    for (int i = 0; i < 1000; ++i) longText += "(" + std::to_string(i) + "),->";
    for (int i = 0; i <= 100; ++i) chunks += "[chunk " + std::to_string(i) + "]";
    const auto redirect = [](std::string code, std::string url) {
        return "HTTP/1.1 " + code + "\r\nLocation: " + url + "\r\n" + kServer;
    };
    std::vector<std::pair<std::string, std::string>> cases = {
        {post("/upload", "multipart/form-data; boundary=XyZ", multipart),
         okHtml("Name: my_file1 File name: &lt;b&gt;&amp;.txt Size: 3<br>Name: my_file2 File name:  Size: 0<br>")},
        {post("/upload", "multipart/form-data; boundary=B",
              "--B\r\nContent-Disposition: form-data; name=\"a=1;b\"; filename=\"x=y; z:12.txt\"\r\n\r\nxy\r\n--B--"),
         okHtml("Name: a=1;b File name: x=y; z:12.txt Size: 2<br>")},
        {post("/upload", "multipart/form-data; boundary=\"XyZ\"", multipart),  // as .NET quotes it
         okHtml("Name: my_file1 File name: &lt;b&gt;&amp;.txt Size: 3<br>Name: my_file2 File name:  Size: 0<br>")},
        {post("/upload", "multipart/form-data; boundary=B",  // as Go escapes it; then an epilogue
              "--B\r\nContent-Disposition: form-data; name=\"f\"; filename=\"a\\\"b;c.txt\"\r\n\r\nxy\r\n--B--\r\n"
              "--B\r\nContent-Disposition: form-data; name=\"f\"; filename=\"evil.txt\"\r\n\r\nx\r\n--B--"),
         okHtml("Name: f File name: a&quot;b;c.txt Size: 2<br>")},
        {post("/upload", "text/plain", "x"), okHtml("")},
        {post("/login", "application/x-www-form-urlencoded", "email=a%40b.c&password=%3Cp%3E"),
         okHtml("email = a@b.c<br>password = &lt;p&gt;")},
        {postChunked("/login", "application/x-www-form-urlencoded", "email=a%40b.c&password=%3Cp%3E"),
         okHtml("email = a@b.c<br>password = &lt;p&gt;")},
        {postChunked("/upload", "multipart/form-data; boundary=XyZ", multipart),
         okHtml("Name: my_file1 File name: &lt;b&gt;&amp;.txt Size: 3<br>Name: my_file2 File name:  Size: 0<br>")},
        {post("/login", "application/x-www-form-urlencoded", ""), okHtml("")},
        {post("/login", "application/x-www-form-urlencoded", "password=caf%E9+cr%E8me"),  // a page without charset
         okHtml("password = café crème")},
        {post("/login", "application/x-www-form-urlencoded", "a=1&&b=2&c"), okHtml("a = 1<br> = <br>b = 2<br> = ")},
        {"DELETE /magic?x=1 HTTP/1.1\r\n\r\n", okHtml("You asked for /magic")},
        {"GET /wildcard/a/test/b/c%3C HTTP/1.1\r\n\r\n", okHtml("/wildcard/a/test/b/c%3C")},
        {"GET /long HTTP/1.1\r\n\r\n", okHtml(longText)},
        {"GET /raw HTTP/1.1\r\nConnection: keep-alive\r\n\r\n",
         "HTTP/1.1 200 OK\r\nServer: Klarion 1.4\r\nXXX-Custom-Header: value\r\n\r\ntest"},
        {"GET /stream HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK\r\n" + kServer + chunks},
        {"GET /redirect/permanently HTTP/1.1\r\n\r\n", redirect("301 Moved Permanently", kDemoHomePageUrl)},
        {"POST /redirect/temporarily HTTP/1.1\r\n\r\n", redirect("307 Moved Temporarily", kDemoHomePageUrl)},
    };
    for (std::string method : {"GET", "POST", "PUT", "DELETE", "HEAD", "PATCH"})
        for (std::string path : {"/nope", "/public/a/b", "/wildcard/a/test/b", "/test/a"})
            cases.emplace_back(method + " " + path + " HTTP/1.1\r\n\r\n",
                               redirect("301 Moved Permanently", kDemoNotFoundUrl));
    for (std::string request : {"PUT /upload", "HEAD /login", "DELETE /upload"})
        cases.emplace_back(request + " HTTP/1.1\r\n\r\n", redirect("301 Moved Permanently", kDemoNotFoundUrl));
    ::testing::internal::CaptureStdout();  // released before any check: failures print there too
    demoServer("/elsewhere");
    std::vector<std::string> responses;
    for (const auto& item : cases) responses.push_back(exchange(item.first));
    const std::string out = ::testing::internal::GetCapturedStdout();
    for (std::size_t i = 0; i < cases.size(); ++i) EXPECT_EQ(responses[i], cases[i].second) << cases[i].first;
    EXPECT_TRUE(out.starts_with("/elsewhere\nMiddleware: 127.0.0.1 -> POST -> /upload\n")) << out;
    std::size_t lines = 0;
    for (std::size_t at = 0; (at = out.find("\nMiddleware: 127.0.0.1 -> ", at)) != std::string::npos; ++at) ++lines;
    EXPECT_EQ(lines, cases.size());
    EXPECT_NE(out.find("Middleware: 127.0.0.1 -> HEAD -> /login\n"), std::string::npos);
}

TEST_F(DemoServerTest, SharesAndBrowsesRegularFilesInsideTheFolderOnly) {
    const auto file = [](std::string type, std::string body) {
        return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\nContent-Type: " + type +
               "\r\n" + kServer + body;
    };
    const std::string notFound = "HTTP/1.1 404 Not Found\r\n" + kServer;
    std::string browse = "/files/";  // the folder as one route parameter
    for (char c : folder.relative_path().string()) browse += c == '/' ? std::string("%2F") : std::string(1, c);
    const std::pair<std::string, std::string> cases[] = {
        {"/public/page.HTML", file("text/html", "<p>")},
        {"/public/archive.tar.gz", file(mimeTypeForExtension("gz"), "gz")},
        {"/public/noext", file("application/octet-stream", "n")},
        {"/public/sub%2Findex.html", file("text/html", "sub")},
        {"/public/inside", file("application/octet-stream", "<p>")},
        {browse + "%2Fsub%2Findex.html", "HTTP/1.1 200 OK\r\n" + kServer + "sub"},
        {"/public/missing", notFound},
        {"/public/..%2Fx", notFound},
        {"/public/%2Fetc%2Fhostname", notFound},
        {"/public/out%2Fhostname", notFound},
        {"/public/pipe", notFound},
        {"/public/sub", notFound},
        {"/files/dev%2Fnull", notFound},
        {browse + "%2Fpipe", notFound},
        {"/files/no-such-folder", notFound},
    };
    for (const auto& [path, response] : cases) EXPECT_EQ(get(path), response) << path;

    std::string rows;
    for (std::string name :
         {".", "..", "%3Cx%3E%26y|&lt;x&gt;&amp;y", "A", "archive.tar.gz", "b", "C", "inside", "noext", "out",
          "page.HTML", "pipe", "sub", "%C3%A9a|éa", "%C3%89b|Éb", "e%CC%81c|e\u0301c"})  // link|text
        rows += "<tr><td><a href=\"" + browse + "%2F" + name.substr(0, name.find('|')) + "\">" +
                name.substr(name.find('|') + 1) + "</a></td></tr>";
    EXPECT_EQ(get(browse), kPage + "<html><body><table>" + rows + "</table></body></html>");
    // Each link is one segment of the same route: it leads to the file, and to
    // the folder from the listing of a folder whose address ends in "/".
    EXPECT_EQ(get(browse + "%2Fpage.HTML"), "HTTP/1.1 200 OK\r\n" + kServer + "<p>");
    EXPECT_NE(get(browse + "/").find("<a href=\"" + browse + "%2Fsub\">sub</a>"), std::string::npos);
    EXPECT_NE(get(browse + "%2Fsub").find("<a href=\"" + browse + "%2Fsub%2Findex.html\">"), std::string::npos);
    // A file whose size the system gives as 0 is sent by reading it to its end.
    EXPECT_NE(get("/files/proc%2Fself%2Fstatus").find("\r\n\r\nName:\t"), std::string::npos);

    // Default names for an empty parameter; files released also when no body is ever written.
    const auto openDescriptors = [] {
        return std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator{});
    };
    const auto before = openDescriptors();
    HttpRequest request;
    request.params = {{":path", ""}};
    for (int i = 0; i < 20; ++i) shareFilesFromDirectory(folder, {"index.html", "page.HTML"})(request);
    EXPECT_EQ(openDescriptors(), before);
    EXPECT_EQ(renderResponse(shareFilesFromDirectory(folder, {"index.html", "page.HTML"})(request)),
              "HTTP/1.1 200 OK\r\n" + kServer + "<p>");
    EXPECT_EQ(renderResponse(shareFile(folder / "noext")(request)), "HTTP/1.1 200 OK\r\n" + kServer + "n");
    EXPECT_EQ(renderResponse(shareFile(folder / "pipe")(request)), notFound);
}

TEST_F(DemoServerTest, BrowserListsOnlyNamesThatAreUtf8) {
    std::ofstream(folder / "sub" / "\xE9t\xE9") << "latin-1";  // "été" in Latin-1
    std::ofstream(folder / "sub" / "\xC3\xA9t\xC3\xA9") << "utf-8";
    std::string browse = "/files/";
    for (char c : (folder / "sub").relative_path().string())
        browse += c == '/' ? std::string("%2F") : std::string(1, c);
    std::string rows;
    for (std::string name : {".", "..", "index.html", "%C3%A9t%C3%A9|été"})  // link|text
        rows += "<tr><td><a href=\"" + browse + "%2F" + name.substr(0, name.find('|')) + "\">" +
                name.substr(name.find('|') + 1) + "</a></td></tr>";
    EXPECT_EQ(get(browse), kPage + "<html><body><table>" + rows + "</table></body></html>");
}

TEST_F(DemoServerTest, EchoPagesReportAtMostOneMebibyte) {
    // Each ' of a form is written as five bytes: a form of megabytes is cut, not built whole.
    std::string login = "a = ";
    while (login.size() < (1u << 20)) login += "&#39;";
    std::string names;
    for (int i = 0; i < 5; ++i)
        names += "--X\r\nContent-Disposition: form-data; name=\"" + std::string(60000, '\'') +
                 "\"; filename=\"f\"\r\n\r\nx\r\n";
    ::testing::internal::CaptureStdout();
    const std::string answer =
        exchange(post("/login", "application/x-www-form-urlencoded", "a=" + std::string(2 << 20, '\'') + "&b=1"));
    const std::string upload = exchange(post("/upload", "multipart/form-data; boundary=X", names + "--X--"));
    ::testing::internal::GetCapturedStdout();
    const std::string expected = okHtml(login + "<br>… (report cut at 1 MiB)");
    EXPECT_EQ(answer.size(), expected.size());
    EXPECT_TRUE(answer == expected);
    EXPECT_LT(upload.size(), (1u << 20) + 200);
    EXPECT_TRUE(upload.ends_with("&#39;<br>… (report cut at 1 MiB)</body></html>"));
}
