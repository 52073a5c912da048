// Reliable-UDP transfers through a simulated carrier (rate, delay, bottleneck queue, loss,
// duplication, reordering) under the fake clock: between two of our endpoints, and between ours
// and a peer that keeps to the protocol's original rules, in both directions. Only the delivered
// bytes are checked; bench/rudp_link_bench.cpp measures rates through the same carrier.
#include <gtest/gtest.h>

#include <set>

#include "net/rudp_sim_link.h"

namespace tessali::net {
namespace {

using test::CLiteralSimSide;
using test::COurSimSide;
using test::CSimPath;
using test::RunSimTransfer;
using test::SimPathParams;

// 16 Mbit/s, 30 ms each way, 3 % loss, 2 % doubled, 5 % reordered by up to 8 ms.
constexpr SimPathParams kRough{2000, 30, 100, 0.03, 0.02, 0.05, 8};

class RudpSim : public ::testing::Test {
protected:
    platform::FakeTick clock{5000};
};

TEST_F(RudpSim, OurEndpointsDeliverByteIdenticalThroughLossReorderingAndDuplication) {
    for (uint32_t seed : {1u, 2u, 3u}) {
        SCOPED_TRACE(seed);
        COurSimSide client, server;
        CSimPath up(kRough, seed), down(kRough, seed + 100);
        const uint64_t bytes = 3 * 1024 * 1024 + 777;
        auto r = RunSimTransfer(clock, client, server, up, down, bytes, 600000);
        EXPECT_TRUE(r.established);
        EXPECT_EQ(r.received, bytes);
        EXPECT_EQ(r.firstBadOffset, UINT64_MAX);
        EXPECT_EQ(r.closed, 0);
        EXPECT_GT(up.lost, 0u);
        // Hole repair resends some packets that had arrived (acknowledges are cumulative), but
        // must not turn into resending the stream over and over.
        EXPECT_LT(r.dataPacketsSent, 5 * (bytes / kRudpMaxPayload + 1));
    }
}

TEST_F(RudpSim, AnOriginalRulesPeerCompletesTransfersWithOursBothWays) {
    const uint64_t bytes = 512 * 1024 + 333;
    {
        SCOPED_TRACE("ours sends, original receives");
        COurSimSide client;
        CLiteralSimSide server;
        CSimPath up(kRough, 7), down(kRough, 8);
        auto r = RunSimTransfer(clock, client, server, up, down, bytes, 900000);
        EXPECT_TRUE(r.established);
        EXPECT_EQ(r.received, bytes);
        EXPECT_EQ(r.firstBadOffset, UINT64_MAX);
        EXPECT_EQ(r.closed, 0);
    }
    {
        SCOPED_TRACE("original sends, ours receives");
        CLiteralSimSide client;
        COurSimSide server;
        CSimPath up(kRough, 9), down(kRough, 10);
        auto r = RunSimTransfer(clock, client, server, up, down, bytes, 900000);
        EXPECT_TRUE(r.established);
        EXPECT_EQ(r.received, bytes);
        EXPECT_EQ(r.firstBadOffset, UINT64_MAX);
        EXPECT_EQ(r.closed, 0);
    }
}

// A bottleneck whose queue holds less than the path's round trip, as on the emulated wide-area
// link: a start-up that overshoots it loses a burst of packets, and the repair through
// cumulative acknowledgements must neither wipe out the rate estimate nor take one round trip
// per hole. The bound is many times what the link needs; a sender that collapses misses it.
TEST_F(RudpSim, ATransferThroughASmallTailDropQueueWithLossCompletesIntact) {
    struct Case {
        const char* name;
        SimPathParams path;
    };
    // 100 Mbit/s; round trips of 40 and 100 ms; queues of 50 and 20 ms; no loss and 1 %.
    const Case cases[] = {
        {"40 ms, 50 ms queue, 1 % loss", {12500, 20, 50, 0.01, 0, 0, 0}},
        {"100 ms, 20 ms queue", {12500, 50, 20, 0, 0, 0, 0}},
        {"100 ms, 20 ms queue, 1 % loss", {12500, 50, 20, 0.01, 0, 0, 0}},
    };
    const uint64_t bytes = 16 * 1024 * 1024;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        COurSimSide client, server;
        CSimPath up(c.path, 21), down(c.path, 22);
        // At the link's rate the data takes 1.3 s of simulated time.
        auto r = RunSimTransfer(clock, client, server, up, down, bytes, 20000);
        EXPECT_EQ(r.received, bytes);
        EXPECT_EQ(r.firstBadOffset, UINT64_MAX);
        EXPECT_EQ(r.closed, 0);
    }
}

// Records the sender's rate estimate while the middle half of the stream is written (start-up
// and the last round trips, with nothing left to send, say nothing of the steady state). With
// `messages` it writes as the peer layer does: one piece message (a 13-byte header and a 16 KiB
// block) at a time, which the connection cuts into sixteen full packets and one of 13 bytes.
class CRateWatchSide : public COurSimSide {
public:
    CRateWatchSide(uint64_t total, bool messages) : m_total(total), m_messages(messages) {}
    size_t Write(std::span<const uint8_t> data, platform::Tick now) override {
        size_t n = COurSimSide::Write(m_messages ? data.first(std::min<size_t>(data.size(), 16384 + 13)) : data, now);
        m_written += n;
        return n;
    }
    void Poll(platform::Tick now) override {
        COurSimSide::Poll(now);
        if (m_written > m_total / 4 && m_written < 3 * m_total / 4) {
            if (auto c = Conn()) {
                double rate = c->Window().BottleneckRate();
                lowest = std::min(lowest, rate);
                highest = std::max(highest, rate);
            }
        }
    }
    double lowest = 1e300;
    double highest = 0;

private:
    uint64_t m_total;
    bool m_messages;
    uint64_t m_written = 0;
};

// Random loss is not congestion: with a cumulative acknowledgement held at a hole, the sender
// still learns from each repeated acknowledge that one more packet arrived, and its estimate of
// the path's rate must stay at the link's, neither sinking with each hole (the sender then paces
// at a fraction of the link) nor running above it, whether by counting a copy the receiver
// already held as a new arrival, a short packet as a full one, or bytes that arrived long ago as
// delivered by a recent repair (it then paces above the link, and the queue grows until it
// overflows). Repairs may resend packets that had arrived (holes after the first are not named),
// but not the stream again.
TEST_F(RudpSim, OnePercentRandomLossKeepsTheRateEstimateAtTheLinksRate) {
    struct Case {
        const char* name;
        SimPathParams path;
        bool messages;
        uint32_t seed;
        double lowest;  // share of the link the estimate may dip to
    };
    const Case cases[] = {
        {"100 Mbit/s, 40 ms, 1 % loss", {12500, 20, 50, 0.01, 0, 0, 0}, false, 41, 0.85},
        {"100 Mbit/s, 40 ms, 1 % loss, other seed", {12500, 20, 50, 0.01, 0, 0, 0}, false, 11, 0.85},
        {"100 Mbit/s, 40 ms, 1 % loss, piece messages", {12500, 20, 50, 0.01, 0, 0, 0}, true, 41, 0.85},
        // Here a long repair still lets the estimate dip for a few round trips (all its samples
        // fall in one slot of the filter, which ages out); it must not fall to nothing.
        {"20 Mbit/s, 60 ms, 1 % loss", {2500, 30, 50, 0.01, 0, 0, 0}, false, 41, 0.35},
    };
    const uint64_t bytes = 16 * 1024 * 1024;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CRateWatchSide client(bytes, c.messages);
        COurSimSide server;
        CSimPath up(c.path, c.seed), down(c.path, c.seed + 1);
        auto r = RunSimTransfer(clock, client, server, up, down, bytes, 60000);
        ASSERT_EQ(r.received, bytes);
        EXPECT_EQ(r.firstBadOffset, UINT64_MAX);
        EXPECT_GT(client.lowest, c.lowest * c.path.bytesPerMs);
        EXPECT_LT(client.highest, 1.04 * c.path.bytesPerMs);
        EXPECT_LT(r.dataPacketsSent, 2 * (bytes / kRudpMaxPayload));
    }
}

// A receiver that could not keep up (a full socket buffer, a busy peer thread) loses a long run
// of consecutive packets once. A cumulative acknowledgement names one hole per round trip, so
// the time-outs must repair the rest together (1 500 holes one per round trip take a minute),
// and without resending the stream over.
TEST_F(RudpSim, ALongRunOfConsecutiveLossesIsRepairedInFewRoundTrips) {
    SimPathParams path{12500, 20, 200, 0, 0, 0, 0};
    COurSimSide client, server;
    CSimPath up(path, 31), down(path, 32);
    std::set<uint32_t> dropped;
    const uint32_t from = 4 * 1024 * 1024, to = from + 1500 * 1024;
    up.dropIf = [&](const std::vector<uint8_t>& d) {
        auto h = DecodeRudpHeader(d);
        return h->type == kRudpData && h->seq >= from && h->seq < to && dropped.insert(h->seq).second;
    };
    const uint64_t bytes = 12 * 1024 * 1024;
    auto r = RunSimTransfer(clock, client, server, up, down, bytes, 20000);
    EXPECT_EQ(r.received, bytes);
    EXPECT_EQ(r.firstBadOffset, UINT64_MAX);
    EXPECT_GE(dropped.size(), 1400u);
    // Runs that double past the burst's end resend at most about as much again.
    EXPECT_LT(r.dataPacketsSent, bytes / kRudpMaxPayload + 3 * dropped.size());
}

// Small writes make small packets: the count the receiver holds out of order binds first.
class CSmallWriteSide : public COurSimSide {
public:
    size_t Write(std::span<const uint8_t> data, platform::Tick now) override {
        size_t n = COurSimSide::Write(data.first(std::min<size_t>(data.size(), 100)), now);
        if (auto c = Conn()) {
            maxInFlight = std::max(maxInFlight, c->Window().InFlight());
            maxSpan = std::max(maxSpan, c->Window().OutstandingSpan());
        }
        return n;
    }
    size_t maxInFlight = 0;
    size_t maxSpan = 0;
};

TEST_F(RudpSim, TheSenderNeverRunsFurtherAheadThanTheReceiverHolds) {
    // A fast long path (the window wants far more than the receiver holds) where the first
    // packets are lost several times over, so everything after them waits at the receiver.
    SimPathParams fast{0, 60, 0, 0, 0, 0, 0};
    CSmallWriteSide client;
    COurSimSide server;
    CSimPath up(fast, 1), down(fast, 2);
    int firstLost = 0;
    up.dropIf = [&](const std::vector<uint8_t>& d) {
        auto h = DecodeRudpHeader(d);
        return h->type == kRudpData && h->seq == 1 && firstLost++ < 4;
    };
    // More than the sender queues at once, so the writer keeps coming back while the hole lasts.
    const uint64_t bytes = 6 * 1024 * 1024;
    auto r = RunSimTransfer(clock, client, server, up, down, bytes, 600000);
    EXPECT_EQ(r.received, bytes);
    EXPECT_EQ(r.firstBadOffset, UINT64_MAX);
    EXPECT_GT(client.maxInFlight, 1000u);
    EXPECT_LT(client.maxInFlight, kRudpMaxReorderPackets);
    EXPECT_LT(client.maxSpan, kRudpReorderWindowBytes);
    EXPECT_GE(firstLost, 5);
}

}  // namespace
}  // namespace tessali::net
