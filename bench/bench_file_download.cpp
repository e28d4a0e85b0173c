// Downloads a 100 MiB shared file over loopback from our server (the folder
// sharing handler, sendfile) and from nginx serving the same file on the same
// machine, a few times each, and prints the throughputs and their ratio.
//     bench_file_download [--mib 100] [--rounds 5]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "http/core/server.h"
#include "http/extras/file_sharing.h"

using namespace klarion;
namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

long option(int argc, char** argv, const std::string& name, long fallback) {
    for (int i = 1; i + 1 < argc; ++i)
        if (argv[i] == name) return std::strtol(argv[i + 1], nullptr, 10);
    return fallback;
}

int connectTo(std::uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Bytes received for one GET until the server closes (head included); 0 on failure.
std::size_t download(std::uint16_t port, const std::string& path) {
    int fd = connectTo(port);
    if (fd < 0) return 0;
    const std::string request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size()))
        return ::close(fd), 0;
    static thread_local std::vector<char> buffer(1 << 20);
    std::size_t total = 0;
    for (ssize_t n; (n = ::recv(fd, buffer.data(), buffer.size(), 0)) > 0;) total += static_cast<std::size_t>(n);
    ::close(fd);
    return total;
}

// Best and median throughput (MiB/s) over the rounds.
std::pair<double, double> measure(std::uint16_t port, const std::string& path, long rounds, std::size_t expected) {
    std::vector<double> rates;
    for (long i = 0; i < rounds; ++i) {
        auto begin = Clock::now();
        std::size_t got = download(port, path);
        double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
        if (got < expected) std::printf("  short download: %zu bytes\n", got);
        rates.push_back(static_cast<double>(got) / (1024.0 * 1024.0) / seconds);
    }
    std::sort(rates.begin(), rates.end());
    return {rates.back(), rates[rates.size() / 2]};
}

std::uint16_t freePort() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof(address);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

pid_t startNginx(const fs::path& prefix, const fs::path& root, std::uint16_t port) {
    std::ofstream(prefix / "nginx.conf")
        << "worker_processes 1;\ndaemon off;\nerror_log stderr warn;\npid " << (prefix / "nginx.pid").string()
        << ";\nevents { worker_connections 64; }\nhttp {\n access_log off;\n sendfile on;\n"
        << " client_body_temp_path " << (prefix / "body").string() << ";\n proxy_temp_path "
        << (prefix / "proxy").string() << ";\n fastcgi_temp_path " << (prefix / "fastcgi").string()
        << ";\n uwsgi_temp_path " << (prefix / "uwsgi").string() << ";\n scgi_temp_path " << (prefix / "scgi").string()
        << ";\n server { listen 127.0.0.1:" << port << "; root " << root.string() << "; }\n}\n";
    pid_t pid = ::fork();
    if (pid == 0) {
        ::execl("/usr/sbin/nginx", "nginx", "-p", prefix.c_str(), "-c", (prefix / "nginx.conf").c_str(),
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    for (int i = 0; i < 100; ++i) {  // up to 5 s for it to listen
        if (int fd = connectTo(port); fd >= 0) return ::close(fd), pid;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return pid;
}

}  // namespace

int main(int argc, char** argv) {
    const long mib = option(argc, argv, "--mib", 100), rounds = std::max(1L, option(argc, argv, "--rounds", 5));
    char name[] = "/tmp/klarion-bench-share-XXXXXX";
    const fs::path folder = ::mkdtemp(name), root = folder / "shared";
    fs::create_directories(root);
    fs::permissions(folder, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
    fs::permissions(root,
                    fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec | fs::perms::others_read);
    {
        std::ofstream out(root / "big.bin", std::ios::binary);
        std::vector<char> block(1 << 20);
        for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 31 + 7);
        for (long i = 0; i < mib; ++i) out.write(block.data(), static_cast<std::streamsize>(block.size()));
    }
    ::chmod((root / "big.bin").c_str(), 0644);
    const std::size_t size = static_cast<std::size_t>(mib) << 20;

    HttpServer server;
    server.listenAddressIPv4 = "127.0.0.1";
    server["/public/:path"] = shareFilesFromDirectory(root, {});
    server.start(0, true);
    download(server.port(), "/public/big.bin");  // warms the page cache
    auto [ourBest, ourMedian] = measure(server.port(), "/public/big.bin", rounds, size);
    server.stop();
    std::printf("file: %ld MiB, %ld downloads each over 127.0.0.1\n", mib, rounds);
    std::printf("klarion sharing handler: %.0f MiB/s best, %.0f MiB/s median\n", ourBest, ourMedian);

    if (!fs::exists("/usr/sbin/nginx")) {
        std::printf("nginx: not installed (apt-get install nginx-light), no comparison\n");
    } else {
        const std::uint16_t port = freePort();
        pid_t nginx = startNginx(folder, root, port);
        download(port, "/big.bin");
        auto [theirBest, theirMedian] = measure(port, "/big.bin", rounds, size);
        ::kill(nginx, SIGTERM);
        ::waitpid(nginx, nullptr, 0);
        std::printf("nginx 'sendfile on': %.0f MiB/s best, %.0f MiB/s median\n", theirBest, theirMedian);
        std::printf("ratio klarion / nginx: %.2f best, %.2f median\n", ourBest / theirBest, ourMedian / theirMedian);
    }
    fs::remove_all(folder);
    return 0;
}
