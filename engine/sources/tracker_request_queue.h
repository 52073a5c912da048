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

#include "engine/platform/tick.h"
#include "engine/sources/peer_id.h"

namespace tessali::sources {

constexpr uint32_t kRetransmitMs = 5000;
// A request still unanswered this long after it was queued also goes over the agent relay.
constexpr uint32_t kRelayAfterMs = 16000;
constexpr size_t kMaxSendsPerPass = 10;
// Requests are never dropped, but a tracker that never answers must not let the queue grow
// without bound: beyond this many, the oldest pending requests give way.
constexpr size_t kMaxQueuedRequests = 4096;

class CTrackerRequestQueue {
public:
    using Bytes = std::vector<uint8_t>;

    // Puts `id` at offset 8, gives the message the counter's sequence value (the counter then
    // grows by the message length) and queues it: normal messages at the back of pending; urgent
    // ones at the front of awaiting, due at once, but behind a login or keep-alive already at the
    // front. Returns the sequence value given.
    uint32_t Queue(Bytes message, bool urgent, const PeerId& id, platform::Tick now);

    // What goes out over UDP now: awaiting entries not sent for more than 5 s (only the front
    // one while not logged in), then, while logged in, pending entries moved to awaiting. At
    // most 10 in all; each is stamped as sent.
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
    void SetPeerId(const PeerId& id);

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

    mutable std::mutex m_lock;
    std::deque<Request> m_pending;
    std::deque<Request> m_awaiting;
    uint32_t m_sequence = 0;
};

}  // namespace tessali::sources
