// Real mirt processes logging in to a tracker played by this test on loopback: the listening
// port an engine announces is the one it listens on, with the shipped "listen_port = 0" and
// behind NAT, and its logins leave from the UDP socket on that port; a peer given with --peer
// over reliable UDP is connected to straight even after the engine has logged in.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <mutex>
#include <optional>
#include <thread>

#include "common/fakes/udp_responder.h"
#include "common/ports.h"
#include "common/temp_dir.h"
#include "engine/sources/tracker_messages.h"
#include "integration/mirt_runs.h"

namespace tessali::test {
namespace {

using namespace sources;

// Accepts every login and keep-alive and records the logins; asks nothing of the engine.
class CAcceptingTracker {
public:
    struct Login {
        uint16_t announcedPort = 0;  // host order
        uint16_t fromPort = 0;       // host order: the socket the login left from
    };

    uint16_t Port() const { return m_udp.Port(); }
    std::vector<Login> Logins() {
        std::lock_guard lock(m_lock);
        return m_logins;
    }
    // The first login that satisfies `pred`, waiting up to `seconds`.
    template <typename P>
    std::optional<Login> WaitLogin(P pred, int seconds) {
        auto end = Clock::now() + std::chrono::seconds(seconds);
        while (Clock::now() < end) {
            for (const Login& l : Logins()) {
                if (pred(l)) {
                    return l;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return std::nullopt;
    }

private:
    void Answer(std::span<const uint8_t> d, const sockaddr_in& from) {
        LoginRequest login;
        KeepAliveRequest keepAlive;
        std::vector<uint8_t> reply;
        if (Decode(d, login)) {
            {
                std::lock_guard lock(m_lock);
                m_logins.push_back({ntohs(login.listenPort), ntohs(from.sin_port)});
            }
            reply = Encode(LoginReply{login.sequence, from.sin_addr.s_addr, from.sin_port, kLoginAccepted});
        } else if (Decode(d, keepAlive)) {
            reply = Encode(KeepAliveReply{keepAlive.sequence, kKeepAliveLoggedIn});
        }
        if (!reply.empty()) {
            m_udp.SendTo(reply, from);
        }
    }

    std::mutex m_lock;
    std::vector<Login> m_logins;
    // Last: it stops answering before the rest goes.
    CUdpResponder m_udp{[this](std::span<const uint8_t> d, const sockaddr_in& from) { Answer(d, from); }};
};

// Every server unreachable but the tracker at `trackerPort`.
DeployOptions Reaching(uint16_t trackerPort, uint16_t listenPort, int natType) {
    DeployOptions o;
    o.trackerHost = "127.0.0.1:" + std::to_string(trackerPort);
    o.listenPort = listenPort;
    o.natType = natType;
    return o;
}

bool Accepts(uint16_t port) {
    int c = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(port);
    bool ok = connect(c, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
    close(c);
    return ok;
}

const std::string kSomeHash = "0123456789ABCDEF0123456789ABCDEF01234567";

TEST(TrackerReachability, WithNoConfiguredPortTheChosenPortIsListenedOnRecordedAndAnnounced) {
    TempDir tmp;
    CAcceptingTracker tracker;
    {
        // A tracker of its own: this engine's logins must not be taken for the getter's.
        CAcceptingTracker statusTracker;
        CEngineProcess status(tmp.Path() + "status/", Reaching(statusTracker.Port(), 0, 0));
        status.Start({"status"});
        ASSERT_EQ(status.Wait(60), 0) << status.Errors();
        std::string line = status.WaitLine("listen port: ", 1);
        EXPECT_FALSE(line.empty());
        EXPECT_NE(line, "listen port: 0");
        EXPECT_EQ(status.Log().find("listen fail"), std::string::npos);
    }

    CEngineProcess getter(tmp.Path() + "get/", Reaching(tracker.Port(), 0, 0));
    getter.Start({"get", kSomeHash, getter.Dir() + "out.bin"});
    // The first login may go out before the port is chosen; the engine logs in again with it.
    std::optional<CAcceptingTracker::Login> login =
        tracker.WaitLogin([](const CAcceptingTracker::Login& l) { return l.announcedPort != 0; }, 60);
    ASSERT_TRUE(login) << getter.LogTail();
    EXPECT_TRUE(Accepts(login->announcedPort)) << "nothing listens on the announced port";
    EXPECT_EQ(login->fromPort, login->announcedPort) << "the login left from another UDP socket";
    EXPECT_EQ(getter.Log().find("listen fail"), std::string::npos);
    getter.Stop();
}

TEST(TrackerReachability, BehindNatTheLoginsLeaveFromTheSocketOnTheAnnouncedPort) {
    TempDir tmp;
    CAcceptingTracker tracker;
    uint16_t configured = FreeTcpUdpPort();
    CEngineProcess getter(tmp.Path() + "get/", Reaching(tracker.Port(), configured, 1));
    getter.Start({"get", kSomeHash, getter.Dir() + "out.bin"});
    // Behind NAT the port comes from the local address, not from the configuration.
    std::optional<CAcceptingTracker::Login> login = tracker.WaitLogin(
        [configured](const CAcceptingTracker::Login& l) {
            return l.announcedPort != 0 && l.announcedPort != configured;
        },
        60);
    ASSERT_TRUE(login) << getter.LogTail();
    EXPECT_TRUE(Accepts(login->announcedPort));
    EXPECT_EQ(login->fromPort, login->announcedPort) << "the login left from another UDP socket";
    getter.Stop();
}

// The user names the peer: it is reached there over reliable UDP, even once the engine (NAT
// type 0) has logged in and would otherwise ask the tracker to relay.
TEST(TrackerReachability, APeerGivenOverReliableUdpIsConnectedStraightAfterLogin) {
    TempDir tmp;
    CAcceptingTracker tracker;
    const std::string file = tmp.File("small.bin");
    WriteRandomFile(file, 2u << 20, 5);

    CEngineProcess getter(tmp.Path() + "get/", Reaching(tracker.Port(), 0, 0));
    // The seeder computes the hash first; the getter starts once it is known, and the seeder
    // is started again (same port) only after the getter has logged in.
    Seeder seeder = StartSeeder(tmp, "seed", file);
    ASSERT_EQ(seeder.hash.size(), 40u);
    seeder.mirt->Stop();
    const uint16_t seederPort = seeder.port;

    getter.Start({"get", seeder.hash, getter.Dir() + "out.bin", "--peer",
                  "127.0.0.1:" + std::to_string(seederPort), "--framing", "udp"});
    ASSERT_TRUE(tracker.WaitLogin([](const CAcceptingTracker::Login& l) { return l.announcedPort != 0; }, 60))
        << getter.LogTail();
    seeder.mirt->Start({"share", file});
    ASSERT_NE(seeder.mirt->WaitLine(file, 60), "");
    EXPECT_EQ(getter.Wait(120), 0) << getter.LogTail();
    EXPECT_EQ(Sha1OfFile(file), Sha1OfFile(getter.Dir() + "out.bin"));
}

}  // namespace
}  // namespace tessali::test
