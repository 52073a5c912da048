// The tracker thread's handling of tracker messages: source lists opening connections, relay
// notices, share confirmations and the re-announce after the tracker forgot us.
#include "engine/sources/track_handle.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "common/task_hashes.h"
#include "sources/tracker_fakes.h"

namespace tessali::sources {
namespace {

using core::TaskHash;

using tessali::test::HashOf;

uint32_t Addr(int a, int b, int c, int d) {
    return htonl(static_cast<uint32_t>((a << 24) | (b << 16) | (c << 8) | d));
}

const std::string kUrl = "http://tracker.test:6970";
constexpr uint16_t kOwnListenPort = 7000;

SourceEntry Entry(uint32_t addr, uint16_t portHost, uint8_t nat, uint8_t tailByte) {
    SourceEntry e;
    e.peerIdTail.fill(tailByte);
    e.addr = addr;
    e.port = htons(portHost);
    e.natType = nat;
    e.versionType = 3;
    return e;
}

struct Fixture {
    test::FakeTrackerAgent agent;
    test::FakeTrackTasks tasks;
    test::CRecordingConnector connector;
    test::RecordingSender sender;
    uint32_t ownNat = 0;
    CTrackerList list{[](const TaskHash&) { return std::optional<TrackerTaskFacts>(); }};
    CTrackHandle handle{list,
                        agent,
                        tasks,
                        connector,
                        sender,
                        TrackHandleEnv{[this] { return ownNat; }, [] { return Addr(192, 168, 1, 5); },
                                       [] { return kOwnListenPort; }},
                        kUrl};

    Fixture() {
        agent.externalAddr = Addr(203, 0, 113, 9);
        tasks.tasks[HashOf(1)];
        list.AddEngineTracker(HashOf(1), kUrl);
    }
    bool Answered() { return list.Find(HashOf(1), kUrl)->satisfied; }
};

SourceListReply Reply(std::vector<SourceEntry> entries, uint8_t result = kSourcesOk) {
    SourceListReply r;
    r.sequence = 84;
    r.hash = HashOf(1);
    r.result = result;
    r.entries = std::move(entries);
    return r;
}

TEST(TrackHandle, ASourceListOfThreeOpensAtMostThreeConnectionsAndMarksTheTrackerAnswered) {
    Fixture f;
    std::vector<uint8_t> bytes =
        Encode(Reply({Entry(Addr(10, 0, 0, 1), 6001, 0, 0xA1), Entry(Addr(10, 0, 0, 2), 6002, 1, 0xA2),
                      Entry(Addr(10, 0, 0, 3), 6003, 4, 0xA3)}));
    ASSERT_EQ(bytes.size(), 92u);
    f.handle.Handle(bytes);
    auto calls = f.connector.Calls();
    ASSERT_EQ(calls.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(calls[i].first, HashOf(1));
        EXPECT_EQ(calls[i].second.addr, Addr(10, 0, 0, static_cast<int>(i + 1)));
        EXPECT_EQ(ntohs(calls[i].second.port), 6001 + i);
        EXPECT_EQ(calls[i].second.idTail[0], 0xA1 + i);
        EXPECT_EQ(calls[i].second.versionType, 3);
    }
    EXPECT_EQ(calls[1].second.natType, 1);
    EXPECT_EQ(calls[2].second.natType, 4);
    EXPECT_TRUE(f.Answered());
}

TEST(TrackHandle, ConnectingStopsOnceTheTaskWantsNoMorePeers) {
    Fixture f;
    f.connector.afterCall = [&] { f.tasks.tasks[HashOf(1)].wantsPeers = false; };
    f.handle.Handle(
        Encode(Reply({Entry(Addr(10, 0, 0, 1), 6001, 0, 1), Entry(Addr(10, 0, 0, 2), 6002, 0, 2)})));
    EXPECT_EQ(f.connector.Calls().size(), 1u);
    EXPECT_TRUE(f.Answered());
}

TEST(TrackHandle, AFailedSourceListOpensNothingButStillCountsAsAnAnswer) {
    Fixture f;
    f.handle.Handle(Encode(Reply({Entry(Addr(10, 0, 0, 1), 6001, 0, 1)}, kSourcesNotLoggedIn)));
    EXPECT_TRUE(f.connector.Calls().empty());
    EXPECT_TRUE(f.Answered());
    // A list for a task that wants no peers opens nothing either.
    Fixture g;
    g.tasks.tasks[HashOf(1)].wantsPeers = false;
    g.handle.Handle(Encode(Reply({Entry(Addr(10, 0, 0, 1), 6001, 0, 1)})));
    EXPECT_TRUE(g.connector.Calls().empty());
}

TEST(TrackHandle, OurOwnAddressAndPortAreSkipped) {
    Fixture f;
    f.handle.Handle(Encode(Reply({Entry(Addr(203, 0, 113, 9), kOwnListenPort, 0, 1),
                                  Entry(Addr(192, 168, 1, 5), kOwnListenPort, 0, 2),
                                  Entry(Addr(203, 0, 113, 9), kOwnListenPort + 1, 0, 3),
                                  Entry(Addr(203, 0, 113, 10), kOwnListenPort, 0, 4)})));
    auto calls = f.connector.Calls();
    ASSERT_EQ(calls.size(), 2u);  // same address, other port: another engine behind our NAT
    EXPECT_EQ(calls[0].second.idTail[0], 3);
    EXPECT_EQ(calls[1].second.idTail[0], 4);
}

TEST(TrackHandle, ASourceListThatIsNotWholeEntriesIsDropped) {
    Fixture f;
    std::vector<uint8_t> bytes = Encode(Reply({Entry(Addr(10, 0, 0, 1), 6001, 0, 1)}));
    bytes.resize(bytes.size() - 3);
    bytes[0] = 0;
    bytes[1] = static_cast<uint8_t>(bytes.size());
    f.handle.Handle(bytes);
    EXPECT_TRUE(f.connector.Calls().empty());
    EXPECT_FALSE(f.Answered());
}

RelayNotice Notice(uint8_t nat, const char* id = "XXXX0057ABCDEF012345") {
    RelayNotice n;
    n.hash = HashOf(1);
    n.peerId = *core::PeerId::FromText(id);
    n.addr = Addr(198, 51, 100, 7);
    n.port = htons(4321);
    n.natType = nat;
    return n;
}

TEST(TrackHandle, ANoticeForAPausedTaskDoesNothing) {
    Fixture f;
    f.tasks.tasks[HashOf(1)].runState = 2;
    for (uint8_t nat : {0, 1, 2, 3, 7}) {
        for (uint32_t own : {0u, 2u, 7u}) {
            f.ownNat = own;
            f.handle.Handle(Encode(Notice(nat)));
        }
    }
    EXPECT_TRUE(f.connector.Calls().empty());
    EXPECT_TRUE(f.sender.sent.empty());
    // Nor for a peer we already have (its id is compared with "MIRT" in front).
    Fixture g;
    g.tasks.tasks[HashOf(1)].peers.insert(*core::PeerId::FromText("MIRT0057ABCDEF012345"));
    g.handle.Handle(Encode(Notice(0)));
    EXPECT_TRUE(g.connector.Calls().empty());
}

TEST(TrackHandle, ANoticeIsAnsweredByItsNatTypes) {
    {
        Fixture f;  // a reachable peer: over TCP, framing by its version (57 -> 2)
        f.handle.Handle(Encode(Notice(0)));
        auto calls = f.connector.Calls();
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].second.natType, 0);
        EXPECT_EQ(calls[0].second.versionType, 2);
        EXPECT_EQ(calls[0].second.addr, Addr(198, 51, 100, 7));
        EXPECT_EQ(calls[0].second.port, htons(4321));
        EXPECT_EQ(core::PeerIdFromTail(calls[0].second.idTail, 2).Text(), "MIRT0057ABCDEF012345");
    }
    {
        Fixture f;  // NAT type 1: through reliable UDP
        f.ownNat = 4;
        f.handle.Handle(Encode(Notice(1, "XXXX0066ABCDEF012345")));
        ASSERT_EQ(f.connector.Calls().size(), 1u);
        EXPECT_EQ(f.connector.Calls()[0].second.natType, 1);
        EXPECT_EQ(f.connector.Calls()[0].second.versionType, 3);
    }
    for (auto [own, remote] : {std::pair{2u, 5}, std::pair{3u, 3}, std::pair{7u, 6}}) {
        Fixture f;  // we open our NAT toward the peer, and it connects to us
        f.ownNat = own;
        f.handle.Handle(Encode(Notice(static_cast<uint8_t>(remote))));
        EXPECT_TRUE(f.connector.Calls().empty());
        ASSERT_EQ(f.sender.sent.size(), 1u) << own << " " << remote;
        EXPECT_EQ(f.sender.sent[0].bytes, std::vector<uint8_t>{'0'});
        EXPECT_EQ(f.sender.sent[0].addr, Addr(198, 51, 100, 7));
        EXPECT_EQ(f.sender.sent[0].port, htons(4321));
    }
    {
        Fixture f;  // a type-2 peer we cannot punch toward: try TCP
        f.ownNat = 4;
        f.handle.Handle(Encode(Notice(2)));
        ASSERT_EQ(f.connector.Calls().size(), 1u);
        EXPECT_EQ(f.connector.Calls()[0].second.natType, 0);
    }
    {
        Fixture f;  // both behind NAT that neither can open: nothing
        f.ownNat = 3;
        f.handle.Handle(Encode(Notice(5)));
        EXPECT_TRUE(f.connector.Calls().empty());
        EXPECT_TRUE(f.sender.sent.empty());
    }
}

TEST(TrackHandle, ShareRepliesMarkTheTaskAndNotLoggedInSharesAgain) {
    Fixture f;
    f.handle.Handle(Encode(ShareReply{36, HashOf(1), kShareNotLoggedIn}));
    EXPECT_EQ(f.tasks.tasks[HashOf(1)].shared, 1);
    ASSERT_EQ(f.agent.queued.size(), 1u);
    ShareRequest again;
    ASSERT_TRUE(Decode(f.agent.queued[0].bytes, again));
    EXPECT_EQ(again.hash, HashOf(1));
    EXPECT_FALSE(f.agent.queued[0].urgent);
    f.handle.Handle(Encode(ShareReply{84, HashOf(2), kShareAlreadyShared}));
    EXPECT_EQ(f.tasks.tasks[HashOf(2)].shared, 1);
    EXPECT_EQ(f.agent.queued.size(), 1u);
    f.handle.Handle(Encode(StopShareReply{100, HashOf(2)}));
    EXPECT_EQ(f.tasks.tasks[HashOf(2)].shared, 0);
}

TEST(TrackHandle, KeepAliveStatusTwoActivatesTheTrackersAndSharesAgain) {
    Fixture f;
    f.list.MarkAnswered(HashOf(1), kUrl);
    f.handle.Handle(Encode(KeepAliveReply{10, kKeepAliveLoggedIn}));
    EXPECT_EQ(f.tasks.announceAll, 0);
    EXPECT_TRUE(f.Answered());
    f.handle.Handle(Encode(KeepAliveReply{10, kKeepAliveNotLoggedIn}));
    EXPECT_EQ(f.tasks.announceAll, 1);
    EXPECT_FALSE(f.Answered());
}

TEST(TrackHandle, SendersQueueTheRightRequests) {
    Fixture f;
    f.handle.SendSourceRequest(HashOf(3));
    f.handle.SendShare(HashOf(3));
    f.handle.SendStopShare(HashOf(3));
    EXPECT_EQ(f.agent.QueuedCommands(), (std::vector<uint16_t>{kCmdSourceList, kCmdShare, kCmdStopShare}));
    EXPECT_TRUE(f.agent.queued[0].urgent);
    EXPECT_FALSE(f.agent.queued[1].urgent);
    EXPECT_FALSE(f.agent.queued[2].urgent);
}

}  // namespace
}  // namespace tessali::sources
