#include "engine/sources/tracker_request_queue.h"

#include "engine/sources/tracker_messages.h"

#include <algorithm>

namespace tessali::sources {

using platform::Tick;
using platform::TickElapsed;

uint16_t CTrackerRequestQueue::CommandOf(const Request& r) {
    std::optional<TrackerHeader> h = PeekHeader(r.bytes);
    return h ? h->command : 0;
}

bool CTrackerRequestQueue::Expendable(const Request& r) {
    uint16_t c = CommandOf(r);
    return c == kCmdSourceList || c == kCmdRelay;
}

size_t CTrackerRequestQueue::CountAwaitingLocked(bool expendable) const {
    size_t n = 0;
    for (const Request& r : m_awaiting) {
        uint16_t c = CommandOf(r);
        if (c != kCmdLogin && c != kCmdKeepAlive && Expendable(r) == expendable) {
            ++n;
        }
    }
    return n;
}

void CTrackerRequestQueue::ExpireLocked(Tick now) {
    std::erase_if(m_awaiting, [now](const Request& r) {
        return Expendable(r) && TickElapsed(now, r.created) > kUrgentGiveUpMs &&
               !platform::TickBefore(now, r.created);
    });
    // Still too many: the oldest give way (they are at the back, the newest go to the front).
    size_t excess = CountAwaitingLocked(true);
    for (size_t i = m_awaiting.size(); i > 0 && excess > kMaxAwaitingUrgent; --i) {
        if (Expendable(m_awaiting[i - 1])) {
            m_awaiting.erase(m_awaiting.begin() + static_cast<std::ptrdiff_t>(i - 1));
            --excess;
        }
    }
}

size_t CTrackerRequestQueue::UrgentSlotLocked() const {
    size_t i = 0;
    while (i < m_awaiting.size()) {
        uint16_t c = CommandOf(m_awaiting[i]);
        if (c != kCmdLogin && c != kCmdKeepAlive) {
            break;
        }
        ++i;
    }
    return i;
}

uint32_t CTrackerRequestQueue::Queue(Bytes message, bool urgent, const core::PeerId& id, Tick now) {
    std::lock_guard lock(m_lock);
    if (message.size() >= kTrackerHeaderBytes + core::kPeerIdBytes) {
        SetRequestPeerId(message, id);
    }
    uint32_t sequence = m_sequence;
    SetSequence(message, sequence);
    m_sequence += static_cast<uint32_t>(message.size());

    Request r;
    r.created = now;
    r.bytes = std::move(message);
    if (urgent) {
        if (Expendable(r)) {
            // The same question asked again: only the newest needs an answer.
            std::erase_if(m_awaiting, [&r](const Request& old) {
                return CommandOf(old) == CommandOf(r) && old.bytes.size() == r.bytes.size() &&
                       std::equal(old.bytes.begin() + kTrackerHeaderBytes + core::kPeerIdBytes,
                                  old.bytes.end(),
                                  r.bytes.begin() + kTrackerHeaderBytes + core::kPeerIdBytes);
            });
        }
        // Stamped just past the retransmission interval, so the next pass sends it.
        r.lastUdpSend = now - kRetransmitMs - 1;
        m_awaiting.insert(m_awaiting.begin() + static_cast<std::ptrdiff_t>(UrgentSlotLocked()), std::move(r));
    } else {
        m_pending.push_back(std::move(r));
    }
    while (m_pending.size() + m_awaiting.size() > kMaxQueuedRequests && !m_pending.empty()) {
        m_pending.pop_front();
    }
    ExpireLocked(now);
    return sequence;
}

std::vector<CTrackerRequestQueue::Bytes> CTrackerRequestQueue::TakeUdpSends(Tick now, bool loggedIn) {
    std::lock_guard lock(m_lock);
    ExpireLocked(now);
    std::vector<Bytes> out;
    for (Request& r : m_awaiting) {
        // Until the login is answered only the front request (the login or keep-alive) may go
        // out: anything behind it would be refused as "not logged in" and count as answered.
        if (out.size() >= kMaxSendsPerPass || (!loggedIn && &r != &m_awaiting.front())) {
            return out;
        }
        if (TickElapsed(now, r.lastUdpSend) <= kRetransmitMs) {
            continue;
        }
        r.lastUdpSend = now;
        out.push_back(r.bytes);
    }
    size_t inFlight = CountAwaitingLocked(false);
    while (loggedIn && out.size() < kMaxSendsPerPass && !m_pending.empty() && inFlight < kMaxAwaitingNormal) {
        ++inFlight;
        Request r = std::move(m_pending.front());
        m_pending.pop_front();
        r.lastUdpSend = now;
        out.push_back(r.bytes);
        // Behind a login or keep-alive at the front, like an urgent request, so that the login
        // keeps its place if the tracker forgets us before these are answered.
        m_awaiting.insert(m_awaiting.begin() + static_cast<std::ptrdiff_t>(UrgentSlotLocked()), std::move(r));
    }
    return out;
}

bool CTrackerRequestQueue::NeedsRelay(Tick now) const {
    std::lock_guard lock(m_lock);
    for (const Request& r : m_awaiting) {
        if (TickElapsed(now, r.created) > kRelayAfterMs &&
            (!r.relayed || TickElapsed(now, r.lastRelaySend) > kRetransmitMs)) {
            return true;
        }
    }
    return false;
}

std::vector<CTrackerRequestQueue::Bytes> CTrackerRequestQueue::TakeRelaySends(Tick now) {
    std::lock_guard lock(m_lock);
    ExpireLocked(now);
    std::vector<Bytes> out;
    for (Request& r : m_awaiting) {
        if (out.size() >= kMaxSendsPerPass) {
            return out;
        }
        if (TickElapsed(now, r.created) > kRelayAfterMs &&
            (!r.relayed || TickElapsed(now, r.lastRelaySend) > kRetransmitMs)) {
            r.relayed = true;
            r.lastRelaySend = now;
            out.push_back(r.bytes);
        }
    }
    size_t inFlight = CountAwaitingLocked(false);
    while (out.size() < kMaxSendsPerPass && !m_pending.empty() && inFlight < kMaxAwaitingNormal) {
        ++inFlight;
        Request r = std::move(m_pending.front());
        m_pending.pop_front();
        r.relayed = true;
        r.lastRelaySend = now;
        r.lastUdpSend = now;
        out.push_back(r.bytes);
        m_awaiting.push_back(std::move(r));
    }
    return out;
}

bool CTrackerRequestQueue::OnReply(uint32_t sequence, uint16_t command) {
    std::lock_guard lock(m_lock);
    for (auto it = m_awaiting.begin(); it != m_awaiting.end(); ++it) {
        std::optional<TrackerHeader> h = PeekHeader(it->bytes);
        if (h && h->sequence == sequence && h->command == command) {
            m_awaiting.erase(it);
            return true;
        }
    }
    return false;
}

bool CTrackerRequestQueue::LoginOrKeepAliveAtFront() const {
    std::lock_guard lock(m_lock);
    return UrgentSlotLocked() > 0;
}

bool CTrackerRequestQueue::Empty() const {
    std::lock_guard lock(m_lock);
    return m_pending.empty() && m_awaiting.empty();
}

size_t CTrackerRequestQueue::PendingCount() const {
    std::lock_guard lock(m_lock);
    return m_pending.size();
}

size_t CTrackerRequestQueue::AwaitingCount() const {
    std::lock_guard lock(m_lock);
    return m_awaiting.size();
}

std::vector<uint16_t> CTrackerRequestQueue::AwaitingCommands() const {
    std::lock_guard lock(m_lock);
    std::vector<uint16_t> out;
    for (const Request& r : m_awaiting) {
        out.push_back(CommandOf(r));
    }
    return out;
}

void CTrackerRequestQueue::SetPeerId(const core::PeerId& id) {
    std::lock_guard lock(m_lock);
    for (std::deque<Request>* list : {&m_pending, &m_awaiting}) {
        for (Request& r : *list) {
            if (r.bytes.size() >= kTrackerHeaderBytes + core::kPeerIdBytes) {
                SetRequestPeerId(r.bytes, id);
            }
        }
    }
}

}  // namespace tessali::sources
