// One HTTP exchange with another server through libcurl, set up the one way
// the program talks to other servers: no proxy from the environment, no
// "Expect: 100-continue", no "Accept" header, no automatic decompression, no
// redirects, HTTP/1.1, and an HTTP error status is an answer, not a failure.
// A POST carries "Content-Type: application/json".
#pragma once

#include <curl/curl.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace klarion {

class CurlExchange {
public:
    // `protocols` as libcurl names them ("http", "http,https"). `body` must
    // outlive the exchange. `reuse`, when given, is a handle handed back by
    // release(): its options are set afresh, its kept connections stay.
    CurlExchange(const std::string& url, bool post, std::string_view body, const char* protocols = "http",
                 CURL* reuse = nullptr);
    CurlExchange(const CurlExchange&) = delete;
    CurlExchange& operator=(const CurlExchange&) = delete;

    // False when libcurl could not make a handle (nothing can be sent).
    bool valid() const { return handle_ != nullptr; }
    CURL* handle() const { return handle_.get(); }
    const char* errorBuffer() const { return errorBuffer_; }
    char* errorBuffer() { return errorBuffer_; }
    // libcurl's words for a failure: its error buffer, else the code's text.
    std::string errorText(CURLcode code) const;
    long status() const;  // the answer's status code; 0 when no status line came
    // Gives up the handle, its options cleared, for another exchange to reuse
    // (the connection it kept open goes with it); the exchange is then invalid.
    CURL* release();

    // Runs the exchange to the end and collects the body: at most `maxBody`
    // bytes (more ends the exchange, `tooLarge`), within `timeout` for the
    // whole exchange, asking `stop` now and then (true gives up:
    // CURLE_ABORTED_BY_CALLBACK).
    struct Outcome {
        CURLcode code = CURLE_OK;
        std::string body;
        bool tooLarge = false;
    };
    Outcome perform(std::chrono::milliseconds timeout, std::size_t maxBody, const std::function<bool()>& stop = {});

private:
    struct EasyDeleter {
        void operator()(CURL* h) const { curl_easy_cleanup(h); }
    };
    struct ListDeleter {
        void operator()(curl_slist* l) const { curl_slist_free_all(l); }
    };
    std::string url_;
    std::unique_ptr<CURL, EasyDeleter> handle_;
    std::unique_ptr<curl_slist, ListDeleter> headers_;
    char errorBuffer_[CURL_ERROR_SIZE] = {0};
};

}  // namespace klarion
