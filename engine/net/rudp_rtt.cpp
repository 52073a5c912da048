#include "engine/net/rudp_rtt.h"

#include <algorithm>

namespace tessali::net {

void CRudpRttEstimator::AddSample(uint32_t rttMs) {
    rttMs = std::min(rttMs, kRudpMaxRtoMs);
    if (m_samples++ == 0) {
        m_srtt8 = rttMs * 8;
        m_rttvar4 = rttMs * 2;  // RTTVAR = R / 2
        return;
    }
    // RTTVAR = 3/4 RTTVAR + 1/4 |SRTT - R|; SRTT = 7/8 SRTT + 1/8 R (in scaled integers).
    int32_t err = static_cast<int32_t>(rttMs) - static_cast<int32_t>(m_srtt8 / 8);
    uint32_t absErr = static_cast<uint32_t>(err < 0 ? -err : err);
    m_rttvar4 = m_rttvar4 - m_rttvar4 / 4 + absErr;
    m_srtt8 = m_srtt8 - m_srtt8 / 8 + rttMs;
}

uint32_t CRudpRttEstimator::Rto() const {
    if (m_samples == 0) {
        return kRudpInitialRtoMs;
    }
    uint32_t rto = Srtt() + std::max(kRudpTimerGranularityMs, m_rttvar4) + kRudpPeerAckDelayMs;
    return std::clamp(rto, kRudpMinRtoMs, kRudpMaxRtoMs);
}

uint32_t CRudpRttEstimator::BackedOffRto(uint32_t transmissions) const {
    uint32_t shift = std::min<uint32_t>(transmissions > 1 ? transmissions - 1 : 0, 8);
    return static_cast<uint32_t>(std::min<uint64_t>(uint64_t(Rto()) << shift, kRudpMaxRtoMs));
}

}  // namespace tessali::net
