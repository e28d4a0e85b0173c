// The computer's address on the local network and the published server address.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace klarion {

// One entry of the system's interface-address list, in the system's order.
struct InterfaceAddress {
    std::string name;                 // "lo", "eth0", "wlan0", ...
    std::optional<std::string> ipv4;  // numeric IPv4 text; none for entries without
                                      // an address or of another family
    bool loopback = false;            // the interface carries the loopback flag
};

// Picks the LAN IPv4 address among `entries`: entries without an IPv4 address,
// the loopback interface ("lo", or flagged loopback) and addresses starting
// with "127." or "169.254." are skipped; an address of `preferredInterface`
// wins wherever it stands; otherwise the first qualifying one. None when no
// entry qualifies.
std::optional<std::string> chooseLanAddress(const std::vector<InterfaceAddress>& entries,
                                            std::string_view preferredInterface);

// The interface of the IPv4 default route in the text of /proc/net/route:
// the first up route whose destination and mask are 0. None when there is none.
std::optional<std::string> parseDefaultRouteInterface(std::string_view procNetRoute);

// The system's interface-address list (getifaddrs); empty when it fails.
std::vector<InterfaceAddress> systemInterfaceAddresses();
// The interface of the default route now (reads /proc/net/route); none when unknown.
std::optional<std::string> defaultRouteInterface();

// The LAN IPv4 address of this computer, preferring the interface of the
// default route; none when there is no qualifying address.
std::optional<std::string> localIPAddress();

// "http://" + address + ":" + port; without an address, "http://" + the host
// name with every space made "-" + ".local:" + port.
std::string buildServerURL(const std::optional<std::string>& lanAddress, std::string_view hostName, int64_t port);

}  // namespace klarion
