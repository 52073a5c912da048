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

bool CMsgLimitLayer::TakeDownload(QueuedMsg& out) {
    std::lock_guard lock(m_downLock);
    if (m_down.empty()) {
        return false;
    }
    out = m_down.front();
    m_down.pop_front();
    return true;
}

bool CMsgLimitLayer::TakeUpload(QueuedMsg& out) {
    std::lock_guard lock(m_upLock);
    if (m_up.empty()) {
        return false;
    }
    out = m_up.front();
    m_up.pop_front();
    return true;
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
