// The control port of the fake LM Studio, for tests that run it as a separate program
// (`fake-lmstudio`). It is a small HTTP/1.1 server on 127.0.0.1; requests and answers are JSON.
//
//   GET  /control/state        {"port": P, "refusing": bool, "models": [MODEL...],
//                               "loaded": [INSTANCE...], "reply": REPLY, "pendingFaults": N}
//   POST /control/models       {"models": [MODEL...], "loaded": [INSTANCE...]}: replaces the
//                               model state ("loaded" may be left out: nothing loaded)
//   POST /control/reply        REPLY: the chat completion answer from now on
//   POST /control/faults       FAULT, or a list of FAULTs: added after the pending ones
//   POST /control/clear-faults drops the pending faults
//   POST /control/refuse       {"refusing": bool}: stop or resume listening on the LM Studio port
//   GET  /control/requests     [RECORD...]: every request received since the last clear
//   GET  /control/violations   ["...", ...]: every contract breach seen since the last clear
//   POST /control/clear        forgets the requests and the violations
//   POST /control/quit         answers, then the program ends
//
// Every POST answers {"ok": true}, or 400 {"error": "..."} when its body does not fit. Keys left
// out of a MODEL, REPLY or FAULT take the defaults of FakeModel, FakeChatReply and FakeFault.
//
//   MODEL    {"key", "type", "publisher", "displayName", "arch", "format", "quantization",
//             "maxContextLength"}
//   INSTANCE {"id", "model" (its model's key), "contextLength"}
//   REPLY    {"pieces": [string...], "rawStream": string, "content": string,
//             "cuts": [integer...], "gapMs": integer}
//   FAULT    {"path": string, "action": "answer"|"hang"|"close"|"reset"|"status"|"raw"|
//             "break-stream", "delayMs": integer, "status": integer, "body": string,
//             "contentType": string, "afterEvents": integer,
//             "breakWith": "close"|"reset"|"hang", "times": integer}
//   RECORD   {"connection", "method", "target", "path", "version", "headers": [[name, value]...],
//             "body", "receivedMs" (milliseconds since 1970), "status", "emitted", "finished"}
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "tests/support/fake_lmstudio.h"
#include "tests/support/mini_http_server.h"

namespace klarion {

class FakeLmStudioControl {
public:
    // `onQuit` runs (on a connection thread) after the answer to POST /control/quit.
    explicit FakeLmStudioControl(FakeLmStudio& fake, std::function<void()> onQuit = {});
    ~FakeLmStudioControl();

    bool start(std::uint16_t port = 0);  // on 127.0.0.1; 0: a free port
    void stop();
    std::uint16_t port() const;

private:
    void handle(const MiniHttpRequest& request, MiniHttpConnection& conn);

    FakeLmStudio& fake_;
    std::function<void()> onQuit_;
    std::unique_ptr<MiniHttpServer> server_;
};

}  // namespace klarion
