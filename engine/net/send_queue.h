// CSendQueue: the bytes one connection has queued for sending and the kernel has not taken yet,
// kept in fixed-size chunks so that queueing more never copies what is already queued and sending
// gathers straight from the chunks. Chunks come from CSendChunkPool, which maps them from the
// system and unmaps them when they are given back (keeping only a few for reuse), so the memory
// of a burst goes back to the system once it is sent or its connection is gone.
// CSendQueue is not locked (its owner's lock guards it); the pool is safe from any thread.
#pragma once

#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

namespace tessali::net {

constexpr size_t kSendChunkBytes = 64 * 1024;
// Free chunks kept mapped for the next burst; every other one is unmapped at once.
constexpr size_t kSendChunksCached = 16;

class CSendChunkPool {
public:
    static CSendChunkPool& Instance();
    CSendChunkPool() = default;
    ~CSendChunkPool();
    CSendChunkPool(const CSendChunkPool&) = delete;
    CSendChunkPool& operator=(const CSendChunkPool&) = delete;

    // A chunk of kSendChunkBytes, or nullptr when the system has no memory for it.
    uint8_t* Take();
    void Give(uint8_t* chunk);
    // Bytes of chunks mapped now (in queues and cached).
    size_t MappedBytes() const;

private:
    mutable std::mutex m_lock;
    std::vector<uint8_t*> m_free;
    size_t m_mapped = 0;
};

class CSendQueue {
public:
    explicit CSendQueue(CSendChunkPool& pool = CSendChunkPool::Instance()) : m_pool(pool) {}
    ~CSendQueue() { Clear(); }
    CSendQueue(const CSendQueue&) = delete;
    CSendQueue& operator=(const CSendQueue&) = delete;

    size_t Size() const { return m_size; }
    bool Empty() const { return m_size == 0; }
    // Bytes of chunk memory held.
    size_t ChunkBytes() const { return m_chunks.size() * kSendChunkBytes; }
    // Appends all of `data`, or nothing when a chunk could not be had.
    bool Append(const uint8_t* data, size_t len);
    // Fills up to `max` entries with the queue's first bytes, in order; returns how many.
    size_t Front(iovec* out, size_t max) const;
    // Drops the first n bytes (n at most Size()).
    void Consume(size_t n);
    void Clear();

private:
    CSendChunkPool& m_pool;
    std::deque<uint8_t*> m_chunks;
    size_t m_head = 0;  // offset of the first queued byte in the front chunk
    size_t m_size = 0;
};

}  // namespace tessali::net
