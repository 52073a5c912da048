// CTrackerRequestQueue: the tracker agent's reliable request queue. Requests wait in *pending*
// (FIFO, not yet sent) or *awaiting* (sent, waiting for the reply with the same sequence value);
// the queue decides what goes out over UDP and over the agent relay at a given tick. It owns the
// sequence counter. One lock guards both lists; every operation is safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <span>
#include <vector>

#include "engine/core/peer_id.h"
#include "engine/platform/tick.h"

namespace tessali::sources {

constexpr uint32_t kRetransmitMs = 5000;
// A request still unanswered this long after it was queued also goes over the agent relay.
constexpr uint32_t kRelayAfterMs = 16000;
constexpr size_t kMaxSendsPerPass = 10;
// Requests are never dropped, but a tracker that never answers must not let the queue grow
// without bound: beyond this many, the oldest pending requests give way.
constexpr size_t kMaxQueuedRequests = 4096;
// Normal requests sent and not yet answered: more wait in pending. Retransmissions stay well
// within the sends a pass allows, so an urgent request is never starved by a backlog of shares.
constexpr size_t kMaxAwaitingNormal = 32;
// Source-list and relay requests awaiting an answer: their senders ask again (the announce pass,
// the next connect), so the oldest give way beyond this many and after this long unanswered.
constexpr size_t kMaxAwaitingUrgent = 64;
constexpr uint32_t kUrgentGiveUpMs = 60000;

class CTrackerRequestQueue {
public:
    using Bytes = std::vector<uint8_t>;

    // Puts `id` at offset 8, gives the message the counter's sequence value (the counter then
    // grows by the message length) and queues it: normal messages at the back of pending; urgent
    // ones at the front of awaiting, due at once, but behind a login or keep-alive already at the
    // front. An urgent source-list or relay request replaces an awaiting one asking the same.
    // Returns the sequence value given.
    uint32_t Queue(Bytes message, bool urgent, const core::PeerId& id, platform::Tick now);

    // What goes out over UDP now: awaiting entries not sent for more than 5 s (only the front
    // one while not logged in), then, while logged in, pending entries moved to awaiting (while
    // fewer than kMaxAwaitingNormal normal ones await). At most 10 in all; each is stamped as
    // sent. Source-list and relay requests unanswered for kUrgentGiveUpMs are dropped first.
    std::vector<Bytes> TakeUdpSends(platform::Tick now, bool loggedIn);
    // True when some awaiting request has waited more than 16 s since it was queued and more
    // than 5 s since its last relay send: the relay connection is needed.
    bool NeedsRelay(platform::Tick now) const;
    // What goes out over the relay now: such awaiting requests, then (connected) pending ones
    // moved to awaiting. At most 10 in all; each is stamped as relayed.
    std::vector<Bytes> TakeRelaySends(platform::Tick now);

    // Removes the awaiting request answered by a reply with this sequence value and command;
    // false when none matches.
    bool OnReply(uint32_t sequence, uint16_t command);
    // True when a login or keep-alive is at the front of awaiting.
    bool LoginOrKeepAliveAtFront() const;
    bool Empty() const;
    size_t PendingCount() const;
    size_t AwaitingCount() const;
    // Commands of awaiting requests, front first (tests and logs).
    std::vector<uint16_t> AwaitingCommands() const;
    // Replaces the peer id of every queued request (a refused id was replaced).
    void SetPeerId(const core::PeerId& id);

private:
    struct Request {
        platform::Tick created = 0;
        platform::Tick lastUdpSend = 0;
        platform::Tick lastRelaySend = 0;
        bool relayed = false;
        Bytes bytes;
    };
    // Index in awaiting where an urgent entry goes: past a leading login/keep-alive run.
    size_t UrgentSlotLocked() const;
    static uint16_t CommandOf(const Request& r);
    // Source-list and relay requests: repeated by their senders, so they may be given up.
    static bool Expendable(const Request& r);
    void ExpireLocked(platform::Tick now);
    size_t CountAwaitingLocked(bool expendable) const;

    mutable std::mutex m_lock;
    std::deque<Request> m_pending;
    std::deque<Request> m_awaiting;
    uint32_t m_sequence = 0;
};

}  // namespace tessali::sources
