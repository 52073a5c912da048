// CRequestQueue: the block requests outstanding to one peer, oldest first, and how many may be
// outstanding. The depth follows what the peer delivers: enough requests to cover its delivery
// rate over a few seconds plus one round trip, so a single peer can fill a long fat link while a
// slow one is not asked for more than it can deliver before requests time out.
// Thread safety: none of its own; the owning task's request lock guards it (see task_pieces.h).
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include "engine/platform/tick.h"

namespace tessali::core {

// Bytes outstanding cover this much of the peer's delivery rate (plus one round trip).
constexpr uint32_t kRequestQueueTargetMs = 3000;
// Never fewer requests than this, never more than these bounds, per peer.
constexpr uint32_t kMinRequestDepth = 2;
constexpr uint32_t kMaxRequestDepth = 1000;
constexpr uint64_t kMaxRequestQueueBytes = 16 * 1024 * 1024;
// Deliveries are summed over at least this long before they make a rate sample.
constexpr uint32_t kRateSampleMs = 100;

// Requests allowed outstanding for a peer delivering `rateBytesPerSecond` over a path of
// `rttMs`, each request asking for `requestBytes`.
uint32_t RequestDepth(uint64_t rateBytesPerSecond, uint32_t rttMs, uint32_t requestBytes);

struct OutstandingRequest {
    uint32_t piece = 0;
    uint32_t begin = 0;
    uint32_t length = 0;
    platform::Tick sent = 0;
};

class CRequestQueue {
public:
    size_t Size() const { return m_entries.size(); }
    bool Empty() const { return m_entries.empty(); }
    // Requests this peer may have outstanding now.
    uint32_t Depth(uint32_t requestBytes) const;
    bool HasRoom(uint32_t requestBytes) const { return m_entries.size() < Depth(requestBytes); }

    // Records a request just asked for (stamped `now`).
    void Add(uint32_t piece, uint32_t begin, uint32_t length, platform::Tick now);
    bool Contains(uint32_t piece, uint32_t begin) const;
    // True when an outstanding request's range holds byte `offset` of `piece`.
    bool Covers(uint32_t piece, uint32_t offset) const;
    // Removes the oldest entry for (piece, begin). With `delivered`, the block arrived at `now`:
    // the delivery feeds the rate and round-trip estimates.
    std::optional<OutstandingRequest> Take(uint32_t piece, uint32_t begin, bool delivered,
                                           platform::Tick now);
    std::vector<OutstandingRequest> TakeAll();
    // Removes entries asked for more than `ageMs` ago (a peer that never answers must not keep
    // its queue full for good); the removed entries.
    std::vector<OutstandingRequest> TakeOlderThan(platform::Tick now, uint32_t ageMs);

    // Delivery rate (bytes per second, 0 before the first sample) and the smallest round trip
    // seen (0 before the first delivery).
    uint64_t Rate() const { return m_rate; }
    uint32_t MinRtt() const { return m_minRtt; }

private:
    void OnDelivered(uint32_t bytes, platform::Tick sent, platform::Tick now);
    void NoteIfEmpty(platform::Tick now);

    std::deque<OutstandingRequest> m_entries;
    uint64_t m_rate = 0;
    uint32_t m_minRtt = 0;
    bool m_haveRtt = false;
    bool m_started = false;
    platform::Tick m_idleSince = 0;
    platform::Tick m_windowStart = 0;
    uint64_t m_windowBytes = 0;
};

}  // namespace tessali::core
