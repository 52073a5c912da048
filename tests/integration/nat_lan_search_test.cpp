// LAN source search between two engines' searchers, each in its own namespace on one bridge:
//   A 10.77.0.1 --+-- br0 (switch) --+-- B 10.77.0.2
// Both instances live in this process; each socket was opened inside its host's namespace.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "common/log_capture.h"
#include "common/net_namespace.h"
#include "engine/nat/lan_search.h"
#include "engine/nat/local_network.h"

namespace tessali::nat {
namespace {

using core::TaskHash;

uint32_t Addr(const char* dotted) {
    uint32_t a = 0;
    ParseDotted(dotted, a);
    return a;
}

struct FoundPeer {
    TaskHash hash;
    std::string id;
    std::string address;
    uint16_t port;
};

struct RecordingSink : ILanPeerSink {
    std::vector<FoundPeer> peers;
    void AddLanPeer(const TaskHash& hash, std::span<const uint8_t, 20> id, uint32_t address,
                    uint16_t port) override {
        peers.push_back({hash, std::string(id.begin(), id.end()), DottedText(address), port});
    }
};

// One engine's side: its tasks, identity and what its searcher handed over.
struct Side {
    std::set<TaskHash> tasks;
    std::vector<TaskHash> asked;  // every hash the searcher looked up
    RecordingSink sink;
    std::unique_ptr<CLanSearch> search;

    Side(std::string peerId, uint16_t port) {
        CLanSearch::Hooks hooks;
        hooks.hasTask = [this](const TaskHash& h) {
            asked.push_back(h);
            return tasks.count(h) > 0;
        };
        hooks.listenPort = [port] { return port; };
        hooks.peerId = [peerId] { return peerId; };
        hooks.sink = &sink;
        search = std::make_unique<CLanSearch>(hooks);
    }
};

TaskHash Hash(uint8_t seed) {
    TaskHash h;
    for (size_t i = 0; i < h.bytes.size(); ++i) {
        h.bytes[i] = static_cast<uint8_t>(seed * 31 + i * 7 + 0xA0);
    }
    return h;
}

// Steps every side (the 200 ms timer's work, run faster) until `done` or a few seconds pass.
// Generous deadline: a loaded CI machine may delay multicast delivery by seconds.
bool StepUntil(std::initializer_list<Side*> sides, const std::function<bool()>& done, int maxMs = 10000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(maxMs);
    while (std::chrono::steady_clock::now() < deadline) {
        for (Side* s : sides) {
            s->search->Step();
        }
        if (done()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

class LanSearchIntegration : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_skip = test::NetNamespaceUnavailableReason();
        if (!s_skip.empty()) {
            return;
        }
        s_switch = std::make_unique<test::NetNamespace>("lan-sw");
        s_a = std::make_unique<test::NetNamespace>("lan-a");
        s_b = std::make_unique<test::NetNamespace>("lan-b");
        bool ok = s_switch->Ok() && s_a->Ok() && s_b->Ok() &&
                  s_switch->Run("ip link add br0 type bridge && ip link set br0 up") &&
                  test::RunHostCommand("ip -n " + s_switch->Name() +
                                       " link add pa type veth peer name eth0 netns " + s_a->Name()) &&
                  test::RunHostCommand("ip -n " + s_switch->Name() +
                                       " link add pb type veth peer name eth0 netns " + s_b->Name()) &&
                  s_switch->Run(
                      "ip link set pa master br0 && ip link set pa up && ip link set pb master br0 && "
                      "ip link set pb up") &&
                  s_a->Run("ip addr add 10.77.0.1/24 dev eth0 && ip link set eth0 up") &&
                  s_b->Run("ip addr add 10.77.0.2/24 dev eth0 && ip link set eth0 up");
        if (!ok) {
            s_skip = "the namespace LAN could not be set up (veth, bridge)";
            TearDownTestSuite();
        }
    }
    static void TearDownTestSuite() {
        s_a.reset();
        s_b.reset();
        s_switch.reset();
    }

    void SetUp() override {
        if (!s_a) {
            GTEST_SKIP() << s_skip;
        }
        a = std::make_unique<Side>("MIRT0100AAAAAAAAAAAA", 7001);
        b = std::make_unique<Side>("MIRT0100BBBBBBBBBBBB", 7002);
        ASSERT_TRUE(s_a->RunInside([&] { ASSERT_TRUE(a->search->Start(Addr("10.77.0.1"))); }));
        ASSERT_TRUE(s_b->RunInside([&] { ASSERT_TRUE(b->search->Start(Addr("10.77.0.2"))); }));
    }

    // A plain UDP socket on `ns` (any port), for datagrams the engine would not send itself.
    static int RawSocket(test::NetNamespace& ns, const char* local) {
        int fd = -1;
        ns.RunInside([&] {
            fd = socket(AF_INET, SOCK_DGRAM, 0);
            in_addr iface{};
            iface.s_addr = Addr(local);
            setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &iface, sizeof(iface));
        });
        return fd;
    }
    static void SendText(int fd, const std::string& text, const char* to, uint16_t port) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = Addr(to);
        ASSERT_EQ(sendto(fd, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof(a)),
                  static_cast<ssize_t>(text.size()));
    }

    std::unique_ptr<Side> a, b;
    static std::unique_ptr<test::NetNamespace> s_switch, s_a, s_b;
    static std::string s_skip;
};

std::unique_ptr<test::NetNamespace> LanSearchIntegration::s_switch, LanSearchIntegration::s_a,
    LanSearchIntegration::s_b;
std::string LanSearchIntegration::s_skip;

TEST_F(LanSearchIntegration, EachFindsTheOtherForASharedHashAndNeverAnswersItself) {
    const TaskHash shared = Hash(1);
    a->tasks.insert(shared);
    b->tasks.insert(shared);
    test::LogCapture log;

    a->search->Search(shared);
    ASSERT_TRUE(StepUntil({a.get(), b.get()}, [&] { return !a->sink.peers.empty(); }));
    ASSERT_EQ(a->sink.peers.size(), 1u);
    EXPECT_EQ(a->sink.peers[0].hash, shared);
    EXPECT_EQ(a->sink.peers[0].address, "10.77.0.2");
    EXPECT_EQ(a->sink.peers[0].port, 7002);
    EXPECT_EQ(a->sink.peers[0].id, "MIRT0100BBBBBBBBBBBB");
    EXPECT_TRUE(log.Contains("add local peer ip 10.77.0.2, hash " + shared.ToText() + "\n"));

    b->search->Search(shared);
    ASSERT_TRUE(StepUntil({a.get(), b.get()}, [&] { return !b->sink.peers.empty(); }));
    EXPECT_EQ(b->sink.peers[0].address, "10.77.0.1");
    EXPECT_EQ(b->sink.peers[0].port, 7001);

    // Each search was answered once, by the other side: loop-back is off, nobody hears itself.
    auto lines = log.Lines();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& l) {
                                return l.find("response multicast request") != std::string::npos;
                            }),
              2);
    EXPECT_EQ(a->sink.peers.size(), 1u);
    EXPECT_EQ(b->sink.peers.size(), 1u);
}

TEST_F(LanSearchIntegration, HashNobodyHasGetsNoAnswer) {
    const TaskHash missing = Hash(2);
    a->tasks.insert(missing);  // only the searcher has it
    a->search->Search(missing);
    // B hears the search and looks the hash up...
    ASSERT_TRUE(StepUntil({a.get(), b.get()}, [&] { return !b->asked.empty(); }));
    EXPECT_EQ(b->asked[0], missing);
    // ...and stays silent.
    StepUntil(
        {a.get(), b.get()}, [] { return false; }, 300);
    EXPECT_TRUE(a->sink.peers.empty());
}

TEST_F(LanSearchIntegration, LowerCaseHashDigitsReadTheSame) {
    const TaskHash shared = Hash(3);
    b->tasks.insert(shared);
    int raw = RawSocket(*s_a, "10.77.0.1");
    ASSERT_GE(raw, 0);
    std::string lower = shared.ToText();
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return std::tolower(c); });
    ASSERT_NE(lower, shared.ToText());
    SendText(raw, "DAZIZOVORA-LAN-SEARCH * HTTP/1.1\r\nHASH:" + lower + "\r\n\r\n", kLanGroupAddress,
             kLanSearchPort);

    ASSERT_TRUE(StepUntil({b.get()}, [&] { return !b->asked.empty(); }));
    pollfd p{raw, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 10000), 1) << "no answer to the lower-case search";
    char buf[1024];
    ssize_t n = recv(raw, buf, sizeof(buf), 0);
    ASSERT_GT(n, 0);
    EXPECT_EQ(std::string(buf, static_cast<size_t>(n)),
              "HTTP/1.1 200 OK\r\nHASH:" + shared.ToText() +
                  "\r\nID:MIRT0100BBBBBBBBBBBB\r\nIP:10.77.0.2\r\nPORT:7002\r\n\r\n");
    close(raw);
}

TEST_F(LanSearchIntegration, AnswerNamingAnAddressOffTheLocalNetworkIsIgnored) {
    const TaskHash shared = Hash(4);
    a->tasks.insert(shared);
    int raw = RawSocket(*s_b, "10.77.0.2");
    ASSERT_GE(raw, 0);
    auto answer = [&](const char* ip) {
        return "HTTP/1.1 200 OK\r\nHASH:" + shared.ToText() + "\r\nID:MIRT0100XXXXXXXXXXXX\r\nIP:" + ip +
               "\r\nPORT:7100\r\n\r\n";
    };
    SendText(raw, answer("203.0.113.9"), "10.77.0.1", kLanSearchPort);
    SendText(raw, answer("127.0.0.1"), "10.77.0.1", kLanSearchPort);
    StepUntil(
        {a.get()}, [] { return false; }, 300);
    EXPECT_TRUE(a->sink.peers.empty());

    // The same answer naming an address of the LAN is taken.
    SendText(raw, answer("10.77.0.2"), "10.77.0.1", kLanSearchPort);
    ASSERT_TRUE(StepUntil({a.get()}, [&] { return !a->sink.peers.empty(); }));
    EXPECT_EQ(a->sink.peers[0].address, "10.77.0.2");
    EXPECT_EQ(a->sink.peers[0].port, 7100);
    close(raw);
}

}  // namespace
}  // namespace tessali::nat
