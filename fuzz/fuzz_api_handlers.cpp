// Feeds arbitrary bytes to every "/api/" handler of the classroom server
// through a request object, the way a connection thread calls them: the first
// byte picks the route and the method, the rest is the body. The response's
// body writer runs into memory, and the main-queue work the handler posted
// runs after it, so the changes it asks for are applied too.
//
// The classroom server is built as the program builds it, in a scratch home
// folder, with a known teacher PIN ("1234") so that inputs can get past the
// PIN checks; its listening socket is on ::1 and never used. The chat and
// model routes talk to the fake LM Studio of the tests, in this process.
#include <stdlib.h>

#include <cstdlib>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/state/state_context.h"
#include "http/core/response.h"
#include "platform/clock.h"
#include "platform/main_queue.h"
#include "platform/preferences.h"
#include "server/api/classroom_context.h"
#include "server/api/classroom_server.h"
#include "server/llm/lmstudio_client.h"
#include "tests/support/fake_lmstudio.h"

namespace {

using namespace klarion;

std::filesystem::path& scratchHome() {
    static std::filesystem::path path;
    return path;
}

struct Harness {
    std::shared_ptr<DrainableMainQueue> queue = std::make_shared<DrainableMainQueue>();
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>(1772530200.0);  // a Tuesday, 10:30 Paris
    FakeLmStudio fake;
    std::shared_ptr<ClassroomContext> context;
    std::shared_ptr<ClassroomServer> classroom;
    std::vector<std::string> routes;

    Harness() {
        std::string pattern = (std::filesystem::temp_directory_path() / "klarion-fuzz-XXXXXX").string();
        std::filesystem::path home = ::mkdtemp(pattern.data());
        scratchHome() = home;
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(scratchHome(), ignored);
        });
        std::filesystem::create_directories(home / "Documents");
        ::setenv("HOME", home.c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", (home / ".config").c_str(), 1);
        ::setenv("XDG_DATA_HOME", (home / ".local/share").c_str(), 1);
        ::setenv("TZ", "Europe/Paris", 1);
        setMainQueue(queue);

        StateContext state;
        state.config =
            std::make_shared<AppConfig>(std::make_shared<PreferenceStore>(home / ".config/klarion/preferences.json"));
        state.logger = std::make_shared<AppLogger>(queue, clock);
        state.logger->setEnabled(true);
        state.folder = ConfigFolder(home / "Documents");
        state.queue = queue;
        state.clock = clock;
        context = ClassroomContext::make(state);
        fake.start();
        context->lmStudio = std::make_shared<const LmStudioClient>(fake.baseUrl());

        classroom = std::make_shared<ClassroomServer>(context);
        classroom->server().listenAddressIPv6 = "::1";
        // Both run on the main thread, as in the program.
        queue->post([this] { classroom->startServer(0, "fuzz"); });
        queue->drain();
        queue->post([this] { context->config().setTeacherPinCode("1234"); });
        queue->drain();
        for (auto route : classroom->server().routes()) {
            if (!route.starts_with("/")) route = "/" + route;
            if (route.starts_with("/api/")) routes.push_back(route);
        }
    }
};

Harness& harness() {
    static Harness* instance = new Harness();  // lives for the whole run
    return *instance;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Harness& h = harness();
    if (size == 0 || h.routes.empty()) return 0;
    static std::uint64_t serial = 0;
    ++serial;

    HttpRequest request;
    request.path = h.routes[data[0] % h.routes.size()];
    request.method = (data[0] & 0x80) ? "GET" : "POST";
    request.body.assign(data + 1, data + size);
    request.headers["content-type"] = "application/json";
    request.headers["content-length"] = std::to_string(size - 1);
    // A new address every few inputs: the login lockout would otherwise
    // soon refuse every PIN before looking at it.
    request.address = "10.1." + std::to_string((serial / 4) % 250) + "." + std::to_string((serial / 1000) % 250);

    auto [params, handler] = h.classroom->server().dispatch(request);
    request.params = params;
    if (handler) {
        HttpResponse response = handler(request);
        (void)response.statusCode();
        (void)response.headers();
        HttpContent content = response.content();
        if (content.writer) {
            MemoryBodyWriter sink;
            try {
                content.writer(sink);
            } catch (const std::exception&) {
                // a writer may fail; the connection would close
            }
        }
    }
    h.queue->drain();
    h.clock->advance(0.25);
    h.fake.clearRecords();  // it keeps every request otherwise
    return 0;
}
