// Runs klarion-test-server (or any program that prints "listening on PORT")
// as a child process with HOME and the XDG folders in a scratch folder of its
// own, for the hostile tests and the benchmarks. Header-only.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

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

class ServerProcess {
public:
    // Starts `program --port 0 --lmstudio URL --resources HOME/resources` with
    // HOME and XDG_* in `home`, and waits (at most 60 s) for its banner.
    ServerProcess(const std::string& program, const std::filesystem::path& home, const std::string& lmStudioURL) {
        const auto resources = home / "resources";
        std::filesystem::create_directories(resources);
        std::filesystem::create_directories(home / "Documents");
        std::ofstream(resources / "index.html") << "<!DOCTYPE html><title>Klarion</title>";
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0) return;
        const std::string homeText = home.string();
        const std::string config = (home / ".config").string();
        const std::string data = (home / ".local/share").string();
        const std::string resourcesText = resources.string();
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(out[1], STDOUT_FILENO);
            ::setenv("HOME", homeText.c_str(), 1);
            ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);
            ::setenv("XDG_DATA_HOME", data.c_str(), 1);
            ::setenv("TZ", "Europe/Paris", 1);
            ::execl(program.c_str(), program.c_str(), "--port", "0", "--lmstudio", lmStudioURL.c_str(),
                    "--resources", resourcesText.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(out[1]);
        stdout_ = out[0];
        readBanner();
        // What it prints later is read and dropped: a full pipe would block it.
        drain_ = std::thread([fd = stdout_] {
            char chunk[4096];
            while (::read(fd, chunk, sizeof(chunk)) > 0) {
            }
        });
    }

    ~ServerProcess() {
        if (pid_ > 0) terminate();
        if (drain_.joinable()) drain_.join();  // the pipe ends with the process
        if (stdout_ >= 0) ::close(stdout_);
    }
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    bool ready() const { return port_ != 0; }
    std::uint16_t port() const { return port_; }
    const std::string& teacherPin() const { return pin_; }
    pid_t pid() const { return pid_; }
    bool alive() const { return pid_ > 0 && ::waitpid(pid_, nullptr, WNOHANG) == 0; }

    // SIGTERM, then the exit status; SIGKILL after 20 s (status -1).
    int terminate() {
        if (pid_ <= 0) return -1;
        ::kill(pid_, SIGTERM);
        int status = 0;
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (::waitpid(pid_, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > end) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, &status, 0);
                pid_ = -1;
                return -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    // A line of /proc/PID/status in KiB ("VmRSS", "VmHWM"), 0 when unknown.
    long statusKiB(const std::string& field) const {
        std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
        }
        return 0;
    }
    long residentKiB() const { return statusKiB("VmRSS"); }
    long peakResidentKiB() const { return statusKiB("VmHWM"); }
    long threads() const {
        std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("Threads:", 0) == 0) return std::stol(line.substr(8));
        }
        return 0;
    }

private:
    void readBanner() {
        std::string buffer;
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (std::chrono::steady_clock::now() < end && (port_ == 0 || pin_.empty())) {
            pollfd p{stdout_, POLLIN, 0};
            if (::poll(&p, 1, 200) <= 0) {
                if (!alive()) return;
                continue;
            }
            char chunk[256];
            ssize_t n = ::read(stdout_, chunk, sizeof(chunk));
            if (n <= 0) return;
            buffer.append(chunk, static_cast<std::size_t>(n));
            std::size_t newline;
            while ((newline = buffer.find('\n')) != std::string::npos) {
                std::string line = buffer.substr(0, newline);
                buffer.erase(0, newline + 1);
                if (line.rfind("listening on ", 0) == 0) port_ = static_cast<std::uint16_t>(std::stoi(line.substr(13)));
                if (line.rfind("teacher PIN ", 0) == 0) pin_ = line.substr(12);
            }
        }
    }

    pid_t pid_ = -1;
    int stdout_ = -1;
    std::thread drain_;
    std::uint16_t port_ = 0;
    std::string pin_;
};

}  // namespace klarion::hostile
