#include "engine/net/message_record.h"

namespace tessali::net {

void CDataPool::Push(MessageRecord record) {
    std::lock_guard lock(m_lock);
    m_records.push_back(std::move(record));
}

bool CDataPool::Take(MessageRecord& out) {
    std::lock_guard lock(m_lock);
    if (m_records.empty()) {
        return false;
    }
    out = std::move(m_records.front());
    m_records.pop_front();
    return true;
}

size_t CDataPool::Size() const {
    std::lock_guard lock(m_lock);
    return m_records.size();
}

void CDataPool::Clear() {
    std::lock_guard lock(m_lock);
    m_records.clear();
}

}  // namespace tessali::net
