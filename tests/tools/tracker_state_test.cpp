// The tracker's state machine driven directly, with explicit clock values.
#include "tools/mirt-tracker/tracker_state.h"
#include "common/task_hashes.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <set>

#include "engine/sources/tracker_messages.h"

namespace tessali::mirt_tracker {
namespace {

using namespace tessali::sources;

using tessali::test::HashOf;

Origin Udp(uint32_t host, uint16_t port) {
    Origin o;
    o.addr = htonl(host);
    o.port = htons(port);
    return o;
}

class TrackerStateTest : public ::testing::Test {
protected:
    template <typename T>
    T Ask(const std::vector<uint8_t>& request, const Origin& from, platform::Tick now = 0) {
        std::vector<Outgoing> out;
        m_state.Handle(request, from, now, out);
        T reply;
        EXPECT_EQ(out.size(), 1u);
        EXPECT_TRUE(!out.empty() && Decode(out.back().bytes, reply));
        return reply;
    }

    core::PeerId LoginPeer(int n, uint8_t nat, platform::Tick now = 0) {
        core::PeerId id = core::GeneratePeerId(core::kEngineVersion, 0x100000 + n);
        Origin from = Udp(0x0A000000u + n, 5000);
        EXPECT_EQ(Ask<LoginReply>(Encode(LoginRequest{0, id, from.addr, htons(6000), nat}), from, now).result,
                  kLoginAccepted);
        return id;
    }

    void Share(int n, const core::PeerId& id, const core::TaskHash& hash, platform::Tick now = 0) {
        EXPECT_EQ(Ask<ShareReply>(Encode(ShareRequest{1, id, hash}), Udp(0x0A000000u + n, 5000), now).result,
                  kShareAdded);
    }

    TrackerOptions Options() {
        TrackerOptions o;
        o.expireMs = 180000;
        o.maxSources = 50;
        o.maxSharesPerPeer = 3;
        return o;
    }

    CTrackerState m_state{Options()};
};

TEST_F(TrackerStateTest, SilentLoginsExpireWithTheirShares) {
    core::PeerId a = LoginPeer(1, 0, 1000);
    core::PeerId b = LoginPeer(2, 0, 1000);
    Share(1, a, HashOf(1), 1000);
    Share(2, b, HashOf(1), 1000);
    // b keeps talking, a falls silent.
    EXPECT_EQ(Ask<KeepAliveReply>(Encode(KeepAliveRequest{2, b}), Udp(0x0A000002, 5000), 150000).status,
              kKeepAliveLoggedIn);
    EXPECT_EQ(m_state.Expire(181000), 0u);  // exactly at the limit: kept
    EXPECT_EQ(m_state.Expire(181001), 1u);
    EXPECT_FALSE(m_state.IsLoggedIn(a.Tail()));
    EXPECT_TRUE(m_state.IsLoggedIn(b.Tail()));
    EXPECT_EQ(m_state.SharerCount(HashOf(1)), 1u);
    // Across the 32-bit wrap of the clock.
    core::PeerId c = LoginPeer(3, 0, 0xFFFFF000u);
    m_state.Expire(0x00001000u);
    EXPECT_TRUE(m_state.IsLoggedIn(c.Tail()));
    EXPECT_FALSE(m_state.IsLoggedIn(b.Tail()));
}

TEST_F(TrackerStateTest, LoggingInAgainKeepsSharesAndTakesTheNewFacts) {
    core::PeerId a = LoginPeer(1, 2);
    Share(1, a, HashOf(7));
    // The engine restarts under a newer version from another address and port.
    core::PeerId upgraded = core::WithVersion(a, 70);
    Origin moved = Udp(0x0A0000FF, 5555);
    ASSERT_EQ(Ask<LoginReply>(Encode(LoginRequest{0, upgraded, moved.addr, htons(6001), 0}), moved).result,
              kLoginAccepted);
    core::PeerId other = LoginPeer(2, 0);
    SourceListReply list =
        Ask<SourceListReply>(Encode(SourceListRequest{3, other, HashOf(7)}), Udp(0x0A000002, 5000));
    ASSERT_EQ(list.entries.size(), 1u);
    EXPECT_EQ(list.entries[0].addr, moved.addr);
    EXPECT_EQ(list.entries[0].port, htons(6001));
    EXPECT_EQ(list.entries[0].natType, 0);
    // The old address no longer speaks for it.
    EXPECT_EQ(Ask<KeepAliveReply>(Encode(KeepAliveRequest{4, a}), Udp(0x0A000001, 5000)).status,
              kKeepAliveNotLoggedIn);
}

TEST_F(TrackerStateTest, SourceListsAreCappedReachableFirstAndRotate) {
    constexpr int kSharers = 60;
    for (int n = 1; n <= kSharers; ++n) {
        Share(n, LoginPeer(n, n % 3 == 0 ? 0 : 2), HashOf(9));
    }
    core::PeerId asker = LoginPeer(100, 0);
    Origin from = Udp(0x0A000064, 5000);
    std::set<uint32_t> seen;
    for (int round = 0; round < 2; ++round) {
        SourceListReply r = Ask<SourceListReply>(Encode(SourceListRequest{1, asker, HashOf(9)}), from);
        ASSERT_EQ(r.entries.size(), 50u);
        size_t reachable = 0;
        while (reachable < r.entries.size() && r.entries[reachable].natType == 0) {
            ++reachable;
        }
        EXPECT_EQ(reachable, 20u);  // every one of the 20 reachable sharers, ahead of the rest
        for (size_t i = reachable; i < r.entries.size(); ++i) {
            EXPECT_EQ(r.entries[i].natType, 2);
        }
        for (const SourceEntry& e : r.entries) {
            EXPECT_NE(e.addr, from.addr);
            seen.insert(e.addr);
        }
    }
    EXPECT_EQ(seen.size(), static_cast<size_t>(kSharers));  // two asks between them meet everyone
}

TEST_F(TrackerStateTest, SharesPerPeerAreBounded) {
    core::PeerId a = LoginPeer(1, 0);
    for (uint8_t i = 0; i < 3; ++i) {
        Share(1, a, HashOf(i));
    }
    EXPECT_EQ(Ask<ShareReply>(Encode(ShareRequest{1, a, HashOf(3)}), Udp(0x0A000001, 5000)).result,
              kShareTooMany);
    // Stopping one makes room again; stopping an unknown hash is still answered.
    Ask<StopShareReply>(Encode(StopShareRequest{2, a, HashOf(0)}), Udp(0x0A000001, 5000));
    Ask<StopShareReply>(Encode(StopShareRequest{3, a, HashOf(0x55)}), Udp(0x0A000001, 5000));
    EXPECT_EQ(m_state.SharerCount(HashOf(0)), 0u);
    Share(1, a, HashOf(3));
}

TEST(TrackerState, FullPeerTableRefusesNewIdsButNotKnownOnes) {
    TrackerOptions o;
    o.maxPeers = 2;
    CTrackerState state(o);
    std::vector<Outgoing> out;
    auto login = [&](int n, platform::Tick now) {
        out.clear();
        core::PeerId id = core::GeneratePeerId(core::kEngineVersion, 0x200000 + n);
        Origin from = Udp(0x0A000000u + n, 5000);
        state.Handle(Encode(LoginRequest{0, id, from.addr, htons(6000), 0}), from, now, out);
        LoginReply r;
        EXPECT_TRUE(out.size() == 1 && Decode(out[0].bytes, r));
        return r.result;
    };
    EXPECT_EQ(login(1, 0), kLoginAccepted);
    EXPECT_EQ(login(2, 0), kLoginAccepted);
    EXPECT_EQ(login(3, 1000), kLoginRefusedFull);
    EXPECT_EQ(login(1, 1000), kLoginAccepted);
    // Once old logins have expired there is room again.
    EXPECT_EQ(login(3, 1000 + o.expireMs + 1), kLoginAccepted);
    EXPECT_EQ(state.PeerCount(), 1u);
}

}  // namespace
}  // namespace tessali::mirt_tracker

namespace tessali::mirt_tracker {
namespace {

TEST(TrackerState, NoticeFollowsTheWayThePeerLastSpoke) {
    CTrackerState state;
    core::PeerId target = core::GeneratePeerId(core::kEngineVersion, 0x300001);
    core::PeerId asker = core::GeneratePeerId(core::kEngineVersion, 0x300002);
    Origin targetUdp = Udp(0x0A000001, 5000);
    Origin targetTcp = targetUdp;
    targetTcp.tcp = true;
    targetTcp.conn = 7;
    targetTcp.port = htons(40001);
    Origin askerUdp = Udp(0x0A000002, 5001);
    std::vector<Outgoing> out;
    state.Handle(Encode(LoginRequest{0, target, targetUdp.addr, htons(6000), 2}), targetUdp, 0, out);
    state.Handle(Encode(LoginRequest{0, asker, askerUdp.addr, htons(6001), 2}), askerUdp, 0, out);
    auto noticeRoute = [&]() -> std::optional<Outgoing> {
        out.clear();
        state.Handle(Encode(RelayRequest{9, asker, target, HashOf(1)}), askerUdp, 0, out);
        for (const Outgoing& o : out) {
            RelayNotice n;
            if (Decode(o.bytes, n)) {
                return o;
            }
        }
        return std::nullopt;
    };
    std::optional<Outgoing> o = noticeRoute();
    ASSERT_TRUE(o);
    EXPECT_FALSE(o->tcp);
    EXPECT_EQ(o->port, htons(5000));
    // Its requests now come through the relay: so does the notice.
    state.Handle(Encode(KeepAliveRequest{1, target}), targetTcp, 0, out);
    o = noticeRoute();
    ASSERT_TRUE(o);
    EXPECT_TRUE(o->tcp);
    EXPECT_EQ(o->conn, 7);
    // Back on UDP (the relay may close any moment), and after the relay closed.
    state.Handle(Encode(KeepAliveRequest{2, target}), targetUdp, 0, out);
    EXPECT_FALSE(noticeRoute()->tcp);
    state.Handle(Encode(KeepAliveRequest{3, target}), targetTcp, 0, out);
    state.ConnectionClosed(7);
    o = noticeRoute();
    ASSERT_TRUE(o);
    EXPECT_FALSE(o->tcp);
    EXPECT_EQ(o->port, htons(5000));
}

}  // namespace
}  // namespace tessali::mirt_tracker
