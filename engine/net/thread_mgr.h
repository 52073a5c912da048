// CThreadMgr: creates every socket of the engine, hands each to an event thread (at most 129
// threads of 61 sockets), and maps socket handles to socket objects for close and send. Events
// go to the queue given at construction; carrier datagrams to the reliable-UDP manager. All
// operations are safe from any thread; one lock guards the thread list and the socket map.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "engine/net/event_thread.h"
#include "engine/net/fragment_pool.h"
#include "engine/net/send_budget.h"
#include "engine/net/sock.h"
#include "engine/net/tudp_interface.h"

namespace tessali::net {

constexpr size_t kMaxEventThreads = 129;

// Addresses are in network order, ports in host order. Socket-creating operations return the
// handle or -1.
class CThreadMgr {
public:
    CThreadMgr(CFragmentPool& events, CTudpInterface* carrierSink, size_t maxThreads = kMaxEventThreads,
               size_t sendBound = kMaxQueuedSendBytes);
    virtual ~CThreadMgr();
    CThreadMgr(const CThreadMgr&) = delete;
    CThreadMgr& operator=(const CThreadMgr&) = delete;

    virtual void StopAll();
    virtual int CreateTcpListen(uint16_t port);
    virtual int CreateUdpListen(uint16_t port, bool carrier);
    virtual int CreateTcpSock(uint32_t addr, uint16_t port);
    // The adopted socket is held (not polled) until Unhold.
    virtual int AdoptTcpSock(int fd, const sockaddr_in& remote);
    virtual int CreateUdpSock(uint32_t addr, uint16_t port, bool carrier);
    virtual bool Start(int sock);
    // Lets a held socket's thread poll it.
    void Unhold(int sock);
    virtual bool Close(int sock);
    virtual int Send(int sock, const uint8_t* data, size_t len);
    // Bytes a socket holds that Send accepted but the system has not taken yet; 0 when unknown.
    size_t PendingSendBytes(int sock) const;

    // Outgoing TCP connections not yet connected, failed or closed.
    int32_t HalfOpen() const { return m_halfOpen.load(); }
    size_t ThreadCount() const;
    // The index of the event thread holding `sock`, or -1.
    int ThreadIndexOf(int sock) const;
    // The local port (host order) a socket is bound to, 0 when unknown.
    static uint16_t LocalPort(int sock);

    CFragmentPool& Events() { return m_events; }
    CSendBudget& SendBudget() { return m_sendBudget; }
    CTudpInterface* CarrierSink() { return m_carrier; }
    void AddHalfOpen() { m_halfOpen.fetch_add(1); }
    void ReleaseHalfOpen() { m_halfOpen.fetch_sub(1); }

private:
    int Register(std::shared_ptr<CSock> sock);

    CFragmentPool& m_events;
    CTudpInterface* const m_carrier;
    const size_t m_maxThreads;
    mutable std::mutex m_lock;
    std::vector<std::unique_ptr<CThread>> m_threads;
    std::map<int, std::shared_ptr<CSock>> m_socks;
    std::atomic<int32_t> m_halfOpen{0};
    CSendBudget m_sendBudget;
};

}  // namespace tessali::net
