// What the engine holds for peers that do not keep up, on real loopback sockets: a message that
// does not fit a reliable-UDP connection is refused whole and at once; TCP connections that do
// not read share one engine-wide bound on queued data; queued data's memory goes back to the
// system; and a peer thread that falls behind holds reliable-UDP senders back instead of
// queueing their data without end.
#include <gtest/gtest.h>
#include <poll.h>

#include <chrono>
#include <thread>

#include "engine/net/connect_mgr.h"
#include "engine/net/dispatch_mgr.h"
#include "engine/net/send_budget.h"
#include "engine/net/send_queue.h"
#include "engine/net/thread_mgr.h"
#include "net/net_test_util.h"
#include "net/rudp_loopback.h"

namespace tessali::net {
namespace {

using test::Loopback;
using test::NextEventOf;
using test::RudpEndpoint;
using test::StreamByte;

// A piece message as the engine sends it: length, id 7, index, begin, one block.
std::vector<uint8_t> PieceMessage(uint8_t fill) {
    std::vector<uint8_t> m(13 + 16384, fill);
    uint32_t len = static_cast<uint32_t>(m.size() - 4);
    m[0] = static_cast<uint8_t>(len >> 24);
    m[1] = static_cast<uint8_t>(len >> 16);
    m[2] = static_cast<uint8_t>(len >> 8);
    m[3] = static_cast<uint8_t>(len);
    m[4] = 7;
    return m;
}

sockaddr_in LoopbackTo(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return a;
}

// A reliable-UDP peer that connects and then never acknowledges anything, written from raw
// datagrams so that nothing on its side drains what the engine sends.
struct CSilentRudpPeer {
    int fd = -1;
    uint16_t port = 0;
    explicit CSilentRudpPeer(uint16_t enginePort) {
        fd = test::RawUdp(&port);
        sockaddr_in to = LoopbackTo(enginePort);
        auto connect = BuildRudpPacket(kRudpConnect, 0, 0);
        ::sendto(fd, connect.data(), connect.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        pollfd p{fd, POLLIN, 0};
        uint8_t buf[2048];
        if (::poll(&p, 1, 5000) == 1 && ::recv(fd, buf, sizeof buf, 0) > 0) {
            auto ack = BuildRudpPacket(kRudpAck, 0, 1);
            ::sendto(fd, ack.data(), ack.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        }
    }
    ~CSilentRudpPeer() { ::close(fd); }
};

TEST(ReliableUdpSends, AMessageWithoutRoomIsRefusedWholeAndTheStreamHoldsOnlyWholeMessages) {
    RudpEndpoint engine;
    CDispatchMgr dispatch(engine.sockets, engine.rudp, engine.queue1, engine.queue2);
    CSilentRudpPeer peer(engine.port);
    core::ConnectionKey key{Loopback(), htons(peer.port), engine.carrier};
    for (int i = 0; i < 100 && !dispatch.HasEntry(key); ++i) {
        engine.queue2.Wait(50);
        dispatch.ProcessQueues();
    }
    ASSERT_TRUE(dispatch.HasEntry(key)) << "the silent peer's connection was accepted";
    core::Ref<CConnection> conn = engine.rudp.Find(key.addr, key.port, key.sock);
    ASSERT_TRUE(conn);

    // Pieces until one does not fit: none is acknowledged, so the connection's queue fills.
    size_t accepted = 0;
    int last = 1;
    for (int i = 0; i < 1000 && last > 0; ++i) {
        std::vector<uint8_t> m = PieceMessage(static_cast<uint8_t>(i));
        last = dispatch.Send(key, m);
        if (last > 0) {
            ASSERT_EQ(last, static_cast<int>(m.size()));
            accepted += m.size();
        }
    }
    EXPECT_EQ(last, 0) << "no room is not a broken connection";
    EXPECT_GT(accepted, kRudpMaxQueuedBytes - 2 * PieceMessage(0).size());
    // Stream offsets start at 1: the queue ends exactly where the last whole message ended.
    EXPECT_EQ(conn->NextSendOffset() - 1, accepted) << "a refused message left part of itself queued";
    // What the window holds back counts as the connection's unsent bytes, as a TCP socket's do:
    // a server that saw none answered every request at once and refused them once full. The
    // silent peer let out no more than the first window.
    size_t pending = dispatch.PendingSendBytes(key);
    EXPECT_LE(pending, accepted);
    EXPECT_GE(pending + 64 * 1024, accepted);
    // Acknowledges stuck at the first offset say later packets arrive, so the window sends on
    // until everything is out but nothing is acknowledged: a queue without room for a piece is
    // still a full one, or requests are answered into it and refused.
    for (int i = 0; i < 4000 && conn->Window().UnsentBytes() > 0; ++i) {
        conn->Window().OnAck(1, platform::GetTick());
    }
    ASSERT_EQ(conn->Window().UnsentBytes(), 0u);
    ASSERT_LT(engine.rudp.SendRoom(key.addr, key.port, key.sock), PieceMessage(0).size());
    EXPECT_GE(dispatch.PendingSendBytes(key), accepted);

    // A small message (a refusal) still fits whole when there is room for it, and nothing cut
    // lies before it.
    std::vector<uint8_t> refusal(22, 0);
    refusal[3] = 18;
    refusal[4] = 11;
    int r = dispatch.Send(key, refusal);
    if (r > 0) {
        accepted += refusal.size();
    }
    EXPECT_EQ(conn->NextSendOffset() - 1, accepted);
}

// A plain listening socket whose accepted connections never read.
struct CNonReader {
    int listener = -1;
    uint16_t port = 0;
    std::vector<int> accepted;
    CNonReader() {
        listener = ::socket(AF_INET, SOCK_STREAM, 0);
        int small = 4096;
        setsockopt(listener, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        sockaddr_in a = LoopbackTo(0);
        ::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(listener, 64);
        socklen_t len = sizeof a;
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
    }
    void AcceptOne() { accepted.push_back(::accept(listener, nullptr, nullptr)); }
    ~CNonReader() {
        for (int fd : accepted) {
            ::close(fd);
        }
        ::close(listener);
    }
};

TEST(TcpSendBudget, ConnectionsThatDoNotReadShareOneBoundThenAreRefusedPiecesAndClosed) {
    constexpr size_t kBound = 2 * 1024 * 1024;
    constexpr int kConns = 8;
    CFragmentPool q;
    CThreadMgr mgr(q, nullptr, kMaxEventThreads, kBound);
    CNonReader peer;
    std::vector<int> socks;
    for (int i = 0; i < kConns; ++i) {
        int s = mgr.CreateTcpSock(Loopback(), peer.port);
        ASSERT_TRUE(mgr.Start(s));
        ASSERT_TRUE(NextEventOf(q, SockEventKind::kConnected, s));
        peer.AcceptOne();
        socks.push_back(s);
    }
    // Every connection is offered pieces until it refuses one; it refuses without closing.
    const std::vector<uint8_t> piece = PieceMessage(1);
    for (int s : socks) {
        int r = 1;
        for (int i = 0; i < 1000 && r > 0; ++i) {
            r = mgr.Send(s, piece.data(), piece.size());
        }
        EXPECT_EQ(r, 0) << "refused, not closed";
    }
    // Together they hold the bound, give or take one message each (a connection that holds
    // nothing may always queue one), not each its own cap.
    EXPECT_LE(mgr.SendBudget().Total(), kBound + kConns * piece.size());
    EXPECT_GE(mgr.SendBudget().Total(), kBound / 2);
    EXPECT_EQ(mgr.SendBudget().BusyConnections(), static_cast<size_t>(kConns));

    // Control messages (refusals) still go out past the share, up to a little slack; a
    // connection that keeps asking while it reads nothing is then given up.
    std::vector<uint8_t> refusal(22, 0);
    int r = 1;
    int control = 0;
    for (; control < 100000 && r > 0; ++control) {
        r = mgr.Send(socks[0], refusal.data(), refusal.size());
    }
    EXPECT_EQ(r, -1);
    EXPECT_GT(control, static_cast<int>(kControlSlackBytes / refusal.size()) - 1);
    EXPECT_LE(control, static_cast<int>(kControlSlackBytes / refusal.size()) + 2);
    EXPECT_TRUE(NextEventOf(q, SockEventKind::kClosed, socks[0]));
    EXPECT_EQ(mgr.SendBudget().BusyConnections(), static_cast<size_t>(kConns - 1))
        << "a closed connection's queue is let go at once";
    for (int s : socks) {
        mgr.Close(s);
    }
}

TEST(TcpSendBudget, QueuedDataIsDeliveredInOrderAndItsMemoryGoesBackToTheSystem) {
    CSendChunkPool pool;
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds), 0);
    int small = 4096;
    setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    CFragmentPool q;
    CThreadMgr mgr(q, nullptr);
    {
        sockaddr_in remote{};
        CTcpSock sock(mgr, fds[0], remote, false, false);
        ASSERT_EQ(sock.Open(), 0);
        sock.SetState(SockState::kOpen);
        // Messages of odd sizes, so that they straddle chunk borders.
        std::vector<uint8_t> data(3 * 1024 * 1024 + 12345);
        for (size_t i = 0; i < data.size(); ++i) {
            data[i] = StreamByte(i);
        }
        for (size_t off = 0; off < data.size();) {
            size_t n = std::min<size_t>(40961, data.size() - off);
            ASSERT_EQ(sock.Send(data.data() + off, n), static_cast<int>(n));
            off += n;
        }
        EXPECT_GT(sock.PendingBytes(), 2u * 1024 * 1024);
        EXPECT_LE(sock.PendingCapacity(), sock.PendingBytes() + 2 * kSendChunkBytes);
        EXPECT_EQ(mgr.SendBudget().Total(), sock.PendingBytes());

        std::vector<uint8_t> got;
        std::vector<uint8_t> buf(65536);
        for (int i = 0; i < 100000 && got.size() < data.size(); ++i) {
            ssize_t n = ::recv(fds[1], buf.data(), buf.size(), 0);
            if (n > 0) {
                got.insert(got.end(), buf.begin(), buf.begin() + n);
            }
            ASSERT_GE(sock.OnWritable(), 0);
        }
        ASSERT_EQ(got.size(), data.size());
        EXPECT_TRUE(got == data);
        EXPECT_EQ(sock.PendingBytes(), 0u);
        EXPECT_EQ(sock.PendingCapacity(), 0u) << "a drained queue holds no memory";
        EXPECT_EQ(mgr.SendBudget().Total(), 0u);

        // Queued again and never sent: closing gives it all back.
        for (int i = 0; i < 40; ++i) {
            ASSERT_GT(sock.Send(data.data(), 65536), 0);
        }
        EXPECT_GT(CSendChunkPool::Instance().MappedBytes(), kSendChunksCached * kSendChunkBytes);
        sock.OnClose();
        EXPECT_EQ(sock.PendingBytes(), 0u);
        EXPECT_EQ(mgr.SendBudget().Total(), 0u);
    }
    // Only the few chunks kept for reuse stay mapped.
    EXPECT_LE(CSendChunkPool::Instance().MappedBytes(), kSendChunksCached * kSendChunkBytes);
    ::close(fds[1]);
}

TEST(SendQueue, ChunksAreGatheredInOrderAndGoBackAsTheyAreSent) {
    CSendChunkPool pool;
    CSendQueue queue(pool);
    std::vector<uint8_t> a(100000, 1);
    ASSERT_TRUE(queue.Append(a.data(), a.size()));
    iovec iov[8];
    size_t n = queue.Front(iov, 8);
    ASSERT_EQ(n, 2u);
    EXPECT_EQ(iov[0].iov_len + iov[1].iov_len, a.size());
    queue.Consume(kSendChunkBytes + 5);
    EXPECT_EQ(queue.Size(), a.size() - kSendChunkBytes - 5);
    EXPECT_EQ(queue.ChunkBytes(), kSendChunkBytes);
    n = queue.Front(iov, 8);
    ASSERT_EQ(n, 1u);
    EXPECT_EQ(iov[0].iov_len, queue.Size());
    queue.Consume(queue.Size());
    EXPECT_EQ(queue.ChunkBytes(), 0u);
    EXPECT_EQ(pool.MappedBytes(), 2 * kSendChunkBytes) << "kept for reuse, within the cache";
}

// A peer thread that does not take reliable-UDP events must not let queue 2 grow with whatever
// the senders send: past its bound, data is not taken (so not acknowledged, and the sender
// holds it and sends it again), and once the queue is taken down the stream goes on whole.
TEST(ReliableUdpReceive, AFullEventQueueHoldsTheSenderBackAndLosesNothing) {
    RudpEndpoint sender;
    RudpEndpoint receiver;
    ASSERT_TRUE(sender.rudp.Connect(Loopback(), htons(receiver.port), sender.carrier));
    ASSERT_TRUE(NextEventOf(sender.queue2, SockEventKind::kConnected, -1, 10000));
    auto accepted = NextEventOf(receiver.queue2, SockEventKind::kAccepted, -1, 10000);
    ASSERT_TRUE(accepted);
    core::Ref<CConnection> out = sender.rudp.Find(Loopback(), htons(receiver.port), sender.carrier);
    ASSERT_TRUE(out);

    constexpr uint64_t kEnough = kMaxQueuedRudpReceiveBytes + kRudpReorderWindowBytes + 4 * 1024 * 1024;
    uint64_t sent = 0;
    std::vector<uint8_t> chunk(16384);
    auto pushSome = [&] {
        for (int k = 0; k < 64; ++k) {
            for (size_t i = 0; i < chunk.size(); ++i) {
                chunk[i] = StreamByte(sent + i);
            }
            int r = sender.rudp.Send(Loopback(), htons(receiver.port), sender.carrier, chunk.data(),
                                     chunk.size());
            ASSERT_GE(r, 0);
            // What was not taken is made again from the stream's offset next time.
            sent += static_cast<uint64_t>(r);
            if (static_cast<size_t>(r) < chunk.size()) {
                break;
            }
        }
    };
    // Send until either far more than the bound went out (the receiver took it all) or the
    // receiver's queue is at its bound and the sender is sending its oldest data again.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < deadline && sent < kEnough &&
           !(receiver.queue2.QueuedBytes() >= kMaxQueuedRudpReceiveBytes && out->Window().HeadCount() >= 3)) {
        pushSome();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_LE(receiver.queue2.QueuedBytes(), kMaxQueuedRudpReceiveBytes + kRudpReorderWindowBytes)
        << "sent " << sent;

    // The peer thread catches up: everything sent arrives, in order.
    uint64_t got = 0;
    bool inOrder = true;
    std::vector<uint8_t> buf(kRudpReorderWindowBytes + 65536);
    deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
    while (got < sent && inOrder && std::chrono::steady_clock::now() < deadline) {
        SocketEvent ev;
        if (receiver.queue2.Take(ev, buf) != TakeResult::kTaken) {
            receiver.queue2.Wait(20);
            continue;
        }
        ASSERT_EQ(ev.kind, SockEventKind::kData);
        for (uint32_t i = 0; i < ev.length && inOrder; ++i) {
            inOrder = buf[i] == StreamByte(got + i);
        }
        got += ev.length;
    }
    EXPECT_TRUE(inOrder);
    EXPECT_EQ(got, sent);
}

}  // namespace
}  // namespace tessali::net
