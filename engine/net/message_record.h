// The message record: one whole framed message (or synthetic message) of one connection, handed
// from the dispatchers to the peer thread through the data pool CDataPool, a FIFO under a lock.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <span>
#include <vector>

#include "engine/core/connection_key.h"

namespace tessali::net {

struct MessageRecord {
    core::ConnectionKey key;
    uint8_t transport = 1;  // 1 TCP, 2 plain UDP, 3 reliable UDP
    uint8_t valid = 1;
    std::vector<uint8_t> bytes;  // the whole message, length field included

    uint32_t Length() const { return static_cast<uint32_t>(bytes.size()); }
    // The message id, or 0xFF for a record too short to have one.
    uint8_t Id() const { return bytes.size() > 4 ? bytes[4] : 0xFF; }
};

class CDataPool {
public:
    void Push(MessageRecord record);
    bool Take(MessageRecord& out);
    size_t Size() const;
    // Message bytes the queued records hold.
    size_t Bytes() const;
    void Clear();

private:
    mutable std::mutex m_lock;
    std::deque<MessageRecord> m_records;
    size_t m_bytes = 0;
};

}  // namespace tessali::net
