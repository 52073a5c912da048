// The tracker agent's request queue: placement of urgent requests, what goes out while not
// logged in, retransmission and relay timing, and matching replies.
#include "engine/sources/tracker_request_queue.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "common/task_hashes.h"
#include "engine/sources/tracker_messages.h"

namespace tessali::sources {
namespace {

using Bytes = std::vector<uint8_t>;
using platform::Tick;

const core::PeerId kId = core::GeneratePeerId(core::kEngineVersion, 0x123456789ABCull);

using tessali::test::HashOf;

Bytes Login() {
    return Encode(LoginRequest{0, {}, 0x0100007F, 0x401F, 0});
}
Bytes Sources(uint8_t b) {
    return Encode(SourceListRequest{0, {}, HashOf(b)});
}
Bytes Share(uint8_t b) {
    return Encode(ShareRequest{0, {}, HashOf(b)});
}

uint16_t Command(const Bytes& b) {
    return PeekHeader(b)->command;
}
uint32_t Sequence(const Bytes& b) {
    return PeekHeader(b)->sequence;
}

TEST(TrackerRequestQueue, SequenceGrowsByEachLengthAndTheIdIsFilledIn) {
    CTrackerRequestQueue q;
    EXPECT_EQ(q.Queue(Login(), true, kId, 1000), 0u);
    EXPECT_EQ(q.Queue(Share(1), false, kId, 1000), 36u);
    EXPECT_EQ(q.Queue(Sources(2), true, kId, 1000), 36u + 48u);
    std::vector<Bytes> sent = q.TakeUdpSends(1000, true);
    ASSERT_EQ(sent.size(), 3u);
    for (const Bytes& b : sent) {
        EXPECT_EQ(core::PeerId::FromBytes(std::span<const uint8_t, 20>(b.data() + 8, 20)), kId);
    }
    ShareRequest share;
    ASSERT_TRUE(Decode(sent[2], share));
    EXPECT_EQ(share.sequence, 36u);
    EXPECT_EQ(share.hash, HashOf(1));
}

TEST(TrackerRequestQueue, AnUrgentSourceRequestGoesOutRightAfterTheAwaitedLogin) {
    CTrackerRequestQueue q;
    q.Queue(Login(), true, kId, 1000);
    std::vector<Bytes> first = q.TakeUdpSends(1000, false);
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(Command(first[0]), kCmdLogin);

    // Queued while the login awaits its reply: it must not jump ahead of the login.
    q.Queue(Sources(7), true, kId, 1200);
    EXPECT_EQ(q.AwaitingCommands(), (std::vector<uint16_t>{kCmdLogin, kCmdSourceList}));
    // Not logged in: nothing else goes out, and the login is not resent before its 5 s.
    EXPECT_TRUE(q.TakeUdpSends(1300, false).empty());

    // The login is answered: the source request leaves on the very next pass.
    ASSERT_TRUE(q.OnReply(Sequence(first[0]), kCmdLogin));
    std::vector<Bytes> next = q.TakeUdpSends(1400, true);
    ASSERT_EQ(next.size(), 1u);
    EXPECT_EQ(Command(next[0]), kCmdSourceList);
}

TEST(TrackerRequestQueue, WhileNotLoggedInOnlyTheFrontRequestIsSent) {
    CTrackerRequestQueue q;
    q.Queue(Sources(1), true, kId, 0);
    q.Queue(Login(), true, kId, 0);  // behind nothing: a source request is not a login
    q.Queue(Share(2), false, kId, 0);
    std::vector<Bytes> sent = q.TakeUdpSends(10, false);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(Command(sent[0]), kCmdLogin);
    EXPECT_EQ(q.PendingCount(), 1u);  // the share waits for the login
}

TEST(TrackerRequestQueue, KeepAliveAndLoginStayAtTheFront) {
    CTrackerRequestQueue q;
    q.Queue(Encode(KeepAliveRequest{}), true, kId, 0);
    q.Queue(Sources(1), true, kId, 0);
    q.Queue(Login(), true, kId, 0);
    q.Queue(Sources(2), true, kId, 0);
    // Each urgent request goes to the front, past the login/keep-alive run already there.
    EXPECT_EQ(q.AwaitingCommands(),
              (std::vector<uint16_t>{kCmdKeepAlive, kCmdLogin, kCmdSourceList, kCmdSourceList}));
    EXPECT_TRUE(q.LoginOrKeepAliveAtFront());
    // Pending requests moved to awaiting also go behind the login run at the front.
    CTrackerRequestQueue q2;
    q2.Queue(Share(3), false, kId, 0);
    q2.Queue(Login(), true, kId, 0);
    q2.TakeUdpSends(10, true);
    EXPECT_EQ(q2.AwaitingCommands(), (std::vector<uint16_t>{kCmdLogin, kCmdShare}));
}

TEST(TrackerRequestQueue, RetransmitsAfterMoreThanFiveSecondsAtMostTenAPass) {
    CTrackerRequestQueue q;
    for (int i = 0; i < 12; ++i) {
        q.Queue(Share(static_cast<uint8_t>(i)), false, kId, 0);
    }
    EXPECT_EQ(q.TakeUdpSends(100, true).size(), 10u);
    EXPECT_EQ(q.TakeUdpSends(100, true).size(), 2u);
    EXPECT_TRUE(q.TakeUdpSends(5100, true).empty());  // exactly 5000 ms: not yet
    EXPECT_EQ(q.TakeUdpSends(5101, true).size(), 10u);
    EXPECT_EQ(q.TakeUdpSends(5101, true).size(), 2u);
    EXPECT_EQ(q.AwaitingCount(), 12u);
}

TEST(TrackerRequestQueue, RepliesMatchBySequenceAndCommand) {
    CTrackerRequestQueue q;
    q.Queue(Login(), true, kId, 0);
    uint32_t share = q.Queue(Share(1), false, kId, 0);
    q.TakeUdpSends(1, true);
    EXPECT_FALSE(q.OnReply(share, kCmdSourceList));
    EXPECT_FALSE(q.OnReply(kNoticeSequence, kCmdRelayNotice));
    EXPECT_TRUE(q.OnReply(share, kCmdShare));
    EXPECT_FALSE(q.OnReply(share, kCmdShare));
    EXPECT_EQ(q.AwaitingCommands(), (std::vector<uint16_t>{kCmdLogin}));
}

TEST(TrackerRequestQueue, TheRelayTakesRequestsUnansweredForSixteenSeconds) {
    CTrackerRequestQueue q;
    q.Queue(Login(), true, kId, 1000);
    q.TakeUdpSends(1000, false);
    q.Queue(Share(1), false, kId, 2000);
    EXPECT_FALSE(q.NeedsRelay(17000));  // 16 000 ms exactly
    EXPECT_TRUE(q.NeedsRelay(17001));
    std::vector<Bytes> relayed = q.TakeRelaySends(17001);
    // The old login, then the pending share (moved to awaiting), in this order.
    ASSERT_EQ(relayed.size(), 2u);
    EXPECT_EQ(Command(relayed[0]), kCmdLogin);
    EXPECT_EQ(Command(relayed[1]), kCmdShare);
    EXPECT_EQ(q.PendingCount(), 0u);
    EXPECT_FALSE(q.NeedsRelay(22001));
    EXPECT_TRUE(q.NeedsRelay(22002));
    EXPECT_EQ(q.TakeRelaySends(22002).size(), 2u);
}

// The tracker answers the shares but loses one source request: a thousand shares waiting their
// turn must not keep that request from being sent again every five seconds.
TEST(TrackerRequestQueue, ABacklogOfSharesNeverStarvesAnUnansweredSourceRequest) {
    CTrackerRequestQueue q;
    for (int i = 0; i < 1000; ++i) {
        q.Queue(Share(static_cast<uint8_t>(i)), false, kId, 0);
    }
    q.Queue(Sources(200), true, kId, 0);
    int sourceSends = 0;
    for (Tick now = 200; now <= 30000; now += 200) {
        for (const Bytes& b : q.TakeUdpSends(now, true)) {
            if (Command(b) == kCmdSourceList) {
                ++sourceSends;
            }
        }
    }
    // Sent at once, then again after each 5 s: six times in 30 s (one pass of slack allowed).
    EXPECT_GE(sourceSends, 5);
    EXPECT_LE(q.AwaitingCount(), kMaxAwaitingNormal + 1);
}

// Nobody answers: source-list and relay requests, asked again by their senders, must not pile
// up. The same question replaces the one before; the oldest give way; a minute is the most any
// waits. Logins and shares stay.
TEST(TrackerRequestQueue, UnansweredSourceAndRelayRequestsAreBounded) {
    CTrackerRequestQueue q;
    q.Queue(Login(), true, kId, 0);
    q.Queue(Share(1), false, kId, 0);
    q.TakeUdpSends(0, true);
    q.Queue(Sources(1), true, kId, 100);
    q.Queue(Sources(1), true, kId, 200);
    EXPECT_EQ(q.AwaitingCommands(), (std::vector<uint16_t>{kCmdLogin, kCmdSourceList, kCmdShare}));
    for (int i = 0; i < 1000; ++i) {
        core::TaskHash h;
        h.bytes.fill(0);
        h.bytes[0] = static_cast<uint8_t>(i);
        h.bytes[1] = static_cast<uint8_t>(i >> 8);
        RelayRequest relay;
        relay.hash = h;
        q.Queue(Encode(relay), true, kId, 1000);
    }
    EXPECT_EQ(q.AwaitingCount(), 2u + kMaxAwaitingUrgent);
    std::vector<uint16_t> commands = q.AwaitingCommands();
    EXPECT_EQ(commands.front(), kCmdLogin);
    EXPECT_EQ(commands.back(), kCmdShare);
    EXPECT_EQ(std::count(commands.begin(), commands.end(), kCmdSourceList), 0) << "the oldest gave way";
    q.TakeUdpSends(1000 + kUrgentGiveUpMs, true);
    EXPECT_EQ(q.AwaitingCount(), 2u + kMaxAwaitingUrgent);
    q.TakeUdpSends(1001 + kUrgentGiveUpMs, true);
    EXPECT_EQ(q.AwaitingCommands(), (std::vector<uint16_t>{kCmdLogin, kCmdShare}));
}

TEST(TrackerRequestQueue, AReplacedIdReachesEveryQueuedRequest) {
    CTrackerRequestQueue q;
    q.Queue(Login(), true, kId, 0);
    q.Queue(Share(1), false, kId, 0);
    core::PeerId fresh = core::GeneratePeerId(core::kEngineVersion, 42);
    q.SetPeerId(fresh);
    for (const Bytes& b : q.TakeUdpSends(1, true)) {
        EXPECT_EQ(core::PeerId::FromBytes(std::span<const uint8_t, 20>(b.data() + 8, 20)), fresh);
    }
}

}  // namespace
}  // namespace tessali::sources
