// The hostile tests' client: the shared loopback client, connecting from any
// source address in 127.0.0.0/8, with a bounded wait and an optional small
// receive buffer (a client that stops reading stalls its sender early).
#pragma once

#include <chrono>
#include <cstdint>
#include <fstream>
#include <string>

#include "tests/support/loopback_client.h"

namespace klarion::hostile {

using testing::bodyOf;
using testing::eventually;
using testing::statusOf;

class Client : public testing::LoopbackClient {
public:
    explicit Client(std::uint16_t port, const char* source = nullptr, int waitSeconds = 20, int receiveBuffer = 0)
        : LoopbackClient(
              port,
              Options{.source = source, .wait = std::chrono::seconds(waitSeconds), .receiveBuffer = receiveBuffer}) {}
};

// Resident memory of a process in KiB (VmRSS of /proc/PID/status), 0 when unknown.
inline long residentKiB(const std::string& pid = "self") {
    std::ifstream status("/proc/" + pid + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    }
    return 0;
}

// True when built with a sanitizer that changes memory figures.
constexpr bool sanitized() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
    return true;
#else
    return false;
#endif
#else
    return false;
#endif
}

}  // namespace klarion::hostile
