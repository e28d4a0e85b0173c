// A scratch folder and the test server program started in it, for the hostile
// tests and the benchmarks. Header-only.
#pragma once

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "tests/support/scratch.h"
#include "tests/support/test_server_process.h"

namespace klarion::hostile {

using testing::ScratchFolder;

// Starts klarion-test-server against `lmStudioURL` with HOME and the XDG
// folders in `home`, a student page in its resources, and waits for its
// banner; port() is 0 when it did not start.
inline std::unique_ptr<test::TestServerProcess> startTestServer(const std::filesystem::path& home,
                                                                const std::string& lmStudioURL) {
    const auto resources = home / "resources";
    std::filesystem::create_directories(resources);
    std::filesystem::create_directories(home / "Documents");
    std::ofstream(resources / "index.html") << "<!DOCTYPE html><title>Klarion</title>";
    auto server = std::make_unique<test::TestServerProcess>(lmStudioURL, resources, home);
    server->waitForBanner();
    return server;
}

}  // namespace klarion::hostile
