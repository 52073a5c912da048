#include "engine/core/request_queue.h"

#include <algorithm>

namespace tessali::core {

using platform::Tick;
using platform::TickElapsed;

uint32_t RequestDepth(uint64_t rateBytesPerSecond, uint32_t rttMs, uint32_t requestBytes) {
    requestBytes = std::max<uint32_t>(requestBytes, 1);
    const uint64_t cap =
        std::clamp<uint64_t>(kMaxRequestQueueBytes / requestBytes, kMinRequestDepth, kMaxRequestDepth);
    // Clamped first so the product below cannot overflow whatever a peer makes us measure.
    const uint64_t rate = std::min<uint64_t>(rateBytesPerSecond, kMaxRequestQueueBytes * 1000);
    const uint64_t bytes = rate * (uint64_t{kRequestQueueTargetMs} + rttMs) / 1000;
    const uint64_t wanted = (bytes + requestBytes - 1) / requestBytes;
    return static_cast<uint32_t>(std::clamp<uint64_t>(wanted, kMinRequestDepth, cap));
}

uint32_t CRequestQueue::Depth(uint32_t requestBytes) const {
    return RequestDepth(m_rate, m_minRtt, requestBytes);
}

void CRequestQueue::Add(uint32_t piece, uint32_t begin, uint32_t length, Tick now) {
    if (!m_started) {
        m_started = true;
        m_windowStart = now;
    } else if (m_entries.empty() && !platform::TickBefore(now, m_idleSince)) {
        // Time without anything outstanding says nothing about the peer's rate.
        m_windowStart += TickElapsed(now, m_idleSince);
    }
    m_entries.push_back({piece, begin, length, now});
}

void CRequestQueue::NoteIfEmpty(Tick now) {
    if (m_entries.empty()) {
        m_idleSince = now;
    }
}

bool CRequestQueue::Contains(uint32_t piece, uint32_t begin) const {
    // Blocks mostly arrive in the order asked, so the match is usually at the front.
    return std::any_of(m_entries.begin(), m_entries.end(),
                       [&](const OutstandingRequest& e) { return e.piece == piece && e.begin == begin; });
}

bool CRequestQueue::Covers(uint32_t piece, uint32_t offset) const {
    return std::any_of(m_entries.begin(), m_entries.end(), [&](const OutstandingRequest& e) {
        return e.piece == piece && e.begin <= offset && offset - e.begin < e.length;
    });
}

std::optional<OutstandingRequest> CRequestQueue::Take(uint32_t piece, uint32_t begin, bool delivered,
                                                      Tick now) {
    auto it = std::find_if(m_entries.begin(), m_entries.end(),
                           [&](const OutstandingRequest& e) { return e.piece == piece && e.begin == begin; });
    if (it == m_entries.end()) {
        return std::nullopt;
    }
    OutstandingRequest taken = *it;
    m_entries.erase(it);
    if (delivered) {
        OnDelivered(taken.length, taken.sent, now);
    }
    NoteIfEmpty(now);
    return taken;
}

std::vector<OutstandingRequest> CRequestQueue::TakeAll() {
    std::vector<OutstandingRequest> out(m_entries.begin(), m_entries.end());
    m_entries.clear();
    return out;
}

std::vector<OutstandingRequest> CRequestQueue::TakeOlderThan(Tick now, uint32_t ageMs) {
    std::vector<OutstandingRequest> out;
    while (!m_entries.empty() && TickElapsed(now, m_entries.front().sent) > ageMs &&
           !platform::TickBefore(now, m_entries.front().sent)) {
        out.push_back(m_entries.front());
        m_entries.pop_front();
    }
    if (!out.empty()) {
        NoteIfEmpty(now);
    }
    return out;
}

void CRequestQueue::OnDelivered(uint32_t bytes, Tick sent, Tick now) {
    // The smallest time from asking to receiving is the path's round trip; later ones also hold
    // the time the request waited behind the others at the peer.
    if (!platform::TickBefore(now, sent)) {
        uint32_t rtt = TickElapsed(now, sent);
        if (!m_haveRtt || rtt < m_minRtt) {
            m_minRtt = rtt;
            m_haveRtt = true;
        }
    }
    m_windowBytes += bytes;
    uint32_t elapsed = TickElapsed(now, m_windowStart);
    if (platform::TickBefore(now, m_windowStart) || elapsed < std::max(kRateSampleMs, m_minRtt)) {
        return;
    }
    uint64_t sample = m_windowBytes * 1000 / elapsed;
    m_rate = m_rate == 0 ? sample : (m_rate + sample) / 2;
    m_windowStart = now;
    m_windowBytes = 0;
}

}  // namespace tessali::core
