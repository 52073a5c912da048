// CRudpRttEstimator: smoothed round trip and retransmission time-out of one reliable-UDP
// connection, in the manner of RFC 6298 (SRTT/RTTVAR with gains 1/8 and 1/4). The time-out also
// covers the peer's delayed acknowledge, since a sample taken from an immediate acknowledge
// says nothing about it. Not thread-safe: the owning window's lock guards it.
#pragma once

#include <cstdint>

namespace tessali::net {

constexpr uint32_t kRudpInitialRtoMs = 1000;
constexpr uint32_t kRudpMinRtoMs = 200;
constexpr uint32_t kRudpMaxRtoMs = 30000;
// The polling thread's period bounds how finely time-outs can be told apart.
constexpr uint32_t kRudpTimerGranularityMs = 5;
// What a peer may hold an acknowledge back for.
constexpr uint32_t kRudpPeerAckDelayMs = 30;

class CRudpRttEstimator {
public:
    void AddSample(uint32_t rttMs);
    bool HasSample() const { return m_samples > 0; }
    // Smoothed round trip; 0 before the first sample.
    uint32_t Srtt() const { return m_srtt8 / 8; }
    uint32_t RttVar() const { return m_rttvar4 / 4; }
    // Time-out for a first transmission: SRTT + max(G, 4 RTTVAR) + the peer's acknowledge delay,
    // kept within [kRudpMinRtoMs, kRudpMaxRtoMs]; kRudpInitialRtoMs before any sample.
    uint32_t Rto() const;
    // Time-out for a packet already sent `transmissions` times: doubled per retransmission.
    uint32_t BackedOffRto(uint32_t transmissions) const;

private:
    uint32_t m_srtt8 = 0;    // SRTT x 8
    uint32_t m_rttvar4 = 0;  // RTTVAR x 4
    uint32_t m_samples = 0;
};

}  // namespace tessali::net
