// CSliderWnd: the send window of one reliable-UDP connection. Keeps every packet until it is
// acknowledged, sends while fewer than the congestion window are in flight, grows the window on
// each acknowledge (doubling below the threshold, then by one) and retransmits the oldest packet
// on time-out. Its own lock guards it; the owner calls it with its connection lock held.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <span>
#include <vector>

#include "engine/platform/tick.h"

namespace tessali::net {

constexpr uint32_t kRudpInitialWindow = 1;
constexpr uint32_t kRudpInitialThreshold = 64;
constexpr uint32_t kRudpConnectRetryMs = 2500;
constexpr uint32_t kRudpDataRetryStepMs = 800;
// The connect packet goes out this many times before the connection fails.
constexpr uint16_t kRudpConnectTransmissions = 6;

// Milliseconds from `then` to `now`; 0 when `then` is later (stamped by another thread after
// `now` was read), which must never look like a wrap-around's 49 days.
constexpr uint32_t ElapsedSince(platform::Tick now, platform::Tick then) {
    return platform::TickBefore(now, then) ? 0 : platform::TickElapsed(now, then);
}

struct RudpOutPacket {
    std::vector<uint8_t> bytes;
    uint32_t seq = 0;
    platform::Tick lastSent = 0;
    uint16_t count = 0;  // transmissions so far
};

class CSliderWnd {
public:
    using Transmit = std::function<void(std::span<const uint8_t>)>;
    explicit CSliderWnd(Transmit transmit) : m_transmit(std::move(transmit)) {}

    void Queue(std::vector<uint8_t> bytes, uint32_t seq, platform::Tick now);
    // Drops every packet before `ack`, grows the window, and sends what the window now allows.
    void OnAck(uint32_t ack, platform::Tick now);
    // Retransmission check of the oldest packet; false when the connect packet has given up.
    bool OnTick(platform::Tick now);
    void Clear();

    uint32_t Window() const;
    uint32_t Threshold() const;
    size_t InFlight() const;
    size_t Packets() const;
    size_t PayloadBytes() const;
    // Transmissions of the oldest packet (0 when empty).
    uint16_t HeadCount() const;

private:
    void SendMoreLocked(platform::Tick now);

    Transmit m_transmit;
    mutable std::mutex m_lock;
    std::deque<RudpOutPacket> m_fifo;
    size_t m_inFlight = 0;  // the sent packets, always the front of m_fifo
    uint32_t m_window = kRudpInitialWindow;
    uint32_t m_threshold = kRudpInitialThreshold;
    size_t m_payloadBytes = 0;
};

}  // namespace tessali::net
