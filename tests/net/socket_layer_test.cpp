// The event queues, the event threads and the socket kinds, on loopback.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>
#include <numeric>

#include "engine/net/fragment_pool.h"
#include "engine/net/thread_mgr.h"
#include "engine/platform/tick.h"
#include "net/net_test_util.h"

namespace tessali::net {
namespace {

using test::Loopback;
using test::NextEvent;
using test::NextEventOf;

TEST(EventQueue, KeepsAnEventTheBufferCannotHoldAndHandsOutInOrder) {
    CFragmentPool q;
    EXPECT_FALSE(q.Wait(0));
    const uint8_t first[5] = {1, 2, 3, 4, 5};
    SocketEvent ev;
    ev.sock = 7;
    ev.kind = SockEventKind::kData;
    ASSERT_TRUE(q.Post(ev, first));
    ev.kind = SockEventKind::kClosed;
    ev.sock = 8;
    ASSERT_TRUE(q.Post(ev));
    EXPECT_TRUE(q.Wait(0));

    uint8_t small[4];
    SocketEvent out;
    ASSERT_EQ(q.Take(out, small), TakeResult::kTooSmall);
    EXPECT_EQ(out.length, 5u);
    EXPECT_EQ(q.Size(), 2u);

    uint8_t big[16] = {};
    ASSERT_EQ(q.Take(out, big), TakeResult::kTaken);
    EXPECT_EQ(out.sock, 7);
    EXPECT_EQ(out.length, 5u);
    EXPECT_EQ(0, std::memcmp(big, first, 5));
    ASSERT_EQ(q.Take(out, big), TakeResult::kTaken);
    EXPECT_EQ(out.kind, SockEventKind::kClosed);
    EXPECT_EQ(out.length, 0u);

    // The signal stays until a take finds the queue empty, then it is cleared.
    EXPECT_TRUE(q.Wait(0));
    EXPECT_EQ(q.Take(out, big), TakeResult::kEmpty);
    EXPECT_FALSE(q.Wait(0));

    CFragmentPool other;
    q.Post(ev);
    EXPECT_TRUE(CFragmentPool::WaitAny(other, q, 0));
    q.Clear();
    EXPECT_EQ(q.Size(), 0u);
    EXPECT_FALSE(CFragmentPool::WaitAny(other, q, 0));
}

TEST(EventThreads, A62ndSocketGoesToASecondThreadAndAFullPoolRefuses) {
    CFragmentPool q;
    CThreadMgr mgr(q, nullptr, 2);
    std::vector<int> socks;
    for (size_t i = 0; i < 2 * kMaxSocketsPerThread; ++i) {
        int s = mgr.CreateUdpListen(0, false);
        ASSERT_GE(s, 0);
        ASSERT_TRUE(mgr.Start(s)) << i;
        socks.push_back(s);
    }
    EXPECT_EQ(mgr.ThreadIndexOf(socks[0]), 0);
    EXPECT_EQ(mgr.ThreadIndexOf(socks[60]), 0);
    EXPECT_EQ(mgr.ThreadIndexOf(socks[61]), 1);
    EXPECT_EQ(mgr.ThreadCount(), 2u);

    int extra = mgr.CreateUdpListen(0, false);
    ASSERT_GE(extra, 0);
    EXPECT_FALSE(mgr.Start(extra));
    EXPECT_EQ(mgr.ThreadIndexOf(extra), -1);
    EXPECT_TRUE(mgr.Close(extra));

    // The second thread serves its socket like the first.
    uint16_t port = CThreadMgr::LocalPort(socks[61]);
    uint16_t rawPort;
    int raw = test::RawUdp(&rawPort);
    const uint8_t ping[] = {'p', 'i', 'n', 'g'};
    test::RawSendTo(raw, port, ping);
    auto e = NextEventOf(q, SockEventKind::kData, socks[61]);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->data, std::vector<uint8_t>(ping, ping + 4));
    EXPECT_EQ(ntohs(e->ev.port), rawPort);
    ::close(raw);
}

// A plain listening socket on loopback for the layer's outgoing connections to reach.
int RawListen(uint16_t* port, int rcvbuf = 0) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (rcvbuf) {
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(fd, 5);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    *port = ntohs(a.sin_port);
    return fd;
}

int RawConnect(uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    return fd;
}

uint16_t RawLocalPort(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

std::vector<uint8_t> Pattern(size_t n, uint32_t seed) {
    std::vector<uint8_t> v(n);
    uint32_t x = seed;
    for (auto& b : v) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<uint8_t>(x >> 24);
    }
    return v;
}

TEST(TcpSockets, AcceptReceiveAndOneCloseEventWhenThePeerCloses) {
    CFragmentPool q;
    CThreadMgr mgr(q, nullptr);
    int listener = mgr.CreateTcpListen(0);
    ASSERT_GE(listener, 0);
    ASSERT_TRUE(mgr.Start(listener));
    uint16_t port = CThreadMgr::LocalPort(listener);

    int client = RawConnect(port);
    auto accepted = NextEventOf(q, SockEventKind::kAccepted, -1);
    ASSERT_TRUE(accepted);
    EXPECT_EQ(accepted->ev.addr, Loopback());
    EXPECT_EQ(ntohs(accepted->ev.port), RawLocalPort(client));
    int sock = accepted->ev.sock;
    EXPECT_NE(sock, listener);

    const char hello[] = "hello";
    ASSERT_EQ(::send(client, hello, 5, 0), 5);
    auto data = NextEventOf(q, SockEventKind::kData, sock);
    ASSERT_TRUE(data);
    EXPECT_EQ(std::string(data->data.begin(), data->data.end()), "hello");

    ::close(client);
    ASSERT_TRUE(NextEventOf(q, SockEventKind::kClosed, sock));
    // The socket stays readable (end of stream) until the layer above closes it; many passes
    // later there must still be only the one close event.
    int closes = 0;
    while (auto e = NextEvent(q, 300)) {
        closes += e->ev.kind == SockEventKind::kClosed;
    }
    EXPECT_EQ(closes, 0);
    EXPECT_TRUE(mgr.Close(sock));
    EXPECT_FALSE(mgr.Close(sock));
    EXPECT_EQ(mgr.Send(sock, reinterpret_cast<const uint8_t*>(hello), 5), -1);
}

// The layer above creates a connection's entry from its accepted event and drops data for a
// connection it does not know: no data event may come before its connection's accepted event,
// also when the accepted socket is served by another event thread than the listener's.
TEST(TcpSockets, NoDataEventPrecedesItsConnectionsAcceptedEvent) {
    CFragmentPool q;
    CThreadMgr mgr(q, nullptr, 4);
    int listener = mgr.CreateTcpListen(0);
    ASSERT_GE(listener, 0);
    ASSERT_TRUE(mgr.Start(listener));
    // The listener's thread is full: every accepted socket goes to another thread.
    for (size_t i = 1; i < kMaxSocketsPerThread; ++i) {
        int s = mgr.CreateUdpListen(0, false);
        ASSERT_GE(s, 0);
        ASSERT_TRUE(mgr.Start(s));
    }
    uint16_t port = CThreadMgr::LocalPort(listener);

    constexpr int kClients = 150;
    std::vector<int> clients;
    std::map<uint16_t, std::vector<SockEventKind>> seen;  // by client port, in queue order
    auto drain = [&] {
        while (auto e = NextEvent(q, 0)) {
            seen[ntohs(e->ev.port)].push_back(e->ev.kind);
        }
    };
    for (int i = 0; i < kClients; ++i) {
        // The handshake leaves with the connect, as an eager peer's does: it is waiting when the
        // socket is accepted.
        int c = RawConnect(port);
        ASSERT_EQ(::send(c, "hi", 2, 0), 2);
        clients.push_back(c);
        drain();
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    auto complete = [&] {
        size_t both = 0;
        for (const auto& [p, kinds] : seen) {
            both += std::count(kinds.begin(), kinds.end(), SockEventKind::kAccepted) == 1 &&
                    std::count(kinds.begin(), kinds.end(), SockEventKind::kData) >= 1;
        }
        return both == clients.size();
    };
    while (!complete() && std::chrono::steady_clock::now() < deadline) {
        q.Wait(50);
        drain();
    }
    ASSERT_TRUE(complete());
    int early = 0;
    for (int c : clients) {
        const auto& kinds = seen[RawLocalPort(c)];
        ASSERT_FALSE(kinds.empty());
        early += kinds.front() != SockEventKind::kAccepted;
        ::close(c);
    }
    EXPECT_EQ(early, 0) << "connections whose data came before their accepted event";
}

TEST(TcpSockets, OutgoingConnectionsReleaseTheHalfOpenCountOnce) {
    CFragmentPool q;
    CThreadMgr mgr(q, nullptr);
    uint16_t port;
    int server = RawListen(&port);

    int sock = mgr.CreateTcpSock(Loopback(), port);
    ASSERT_GE(sock, 0);
    EXPECT_EQ(mgr.HalfOpen(), 1);
    ASSERT_TRUE(mgr.Start(sock));
    auto connected = NextEventOf(q, SockEventKind::kConnected, sock);
    ASSERT_TRUE(connected);
    EXPECT_EQ(ntohs(connected->ev.port), port);
    EXPECT_EQ(mgr.HalfOpen(), 0);

    // A refused connect fails with a close event and releases its count; closing it afterwards
    // must not release a second time.
    ::close(server);
    int refused = mgr.CreateTcpSock(Loopback(), port);
    ASSERT_TRUE(mgr.Start(refused));
    ASSERT_TRUE(NextEventOf(q, SockEventKind::kClosed, refused));
    EXPECT_EQ(mgr.HalfOpen(), 0);
    mgr.Close(refused);

    // Created and dropped without ever starting.
    int never = mgr.CreateTcpSock(Loopback(), port);
    EXPECT_EQ(mgr.HalfOpen(), 1);
    mgr.Close(never);
    EXPECT_EQ(mgr.HalfOpen(), 0);
    mgr.Close(sock);
}

// Reads from fd until `n` bytes arrived or the peer stops sending for a while.
std::vector<uint8_t> ReadAll(int fd, size_t n) {
    std::vector<uint8_t> got;
    std::vector<uint8_t> buf(65536);
    while (got.size() < n) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 3000) <= 0) {
            break;
        }
        ssize_t r = ::recv(fd, buf.data(), buf.size(), 0);
        if (r <= 0) {
            break;
        }
        got.insert(got.end(), buf.begin(), buf.begin() + r);
    }
    return got;
}

TEST(TcpSockets, APartlyAcceptedSendReturnsTheFullLengthAndDeliversTheRestInOrder) {
    CFragmentPool q;
    CThreadMgr mgr(q, nullptr);
    uint16_t port;
    int server = RawListen(&port, 4096);
    int sock = mgr.CreateTcpSock(Loopback(), port);
    ASSERT_TRUE(mgr.Start(sock));
    ASSERT_TRUE(NextEventOf(q, SockEventKind::kConnected, sock));
    int peer = ::accept(server, nullptr, nullptr);

    // The peer reads nothing yet: most of this has to wait in the pending buffer.
    std::vector<uint8_t> data = Pattern(3 * 1024 * 1024, 7);
    for (size_t off = 0; off < data.size(); off += 100000) {
        size_t n = std::min<size_t>(100000, data.size() - off);
        ASSERT_EQ(mgr.Send(sock, data.data() + off, n), static_cast<int>(n)) << off;
    }
    std::vector<uint8_t> got = ReadAll(peer, data.size());
    ASSERT_EQ(got.size(), data.size());
    EXPECT_TRUE(got == data);
    ::close(peer);
    ::close(server);
    mgr.Close(sock);
}

TEST(TcpSockets, APeerThatNeverReadsGetsClosedInsteadOfGrowingTheBuffer) {
    CFragmentPool q;
    CThreadMgr mgr(q, nullptr);
    uint16_t port;
    int server = RawListen(&port, 4096);
    int sock = mgr.CreateTcpSock(Loopback(), port);
    ASSERT_TRUE(mgr.Start(sock));
    ASSERT_TRUE(NextEventOf(q, SockEventKind::kConnected, sock));
    int peer = ::accept(server, nullptr, nullptr);

    std::vector<uint8_t> chunk(512 * 1024, 0x5A);
    int result = 0;
    size_t sent = 0;
    for (int i = 0; i < 32 && result >= 0; ++i) {
        result = mgr.Send(sock, chunk.data(), chunk.size());
        if (result > 0) {
            sent += result;
        }
    }
    EXPECT_EQ(result, -1);
    EXPECT_LE(sent, kMaxPendingSendBytes + 4 * 1024 * 1024);  // the cap plus what the kernel holds
    EXPECT_TRUE(NextEventOf(q, SockEventKind::kClosed, sock));
    ::close(peer);
    ::close(server);
    mgr.Close(sock);
}

// A peer that sends faster than the peer thread takes events must not grow the event queue
// without end: past the bound its socket is not read (TCP holds the sender back) until the
// queue has been taken down again.
TEST(TcpSockets, ReadingPausesWhileTheEventQueueHoldsItsBoundOfData) {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds), 0);
    CFragmentPool q;
    CThreadMgr mgr(q, nullptr);
    sockaddr_in remote{};
    CTcpSock sock(mgr, fds[0], remote, false, false);
    ASSERT_EQ(sock.Open(), 0);
    sock.SetState(SockState::kOpen);
    EXPECT_EQ(sock.SelectEvents(), POLLIN);

    std::vector<uint8_t> chunk = Pattern(65536, 5);
    std::vector<uint8_t> buf(kRecvBufferBytes);
    size_t sent = 0;
    for (int round = 0; round < 200; ++round) {
        ssize_t n = ::send(fds[1], chunk.data(), chunk.size(), MSG_DONTWAIT);
        sent += n > 0 ? static_cast<size_t>(n) : 0;
        if (sock.SelectEvents() & POLLIN) {
            ASSERT_EQ(sock.OnReadable(buf.data(), buf.size()), 0);
        }
    }
    ASSERT_GT(sent, kMaxQueuedReceiveBytes) << "the sender got far enough to test the bound";
    EXPECT_GE(q.QueuedBytes(), kMaxQueuedReceiveBytes);
    EXPECT_LE(q.QueuedBytes(), kMaxQueuedReceiveBytes + kRecvBufferBytes)
        << "one receive past the bound at most";
    EXPECT_EQ(sock.SelectEvents() & POLLIN, 0) << "parked while the queue is full";
    size_t before = q.QueuedBytes();
    ASSERT_EQ(sock.OnReadable(buf.data(), buf.size()), 0);
    EXPECT_EQ(q.QueuedBytes(), before) << "nothing is read while the queue is full";

    // The peer thread takes events: reading resumes and the bytes come out in order.
    SocketEvent ev;
    std::vector<uint8_t> got;
    while (q.Take(ev, buf) == TakeResult::kTaken) {
        got.insert(got.end(), buf.begin(), buf.begin() + ev.length);
    }
    EXPECT_EQ(q.QueuedBytes(), 0u);
    EXPECT_EQ(sock.SelectEvents(), POLLIN);
    for (int i = 0; i < 1000 && got.size() < sent; ++i) {
        ASSERT_EQ(sock.OnReadable(buf.data(), buf.size()), 0);
        while (q.Take(ev, buf) == TakeResult::kTaken) {
            got.insert(got.end(), buf.begin(), buf.begin() + ev.length);
        }
    }
    ASSERT_EQ(got.size(), sent);
    for (size_t at = 0; at < got.size(); at += chunk.size()) {
        ASSERT_TRUE(std::equal(chunk.begin(), chunk.begin() + std::min(chunk.size(), got.size() - at),
                               got.begin() + static_cast<std::ptrdiff_t>(at)));
    }
    ::close(fds[1]);
}

TEST(TcpSockets, ClosingAStartedSocketReleasesItsConnection) {
    CFragmentPool q;
    CThreadMgr mgr(q, nullptr);
    uint16_t port;
    int server = RawListen(&port);
    int sock = mgr.CreateTcpSock(Loopback(), port);
    ASSERT_TRUE(mgr.Start(sock));
    ASSERT_TRUE(NextEventOf(q, SockEventKind::kConnected, sock));
    int peer = ::accept(server, nullptr, nullptr);
    ASSERT_TRUE(mgr.Close(sock));
    pollfd p{peer, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 3000), 1);
    char c;
    EXPECT_EQ(::recv(peer, &c, 1, 0), 0);  // end of stream: the descriptor really was closed
    EXPECT_EQ(mgr.ThreadIndexOf(sock), -1);
    ::close(peer);
    ::close(server);
}

TEST(UdpSockets, AConnectedSocketDropsDatagramsFromAnyOtherAddress) {
    CFragmentPool q;
    CThreadMgr mgr(q, nullptr);
    uint16_t peerPort, foreignPort;
    int peer = test::RawUdp(&peerPort);
    int foreign = test::RawUdp(&foreignPort);
    int sock = mgr.CreateUdpSock(Loopback(), peerPort, false);
    ASSERT_GE(sock, 0);
    ASSERT_TRUE(mgr.Start(sock));
    ASSERT_TRUE(NextEventOf(q, SockEventKind::kConnected, sock));

    const uint8_t hi[] = {'h', 'i'};
    ASSERT_EQ(mgr.Send(sock, hi, 2), 2);
    uint8_t buf[16];
    sockaddr_in from{};
    socklen_t len = sizeof from;
    ASSERT_EQ(::recvfrom(peer, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len), 2);
    uint16_t ourPort = ntohs(from.sin_port);

    const uint8_t bad[] = {'b', 'a', 'd'};
    const uint8_t good[] = {'g', 'o', 'o', 'd'};
    test::RawSendTo(foreign, ourPort, bad);
    test::RawSendTo(peer, ourPort, good);
    auto e = NextEventOf(q, SockEventKind::kData, sock);
    ASSERT_TRUE(e);
    EXPECT_EQ(std::string(e->data.begin(), e->data.end()), "good");
    EXPECT_FALSE(NextEvent(q, 200));
    ::close(peer);
    ::close(foreign);
}

TEST(UdpSockets, CarrierDatagramsGoToTheConnectionManagerNotTheQueue) {
    CFragmentPool q;
    test::CRecordingTudp sink;
    CThreadMgr mgr(q, &sink);
    int carrier = mgr.CreateUdpListen(0, true);
    ASSERT_GE(carrier, 0);
    ASSERT_TRUE(mgr.Start(carrier));
    uint16_t rawPort;
    int raw = test::RawUdp(&rawPort);
    const uint8_t bytes[] = {0, 0, 0, 13, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    test::RawSendTo(raw, CThreadMgr::LocalPort(carrier), bytes);
    for (int i = 0; i < 100 && sink.Got().empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    auto got = sink.Got();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].addr, Loopback());
    EXPECT_EQ(ntohs(got[0].port), rawPort);
    EXPECT_EQ(got[0].sock, carrier);
    EXPECT_EQ(got[0].bytes, std::vector<uint8_t>(bytes, bytes + sizeof bytes));
    EXPECT_EQ(q.Size(), 0u);
    ::close(raw);
}

int ReceiveBuffer(int fd) {
    int bytes = 0;
    socklen_t len = sizeof bytes;
    ::getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, &len);
    return bytes;
}

TEST(UdpSockets, AConnectionsOwnCarrierHoldsAsLargeABurstAsTheListeningCarrier) {
    // A downloader's connection has its own carrier socket and receives the sender's paced
    // bursts there; with the system's default buffer the kernel drops most of each burst.
    CFragmentPool q;
    test::CRecordingTudp sink;
    CThreadMgr mgr(q, &sink);
    int listening = mgr.CreateUdpListen(0, true);
    uint16_t peerPort;
    int peer = test::RawUdp(&peerPort);
    int own = mgr.CreateUdpSock(Loopback(), peerPort, true);
    ASSERT_GE(listening, 0);
    ASSERT_GE(own, 0);
    ASSERT_TRUE(mgr.Start(listening));
    ASSERT_TRUE(mgr.Start(own));
    int plain = ::socket(AF_INET, SOCK_DGRAM, 0);
    const int systemDefault = ReceiveBuffer(plain);
    ::close(plain);
    for (int i = 0; i < 100 && ReceiveBuffer(own) != ReceiveBuffer(listening); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(ReceiveBuffer(own), ReceiveBuffer(listening));
    EXPECT_GE(ReceiveBuffer(own), systemDefault);
    ::close(peer);
}

TEST(IdleSockets, TcpClosesAfter120sUdpAfter60sAndCarriersNever) {
    platform::FakeTick clock(5000);
    CFragmentPool q;
    test::CRecordingTudp sink;
    CThreadMgr mgr(q, &sink);
    int listener = mgr.CreateTcpListen(0);
    ASSERT_TRUE(mgr.Start(listener));
    int client = RawConnect(CThreadMgr::LocalPort(listener));
    auto accepted = NextEventOf(q, SockEventKind::kAccepted, -1);
    ASSERT_TRUE(accepted);
    int tcp = accepted->ev.sock;

    uint16_t peerPort;
    int peer = test::RawUdp(&peerPort);
    int udp = mgr.CreateUdpSock(Loopback(), peerPort, false);
    int carrier = mgr.CreateUdpSock(Loopback(), peerPort, true);
    ASSERT_TRUE(mgr.Start(udp));
    ASSERT_TRUE(mgr.Start(carrier));
    ASSERT_TRUE(NextEventOf(q, SockEventKind::kConnected, udp));
    ASSERT_EQ(mgr.ThreadIndexOf(tcp), mgr.ThreadIndexOf(carrier));

    clock.Advance(60001);
    auto first = NextEvent(q);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->ev.kind, SockEventKind::kClosed);
    EXPECT_EQ(first->ev.sock, udp);

    clock.Advance(60000);
    auto second = NextEvent(q);
    ASSERT_TRUE(second);
    EXPECT_EQ(second->ev.kind, SockEventKind::kClosed);
    EXPECT_EQ(second->ev.sock, tcp);

    // The carrier, swept in the same passes, still hands its remote's datagrams over.
    const uint8_t ping[] = {1, 2, 3};
    ASSERT_EQ(mgr.Send(carrier, ping, 3), 3);
    uint8_t buf[8];
    sockaddr_in from{};
    socklen_t len = sizeof from;
    ASSERT_EQ(::recvfrom(peer, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len), 3);
    test::RawSendTo(peer, ntohs(from.sin_port), ping);
    for (int i = 0; i < 100 && sink.Got().empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(sink.Got().size(), 1u);
    EXPECT_FALSE(NextEvent(q, 200));
    ::close(client);
    ::close(peer);
}

}  // namespace
}  // namespace tessali::net
