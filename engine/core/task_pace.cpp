#include "engine/core/task_pace.h"

#include <algorithm>

namespace tessali::core {

void CTaskPace::SetLimit(PaceDirection d, uint32_t bytesPerSecond) {
    std::lock_guard lock(m_lock);
    Clock& c = m_clocks[static_cast<int>(d)];
    if (c.bytesPerSecond == bytesPerSecond) {
        return;
    }
    // A clock wound up under a much lower cap would otherwise hold the task long after the
    // cap was raised.
    c = Clock{};
    c.bytesPerSecond = bytesPerSecond;
}

uint32_t CTaskPace::Limit(PaceDirection d) const {
    std::lock_guard lock(m_lock);
    return m_clocks[static_cast<int>(d)].bytesPerSecond;
}

bool CTaskPace::HasLimit() const {
    std::lock_guard lock(m_lock);
    return m_clocks[0].bytesPerSecond != 0 || m_clocks[1].bytesPerSecond != 0;
}

bool CTaskPace::IsPaced(PaceDirection d, platform::Tick now) const {
    std::lock_guard lock(m_lock);
    const Clock& c = m_clocks[static_cast<int>(d)];
    return c.bytesPerSecond != 0 && c.set && platform::TickBefore(now, c.next);
}

void CTaskPace::Advance(PaceDirection d, uint32_t bytes, platform::Tick now) {
    std::lock_guard lock(m_lock);
    Clock& c = m_clocks[static_cast<int>(d)];
    if (c.bytesPerSecond == 0) {
        return;
    }
    const uint64_t intervalUs = uint64_t{bytes} * 1000000 / c.bytesPerSecond;
    const uint64_t intervalMs = intervalUs / 1000;
    platform::Tick base = now;
    uint64_t carry = 0;
    const uint64_t catchUp = std::max<uint64_t>(intervalMs, kPaceCatchUpMs);
    if (c.set && (platform::TickBefore(now, c.next) || platform::TickElapsed(now, c.next) <= catchUp)) {
        base = c.next;
        carry = c.carryUs;
    }
    const uint64_t totalUs = carry + intervalUs;
    c.next = base + static_cast<platform::Tick>(totalUs / 1000);
    c.carryUs = static_cast<uint32_t>(totalUs % 1000);
    c.set = true;
}

bool CTaskPace::Reset() {
    std::lock_guard lock(m_lock);
    for (Clock& c : m_clocks) {
        c.set = false;
        c.carryUs = 0;
    }
    return m_clocks[0].bytesPerSecond != 0 || m_clocks[1].bytesPerSecond != 0;
}

}  // namespace tessali::core
