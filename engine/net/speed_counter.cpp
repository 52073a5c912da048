#include "engine/net/speed_counter.h"

#include <vector>

namespace tessali::net {

void CSpeedCounter::Count(const core::TaskHash& hash, std::optional<core::ConnectionKey> key, int64_t bytes,
                          SpeedKind kind) {
    platform::Tick now = platform::GetTick();
    SpeedSample s{hash, key, bytes, now, kind};
    m_add(s);
    {
        std::lock_guard lock(m_lock);
        bool merged = false;
        // Only the newest samples can be merged into; a short backward look finds the connection.
        size_t look = 0;
        for (auto it = m_samples.rbegin(); it != m_samples.rend() && look < 8; ++it, ++look) {
            if (platform::TickElapsed(now, it->tick) > kMergeMs) {
                break;
            }
            if (it->kind == kind && it->key == key && it->hash == hash) {
                it->bytes += bytes;
                merged = true;
                break;
            }
        }
        if (!merged) {
            m_samples.push_back(s);
        }
    }
    Expire();
}

void CSpeedCounter::Expire() {
    platform::Tick now = platform::GetTick();
    std::vector<SpeedSample> due;
    {
        std::lock_guard lock(m_lock);
        while (!m_samples.empty() && !platform::TickBefore(now, m_samples.front().tick) &&
               platform::TickElapsed(now, m_samples.front().tick) >= kSpeedWindowMs) {
            due.push_back(m_samples.front());
            m_samples.pop_front();
        }
    }
    for (const SpeedSample& s : due) {
        m_release(s);
    }
}

size_t CSpeedCounter::SampleCount() const {
    std::lock_guard lock(m_lock);
    return m_samples.size();
}

}  // namespace tessali::net
