// The order in which listening ports are tried, and opening the listener for real.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <deque>
#include <set>

#include "common/log_capture.h"
#include "engine/core/engine_env.h"
#include "engine/net/listen_port.h"
#include "engine/net/thread_mgr.h"

namespace tessali::net {
namespace {

struct Attempts {
    std::vector<uint16_t> tried;
    std::set<uint16_t> free;  // ports that can be taken
    std::deque<uint32_t> randoms;
    std::function<bool(uint16_t)> Try() {
        return [this](uint16_t p) {
            tried.push_back(p);
            return free.count(p) != 0;
        };
    }
    std::function<uint32_t()> Random() {
        return [this] {
            uint32_t r = randoms.empty() ? 0x1234 : randoms.front();
            if (!randoms.empty()) {
                randoms.pop_front();
            }
            return r;
        };
    }
};

TEST(ListenPort, AReachableHostTriesTheConfiguredPortThenFiveRandomOnes) {
    Attempts a;
    a.randoms = {1, 2, 3, 4, 5};
    EXPECT_EQ(SelectListenPort(0, 6881, inet_addr("192.168.1.77"), a.Try(), a.Random()), 0);
    // Nothing of the first series was free: the address-derived series follows.
    ASSERT_GE(a.tried.size(), 7u);
    EXPECT_EQ(std::vector<uint16_t>(a.tried.begin(), a.tried.begin() + 7),
              (std::vector<uint16_t>{6881, 4097, 4098, 4099, 4100, 4101, 20077}));

    Attempts b;
    b.randoms = {1, 2, 3};
    b.free = {4099};
    EXPECT_EQ(SelectListenPort(0, 6881, inet_addr("192.168.1.77"), b.Try(), b.Random()), 4099);
    EXPECT_EQ(b.tried.size(), 4u);
}

// The shipped deployment file says 0: no port of its own. Binding 0 would give some port the
// engine never learns, so 0 is never tried and a random port takes its attempt.
TEST(ListenPort, NoConfiguredPortMeansARandomOneIsTriedFirst) {
    Attempts a;
    a.randoms = {7, 8};
    a.free = {0, 4103, 4104};
    EXPECT_EQ(SelectListenPort(0, 0, inet_addr("192.168.1.77"), a.Try(), a.Random()), 4103);
    EXPECT_EQ(a.tried, std::vector<uint16_t>{4103});
}

TEST(ListenPort, BehindNatThePortsComeFromTheLastAddressByteThenRandomAvoidingTakenOnes) {
    Attempts a;
    // 8031 (0x1F5F) must be skipped without being tried.
    a.randoms = {0x1F5F, 0x1F5F, 0x1100, 0x1101, 0x1102, 0x1103, 0x1104, 0x1105};
    EXPECT_EQ(SelectListenPort(3, 6881, inet_addr("10.0.0.77"), a.Try(), a.Random()), 0);
    EXPECT_EQ(a.tried, (std::vector<uint16_t>{20077, 25077, 24077, 23077, 22077, 21077, 20077, 0x1100, 0x1101,
                                              0x1102, 0x1103, 0x1104, 0x1105}));

    Attempts b;
    b.free = {23077};
    EXPECT_EQ(SelectListenPort(3, 6881, inet_addr("10.0.0.77"), b.Try(), b.Random()), 23077);
    EXPECT_EQ(b.tried.size(), 4u);
}

TEST(ListenPort, OpeningStoresThePortAndAnOccupiedPortMovesOn) {
    test::LogCapture log;
    core::HostFacts& host = core::Host();
    uint32_t savedNat = host.natType, savedAddr = host.localAddress;
    uint16_t savedPort = host.listenPort;
    CFragmentPool q;
    CThreadMgr mgr(q, nullptr);

    // Hold the configured port with another socket: the next candidates must be used.
    int holder = mgr.CreateTcpListen(0);
    ASSERT_GE(holder, 0);
    uint16_t taken = CThreadMgr::LocalPort(holder);
    host.natType = 0;
    host.localAddress = inet_addr("127.0.0.1");
    uint16_t port = OpenListenPort(mgr, taken);
    EXPECT_NE(port, 0);
    EXPECT_NE(port, taken);
    EXPECT_EQ(host.listenPort.load(), port);
    EXPECT_TRUE(log.Contains("Listenport: " + std::to_string(port) + ",Nattype: 0\n"));
    host.natType = savedNat;
    host.localAddress = savedAddr;
    host.listenPort = savedPort;
}

// Opened for real with no configured port: the port recorded is one the engine listens on, and
// a port whose UDP side is taken is passed over (reliable UDP needs the same number).
TEST(ListenPort, WithNoConfiguredPortTheBoundPortIsRecordedAndUdpMustBeFreeToo) {
    test::LogCapture log;
    core::HostFacts& host = core::Host();
    uint32_t savedNat = host.natType, savedAddr = host.localAddress;
    uint16_t savedPort = host.listenPort;
    CFragmentPool q;
    CThreadMgr mgr(q, nullptr);
    host.natType = 0;
    host.localAddress = inet_addr("127.0.0.1");
    host.listenPort = 0;
    std::vector<uint16_t> asked;
    uint16_t port = OpenListenPort(mgr, 0, [&asked](uint16_t p) {
        asked.push_back(p);
        return asked.size() > 1;  // the first candidate's UDP port is "taken"
    });
    ASSERT_NE(port, 0);
    ASSERT_EQ(asked.size(), 2u);
    EXPECT_EQ(port, asked[1]);
    EXPECT_GE(port, 4096);
    EXPECT_LE(port, 8191);
    EXPECT_EQ(host.listenPort.load(), port);
    EXPECT_FALSE(log.Contains("listen fail"));
    // Something listens there: a connection is accepted.
    int c = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(port);
    EXPECT_EQ(connect(c, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    close(c);
    host.natType = savedNat;
    host.localAddress = savedAddr;
    host.listenPort = savedPort;
}

}  // namespace
}  // namespace tessali::net
