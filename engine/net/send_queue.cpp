#include "engine/net/send_queue.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstring>

namespace tessali::net {

CSendChunkPool& CSendChunkPool::Instance() {
    static CSendChunkPool pool;
    return pool;
}

CSendChunkPool::~CSendChunkPool() {
    for (uint8_t* c : m_free) {
        ::munmap(c, kSendChunkBytes);
    }
}

uint8_t* CSendChunkPool::Take() {
    {
        std::lock_guard lock(m_lock);
        if (!m_free.empty()) {
            uint8_t* c = m_free.back();
            m_free.pop_back();
            return c;
        }
    }
    // Mapped, not allocated: the heap keeps what it is given back, the system does not.
    void* p = ::mmap(nullptr, kSendChunkBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) {
        return nullptr;
    }
    std::lock_guard lock(m_lock);
    m_mapped += kSendChunkBytes;
    return static_cast<uint8_t*>(p);
}

void CSendChunkPool::Give(uint8_t* chunk) {
    {
        std::lock_guard lock(m_lock);
        if (m_free.size() < kSendChunksCached) {
            m_free.push_back(chunk);
            return;
        }
        m_mapped -= kSendChunkBytes;
    }
    ::munmap(chunk, kSendChunkBytes);
}

size_t CSendChunkPool::MappedBytes() const {
    std::lock_guard lock(m_lock);
    return m_mapped;
}

bool CSendQueue::Append(const uint8_t* data, size_t len) {
    size_t tailUsed = (m_head + m_size) - (m_chunks.empty() ? 0 : (m_chunks.size() - 1) * kSendChunkBytes);
    size_t tailRoom = m_chunks.empty() ? 0 : kSendChunkBytes - tailUsed;
    // Every chunk needed first, so that a failure leaves the queue as it was.
    std::vector<uint8_t*> fresh;
    if (len > tailRoom) {
        size_t need = (len - tailRoom + kSendChunkBytes - 1) / kSendChunkBytes;
        fresh.reserve(need);
        for (size_t i = 0; i < need; ++i) {
            uint8_t* c = m_pool.Take();
            if (!c) {
                for (uint8_t* f : fresh) {
                    m_pool.Give(f);
                }
                return false;
            }
            fresh.push_back(c);
        }
    }
    size_t n = std::min(len, tailRoom);
    if (n) {
        std::memcpy(m_chunks.back() + tailUsed, data, n);
    }
    for (uint8_t* c : fresh) {
        size_t k = std::min(kSendChunkBytes, len - n);
        std::memcpy(c, data + n, k);
        m_chunks.push_back(c);
        n += k;
    }
    m_size += len;
    return true;
}

size_t CSendQueue::Front(iovec* out, size_t max) const {
    size_t count = 0;
    size_t left = m_size;
    size_t offset = m_head;
    for (size_t i = 0; i < m_chunks.size() && count < max && left > 0; ++i) {
        size_t k = std::min(kSendChunkBytes - offset, left);
        out[count++] = iovec{m_chunks[i] + offset, k};
        left -= k;
        offset = 0;
    }
    return count;
}

void CSendQueue::Consume(size_t n) {
    n = std::min(n, m_size);
    m_size -= n;
    m_head += n;
    while (!m_chunks.empty() && (m_head >= kSendChunkBytes || m_size == 0)) {
        if (m_size == 0) {
            // Emptied: every chunk goes back, and the next byte starts a fresh one.
            Clear();
            return;
        }
        m_pool.Give(m_chunks.front());
        m_chunks.pop_front();
        m_head -= kSendChunkBytes;
    }
}

void CSendQueue::Clear() {
    for (uint8_t* c : m_chunks) {
        m_pool.Give(c);
    }
    m_chunks.clear();
    m_head = 0;
    m_size = 0;
}

}  // namespace tessali::net
