// The whole application without its window: the shared state, the panel
// model, the LM Studio client and probes, the safety monitor, the classroom
// server with the page routes. The program `klarion` draws it; the test
// server runs it without a window. Build, use and destroy it on the main
// thread, with the main queue set beforehand. Building it removes the
// temporary files that saves cut short by a crash left in the configuration
// and preferences folders.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "server/api/classroom_server.h"
#include "server/llm/lmstudio_client.h"
#include "ui/panel/content_view.h"

namespace klarion {

struct ApplicationOptions {
    std::string lmStudioURL = "http://127.0.0.1:1234";
    std::filesystem::path resources;  // the student page's files; empty: "resources" beside the program
};

class Application {
public:
    explicit Application(ApplicationOptions options = {}, StateContext state = StateContext::standard());
    // Stops the server when it runs (the orderly quit).
    ~Application();
    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    ContentView& view() { return *view_; }
    ClassroomServer& server() { return *server_; }
    // Stops a running server, as the start/stop button does. Main thread.
    void stopServer();

private:
    std::unique_ptr<ContentView> view_;
    std::shared_ptr<ClassroomServer> server_;
};

}  // namespace klarion
