// Feeds arbitrary bytes to the request parser as one connection's stream, then
// runs the request helpers and the router on every request that parses.
#include <cstddef>
#include <cstdint>

#include "http/core/parser.h"
#include "http/core/request.h"
#include "http/core/router.h"

namespace {

using namespace klarion;

class MemorySource : public ByteSource {
public:
    MemorySource(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    std::uint8_t read() override {
        if (at_ >= size_) throw SocketError(SocketError::Kind::recvFailed, "end of input");
        return data_[at_++];
    }

    Bytes readLength(std::size_t n) override {
        if (n > size_ - at_) throw SocketError(SocketError::Kind::recvFailed, "end of input");
        Bytes bytes(data_ + at_, data_ + at_ + n);
        at_ += n;
        return bytes;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

HttpRouter& router() {
    static HttpRouter* instance = [] {
        auto* r = new HttpRouter();
        auto answer = [](HttpRequest&) { return HttpResponse::notFound(); };
        r->registerRoute(std::nullopt, "/", answer);
        r->registerRoute(std::nullopt, "/api/config", answer);
        r->registerRoute(std::nullopt, "/user/:id", answer);
        r->registerRoute("GET", "/user/me", answer);
        r->registerRoute(std::nullopt, "/files/*/raw", answer);
        r->registerRoute(std::nullopt, "/static/**", answer);
        r->registerRoute(std::nullopt, "/docs/**/index", answer);
        return r;
    }();
    return *instance;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    MemorySource source(data, size);
    HttpParser parser;
    for (int i = 0; i < 64; ++i) {
        HttpRequest request;
        try {
            request = parser.readHttpRequest(source);
        } catch (const SocketError&) {
            break;
        } catch (const HttpParserError&) {
            break;
        }
        (void)HttpParser::wantsKeepAlive(request.headers);
        (void)request.hasTokenForHeader("connection", "upgrade");
        (void)request.parseUrlencodedForm();
        for (const auto& part : request.parseMultiPartFormData()) {
            (void)part.name();
            (void)part.fileName();
        }
        (void)router().route(request.method, request.path);
    }
    return 0;
}
