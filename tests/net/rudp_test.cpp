// Reliable-UDP packets, windows and connections, driven through an in-memory link under a fake
// clock so every retransmission and time-out is exact.
#include <gtest/gtest.h>

#include <set>

#include "engine/core/engine_env.h"
#include "engine/net/rudp_congestion.h"
#include "engine/net/rudp_packet.h"
#include "engine/net/rudp_rtt.h"
#include "engine/net/slider_wnd.h"
#include "engine/platform/tick.h"
#include "net/rudp_fake_link.h"

namespace tessali::net {
namespace {

using test::CFakeLink;
using test::DrainEvents;

std::vector<uint8_t> Bytes(size_t n, uint8_t first) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) {
        v[i] = static_cast<uint8_t>(first + i * 7);
    }
    return v;
}

std::vector<uint8_t> Cat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(RudpPacket, HeaderByteOrderAndRelayRequestLayout) {
    auto p = BuildRudpPacket(kRudpData, 0x01020304, 0x0A0B0C0D, Bytes(3, 1));
    ASSERT_EQ(p.size(), 16u);
    const uint8_t header[13] = {0, 0, 0, 16, 4, 3, 2, 1, 0x0D, 0x0C, 0x0B, 0x0A, 4};
    EXPECT_TRUE(std::equal(header, header + 13, p.begin()));
    auto h = DecodeRudpHeader(p);
    ASSERT_TRUE(h);
    EXPECT_EQ(h->length, 16u);
    EXPECT_EQ(h->seq, 0x01020304u);
    EXPECT_EQ(h->ack, 0x0A0B0C0Du);
    EXPECT_FALSE(DecodeRudpHeader(std::span(p).first(12)));

    std::array<uint8_t, 20> own, remote, hash;
    own.fill('A');
    remote.fill('B');
    hash.fill(0xCC);
    auto r = BuildRelayRequest(own, remote, hash);
    EXPECT_EQ(r[0], 0);
    EXPECT_EQ(r[1], 68);
    EXPECT_EQ(r[2] << 8 | r[3], 785);
    EXPECT_EQ(r[4] | r[5] | r[6] | r[7], 0);
    EXPECT_TRUE(std::all_of(r.begin() + 8, r.begin() + 28, [](uint8_t c) { return c == 'A'; }));
    EXPECT_TRUE(std::all_of(r.begin() + 28, r.begin() + 48, [](uint8_t c) { return c == 'B'; }));
    EXPECT_TRUE(std::all_of(r.begin() + 48, r.end(), [](uint8_t c) { return c == 0xCC; }));
}

TEST(RudpRtt, SmoothsAsRfc6298AndAllowsForTheDelayedAcknowledge) {
    CRudpRttEstimator est;
    EXPECT_FALSE(est.HasSample());
    EXPECT_EQ(est.Rto(), kRudpInitialRtoMs);
    // First sample: SRTT = R, RTTVAR = R / 2; RTO = SRTT + 4 RTTVAR + the peer's 30 ms.
    est.AddSample(100);
    EXPECT_EQ(est.Srtt(), 100u);
    EXPECT_EQ(est.RttVar(), 50u);
    EXPECT_EQ(est.Rto(), 100u + 200 + kRudpPeerAckDelayMs);
    // A later sample moves SRTT by 1/8 and RTTVAR by 1/4 of the error.
    est.AddSample(180);
    EXPECT_EQ(est.Srtt(), 110u);   // 100 + (180 - 100) / 8
    EXPECT_EQ(est.RttVar(), 57u);  // 3/4 x 50 + 1/4 x 80 = 57.5
    EXPECT_EQ(est.Rto(), 110u + 230 + kRudpPeerAckDelayMs);
    // A steady short path: the variance decays, and the floor holds the time-out up.
    for (int i = 0; i < 200; ++i) {
        est.AddSample(40);
    }
    EXPECT_EQ(est.Srtt(), 40u);
    EXPECT_EQ(est.Rto(), kRudpMinRtoMs);
    // Each retransmission doubles it, up to the ceiling.
    EXPECT_EQ(est.BackedOffRto(1), kRudpMinRtoMs);
    EXPECT_EQ(est.BackedOffRto(2), 2 * kRudpMinRtoMs);
    EXPECT_EQ(est.BackedOffRto(4), 8 * kRudpMinRtoMs);
    EXPECT_EQ(est.BackedOffRto(40), kRudpMaxRtoMs);
    // A long path raises it well past the old fixed 800 ms.
    CRudpRttEstimator slow;
    for (int i = 0; i < 50; ++i) {
        slow.AddSample(900);
    }
    EXPECT_GT(slow.Rto(), 900u + kRudpPeerAckDelayMs);
    EXPECT_LT(slow.Rto(), 1000u);
}

// Records every transmission by sequence; a refusal list makes chosen calls fail.
struct CWindowProbe {
    std::vector<uint32_t> sent;
    std::set<size_t> refuse;  // call numbers (from 0) the socket refuses
    size_t calls = 0;
    CSliderWnd w{[this](std::span<const uint8_t> b) {
        if (refuse.count(calls++)) {
            return false;
        }
        sent.push_back(DecodeRudpHeader(b)->seq);
        return true;
    }};
    void QueueData(uint32_t n, platform::Tick now, size_t payload = 1024) {
        for (uint32_t i = 0; i < n; ++i) {
            w.Queue(BuildRudpPacket(kRudpData, m_next, 1, Bytes(payload, 0)), m_next, now);
            m_next += static_cast<uint32_t>(payload);
        }
    }
    size_t Count(uint32_t seq) const { return std::count(sent.begin(), sent.end(), seq); }
    uint32_t m_next = 1;
};

// On loopback or a LAN the path's own round trip is about a millisecond, while the peer holds
// in-order acknowledges back for tens of milliseconds: a sender limited by its window then
// measures only what that window lets through per held-back acknowledge. The window must grow
// from there to what a receiving socket buffer takes, not shrink round after round to the
// minimum (which left a loopback stream at a few packets per acknowledge).
TEST(RudpCongestion, AShortPathWithHeldBackAcknowledgesGrowsItsWindowWithinASocketBuffer) {
    CRudpCongestion cc;
    platform::Tick now = 1000;
    uint64_t delivered = 0;
    // One clean packet with the path's own round trip.
    RudpRateSample first;
    first.delivered = delivered += 1037;
    first.intervalMs = 1;
    first.rttMs = 1;
    cc.OnSample(first, now);
    for (int round = 0; round < 60; ++round) {
        // Everything the window allowed goes out at once and comes back in one acknowledge
        // 50 ms later (the peer's delay plus its polling).
        uint64_t window = cc.WindowBytes();
        now += 50;
        RudpRateSample s;
        s.priorDelivered = delivered;
        s.delivered = delivered += window;
        s.intervalMs = 50;
        s.rttMs = 50;
        cc.OnSample(s, now);
    }
    EXPECT_EQ(cc.MinRttMs(), 1u);
    EXPECT_GE(cc.WindowBytes(), 16u * CRudpCongestion::kInitialWindowBytes);
    EXPECT_LE(cc.WindowBytes(), 1024u * 1024u);
}

// Repairing a burst of holes through cumulative acknowledgements: the acknowledges that take
// repaired packets off the window deliver nothing the repeated acknowledges had not already
// counted, and the repair drags on for many round trips. Neither may wipe out the bottleneck
// estimate, or the sender falls back to its initial window and paces at nothing, and since a
// rate sample never exceeds the pace the estimate cannot grow back.
TEST(RudpCongestion, TheRateEstimateSurvivesTheRepairOfALossBurst) {
    CRudpCongestion cc;
    platform::Tick now = 1000;
    uint64_t delivered = 0;
    // Ten clean rounds at 10 000 bytes/ms over a 40 ms path.
    for (int round = 0; round < 10; ++round) {
        now += 40;
        RudpRateSample s;
        s.priorDelivered = delivered;
        s.delivered = delivered += 400000;
        s.intervalMs = 40;
        s.rttMs = 40;
        cc.OnSample(s, now);
    }
    const double before = cc.BottleneckRate();
    ASSERT_GT(before, 5000.0);
    {
        SCOPED_TRACE("acknowledges that deliver nothing new");
        for (int i = 0; i < 500; ++i) {
            now += 1;
            RudpRateSample s;
            s.priorDelivered = delivered;
            s.delivered = delivered;
            s.intervalMs = 40;
            s.inRecovery = true;
            cc.OnSample(s, now);
        }
        EXPECT_GE(cc.BottleneckRate(), before);
        EXPECT_GT(cc.PacingRate(), 0.5 * before);
    }
    {
        SCOPED_TRACE("twenty round trips of hole repair delivering a trickle");
        for (int round = 0; round < 20; ++round) {
            now += 40;
            RudpRateSample s;
            s.priorDelivered = delivered;
            s.delivered = delivered += 1024;
            s.intervalMs = 40;
            s.inRecovery = true;
            cc.OnSample(s, now);
        }
        EXPECT_GE(cc.BottleneckRate(), before);
        EXPECT_GE(cc.WindowBytes(), uint64_t(before * 40));
    }
    {
        SCOPED_TRACE("a path that really slowed down is believed once the repairs are over");
        for (int round = 0; round < 60; ++round) {
            now += 40;
            RudpRateSample s;
            s.priorDelivered = delivered;
            s.delivered = delivered += 40000;
            s.intervalMs = 40;
            s.rttMs = 40;
            cc.OnSample(s, now);
        }
        EXPECT_LT(cc.BottleneckRate(), 0.2 * before);
    }
}

// Start-up doubles its rate every round trip; its window is what stops it from filling a
// bottleneck queue of about one round trip before the growth stalls, whatever the pace.
TEST(RudpCongestion, StartUpKeepsAtMostTwoRoundTripsOfDataInFlight) {
    CRudpCongestion cc;
    platform::Tick now = 1000;
    uint64_t delivered = 0;
    for (int round = 0; round < 6; ++round) {
        now += 40;
        RudpRateSample s;
        s.priorDelivered = delivered;
        s.delivered = delivered += 100000u << round;
        s.intervalMs = 40;
        s.rttMs = 40;
        cc.OnSample(s, now);
    }
    ASSERT_EQ(cc.CurrentMode(), CRudpCongestion::Mode::kStartup);
    EXPECT_LE(cc.WindowBytes(), uint64_t(2 * cc.BottleneckRate() * 40) + 1);
    EXPECT_GT(cc.PacingRate(), 2 * cc.BottleneckRate());
}

// While the rate is low the peer holds most acknowledges back up to 30 ms, so most round trips
// measured in start-up are well above the path's own. That is no queue: start-up must go on
// doubling while the delivery rate does (ending it there left a real link at a few per cent,
// growing by a quarter per eight round trips).
TEST(RudpCongestion, StartUpIsNotEndedByRoundTripsTheHeldBackAcknowledgesLengthen) {
    CRudpCongestion cc;
    platform::Tick now = 1000;
    uint64_t delivered = 0;
    RudpRateSample first;
    first.delivered = delivered += 1037;
    first.intervalMs = 40;
    first.rttMs = 40;
    cc.OnSample(first, now);
    for (int round = 0; round < 8; ++round) {
        // Each round delivers twice the last, acknowledged in several pieces 70 ms after sending.
        const uint64_t roundBytes = 20000u << round;
        const uint64_t roundStart = delivered;
        for (int piece = 0; piece < 6; ++piece) {
            now += 7;
            RudpRateSample s;
            s.priorDelivered = roundStart;
            s.delivered = delivered += roundBytes / 6;
            s.intervalMs = 40;
            s.rttMs = 70;
            cc.OnSample(s, now);
        }
        ASSERT_EQ(cc.CurrentMode(), CRudpCongestion::Mode::kStartup) << "round " << round;
    }
}

// On a path that loses at random, early rounds often wait on one hole: the acknowledgement is
// cumulative, so what they deliver stalls until the repair arrives. Such rounds say nothing of
// the path and must not end start-up (that left a lossy link near 1 Mbit/s, growing by a
// quarter per eight round trips); clean rounds without growth still do.
TEST(RudpCongestion, StartUpIsEndedByCleanRoundsWithoutGrowthNotByRoundsRepairingAHole) {
    CRudpCongestion cc;
    platform::Tick now = 1000;
    uint64_t delivered = 0;
    RudpRateSample first;
    first.delivered = delivered += 1037;
    first.intervalMs = 40;
    first.rttMs = 40;
    cc.OnSample(first, now);
    auto round = [&](uint64_t roundBytes, bool repairing) {
        const uint64_t roundStart = delivered;
        for (int piece = 0; piece < 6; ++piece) {
            now += 7;
            RudpRateSample s;
            s.priorDelivered = roundStart;
            s.delivered = delivered += roundBytes / 6;
            s.intervalMs = 40;
            s.rttMs = repairing ? 0 : 40;
            s.inRecovery = repairing;
            cc.OnSample(s, now);
        }
    };
    round(20000, false);
    round(40000, false);
    for (int r = 0; r < 5; ++r) {
        round(40000, true);
        ASSERT_EQ(cc.CurrentMode(), CRudpCongestion::Mode::kStartup) << "repairing round " << r;
    }
    round(80000, false);
    ASSERT_EQ(cc.CurrentMode(), CRudpCongestion::Mode::kStartup);
    for (int r = 0; r < 5; ++r) {
        round(80000, false);
    }
    EXPECT_NE(cc.CurrentMode(), CRudpCongestion::Mode::kStartup) << "the pipe is full: start-up ends";
}

TEST(RudpWindow, EveryTimedOutPacketIsRetransmittedNotOnlyTheOldest) {
    CWindowProbe p;
    const platform::Tick t0 = 1000;
    p.QueueData(3, t0);        // offsets 1, 1025, 2049
    p.QueueData(2, t0 + 500);  // 3073, 4097
    ASSERT_EQ(p.sent.size(), 5u);
    EXPECT_TRUE(p.w.OnTick(t0 + kRudpInitialRtoMs - 1));
    EXPECT_EQ(p.sent.size(), 5u);
    EXPECT_TRUE(p.w.OnTick(t0 + kRudpInitialRtoMs));
    // The three sent first are due; the two sent later are not yet.
    ASSERT_EQ(p.sent.size(), 8u);
    EXPECT_EQ(std::vector<uint32_t>(p.sent.begin() + 5, p.sent.end()),
              (std::vector<uint32_t>{1, 1025, 2049}));
    p.w.OnTick(t0 + 500 + kRudpInitialRtoMs);
    ASSERT_EQ(p.sent.size(), 10u);
    EXPECT_EQ(std::vector<uint32_t>(p.sent.begin() + 8, p.sent.end()), (std::vector<uint32_t>{3073, 4097}));
    // A second time-out waits twice as long.
    p.w.OnTick(t0 + 3 * kRudpInitialRtoMs - 1);
    EXPECT_EQ(p.sent.size(), 10u);
    p.w.OnTick(t0 + 3 * kRudpInitialRtoMs);
    EXPECT_EQ(p.sent.size(), 13u);
    EXPECT_EQ(p.w.HeadCount(), 3);
    // An acknowledgement clears what it covers, and nothing covered goes again.
    p.w.OnAck(4097, t0 + 3 * kRudpInitialRtoMs + 10);
    EXPECT_EQ(p.w.InFlight(), 1u);
    p.w.OnTick(t0 + 20 * kRudpInitialRtoMs);
    EXPECT_EQ(p.sent.back(), 4097u);
    EXPECT_EQ(p.Count(1), 3u);
}

TEST(RudpWindow, AcknowledgesStuckAtAnOffsetRetransmitThatPacketAtOnce) {
    CWindowProbe p;
    p.QueueData(8, 0);    // 1, 1025, ..., 7169
    p.w.OnAck(1025, 40);  // the first arrived; the second is lost
    const size_t before = p.sent.size();
    // Later packets arrive and each is acknowledged at once with the missing offset.
    p.w.OnAck(1025, 41);
    p.w.OnAck(1025, 41);
    EXPECT_EQ(p.sent.size(), before);  // two may still be reordering
    p.w.OnAck(1025, 42);
    ASSERT_EQ(p.sent.size(), before + 1);
    EXPECT_EQ(p.sent.back(), 1025u);
    // Further repeats within the round trip do not send it again.
    p.w.OnAck(1025, 43);
    p.w.OnAck(1025, 44);
    EXPECT_EQ(p.Count(1025), 2u);
    // The repair arrives and the acknowledgement stops at 4097: that packet was sent before the
    // repair that overtook it, so it is lost too and goes at once, long before any time-out.
    p.w.OnAck(4097, 85);
    EXPECT_EQ(p.Count(4097), 2u);
    EXPECT_EQ(p.Count(5121), 1u);
    EXPECT_LT(85u, p.w.Rto());
}

// At 100 Mbit/s a dozen packets leave within one millisecond, so whether a packet went out
// before the repair that overtook it cannot be told by the clock: the order of transmission says.
TEST(RudpWindow, APacketSentJustBeforeTheRepairThatOvertookItIsLostEvenInTheSameMillisecond) {
    CWindowProbe p;
    p.QueueData(8, 0);  // 1 .. 7169; the first is lost
    p.w.OnAck(1, 41);   // 1025 arrived
    p.QueueData(2, 42);  // 8193 (to be lost) and 9217 go out...
    ASSERT_EQ(p.Count(8193), 1u);
    p.w.OnAck(1, 42);  // ...and in the same millisecond two more repeats make 1 lost
    p.w.OnAck(1, 42);
    ASSERT_EQ(p.Count(1), 2u);
    // The repair arrives; the acknowledgement stops at 8193, sent before it: lost, resent at once.
    p.w.OnAck(8193, 85);
    EXPECT_EQ(p.Count(8193), 2u);
    EXPECT_EQ(p.Count(9217), 1u);
}

TEST(RudpWindow, APacketTheSocketRefusedStaysQueuedAndGoesOnTheNextPass) {
    CWindowProbe p;
    p.refuse = {2, 3, 4, 5};
    p.QueueData(5, 0);
    // From the third send on the socket would block: those packets wait, none counted as sent.
    EXPECT_EQ(p.sent, (std::vector<uint32_t>{1, 1025}));
    EXPECT_EQ(p.w.InFlight(), 2u);
    p.w.OnTick(5);  // refused once more
    EXPECT_EQ(p.w.InFlight(), 2u);
    p.w.OnTick(10);
    EXPECT_EQ(p.sent, (std::vector<uint32_t>{1, 1025, 2049, 3073, 4097}));
    EXPECT_EQ(p.w.InFlight(), 5u);
}

TEST(RudpWindow, SmallPacketsAreRetransmittedTwice) {
    CWindowProbe p;
    p.QueueData(1, 0, 20);
    p.QueueData(1, 0, 1024);
    p.w.OnTick(kRudpInitialRtoMs);
    EXPECT_EQ(p.Count(1), 3u);  // a 33-byte packet goes twice on retransmission
    EXPECT_EQ(p.Count(21), 2u);
}

class RudpConnection : public ::testing::Test {
protected:
    platform::FakeTick clock{10000};
    CFakeLink link;
};

TEST_F(RudpConnection, HandshakeReportsConnectedAndAcceptedWithOffsetsFromOne) {
    ASSERT_TRUE(link.a.mgr.Connect(link.b.addr, link.b.port, link.a.sock));
    EXPECT_FALSE(link.a.mgr.Connect(link.b.addr, link.b.port, link.a.sock));
    auto first = link.a.out.Log();
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(first[0].bytes, BuildRudpPacket(kRudpConnect, 0, 0));
    EXPECT_EQ(first[0].addr, link.b.addr);
    EXPECT_EQ(first[0].sock, link.a.sock);
    // Nothing may be sent before the connection is established.
    uint8_t x = 1;
    EXPECT_EQ(link.a.mgr.Send(link.b.addr, link.b.port, link.a.sock, &x, 1), -1);

    link.Pump();
    auto ea = DrainEvents(link.a.events);
    auto eb = DrainEvents(link.b.events);
    ASSERT_EQ(ea.size(), 1u);
    EXPECT_EQ(ea[0].ev.kind, SockEventKind::kConnected);
    EXPECT_EQ(ea[0].ev.addr, link.b.addr);
    EXPECT_EQ(ea[0].ev.sock, link.a.sock);
    ASSERT_EQ(eb.size(), 1u);
    EXPECT_EQ(eb[0].ev.kind, SockEventKind::kAccepted);
    EXPECT_EQ(eb[0].ev.port, link.a.port);
    EXPECT_EQ(link.b.out.Log()[0].bytes, BuildRudpPacket(kRudpAccept, 0, 1));
    EXPECT_EQ(link.a.out.Log()[1].bytes, BuildRudpPacket(kRudpAck, 0, 1));
    for (auto c : {link.ConnA(), link.ConnB()}) {
        EXPECT_EQ(c->State(), RudpState::kEstablished);
        EXPECT_EQ(c->NextSendOffset(), 1u);
        EXPECT_EQ(c->ExpectedOffset(), 1u);
    }
    EXPECT_EQ(link.b.mgr.Send(link.a.addr, link.a.port, link.b.sock + 1, &x, 1), -1);
}

TEST_F(RudpConnection, DataIsCutIntoPacketsAndArrivesInOrderThroughLossDuplicatesAndDelay) {
    link.Establish();
    DrainEvents(link.a.events);
    DrainEvents(link.b.events);
    std::vector<uint8_t> data = Bytes(300 * 1024 + 77, 3);
    size_t sent = 0;
    std::vector<uint8_t> got;
    int n = 0;
    // Every 7th datagram lost, every 5th doubled, in both directions.
    auto lossy = [&](const test::SentDatagram&) {
        ++n;
        return n % 7 == 0 ? 0 : (n % 5 == 0 ? 2 : 1);
    };
    for (int step = 0; step < 100000 && got.size() < data.size(); ++step) {
        if (sent < data.size()) {
            int r = link.a.mgr.Send(link.b.addr, link.b.port, link.a.sock, data.data() + sent,
                                    data.size() - sent);
            ASSERT_GE(r, 0);
            sent += r;
        }
        link.Pump(lossy);
        clock.Advance(5);
        link.PollBoth();
        for (auto& e : DrainEvents(link.b.events)) {
            ASSERT_EQ(e.ev.kind, SockEventKind::kData);
            got.insert(got.end(), e.data.begin(), e.data.end());
        }
    }
    ASSERT_EQ(got.size(), data.size());
    EXPECT_TRUE(got == data);
    // Payloads never exceed 1024 bytes.
    for (auto& d : link.a.out.Log()) {
        EXPECT_LE(d.bytes.size(), kRudpMaxPacket);
    }
}

TEST_F(RudpConnection, EarlyPacketsAreHeldAndDeliveredWithTheGapFillerInOneEvent) {
    link.Establish();
    DrainEvents(link.b.events);
    auto p1 = Bytes(1024, 1), p2 = Bytes(1024, 2), p3 = Bytes(500, 3);
    link.FeedB(kRudpData, 2049, 1, p3);
    link.FeedB(kRudpData, 1025, 1, p2);
    EXPECT_TRUE(DrainEvents(link.b.events).empty());
    EXPECT_EQ(link.ConnB()->HeldPackets(), 2u);
    link.FeedB(kRudpData, 1, 1, p1);
    auto ev = DrainEvents(link.b.events);
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].data, Cat(Cat(p1, p2), p3));
    EXPECT_EQ(link.ConnB()->ExpectedOffset(), 2549u);
    EXPECT_EQ(link.ConnB()->HeldPackets(), 0u);
}

TEST_F(RudpConnection, ADuplicateIsDroppedButStillAcknowledged) {
    link.Establish();
    DrainEvents(link.b.events);
    auto p1 = Bytes(1024, 1);
    link.FeedB(kRudpData, 1, 1, p1);
    clock.Advance(30);
    link.b.mgr.Poll();
    link.b.out.Take();
    ASSERT_EQ(DrainEvents(link.b.events).size(), 1u);

    link.FeedB(kRudpData, 1, 1, p1);
    EXPECT_TRUE(DrainEvents(link.b.events).empty());
    clock.Advance(29);
    link.b.mgr.Poll();
    EXPECT_TRUE(link.b.out.Take().empty());  // acknowledges wait 30 ms
    clock.Advance(1);
    link.b.mgr.Poll();
    auto sent = link.b.out.Take();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].bytes, BuildRudpPacket(kRudpAck, 1, 1025));
}

TEST_F(RudpConnection, NewOutOfOrderAndGapFillingPacketsAreAcknowledgedAtOnce) {
    link.Establish();
    DrainEvents(link.b.events);
    link.b.out.Take();
    clock.Advance(1);
    // In order: the acknowledge waits for the delay.
    link.FeedB(kRudpData, 1, 1, Bytes(1024, 1));
    EXPECT_TRUE(link.b.out.Take().empty());
    // Ahead of a hole: one acknowledge per packet, at once, naming the missing offset.
    link.FeedB(kRudpData, 2049, 1, Bytes(1024, 3));
    link.FeedB(kRudpData, 3073, 1, Bytes(1024, 4));
    auto sent = link.b.out.Take();
    ASSERT_EQ(sent.size(), 2u);
    for (auto& d : sent) {
        EXPECT_EQ(d.Header().type, kRudpAck);
        EXPECT_EQ(d.Header().ack, 1025u);
    }
    // Each such acknowledge stands for one more packet held: a second copy of one already held,
    // or one too far ahead to be held, sends none (the sender counts arrivals by them).
    link.FeedB(kRudpData, 2049, 1, Bytes(1024, 3));
    link.FeedB(kRudpData, 1025 + kRudpReorderWindowBytes, 1, Bytes(1024, 9));
    EXPECT_TRUE(link.b.out.Take().empty());
    // The repair: acknowledged at once with the new expected offset.
    link.FeedB(kRudpData, 1025, 1, Bytes(1024, 2));
    sent = link.b.out.Take();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].Header().ack, 4097u);
    // In order again: back to the delay.
    link.FeedB(kRudpData, 4097, 1, Bytes(1024, 5));
    EXPECT_TRUE(link.b.out.Take().empty());
    clock.Advance(kRudpAckDelayMs);
    link.b.mgr.Poll();
    sent = link.b.out.Take();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].Header().ack, 5121u);
}

TEST_F(RudpConnection, OffsetsCrossing4GiBAreNotMistakenForTheConnectPacket) {
    link.Establish();
    DrainEvents(link.a.events);
    DrainEvents(link.b.events);
    // Both ends as if 4 GiB minus 4 KiB had passed: the fifth packet has sequence 0.
    const uint32_t start = 0u - 4096;
    link.ConnA()->SetOffsetsForTest(start, 1);
    link.ConnB()->SetOffsetsForTest(1, start);
    auto data = Bytes(16 * 1024, 7);
    ASSERT_EQ(link.a.mgr.Send(link.b.addr, link.b.port, link.a.sock, data.data(), data.size()), 16 * 1024);
    // The packet at offset 0 is lost more often than a connect is ever sent.
    int zeroDropped = 0;
    auto dropZero = [&](const test::SentDatagram& d) {
        auto h = d.Header();
        if (h.type == kRudpData && h.seq == 0 && zeroDropped < kRudpConnectTransmissions) {
            ++zeroDropped;
            return 0;
        }
        return 1;
    };
    std::vector<uint8_t> got;
    for (int step = 0; step < 40000 && got.size() < data.size(); ++step) {
        link.Pump(dropZero);
        clock.Advance(5);
        link.PollBoth();
        if (step % 50 == 0) {
            for (auto& e : DrainEvents(link.b.events)) {
                ASSERT_EQ(e.ev.kind, SockEventKind::kData);
                got.insert(got.end(), e.data.begin(), e.data.end());
            }
        }
    }
    EXPECT_EQ(zeroDropped, kRudpConnectTransmissions);
    EXPECT_TRUE(got == data);
    EXPECT_TRUE(DrainEvents(link.a.events).empty());  // no close
    EXPECT_EQ(link.ConnA()->State(), RudpState::kEstablished);
    EXPECT_EQ(link.ConnB()->ExpectedOffset(), start + 16 * 1024);
}

TEST_F(RudpConnection, A68BytePayloadIsItsOwnEventAndNeverJumpsAGap) {
    link.Establish();
    DrainEvents(link.b.events);
    auto hs = Bytes(68, 9), next = Bytes(10, 4);
    // In order: the handshake is delivered alone, then what was waiting behind it.
    link.FeedB(kRudpData, 69, 1, next);
    link.FeedB(kRudpData, 1, 1, hs);
    auto ev = DrainEvents(link.b.events);
    ASSERT_EQ(ev.size(), 2u);
    EXPECT_EQ(ev[0].data, hs);
    EXPECT_EQ(ev[1].data, next);
    EXPECT_EQ(link.ConnB()->ExpectedOffset(), 79u);

    // Ahead of a gap it waits like any packet: delivering it early would move the expected
    // offset past the missing bytes and lose them.
    auto gap = Bytes(1024, 5), hs2 = Bytes(68, 6);
    link.FeedB(kRudpData, 79 + 1024, 1, hs2);
    EXPECT_TRUE(DrainEvents(link.b.events).empty());
    EXPECT_EQ(link.ConnB()->ExpectedOffset(), 79u);
    link.FeedB(kRudpData, 79, 1, gap);
    ev = DrainEvents(link.b.events);
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].data, Cat(gap, hs2));
    EXPECT_EQ(link.ConnB()->ExpectedOffset(), 79u + 1024 + 68);
}

TEST_F(RudpConnection, PacketsFarAheadOfTheExpectedOffsetAreNotHeld) {
    link.Establish();
    link.FeedB(kRudpData, 1 + kRudpReorderWindowBytes, 1, Bytes(100, 1));
    EXPECT_EQ(link.ConnB()->HeldPackets(), 0u);
    link.FeedB(kRudpData, kRudpReorderWindowBytes, 1, Bytes(100, 1));
    EXPECT_EQ(link.ConnB()->HeldPackets(), 1u);
    // Many tiny packets within the window stop at the count cap.
    for (uint32_t i = 0; i < kRudpMaxReorderPackets + 50; ++i) {
        link.FeedB(kRudpData, 1000 + i * 2, 1, Bytes(1, 1));
    }
    EXPECT_EQ(link.ConnB()->HeldPackets(), kRudpMaxReorderPackets);
}

TEST_F(RudpConnection, ABadAcknowledgeInAcceptStateClosesWithoutReportingTheConnection) {
    link.FeedB(kRudpConnect, 0, 0);
    ASSERT_TRUE(link.ConnB());
    EXPECT_EQ(link.ConnB()->State(), RudpState::kAcceptSent);
    link.FeedB(kRudpAck, 5, 1);
    auto ev = DrainEvents(link.b.events);
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].ev.kind, SockEventKind::kClosed);
    auto sent = link.b.out.Log();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1].Header().type, kRudpClose);
    // A correct acknowledge arriving afterwards changes nothing.
    link.FeedB(kRudpAck, 0, 1);
    EXPECT_TRUE(DrainEvents(link.b.events).empty());
    link.b.mgr.Poll();
    EXPECT_EQ(link.b.mgr.ConnectionCount(), 0u);

    // Also the other bad form (acknowledgement other than 1).
    link.FeedB(kRudpConnect, 0, 0);
    link.FeedB(kRudpAck, 0, 2);
    ev = DrainEvents(link.b.events);
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].ev.kind, SockEventKind::kClosed);
}

TEST_F(RudpConnection, AnUnansweredConnectFailsAfterSixTransmissions) {
    ASSERT_TRUE(link.a.mgr.Connect(link.b.addr, link.b.port, link.a.sock));
    for (int i = 0; i < 5; ++i) {
        clock.Advance(2499);
        link.a.mgr.Poll();
        EXPECT_EQ(link.a.out.Log().size(), size_t(i + 1));
        clock.Advance(1);
        link.a.mgr.Poll();
        EXPECT_EQ(link.a.out.Log().size(), size_t(i + 2));
    }
    EXPECT_TRUE(DrainEvents(link.a.events).empty());
    clock.Advance(2500);
    link.a.mgr.Poll();
    auto sent = link.a.out.Log();
    ASSERT_EQ(sent.size(), 7u);
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(sent[i].Header().type, kRudpConnect);
    }
    EXPECT_EQ(sent[6].Header().type, kRudpClose);
    auto ev = DrainEvents(link.a.events);
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].ev.kind, SockEventKind::kClosed);
    link.a.mgr.Poll();
    EXPECT_EQ(link.a.mgr.ConnectionCount(), 0u);
}

TEST_F(RudpConnection, OversizedTruncatedAndMislabelledPacketsClose) {
    for (int variant = 0; variant < 3; ++variant) {
        link.Establish();
        DrainEvents(link.b.events);
        std::vector<uint8_t> bad;
        if (variant == 0) {
            bad = BuildRudpPacket(kRudpData, 1, 1, Bytes(1025, 0));
        } else if (variant == 1) {
            bad = BuildRudpPacket(kRudpData, 1, 1, Bytes(1024, 0));
            bad.resize(100);  // the length field claims more than arrived
        } else {
            bad = {0, 0, 0, 5, 0, 0, 0, 0, 0, 0, 0, 0, 4};  // length under the header size
        }
        link.FeedBRaw(bad);
        auto ev = DrainEvents(link.b.events);
        ASSERT_EQ(ev.size(), 1u) << variant;
        EXPECT_EQ(ev[0].ev.kind, SockEventKind::kClosed);
        EXPECT_EQ(link.ConnB()->State(), RudpState::kClosed);
        // B's close reaches A, which reports it; both are then released.
        link.Pump();
        link.PollBoth();
        auto ea = DrainEvents(link.a.events);
        ASSERT_FALSE(ea.empty());
        EXPECT_EQ(ea.back().ev.kind, SockEventKind::kClosed);
        ASSERT_EQ(link.a.mgr.ConnectionCount(), 0u);
        ASSERT_EQ(link.b.mgr.ConnectionCount(), 0u);
    }
}

TEST_F(RudpConnection, CloseIsReportedOnceOnTheOtherSide) {
    link.Establish();
    DrainEvents(link.a.events);
    DrainEvents(link.b.events);
    ASSERT_TRUE(link.a.mgr.Close(link.b.addr, link.b.port, link.a.sock));
    link.Pump();
    EXPECT_TRUE(DrainEvents(link.a.events).empty());  // the side that asked is not told again
    auto ev = DrainEvents(link.b.events);
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].ev.kind, SockEventKind::kClosed);
    link.PollBoth();
    EXPECT_EQ(link.a.mgr.ConnectionCount(), 0u);
    EXPECT_EQ(link.b.mgr.ConnectionCount(), 0u);
    EXPECT_FALSE(link.a.mgr.Close(link.b.addr, link.b.port, link.a.sock));
}

TEST_F(RudpConnection, SilenceFor120SecondsCloses) {
    link.Establish();
    DrainEvents(link.a.events);
    clock.Advance(119999);
    link.a.mgr.Poll();
    EXPECT_TRUE(DrainEvents(link.a.events).empty());
    clock.Advance(1);
    link.a.mgr.Poll();
    auto ev = DrainEvents(link.a.events);
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].ev.kind, SockEventKind::kClosed);
    EXPECT_EQ(link.a.out.Log().back().Header().type, kRudpClose);
}

TEST_F(RudpConnection, ATickReadBeforeAPacketWasStampedIsNotAnAgeOf49Days) {
    // The polling thread reads the clock, then a packet arrives on the socket thread and is
    // stamped a little later; the poll must see the connection as fresh, not timed out.
    link.Establish();
    DrainEvents(link.a.events);
    auto data = Bytes(100, 1);
    link.a.mgr.Send(link.b.addr, link.b.port, link.a.sock, data.data(), data.size());
    link.a.out.Take();
    platform::Tick before = clock.Now() - 3;
    link.ConnA()->Poll(before);
    EXPECT_TRUE(DrainEvents(link.a.events).empty());
    EXPECT_EQ(link.ConnA()->State(), RudpState::kEstablished);
    EXPECT_TRUE(link.a.out.Take().empty());  // and no retransmission either
    EXPECT_EQ(link.ConnA()->Window().HeadCount(), 1);
}

TEST_F(RudpConnection, AConnectOnAnEstablishedConnectionRestartsIt) {
    link.Establish();
    DrainEvents(link.b.events);
    link.FeedB(kRudpData, 1, 1, Bytes(100, 1));
    DrainEvents(link.b.events);
    link.FeedB(kRudpConnect, 0, 0);
    auto ev = DrainEvents(link.b.events);
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].ev.kind, SockEventKind::kClosed);
    EXPECT_EQ(link.ConnB()->State(), RudpState::kAcceptSent);
    link.FeedB(kRudpAck, 0, 1);
    ev = DrainEvents(link.b.events);
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].ev.kind, SockEventKind::kAccepted);
    EXPECT_EQ(link.ConnB()->ExpectedOffset(), 1u);
}

TEST_F(RudpConnection, ARepeatedAcceptDoesNotRewindAnEstablishedStream) {
    link.Establish();
    DrainEvents(link.a.events);
    auto data = Bytes(3000, 1);
    ASSERT_EQ(link.a.mgr.Send(link.b.addr, link.b.port, link.a.sock, data.data(), data.size()), 3000);
    link.a.out.Take();
    link.FeedA(kRudpAccept, 0, 1);
    EXPECT_TRUE(DrainEvents(link.a.events).empty());
    EXPECT_EQ(link.ConnA()->NextSendOffset(), 3001u);
    EXPECT_EQ(link.ConnA()->Window().Packets(), 3u);
    auto sent = link.a.out.Take();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].bytes, BuildRudpPacket(kRudpAck, 0, 1));
}

TEST_F(RudpConnection, CrossingConnectsEstablishBothSides) {
    // Each side's connect reaches the other before any answer: both answer with an accept and
    // must then take the other's accept although they sit in the accept-sent state.
    ASSERT_TRUE(link.a.mgr.Connect(link.b.addr, link.b.port, link.a.sock));
    ASSERT_TRUE(link.b.mgr.Connect(link.a.addr, link.a.port, link.b.sock));
    link.Pump();
    for (auto* side : {&link.a, &link.b}) {
        auto ev = DrainEvents(side->events);
        ASSERT_EQ(ev.size(), 1u);
        EXPECT_EQ(ev[0].ev.kind, SockEventKind::kConnected);
    }
    for (auto c : {link.ConnA(), link.ConnB()}) {
        ASSERT_TRUE(c);
        EXPECT_EQ(c->State(), RudpState::kEstablished);
        EXPECT_EQ(c->NextSendOffset(), 1u);
        EXPECT_EQ(c->ExpectedOffset(), 1u);
    }
    // Data flows both ways, and nothing fails when the connect time-outs would have run out.
    auto ab = Bytes(3000, 1), ba = Bytes(2000, 2);
    ASSERT_EQ(link.a.mgr.Send(link.b.addr, link.b.port, link.a.sock, ab.data(), ab.size()), 3000);
    ASSERT_EQ(link.b.mgr.Send(link.a.addr, link.a.port, link.b.sock, ba.data(), ba.size()), 2000);
    std::vector<uint8_t> gotA, gotB;
    for (int step = 0; step < 4000 && (gotA.size() < ba.size() || gotB.size() < ab.size()); ++step) {
        link.Pump();
        clock.Advance(5);
        link.PollBoth();
        for (auto& e : DrainEvents(link.a.events)) {
            ASSERT_EQ(e.ev.kind, SockEventKind::kData);
            gotA.insert(gotA.end(), e.data.begin(), e.data.end());
        }
        for (auto& e : DrainEvents(link.b.events)) {
            ASSERT_EQ(e.ev.kind, SockEventKind::kData);
            gotB.insert(gotB.end(), e.data.begin(), e.data.end());
        }
    }
    EXPECT_EQ(gotB, ab);
    EXPECT_EQ(gotA, ba);
    // Well past six connect intervals: neither side gives up on a connect.
    for (int step = 0; step < 4000; ++step) {
        clock.Advance(5);
        link.PollBoth();
        link.Pump();
    }
    EXPECT_TRUE(DrainEvents(link.a.events).empty());
    EXPECT_TRUE(DrainEvents(link.b.events).empty());
    EXPECT_EQ(link.ConnA()->State(), RudpState::kEstablished);
    EXPECT_EQ(link.ConnB()->State(), RudpState::kEstablished);
}

TEST_F(RudpConnection, ForgedConnectsKeepABoundedNumberOfHalfOpenConnections) {
    link.Establish();
    DrainEvents(link.b.events);
    link.b.out.Take();
    const auto connect = BuildRudpPacket(kRudpConnect, 0, 0);
    const size_t forged = kRudpMaxHalfOpen + 300;
    auto forgedAddr = [](size_t i) { return htonl(0x7F000000u | static_cast<uint32_t>(i + 2)); };
    for (size_t i = 0; i < forged; ++i) {
        link.b.mgr.OnDatagram(forgedAddr(i), htons(4000), link.b.sock, connect.data(), connect.size());
    }
    // The established connection stays; of the half-open ones only the newest are kept.
    EXPECT_EQ(link.b.mgr.ConnectionCount(), kRudpMaxHalfOpen + 1);
    ASSERT_TRUE(link.ConnB());
    EXPECT_EQ(link.ConnB()->State(), RudpState::kEstablished);
    EXPECT_FALSE(link.b.mgr.Find(forgedAddr(0), htons(4000), link.b.sock));
    EXPECT_FALSE(link.b.mgr.Find(forgedAddr(299), htons(4000), link.b.sock));
    EXPECT_TRUE(link.b.mgr.Find(forgedAddr(300), htons(4000), link.b.sock));
    EXPECT_TRUE(link.b.mgr.Find(forgedAddr(forged - 1), htons(4000), link.b.sock));
    // Dropping them tells nobody anything: no event, no datagram beyond each accept.
    EXPECT_TRUE(DrainEvents(link.b.events).empty());
    EXPECT_EQ(link.b.out.Take().size(), forged);

    // A half-open connection that completes its handshake is no longer a candidate for dropping.
    const uint32_t honest = forgedAddr(forged - 1);
    const auto ack = BuildRudpPacket(kRudpAck, 0, 1);
    link.b.mgr.OnDatagram(honest, htons(4000), link.b.sock, ack.data(), ack.size());
    for (size_t i = 0; i < forged; ++i) {
        link.b.mgr.OnDatagram(forgedAddr(forged + i), htons(4001), link.b.sock, connect.data(),
                              connect.size());
    }
    auto kept = link.b.mgr.Find(honest, htons(4000), link.b.sock);
    ASSERT_TRUE(kept);
    EXPECT_EQ(kept->State(), RudpState::kEstablished);
    EXPECT_EQ(link.b.mgr.ConnectionCount(), kRudpMaxHalfOpen + 2);
    auto ev = DrainEvents(link.b.events);
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].ev.kind, SockEventKind::kAccepted);
}

TEST_F(RudpConnection, SendStopsAcceptingWhenTheWindowQueueIsFull) {
    link.Establish();
    auto big = Bytes(kRudpMaxQueuedBytes * 2, 1);
    int r = link.a.mgr.Send(link.b.addr, link.b.port, link.a.sock, big.data(), big.size());
    EXPECT_GE(r, static_cast<int>(kRudpMaxQueuedBytes));
    EXPECT_LT(r, static_cast<int>(kRudpMaxQueuedBytes + kRudpMaxPayload));
    EXPECT_EQ(link.a.mgr.Send(link.b.addr, link.b.port, link.a.sock, big.data(), 10), 0);
}

TEST_F(RudpConnection, StoppedManagersIgnoreEverythingAndUnknownPeersNeedAConnect) {
    // A data packet from an unknown peer creates nothing.
    link.FeedB(kRudpData, 1, 1, Bytes(10, 1));
    link.FeedB(kRudpConnect, 0, 5);
    EXPECT_EQ(link.b.mgr.ConnectionCount(), 0u);
    link.b.mgr.Stop();
    link.FeedB(kRudpConnect, 0, 0);
    EXPECT_EQ(link.b.mgr.ConnectionCount(), 0u);
    EXPECT_FALSE(link.b.mgr.Connect(link.a.addr, link.a.port, link.b.sock));
}

// A tracker agent stand-in recording the relay requests.
class CFakeRelay : public ITrackerRelay {
public:
    bool loggedIn = true;
    std::vector<std::pair<int, std::vector<uint8_t>>> requests;
    bool LoggedIn() override { return loggedIn; }
    int AgentSocket() override { return 99; }
    std::array<uint8_t, 20> OwnPeerId() override {
        std::array<uint8_t, 20> id;
        id.fill('M');
        return id;
    }
    void SendRelayRequest(int sock, std::span<const uint8_t> request) override {
        requests.emplace_back(sock, std::vector<uint8_t>(request.begin(), request.end()));
    }
};

TEST(RudpNat, TheFirstMatchingRuleDecidesBetweenRelayAndDirectConnect) {
    struct Case {
        bool loggedIn;
        uint32_t own, remote;
        int relaySock;  // -1 none, 99 the agent's, 4 the given one
        bool connects;
        bool punch;
    };
    const Case cases[] = {
        {false, 2, 1, -1, true, false}, {false, 0, 2, -1, false, false}, {true, 0, 1, 99, false, false},
        {true, 0, 5, 99, false, false}, {true, 2, 1, -1, true, false},   {true, 1, 2, 99, false, false},
        {true, 4, 2, 4, true, false},   {true, 3, 3, 4, true, false},    {true, 4, 3, -1, false, false},
        {true, 2, 4, 99, false, true},  {true, 2, 7, 99, false, true},   {true, 5, 7, 4, true, false},
        {true, 3, 7, 4, true, false},   {true, 3, 5, -1, false, false},  {true, 6, 6, -1, false, false},
    };
    uint32_t savedNat = core::Host().natType.load();
    std::array<uint8_t, 20> peer, hash;
    peer.fill('P');
    hash.fill('H');
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "logged in " << c.loggedIn << " own " << c.own << " remote " << c.remote);
        test::CRecordingSender out;
        CFragmentPool events;
        CFakeRelay relay;
        relay.loggedIn = c.loggedIn;
        CConnectMgr mgr(events, out, &relay);
        mgr.StartWithoutThread();
        core::Host().natType = c.own;
        const uint32_t addr = inet_addr("10.1.2.3");
        const uint16_t port = htons(3000);
        EXPECT_EQ(mgr.ConnectThroughNat(4, addr, port, c.remote, peer, hash), c.connects);
        EXPECT_EQ(mgr.ConnectionCount(), c.connects ? 1u : 0u);
        if (c.relaySock < 0) {
            EXPECT_TRUE(relay.requests.empty());
        } else {
            ASSERT_EQ(relay.requests.size(), 1u);
            EXPECT_EQ(relay.requests[0].first, c.relaySock);
            std::array<uint8_t, 20> own;
            own.fill('M');
            auto expected = BuildRelayRequest(own, peer, hash);
            EXPECT_TRUE(std::equal(expected.begin(), expected.end(), relay.requests[0].second.begin()));
        }
        auto sent = out.Log();
        if (c.punch) {
            ASSERT_EQ(sent.size(), 1u);
            EXPECT_EQ(sent[0].sock, 99);
            EXPECT_EQ(sent[0].addr, addr);
            EXPECT_EQ(sent[0].port, port);
            EXPECT_EQ(sent[0].bytes, std::vector<uint8_t>{'0'});
        } else if (c.connects) {
            ASSERT_EQ(sent.size(), 1u);
            EXPECT_EQ(sent[0].Header().type, kRudpConnect);
            EXPECT_EQ(sent[0].sock, 4);
            // A second attempt finds the connection and reports no new one.
            EXPECT_FALSE(mgr.ConnectThroughNat(4, addr, port, c.remote, peer, hash));
        } else {
            EXPECT_TRUE(sent.empty());
        }
    }
    core::Host().natType = savedNat;
}

}  // namespace
}  // namespace tessali::net
