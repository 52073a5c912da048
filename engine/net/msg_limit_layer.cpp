#include "engine/net/msg_limit_layer.h"

namespace tessali::net {

bool AdmitUpload(uint32_t u, size_t q) {
    return (u > 25 && q < 6) || (u >= 11 && u <= 25 && q < 4) || (u >= 1 && u <= 10 && q < 2);
}

bool CMsgLimitLayer::QueueDownload(const QueuedMsg& msg) {
    std::lock_guard lock(m_downLock);
    m_down.push_back(msg);
    return true;
}

bool CMsgLimitLayer::QueueUpload(const QueuedMsg& msg, uint32_t uploadLimitKiB) {
    std::lock_guard lock(m_upLock);
    if (msg.highPriority && !AdmitUpload(uploadLimitKiB, m_up.size())) {
        return false;
    }
    m_up.push_back(msg);
    return true;
}

bool CMsgLimitLayer::TakeDownload(QueuedMsg& out, const std::set<core::TaskHash>& held) {
    std::lock_guard lock(m_downLock);
    for (auto it = m_down.begin(); it != m_down.end(); ++it) {
        if (!held.contains(it->hash)) {
            out = *it;
            m_down.erase(it);
            return true;
        }
    }
    return false;
}

bool CMsgLimitLayer::TakeUpload(QueuedMsg& out, platform::Tick now, const std::set<core::TaskHash>& held) {
    std::lock_guard lock(m_upLock);
    for (auto it = m_up.begin(); it != m_up.end(); ++it) {
        bool expired = !platform::TickBefore(now, it->queued) &&
                       platform::TickElapsed(now, it->queued) > kUploadQueueMaxAgeMs;
        if (expired || !held.contains(it->hash)) {
            out = *it;
            m_up.erase(it);
            return true;
        }
    }
    return false;
}

std::set<core::TaskHash> CMsgLimitLayer::DownloadTasks() const {
    std::lock_guard lock(m_downLock);
    std::set<core::TaskHash> tasks;
    for (const QueuedMsg& m : m_down) {
        tasks.insert(m.hash);
    }
    return tasks;
}

std::set<core::TaskHash> CMsgLimitLayer::UploadTasks() const {
    std::lock_guard lock(m_upLock);
    std::set<core::TaskHash> tasks;
    for (const QueuedMsg& m : m_up) {
        tasks.insert(m.hash);
    }
    return tasks;
}

void CMsgLimitLayer::ReturnDownload(const QueuedMsg& msg) {
    std::lock_guard lock(m_downLock);
    m_down.push_front(msg);
}

void CMsgLimitLayer::ReturnUpload(const QueuedMsg& msg) {
    std::lock_guard lock(m_upLock);
    m_up.push_front(msg);
}

size_t CMsgLimitLayer::DownloadCount() const {
    std::lock_guard lock(m_downLock);
    return m_down.size();
}

size_t CMsgLimitLayer::UploadCount() const {
    std::lock_guard lock(m_upLock);
    return m_up.size();
}

void CMsgLimitLayer::Clear() {
    {
        std::lock_guard lock(m_downLock);
        m_down.clear();
    }
    std::lock_guard lock(m_upLock);
    m_up.clear();
}

}  // namespace tessali::net
