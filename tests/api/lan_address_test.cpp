// The choice of the LAN address among the interfaces, and the server address.
#include <gtest/gtest.h>

#include "server/api/lan_address.h"

namespace klarion {
namespace {

InterfaceAddress v4(const char* name, const char* address) { return {name, std::string(address), false}; }
InterfaceAddress none(const char* name) { return {name, std::nullopt, false}; }

struct ChoiceCase {
    const char* label;
    std::vector<InterfaceAddress> entries;
    std::string preferred;  // the default route's interface
    std::optional<std::string> expected;
};

std::ostream& operator<<(std::ostream& out, const ChoiceCase& c) { return out << c.label; }

class LanAddressChoice : public ::testing::TestWithParam<ChoiceCase> {};

TEST_P(LanAddressChoice, PicksTheExpectedAddress) {
    EXPECT_EQ(chooseLanAddress(GetParam().entries, GetParam().preferred), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Examples, LanAddressChoice,
    ::testing::Values(
        // The default route's interface wins wherever it stands.
        ChoiceCase{"preferred_later_in_list",
                   {v4("lo", "127.0.0.1"), v4("wlan1", "192.168.1.20"), v4("eth0", "192.168.1.10")},
                   "eth0",
                   "192.168.1.10"},
        // Without it, the first qualifying interface in list order.
        ChoiceCase{"first_qualifying_without_preferred",
                   {v4("lo", "127.0.0.1"), v4("virbr0", "192.168.2.1"), v4("wlan1", "10.0.0.4")},
                   "eth0",
                   "192.168.2.1"},
        ChoiceCase{"no_default_route", {v4("docker0", "172.17.0.1"), v4("eth1", "10.0.0.9")}, "", "172.17.0.1"},
        // Link-local only: none.
        ChoiceCase{"link_local_only", {v4("lo", "127.0.0.1"), v4("eth0", "169.254.3.4")}, "eth0", std::nullopt},
        // Entries without an IPv4 address (IPv6, packet) are skipped.
        ChoiceCase{"skips_entries_without_ipv4",
                   {none("eth0"), none("wlan0"), v4("wlan0", "192.168.0.12")},
                   "eth0",
                   "192.168.0.12"},
        // Loopback by name, by flag, or by address.
        ChoiceCase{"skips_loopback",
                   {v4("lo", "10.9.9.9"), InterfaceAddress{"lo1", std::string("10.8.8.8"), true},
                    v4("dummy0", "127.0.1.1"), v4("eth0", "192.168.5.5")},
                   "",
                   "192.168.5.5"},
        ChoiceCase{"preferred_loopback_never_wins", {v4("lo", "127.0.0.1"), v4("eth0", "192.168.1.10")}, "lo",
                   "192.168.1.10"},
        ChoiceCase{"empty_list", {}, "eth0", std::nullopt}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(ServerURL, UsesTheLanAddressElseTheHostName) {
    EXPECT_EQ(buildServerURL(std::string("192.168.1.10"), "Salle 12 Mac", 3000), "http://192.168.1.10:3000");
    EXPECT_EQ(buildServerURL(std::nullopt, "Salle 12 Mac", 8080), "http://Salle-12-Mac.local:8080");
    EXPECT_EQ(buildServerURL(std::nullopt, "  a  b ", 80), "http://--a--b-.local:80");
}

TEST(DefaultRoute, ReadsTheFirstUpDefaultRoute) {
    const std::string table =
        "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n"
        "docker0\t000011AC\t00000000\t0001\t0\t0\t0\t0000FFFF\t0\t0\t0\n"
        "wlan0\t00000000\t0101A8C0\t0002\t0\t0\t600\t00000000\t0\t0\t0\n"  // not up
        "eth0\t00000000\t0101A8C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n"
        "wlan1\t00000000\t0101A8C0\t0003\t0\t0\t600\t00000000\t0\t0\t0\n";
    EXPECT_EQ(parseDefaultRouteInterface(table), "eth0");
    EXPECT_EQ(parseDefaultRouteInterface("Iface\tDestination\n"), std::nullopt);
    EXPECT_EQ(parseDefaultRouteInterface(""), std::nullopt);
}

TEST(LocalAddress, TheSystemAnswerIsNeverLoopbackOrLinkLocal) {
    const auto address = localIPAddress();
    if (address) {
        EXPECT_NE(address->rfind("127.", 0), 0u);
        EXPECT_NE(address->rfind("169.254.", 0), 0u);
    }
    EXPECT_FALSE(systemInterfaceAddresses().empty());  // at least "lo"
}

}  // namespace
}  // namespace klarion
