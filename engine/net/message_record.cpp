#include "engine/net/message_record.h"

#include <new>

namespace tessali::net {

void CDataPool::Push(MessageRecord record) {
    std::lock_guard lock(m_lock);
    m_bytes += record.Length();
    m_records.push_back(std::move(record));
}

bool CDataPool::Take(MessageRecord& out) {
    std::lock_guard lock(m_lock);
    if (m_records.empty()) {
        return false;
    }
    const size_t capacity = out.bytes.capacity();
    if (capacity != 0 && capacity <= kMaxSpareCapacity && m_spareBytes + capacity <= kMaxSpareBytes) {
        try {
            m_spare.push_back(std::move(out.bytes));
            m_spareBytes += capacity;
        } catch (const std::bad_alloc&) {
        }
    }
    out = std::move(m_records.front());
    m_records.pop_front();
    m_bytes -= out.Length();
    return true;
}

std::vector<uint8_t> CDataPool::SpareBytes() {
    std::lock_guard lock(m_lock);
    if (m_spare.empty()) {
        return {};
    }
    std::vector<uint8_t> bytes = std::move(m_spare.back());
    m_spare.pop_back();
    m_spareBytes -= bytes.capacity();
    bytes.clear();
    return bytes;
}

size_t CDataPool::Size() const {
    std::lock_guard lock(m_lock);
    return m_records.size();
}

size_t CDataPool::Bytes() const {
    std::lock_guard lock(m_lock);
    return m_bytes;
}

void CDataPool::Clear() {
    std::lock_guard lock(m_lock);
    m_records.clear();
    m_spare.clear();
    m_spareBytes = 0;
    m_bytes = 0;
}

}  // namespace tessali::net
