#include "server/api/lan_address.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <fstream>
#include <sstream>

namespace klarion {

namespace {

bool startsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

}  // namespace

std::optional<std::string> chooseLanAddress(const std::vector<InterfaceAddress>& entries,
                                            std::string_view preferredInterface) {
    std::optional<std::string> first;
    for (const auto& entry : entries) {
        if (!entry.ipv4 || entry.ipv4->empty()) continue;
        if (entry.loopback || entry.name == "lo") continue;
        const std::string& text = *entry.ipv4;
        if (startsWith(text, "127.") || startsWith(text, "169.254.")) continue;
        if (!preferredInterface.empty() && entry.name == preferredInterface) return text;
        if (!first) first = text;
    }
    return first;
}

std::optional<std::string> parseDefaultRouteInterface(std::string_view procNetRoute) {
    std::istringstream in{std::string(procNetRoute)};
    std::string line;
    bool header = true;
    while (std::getline(in, line)) {
        if (header) {  // "Iface Destination Gateway Flags RefCnt Use Metric Mask ..."
            header = false;
            continue;
        }
        std::istringstream fields(line);
        std::string iface, destination, gateway, flags, refCount, use, metric, mask;
        if (!(fields >> iface >> destination >> gateway >> flags >> refCount >> use >> metric >> mask)) continue;
        unsigned long flagBits = 0;
        try {
            flagBits = std::stoul(flags, nullptr, 16);
        } catch (...) {
            continue;
        }
        const unsigned long kRouteUp = 0x1;
        if (destination == "00000000" && mask == "00000000" && (flagBits & kRouteUp)) return iface;
    }
    return std::nullopt;
}

std::vector<InterfaceAddress> systemInterfaceAddresses() {
    std::vector<InterfaceAddress> result;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return result;
    for (ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        InterfaceAddress item;
        item.name = entry->ifa_name ? entry->ifa_name : "";
        item.loopback = (entry->ifa_flags & IFF_LOOPBACK) != 0;
        if (entry->ifa_addr != nullptr && entry->ifa_addr->sa_family == AF_INET) {
            char host[NI_MAXHOST] = {};
            if (getnameinfo(entry->ifa_addr, sizeof(sockaddr_in), host, sizeof host, nullptr, 0, NI_NUMERICHOST) == 0) {
                item.ipv4 = std::string(host);
            }
        }
        result.push_back(std::move(item));
    }
    freeifaddrs(list);
    return result;
}

std::optional<std::string> defaultRouteInterface() {
    std::ifstream in("/proc/net/route");
    if (!in) return std::nullopt;
    std::stringstream text;
    text << in.rdbuf();
    return parseDefaultRouteInterface(text.str());
}

std::optional<std::string> localIPAddress() {
    return chooseLanAddress(systemInterfaceAddresses(), defaultRouteInterface().value_or(""));
}

std::string buildServerURL(const std::optional<std::string>& lanAddress, std::string_view hostName, int64_t port) {
    std::string host;
    if (lanAddress) {
        host = *lanAddress;
    } else {
        for (char c : hostName) host += (c == ' ') ? '-' : c;
        host += ".local";
    }
    return "http://" + host + ":" + std::to_string(port);
}

}  // namespace klarion
