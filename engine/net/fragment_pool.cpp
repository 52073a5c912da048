#include "engine/net/fragment_pool.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

namespace tessali::net {

bool CFragmentPool::Post(SocketEvent ev, std::span<const uint8_t> data) {
    Item item{ev, nullptr, data.size()};
    if (!data.empty()) {
        item.data.reset(new (std::nothrow) uint8_t[data.size()]);
        if (!item.data) {
            return false;
        }
        std::memcpy(item.data.get(), data.data(), data.size());
    }
    item.ev.length = static_cast<uint32_t>(data.size());
    return Queue(std::move(item));
}

bool CFragmentPool::PostBuffer(SocketEvent ev, std::unique_ptr<uint8_t[]> buffer, size_t length) {
    Item item{ev, std::move(buffer), kBufferBytes};
    item.ev.length = static_cast<uint32_t>(std::min(length, kBufferBytes));
    return Queue(std::move(item));
}

bool CFragmentPool::Queue(Item item) {
    size_t length = item.ev.length;
    std::lock_guard lock(m_lock);
    const bool wasEmpty = m_items.empty();
    try {
        m_items.push_back(std::move(item));
    } catch (const std::bad_alloc&) {
        return false;
    }
    m_bytes += length;
    // The signal is only drained by a take that finds the queue empty, so it is still set for
    // any queue that was not empty: one wake-up per batch rather than one write per event.
    if (wasEmpty) {
        m_wake.Signal();
    }
    return true;
}

std::unique_ptr<uint8_t[]> CFragmentPool::NewBuffer() {
    {
        std::lock_guard lock(m_lock);
        if (!m_spare.empty()) {
            std::unique_ptr<uint8_t[]> b = std::move(m_spare.back());
            m_spare.pop_back();
            return b;
        }
    }
    return std::unique_ptr<uint8_t[]>(new (std::nothrow) uint8_t[kBufferBytes]);
}

void CFragmentPool::Recycle(std::unique_ptr<uint8_t[]> buffer) {
    if (!buffer) {
        return;
    }
    std::lock_guard lock(m_lock);
    if (m_spare.size() < kMaxSpareBuffers) {
        try {
            m_spare.push_back(std::move(buffer));
        } catch (const std::bad_alloc&) {
        }
    }
}

TakeResult CFragmentPool::Take(SocketEvent& out, std::span<uint8_t> buffer) {
    std::lock_guard lock(m_lock);
    if (m_items.empty()) {
        // Cleared under the lock so that a Post racing with us always leaves the signal set.
        m_wake.Drain();
        return TakeResult::kEmpty;
    }
    Item& front = m_items.front();
    out = front.ev;
    if (buffer.size() < front.ev.length) {
        return TakeResult::kTooSmall;
    }
    if (front.ev.length) {
        std::memcpy(buffer.data(), front.data.get(), front.ev.length);
    }
    m_bytes -= front.ev.length;
    m_items.pop_front();
    return TakeResult::kTaken;
}

TakeResult CFragmentPool::TakeOwned(SocketEvent& out, std::unique_ptr<uint8_t[]>& data, size_t& capacity) {
    std::lock_guard lock(m_lock);
    if (m_items.empty()) {
        m_wake.Drain();
        return TakeResult::kEmpty;
    }
    Item& front = m_items.front();
    out = front.ev;
    data = std::move(front.data);
    capacity = front.capacity;
    m_bytes -= front.ev.length;
    m_items.pop_front();
    return TakeResult::kTaken;
}

size_t CFragmentPool::Size() const {
    std::lock_guard lock(m_lock);
    return m_items.size();
}

void CFragmentPool::Clear() {
    std::lock_guard lock(m_lock);
    m_items.clear();
    m_spare.clear();
    m_bytes = 0;
    m_wake.Drain();
}

namespace {

bool PollReadable(pollfd* fds, nfds_t n, int timeoutMs) {
    int r;
    do {
        r = poll(fds, n, timeoutMs);
    } while (r < 0 && errno == EINTR);
    return r > 0;
}

}  // namespace

bool CFragmentPool::Wait(int timeoutMs) const {
    pollfd p{m_wake.Fd(), POLLIN, 0};
    return PollReadable(&p, 1, timeoutMs);
}

bool CFragmentPool::WaitAny(const CFragmentPool& a, const CFragmentPool& b, int timeoutMs) {
    pollfd p[2] = {{a.m_wake.Fd(), POLLIN, 0}, {b.m_wake.Fd(), POLLIN, 0}};
    return PollReadable(p, 2, timeoutMs);
}

}  // namespace tessali::net
