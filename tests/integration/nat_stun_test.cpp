// NAT-type detection against Debian's stund, with the host, the router and the server in
// network namespaces made by the test. Debian's stun client classifies the same setup, and both
// must agree. The router's nftables rule decides the kind of NAT in between.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <sstream>

#include "common/net_namespace.h"
#include "common/temp_dir.h"
#include "engine/core/engine_env.h"
#include "engine/nat/stun.h"

namespace tessali::nat {
namespace {

constexpr const char* kServer = "11.2.0.1";
constexpr const char* kServerAlt = "11.2.0.2";

// server (stund on two addresses) -- router (NAT) -- host
struct StunNet {
    test::NetNamespace server{"stun-s"}, router{"stun-r"}, host{"stun-h"};
    pid_t stund = -1;
    test::TempDir dir;

    bool Build(std::string& why) {
        if (!server.Ok() || !router.Ok() || !host.Ok()) {
            why = "namespaces could not be created";
            return false;
        }
        bool ok = test::RunHostCommand("ip -n " + router.Name() +
                                       " link add ext type veth peer name eth0 netns " + server.Name()) &&
                  test::RunHostCommand("ip -n " + router.Name() +
                                       " link add int type veth peer name eth0 netns " + host.Name()) &&
                  server.Run(
                      "ip addr add 11.2.0.1/24 dev eth0 && ip addr add 11.2.0.2/24 dev eth0 && "
                      "ip link set eth0 up") &&
                  router.Run(
                      "ip addr add 11.2.0.254/24 dev ext && ip link set ext up && "
                      "ip addr add 192.168.9.1/24 dev int && ip link set int up && "
                      "sysctl -qw net.ipv4.ip_forward=1") &&
                  host.Run(
                      "ip addr add 192.168.9.2/24 dev eth0 && ip link set eth0 up && "
                      "ip route add default via 192.168.9.1") &&
                  router.Run(
                      "nft add table ip nat && nft add chain ip nat post "
                      "\"{ type nat hook postrouting priority 100; }\" && "
                      "nft add chain ip nat pre \"{ type nat hook prerouting priority -100; }\"");
        if (!ok) {
            why = "the namespace network could not be set up (veth, nftables)";
            return false;
        }
        stund = server.Spawn({"stund", "-h", kServer, "-a", kServerAlt}, dir.File("stund.log"));
        // stund binds at once; a short pause lets it before the first request.
        usleep(300 * 1000);
        return stund > 0;
    }

    // Replaces the router's NAT rules.
    bool SetNat(const std::string& postRule, const std::string& preRule = "") {
        std::string cmd =
            "nft flush chain ip nat post && nft flush chain ip nat pre && nft add rule ip nat post " +
            postRule;
        if (!preRule.empty()) {
            cmd += " && nft add rule ip nat pre " + preRule;
        }
        return router.Run(cmd);
    }

    // Debian's stun client on the host, reduced to our classes.
    int ReferenceClass(test::NetNamespace& where) {
        std::string out = where.Output(std::string("stun ") + kServer);
        if (out.find("Open") != std::string::npos) {
            return kNatOpen;
        }
        if (out.find("Independent Mapping, Independent Filter") != std::string::npos) {
            return kNatFullCone;
        }
        if (out.find("Independent Mapping, Address Dependent Filter") != std::string::npos) {
            return kNatRestrictedCone;
        }
        if (out.find("Independent Mapping, Port Dependent Filter") != std::string::npos) {
            return kNatPortRestrictedCone;
        }
        if (out.find("Dependent Mapping") != std::string::npos) {
            return kNatSymmetric;
        }
        if (out.find("Firewall") != std::string::npos) {
            return kNatSymmetricFirewall;
        }
        if (out.find("Blocked") != std::string::npos) {
            return kNatUdpBlocked;
        }
        ADD_FAILURE() << "stun client said: " << out;
        return -1;
    }

    int OurClass(test::NetNamespace& where, StunObservations* seen = nullptr) {
        int word = kStunFailed;
        std::ostringstream diag;
        where.RunInside([&] {
            CStunTester tester({}, diag);
            word = tester.TestServer(std::string(kServer) + ":3478");
            if (seen) {
                *seen = tester.LastObservations();
            }
        });
        return word;
    }
};

class StunIntegration : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        std::string why = test::NetNamespaceUnavailableReason();
        if (!why.empty()) {
            s_skip = why;
            return;
        }
        s_net = std::make_unique<StunNet>();
        if (!s_net->Build(s_skip)) {
            s_net.reset();
        }
    }
    static void TearDownTestSuite() { s_net.reset(); }
    void SetUp() override {
        if (!s_net) {
            GTEST_SKIP() << s_skip;
        }
    }
    static std::unique_ptr<StunNet> s_net;
    static std::string s_skip;
};

std::unique_ptr<StunNet> StunIntegration::s_net;
std::string StunIntegration::s_skip;

TEST_F(StunIntegration, HostWithTheServersOwnNetworkIsOpenInternet) {
    // The server's namespace itself holds the mapped address, so there is no NAT.
    StunObservations seen;
    int word = s_net->OurClass(s_net->server, &seen);
    EXPECT_EQ(word & 7, kNatOpen) << "word " << word;
    EXPECT_TRUE(seen.test1 && seen.test2 && seen.test3);
    EXPECT_FALSE(seen.behindNat);
    EXPECT_EQ(s_net->ReferenceClass(s_net->server), kNatOpen);
}

TEST_F(StunIntegration, NatTypesBehindTheRouterAgreeWithTheReferenceClient) {
    struct Case {
        const char* what;
        std::string post, pre;
        int expected;
    };
    // Masquerade keeps the source port and filters by address and port: port restricted cone.
    // With random ports every destination gets its own mapping: symmetric. Forwarding every
    // preserved port back to the host opens the filter: full cone.
    const Case cases[] = {
        {"masquerade", "oifname ext masquerade", "", kNatPortRestrictedCone},
        {"random ports", "oifname ext masquerade random", "", kNatSymmetric},
        {"forwarded ports", "oifname ext masquerade", "iifname ext udp dport 1024-65535 dnat to 192.168.9.2",
         kNatFullCone},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(s_net->SetNat(c.post, c.pre));
        StunObservations seen;
        int word = s_net->OurClass(s_net->host, &seen);
        EXPECT_TRUE(seen.behindNat);
        EXPECT_EQ(word & 7, c.expected) << "word " << word;
        EXPECT_EQ(s_net->ReferenceClass(s_net->host), c.expected);
    }
}

TEST_F(StunIntegration, SilentPrimaryLeadsToTheFallback) {
    ASSERT_TRUE(s_net->SetNat("oifname ext masquerade"));
    std::vector<std::string> asked;
    int type = -1;
    s_net->host.RunInside([&] {
        CStunTester tester;
        type = DetectNatType("11.2.0.9:3478", std::string(kServer), [&](const std::string& name) {
            asked.push_back(name);
            return tester.TestServer(name);
        });
    });
    ASSERT_EQ(asked.size(), 2u);
    EXPECT_EQ(asked[1], kServer);
    EXPECT_EQ(type, kNatPortRestrictedCone);
    EXPECT_EQ(core::Host().natType, static_cast<uint32_t>(kNatPortRestrictedCone));
}

TEST_F(StunIntegration, SilentPrimaryAloneGivesUdpBlocked) {
    int word = kStunFailed;
    std::ostringstream diag;
    s_net->host.RunInside([&] { word = CStunTester({}, diag).TestServer("11.2.0.9:3478"); });
    EXPECT_EQ(word & 7, kNatUdpBlocked);
}

TEST_F(StunIntegration, BusyAdjacentPortsGiveFailureOnBothServers) {
    int type = -1;
    std::ostringstream diag;
    s_net->host.RunInside([&] {
        // Something else holds the port after the chosen one, for either server.
        int busy = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(5001);
        ASSERT_EQ(bind(busy, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
        CStunTester tester([] { return uint16_t{5000}; }, diag);
        type = DetectNatType(kServer, kServer, [&](const std::string& n) { return tester.TestServer(n); });
        close(busy);
    });
    EXPECT_EQ(type, kNatFailure);
    EXPECT_NE(diag.str().find("Port 5001 for receiving UDP is in use"), std::string::npos) << diag.str();
}

}  // namespace
}  // namespace tessali::nat
