#include "engine/net/sock.h"

#include <arpa/inet.h>
#include <sys/socket.h>
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

size_t RoundUp1024(size_t n) {
    return (n + 1023) / 1024 * 1024;
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

bool CSock::PostEvent(SockEventKind kind, std::span<const uint8_t> data) {
    SocketEvent ev;
    ev.addr = m_addr.sin_addr.s_addr;
    ev.port = m_addr.sin_port;
    ev.sock = m_fd;
    ev.kind = kind;
    return m_mgr.Events().Post(ev, data);
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
    return m_pending.empty() ? in : static_cast<short>(in | POLLOUT);
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

int CTcpSock::OnReadable(uint8_t* buffer, size_t capacity) {
    if (State() != SockState::kOpen) {
        return 0;
    }
    for (int i = 0; i < kMaxReadsPerPass; ++i) {
        if (m_mgr.Events().QueuedBytes() >= kMaxQueuedReceiveBytes) {
            return 0;  // read again once the peer thread has caught up
        }
        ssize_t n = ::recv(m_fd, buffer, capacity, 0);
        if (n > 0) {
            if (!PostEvent(SockEventKind::kData, {buffer, static_cast<size_t>(n)})) {
                return -1;
            }
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && WouldBlock(errno)) {
            Touch();
            return 0;
        }
        return -1;  // peer closed, or a hard error
    }
    return 0;
}

int CTcpSock::SendPendingLocked() {
    if (m_pending.empty()) {
        return 0;
    }
    ssize_t n = ::send(m_fd, m_pending.data(), m_pending.size(), MSG_NOSIGNAL);
    if (n < 0) {
        return WouldBlock(errno) || errno == EINTR ? 0 : -1;
    }
    m_pending.erase(m_pending.begin(), m_pending.begin() + n);
    return static_cast<int>(n);
}

bool CTcpSock::AppendLocked(const uint8_t* data, size_t len) {
    size_t need = m_pending.size() + len;
    if (need > kMaxPendingSendBytes) {
        return false;
    }
    try {
        if (m_pending.capacity() == 0) {
            m_pending.reserve(std::max(kSockSendBufferBytes, len));
        }
        if (need > m_pending.capacity()) {
            m_pending.reserve(RoundUp1024(need));
        }
        m_pending.insert(m_pending.end(), data, data + len);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

int CTcpSock::Send(const uint8_t* data, size_t len) {
    bool overflow = false;
    {
        std::lock_guard lock(m_lock);
        if (State() != SockState::kOpen || m_closeReported) {
            return -1;
        }
        if (m_connecting || !m_pending.empty()) {
            if (!m_connecting) {
                if (SendPendingLocked() < 0) {
                    return -1;
                }
            }
            if (m_connecting || !m_pending.empty()) {
                overflow = !AppendLocked(data, len);
                if (!overflow) {
                    WakeOwner();
                    return static_cast<int>(len);
                }
            }
        }
        if (!overflow) {
            size_t sent = 0;
            ssize_t n = ::send(m_fd, data, len, MSG_NOSIGNAL);
            if (n >= 0) {
                sent = static_cast<size_t>(n);
            } else if (!WouldBlock(errno) && errno != EINTR) {
                return -1;
            }
            if (sent < len) {
                overflow = !AppendLocked(data + sent, len - sent);
                if (!overflow) {
                    WakeOwner();
                }
            }
            if (!overflow) {
                return static_cast<int>(len);
            }
        }
    }
    EngineLog(core::kLogFail, "tcp send buffer over %zu bytes, closing %s\n", kMaxPendingSendBytes,
              core::AddressText(m_addr.sin_addr.s_addr).c_str());
    OnClose();
    return -1;
}

int CTcpSock::OnWritable() {
    std::lock_guard lock(m_lock);
    int n = SendPendingLocked();
    if (n < 0) {
        return -1;
    }
    if (m_pending.capacity() > kSockSendBufferBytes && m_pending.size() < kSockSendBufferBytes) {
        // Give a burst's memory back: the buffer shrinks to its normal size.
        std::vector<uint8_t> smaller;
        smaller.reserve(kSockSendBufferBytes);
        smaller.assign(m_pending.begin(), m_pending.end());
        m_pending.swap(smaller);
    }
    return n;
}

size_t CTcpSock::PendingBytes() {
    std::lock_guard lock(m_lock);
    return m_pending.size();
}

size_t CTcpSock::PendingCapacity() {
    std::lock_guard lock(m_lock);
    return m_pending.capacity();
}

// ---- CUdpListenSock

CUdpListenSock::CUdpListenSock(CThreadMgr& mgr, int fd, uint16_t port, bool carrier)
    : CSock(mgr, fd, AnyAddress(port)), m_port(port), m_carrier(carrier) {}

int CUdpListenSock::Open() {
    if (m_bound) {
        return 0;
    }
    if (m_carrier) {
        // Reliable-UDP windows put many packets in flight at once.
        int bytes = 1048576;
        setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
        setsockopt(m_fd, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
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
    if (!m_carrier) {
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
