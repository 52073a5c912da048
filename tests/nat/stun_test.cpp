// STUN server names, the classification table, the primary/fallback rule, and the test
// procedure itself against a small server on loopback that answers as told.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <sstream>
#include <thread>

#include "common/log_capture.h"
#include "engine/core/engine_env.h"
#include "engine/nat/stun.h"
#include "engine/nat/stun_message.h"

namespace tessali::nat {
namespace {

TEST(StunServerName, PortRulesAndResolution) {
    StunServerName n = ParseStunServerName("stun.example:3479");
    EXPECT_TRUE(n.valid);
    EXPECT_EQ(n.host, "stun.example");
    EXPECT_EQ(n.port, 3479);
    EXPECT_EQ(ParseStunServerName("stun.example").port, 3478);
    EXPECT_EQ(ParseStunServerName("stun.example:3479x").port, 3478);  // trailing characters
    EXPECT_TRUE(ParseStunServerName("h:1024").valid);
    EXPECT_TRUE(ParseStunServerName("h:65534").valid);
    EXPECT_FALSE(ParseStunServerName("h:1023").valid);
    EXPECT_FALSE(ParseStunServerName("h:65535").valid);
    EXPECT_FALSE(ParseStunServerName("").valid);

    StunServerAddress a = ResolveStunServer("10.1.2.3:4000");
    EXPECT_TRUE(a.valid);
    EXPECT_EQ(a.address, htonl(0x0A010203));
    EXPECT_EQ(a.port, 4000);
    // Unusable names are tested where nothing answers.
    for (const char* bad : {"10.1.2:4000", "h:80", "9bad.name", "no-such-host.invalid"}) {
        StunServerAddress b = ResolveStunServer(bad);
        EXPECT_FALSE(b.valid) << bad;
        EXPECT_EQ(b.address, htonl(INADDR_LOOPBACK)) << bad;
        EXPECT_EQ(b.port, 65535) << bad;
    }
}

TEST(StunClassification, FollowsTheTable) {
    StunObservations s;
    EXPECT_EQ(ClassifyStun(s) & 7, kNatUdpBlocked);
    s.test1 = true;
    s.behindNat = false;
    s.test2 = true;
    EXPECT_EQ(ClassifyStun(s) & 7, kNatOpen);
    s.test2 = false;
    EXPECT_EQ(ClassifyStun(s) & 7, kNatSymmetricFirewall);
    s.behindNat = true;
    s.test2 = true;
    EXPECT_EQ(ClassifyStun(s) & 7, kNatFullCone);
    s.test2 = false;
    s.sameMapping = true;
    s.test3 = true;
    EXPECT_EQ(ClassifyStun(s) & 7, kNatRestrictedCone);
    s.test3 = false;
    EXPECT_EQ(ClassifyStun(s) & 7, kNatPortRestrictedCone);
    s.sameMapping = false;
    s.test3 = true;  // a changed mapping wins over filtering
    EXPECT_EQ(ClassifyStun(s) & 7, kNatSymmetric);

    // The word's extra bits.
    s.hairpin = false;
    s.portPreserved = false;
    EXPECT_EQ(ClassifyStun(s), kNatSymmetric | kStunNoHairpin);
    s.hairpin = true;
    s.portPreserved = true;
    EXPECT_EQ(ClassifyStun(s), kNatSymmetric | kStunPortPreserved);
}

TEST(StunDetection, FallbackOnlyAfterBlockedOrFailure) {
    struct Case {
        int primary, fallback, expected;
        size_t asked;
    };
    const Case cases[] = {
        {kNatUdpBlocked | kStunNoHairpin, kNatFullCone, kNatFullCone, 2},
        {kStunFailed, kNatRestrictedCone | kStunPortPreserved, kNatRestrictedCone, 2},
        {kNatSymmetricFirewall | kStunNoHairpin, kNatOpen, kNatSymmetricFirewall, 1},
        {kNatOpen | kStunPortPreserved, kNatSymmetric, kNatOpen, 1},
        {kNatUdpBlocked, kStunFailed, kNatFailure, 2},
    };
    for (const Case& c : cases) {
        std::vector<std::string> asked;
        int type = DetectNatType("primary:3478", "fallback:3478", [&](const std::string& name) {
            asked.push_back(name);
            return asked.size() == 1 ? c.primary : c.fallback;
        });
        EXPECT_EQ(type, c.expected) << c.primary;
        EXPECT_EQ(core::Host().natType, static_cast<uint32_t>(c.expected));
        ASSERT_EQ(asked.size(), c.asked) << c.primary;
        EXPECT_EQ(asked[0], "primary:3478");
    }
}

// A server on 127.0.0.1 with its "alternate address" on 127.0.0.2, answering per its policy.
class FakeStunServer {
public:
    std::atomic<bool> answerChangeIp{true};
    std::atomic<bool> answerChangePort{true};
    std::atomic<bool> mangleIds{false};   // keep the test number, change the rest of the ID
    std::atomic<bool> malformed{false};   // answer with a broken length field
    std::atomic<bool> omitMapped{false};  // answer without MAPPED-ADDRESS

    FakeStunServer() {
        m_primary = Open("127.0.0.1", 0);
        sockaddr_in a{};
        socklen_t len = sizeof(a);
        getsockname(m_primary, reinterpret_cast<sockaddr*>(&a), &len);
        m_port = ntohs(a.sin_port);
        m_alternate = Open("127.0.0.2", m_port);
        m_thread = std::thread([this] { Serve(); });
    }
    ~FakeStunServer() {
        m_stop = true;
        m_thread.join();
        close(m_primary);
        close(m_alternate);
    }
    std::string Name() const { return "127.0.0.1:" + std::to_string(m_port); }
    bool Ready() const { return m_primary >= 0 && m_alternate >= 0; }

private:
    static int Open(const char* addr, uint16_t port) {
        int fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        inet_pton(AF_INET, addr, &a.sin_addr);
        if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
            close(fd);
            return -1;
        }
        return fd;
    }

    void Serve() {
        while (!m_stop) {
            pollfd fds[2] = {{m_primary, POLLIN, 0}, {m_alternate, POLLIN, 0}};
            if (poll(fds, 2, 20) <= 0) {
                continue;
            }
            for (pollfd& p : fds) {
                if (p.revents & POLLIN) {
                    Answer(p.fd);
                }
            }
        }
    }

    void Answer(int fd) {
        uint8_t buf[1024];
        sockaddr_in from{};
        socklen_t len = sizeof(from);
        ssize_t n = recvfrom(fd, buf, sizeof(buf), 0, reinterpret_cast<sockaddr*>(&from), &len);
        std::ostringstream diag;
        StunMessage req;
        if (n <= 0 || !ParseStunMessage({buf, static_cast<size_t>(n)}, req, diag)) {
            return;
        }
        uint32_t flags = req.hasChangeRequest ? req.changeRequest : 0;
        if (((flags & kChangeIpFlag) && !answerChangeIp) ||
            ((flags & kChangePortFlag) && !answerChangePort)) {
            return;
        }
        StunMessage res;
        res.id = req.id;
        if (mangleIds) {
            res.id[5] ^= 0xFF;
        }
        res.mapped = {!omitMapped, ntohs(from.sin_port), from.sin_addr.s_addr};
        uint32_t alt = 0;
        inet_pton(AF_INET, "127.0.0.2", &alt);
        res.changed = {true, static_cast<uint16_t>(m_port), alt};
        std::vector<uint8_t> bytes = EncodeBindingResponse(res);
        if (malformed) {
            bytes[3] ^= 0x40;
        }
        // Changed answers leave from the alternate socket, as a real server's would.
        int out = (flags & kChangeIpFlag) ? m_alternate : fd;
        sendto(out, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&from), len);
    }

    int m_primary = -1, m_alternate = -1;
    uint16_t m_port = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// Two adjacent free ports for sockets A and B.
uint16_t FreePortPair() {
    for (uint16_t p = 20000; p < 30000; p += 2) {
        std::ostringstream ignore;
        int a = OpenStunSocket(p, 0, ignore);
        int b = a >= 0 ? OpenStunSocket(static_cast<uint16_t>(p + 1), 0, ignore) : -1;
        if (a >= 0) {
            close(a);
        }
        if (b >= 0) {
            close(b);
            return p;
        }
    }
    return 0;
}

class StunProcedure : public ::testing::Test {
protected:
    int Run(FakeStunServer& server) {
        uint16_t port = FreePortPair();
        EXPECT_NE(port, 0);
        CStunTester tester([port] { return port; }, m_diag);
        int word = tester.TestServer(server.Name());
        m_seen = tester.LastObservations();
        return word;
    }
    std::ostringstream m_diag;
    StunObservations m_seen;
};

TEST_F(StunProcedure, AllTestsAnsweredOnOwnAddressIsOpenWithHairpinAndPreservedPort) {
    FakeStunServer server;
    ASSERT_TRUE(server.Ready());
    // Loopback hands back the very port of socket A, and the hairpin request reaches A itself.
    EXPECT_EQ(Run(server), kNatOpen | kStunPortPreserved);
    EXPECT_FALSE(m_seen.behindNat);
    EXPECT_TRUE(m_seen.test3);
    EXPECT_TRUE(m_seen.sameMapping);
}

TEST_F(StunProcedure, NoAnswerFromTheOtherAddressOnOwnAddressIsSymmetricFirewall) {
    FakeStunServer server;
    ASSERT_TRUE(server.Ready());
    server.answerChangeIp = false;
    EXPECT_EQ(Run(server), kNatSymmetricFirewall | kStunPortPreserved);
}

TEST_F(StunProcedure, AnswersThatDoNotEchoTheWholeIdOrDoNotParseCountAsSilence) {
    FakeStunServer server;
    ASSERT_TRUE(server.Ready());
    server.mangleIds = true;
    EXPECT_EQ(Run(server) & 7, kNatUdpBlocked);
    EXPECT_FALSE(m_seen.test1);

    FakeStunServer broken;
    ASSERT_TRUE(broken.Ready());
    broken.malformed = true;
    EXPECT_EQ(Run(broken) & 7, kNatUdpBlocked);
    EXPECT_NE(m_diag.str().find("Message header length doesn't match message size: "), std::string::npos);

    // Without a mapped address there is nothing to compare with this host's own: taking the
    // answer would bind the empty address, which always works, and claim an open Internet.
    FakeStunServer bare;
    ASSERT_TRUE(bare.Ready());
    bare.omitMapped = true;
    EXPECT_EQ(Run(bare) & 7, kNatUdpBlocked);
}

TEST_F(StunProcedure, BusyNeighbourPortFailsWithItsMessages) {
    std::ostringstream ignore;
    uint16_t port = FreePortPair();
    int busy = OpenStunSocket(static_cast<uint16_t>(port + 1), 0, ignore);
    ASSERT_GE(busy, 0);
    test::LogCapture log;
    CStunTester tester([port] { return port; }, m_diag);
    EXPECT_EQ(tester.TestServer("127.0.0.1:3478"), kStunFailed);
    EXPECT_EQ(kStunFailed & 7, kNatFailure);
    EXPECT_NE(m_diag.str().find("Port " + std::to_string(port + 1) + " for receiving UDP is in use"),
              std::string::npos);
    EXPECT_TRUE(log.Contains("Some problem opening port/interface to send on\n"));
    close(busy);
}

}  // namespace
}  // namespace tessali::nat
