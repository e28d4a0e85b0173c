// A scratch folder and the test server program started in it, for the hostile
// tests and the benchmarks. Header-only.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "tests/support/test_server_process.h"

namespace klarion::hostile {

// A temporary folder removed with everything in it.
class ScratchFolder {
public:
    ScratchFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "klarion-hostile-XXXXXX").string();
        if (::mkdtemp(pattern.data())) path_ = pattern;
    }
    ~ScratchFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

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
