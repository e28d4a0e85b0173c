#include "tests/support/test_server_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string_view>
#include <vector>

#ifndef KLARION_TEST_SERVER_PATH
#error "KLARION_TEST_SERVER_PATH must name the klarion-test-server program"
#endif

namespace klarion::test {

TestServerProcess::TestServerProcess(const std::string& lmStudioURL, const std::filesystem::path& resources,
                                     const std::filesystem::path& home) {
    std::vector<std::string> args{KLARION_TEST_SERVER_PATH, "--port", "0", "--lmstudio", lmStudioURL};
    if (!resources.empty()) {
        std::filesystem::create_directories(resources);
        args.insert(args.end(), {"--resources", resources.string()});
    }
    // Prepared before fork: the child only calls async-signal-safe functions.
    std::vector<std::pair<std::string, std::string>> environment;
    if (!home.empty()) {
        std::filesystem::create_directories(home);
        environment = {{"HOME", home.string()},
                       {"XDG_CONFIG_HOME", (home / ".config").string()},
                       {"XDG_DATA_HOME", (home / ".local" / "share").string()},
                       {"TZ", "Europe/Paris"}};
    }
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);

    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0) return;
    if (pipe2(err, O_CLOEXEC) != 0) {
        close(out[0]);
        close(out[1]);
        return;
    }
    pid_ = fork();
    if (pid_ == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        for (const auto& [name, value] : environment) setenv(name.c_str(), value.c_str(), 1);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    if (pid_ < 0) {
        close(out[0]);
        close(err[0]);
        return;
    }
    reader_ = std::thread([this, o = out[0], e = err[0]] { readOutputs(o, e); });
}

TestServerProcess::~TestServerProcess() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (reader_.joinable()) reader_.join();
}

// Reads both outputs until the program closes them.
void TestServerProcess::readOutputs(int out, int err) {
    pollfd fds[2] = {{out, POLLIN, 0}, {err, POLLIN, 0}};
    int open = 2;
    while (open > 0) {
        if (poll(fds, 2, 200) <= 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buffer[4096];
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n <= 0) {
                close(fds[i].fd);
                fds[i].fd = -1;  // poll skips it from now on
                --open;
                continue;
            }
            std::lock_guard lock(mutex_);
            (i == 0 ? stdout_ : stderr_).append(buffer, static_cast<size_t>(n));
        }
        arrived_.notify_all();
    }
    std::lock_guard lock(mutex_);
    arrived_.notify_all();
}

namespace {

// The port and the teacher PIN of the banner "listening on PORT\nteacher PIN NNNN\n" at the start
// of `out`, once both lines are whole.
bool readBanner(std::string_view out, uint16_t& port, std::string& pin) {
    constexpr std::string_view first = "listening on ", second = "\nteacher PIN ";
    if (!out.starts_with(first)) return false;
    const auto digits = out.find_first_not_of("0123456789", first.size());
    if (digits == first.size() || digits == std::string_view::npos || digits - first.size() > 5) return false;
    const auto rest = out.substr(digits);
    const auto end = rest.find('\n', second.size());
    if (!rest.starts_with(second) || end == std::string_view::npos || end == second.size()) return false;
    port = static_cast<uint16_t>(std::stoi(std::string(out.substr(first.size(), digits - first.size()))));
    pin = rest.substr(second.size(), end - second.size());
    return true;
}

}  // namespace

uint16_t TestServerProcess::waitForBanner() {
    std::unique_lock lock(mutex_);
    arrived_.wait_for(lock, std::chrono::seconds(60), [&] { return readBanner(stdout_, port_, pin_); });
    return port_;
}

int TestServerProcess::exitStatus(std::chrono::seconds limit) {
    if (pid_ <= 0) return -1;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            if (reader_.joinable()) reader_.join();  // the outputs are complete
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        if (std::chrono::steady_clock::now() >= deadline) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

int TestServerProcess::terminate(std::chrono::seconds limit) {
    if (pid_ > 0) kill(pid_, SIGTERM);
    return exitStatus(limit);
}

bool TestServerProcess::alive() const { return pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0; }

long TestServerProcess::statusField(const std::string& field) const {
    std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
    }
    return 0;
}

long TestServerProcess::residentKiB() const { return statusField("VmRSS"); }
long TestServerProcess::peakResidentKiB() const { return statusField("VmHWM"); }
long TestServerProcess::threads() const { return statusField("Threads"); }

std::string TestServerProcess::standardOutput() const {
    std::lock_guard lock(mutex_);
    return stdout_;
}

std::string TestServerProcess::standardError() const {
    std::lock_guard lock(mutex_);
    return stderr_;
}

}  // namespace klarion::test
