// Reliable-UDP throughput against plain kernel TCP on loopback, side by side in one process:
// the same byte stream (checked at the receiver) is sent once over each. Run it through
// rudp_vs_tcp.sh to get the no-loss and the 2 % loss figures.
//   tessali_rudp_bench [--tcp-bytes N] [--rudp-bytes N] [--relay-loss P]
// --relay-loss streams through the in-process relay (drop P, duplicate P, reorder P) instead of
// the network namespace's packet loss.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "net/rudp_loopback.h"

namespace {

using tessali::net::test::StreamByte;

// Plain TCP: the reference. Returns MB/s, or a negative value when the stream was wrong.
double TcpStream(uint64_t bytes) {
    int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(listener, 1);
    socklen_t len = sizeof a;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
    auto start = std::chrono::steady_clock::now();
    std::thread sender([&] {
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        std::vector<uint8_t> chunk(64 * 1024);
        for (uint64_t sent = 0; sent < bytes;) {
            size_t n = static_cast<size_t>(std::min<uint64_t>(chunk.size(), bytes - sent));
            for (size_t i = 0; i < n; ++i) {
                chunk[i] = StreamByte(sent + i);
            }
            for (size_t done = 0; done < n;) {
                ssize_t k = ::send(fd, chunk.data() + done, n - done, MSG_NOSIGNAL);
                if (k <= 0) {
                    ::close(fd);
                    return;
                }
                done += k;
            }
            sent += n;
        }
        ::close(fd);
    });
    int peer = ::accept(listener, nullptr, nullptr);
    std::vector<uint8_t> buf(1 << 20);
    uint64_t got = 0;
    bool ok = true;
    while (got < bytes) {
        ssize_t n = ::recv(peer, buf.data(), buf.size(), 0);
        if (n <= 0) {
            break;
        }
        for (ssize_t i = 0; i < n; ++i) {
            ok &= buf[i] == StreamByte(got + i);
        }
        got += n;
    }
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    sender.join();
    ::close(peer);
    ::close(listener);
    return ok && got == bytes ? bytes / s / 1e6 : -1;
}

double RudpStream(uint64_t bytes, double relayLoss) {
    using namespace tessali::net::test;
    RudpEndpoint client, server;
    std::unique_ptr<CLossyRelay> relay;
    std::optional<uint16_t> via;
    if (relayLoss > 0) {
        relay = std::make_unique<CLossyRelay>(server.port,
                                              CLossyRelay::Faults{relayLoss, relayLoss, relayLoss}, 7);
        via = relay->Port();
    }
    StreamResult r = RunRudpStream(client, server, bytes, via, 30 * 60 * 1000);
    if (!r.connected || r.received != bytes || r.firstBadOffset != UINT64_MAX) {
        std::fprintf(stderr, "rudp stream failed: connected %d, %llu of %llu bytes, closed %d\n", r.connected,
                     (unsigned long long)r.received, (unsigned long long)bytes, r.closed);
        return -1;
    }
    return bytes / r.seconds / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
    uint64_t tcpBytes = 64ull << 20, rudpBytes = 64ull << 20;
    double relayLoss = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string opt = argv[i];
        if (opt == "--tcp-bytes") {
            tcpBytes = std::strtoull(argv[i + 1], nullptr, 10);
        } else if (opt == "--rudp-bytes") {
            rudpBytes = std::strtoull(argv[i + 1], nullptr, 10);
        } else if (opt == "--relay-loss") {
            relayLoss = std::atof(argv[i + 1]);
        }
    }
    double tcp = TcpStream(tcpBytes);
    double rudp = RudpStream(rudpBytes, relayLoss);
    std::printf("tcp   %8.2f MB/s  (%llu bytes)\n", tcp, (unsigned long long)tcpBytes);
    std::printf("rudp  %8.2f MB/s  (%llu bytes)\n", rudp, (unsigned long long)rudpBytes);
    if (tcp > 0 && rudp > 0) {
        std::printf("ratio rudp/tcp %.4f\n", rudp / tcp);
    }
    return tcp > 0 && rudp > 0 ? 0 : 1;
}
