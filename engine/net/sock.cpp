#include "engine/net/sock.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "engine/core/engine_env.h"
#include "engine/core/engine_log.h"
#include "engine/net/event_thread.h"
#include "engine/net/thread_mgr.h"

namespace tessali::net {

using core::EngineLog;
using platform::GetTick;
using platform::Tick;
using platform::TickElapsed;

namespace {

// A peer that never stops sending must not keep one socket's loop going forever: after this many
// reads the thread moves on and comes back on its next pass.
constexpr int kMaxReadsPerPass = 16;

bool WouldBlock(int err) {
    return err == EAGAIN || err == EWOULDBLOCK || err == EINPROGRESS;
}

sockaddr_in AnyAddress(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    a.sin_port = htons(port);
    return a;
}

// Idle age of a socket; 0 when its activity was stamped after `now` was read.
uint32_t IdleFor(Tick now, Tick last) {
    return platform::TickBefore(now, last) ? 0 : TickElapsed(now, last);
}

}  // namespace

// ---- CSock

CSock::CSock(CThreadMgr& mgr, int fd, const sockaddr_in& addr)
    : m_mgr(mgr), m_fd(fd), m_addr(addr), m_lastActive(GetTick()) {}

CSock::~CSock() {
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

SocketEvent CSock::DataEvent() const {
    SocketEvent ev;
    ev.addr = m_addr.sin_addr.s_addr;
    ev.port = m_addr.sin_port;
    ev.sock = m_fd;
    ev.kind = SockEventKind::kData;
    return ev;
}

bool CSock::PostEvent(SockEventKind kind, std::span<const uint8_t> data) {
    SocketEvent ev = DataEvent();
    ev.kind = kind;
    return m_mgr.Events().Post(ev, data);
}

void CSock::Unhold() {
    m_held.store(false);
    WakeOwner();
}

void CSock::WakeOwner() {
    if (CThread* t = m_owner.load()) {
        t->Wake();
    }
}

// ---- CTcpListenSock

CTcpListenSock::CTcpListenSock(CThreadMgr& mgr, int fd, uint16_t port)
    : CSock(mgr, fd, AnyAddress(port)), m_port(port) {}

int CTcpListenSock::Open() {
    if (m_bound) {
        return 0;
    }
    // Our own restarts must be able to take the port back while old connections linger.
    int one = 1;
    setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a = AnyAddress(m_port);
    if (::bind(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(m_fd, 5) != 0) {
        return -1;
    }
    m_bound = true;
    return 0;
}

short CTcpListenSock::SelectEvents() {
    return POLLIN;
}

int CTcpListenSock::OnAccept() {
    for (int i = 0; i < kMaxReadsPerPass; ++i) {
        sockaddr_in remote{};
        socklen_t len = sizeof remote;
        int fd = ::accept4(m_fd, reinterpret_cast<sockaddr*>(&remote), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (WouldBlock(errno) || errno == EINTR || errno == ECONNABORTED) {
                return 0;
            }
            EngineLog(core::kLogDebug, "CTcpListenSock::OnAccept sock invalid sock,%d!!\n", errno);
            return -1;
        }
        // Adopted held: its event thread may be another one, which would otherwise read the
        // peer's first bytes and queue them before the accepted event below.
        int sock = m_mgr.AdoptTcpSock(fd, remote);
        if (sock < 0) {
            continue;
        }
        if (!m_mgr.Start(sock)) {
            m_mgr.Close(sock);
            continue;
        }
        SocketEvent ev;
        ev.addr = remote.sin_addr.s_addr;
        ev.port = remote.sin_port;
        ev.sock = sock;
        ev.kind = SockEventKind::kAccepted;
        m_mgr.Events().Post(ev);
        m_mgr.Unhold(sock);
        EngineLog(core::kLogDebug, "*****************accept an socket,ip: %s,port: %u.\n",
                  core::AddressText(remote.sin_addr.s_addr).c_str(), ntohs(remote.sin_port));
    }
    return 0;
}

// ---- CTcpSock

CTcpSock::CTcpSock(CThreadMgr& mgr, int fd, const sockaddr_in& addr, bool outgoing, bool halfOpen)
    : CSock(mgr, fd, addr), m_outgoing(outgoing), m_halfOpen(halfOpen) {}

CTcpSock::~CTcpSock() {
    ReleaseHalfOpen();
    std::lock_guard lock(m_lock);
    DropPendingLocked();
}

void CTcpSock::ReleaseHalfOpen() {
    if (m_halfOpen.exchange(false)) {
        m_mgr.ReleaseHalfOpen();
    }
}

int CTcpSock::Open() {
    if (!m_outgoing) {
        return 0;
    }
    m_connecting = true;
    if (::connect(m_fd, reinterpret_cast<const sockaddr*>(&m_addr), sizeof m_addr) != 0 &&
        !WouldBlock(errno)) {
        m_connecting = false;
        return -1;
    }
    return 0;
}

short CTcpSock::SelectEvents() {
    if (m_closeReported) {
        return 0;
    }
    if (m_connecting) {
        return POLLOUT;
    }
    // The event thread looks again on its next pass (at most one poll wait later).
    short in = m_mgr.Events().QueuedBytes() < kMaxQueuedReceiveBytes ? POLLIN : 0;
    std::lock_guard lock(m_lock);
    return m_pending.Empty() ? in : static_cast<short>(in | POLLOUT);
}

void CTcpSock::IdleCheck(Tick now) {
    if (IdleFor(now, LastActive()) > kTcpIdleMs - 1) {
        OnClose();
        m_lastActive.store(now);
    }
}

void CTcpSock::OnClose() {
    // Released before the event is seen, so whoever reacts to it sees the count already down.
    ReleaseHalfOpen();
    {
        // What was queued can no longer be delivered; its memory goes back at once.
        std::lock_guard lock(m_lock);
        DropPendingLocked();
    }
    // One kind-3 event per socket: the layer above answers it with a close.
    if (!m_closeReported.exchange(true)) {
        PostEvent(SockEventKind::kClosed);
    }
}

void CTcpSock::OnConnected() {
    m_connecting = false;
    Touch();
    ReleaseHalfOpen();
    PostEvent(SockEventKind::kConnected);
}

int CTcpSock::OnReadable(uint8_t* /*buffer*/, size_t /*capacity*/) {
    if (State() != SockState::kOpen) {
        return 0;
    }
    // Received bytes go to the peer thread in the buffer they were read into; only short reads
    // are copied out, so that a queued event never holds a mostly empty buffer.
    CFragmentPool& events = m_mgr.Events();
    std::unique_ptr<uint8_t[]> chunk;
    int result = 0;
    for (int i = 0; i < kMaxReadsPerPass; ++i) {
        if (events.QueuedBytes() >= kMaxQueuedReceiveBytes) {
            break;  // read again once the peer thread has caught up
        }
        if (!chunk && !(chunk = events.NewBuffer())) {
            result = -1;
            break;
        }
        ssize_t n = ::recv(m_fd, chunk.get(), kRecvBufferBytes, 0);
        if (n > 0) {
            auto got = static_cast<size_t>(n);
            bool posted = got < kRecvBufferBytes / 4 ? PostEvent(SockEventKind::kData, {chunk.get(), got})
                                                     : events.PostBuffer(DataEvent(), std::move(chunk), got);
            if (!posted) {
                result = -1;
                break;
            }
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && WouldBlock(errno)) {
            Touch();
            break;
        }
        result = -1;  // peer closed, or a hard error
        break;
    }
    events.Recycle(std::move(chunk));
    return result;
}

int CTcpSock::SendPendingLocked() {
    if (m_pending.Empty()) {
        return 0;
    }
    iovec iov[16];
    msghdr msg{};
    msg.msg_iov = iov;
    msg.msg_iovlen = m_pending.Front(iov, std::size(iov));
    ssize_t n = ::sendmsg(m_fd, &msg, MSG_NOSIGNAL);
    if (n < 0) {
        return WouldBlock(errno) || errno == EINTR ? 0 : -1;
    }
    size_t before = m_pending.Size();
    m_pending.Consume(static_cast<size_t>(n));
    m_mgr.SendBudget().Changed(before, m_pending.Size());
    return static_cast<int>(n);
}

bool CTcpSock::AppendLocked(const uint8_t* data, size_t len) {
    size_t before = m_pending.Size();
    if (before + len > kMaxPendingSendBytes || !m_pending.Append(data, len)) {
        return false;
    }
    m_mgr.SendBudget().Changed(before, m_pending.Size());
    return true;
}

void CTcpSock::DropPendingLocked() {
    m_mgr.SendBudget().Changed(m_pending.Size(), 0);
    m_pending.Clear();
}

int CTcpSock::Send(const uint8_t* data, size_t len) {
    const char* why = nullptr;
    {
        std::lock_guard lock(m_lock);
        if (State() != SockState::kOpen || m_closeReported) {
            return -1;
        }
        if (!m_connecting && !m_pending.Empty() && SendPendingLocked() < 0) {
            return -1;
        }
        if (m_connecting || !m_pending.Empty()) {
            // Nothing of this message has gone out yet: it is queued whole or not at all, so a
            // refused message never leaves a cut frame in the stream.
            size_t held = m_pending.Size();
            CSendBudget::Verdict v = m_mgr.SendBudget().Admit(held, len);
            if (v == CSendBudget::Verdict::kRefuse) {
                return 0;
            }
            if (v == CSendBudget::Verdict::kQueue) {
                m_controlPastShare = 0;
            } else if ((m_controlPastShare += len) > kControlSlackBytes) {
                why = "it reads nothing and keeps asking";
            }
            if (!why && held + len > kMaxPendingSendBytes) {
                why = "its send queue is full";
            }
            if (!why) {
                if (AppendLocked(data, len)) {
                    WakeOwner();
                    return static_cast<int>(len);
                }
                why = "no memory for its send queue";
            }
        } else {
            size_t sent = 0;
            ssize_t n = ::send(m_fd, data, len, MSG_NOSIGNAL);
            if (n >= 0) {
                sent = static_cast<size_t>(n);
            } else if (!WouldBlock(errno) && errno != EINTR) {
                return -1;
            }
            // The rest of a message that went out in part must follow it, whatever it costs.
            if (sent == len || AppendLocked(data + sent, len - sent)) {
                if (sent < len) {
                    WakeOwner();
                }
                return static_cast<int>(len);
            }
            why = "no memory for its send queue";
        }
    }
    EngineLog(core::kLogFail, "tcp send queue of %s closed: %s (%zu bytes queued in all)\n",
              core::AddressText(m_addr.sin_addr.s_addr).c_str(), why, m_mgr.SendBudget().Total());
    OnClose();
    return -1;
}

int CTcpSock::OnWritable() {
    std::lock_guard lock(m_lock);
    return SendPendingLocked();
}

size_t CTcpSock::PendingBytes() {
    std::lock_guard lock(m_lock);
    return m_pending.Size();
}

size_t CTcpSock::PendingCapacity() {
    std::lock_guard lock(m_lock);
    return m_pending.ChunkBytes();
}

// ---- CUdpListenSock

namespace {

void SizeCarrierBuffers(int fd) {
    // Reliable-UDP windows put many packets in flight at once, and the polling thread may come
    // late: the socket holds a burst until it reads.
    int bytes = static_cast<int>(kCarrierBufferBytes);
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
}

}  // namespace

CUdpListenSock::CUdpListenSock(CThreadMgr& mgr, int fd, uint16_t port, bool carrier)
    : CSock(mgr, fd, AnyAddress(port)), m_port(port), m_carrier(carrier) {}

int CUdpListenSock::Open() {
    if (m_bound) {
        return 0;
    }
    if (m_carrier) {
        SizeCarrierBuffers(m_fd);
    }
    sockaddr_in a = AnyAddress(m_port);
    if (::bind(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        return -1;
    }
    m_bound = true;
    return 0;
}

int CUdpListenSock::OnReadable(uint8_t* buffer, size_t capacity) {
    for (int i = 0; i < kMaxReadsPerPass * 4; ++i) {
        sockaddr_in from{};
        socklen_t fromLen = sizeof from;
        ssize_t n = ::recvfrom(m_fd, buffer, capacity, 0, reinterpret_cast<sockaddr*>(&from), &fromLen);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return WouldBlock(errno) ? 0 : -1;
        }
        if (m_carrier) {
            if (CTudpInterface* sink = m_mgr.CarrierSink()) {
                sink->OnDatagram(from.sin_addr.s_addr, from.sin_port, m_fd, buffer, static_cast<size_t>(n));
            }
            continue;
        }
        SocketEvent ev;
        ev.addr = from.sin_addr.s_addr;
        ev.port = from.sin_port;
        ev.sock = m_fd;
        ev.kind = SockEventKind::kData;
        if (!m_mgr.Events().Post(ev, {buffer, static_cast<size_t>(n)})) {
            return -1;
        }
    }
    return 0;
}

int CUdpListenSock::Send(const uint8_t* data, size_t len) {
    ssize_t n = ::sendto(m_fd, data, len, 0, reinterpret_cast<const sockaddr*>(&m_addr), sizeof m_addr);
    if (n < 0) {
        return WouldBlock(errno) ? 0 : -1;
    }
    return static_cast<int>(n);
}

// ---- CUdpSock

CUdpSock::CUdpSock(CThreadMgr& mgr, int fd, const sockaddr_in& remote, bool carrier)
    : CSock(mgr, fd, remote), m_carrier(carrier) {}

int CUdpSock::Open() {
    if (m_carrier) {
        // The connection's own carrier receives as much as a shared one: with the system's
        // default buffer a downloader drops most of each paced burst in the kernel.
        SizeCarrierBuffers(m_fd);
    } else {
        PostEvent(SockEventKind::kConnected);
    }
    return 0;
}

short CUdpSock::SelectEvents() {
    return m_closeReported ? 0 : POLLIN;
}

void CUdpSock::IdleCheck(Tick now) {
    if (!m_carrier && IdleFor(now, LastActive()) > kUdpIdleMs - 1) {
        OnClose();
        m_lastActive.store(now);
    }
}

void CUdpSock::OnClose() {
    if (m_carrier || m_closeReported.exchange(true)) {
        return;
    }
    EngineLog(core::kLogDebug, "on close.\n");
    PostEvent(SockEventKind::kClosed);
}

int CUdpSock::OnReadable(uint8_t* buffer, size_t capacity) {
    for (int i = 0; i < kMaxReadsPerPass * 4; ++i) {
        sockaddr_in from{};
        socklen_t fromLen = sizeof from;
        ssize_t n = ::recvfrom(m_fd, buffer, capacity, 0, reinterpret_cast<sockaddr*>(&from), &fromLen);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (WouldBlock(errno)) {
                Touch();
                return 0;
            }
            return -1;
        }
        // Only the remote this socket belongs to may talk to it.
        if (from.sin_family != m_addr.sin_family || from.sin_addr.s_addr != m_addr.sin_addr.s_addr ||
            from.sin_port != m_addr.sin_port) {
            continue;
        }
        if (m_carrier) {
            if (CTudpInterface* sink = m_mgr.CarrierSink()) {
                sink->OnDatagram(from.sin_addr.s_addr, from.sin_port, m_fd, buffer, static_cast<size_t>(n));
            }
            continue;
        }
        if (!PostEvent(SockEventKind::kData, {buffer, static_cast<size_t>(n)})) {
            return -1;
        }
    }
    return 0;
}

int CUdpSock::Send(const uint8_t* data, size_t len) {
    ssize_t n =
        ::sendto(m_fd, data, len, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&m_addr), sizeof m_addr);
    if (n < 0) {
        return WouldBlock(errno) ? 0 : -1;
    }
    return static_cast<int>(n);
}

}  // namespace tessali::net
