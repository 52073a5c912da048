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
    // Instead of `bytes`: a piece message left in the receive buffer it arrived in, valid only
    // until the drain that handles it returns (see CDispatchMgr::ProcessQueues).
    std::span<const uint8_t> view;

    std::span<const uint8_t> Bytes() const {
        return view.data() != nullptr ? view : std::span<const uint8_t>(bytes);
    }
    uint32_t Length() const { return static_cast<uint32_t>(Bytes().size()); }
    // The message id, or 0xFF for a record too short to have one.
    uint8_t Id() const { return Length() > 4 ? Bytes()[4] : 0xFF; }
};

class CDataPool {
public:
    void Push(MessageRecord record);
    // Takes the oldest record into `out`; the bytes `out` held before are kept for SpareBytes.
    bool Take(MessageRecord& out);
    // An empty byte vector for a new record, with the capacity of one taken before when there is
    // one: a block-sized allocation per message would otherwise be made and freed every time.
    std::vector<uint8_t> SpareBytes();
    size_t Size() const;
    // Message bytes the queued records hold.
    size_t Bytes() const;
    void Clear();

private:
    // Spare buffers are kept up to this many bytes in all, each no larger than a big block.
    static constexpr size_t kMaxSpareBytes = 4 * 1024 * 1024;
    static constexpr size_t kMaxSpareCapacity = 65536 + 64;

    mutable std::mutex m_lock;
    std::deque<MessageRecord> m_records;
    std::vector<std::vector<uint8_t>> m_spare;
    size_t m_spareBytes = 0;
    size_t m_bytes = 0;
};

}  // namespace tessali::net
