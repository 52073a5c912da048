// CConnectMgr: the reliable-UDP connection manager. One CConnection per remote endpoint (keyed
// by connection key), fed by the carrier socket, polled every 5 ms by its own thread for
// retransmissions, delayed acknowledges and time-outs (every millisecond while a pacer holds
// packets back; without connections the thread sleeps until one is made); events leave through
// its event queue. Incoming connections still waiting for their acknowledge are bounded, the
// oldest dropped first.
// One lock guards the map; a looked-up connection is used through a counted reference.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "engine/core/connection_key.h"
#include "engine/core/ref_counted.h"
#include "engine/net/datagram_sender.h"
#include "engine/net/fragment_pool.h"
#include "engine/net/rudp_connection.h"
#include "engine/net/tracker_relay.h"
#include "engine/net/tudp_interface.h"
#include "engine/platform/event.h"

namespace tessali::net {

constexpr uint32_t kRudpPollMs = 5;
// While a connection's pacer holds packets back the thread comes back this soon instead.
constexpr uint32_t kRudpPacingPollMs = 1;
// Without connections the thread sleeps up to this long; a new connection wakes it at once.
constexpr uint32_t kRudpIdlePollMs = 100;
constexpr uint16_t kTrackerRelayPort = 80;
// Incoming connections still waiting for the peer's acknowledge. A connect costs the sender one
// datagram from any address, so beyond this many the oldest waiting one is dropped.
constexpr size_t kRudpMaxHalfOpen = 1024;
// Data of established connections is not taken while the event queue holds this much that the
// peer thread has not taken (one reordering window may still come out on top of it).
constexpr size_t kMaxQueuedRudpReceiveBytes = 4 * 1024 * 1024;

class CConnectMgr : public CTudpInterface {
public:
    // `relay` may be null (no tracker agent): connecting through NAT then only connects directly
    // to peers of NAT type 1.
    CConnectMgr(CFragmentPool& events, IDatagramSender& out, ITrackerRelay* relay = nullptr);
    ~CConnectMgr() override;
    CConnectMgr(const CConnectMgr&) = delete;
    CConnectMgr& operator=(const CConnectMgr&) = delete;

    bool Start() override;
    // Running, but without the polling thread: the caller drives Poll itself (tests).
    void StartWithoutThread();
    void Stop() override;
    bool Connect(uint32_t addr, uint16_t port, int sock) override;
    bool Close(uint32_t addr, uint16_t port, int sock) override;
    void OnDatagram(uint32_t addr, uint16_t port, int sock, const uint8_t* data, size_t len) override;
    int Send(uint32_t addr, uint16_t port, int sock, const uint8_t* data, size_t len) override;
    size_t SendRoom(uint32_t addr, uint16_t port, int sock) override;
    size_t UnsentBytes(uint32_t addr, uint16_t port, int sock) override;
    TakeResult TakeEvent(SocketEvent& out, std::span<uint8_t> buffer) override;
    CFragmentPool& EventQueue() override { return m_events; }
    bool ConnectThroughNat(int sock, uint32_t addr, uint16_t port, uint32_t remoteNatType,
                           std::span<const uint8_t, 20> remotePeerId,
                           std::span<const uint8_t, 20> infoHash) override;

    // One pass of the polling thread: releases closed connections and polls the others. True
    // while some connection has packets waiting for its pacer.
    bool Poll();
    void SetTrackerRelay(ITrackerRelay* relay) { m_relay.store(relay); }
    core::Ref<CConnection> Find(uint32_t addr, uint16_t port, int sock) const;
    size_t ConnectionCount() const;

private:
    void PollLoop();
    // With m_lock held: makes room for one more half-open connection.
    void DropOldestHalfOpen();
    void RelayRequest(ITrackerRelay& relay, int sock, std::span<const uint8_t, 20> remotePeerId,
                      std::span<const uint8_t, 20> infoHash);

    CFragmentPool& m_events;
    IDatagramSender& m_out;
    std::atomic<ITrackerRelay*> m_relay;
    mutable std::mutex m_lock;
    std::map<core::ConnectionKey, core::Ref<CConnection>> m_conns;
    // Connections created by a connect datagram, oldest first; entries whose connection has moved
    // on (established, closed, replaced) are skipped when met. The pointer is compared, never used.
    std::deque<std::pair<core::ConnectionKey, const CConnection*>> m_halfOpen;
    std::atomic<bool> m_running{false};
    platform::Event m_connectionAdded;  // wakes the polling thread while it has no connections
    std::thread m_thread;
};

}  // namespace tessali::net
