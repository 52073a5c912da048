// The per-peer request queue: its depth rule, and the depth it reaches against simulated links
// of several rates and round trips (a simulated clock, nothing sleeps).

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>

#include "engine/core/request_queue.h"

namespace tessali::core {
namespace {

TEST(RequestDepth, CoversRateTimesQueueTimeAndRoundTripWithinItsBounds) {
    // Nothing measured yet, or a trickle: the floor.
    EXPECT_EQ(RequestDepth(0, 0, 16384), kMinRequestDepth);
    EXPECT_EQ(RequestDepth(1000, 40, 16384), kMinRequestDepth);
    // 1 MiB/s over 40 ms: 3.04 s of it is 3 187 671 bytes, 195 blocks (rounded up).
    EXPECT_EQ(RequestDepth(1 << 20, 40, 16384), 195u);
    // The same rate with a longer path needs more.
    EXPECT_GT(RequestDepth(1 << 20, 400, 16384), RequestDepth(1 << 20, 40, 16384));
    // Four-block requests need a quarter as many.
    EXPECT_EQ(RequestDepth(1 << 20, 40, 65536), 49u);
    // The ceilings: 1000 requests, and 16 MiB of requests (256 of 64 KiB).
    EXPECT_EQ(RequestDepth(1ull << 40, 100, 16384), kMaxRequestDepth);
    EXPECT_EQ(RequestDepth(1ull << 40, 100, 65536), 256u);
    EXPECT_EQ(RequestDepth(~0ull, ~0u, 16384), kMaxRequestDepth) << "no overflow";
}

// A peer behind a link of `rate` bytes per second and `rttMs` round trip that answers requests
// in order; the queue is kept as full as its depth allows. Returns the queue after `ms` of it,
// and the bytes delivered in the last second.
struct LinkRun {
    CRequestQueue queue;
    uint64_t lastSecondBytes = 0;
};

LinkRun RunOverLink(uint64_t rate, uint32_t rttMs, uint32_t ms) {
    LinkRun run;
    constexpr uint32_t kBlock = 16384;
    struct InFlight {
        uint32_t piece;
        uint32_t begin;
        platform::Tick arrives;
    };
    std::vector<InFlight> flight;
    uint64_t linkFreeAtUs = 0;  // when the sender's side of the link is free again
    uint32_t next = 0;
    const platform::Tick start = 5000;
    for (platform::Tick now = start; now < start + ms; ++now) {
        while (run.queue.HasRoom(kBlock)) {
            uint32_t n = next++;
            run.queue.Add(n / 64, (n % 64) * kBlock, kBlock, now);
            // The request reaches the peer after half a round trip; its block leaves once the
            // link has sent everything before it, and lands half a round trip later.
            uint64_t sendUs = std::max<uint64_t>(uint64_t{now} * 1000 + rttMs * 500, linkFreeAtUs);
            linkFreeAtUs = sendUs + kBlock * 1000000ull / rate;
            flight.push_back({n / 64, (n % 64) * kBlock,
                              static_cast<platform::Tick>((linkFreeAtUs + rttMs * 500ull) / 1000)});
        }
        for (auto it = flight.begin(); it != flight.end();) {
            if (it->arrives <= now) {
                run.queue.Take(it->piece, it->begin, true, now);
                if (now + 1000 >= start + ms) {
                    run.lastSecondBytes += kBlock;
                }
                it = flight.erase(it);
            } else {
                ++it;
            }
        }
    }
    return run;
}

TEST(RequestQueue, DepthGrowsWithRateTimesRoundTrip) {
    // Rates low enough that no ceiling hides the rule.
    const uint64_t kRate = 3000000;
    LinkRun near = RunOverLink(kRate, 40, 8000);
    LinkRun far = RunOverLink(kRate, 400, 8000);
    LinkRun slow = RunOverLink(kRate / 10, 40, 8000);

    // The estimates find the link (the round trip of a block includes sending it: 5.5 ms).
    EXPECT_GE(near.queue.MinRtt(), 40u);
    EXPECT_LE(near.queue.MinRtt(), 47u);
    EXPECT_GE(far.queue.MinRtt(), 400u);
    EXPECT_LE(far.queue.MinRtt(), 407u);
    EXPECT_NEAR(static_cast<double>(near.queue.Rate()), static_cast<double>(kRate), kRate * 0.15);
    EXPECT_NEAR(static_cast<double>(slow.queue.Rate()), kRate / 10.0, kRate * 0.015);

    // Depth follows rate x (queue time + round trip).
    const double nearDepth = near.queue.Depth(16384);
    const double farDepth = far.queue.Depth(16384);
    const double slowDepth = slow.queue.Depth(16384);
    EXPECT_NEAR(nearDepth, RequestDepth(kRate, 40, 16384), nearDepth * 0.15);
    EXPECT_NEAR(farDepth, RequestDepth(kRate, 400, 16384), farDepth * 0.15);
    EXPECT_NEAR(slowDepth, RequestDepth(kRate / 10, 40, 16384), slowDepth * 0.15);
    EXPECT_GT(farDepth, nearDepth * 1.05);
    EXPECT_GT(nearDepth, slowDepth * 8);
}

TEST(RequestQueue, OnePeerFillsALongFatLink) {
    // 100 Mbit/s at 40 ms needs 500 000 bytes in flight; far more than that is outstanding.
    const uint64_t k100Mbit = 12500000;
    for (uint32_t rtt : {40u, 200u}) {
        LinkRun run = RunOverLink(k100Mbit, rtt, 8000);
        EXPECT_GT(uint64_t{run.queue.Depth(16384)} * 16384, 4 * k100Mbit * rtt / 1000) << rtt;
        EXPECT_GT(run.lastSecondBytes, k100Mbit * 9 / 10) << rtt;
    }
}

TEST(RequestQueue, EntriesLeaveByMatchAgeOrAll) {
    CRequestQueue q;
    q.Add(1, 0, 16384, 100);
    q.Add(1, 16384, 65536, 200);
    q.Add(2, 0, 16384, 300);
    EXPECT_TRUE(q.Contains(1, 16384));
    EXPECT_TRUE(q.Covers(1, 16384 * 4));
    EXPECT_FALSE(q.Covers(1, 16384 * 5));
    EXPECT_FALSE(q.Take(3, 0, true, 400).has_value());
    auto taken = q.Take(1, 16384, false, 400);
    ASSERT_TRUE(taken.has_value());
    EXPECT_EQ(taken->length, 65536u);
    EXPECT_EQ(q.MinRtt(), 0u) << "a release is no delivery";
    auto old = q.TakeOlderThan(350, 200);
    ASSERT_EQ(old.size(), 1u);
    EXPECT_EQ(old[0].piece, 1u);
    EXPECT_EQ(q.Size(), 1u);
    EXPECT_EQ(q.TakeAll().size(), 1u);
    EXPECT_TRUE(q.Empty());
}

}  // namespace
}  // namespace tessali::core
