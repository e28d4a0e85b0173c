// Chat relay overhead: time to the first event byte and to the last byte of
// a streamed chat, through the classroom server's "/api/chat" and asked of
// the fake LM Studio directly, one chat at a time.
//
//   bench_chat_relay [--chats 1000]
#include <cstdio>
#include <vector>

#include "bench/bench_support.h"

using namespace klarion;
using namespace klarion::bench;

int main(int argc, char** argv) {
    const long chats = option(argc, argv, "--chats", 1000);
    Classroom classroom;
    const std::uint16_t fakePort = classroom.fake.port();
    const std::uint16_t serverPort = classroom.server->port();

    const std::string directBody =
        R"({"messages":[{"role":"system","content":"Tu es un assistant."},{"role":"user","content":"Bonjour"}],)"
        R"("stream":true,"temperature":0.7,"top_p":0.9,"frequency_penalty":0,"presence_penalty":0,"max_tokens":1024})";
    const std::string direct =
        "POST /v1/chat/completions HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(fakePort) +
        "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(directBody.size()) + "\r\n\r\n" +
        directBody;

    std::vector<double> directFirst, directLast, relayFirst, relayLast;
    long failed = 0;
    for (long i = 0; i < chats + 20; ++i) {  // the first 20 of each warm up
        Exchange d = timedExchange(fakePort, direct, true);
        Exchange r = timedExchange(serverPort, chatRequest("Bonjour"), false);
        // A canned reply (pause, limit, LM Studio unreachable) is no relay.
        if (!d.ok || !r.ok || r.body.find("puis-je") == std::string::npos) {
            ++failed;
            continue;
        }
        if (i < 20) continue;
        directFirst.push_back(d.firstByteMs);
        directLast.push_back(d.lastByteMs);
        relayFirst.push_back(r.firstByteMs);
        relayLast.push_back(r.lastByteMs);
    }
    const std::size_t asked = classroom.fake.requestsTo("/v1/chat/completions").size();
    classroom.fake.clearRecords();

    std::printf("chat relay overhead, %zu chats (%ld failed; the fake answered %zu chat requests), loopback\n",
                relayFirst.size(), failed, asked);
    printFigures("fake directly: first event byte", directFirst);
    printFigures("fake directly: last byte", directLast);
    printFigures("through /api/chat: first event byte", relayFirst);
    printFigures("through /api/chat: last byte", relayLast);
    std::printf(
        "  overhead (relay - direct):  first byte median %.3f ms, p99 %.3f ms; last byte median %.3f ms, p99 %.3f ms\n",
        quantile(relayFirst, 0.5) - quantile(directFirst, 0.5),
        quantile(relayFirst, 0.99) - quantile(directFirst, 0.99), quantile(relayLast, 0.5) - quantile(directLast, 0.5),
        quantile(relayLast, 0.99) - quantile(directLast, 0.99));
    return failed == 0 ? 0 : 1;
}
