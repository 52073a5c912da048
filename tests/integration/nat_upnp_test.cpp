// UPnP port mapping against a real miniupnpd playing the gateway of a namespace LAN:
//   host 192.168.8.2 --+
//                      +-- br0 192.168.8.1 (router, miniupnpd; external side 11.3.0.254)
//   rogue 192.168.8.3 -+
// The rogue host answers searches itself, naming addresses that are not the host's gateway.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

#include "common/log_capture.h"
#include "common/net_namespace.h"
#include "common/temp_dir.h"
#include "engine/core/engine_env.h"
#include "engine/nat/nat_setup.h"
#include "engine/nat/stun.h"
#include "engine/nat/upnp.h"
#include "engine/platform/deploy_config.h"

namespace tessali::nat {
namespace {

constexpr const char* kHostAddr = "192.168.8.2";
constexpr const char* kRouterAddr = "192.168.8.1";
constexpr const char* kRogueAddr = "192.168.8.3";
constexpr uint16_t kRouterHttpPort = 5000;
// The namespace's own routing table, as the thread that entered it sees it.
constexpr const char* kRouteFile = "/proc/thread-self/net/route";

uint32_t Addr(const char* dotted) {
    uint32_t a = 0;
    ParseDotted(dotted, a);
    return a;
}

struct UpnpNet {
    test::NetNamespace router{"upnp-r"}, host{"upnp-h"}, rogue{"upnp-x"};
    test::TempDir dir;
    pid_t miniupnpd = -1;

    bool Build() {
        if (!router.Ok() || !host.Ok() || !rogue.Ok()) {
            return false;
        }
        test::WriteFile(
            dir.File("rules.nft"),
            "table inet filter {\n"
            "  chain forward { type filter hook forward priority 0; policy accept; jump miniupnpd; }\n"
            "  chain miniupnpd { }\n"
            "  chain prerouting { type nat hook prerouting priority -100; policy accept; "
            "jump prerouting_miniupnpd; }\n"
            "  chain postrouting { type nat hook postrouting priority 100; policy accept; "
            "jump postrouting_miniupnpd; }\n"
            "  chain prerouting_miniupnpd { }\n"
            "  chain postrouting_miniupnpd { }\n"
            "}\n");
        test::WriteFile(
            dir.File("miniupnpd.conf"),
            "ext_ifname=ext\nlistening_ip=br0\nhttp_port=5000\nenable_natpmp=no\nenable_upnp=yes\n"
            "secure_mode=no\nsystem_uptime=yes\nforce_igd_desc_v1=yes\n"
            "uuid=3d3cec3a-8cf0-11e0-98ee-001a6bd2d07b\n"
            "upnp_table_name=filter\nupnp_nat_table_name=filter\nupnp_forward_chain=miniupnpd\n"
            "upnp_nat_chain=prerouting_miniupnpd\nupnp_nat_postrouting_chain=postrouting_miniupnpd\n"
            "allow 1024-65535 0.0.0.0/0 1024-65535\n");
        return router.Run(
                   "ip link add ext type veth peer name wan0 && ip addr add 11.3.0.254/24 dev ext && "
                   "ip link set ext up && ip link set wan0 up && ip link add br0 type bridge && "
                   "ip addr add 192.168.8.1/24 dev br0 && ip link set br0 up && "
                   "sysctl -qw net.ipv4.ip_forward=1") &&
               test::RunHostCommand("ip -n " + router.Name() +
                                    " link add int type veth peer name eth0 netns " + host.Name()) &&
               test::RunHostCommand("ip -n " + router.Name() +
                                    " link add int2 type veth peer name eth0 netns " + rogue.Name()) &&
               router.Run(
                   "ip link set int master br0 && ip link set int up && ip link set int2 master br0 && "
                   "ip link set int2 up") &&
               host.Run(
                   "ip addr add 192.168.8.2/24 dev eth0 && ip link set eth0 up && "
                   "ip route add default via 192.168.8.1") &&
               rogue.Run(
                   "ip addr add 192.168.8.3/24 dev eth0 && ip link set eth0 up && "
                   "ip route add default via 192.168.8.1") &&
               router.Run("nft -f " + dir.File("rules.nft"));
    }

    bool StartMiniupnpd() {
        if (miniupnpd > 0) {
            return true;
        }
        miniupnpd =
            router.Spawn({"miniupnpd", "-f", dir.File("miniupnpd.conf"), "-d", "-4", "-P", dir.File("pid")},
                         dir.File("miniupnpd.log"));
        // Ready once its HTTP port accepts connections.
        for (int i = 0; i < 50 && miniupnpd > 0; ++i) {
            if (router.Run(
                    "nc -z 192.168.8.1 5000 2>/dev/null || "
                    "python3 -c \"import socket;socket.create_connection((\\\"192.168.8.1\\\",5000),1)\"")) {
                return true;
            }
            usleep(100 * 1000);
        }
        return false;
    }

    void StopMiniupnpd() {
        if (miniupnpd > 0) {
            router.Stop(miniupnpd);
            miniupnpd = -1;
        }
    }

    // What the router holds for `port`/`protocol`: "<client> <description>", or "" for nothing.
    std::string MappingAt(uint16_t port, const char* protocol) {
        std::string answer;
        host.RunInside([&] {
            SoapMapping m;
            m.externalPort = port;
            m.protocol = protocol;
            RouterExchange(Addr(kRouterAddr), kRouterHttpPort,
                           BuildSoapRequest(SoapAction::kGetSpecificPortMappingEntry, "/ctl/IPConn",
                                            kRouterAddr, kRouterHttpPort, kWanIpService, m),
                           kSoapAnswerBytes, answer);
        });
        std::string client, description;
        if (answer.find("200 OK") == std::string::npos ||
            !FindElementText(answer, "NewInternalClient", client) ||
            !FindElementText(answer, "NewPortMappingDescription", description)) {
            return "";
        }
        return client + " " + description;
    }

    bool AddForeignMapping(uint16_t port, const char* protocol, const char* client) {
        std::string answer;
        host.RunInside([&] {
            SoapMapping m;
            m.externalPort = port;
            m.internalPort = port;
            m.protocol = protocol;
            m.internalClient = client;
            m.description = "someone else";
            RouterExchange(Addr(kRouterAddr), kRouterHttpPort,
                           BuildSoapRequest(SoapAction::kAddPortMapping, "/ctl/IPConn", kRouterAddr,
                                            kRouterHttpPort, kWanIpService, m),
                           kSoapAnswerBytes, answer);
        });
        return answer.find("200 OK") != std::string::npos;
    }

    // One search from the host, with a fresh CUpnp prepared inside the host's namespace.
    int Search(uint16_t port) {
        int result = -2;
        host.RunInside([&] {
            CUpnp upnp;
            if (upnp.Prepare(Addr(kHostAddr), kRouteFile)) {
                result = upnp.SearchAndMap(port);
            }
        });
        return result;
    }
};

class UpnpIntegration : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_skip = test::NetNamespaceUnavailableReason();
        if (!s_skip.empty()) {
            return;
        }
        s_net = std::make_unique<UpnpNet>();
        if (!s_net->Build()) {
            s_skip = "the namespace LAN could not be set up (veth, bridge, nftables)";
            s_net.reset();
        }
    }
    static void TearDownTestSuite() { s_net.reset(); }
    void SetUp() override {
        if (!s_net) {
            GTEST_SKIP() << s_skip;
        }
    }
    void StartRouter() {
        if (!s_net->StartMiniupnpd()) {
            GTEST_SKIP() << "miniupnpd did not start: " << test::ReadFile(s_net->dir.File("miniupnpd.log"));
        }
    }
    static std::unique_ptr<UpnpNet> s_net;
    static std::string s_skip;
};

std::unique_ptr<UpnpNet> UpnpIntegration::s_net;
std::string UpnpIntegration::s_skip;

TEST_F(UpnpIntegration, EngineMapsItsListenPortAndReportsOpenThenFindsTheMappingPresent) {
    StartRouter();
    platform::SetDeploy({});  // NAT type not fixed: detection and mapping decide it
    core::Host().natType = kNatPortRestrictedCone;
    core::Host().listenPort = 6881;
    core::Host().localAddress = Addr(kHostAddr);

    int result = -2;
    s_net->host.RunInside([&] {
        ASSERT_TRUE(CUpnp::Instance().Prepare(core::Host().localAddress, kRouteFile));
        EXPECT_EQ(CUpnp::Instance().Gateways(), std::set<std::string>{kRouterAddr});
        result = MapListenPort();
    });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(core::Host().natType, 0u);
    EXPECT_EQ(s_net->MappingAt(6881, "TCP"), std::string(kHostAddr) + " Zorvanteque4.0");
    EXPECT_EQ(s_net->MappingAt(6881, "UDP"), std::string(kHostAddr) + " Zorvanteque4.0");
    // The router really forwards the port to the host.
    EXPECT_NE(s_net->router.Output("nft list chain inet filter prerouting_miniupnpd").find("192.168.8.2"),
              std::string::npos);

    // A second search sees the mapping is this host's and leaves it alone.
    test::LogCapture log;
    s_net->host.RunInside([&] { result = CUpnp::Instance().SearchAndMap(6881); });
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(log.Contains("###tcp port mapping ok!!!\n"));
    EXPECT_TRUE(log.Contains("###udp port mapping ok!!!\n"));
    EXPECT_FALSE(log.Contains("###tcp port mapping finish!!!\n"));
    EXPECT_FALSE(log.Contains("###udp port mapping finish!!!\n"));
    EXPECT_TRUE(log.Contains("*****port mapping ok!!\n"));
    CUpnp::Destroy();
}

TEST_F(UpnpIntegration, MappingHeldByAnotherHostIsReplaced) {
    StartRouter();
    ASSERT_TRUE(s_net->AddForeignMapping(6990, "TCP", kRogueAddr));
    ASSERT_EQ(s_net->MappingAt(6990, "TCP"), std::string(kRogueAddr) + " someone else");

    test::LogCapture log;
    EXPECT_EQ(s_net->Search(6990), 0);
    EXPECT_TRUE(log.Contains("###tcp port mapping finish!!!\n"));
    EXPECT_TRUE(log.Contains("###udp port mapping finish!!!\n"));
    EXPECT_EQ(s_net->MappingAt(6990, "TCP"), std::string(kHostAddr) + " Zorvanteque4.0");
    EXPECT_EQ(s_net->MappingAt(6990, "UDP"), std::string(kHostAddr) + " Zorvanteque4.0");
}

// A scripted SSDP and HTTP responder on `address` (port 1900 and 5001): answers every search,
// naming in turn each of `locationHosts` as the LOCATION host, and answers each HTTP request
// with what `http` returns for it (nothing: the connection is just closed).
struct ScriptedResponder {
    const char* address;
    std::vector<const char*> locationHosts;
    std::function<std::string(const std::string&)> http;
    int udp = -1, tcp = -1;
    std::atomic<bool> stop{false};
    std::atomic<int> answers{0}, connections{0};
    std::thread worker;

    bool Open(test::NetNamespace& ns) {
        return ns.RunInside([&] {
            udp = socket(AF_INET, SOCK_DGRAM, 0);
            int one = 1;
            setsockopt(udp, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(1900);
            bind(udp, reinterpret_cast<sockaddr*>(&a), sizeof(a));
            ip_mreq group{};
            group.imr_multiaddr.s_addr = Addr(kSsdpAddress);
            group.imr_interface.s_addr = Addr(address);
            setsockopt(udp, IPPROTO_IP, IP_ADD_MEMBERSHIP, &group, sizeof(group));
            tcp = socket(AF_INET, SOCK_STREAM, 0);
            setsockopt(tcp, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
            a.sin_port = htons(5001);
            bind(tcp, reinterpret_cast<sockaddr*>(&a), sizeof(a));
            listen(tcp, 8);
        }) && udp >= 0 &&
               tcp >= 0;
    }

    void Serve(int c) {
        std::string req;
        char buf[2048];
        while (true) {
            pollfd p{c, POLLIN, 0};
            if (poll(&p, 1, 1000) <= 0) {
                break;
            }
            ssize_t n = recv(c, buf, sizeof(buf), 0);
            if (n <= 0) {
                break;
            }
            req.append(buf, static_cast<size_t>(n));
            size_t head = req.find("\r\n\r\n");
            if (head == std::string::npos) {
                continue;
            }
            std::string len;
            if (!FindHeaderValue(req.substr(0, head + 2), "Content-Length:", len) ||
                req.size() >= head + 4 + std::stoul(len)) {
                break;
            }
        }
        std::string answer = http ? http(req) : "";
        send(c, answer.data(), answer.size(), MSG_NOSIGNAL);
    }

    void Run() {
        worker = std::thread([this] {
            while (!stop) {
                pollfd fds[2] = {{udp, POLLIN, 0}, {tcp, POLLIN, 0}};
                if (poll(fds, 2, 50) <= 0) {
                    continue;
                }
                if (fds[1].revents & POLLIN) {
                    int c = accept(tcp, nullptr, nullptr);
                    ++connections;
                    Serve(c);
                    close(c);
                }
                if (fds[0].revents & POLLIN) {
                    char buf[1024];
                    sockaddr_in from{};
                    socklen_t len = sizeof(from);
                    if (recvfrom(udp, buf, sizeof(buf), 0, reinterpret_cast<sockaddr*>(&from), &len) <= 0) {
                        continue;
                    }
                    const char* host = locationHosts[static_cast<size_t>(answers++) % locationHosts.size()];
                    std::string reply = std::string("HTTP/1.1 200 OK\r\nST: ") + kWanIpService +
                                        "\r\nLOCATION: http://" + host + ":5001/rootDesc.xml\r\n\r\n";
                    sendto(udp, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), len);
                }
            }
        });
    }

    ~ScriptedResponder() {
        stop = true;
        if (worker.joinable()) {
            worker.join();
        }
        close(udp);
        close(tcp);
    }
};

TEST_F(UpnpIntegration, AnswerWhoseLocationIsNotTheGatewayIsIgnored) {
    s_net->StopMiniupnpd();  // only the rogue host answers
    // From its own address it names first itself, then the real gateway, as LOCATION host.
    ScriptedResponder rogue{kRogueAddr, {kRogueAddr, kRouterAddr}, nullptr};
    ASSERT_TRUE(rogue.Open(s_net->rogue));
    rogue.Run();

    test::LogCapture log;
    EXPECT_EQ(s_net->Search(6991), -1);
    EXPECT_GE(rogue.answers, 2);
    EXPECT_TRUE(log.Contains(std::string("router:") + kRogueAddr + "!!\r\n"));  // heard, then dropped
    EXPECT_EQ(rogue.connections, 0) << "the engine fetched a description from a host that is not its gateway";
}

TEST_F(UpnpIntegration, RouterThatRefusesUdpStillGivesATcpMappingAndSuccess) {
    // A gateway of its own making answers in miniupnpd's place: it offers WANIPConnection, has
    // no mapping yet, and accepts the TCP mapping but refuses the UDP one.
    s_net->StopMiniupnpd();
    std::atomic<int> udpRefusals{0};
    auto http = [&](const std::string& req) -> std::string {
        auto reply = [](const char* status, const std::string& body) {
            return std::string("HTTP/1.1 ") + status + "\r\nContent-Length: " + std::to_string(body.size()) +
                   "\r\n\r\n" + body;
        };
        if (req.rfind("GET /rootDesc.xml", 0) == 0) {
            return reply(
                "200 OK",
                "<?xml version=\"1.0\"?><root><device><deviceType>urn:schemas-upnp-org:device:"
                "InternetGatewayDevice:1</deviceType><deviceList><device><deviceType>urn:schemas-upnp-org:"
                "device:WANDevice:1</deviceType><deviceList><device><deviceType>urn:schemas-upnp-org:"
                "device:WANConnectionDevice:1</deviceType><serviceList><service><serviceType>" +
                    std::string(kWanIpService) +
                    "</serviceType><controlURL>/ctl/IPConn</controlURL></service></serviceList></device>"
                    "</deviceList></device></deviceList></device></root>");
        }
        if (req.find("#GetSpecificPortMappingEntry\"") != std::string::npos) {
            return reply("500 Internal Server Error", "<NoSuchEntryInArray/>");
        }
        if (req.find("#DeletePortMapping\"") != std::string::npos) {
            return reply("500 Internal Server Error", "<NoSuchEntryInArray/>");
        }
        if (req.find("<NewProtocol>UDP</NewProtocol>") != std::string::npos) {
            ++udpRefusals;
            return reply("500 Internal Server Error", "<ConflictInMappingEntry/>");
        }
        return reply("200 OK", "<u:AddPortMappingResponse/>");
    };
    ScriptedResponder gateway{kRouterAddr, {kRouterAddr}, http};
    ASSERT_TRUE(gateway.Open(s_net->router));
    gateway.Run();

    test::LogCapture log;
    EXPECT_EQ(s_net->Search(6992), 0);
    EXPECT_GE(udpRefusals, 1);
    EXPECT_TRUE(log.Contains("###tcp port mapping finish!!!\n"));
    EXPECT_TRUE(log.Contains("AddPortMapping Fail!!\n"));
    EXPECT_FALSE(log.Contains("###udp port mapping finish!!!\n"));
    EXPECT_TRUE(log.Contains("*****port mapping ok!!\n"));
}

TEST_F(UpnpIntegration, ADescriptionNestedAMillionDeepFailsTheSearchCleanly) {
    // The gateway's description is a million nested elements (7 MB) the first time, and a
    // 2000-deep nesting that fits the read bound the second time: neither has a control URL.
    s_net->StopMiniupnpd();
    std::atomic<int> descriptions{0}, soap{0};
    const std::string deep = [] {
        std::string d = "<?xml version=\"1.0\"?><root>";
        d.reserve(8'000'000);
        for (int i = 0; i < 1'000'000; ++i) {
            d += "<device>";
        }
        return d;
    }();
    auto http = [&](const std::string& req) -> std::string {
        if (req.rfind("GET /rootDesc.xml", 0) != 0) {
            ++soap;
            return "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n";
        }
        std::string body = deep;
        if (descriptions++ % 2 == 1) {
            body = "<?xml version=\"1.0\"?><root>";
            for (int i = 0; i < 2000; ++i) {
                body += "<a>";
            }
        }
        return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    };
    ScriptedResponder gateway{kRouterAddr, {kRouterAddr}, http};
    ASSERT_TRUE(gateway.Open(s_net->router));
    gateway.Run();

    test::LogCapture log;
    EXPECT_EQ(s_net->Search(6993), -1);
    EXPECT_GE(descriptions, 2) << "both descriptions were read";
    EXPECT_EQ(soap, 0) << "a mapping was asked for without a control URL";
    EXPECT_TRUE(log.Contains(std::string("router:") + kRouterAddr + " description has no control url!!\r\n"));
}

}  // namespace
}  // namespace tessali::nat
