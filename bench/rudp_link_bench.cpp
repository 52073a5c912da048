// Reliable-UDP throughput through a simulated wide-area link (rate, one-way delay, bottleneck
// queue, random loss) under a fake clock, so the figures are the protocol's, not the machine's:
// our sender against a sender that keeps to the original rules, into our receiver. Prints the
// share of the link each reaches. Usage: rudp_link_bench [MiB] (default 64).
#include <cstdio>
#include <cstdlib>

#include "net/rudp_sim_link.h"

using namespace tessali::net;
using namespace tessali::net::test;

namespace {

struct Scenario {
    const char* name;
    double mbit;
    uint32_t rttMs;
    uint32_t queueMs;
    double loss;
};

void Run(const Scenario& s, bool original, uint64_t bytes) {
    tessali::platform::FakeTick clock(1000);
    SimPathParams p{s.mbit * 1e6 / 8 / 1000, s.rttMs / 2, s.queueMs, s.loss, 0, 0, 0};
    CSimPath up(p, 11), down(p, 12);
    COurSimSide receiver;
    std::unique_ptr<ISimSide> sender;
    if (original) {
        sender = std::make_unique<CLiteralSimSide>();
    } else {
        sender = std::make_unique<COurSimSide>();
    }
    // The original rules are slow enough that a fixed time, not a size, bounds their run.
    const uint32_t limitMs = original ? 60000 : 600000;
    SimResult r = RunSimTransfer(clock, *sender, receiver, up, down, bytes, limitMs);
    if (!original) {
        if (auto c = static_cast<COurSimSide&>(*sender).Conn()) {
            std::printf("    srtt %u ms, rto %u ms, window %llu B, rate estimate %.0f %% of link, retransmissions "
                        "%llu, queue drops %llu\n",
                        c->Window().Srtt(), c->Window().Rto(), (unsigned long long)c->Window().WindowBytes(),
                        100 * c->Window().BottleneckRate() / p.bytesPerMs,
                        (unsigned long long)c->Window().Retransmissions(), (unsigned long long)up.queueDrops);
        }
    }
    double seconds = r.elapsedMs / 1000.0;
    double mbit = r.received * 8 / 1e6 / seconds;
    std::printf("%-28s %-9s %8.1f MiB %7.2f s  %7.2f Mbit/s  %5.1f %% of link  sent %.2fx  %s\n", s.name,
                original ? "original" : "ours", r.received / 1048576.0, seconds, mbit, 100 * mbit / s.mbit,
                r.received ? double(r.dataPacketsSent) * kRudpMaxPayload / r.received : 0.0,
                r.firstBadOffset == UINT64_MAX ? "intact" : "CORRUPT");
}

}  // namespace

int main(int argc, char** argv) {
    uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 64;
    const Scenario scenarios[] = {
        {"100 Mbit/s 40 ms", 100, 40, 40, 0},   {"100 Mbit/s 40 ms 1% loss", 100, 40, 40, 0.01},
        {"100 Mbit/s 100 ms", 100, 100, 40, 0}, {"100 Mbit/s 100 ms 1% loss", 100, 100, 40, 0.01},
        {"20 Mbit/s 60 ms", 20, 60, 60, 0},
    };
    for (const Scenario& s : scenarios) {
        Run(s, false, mib << 20);
        Run(s, true, mib << 20);
    }
    return 0;
}
