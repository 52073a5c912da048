#include "engine/net/msg_pool.h"

#include <algorithm>

#include "engine/core/engine_log.h"
#include "engine/core/task_pace.h"

namespace tessali::net {

bool CMsgPool::MapConnection(const core::ConnectionKey& key, const core::TaskHash& hash) {
    {
        std::lock_guard lock(m_mapLock);
        if (!m_keyToHash.emplace(key, hash).second) {
            core::EngineLog(core::kLogDebug, "InsertKeyHash already exist!!\n");
            return false;
        }
    }
    std::lock_guard lock(m_hashLock);
    m_hashToKeys[hash].insert(key);
    return true;
}

bool CMsgPool::IsMapped(const core::ConnectionKey& key) const {
    std::lock_guard lock(m_mapLock);
    return m_keyToHash.count(key) != 0;
}

std::optional<core::TaskHash> CMsgPool::HashOf(const core::ConnectionKey& key) const {
    std::lock_guard lock(m_mapLock);
    auto it = m_keyToHash.find(key);
    if (it == m_keyToHash.end()) {
        return std::nullopt;
    }
    return it->second;
}

void CMsgPool::Forget(const core::ConnectionKey& key) {
    std::optional<core::TaskHash> hash;
    {
        std::lock_guard lock(m_mapLock);
        auto it = m_keyToHash.find(key);
        if (it != m_keyToHash.end()) {
            hash = it->second;
            m_keyToHash.erase(it);
        }
    }
    if (hash) {
        std::lock_guard lock(m_hashLock);
        auto it = m_hashToKeys.find(*hash);
        if (it != m_hashToKeys.end()) {
            it->second.erase(key);
            if (it->second.empty()) {
                m_hashToKeys.erase(it);
            }
        }
    }
    std::lock_guard lock(m_deferLock);
    m_deferred.erase(key);
}

std::vector<core::ConnectionKey> CMsgPool::ConnectionsOf(const core::TaskHash& hash) const {
    std::lock_guard lock(m_hashLock);
    auto it = m_hashToKeys.find(hash);
    if (it == m_hashToKeys.end()) {
        return {};
    }
    return {it->second.begin(), it->second.end()};
}

size_t CMsgPool::ConnectionCount() const {
    std::lock_guard lock(m_mapLock);
    return m_keyToHash.size();
}

void CMsgPool::Defer(const core::ConnectionKey& key, platform::Tick now) {
    std::lock_guard lock(m_deferLock);
    m_deferred[key] = now;
}

std::vector<core::ConnectionKey> CMsgPool::TakeDue(platform::Tick now) {
    std::vector<core::ConnectionKey> due;
    std::lock_guard lock(m_deferLock);
    for (auto it = m_deferred.begin(); it != m_deferred.end();) {
        if (!platform::TickBefore(now, it->second) &&
            platform::TickElapsed(now, it->second) >= kDeferredRequestMs) {
            due.push_back(it->first);
            it = m_deferred.erase(it);
        } else {
            ++it;
        }
    }
    return due;
}

void CMsgPool::RecomputeLimits(int taskMode) {
    uint8_t up = m_uploadSetting.load();
    uint8_t down = m_downloadSetting.load();
    m_uploadOff = up == kUploadSettingOff;
    m_uploadAuto = up == kSettingAuto;
    m_downloadAuto = down == kDownloadSettingAuto;
    uint32_t upLimit = 0;
    if (up == kSettingAuto) {
        upLimit = taskMode == 1 && Speed(Direction::kDownload) < 122880 ? 35 : 40;
    } else if (up == 0) {
        upLimit = m_standingUpload.load();
    } else if (up != kUploadSettingOff) {
        upLimit = up;
    }
    m_uploadLimit = upLimit;
    m_downloadLimit = (down == 0 || down == kDownloadSettingAuto) ? m_standingDownload.load() : down;
    std::lock_guard lock(m_clockLock);
    for (int d = 0; d < 2; ++d) {
        uint32_t limit = d == 0 ? m_downloadLimit.load() : m_uploadLimit.load();
        m_clocks[d].interval = limit ? m_clocks[d].size / limit : 0;
    }
}

void CMsgPool::SetUploadSetting(uint8_t value, int taskMode) {
    m_uploadSetting = value;
    RecomputeLimits(taskMode);
}

void CMsgPool::SetDownloadSetting(uint8_t value) {
    m_downloadSetting = value;
    RecomputeLimits(0);
}

void CMsgPool::SecondPass(int taskMode) {
    m_uploadSetting = 0;
    m_downloadSetting = 0;
    RecomputeLimits(taskMode);
    RecomputeSpeeds();
}

void CMsgPool::SetStandingLimits(uint32_t uploadKiB, uint32_t downloadKiB) {
    m_standingUpload = uploadKiB;
    m_standingDownload = downloadKiB;
    RecomputeLimits(0);
}

bool CMsgPool::ClockOpen(Direction d, platform::Tick now) const {
    std::lock_guard lock(m_clockLock);
    const Clock& c = m_clocks[static_cast<int>(d)];
    return !c.set || !platform::TickBefore(now, c.next);
}

void CMsgPool::AdvanceClock(Direction d, uint32_t size, platform::Tick now) {
    uint32_t limit = d == Direction::kDownload ? m_downloadLimit.load() : m_uploadLimit.load();
    std::lock_guard lock(m_clockLock);
    Clock& c = m_clocks[static_cast<int>(d)];
    c.size = size;
    c.interval = limit ? size / limit : 0;
    platform::Tick base = now;
    // Late by up to an interval or the catch-up window: advanced from when it was due.
    const uint32_t catchUp = std::max(c.interval, core::kPaceCatchUpMs);
    if (c.set && (platform::TickBefore(now, c.next) || platform::TickElapsed(now, c.next) <= catchUp)) {
        base = c.next;
    }
    c.next = base + c.interval;
    c.set = true;
}

uint32_t CMsgPool::ClockInterval(Direction d) const {
    std::lock_guard lock(m_clockLock);
    return m_clocks[static_cast<int>(d)].interval;
}

void CMsgPool::AddBytes(Direction d, int64_t bytes) {
    Counter& c = m_counters[static_cast<int>(d)];
    std::lock_guard lock(c.lock);
    c.total += bytes;
    c.window += bytes;
}

void CMsgPool::ReleaseBytes(Direction d, int64_t bytes) {
    Counter& c = m_counters[static_cast<int>(d)];
    std::lock_guard lock(c.lock);
    c.window -= bytes;
}

int64_t CMsgPool::Total(Direction d) const {
    const Counter& c = m_counters[static_cast<int>(d)];
    std::lock_guard lock(c.lock);
    return c.total;
}

int64_t CMsgPool::Window(Direction d) const {
    const Counter& c = m_counters[static_cast<int>(d)];
    std::lock_guard lock(c.lock);
    return c.window;
}

void CMsgPool::RecomputeSpeeds() {
    for (Counter& c : m_counters) {
        std::lock_guard lock(c.lock);
        c.speed = static_cast<double>(c.window) / 10.0;
    }
}

double CMsgPool::Speed(Direction d) const {
    return m_counters[static_cast<int>(d)].speed.load();
}

}  // namespace tessali::net
