// A reliable-UDP endpoint on loopback under a flood of forged connects (one datagram each from
// N distinct loopback addresses) while an honest stream runs to it: prints the connections the
// endpoint keeps, the process's peak memory and CPU, and whether the stream arrived intact.
// Usage: rudp_flood_bench [connects] (default 20000).
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "net/rudp_loopback.h"

using namespace tessali::net;
using namespace tessali::net::test;

namespace {

long StatusKb(const char* key) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(key, 0) == 0) {
            return std::atol(line.c_str() + std::string(key).size());
        }
    }
    return -1;
}

double CpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
    const int connects = argc > 1 ? std::atoi(argv[1]) : 20000;
    RudpEndpoint client, server;
    std::printf("before: rss %ld kB\n", StatusKb("VmRSS:"));
    const double cpu0 = CpuSeconds();
    auto t0 = std::chrono::steady_clock::now();
    std::atomic<size_t> maxConns{0};
    std::thread flood([&] {
        const uint8_t connect[13] = {0, 0, 0, 13, 0, 0, 0, 0, 0, 0, 0, 0, 1};
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(server.port);
        for (int i = 0; i < connects; ++i) {
            int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
            sockaddr_in from{};
            from.sin_family = AF_INET;
            from.sin_addr.s_addr = htonl(0x7F000000u | (10u + (i >> 16)) << 16 | (i & 0xFFFF));
            ::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from);
            ::sendto(fd, connect, sizeof connect, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
            ::close(fd);
            if (i % 1000 == 0) {
                maxConns = std::max(maxConns.load(), server.rudp.ConnectionCount());
            }
        }
    });
    StreamResult r = RunRudpStream(client, server, 32ull << 20, std::nullopt, 120000);
    flood.join();
    maxConns = std::max(maxConns.load(), server.rudp.ConnectionCount());
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::printf("%d forged connects: connections kept at most %zu, now %zu\n", connects, maxConns.load(),
                server.rudp.ConnectionCount());
    std::printf(
        "honest 32 MiB stream: %s, %.2f s\n",
        r.received == (32ull << 20) && r.firstBadOffset == UINT64_MAX ? "complete and intact" : "FAILED",
        r.seconds);
    std::printf("peak rss %ld kB, cpu %.2f s over %.2f s wall (%.0f %%)\n", StatusKb("VmHWM:"),
                CpuSeconds() - cpu0, wall, 100 * (CpuSeconds() - cpu0) / wall);
    // The forged connections linger until their silence time-out; measure the idle cost too.
    const double cpu1 = CpuSeconds();
    std::this_thread::sleep_for(std::chrono::seconds(10));
    std::printf("next 10 s idle with them held: cpu %.2f s (%.0f %%), rss %ld kB\n", CpuSeconds() - cpu1,
                10 * (CpuSeconds() - cpu1), StatusKb("VmRSS:"));
    return 0;
}
