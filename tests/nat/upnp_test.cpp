// The mapping exchange of CUpnp against a small SOAP router on loopback, the router exchange's
// bounds, and the refusals of prepare and search.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "common/log_capture.h"
#include "common/temp_dir.h"
#include "engine/nat/upnp.h"

namespace tessali::nat {
namespace {

uint32_t Loopback() {
    return htonl(INADDR_LOOPBACK);
}

// Accepts one request per connection and answers it by the policy; records the actions.
class FakeRouter {
public:
    struct Held {
        std::string client, description;
    };
    std::mutex lock;
    std::vector<std::string> actions;  // "Get TCP", "Delete UDP", "Add TCP", ...
    std::map<std::string, Held> held;  // protocol -> mapping
    std::atomic<bool> refuseAddUdp{false};
    std::atomic<bool> keepOpen{false};  // answer with Content-Length and leave the connection open

    void Hold(const std::string& protocol, Held h) {
        std::lock_guard l(lock);
        held[protocol] = std::move(h);
    }
    Held HeldFor(const std::string& protocol) {
        std::lock_guard l(lock);
        return held[protocol];
    }

    FakeRouter() {
        m_listen = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = Loopback();
        bind(m_listen, reinterpret_cast<sockaddr*>(&a), sizeof(a));
        listen(m_listen, 16);
        socklen_t len = sizeof(a);
        getsockname(m_listen, reinterpret_cast<sockaddr*>(&a), &len);
        m_port = ntohs(a.sin_port);
        m_thread = std::thread([this] { Serve(); });
    }
    ~FakeRouter() {
        m_stop = true;
        m_thread.join();
        close(m_listen);
        for (int fd : m_open) {
            close(fd);
        }
    }
    uint16_t Port() const { return m_port; }

private:
    static std::string Between(const std::string& s, const std::string& open, const std::string& close) {
        size_t a = s.find(open);
        size_t b = a == std::string::npos ? a : s.find(close, a + open.size());
        return b == std::string::npos ? "" : s.substr(a + open.size(), b - a - open.size());
    }

    void Serve() {
        while (!m_stop) {
            pollfd p{m_listen, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) {
                continue;
            }
            int c = accept(m_listen, nullptr, nullptr);
            std::string req;
            char buf[2048];
            // The request is complete once its announced body has arrived.
            while (true) {
                ssize_t n = recv(c, buf, sizeof(buf), 0);
                if (n <= 0) {
                    break;
                }
                req.append(buf, static_cast<size_t>(n));
                size_t head = req.find("\r\n\r\n");
                std::string len = Between(req, "Content-Length: ", "\r\n");
                if (head != std::string::npos && !len.empty() && req.size() >= head + 4 + std::stoul(len)) {
                    break;
                }
            }
            std::string body = Handle(req);
            std::string status = body.empty() ? "500 Internal Server Error" : "200 OK";
            std::string answer = "HTTP/1.1 " + status + "\r\nContent-Length: " + std::to_string(body.size()) +
                                 "\r\n\r\n" + body;
            send(c, answer.data(), answer.size(), MSG_NOSIGNAL);
            if (keepOpen) {
                m_open.push_back(c);
            } else {
                close(c);
            }
        }
    }

    std::string Handle(const std::string& req) {
        std::lock_guard l(lock);
        std::string protocol = Between(req, "<NewProtocol>", "</NewProtocol>");
        if (req.find("#GetSpecificPortMappingEntry\"") != std::string::npos) {
            actions.push_back("Get " + protocol);
            auto it = held.find(protocol);
            if (it == held.end()) {
                return "";
            }
            return "<u:R><NewInternalClient>" + it->second.client +
                   "</NewInternalClient><NewPortMappingDescription>" + it->second.description +
                   "</NewPortMappingDescription></u:R>";
        }
        if (req.find("#DeletePortMapping\"") != std::string::npos) {
            actions.push_back("Delete " + protocol);
            return held.erase(protocol) ? "<ok/>" : "";
        }
        if (req.find("#AddPortMapping\"") != std::string::npos) {
            actions.push_back("Add " + protocol);
            if (protocol == "UDP" && refuseAddUdp) {
                return "";
            }
            held[protocol] = {Between(req, "<NewInternalClient>", "</NewInternalClient>"),
                              Between(req, "<NewPortMappingDescription>", "</NewPortMappingDescription>")};
            return "<ok/>";
        }
        return "";
    }

    int m_listen = -1;
    uint16_t m_port = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
    std::vector<int> m_open;
};

UpnpRouter RouterAt(const FakeRouter& r) {
    return {Loopback(), r.Port(), "/ctl/IPConn", kWanIpService};
}

std::vector<std::string> Actions(FakeRouter& r) {
    std::lock_guard l(r.lock);
    return r.actions;
}

TEST(UpnpMapping, FreshPortIsDeletedThenAddedForBothProtocols) {
    FakeRouter router;
    CUpnp upnp;
    upnp.SetMappingTarget(Loopback(), 6881);
    test::LogCapture log;
    upnp.MapWithRouter(RouterAt(router));
    EXPECT_TRUE(upnp.TcpMapped());
    EXPECT_TRUE(upnp.UdpMapped());
    EXPECT_EQ(Actions(router), (std::vector<std::string>{"Get TCP", "Delete TCP", "Add TCP", "Get UDP",
                                                         "Delete UDP", "Add UDP"}));
    EXPECT_EQ(router.HeldFor("TCP").client, "127.0.0.1");
    EXPECT_EQ(router.HeldFor("UDP").description, "Zorvanteque4.0");
    EXPECT_TRUE(log.Contains("###tcp port mapping finish!!!\n"));
    EXPECT_TRUE(log.Contains("###udp port mapping finish!!!\n"));
}

TEST(UpnpMapping, OwnMappingIsLeftAloneAndAnotherHostsIsReplaced) {
    FakeRouter router;
    router.Hold("TCP", {"127.0.0.1", "Zorvanteque4.0"});
    router.Hold("UDP", {"127.0.0.9", "Zorvanteque4.0"});  // same description, other host
    CUpnp upnp;
    upnp.SetMappingTarget(Loopback(), 6881);
    test::LogCapture log;
    upnp.MapWithRouter(RouterAt(router));
    EXPECT_TRUE(upnp.TcpMapped());
    EXPECT_TRUE(upnp.UdpMapped());
    EXPECT_EQ(Actions(router), (std::vector<std::string>{"Get TCP", "Get UDP", "Delete UDP", "Add UDP"}));
    EXPECT_EQ(router.HeldFor("UDP").client, "127.0.0.1");
    EXPECT_TRUE(log.Contains("###tcp port mapping ok!!!\n"));
    EXPECT_FALSE(log.Contains("###tcp port mapping finish!!!\n"));
}

TEST(UpnpMapping, RefusedUdpLeavesTcpMappedAndLaterAnswersRetryOnlyUdp) {
    FakeRouter router;
    router.refuseAddUdp = true;
    CUpnp upnp;
    upnp.SetMappingTarget(Loopback(), 6881);
    test::LogCapture log;
    upnp.MapWithRouter(RouterAt(router));
    EXPECT_TRUE(upnp.TcpMapped());
    EXPECT_FALSE(upnp.UdpMapped());
    EXPECT_TRUE(log.Contains("AddPortMapping Fail!!\n"));
    // The next answer from the router starts again from the protocols not yet mapped.
    router.refuseAddUdp = false;
    size_t before = Actions(router).size();
    upnp.MapWithRouter(RouterAt(router));
    std::vector<std::string> all = Actions(router);
    std::vector<std::string> later(all.begin() + static_cast<long>(before), all.end());
    EXPECT_EQ(later, (std::vector<std::string>{"Get UDP", "Delete UDP", "Add UDP"}));
    EXPECT_TRUE(upnp.UdpMapped());
}

TEST(UpnpMapping, RouterThatCannotBeReachedMapsNothing) {
    uint16_t deadPort;
    {
        FakeRouter gone;
        deadPort = gone.Port();
    }  // closed: connections are refused
    CUpnp upnp;
    upnp.SetMappingTarget(Loopback(), 6881);
    test::LogCapture log;
    upnp.MapWithRouter({Loopback(), deadPort, "/ctl", kWanIpService});
    EXPECT_FALSE(upnp.TcpMapped());
    EXPECT_FALSE(upnp.UdpMapped());
    EXPECT_TRUE(log.Contains("DelPortMapping Fail!!\n"));
}

TEST(RouterExchange, StopsAtTheAnnouncedLengthAndAtItsBound) {
    FakeRouter router;
    router.keepOpen = true;  // a router that never closes must not hold the search
    std::string answer;
    SoapMapping m{1, 1, "TCP", "127.0.0.1", "d"};
    router.Hold("TCP", {"127.0.0.1", std::string(1500, 'd')});
    ASSERT_TRUE(RouterExchange(Loopback(), router.Port(),
                               BuildSoapRequest(SoapAction::kGetSpecificPortMappingEntry, "/c", "127.0.0.1",
                                                router.Port(), kWanIpService, m),
                               4096, answer));
    EXPECT_NE(answer.find("</u:R>"), std::string::npos);
    // With a smaller bound the answer is cut, never longer.
    ASSERT_TRUE(RouterExchange(Loopback(), router.Port(),
                               BuildSoapRequest(SoapAction::kGetSpecificPortMappingEntry, "/c", "127.0.0.1",
                                                router.Port(), kWanIpService, m),
                               600, answer));
    EXPECT_EQ(answer.size(), 600u);
}

TEST(UpnpPrepare, NoGatewayOrNoPreparationRefusesTheSearch) {
    test::TempDir dir;
    test::WriteFile(dir.File("route"),
                    "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\n"
                    "eth0\t0001A8C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\n");
    CUpnp upnp;
    EXPECT_FALSE(upnp.Prepare(Loopback(), dir.File("route")));
    EXPECT_EQ(upnp.SearchAndMap(6881), -1);

    // With a gateway the socket opens; after shutdown the search is refused again. (No search
    // runs here: it would send to the machine's real network.)
    test::WriteFile(dir.File("route2"),
                    "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\n"
                    "eth0\t00000000\t0101A8C0\t0003\t0\t0\t0\t00000000\n");
    EXPECT_TRUE(upnp.Prepare(Loopback(), dir.File("route2")));
    EXPECT_EQ(upnp.Gateways(), std::set<std::string>{"192.168.1.1"});
    upnp.Shutdown();
    EXPECT_TRUE(upnp.Gateways().empty());
    EXPECT_EQ(upnp.SearchAndMap(6881), -1);
}

}  // namespace
}  // namespace tessali::nat
