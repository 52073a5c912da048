// CSliderWnd: the send side of one reliable-UDP connection. Keeps every packet until it is
// acknowledged; sends new packets while the congestion controller's window and the receiver's
// reorder bound allow, paced at the controller's rate; retransmits any packet whose time-out
// (from the measured round trip) has passed, and at once the packet a stuck acknowledgement
// names (fast retransmit) or one a later retransmission overtook. A packet the socket refused
// stays queued and is tried again. Its own lock guards it; the owner calls it with its
// connection lock held.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <span>
#include <vector>

#include "engine/net/rudp_congestion.h"
#include "engine/net/rudp_rtt.h"
#include "engine/platform/tick.h"

namespace tessali::net {

constexpr uint32_t kRudpConnectRetryMs = 2500;
// The connect packet goes out this many times before the connection fails.
constexpr uint16_t kRudpConnectTransmissions = 6;
// Acknowledges repeating the same offset while later data is out: this many mean a loss.
constexpr uint32_t kRudpDupAckThreshold = 3;
// Tokens for paced sends never pile up beyond this much time at the pacing rate.
constexpr uint32_t kRudpPacingBurstMs = 2;

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
    uint64_t txOrder = 0;  // order of the latest transmission among all of the window's
    bool lost = false;   // waiting for a retransmission
    bool appLimited = false;
    uint64_t deliveredAtSend = 0;
    platform::Tick deliveredTimeAtSend = 0;
    platform::Tick firstSentAtSend = 0;  // when the newest delivered packet then had been sent
};

class CSliderWnd {
public:
    // Sends one datagram; false when the socket would block (the packet is tried again later).
    using Transmit = std::function<bool(std::span<const uint8_t>)>;
    explicit CSliderWnd(Transmit transmit) : m_transmit(std::move(transmit)) {}

    void Queue(std::vector<uint8_t> bytes, uint32_t seq, platform::Tick now);
    // Drops every packet before `ack` and sends what the window now allows.
    void OnAck(uint32_t ack, platform::Tick now);
    // Time-outs and paced sends; false when the connect packet has given up.
    bool OnTick(platform::Tick now);
    void Clear();

    // Packets sent and not yet acknowledged.
    size_t InFlight() const;
    size_t Packets() const;
    size_t PayloadBytes() const;
    // Payload bytes queued that have not been sent once yet.
    size_t UnsentBytes() const;
    // Bytes from the oldest unacknowledged offset to the end of the newest packet sent.
    size_t OutstandingSpan() const;
    // Transmissions of the oldest packet (0 when empty).
    uint16_t HeadCount() const;
    uint32_t Rto() const;
    uint32_t Srtt() const;
    uint64_t WindowBytes() const;
    // The congestion controller's estimate of the path's bottleneck rate, bytes per millisecond.
    double BottleneckRate() const;
    // True while packets wait only for the pacer, so the owner should come back soon.
    bool PacingPending() const;
    uint64_t Retransmissions() const;

private:
    bool IsConnect(const RudpOutPacket& p) const;
    bool SendPacketLocked(RudpOutPacket& p, platform::Tick now);
    void SendMoreLocked(platform::Tick now);
    bool TakeTokens(size_t bytes, platform::Tick now);
    void MarkLost(RudpOutPacket& p, bool timedOut = false);
    // A rate sample from a repeated acknowledge (one more packet beyond the head arrived).
    void SampleDupAckLocked(platform::Tick now);
    uint64_t InFlightBytesLocked() const;
    // How long after its latest transmission a packet should have been acknowledged.
    uint32_t StaleAfterMs() const;

    Transmit m_transmit;
    mutable std::mutex m_lock;
    std::deque<RudpOutPacket> m_fifo;
    size_t m_sent = 0;         // the front packets sent at least once
    uint64_t m_sentBytes = 0;  // their bytes
    size_t m_payloadBytes = 0;
    size_t m_lostPending = 0;  // packets marked lost and not yet sent again
    uint64_t m_dupCredit = 0;  // bytes the repeated acknowledges say arrived beyond the head
    size_t m_dupPackets = 0;   // packets they say arrived beyond the head
    uint32_t m_dupAcks = 0;
    bool m_inRecovery = false;   // holes found by loss are being repaired...
    uint32_t m_recoveryEnd = 0;  // ...until the acknowledgement reaches this offset
    uint64_t m_delivered = 0;
    platform::Tick m_deliveredTime = 0;
    platform::Tick m_firstSentTime = 0;
    uint64_t m_appLimitedUntil = 0;  // samples up to this many delivered bytes are app-limited
    platform::Tick m_nextTimerDue = 0;
    bool m_timerArmed = false;
    double m_tokens = 0;
    platform::Tick m_lastRefill = 0;
    bool m_refilled = false;
    bool m_pacingPending = false;
    uint64_t m_retransmissions = 0;
    uint64_t m_txCounter = 0;
    CRudpRttEstimator m_rtt;
    CRudpCongestion m_cc;
};

}  // namespace tessali::net
