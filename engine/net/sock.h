// CSock and its four kinds: the TCP listener, TCP connections (outgoing or accepted), the UDP
// listener and the UDP socket bound to one remote address. Each turns its readiness into socket
// events. Callbacks run on the owning event thread; Send runs on any thread (CTcpSock locks
// its send buffer so a send and a flush never interleave).
#pragma once

#include <netinet/in.h>
#include <poll.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>
#include <vector>

#include "engine/net/fragment_pool.h"
#include "engine/net/send_queue.h"
#include "engine/net/socket_event.h"
#include "engine/platform/tick.h"

namespace tessali::net {

class CThreadMgr;
class CThread;

constexpr size_t kSockSendBufferBytes = 18432;
constexpr size_t kRecvBufferBytes = CFragmentPool::kBufferBytes;
// Receive and send buffer of every reliable-UDP carrier socket, listening or per connection.
constexpr size_t kCarrierBufferBytes = 1048576;
// A peer that stops reading cannot make us hold more than this for it: the connection closes.
// Together the connections hold no more than the send budget allows (send_budget.h).
constexpr size_t kMaxPendingSendBytes = 4 * 1024 * 1024;
// While the event queue holds this much received data that the peer thread has not taken yet,
// TCP sockets are not read: the senders are held back by TCP itself instead of by our memory.
constexpr size_t kMaxQueuedReceiveBytes = 4 * 1024 * 1024;
constexpr uint32_t kTcpIdleMs = 120000;
constexpr uint32_t kUdpIdleMs = 60000;

enum class SockState : uint8_t { kCreated = 0, kOpen = 1, kClosed = 2 };

class CSock {
public:
    CSock(CThreadMgr& mgr, int fd, const sockaddr_in& addr);
    virtual ~CSock();  // closes the descriptor
    CSock(const CSock&) = delete;
    CSock& operator=(const CSock&) = delete;

    virtual int Open() = 0;
    // The poll() events wanted now; 0 parks the socket until the layer above closes it.
    virtual short SelectEvents() = 0;
    virtual void IdleCheck(platform::Tick now) = 0;
    virtual void OnClose() {}
    virtual int OnWritable() { return -1; }
    virtual int OnReadable(uint8_t* buffer, size_t capacity) = 0;
    virtual int OnAccept() { return -1; }
    virtual void OnConnected() {}
    virtual void OnConnectFailed() {}
    virtual int Send(const uint8_t* data, size_t len) { return 0; }
    // Bytes accepted by Send and not yet handed to the system.
    virtual size_t PendingSendBytes() { return 0; }
    // True while an outgoing connect is in progress: the next writable/error is its outcome.
    virtual bool Connecting() const { return false; }
    virtual bool Listening() const { return false; }

    int Fd() const { return m_fd; }
    const sockaddr_in& Addr() const { return m_addr; }
    SockState State() const { return m_state.load(); }
    void SetState(SockState s) { m_state.store(s); }
    platform::Tick LastActive() const { return m_lastActive.load(); }
    void SetOwner(CThread* t) { m_owner.store(t); }
    // A held socket is not polled: an accepted socket stays held until its accepted event is
    // queued, so that none of its data can be queued ahead of it.
    bool Held() const { return m_held.load(); }
    void Hold() { m_held.store(true); }
    void Unhold();

protected:
    void Touch() { m_lastActive.store(platform::GetTick()); }
    bool PostEvent(SockEventKind kind, std::span<const uint8_t> data = {});
    // A data event of this socket (length filled in when posted).
    SocketEvent DataEvent() const;
    void WakeOwner();

    CThreadMgr& m_mgr;
    const int m_fd;
    sockaddr_in m_addr;
    std::atomic<SockState> m_state{SockState::kCreated};
    std::atomic<platform::Tick> m_lastActive;
    std::atomic<CThread*> m_owner{nullptr};
    std::atomic<bool> m_held{false};
};

class CTcpListenSock : public CSock {
public:
    CTcpListenSock(CThreadMgr& mgr, int fd, uint16_t port);
    int Open() override;
    short SelectEvents() override;
    void IdleCheck(platform::Tick) override {}
    int OnReadable(uint8_t*, size_t) override { return 0; }
    int OnAccept() override;
    bool Listening() const override { return true; }

private:
    uint16_t m_port;
    bool m_bound = false;
};

class CTcpSock : public CSock {
public:
    // outgoing: Open starts a non-blocking connect to addr; halfOpen: counted as half-open.
    CTcpSock(CThreadMgr& mgr, int fd, const sockaddr_in& addr, bool outgoing, bool halfOpen);
    ~CTcpSock() override;
    int Open() override;
    short SelectEvents() override;
    void IdleCheck(platform::Tick now) override;
    void OnClose() override;
    int OnWritable() override;
    int OnReadable(uint8_t* buffer, size_t capacity) override;
    void OnConnected() override;
    void OnConnectFailed() override { OnClose(); }
    int Send(const uint8_t* data, size_t len) override;
    bool Connecting() const override { return m_connecting.load(); }

    size_t PendingBytes();
    size_t PendingSendBytes() override { return PendingBytes(); }
    // Bytes of memory the pending data occupies.
    size_t PendingCapacity();

private:
    void ReleaseHalfOpen();
    // All under m_lock; each keeps the engine's send budget up to date.
    int SendPendingLocked();
    bool AppendLocked(const uint8_t* data, size_t len);
    void DropPendingLocked();

    std::mutex m_lock;
    CSendQueue m_pending;
    // Bytes of control messages queued past the engine's share since it was last within it.
    size_t m_controlPastShare = 0;
    const bool m_outgoing;
    std::atomic<bool> m_connecting{false};
    std::atomic<bool> m_halfOpen;
    std::atomic<bool> m_closeReported{false};
};

class CUdpListenSock : public CSock {
public:
    CUdpListenSock(CThreadMgr& mgr, int fd, uint16_t port, bool carrier);
    int Open() override;
    short SelectEvents() override { return POLLIN; }
    void IdleCheck(platform::Tick) override {}
    int OnReadable(uint8_t* buffer, size_t capacity) override;
    int Send(const uint8_t* data, size_t len) override;
    bool Carrier() const { return m_carrier; }

private:
    uint16_t m_port;
    bool m_bound = false;
    const bool m_carrier;
};

class CUdpSock : public CSock {
public:
    CUdpSock(CThreadMgr& mgr, int fd, const sockaddr_in& remote, bool carrier);
    int Open() override;
    short SelectEvents() override;
    void IdleCheck(platform::Tick now) override;
    void OnClose() override;
    int OnReadable(uint8_t* buffer, size_t capacity) override;
    int Send(const uint8_t* data, size_t len) override;

private:
    const bool m_carrier;
    std::atomic<bool> m_closeReported{false};
};

}  // namespace tessali::net
