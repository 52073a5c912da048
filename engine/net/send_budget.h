// CSendBudget: the engine-wide account of bytes queued on its connections for sending that the
// kernel has not taken yet. Each connection's own cap keeps one peer from holding much; this keeps
// many peers together (say a hundred downloaders that request and never read) from holding the
// engine's memory: a connection that already holds data may queue a large message only while it
// stays within its share (the bound divided among the connections holding data) and the total
// stays within the bound. Small control messages may pass the share; the connection counts them
// and gives up once they come to more than a little slack. Atomic; safe from any thread.
#pragma once

#include <atomic>
#include <cstddef>

namespace tessali::net {

constexpr size_t kMaxQueuedSendBytes = 32 * 1024 * 1024;
// No busy connection's share is cut below this (four largest blocks).
constexpr size_t kMinSendShare = 256 * 1024;
// Messages up to this size (requests, refusals, haves, chokes) are control messages.
constexpr size_t kControlMessageBytes = 1024;
// How many bytes of control messages a connection may queue while past its share before it is
// given up (about seven hundred refusals).
constexpr size_t kControlSlackBytes = 16 * 1024;

class CSendBudget {
public:
    explicit CSendBudget(size_t bound = kMaxQueuedSendBytes) : m_bound(bound) {}

    enum class Verdict {
        kQueue,
        kRefuse,        // a large message past the share or the bound: queue nothing, not now
        kPastTheShare,  // a control message past the share: queued, and counted by the connection
    };
    // May a connection that holds `held` bytes queue a message of `len` bytes?
    Verdict Admit(size_t held, size_t len) const;

    // A connection's queue changed from `before` to `after` bytes.
    void Changed(size_t before, size_t after);

    size_t Total() const { return m_total.load(); }
    size_t BusyConnections() const { return m_busy.load(); }
    size_t Share() const;
    size_t Bound() const { return m_bound; }

private:
    const size_t m_bound;
    std::atomic<size_t> m_total{0};
    std::atomic<size_t> m_busy{0};
};

}  // namespace tessali::net
