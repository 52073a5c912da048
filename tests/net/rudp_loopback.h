// Real reliable-UDP endpoints on loopback (a carrier socket on an event thread feeding its own
// connection manager), a relay that drops, duplicates and reorders datagrams between two of
// them, and a stream pump that checks what arrives. Shared by the stream tests and the bench.
#pragma once

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <random>
#include <thread>
#include <vector>

#include "engine/net/connect_mgr.h"
#include "engine/net/thread_mgr.h"
#include "engine/platform/thread.h"

namespace tessali::net::test {

struct RudpEndpoint {
    CFragmentPool queue1;
    CFragmentPool queue2;
    CSocketSender sender;
    CConnectMgr rudp{queue2, sender};
    CThreadMgr sockets{queue1, &rudp};
    int carrier = -1;
    uint16_t port = 0;  // host order

    RudpEndpoint() {
        rudp.Start();
        carrier = sockets.CreateUdpListen(0, true);
        sockets.Start(carrier);
        port = CThreadMgr::LocalPort(carrier);
    }
    ~RudpEndpoint() {
        sockets.StopAll();
        rudp.Stop();
    }
};

// The stream's byte at offset i: never periodic at packet sizes, so a misplaced packet shows.
inline uint8_t StreamByte(uint64_t i) {
    uint64_t x = (i >> 2) * 0x9E3779B97F4A7C15ull;
    x ^= x >> 29;
    return static_cast<uint8_t>(x >> ((i & 3) * 8 + 17));
}

// Forwards datagrams between a client side and a server side, spoiling some of them.
class CLossyRelay {
public:
    struct Faults {
        double drop = 0;
        double duplicate = 0;
        double reorder = 0;  // held back behind the next datagram of the same direction
    };
    CLossyRelay(uint16_t serverPort, Faults faults, uint32_t seed)
        : m_serverPort(serverPort), m_faults(faults), m_rng(seed) {
        m_front = Bind(&m_frontPort);
        m_back = Bind(&m_backPort);
        m_thread = std::thread([this] { Run(); });
    }
    ~CLossyRelay() {
        m_stop = true;
        m_thread.join();
        ::close(m_front);
        ::close(m_back);
    }
    // Where the client sends to.
    uint16_t Port() const { return m_frontPort; }
    uint64_t Dropped() const { return m_dropped; }
    uint64_t Duplicated() const { return m_duplicated; }
    uint64_t Reordered() const { return m_reordered; }

private:
    static int Bind(uint16_t* port) {
        int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
        int bytes = 4 << 20;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t len = sizeof a;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        *port = ntohs(a.sin_port);
        return fd;
    }
    struct Held {
        std::vector<uint8_t> bytes;
        bool present = false;
    };
    void Out(int fd, const sockaddr_in& to, const std::vector<uint8_t>& b) {
        ::sendto(fd, b.data(), b.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    }
    void Forward(int outFd, const sockaddr_in& to, std::vector<uint8_t> bytes, Held& held) {
        std::uniform_real_distribution<double> u(0, 1);
        if (u(m_rng) < m_faults.drop) {
            ++m_dropped;
            return;
        }
        if (!held.present && u(m_rng) < m_faults.reorder) {
            ++m_reordered;
            held.bytes = std::move(bytes);
            held.present = true;
            return;
        }
        Out(outFd, to, bytes);
        if (u(m_rng) < m_faults.duplicate) {
            ++m_duplicated;
            Out(outFd, to, bytes);
        }
        if (held.present) {
            Out(outFd, to, held.bytes);
            held.present = false;
        }
    }
    void Run() {
        sockaddr_in server{};
        server.sin_family = AF_INET;
        server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        server.sin_port = htons(m_serverPort);
        sockaddr_in client{};
        bool haveClient = false;
        Held towardServer, towardClient;
        std::vector<uint8_t> buf(2048);
        while (!m_stop) {
            pollfd p[2] = {{m_front, POLLIN, 0}, {m_back, POLLIN, 0}};
            if (::poll(p, 2, 2) <= 0) {
                // Quiet: let held datagrams go rather than keep them for ever.
                if (towardServer.present) {
                    Out(m_back, server, towardServer.bytes);
                    towardServer.present = false;
                }
                if (towardClient.present && haveClient) {
                    Out(m_front, client, towardClient.bytes);
                    towardClient.present = false;
                }
                continue;
            }
            for (int i = 0; i < 64; ++i) {
                sockaddr_in from{};
                socklen_t len = sizeof from;
                ssize_t n =
                    ::recvfrom(m_front, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&from), &len);
                if (n < 0) {
                    break;
                }
                client = from;
                haveClient = true;
                Forward(m_back, server, {buf.begin(), buf.begin() + n}, towardServer);
            }
            for (int i = 0; i < 64 && haveClient; ++i) {
                ssize_t n = ::recv(m_back, buf.data(), buf.size(), 0);
                if (n < 0) {
                    break;
                }
                Forward(m_front, client, {buf.begin(), buf.begin() + n}, towardClient);
            }
        }
    }

    const uint16_t m_serverPort;
    const Faults m_faults;
    std::mt19937 m_rng;
    int m_front = -1, m_back = -1;
    uint16_t m_frontPort = 0, m_backPort = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<uint64_t> m_dropped{0}, m_duplicated{0}, m_reordered{0};
    std::thread m_thread;
};

struct StreamResult {
    bool connected = false;
    uint64_t received = 0;
    uint64_t firstBadOffset = UINT64_MAX;  // first byte that differs from the stream
    bool closed = false;
    double seconds = 0;
};

// Connects `client` to `server` (directly, or to relayPort when given), streams `bytes` and
// checks every delivered byte against StreamByte. Gives up after timeoutMs.
inline StreamResult RunRudpStream(RudpEndpoint& client, RudpEndpoint& server, uint64_t bytes,
                                  std::optional<uint16_t> relayPort, int timeoutMs) {
    StreamResult r;
    const uint32_t lo = htonl(INADDR_LOOPBACK);
    const uint16_t target = htons(relayPort ? *relayPort : server.port);
    auto start = std::chrono::steady_clock::now();
    auto deadline = start + std::chrono::milliseconds(timeoutMs);
    if (!client.rudp.Connect(lo, target, client.carrier)) {
        return r;
    }
    std::vector<uint8_t> buf(1 << 20);
    SocketEvent ev;
    while (std::chrono::steady_clock::now() < deadline && !r.connected) {
        if (client.rudp.TakeEvent(ev, buf) == TakeResult::kTaken) {
            r.connected = ev.kind == SockEventKind::kConnected;
            if (ev.kind == SockEventKind::kClosed) {
                return r;
            }
        } else {
            client.queue2.Wait(10);
        }
    }
    if (!r.connected) {
        return r;
    }
    std::atomic<bool> stop{false};
    std::thread sender([&] {
        std::vector<uint8_t> chunk(64 * 1024);
        uint64_t sent = 0;
        while (sent < bytes && !stop) {
            size_t n = static_cast<size_t>(std::min<uint64_t>(chunk.size(), bytes - sent));
            for (size_t i = 0; i < n; ++i) {
                chunk[i] = StreamByte(sent + i);
            }
            size_t done = 0;
            while (done < n && !stop) {
                int k = client.rudp.Send(lo, target, client.carrier, chunk.data() + done, n - done);
                if (k < 0) {
                    return;
                }
                done += k;
                if (k == 0) {
                    platform::SleepMs(1);
                }
            }
            sent += n;
        }
    });
    while (std::chrono::steady_clock::now() < deadline && r.received < bytes && !r.closed) {
        if (server.rudp.TakeEvent(ev, buf) != TakeResult::kTaken) {
            server.queue2.Wait(10);
            continue;
        }
        if (ev.kind == SockEventKind::kClosed) {
            r.closed = true;
        } else if (ev.kind == SockEventKind::kData) {
            for (uint32_t i = 0; i < ev.length; ++i) {
                if (buf[i] != StreamByte(r.received + i) && r.firstBadOffset == UINT64_MAX) {
                    r.firstBadOffset = r.received + i;
                }
            }
            r.received += ev.length;
        }
    }
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    stop = true;
    sender.join();
    client.rudp.Close(lo, target, client.carrier);
    return r;
}

}  // namespace tessali::net::test
