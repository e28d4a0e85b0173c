// One run of the test server program klarion-test-server, for the end-to-end
// tests: started on a free port against an LM Studio address, its standard
// output and error collected as they come, killed if still running at the end.
//
// The program reads HOME and the XDG variables of the calling process: point
// them at a scratch folder before starting it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>

namespace klarion::test {

class TestServerProcess {
public:
    // Runs `klarion-test-server --port 0 --lmstudio URL [--resources DIR]`.
    // With `home` given, the program's HOME, XDG_CONFIG_HOME, XDG_DATA_HOME
    // and TZ (Europe/Paris) are set to that scratch folder instead.
    explicit TestServerProcess(const std::string& lmStudioURL, const std::filesystem::path& resources = {},
                               const std::filesystem::path& home = {});
    ~TestServerProcess();  // kills the program if it still runs
    TestServerProcess(const TestServerProcess&) = delete;
    TestServerProcess& operator=(const TestServerProcess&) = delete;

    // Waits (at most 60 s) for "listening on PORT" and "teacher PIN NNNN";
    // the port, 0 when they did not come.
    uint16_t waitForBanner();
    uint16_t port() const { return port_; }
    const std::string& teacherPin() const { return pin_; }

    // Waits for the program's end (at most `limit`): its exit status, 128 +
    // the signal when a signal ended it, -1 when it did not end in time.
    int exitStatus(std::chrono::seconds limit = std::chrono::seconds(20));
    // SIGTERM, then exitStatus(limit).
    int terminate(std::chrono::seconds limit = std::chrono::seconds(40));

    pid_t pid() const { return pid_; }
    bool alive() const;
    // From /proc/PID/status, 0 when unknown: resident and peak resident
    // memory in KiB, and the number of threads.
    long residentKiB() const;
    long peakResidentKiB() const;
    long threads() const;

    std::string standardOutput() const;
    std::string standardError() const;

private:
    void readOutputs(int out, int err);
    long statusField(const std::string& field) const;

    pid_t pid_ = -1;
    uint16_t port_ = 0;
    std::string pin_;
    mutable std::mutex mutex_;
    std::condition_variable arrived_;
    std::string stdout_, stderr_;
    std::thread reader_;
};

}  // namespace klarion::test
