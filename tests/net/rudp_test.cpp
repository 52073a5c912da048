// Reliable-UDP packets, windows and connections, driven through an in-memory link under a fake
// clock so every retransmission and time-out is exact.
#include <gtest/gtest.h>

#include "engine/core/engine_env.h"
#include "engine/net/rudp_packet.h"
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

TEST(RudpWindow, GrowsOneTwoFourToSixtyFourThenByOneAndResetsAfterASecondRetransmission) {
    int transmits = 0;
    CSliderWnd w([&](std::span<const uint8_t>) { ++transmits; });
    const uint32_t t0 = 1000;
    for (uint32_t i = 0; i < 300; ++i) {
        w.Queue(BuildRudpPacket(kRudpData, 1 + i * 1024, 1, Bytes(1024, 0)), 1 + i * 1024, t0);
    }
    EXPECT_EQ(transmits, 1);  // only the window's worth goes out
    EXPECT_EQ(w.InFlight(), 1u);

    std::vector<uint32_t> windows{w.Window()};
    uint32_t acked = 1;
    for (int i = 0; i < 9; ++i) {
        acked += 1024;
        w.OnAck(acked, t0);
        windows.push_back(w.Window());
    }
    EXPECT_EQ(windows, (std::vector<uint32_t>{1, 2, 4, 8, 16, 32, 64, 65, 66, 67}));
    // An acknowledge that removes nothing still grows the window.
    w.OnAck(acked, t0);
    EXPECT_EQ(w.Window(), 68u);
    EXPECT_EQ(w.InFlight(), 68u);
    EXPECT_EQ(w.Packets(), 300u - 9);

    // The head waits count x 800 ms: at 799 nothing, at 800 its first retransmission (no reset),
    // 1600 ms later the second one resets the window.
    transmits = 0;
    EXPECT_TRUE(w.OnTick(t0 + 799));
    EXPECT_EQ(transmits, 0);
    EXPECT_TRUE(w.OnTick(t0 + 800));
    EXPECT_EQ(transmits, 1);
    EXPECT_EQ(w.Window(), 68u);
    EXPECT_EQ(w.HeadCount(), 2);
    EXPECT_TRUE(w.OnTick(t0 + 800 + 1599));
    EXPECT_EQ(transmits, 1);
    EXPECT_TRUE(w.OnTick(t0 + 800 + 1600));
    EXPECT_EQ(transmits, 2);
    EXPECT_EQ(w.Window(), 1u);
    EXPECT_EQ(w.Threshold(), 34u);  // max((68 + 1) / 2, 2)
}

TEST(RudpWindow, SmallDataPacketsAreRetransmittedTwiceAndFreedRoomIsUsedAtOnce) {
    int transmits = 0;
    CSliderWnd w([&](std::span<const uint8_t>) { ++transmits; });
    w.Queue(BuildRudpPacket(kRudpData, 1, 1, Bytes(20, 0)), 1, 0);
    w.Queue(BuildRudpPacket(kRudpData, 21, 1, Bytes(1024, 0)), 21, 0);
    EXPECT_EQ(transmits, 1);
    w.OnTick(800);
    EXPECT_EQ(transmits, 3);  // a 33-byte packet goes twice
    // Acknowledging the first frees the window (now 2): the second goes out without waiting
    // to reach the head.
    w.OnAck(21, 900);
    EXPECT_EQ(transmits, 4);
    EXPECT_EQ(w.InFlight(), 1u);
    EXPECT_EQ(w.PayloadBytes(), 1024u);
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
    EXPECT_EQ(link.ConnA()->Window().Window(), 1u);
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
