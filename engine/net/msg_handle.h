// CMsgHandle: the engine's peer logic. It answers every message record of the peer thread
// (handshakes, the peer wire messages, connection events), schedules block requests (as many
// per peer as its request queue takes), serves peers' requests (holding back, up to a bound,
// those of a connection whose send buffer is full), broadcasts have, opens connections to peers
// from source lists, and runs the pacing pass and the one-second pass of the rate limits.
// Handlers run on the peer thread; the pacing pass on the send routine and the one-second pass
// on the housekeeping thread call the request and send paths concurrently, which only use
// locked objects.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <span>
#include <utility>

#include "engine/core/task_pace.h"
#include "engine/core/task_wire.h"
#include "engine/net/block_witness.h"
#include "engine/net/message_record.h"
#include "engine/net/msg_limit_layer.h"
#include "engine/net/msg_pool.h"
#include "engine/net/peer_connector.h"
#include "engine/net/peer_link.h"
#include "engine/net/peer_wire.h"
#include "engine/net/speed_counter.h"
#include "engine/platform/event.h"

namespace tessali::net {

// A task downloading faster than this gives no new request to a peer slower than kSlowPeerRate.
constexpr int32_t kFastTaskRate = 134 * 1024;
constexpr int32_t kSlowPeerRate = 5 * 1024;
// A connection's requests are answered at once only while it holds less than this unsent (kept
// small: the socket's unsent bytes are moved forward on every flush); the others wait, at most
// kMaxWaitingRequests of them, and any beyond are refused.
constexpr size_t kServeSendHighWater = 128 * 1024;
constexpr size_t kMaxWaitingRequests = 2048;
// Source lists (trackers, the LAN search) open connections only while a task has fewer peers
// than this: a tracker that lists a hundred thousand peers must not get them all connected.
constexpr uint32_t kMaxSourcePeers = 200;
// Held-back messages one pacing pass may release per direction while the clocks allow.
constexpr int kMaxReleasesPerPass = 4;

class CMsgHandle : public IPeerConnector {
public:
    CMsgHandle(core::ITaskWire& tasks, IPeerLink& link, CMsgPool& pool, CMsgLimitLayer& limits);

    void SetOwnPeerId(std::span<const uint8_t, 20> id);
    std::array<uint8_t, 20> OwnPeerId() const;
    // Where tracker replies (synthetic 20-23) go; none = ignored.
    void SetTrackerReplySink(std::function<void(const MessageRecord&)> sink) {
        m_trackerSink = std::move(sink);
    }
    // Whether an address is on the LAN (for the automatic-mode exemption).
    void SetLanTest(std::function<bool(uint32_t)> test) { m_isLan = std::move(test); }

    void Handle(const MessageRecord& record);

    // IPeerConnector
    bool ConnectToSource(const core::TaskHash& hash, const SourcePeer& peer) override;

    void ScheduleRequests(const core::TaskHash& hash, const core::ConnectionKey& key);
    // Peer thread, around a run of handled records: between the two, the requests that follow a
    // received block are scheduled once per connection at EndBatch, so that one send carries
    // what all the blocks of the run freed instead of one send per block.
    void BeginBatch() { m_batching = true; }
    void EndBatch();
    // A request (17 bytes) of `key`; `fromWire` is false when the rate limiter releases it.
    void ServeRequest(const core::TaskHash& hash, const core::ConnectionKey& key,
                      std::span<const uint8_t, 17> request, bool fromWire);
    void RefuseRequest(const core::ConnectionKey& key, std::span<const uint8_t, 17> request);
    void BroadcastHave(const core::TaskHash& hash, uint32_t piece);
    // Per-task passes over a task's connections: schedule requests on each (a task started
    // again), and drop them all (a task paused or deleted).
    void ScheduleTaskRequests(const core::TaskHash& hash);
    void DropTaskConnections(const core::TaskHash& hash);
    // Removes the peer from its task, closes the connection and forgets it.
    void DropPeer(const core::TaskHash& hash, const core::ConnectionKey& key);

    // Send routine: the held-back messages of each direction whose time has come, then the
    // requests waiting for their connection's send buffer to drain.
    void PacingPass();
    // Send routine, between passes: a millisecond while messages are held back or requests wait
    // (their release is due by the clock or by a draining socket); otherwise until new work is
    // queued, at most idleMs.
    void WaitSendWork(uint32_t idleMs);
    // Answers waiting requests of every connection whose send buffer has room again.
    void ServeWaitingRequests();
    // Requests of `key` waiting to be answered.
    size_t WaitingRequests(const core::ConnectionKey& key) const;
    // Housekeeping: the deferred scheduling, then the limits and speeds.
    void SecondPass();
    // Rate window: expired samples are taken off the counters.
    void RateWindowStep() { m_speed.Expire(); }

    // A peer that sent wrong blocks: dropped, and never connected again for this task.
    void BanPeer(const core::TaskHash& hash, const core::ConnectionKey& key);
    bool IsBanned(const core::TaskHash& hash, uint32_t addr, uint16_t port) const;
    bool IsBannedId(const core::TaskHash& hash, std::span<const uint8_t, 20> id) const;

    CSpeedCounter& Speed() { return m_speed; }
    // Piece bytes received (the data part of piece messages) since the start.
    int64_t PieceBytesReceived() const { return m_pieceBytes.load(); }

private:
    void OnHandshake(const MessageRecord& r);
    void OnConnected(const core::TaskHash& hash, const MessageRecord& r);
    void OnClosed(const core::TaskHash& hash, const MessageRecord& r);
    void OnHave(const core::TaskHash& hash, const MessageRecord& r);
    void OnBitfield(const core::TaskHash& hash, const MessageRecord& r);
    void OnPiece(const core::TaskHash& hash, const MessageRecord& r);
    void OnMetaRequest(const core::TaskHash& hash, const MessageRecord& r);
    void OnMetaResponse(const core::TaskHash& hash, const MessageRecord& r);
    void OnRequestRefused(const core::TaskHash& hash, const MessageRecord& r);
    void AfterHandshake(const core::TaskHash& hash, const core::ConnectionKey& key,
                        std::span<const uint8_t, 20> id);
    void SendHandshake(const core::TaskHash& hash, const core::ConnectionKey& key);
    void SendBitfield(const core::TaskHash& hash, const core::ConnectionKey& key);
    void ProtocolError(const core::TaskHash& hash, const MessageRecord& r, const char* format);
    int SendTo(const core::ConnectionKey& key, std::span<const uint8_t> message);
    bool IsLan(uint32_t addr) const;
    void AnswerRequest(const core::TaskHash& hash, const core::ConnectionKey& key,
                       std::span<const uint8_t, 17> request);
    void CountTransfer(const core::TaskHash& hash, const core::ConnectionKey& key, int64_t bytes,
                       SpeedKind kind);
    // Whether a message to or from `key` waits for the pacing pass: the engine limit applies to
    // it (LAN peers are exempt in the automatic modes), or its task has a cap of its own.
    bool EngineDownloadLimited(const core::ConnectionKey& key) const;
    bool EngineUploadLimited(const core::ConnectionKey& key) const;
    bool DownloadLimited(const core::TaskHash& hash, const core::ConnectionKey& key) const;
    bool UploadLimited(const core::TaskHash& hash, const core::ConnectionKey& key) const;
    uint32_t TaskPace(const core::TaskHash& hash, core::PaceDirection d) const;
    // The upload limit (KiB/s) the admission rule judges a queued request of `key` by.
    uint32_t AdmissionLimit(const core::TaskHash& hash, const core::ConnectionKey& key) const;
    // One held-back message of the direction sent (true) when a task may send it; a task whose
    // own cap closes joins `held`.
    bool ReleaseDownload(platform::Tick now, std::set<core::TaskHash>& held);
    bool ReleaseUpload(platform::Tick now, std::set<core::TaskHash>& held);
    void AdvanceTaskPace(const core::TaskHash& hash, core::PaceDirection d, uint32_t bytes,
                         platform::Tick now);

    core::ITaskWire& m_tasks;
    IPeerLink& m_link;
    CMsgPool& m_pool;
    CMsgLimitLayer& m_limits;
    CSpeedCounter m_speed;
    std::function<void(const MessageRecord&)> m_trackerSink;
    std::function<bool(uint32_t)> m_isLan;
    mutable std::mutex m_idLock;
    std::array<uint8_t, 20> m_ownId{};
    std::atomic<int64_t> m_pieceBytes{0};
    std::atomic<platform::Tick> m_capLogged{0};         // when the peer cap was last logged
    platform::Event m_sendWork;                         // work queued for the pacing pass
    std::atomic<bool> m_pacingBusy{false};              // the last pacing pass left work queued
    std::map<core::TaskHash, CBlockWitness> m_witness;  // peer thread only
    bool m_batching = false;                            // peer thread only
    std::set<std::pair<core::TaskHash, core::ConnectionKey>> m_toSchedule;  // peer thread only
    struct WaitingRequest {
        core::TaskHash hash;
        std::array<uint8_t, 17> request;
    };
    mutable std::mutex m_waitLock;
    std::map<core::ConnectionKey, std::deque<WaitingRequest>> m_waiting;
    mutable std::mutex m_banLock;
    std::set<std::pair<core::TaskHash, uint64_t>> m_bannedAddrs;               // address << 16 | port
    std::set<std::pair<core::TaskHash, std::array<uint8_t, 12>>> m_bannedIds;  // id characters 9-20
};

}  // namespace tessali::net
