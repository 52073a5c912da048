// Default gateways from the routing table text, and the local-network test used on answers.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include "common/temp_dir.h"
#include "engine/nat/local_network.h"

namespace tessali::nat {
namespace {

constexpr const char* kHeader =
    "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";

TEST(DefaultGateways, TakesEveryDefaultRouteAndNothingElse) {
    std::string table = std::string(kHeader) +
                        // default via 192.168.1.1 on eth0 (the word is printed in host order)
                        "eth0\t00000000\t0101A8C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n"
                        // the LAN itself: no gateway
                        "eth0\t0001A8C0\t00000000\t0001\t0\t0\t100\t00FFFFFF\t0\t0\t0\n"
                        // a route to 10.0.0.0/8 through a gateway: not a default route
                        "eth1\t0000000A\t0100000A\t0003\t0\t0\t0\t000000FF\t0\t0\t0\n"
                        // a second adapter's default route, and a duplicate of the first
                        "wlan0\t00000000\t01020A0A\t0003\t0\t0\t600\t00000000\t0\t0\t0\n"
                        "eth2\t00000000\t0101A8C0\t0003\t0\t0\t700\t00000000\t0\t0\t0\n"
                        // a default route that is down, and one with a zero gateway
                        "eth3\t00000000\t0103A8C0\t0002\t0\t0\t0\t00000000\t0\t0\t0\n"
                        "tun0\t00000000\t00000000\t0001\t0\t0\t0\t00000000\t0\t0\t0\n";
    EXPECT_EQ(ParseDefaultGateways(table), (std::set<std::string>{"192.168.1.1", "10.10.2.1"}));
}

TEST(DefaultGateways, MalformedOrMissingTablesGiveNoGateway) {
    EXPECT_TRUE(ParseDefaultGateways("").empty());
    EXPECT_TRUE(ParseDefaultGateways(std::string(kHeader)).empty());
    // Truncated line, non-hex words, an over-long word: all skipped, the good line still read.
    std::string table = std::string(kHeader) + "eth0\t00000000\t0101A8C0\n" +
                        "eth0\t00000000\tZZ01A8C0\t0003\t0\t0\t0\t00000000\n" +
                        "eth0\t00000000\t1230101A8C0\t0003\t0\t0\t0\t00000000\n" +
                        "eth0\t00000000\t0201A8C0\t0003\t0\t0\t0\t00000000\t0\t0\t0\n";
    EXPECT_EQ(ParseDefaultGateways(table), std::set<std::string>{"192.168.1.2"});
    EXPECT_TRUE(ReadDefaultGateways("/nonexistent/route").empty());

    test::TempDir dir;
    test::WriteFile(dir.File("route"),
                    std::string(kHeader) + "e\t00000000\t0100A8C0\t0003\t0\t0\t0\t00000000\n");
    EXPECT_EQ(ReadDefaultGateways(dir.File("route")), std::set<std::string>{"192.168.0.1"});
}

TEST(LocalNetworks, AddressesAreMatchedUnderTheirMasks) {
    uint32_t lan = 0, mask = 0, inside = 0, outside = 0, edge = 0;
    ASSERT_TRUE(ParseDotted("192.168.5.10", lan));
    ASSERT_TRUE(ParseDotted("255.255.255.0", mask));
    ASSERT_TRUE(ParseDotted("192.168.5.200", inside));
    ASSERT_TRUE(ParseDotted("192.168.6.1", outside));
    ASSERT_TRUE(ParseDotted("192.168.5.255", edge));
    std::vector<Ipv4Network> nets{{lan, mask}};
    EXPECT_TRUE(IsOnNetworks(inside, nets));
    EXPECT_TRUE(IsOnNetworks(edge, nets));
    EXPECT_FALSE(IsOnNetworks(outside, nets));
    EXPECT_FALSE(IsOnNetworks(inside, {}));

    // The loopback interface is always up: the socket's own namespace reports it.
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    uint32_t loop = 0;
    ParseDotted("127.0.0.1", loop);
    EXPECT_TRUE(IsOnNetworks(loop, InterfaceNetworks(fd)));
    close(fd);
}

}  // namespace
}  // namespace tessali::nat
