// wan_link: a wide-area link emulated in user space, for benchmarks on kernels without netem.
// It listens on one address (TCP and UDP on the same port) and relays to one target; each
// direction has its own rate, one-way delay, bottleneck queue (in ms at the rate) and random loss.
//
// Model: every direction is one bottleneck shared by all TCP connections and UDP flows of the
// link. Bytes enter its queue, leave at the rate and arrive `delay` later. TCP is relayed
// connection by connection: the relay reads from a sender only while the queue has room (and the
// connection holds less than a receive window in the link), so the sender feels back-pressure;
// a chunk picked as lost arrives one extra round trip late, as after a fast retransmit, and holds
// the rest of its stream behind it. UDP is relayed per flow (one socket toward the target per
// client address, so replies come back through the link); datagrams are tail-dropped when the
// queue is full and dropped at random by the loss rate. Rates count payload bytes only.
//
// Prints "ready PORT" once listening; on SIGINT/SIGTERM prints its counters and exits.
// Threading: one thread running one epoll loop.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr size_t kChunk = 16 * 1024;                // largest TCP read put on the link at once
constexpr size_t kTcpWindow = 4 * 1024 * 1024;      // bytes one connection may hold in the link
constexpr size_t kUdpHeld = 64 * 1024 * 1024;       // datagram bytes one direction may hold
constexpr int64_t kFlowIdleNs = 300'000'000'000LL;  // an idle UDP flow is forgotten after this
constexpr size_t kMaxDatagram = 65536;

int64_t NowNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000LL + ts.tv_nsec;
}

void Die(const char* what) {
    std::fprintf(stderr, "wan_link: %s: %s\n", what, std::strerror(errno));
    std::exit(1);
}

void SetNonBlocking(int fd) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

bool ParseAddr(const std::string& text, sockaddr_in& out) {
    size_t colon = text.rfind(':');
    if (colon == std::string::npos) {
        return false;
    }
    std::memset(&out, 0, sizeof out);
    out.sin_family = AF_INET;
    char* end = nullptr;
    long port = std::strtol(text.c_str() + colon + 1, &end, 10);
    if (*end != '\0' || port < 0 || port > 65535) {
        return false;
    }
    out.sin_port = htons(static_cast<uint16_t>(port));
    return inet_pton(AF_INET, text.substr(0, colon).c_str(), &out.sin_addr) == 1;
}

// One direction of the link.
struct CDirection {
    const char* m_name = "";
    double m_bytesPerNs = 0;  // 0: no rate limit
    int64_t m_delayNs = 0;
    int64_t m_queueNs = 0;
    double m_loss = 0;
    int64_t m_linkFree = 0;  // when the bottleneck has sent everything it holds
    size_t m_udpHeld = 0;
    uint64_t m_bytes = 0, m_packets = 0, m_queueDrops = 0, m_lost = 0, m_sendDrops = 0;

    bool HasRoom(int64_t now) const { return m_bytesPerNs == 0 || m_linkFree - now < m_queueNs; }
    size_t RoomBytes(int64_t now) const {
        if (m_bytesPerNs == 0) {
            return kChunk;
        }
        double room = static_cast<double>(m_queueNs - std::max<int64_t>(0, m_linkFree - now)) * m_bytesPerNs;
        return room <= 0 ? 0 : static_cast<size_t>(room);
    }
    // TCP reads wait for room worth a read (a quarter of the queue, at most a chunk), so that a
    // full queue is not topped up a few bytes at a time.
    size_t MinRead() const {
        return std::clamp<size_t>(static_cast<size_t>(static_cast<double>(m_queueNs) * m_bytesPerNs / 4),
                                  1460, kChunk);
    }
    bool HasTcpRoom(int64_t now) const { return m_bytesPerNs == 0 || RoomBytes(now) >= MinRead(); }
    // When a sender waiting on a full queue may read again.
    int64_t TcpRoomAt() const {
        return m_linkFree - m_queueNs + static_cast<int64_t>(static_cast<double>(MinRead()) / m_bytesPerNs) +
               1;
    }
    // Puts `bytes` into the queue now; returns when their last byte reaches the far end.
    int64_t Send(int64_t now, size_t bytes) {
        m_bytes += bytes;
        m_packets += 1;
        if (m_bytesPerNs == 0) {
            return now + m_delayNs;
        }
        int64_t start = std::max(now, m_linkFree);
        m_linkFree = start + static_cast<int64_t>(static_cast<double>(bytes) / m_bytesPerNs);
        return m_linkFree + m_delayNs;
    }
};

struct CChunk {
    int64_t m_at;
    std::string m_data;  // empty: the sender's end of stream
};

// One direction of one relayed TCP connection.
struct CTcpHalf {
    int m_from = -1;
    int m_to = -1;
    CDirection* m_dir = nullptr;
    std::deque<CChunk> m_inLink;
    size_t m_inLinkBytes = 0;
    std::string m_out;  // arrived, not yet taken by the receiving socket
    size_t m_outPos = 0;
    bool m_srcEof = false;
    bool m_eofArrived = false;
    bool m_shut = false;

    size_t Held() const { return m_inLinkBytes + m_out.size() - m_outPos; }
    bool WantsRead(int64_t now) const { return !m_srcEof && m_dir->HasTcpRoom(now) && Held() < kTcpWindow; }
    bool WantsWrite() const { return m_outPos < m_out.size(); }
    bool Done() const { return m_shut; }
};

struct CTcpConn;
struct CHandle {
    enum EKind { kTcpListen, kUdpListen, kSignal, kTcp, kUdpFlow } m_kind;
    CTcpConn* m_conn = nullptr;
    bool m_clientSide = false;
    struct CUdpFlow* m_flow = nullptr;
};

struct CTcpConn {
    int m_client = -1;
    int m_server = -1;
    CTcpHalf m_up;    // client -> target
    CTcpHalf m_down;  // target -> client
    CHandle m_clientHandle{CHandle::kTcp, this, true};
    CHandle m_serverHandle{CHandle::kTcp, this, false};
    uint32_t m_clientMask = 0;  // 0: not in the epoll set
    uint32_t m_serverMask = 0;
    bool m_dead = false;
};

struct CDatagram {
    int64_t m_at;
    struct CUdpFlow* m_flow;
    std::string m_data;
};

struct CUdpFlow {
    sockaddr_in m_client{};
    int m_sock = -1;
    int64_t m_lastUse = 0;
    int m_queued = 0;  // datagrams of this flow still in the link
    CHandle m_handle{CHandle::kUdpFlow, nullptr, false, this};
};

class CLink {
public:
    CDirection m_up, m_down;
    sockaddr_in m_listenAddr{}, m_target{};
    std::mt19937_64 m_rng{1};

    void Run();

private:
    int m_epoll = -1, m_tcpListen = -1, m_udpListen = -1, m_signal = -1;
    CHandle m_tcpListenHandle{CHandle::kTcpListen};
    CHandle m_udpListenHandle{CHandle::kUdpListen};
    CHandle m_signalHandle{CHandle::kSignal};
    std::vector<std::unique_ptr<CTcpConn>> m_conns;
    std::map<uint64_t, std::unique_ptr<CUdpFlow>> m_flows;
    std::deque<CDatagram> m_udpUp, m_udpDown;
    uint64_t m_accepted = 0;
    int64_t m_lastSweep = 0;

    bool Lost(const CDirection& d) {
        return d.m_loss > 0 && std::uniform_real_distribution<double>(0, 1)(m_rng) < d.m_loss;
    }
    void Open();
    void Accept();
    void ReadTcp(CTcpHalf& half, CTcpConn& conn, int64_t now);
    void DeliverTcp(CTcpHalf& half, CTcpConn& conn, int64_t now);
    void FlushTcp(CTcpHalf& half, CTcpConn& conn);
    void UpdateMask(int fd, CHandle* h, uint32_t& cached, uint32_t want);
    void Kill(CTcpConn& conn);
    void ReadUdpListen(int64_t now);
    void ReadUdpFlow(CUdpFlow& flow, int64_t now);
    void QueueDatagram(CDirection& dir, std::deque<CDatagram>& q, CUdpFlow& flow, const char* data,
                       size_t len, int64_t now);
    void DeliverDatagrams(int64_t now);
    void PrintStats();
};

void CLink::Open() {
    m_epoll = epoll_create1(EPOLL_CLOEXEC);
    // TCP and UDP share the port number, as engine peers expect; with port 0 the UDP bind is
    // tried on the port the TCP socket got, a few times over.
    for (int attempt = 0; attempt < 50; ++attempt) {
        m_tcpListen = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        int one = 1;
        setsockopt(m_tcpListen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (bind(m_tcpListen, reinterpret_cast<sockaddr*>(&m_listenAddr), sizeof m_listenAddr) != 0) {
            Die("tcp bind");
        }
        sockaddr_in got{};
        socklen_t len = sizeof got;
        getsockname(m_tcpListen, reinterpret_cast<sockaddr*>(&got), &len);
        m_udpListen = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (bind(m_udpListen, reinterpret_cast<sockaddr*>(&got), sizeof got) == 0) {
            m_listenAddr = got;
            break;
        }
        if (m_listenAddr.sin_port != 0) {
            Die("udp bind");
        }
        close(m_tcpListen);
        close(m_udpListen);
        m_udpListen = -1;
    }
    if (m_udpListen < 0 || listen(m_tcpListen, 64) != 0) {
        Die("listen");
    }
    int big = 4 * 1024 * 1024;
    setsockopt(m_udpListen, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    setsockopt(m_udpListen, SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGINT);
    sigaddset(&mask, SIGTERM);
    sigprocmask(SIG_BLOCK, &mask, nullptr);
    signal(SIGPIPE, SIG_IGN);
    m_signal = signalfd(-1, &mask, SFD_NONBLOCK | SFD_CLOEXEC);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.ptr = &m_tcpListenHandle;
    epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_tcpListen, &ev);
    ev.data.ptr = &m_udpListenHandle;
    epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_udpListen, &ev);
    ev.data.ptr = &m_signalHandle;
    epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_signal, &ev);
    std::printf("ready %u\n", ntohs(m_listenAddr.sin_port));
    std::fflush(stdout);
}

void CLink::Accept() {
    while (true) {
        int client = accept4(m_tcpListen, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (client < 0) {
            return;
        }
        // A loopback connect completes at once; a target that refuses closes the client too.
        int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (connect(server, reinterpret_cast<sockaddr*>(&m_target), sizeof m_target) != 0) {
            close(server);
            close(client);
            continue;
        }
        SetNonBlocking(server);
        // Small socket buffers on the relay's side keep the bytes hidden from the link's queue few.
        int small = 256 * 1024;
        int one = 1;
        for (int fd : {client, server}) {
            setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        }
        auto conn = std::make_unique<CTcpConn>();
        conn->m_client = client;
        conn->m_server = server;
        conn->m_up.m_from = client;
        conn->m_up.m_to = server;
        conn->m_up.m_dir = &m_up;
        conn->m_down.m_from = server;
        conn->m_down.m_to = client;
        conn->m_down.m_dir = &m_down;
        m_conns.push_back(std::move(conn));
        ++m_accepted;
    }
}

void CLink::ReadTcp(CTcpHalf& half, CTcpConn& conn, int64_t now) {
    while (half.WantsRead(now)) {
        size_t want = std::clamp<size_t>(half.m_dir->RoomBytes(now), half.m_dir->MinRead(), kChunk);
        want = std::min(want, kTcpWindow - half.Held());
        char buf[kChunk];
        ssize_t n = recv(half.m_from, buf, want, 0);
        if (n < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                Kill(conn);
            }
            return;
        }
        int64_t at = half.m_dir->Send(now, static_cast<size_t>(n));
        if (n > 0 && Lost(*half.m_dir)) {
            ++half.m_dir->m_lost;
            at += 2 * half.m_dir->m_delayNs;
        }
        if (!half.m_inLink.empty()) {
            at = std::max(at, half.m_inLink.back().m_at);  // a stream arrives in order
        }
        half.m_inLink.push_back(CChunk{at, std::string(buf, static_cast<size_t>(n))});
        half.m_inLinkBytes += static_cast<size_t>(n);
        if (n == 0) {
            half.m_srcEof = true;
            return;
        }
        if (static_cast<size_t>(n) < want) {
            return;
        }
    }
}

void CLink::DeliverTcp(CTcpHalf& half, CTcpConn& conn, int64_t now) {
    bool moved = false;
    while (!half.m_inLink.empty() && half.m_inLink.front().m_at <= now) {
        CChunk& c = half.m_inLink.front();
        if (c.m_data.empty()) {
            half.m_eofArrived = true;
        } else {
            if (half.m_outPos == half.m_out.size()) {
                half.m_out.clear();
                half.m_outPos = 0;
            }
            half.m_out += c.m_data;
            half.m_inLinkBytes -= c.m_data.size();
        }
        half.m_inLink.pop_front();
        moved = true;
    }
    if (moved) {
        FlushTcp(half, conn);
    }
}

void CLink::FlushTcp(CTcpHalf& half, CTcpConn& conn) {
    while (half.m_outPos < half.m_out.size()) {
        ssize_t n = send(half.m_to, half.m_out.data() + half.m_outPos, half.m_out.size() - half.m_outPos,
                         MSG_NOSIGNAL);
        if (n < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                Kill(conn);
            }
            return;
        }
        half.m_outPos += static_cast<size_t>(n);
    }
    if (half.m_outPos > (1 << 20)) {
        half.m_out.erase(0, half.m_outPos);
        half.m_outPos = 0;
    }
    if (half.m_eofArrived && !half.m_shut && half.m_outPos == half.m_out.size()) {
        shutdown(half.m_to, SHUT_WR);
        half.m_shut = true;
    }
}

void CLink::Kill(CTcpConn& conn) {
    if (conn.m_dead) {
        return;
    }
    conn.m_dead = true;
    // Reset both ends so each side sees the failure the way a broken path would show it.
    linger lg{1, 0};
    for (int fd : {conn.m_client, conn.m_server}) {
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
        epoll_ctl(m_epoll, EPOLL_CTL_DEL, fd, nullptr);
        close(fd);
    }
}

// A socket with nothing wanted leaves the epoll set altogether: a half-closed socket would
// otherwise report EPOLLHUP on every pass while the other direction still drains.
void CLink::UpdateMask(int fd, CHandle* h, uint32_t& cached, uint32_t want) {
    if (want == cached) {
        return;
    }
    epoll_event ev{};
    ev.events = want;
    ev.data.ptr = h;
    epoll_ctl(m_epoll, want == 0 ? EPOLL_CTL_DEL : cached == 0 ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, fd, &ev);
    cached = want;
}

void CLink::QueueDatagram(CDirection& dir, std::deque<CDatagram>& q, CUdpFlow& flow, const char* data,
                          size_t len, int64_t now) {
    flow.m_lastUse = now;
    if (!dir.HasRoom(now) || dir.m_udpHeld + len > kUdpHeld) {
        ++dir.m_queueDrops;
        return;
    }
    int64_t at = dir.Send(now, len);
    if (Lost(dir)) {
        ++dir.m_lost;  // it still took its time on the bottleneck
        return;
    }
    dir.m_udpHeld += len;
    ++flow.m_queued;
    q.push_back(CDatagram{at, &flow, std::string(data, len)});
}

void CLink::ReadUdpListen(int64_t now) {
    char buf[kMaxDatagram];
    for (int i = 0; i < 256; ++i) {
        sockaddr_in from{};
        socklen_t len = sizeof from;
        ssize_t n = recvfrom(m_udpListen, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0) {
            return;
        }
        uint64_t key = (static_cast<uint64_t>(from.sin_addr.s_addr) << 16) | from.sin_port;
        auto it = m_flows.find(key);
        if (it == m_flows.end()) {
            auto flow = std::make_unique<CUdpFlow>();
            flow->m_client = from;
            flow->m_sock = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            sockaddr_in local{};
            local.sin_family = AF_INET;
            local.sin_addr = m_listenAddr.sin_addr;
            bind(flow->m_sock, reinterpret_cast<sockaddr*>(&local), sizeof local);
            if (connect(flow->m_sock, reinterpret_cast<sockaddr*>(&m_target), sizeof m_target) != 0) {
                close(flow->m_sock);
                continue;
            }
            int big = 4 * 1024 * 1024;
            setsockopt(flow->m_sock, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
            setsockopt(flow->m_sock, SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
            epoll_event ev{};
            ev.events = EPOLLIN;
            ev.data.ptr = &flow->m_handle;
            epoll_ctl(m_epoll, EPOLL_CTL_ADD, flow->m_sock, &ev);
            it = m_flows.emplace(key, std::move(flow)).first;
        }
        QueueDatagram(m_up, m_udpUp, *it->second, buf, static_cast<size_t>(n), now);
    }
}

void CLink::ReadUdpFlow(CUdpFlow& flow, int64_t now) {
    char buf[kMaxDatagram];
    for (int i = 0; i < 256; ++i) {
        ssize_t n = recv(flow.m_sock, buf, sizeof buf, 0);
        if (n < 0) {
            return;
        }
        QueueDatagram(m_down, m_udpDown, flow, buf, static_cast<size_t>(n), now);
    }
}

void CLink::DeliverDatagrams(int64_t now) {
    while (!m_udpUp.empty() && m_udpUp.front().m_at <= now) {
        CDatagram& d = m_udpUp.front();
        if (send(d.m_flow->m_sock, d.m_data.data(), d.m_data.size(), 0) < 0) {
            ++m_up.m_sendDrops;
        }
        m_up.m_udpHeld -= d.m_data.size();
        --d.m_flow->m_queued;
        m_udpUp.pop_front();
    }
    while (!m_udpDown.empty() && m_udpDown.front().m_at <= now) {
        CDatagram& d = m_udpDown.front();
        if (sendto(m_udpListen, d.m_data.data(), d.m_data.size(), 0,
                   reinterpret_cast<sockaddr*>(&d.m_flow->m_client), sizeof d.m_flow->m_client) < 0) {
            ++m_down.m_sendDrops;
        }
        m_down.m_udpHeld -= d.m_data.size();
        --d.m_flow->m_queued;
        m_udpDown.pop_front();
    }
}

void CLink::PrintStats() {
    for (const CDirection* d : {&m_up, &m_down}) {
        std::printf(
            "%s: %llu bytes in %llu packets, %llu queue drops, %llu lost, %llu send drops\n", d->m_name,
            static_cast<unsigned long long>(d->m_bytes), static_cast<unsigned long long>(d->m_packets),
            static_cast<unsigned long long>(d->m_queueDrops), static_cast<unsigned long long>(d->m_lost),
            static_cast<unsigned long long>(d->m_sendDrops));
    }
    std::printf("tcp connections %llu, udp flows %zu\n", static_cast<unsigned long long>(m_accepted),
                m_flows.size());
    std::fflush(stdout);
}

void CLink::Run() {
    Open();
    epoll_event events[64];
    while (true) {
        int64_t now = NowNs();
        // Arrivals first, then the masks that follow from them, then the wait until the next event.
        DeliverDatagrams(now);
        int64_t next = now + 1'000'000'000LL;
        for (auto& c : m_conns) {
            if (c->m_dead) {
                continue;
            }
            DeliverTcp(c->m_up, *c, now);
            DeliverTcp(c->m_down, *c, now);
            if (c->m_dead) {
                continue;
            }
            ReadTcp(c->m_up, *c, now);
            ReadTcp(c->m_down, *c, now);
            if (c->m_dead) {
                continue;
            }
            if (c->m_up.Done() && c->m_down.Done()) {
                for (int fd : {c->m_client, c->m_server}) {
                    epoll_ctl(m_epoll, EPOLL_CTL_DEL, fd, nullptr);
                    close(fd);
                }
                c->m_dead = true;
                continue;
            }
            for (CTcpHalf* h : {&c->m_up, &c->m_down}) {
                if (!h->m_inLink.empty()) {
                    next = std::min(next, h->m_inLink.front().m_at);
                }
                if (!h->m_srcEof && !h->m_dir->HasTcpRoom(now) && h->Held() < kTcpWindow) {
                    next = std::min(next, h->m_dir->TcpRoomAt());
                }
            }
            uint32_t clientWant =
                (c->m_up.WantsRead(now) ? EPOLLIN : 0u) | (c->m_down.WantsWrite() ? EPOLLOUT : 0u);
            uint32_t serverWant =
                (c->m_down.WantsRead(now) ? EPOLLIN : 0u) | (c->m_up.WantsWrite() ? EPOLLOUT : 0u);
            UpdateMask(c->m_client, &c->m_clientHandle, c->m_clientMask, clientWant);
            UpdateMask(c->m_server, &c->m_serverHandle, c->m_serverMask, serverWant);
        }
        std::erase_if(m_conns, [](const std::unique_ptr<CTcpConn>& c) { return c->m_dead; });
        if (!m_udpUp.empty()) {
            next = std::min(next, m_udpUp.front().m_at);
        }
        if (!m_udpDown.empty()) {
            next = std::min(next, m_udpDown.front().m_at);
        }
        if (now - m_lastSweep > 1'000'000'000LL) {
            m_lastSweep = now;
            std::erase_if(m_flows, [&](auto& kv) {
                CUdpFlow& f = *kv.second;
                if (f.m_queued > 0 || now - f.m_lastUse < kFlowIdleNs) {
                    return false;
                }
                close(f.m_sock);
                return true;
            });
        }
        timespec timeout{};
        int64_t wait = std::max<int64_t>(0, next - now);
        timeout.tv_sec = wait / 1'000'000'000LL;
        timeout.tv_nsec = wait % 1'000'000'000LL;
        int n = epoll_pwait2(m_epoll, events, 64, &timeout, nullptr);
        if (n < 0 && errno != EINTR) {
            Die("epoll");
        }
        now = NowNs();
        for (int i = 0; i < n; ++i) {
            CHandle* h = static_cast<CHandle*>(events[i].data.ptr);
            switch (h->m_kind) {
                case CHandle::kTcpListen:
                    Accept();
                    break;
                case CHandle::kUdpListen:
                    ReadUdpListen(now);
                    break;
                case CHandle::kUdpFlow:
                    ReadUdpFlow(*h->m_flow, now);
                    break;
                case CHandle::kSignal:
                    PrintStats();
                    return;
                case CHandle::kTcp: {
                    CTcpConn& c = *h->m_conn;
                    if (c.m_dead) {
                        break;
                    }
                    CTcpHalf& reading = h->m_clientSide ? c.m_up : c.m_down;
                    CTcpHalf& writing = h->m_clientSide ? c.m_down : c.m_up;
                    if (events[i].events & EPOLLOUT) {
                        FlushTcp(writing, c);
                    }
                    if (!c.m_dead && (events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR))) {
                        ReadTcp(reading, c, now);
                    }
                    break;
                }
            }
        }
    }
}

void Usage() {
    std::fprintf(
        stderr,
        "usage: wan_link --listen ADDR:PORT --target ADDR:PORT [--rate MBIT] [--rate-up MBIT]\n"
        "       [--rate-down MBIT] [--delay MS] [--delay-up MS] [--delay-down MS] [--queue MS]\n"
        "       [--loss PCT] [--loss-up PCT] [--loss-down PCT] [--seed N]\n"
        "  up: from the clients toward the target; down: back. --delay is one-way; rate 0 = unlimited.\n");
    std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
    CLink link;
    link.m_up.m_name = "up";
    link.m_down.m_name = "down";
    double queueMs = 50;
    bool haveListen = false, haveTarget = false;
    uint64_t seed = static_cast<uint64_t>(NowNs());
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (i + 1 >= argc) {
            Usage();
        }
        std::string v = argv[++i];
        char* end = nullptr;
        double num = std::strtod(v.c_str(), &end);
        bool isNum = end != v.c_str() && *end == '\0' && num >= 0;
        auto rate = [](double mbit) { return mbit * 1e6 / 8 / 1e9; };
        if (a == "--listen") {
            haveListen = ParseAddr(v, link.m_listenAddr);
        } else if (a == "--target") {
            haveTarget = ParseAddr(v, link.m_target);
        } else if (!isNum) {
            Usage();
        } else if (a == "--rate") {
            link.m_up.m_bytesPerNs = link.m_down.m_bytesPerNs = rate(num);
        } else if (a == "--rate-up") {
            link.m_up.m_bytesPerNs = rate(num);
        } else if (a == "--rate-down") {
            link.m_down.m_bytesPerNs = rate(num);
        } else if (a == "--delay") {
            link.m_up.m_delayNs = link.m_down.m_delayNs = static_cast<int64_t>(num * 1e6);
        } else if (a == "--delay-up") {
            link.m_up.m_delayNs = static_cast<int64_t>(num * 1e6);
        } else if (a == "--delay-down") {
            link.m_down.m_delayNs = static_cast<int64_t>(num * 1e6);
        } else if (a == "--queue") {
            queueMs = num;
        } else if (a == "--loss") {
            link.m_up.m_loss = link.m_down.m_loss = num / 100;
        } else if (a == "--loss-up") {
            link.m_up.m_loss = num / 100;
        } else if (a == "--loss-down") {
            link.m_down.m_loss = num / 100;
        } else if (a == "--seed") {
            seed = static_cast<uint64_t>(num);
        } else {
            Usage();
        }
    }
    if (!haveListen || !haveTarget) {
        Usage();
    }
    link.m_up.m_queueNs = link.m_down.m_queueNs = static_cast<int64_t>(queueMs * 1e6);
    link.m_rng.seed(seed);
    link.Run();
    return 0;
}
