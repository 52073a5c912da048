// CFragmentPool: a FIFO of socket events with a wake descriptor that stays readable while events
// may be queued (a manual-reset signal a poll() loop can wait on). Two process-wide instances:
// queue 1 for ordinary sockets, queue 2 for reliable-UDP connections. Large receives travel in
// receive buffers handed over whole (no copy) and recycled by the taker. Safe from any thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "engine/net/socket_event.h"
#include "engine/platform/event.h"

namespace tessali::net {

enum class TakeResult {
    kTaken,     // event copied out, data in the caller's buffer
    kEmpty,     // nothing queued
    kTooSmall,  // the buffer is shorter than the event's data; out.length says how long it must be
};

class CFragmentPool {
public:
    // The size of a receive buffer (NewBuffer, PostBuffer, Recycle).
    static constexpr size_t kBufferBytes = 66560;

    CFragmentPool() = default;
    CFragmentPool(const CFragmentPool&) = delete;
    CFragmentPool& operator=(const CFragmentPool&) = delete;

    // Queues a copy of the event and of `data` (ev.length is set from it). False when the copy
    // could not be allocated; nothing is queued then.
    bool Post(SocketEvent ev, std::span<const uint8_t> data = {});
    // A receive buffer of kBufferBytes: a recycled one, else a new one (null when out of memory).
    std::unique_ptr<uint8_t[]> NewBuffer();
    // Queues the event with the first `length` bytes of `buffer` as its data, taking the buffer
    // over instead of copying it. False (buffer freed, nothing queued) when out of memory.
    bool PostBuffer(SocketEvent ev, std::unique_ptr<uint8_t[]> buffer, size_t length);
    // Hands a receive buffer back for reuse (one from NewBuffer or TakeOwned's kBufferBytes).
    void Recycle(std::unique_ptr<uint8_t[]> buffer);

    // Takes the oldest event. The event stays queued when its data does not fit `buffer`.
    TakeResult Take(SocketEvent& out, std::span<uint8_t> buffer);
    // Takes the oldest event with its data (out.length bytes; null when none); `capacity` is the
    // data's allocation size, kBufferBytes when it may be recycled.
    TakeResult TakeOwned(SocketEvent& out, std::unique_ptr<uint8_t[]>& data, size_t& capacity);
    size_t Size() const;
    // Bytes of data the queued events carry.
    size_t QueuedBytes() const { return m_bytes.load(); }
    // Frees every queued event.
    void Clear();

    // Readable while events may be queued; drained only when a Take finds the queue empty.
    int WaitFd() const { return m_wake.Fd(); }
    // Waits up to timeoutMs for the queue to be signalled; true when it is.
    bool Wait(int timeoutMs) const;
    // Waits on two queues at once; true when either is signalled.
    static bool WaitAny(const CFragmentPool& a, const CFragmentPool& b, int timeoutMs);

private:
    struct Item {
        SocketEvent ev;
        std::unique_ptr<uint8_t[]> data;
        size_t capacity = 0;
    };
    bool Queue(Item item);
    // Buffers kept for reuse: a fresh allocation per receive would fault its pages in every time.
    // As many as the received data the socket layer lets queue up (4 MiB) can fill.
    static constexpr size_t kMaxSpareBuffers = 64;

    mutable std::mutex m_lock;
    std::deque<Item> m_items;
    std::vector<std::unique_ptr<uint8_t[]>> m_spare;
    std::atomic<size_t> m_bytes{0};
    platform::WakeFd m_wake;
};

}  // namespace tessali::net
