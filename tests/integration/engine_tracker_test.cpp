// The engine tracker side against the real mirt-tracker process on loopback: two engines (each a
// tracker agent with its tracker list and message handler over fake tasks and a recording peer
// connector) log in, share, find each other, live through a tracker restart, lost datagrams and
// a UDP path that is blocked entirely. Clock-driven steps use the fake tick.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

#include "common/task_hashes.h"
#include "common/temp_dir.h"
#include "engine/platform/ini_file.h"
#include "engine/platform/thread.h"
#include "engine/sources/engine_tracker.h"
#include "sources/tracker_fakes.h"
#include "sources/tracker_test_socket.h"
#include "tools/tracker_process.h"

namespace tessali::sources {
namespace {

using test::WaitUntil;

using tessali::test::HashOf;

// One engine's tracker side, with the tracker thread's loop running.
class CTestEngine {
public:
    CTestEngine(uint16_t trackerPort, uint16_t listenPort, std::string agentHost = "127.0.0.1:1")
        : m_listenPort(listenPort) {
        TrackerAgentSettings s;
        s.rootFolder = m_dir.Path();
        s.trackerAddr = htonl(INADDR_LOOPBACK);
        s.trackerPort = trackerPort;
        s.agentHost = std::move(agentHost);
        s.facts = [listenPort] { return LoginFacts{htonl(INADDR_LOOPBACK), listenPort, 0}; };
        agent = std::make_unique<CTrackerAgent>(std::move(s));
        TrackHandleEnv env{[] { return 0u; }, [] { return htonl(INADDR_LOOPBACK); },
                           [listenPort] { return listenPort; }};
        tracker = std::make_unique<CEngineTracker>(
            *agent, tasks,
            [this](const core::TaskHash& h) -> std::optional<TrackerTaskFacts> {
                if (!tasks.WantsPeers(h)) {
                    return std::nullopt;
                }
                TrackerTaskFacts f;
                f.wantsPeers = true;
                f.runState = 1;
                return f;
            },
            connector, sender, env, "http://127.0.0.1:6970");
        tasks.onAnnounceAll = [this] {
            for (const core::TaskHash& h : shared) {
                tracker->AnnounceSource(h);
            }
        };
    }
    ~CTestEngine() {
        m_stop = true;
        if (m_pump.joinable()) {
            m_pump.join();
        }
        agent->Stop();
    }

    void Start() {
        ASSERT_TRUE(agent->Start());
        m_pump = std::thread([this] {
            uint8_t buf[kMaxTrackerMessageBytes];
            while (!m_stop) {
                if (!tracker->WaitReceive(25)) {
                    continue;
                }
                while (std::optional<size_t> n = tracker->TakeDatagram(buf)) {
                    tracker->HandleMessage({buf, *n});
                }
            }
        });
    }
    // A complete task we are a source of.
    void Share(const core::TaskHash& h) {
        shared.push_back(h);
        tracker->AnnounceSource(h);
    }
    // A downloading task, asked for at once.
    void Download(const core::TaskHash& h) {
        tracker->AddEngineTracker(h);
        tracker->AnnouncePass(platform::GetTick());
    }
    bool Answered(const core::TaskHash& h) {
        std::optional<TrackerEntry> e = tracker->List().Find(h, "http://127.0.0.1:6970");
        return e && e->satisfied;
    }
    // The sources the tracker named to us so far, by listening port.
    std::vector<uint16_t> SourcePorts() {
        std::vector<uint16_t> out;
        for (auto& [h, p] : connector.Calls()) {
            out.push_back(ntohs(p.port));
        }
        return out;
    }
    std::string Folder() const { return m_dir.Path(); }
    uint16_t ListenPort() const { return m_listenPort; }

    test::FakeTrackTasks tasks;
    test::CRecordingConnector connector;
    net::CSocketSender sender;
    std::vector<core::TaskHash> shared;
    std::unique_ptr<CTrackerAgent> agent;
    std::unique_ptr<CEngineTracker> tracker;

private:
    test::TempDir m_dir;
    uint16_t m_listenPort;
    std::atomic<bool> m_stop{false};
    std::thread m_pump;
};

// A UDP relay between engines and the tracker that can drop everything for a while.
class CDropRelay {
public:
    explicit CDropRelay(uint16_t trackerPort) : m_trackerPort(trackerPort) {
        m_thread = std::thread([this] { Run(); });
    }
    ~CDropRelay() {
        m_stop = true;
        m_thread.join();
    }
    uint16_t Port() const { return m_front.Port(); }
    std::atomic<bool> dropping{false};
    std::atomic<int> dropped{0};

private:
    void Run() {
        sockaddr_in client{};
        sockaddr_in tracker{};
        tracker.sin_family = AF_INET;
        tracker.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        tracker.sin_port = htons(m_trackerPort);
        while (!m_stop) {
            if (std::optional<test::CFakeTrackerSocket::Datagram> d = m_front.Receive(20)) {
                client = d->from;
                if (dropping) {
                    ++dropped;
                } else {
                    m_back.SendTo(tracker, d->bytes);
                }
            }
            if (std::optional<test::CFakeTrackerSocket::Datagram> d = m_back.Receive(0)) {
                if (dropping) {
                    ++dropped;
                } else {
                    m_front.SendTo(client, d->bytes);
                }
            }
        }
    }
    uint16_t m_trackerPort;
    test::CFakeTrackerSocket m_front;
    test::CFakeTrackerSocket m_back;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

TEST(EngineTrackerLive, EnginesLogInShareFindEachOtherAndLogOut) {
    test::CTrackerProcess server;
    ASSERT_TRUE(server.Start());
    CTestEngine seeder(server.UdpPort(), 7001);
    CTestEngine leecher(server.UdpPort(), 7002);
    const core::TaskHash h = HashOf(0x42);
    leecher.tasks.tasks[h];  // downloading
    seeder.Start();
    leecher.Start();
    seeder.Share(h);
    ASSERT_TRUE(WaitUntil([&] { return seeder.tasks.Shared(h) == 1; }, 5000));
    EXPECT_TRUE(seeder.agent->LoggedIn());
    EXPECT_NE(seeder.agent->OwnPeerId(), leecher.agent->OwnPeerId());
    // The accepted id was stored for the next run.
    EXPECT_EQ(platform::CIniFile(seeder.Folder() + core::kPeerIdIniFile)
                  .GetString(core::kPeerIdIniSection, core::kPeerIdIniKey),
              seeder.agent->OwnPeerId().Text());

    leecher.Download(h);
    ASSERT_TRUE(WaitUntil([&] { return leecher.Answered(h); }, 5000));
    auto calls = leecher.connector.Calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].first, h);
    EXPECT_EQ(calls[0].second.addr, htonl(INADDR_LOOPBACK));
    EXPECT_EQ(ntohs(calls[0].second.port), 7001);
    EXPECT_EQ(calls[0].second.natType, 0);
    EXPECT_EQ(core::PeerIdFromTail(calls[0].second.idTail, calls[0].second.versionType).Tail(),
              seeder.agent->OwnPeerId().Tail());

    // Logged out, the seeder is no longer a source.
    seeder.agent->Stop();
    leecher.tracker->List().ActivateAll();
    leecher.tracker->AnnouncePass(platform::GetTick());
    ASSERT_TRUE(WaitUntil([&] { return leecher.Answered(h); }, 5000));
    EXPECT_EQ(leecher.connector.Calls().size(), 1u);
}

TEST(EngineTrackerLive, KeepAliveIsAnsweredAndARestartedTrackerGetsEverythingAgain) {
    platform::FakeTick clock(100000);
    auto server = std::make_unique<test::CTrackerProcess>();
    ASSERT_TRUE(server->Start());
    const uint16_t udpPort = server->UdpPort();
    CTestEngine seeder(udpPort, 7011);
    CTestEngine leecher(udpPort, 7012);
    const core::TaskHash h = HashOf(0x43);
    leecher.tasks.tasks[h];
    seeder.Start();
    leecher.Start();
    seeder.Share(h);
    ASSERT_TRUE(WaitUntil([&] { return seeder.tasks.Shared(h) == 1 && leecher.agent->LoggedIn(); }, 5000));
    leecher.Download(h);
    ASSERT_TRUE(WaitUntil([&] { return leecher.Answered(h); }, 5000));
    ASSERT_EQ(leecher.SourcePorts(), std::vector<uint16_t>{7011});

    // A keep-alive to a tracker that knows us: still logged in, nothing re-announced.
    clock.Advance(40001);
    ASSERT_TRUE(
        WaitUntil([&] { return seeder.agent->Queue().Empty() && leecher.agent->Queue().Empty(); }, 5000));
    platform::SleepMs(200);
    EXPECT_TRUE(seeder.agent->LoggedIn());
    EXPECT_EQ(seeder.tasks.announceAll.load(), 0);

    // The tracker restarts empty on the same port.
    server->Stop();
    server = std::make_unique<test::CTrackerProcess>(
        std::vector<std::string>{"--udp-port", std::to_string(udpPort)});
    ASSERT_TRUE(server->Start());
    seeder.tasks.SetSharedFlag(h, 0);
    clock.Advance(40001);
    // Keep-alive status 2: log in again, activate the trackers and share again.
    ASSERT_TRUE(WaitUntil([&] { return seeder.tasks.Shared(h) == 1; }, 8000));
    EXPECT_GE(seeder.tasks.announceAll.load(), 1);
    EXPECT_TRUE(seeder.agent->LoggedIn());
    ASSERT_TRUE(WaitUntil([&] { return leecher.tasks.announceAll >= 1 && leecher.agent->LoggedIn(); }, 5000));
    EXPECT_FALSE(leecher.tracker->List().Find(h, "http://127.0.0.1:6970")->announced);

    // The leecher's entry was activated: its next pass asks at once and finds the seeder (the
    // first ask may have beaten the seeder's share; then it is asked once more).
    ASSERT_TRUE(WaitUntil(
        [&] {
            leecher.tracker->AnnouncePass(platform::GetTick());
            if (leecher.SourcePorts().size() < 2 && leecher.Answered(h)) {
                leecher.tracker->List().ActivateOne(h);
            }
            return leecher.SourcePorts().size() >= 2;
        },
        8000));
    EXPECT_EQ(leecher.SourcePorts()[1], 7011);
}

TEST(EngineTrackerLive, DroppedDatagramsAreRetransmittedAndNothingIsLost) {
    platform::FakeTick clock(100000);
    test::CTrackerProcess server;
    ASSERT_TRUE(server.Start());
    CDropRelay relay(server.UdpPort());
    relay.dropping = true;
    CTestEngine seeder(relay.Port(), 7021);
    const core::TaskHash h1 = HashOf(0x51);
    const core::TaskHash h2 = HashOf(0x52);
    seeder.Start();
    seeder.Share(h1);
    ASSERT_TRUE(WaitUntil([&] { return relay.dropped >= 1; }));
    clock.Advance(5001);
    ASSERT_TRUE(WaitUntil([&] { return relay.dropped >= 2; }));
    EXPECT_FALSE(seeder.agent->LoggedIn());

    relay.dropping = false;
    clock.Advance(5001);
    ASSERT_TRUE(WaitUntil([&] { return seeder.tasks.Shared(h1) == 1; }, 5000));

    // Lost while logged in: the second share is resent after 5 s.
    relay.dropping = true;
    int before = relay.dropped;
    seeder.Share(h2);
    ASSERT_TRUE(WaitUntil([&] { return relay.dropped > before; }));
    relay.dropping = false;
    platform::SleepMs(300);
    EXPECT_EQ(seeder.tasks.Shared(h2), 0);
    clock.Advance(5001);
    ASSERT_TRUE(WaitUntil([&] { return seeder.tasks.Shared(h2) == 1; }, 5000));
    EXPECT_TRUE(seeder.agent->Queue().Empty());

    // Both shares reached the tracker: another engine finds the seeder for each.
    CTestEngine leecher(server.UdpPort(), 7022);
    leecher.tasks.tasks[h1];
    leecher.tasks.tasks[h2];
    leecher.Start();
    leecher.tracker->AddEngineTracker(h1);
    leecher.tracker->AddEngineTracker(h2);
    leecher.tracker->AnnouncePass(platform::GetTick());
    ASSERT_TRUE(WaitUntil([&] { return leecher.Answered(h1) && leecher.Answered(h2); }, 5000));
    EXPECT_EQ(leecher.SourcePorts(), (std::vector<uint16_t>{7021, 7021}));
}

TEST(EngineTrackerLive, WithUdpBlockedTheAgentRelayCarriesTheRequestsAfterSixteenSeconds) {
    platform::FakeTick clock(100000);
    test::CTrackerProcess server;
    ASSERT_TRUE(server.Start());
    CDropRelay blackhole(server.UdpPort());
    blackhole.dropping = true;
    CTestEngine seeder(blackhole.Port(), 7031, "127.0.0.1:" + std::to_string(server.TcpPort()));
    const core::TaskHash h = HashOf(0x61);
    seeder.Start();
    seeder.Share(h);
    for (int i = 0; i < 3; ++i) {
        clock.Advance(5001);
        platform::SleepMs(250);
    }
    // 15 s: UDP only, still unanswered.
    EXPECT_FALSE(seeder.agent->RelayConnected());
    EXPECT_FALSE(seeder.agent->LoggedIn());
    EXPECT_GE(blackhole.dropped.load(), 3);
    clock.Advance(1000);
    ASSERT_TRUE(WaitUntil([&] { return seeder.tasks.Shared(h) == 1; }, 5000));
    EXPECT_TRUE(seeder.agent->LoggedIn());
    // Logged in through the agent: it is remembered as the agent last used.
    std::optional<AgentAddress> last = ReadLastAgent(platform::CIniFile(seeder.Folder() + kAgentListFile));
    ASSERT_TRUE(last);
    EXPECT_EQ(*last, (AgentAddress{htonl(INADDR_LOOPBACK), server.TcpPort()}));
    // Nothing left to carry: the relay closes.
    ASSERT_TRUE(WaitUntil([&] { return !seeder.agent->RelayConnected(); }, 3000));

    CTestEngine leecher(server.UdpPort(), 7032);
    leecher.tasks.tasks[h];
    leecher.Start();
    leecher.Download(h);
    ASSERT_TRUE(WaitUntil([&] { return leecher.Answered(h); }, 5000));
    EXPECT_EQ(leecher.SourcePorts(), std::vector<uint16_t>{7031});
}

}  // namespace
}  // namespace tessali::sources
