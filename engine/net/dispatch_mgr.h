// CDispatchMgr: one entry per connection, keyed by connection key. It takes the socket events of
// both event queues, collects each connection's bytes, finds out which wire form an inbound
// stream uses, lets that form's dispatcher cut it into message records for the peer thread (the
// data pool), and sends messages back in the same form. Framing runs on the peer thread; the
// entry map is under the manager's lock; sends may come from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "engine/net/dispatch.h"
#include "engine/net/fragment_pool.h"
#include "engine/net/message_record.h"
#include "engine/net/peer_link.h"
#include "engine/net/thread_mgr.h"
#include "engine/net/tudp_interface.h"

namespace tessali::net {

// No connection holds more unframed bytes than one largest message plus one receive.
constexpr size_t kMaxBufferedBytes = 512000 + 66560 + 4096;
// A TCP peer connection that has not shown a handshake this long after it was made is closed:
// otherwise silent connections (or a tracker's list of peers that accept and never answer)
// would hold sockets and peer slots until the two-minute idle check.
constexpr uint32_t kHandshakeDeadlineMs = 20000;
// Framing stops taking socket events while this many message records (or record bytes) wait for
// the peer thread, so a flood is handled in batches rather than all held at once. Each queue
// gets at least half of the records of a pass.
constexpr size_t kMaxPendingRecords = 4096;
constexpr size_t kMaxPendingRecordBytes = 8 * 1024 * 1024;

class CDispatchMgr : public IPeerLink, private IDispatchHost {
public:
    // `random` feeds the scrambled frames' keys and padding; empty = a random device.
    CDispatchMgr(CThreadMgr& sockets, CTudpInterface& rudp, CFragmentPool& queue1, CFragmentPool& queue2,
                 std::function<uint32_t()> random = {});
    ~CDispatchMgr() override;

    bool Start();
    // Stops the reliable-UDP manager, then all sockets; empties both queues and forgets every entry.
    void Stop();
    // A listening socket (port host order); its handle or -1.
    int Listen(uint8_t transport, uint16_t port);

    // IPeerLink
    int Send(const core::ConnectionKey& key, std::span<const uint8_t> message) override;
    size_t SendAll(const core::ConnectionKey& key, std::span<const uint8_t> messages,
                   size_t messageBytes) override;
    size_t PendingSendBytes(const core::ConnectionKey& key) override;
    void Close(const core::ConnectionKey& key) override;
    void Discard(int sock) override;
    int CreateTcp(uint32_t addr, uint16_t port) override;
    bool RegisterTcp(uint8_t type, const core::ConnectionKey& key) override;
    int CreateUdpCarrier(uint32_t addr, uint16_t port) override;
    bool RegisterReliableUdpDirect(uint8_t type, const core::ConnectionKey& key) override;
    bool RegisterReliableUdp(uint8_t type, const core::ConnectionKey& key, uint32_t remoteNatType,
                             std::span<const uint8_t, 20> remotePeerId,
                             std::span<const uint8_t, 20> infoHash) override;
    bool RegisterUdp(uint8_t type, const core::ConnectionKey& key);

    // Waits up to timeoutMs for either queue; true when one is signalled.
    bool Wait(int timeoutMs) const;
    // Frames the pending events of queue 1 (ordinary sockets) and queue 2 (reliable UDP), until
    // kMaxPendingRecords records wait; what is left stays queued (and signalled) for the next call.
    // With `drain`, it is called after each event's records are queued and must take them all:
    // piece messages framed straight from a receive buffer are then handed over as views into
    // it (no copy), valid until `drain` returns, when the buffer goes back for reuse.
    void ProcessQueues(const std::function<void()>& drain = {});
    // Takes the oldest message record.
    bool TakeRecord(MessageRecord& out) { return m_pool.Take(out); }
    CDataPool& Pool() { return m_pool; }

    size_t EntryCount() const;
    bool HasEntry(const core::ConnectionKey& key) const;
    // The dispatcher type of a connection, or -1.
    int TypeOf(const core::ConnectionKey& key) const;

    // Closes every TCP peer connection past the handshake deadline at `now` without a handshake
    // seen; run once a second by ProcessQueues. Returns how many were closed.
    size_t CloseSilentConnections(platform::Tick now);

    // Feeds one socket event as if taken from a queue (tests).
    void HandleEvent(const SocketEvent& ev, std::span<const uint8_t> data, uint8_t newTransport);

private:
    void ProcessQueue(CFragmentPool& queue, uint8_t newTransport, size_t maxRecords,
                      const std::function<void()>& drain);
    // Frames what it can of `data` for a plain connection past its handshake without buffering
    // it; returns the bytes still to go through the entry's buffer.
    std::span<const uint8_t> FrameDirect(CConnEntry& entry, std::span<const uint8_t> data);
    CDispatch& DispatcherOf(uint8_t type);
    bool AddEntry(uint8_t type, uint8_t transport, const core::ConnectionKey& key);
    void RemoveEntry(const core::ConnectionKey& key);

    // IDispatchHost
    void Emit(const CConnEntry& entry, std::span<const uint8_t> message) override;
    void PostSynthetic(const CConnEntry& entry, uint8_t id) override;
    int SendRaw(const core::ConnectionKey& key, uint8_t transport, std::span<const uint8_t> bytes) override;
    void FramingError(CConnEntry& entry) override;

    CThreadMgr& m_sockets;
    CTudpInterface& m_rudp;
    CFragmentPool& m_queue1;
    CFragmentPool& m_queue2;
    CDataPool m_pool;

    CDispatch m_unknown;
    CMirtHttpDispatch m_http;
    CMirtDispatch m_scrambled;
    CBtDispatch m_plain;
    CBtHttpTrackDispatch m_httpTracker;
    CBtUdpTrackDispatch m_udpTracker;

    mutable std::mutex m_lock;
    std::map<core::ConnectionKey, CConnEntry> m_entries;
    // The receive buffer being framed whose piece messages may be handed over as views.
    std::span<const uint8_t> m_lendable;    // peer thread only
    size_t m_passRecords = 0;               // records drained in this pass (peer thread only)
    size_t m_passBytes = 0;                 // and their bytes
    std::mutex m_rudpSendLock;              // taken alone
    platform::Tick m_lastSilenceSweep = 0;  // peer thread only
};

}  // namespace tessali::net
