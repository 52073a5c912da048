#include "engine/net/rudp_congestion.h"

#include <algorithm>

namespace tessali::net {

namespace {

constexpr double kHighGain = 2.885;  // 2 / ln 2: doubles the sending rate every round trip
constexpr double kWindowGain = 2.0;
constexpr double kCycleGains[8] = {1.25, 0.75, 1, 1, 1, 1, 1, 1};
constexpr uint32_t kMinRttLifetimeMs = 10000;
// The peer holds acknowledges back up to 30 ms; data sent meanwhile must still fit the window.
constexpr uint32_t kAckAggregationMs = 30;
// Losses in one start-up round that end it when they also exceed 2 % of what it delivered.
constexpr uint32_t kStartupLossEvents = 8;
// Paths this short are a LAN or loopback; what they may have in flight is bounded by what the
// receiver's socket buffer holds rather than by a bandwidth-delay product.
constexpr uint32_t kShortPathRttMs = 2;
constexpr double kShortPathWindowBytes = 256 * 1024;
constexpr double kShortPathMinCapBytes = 16 * 1024;

}  // namespace

double CRudpCongestion::BottleneckRate() const {
    double best = 0;
    for (const Slot& s : m_rates) {
        if (Live(s)) {
            best = std::max(best, s.rate);
        }
    }
    // Through a long repair every sample lands in one slot; when that slot ages out and the
    // next sample gives no rate, the newest measured rate stands in: no estimate at all would
    // drop the sender to its initial window and stop its pacing (a burst at the line's rate).
    return best > 0 ? best : m_lastRate;
}

bool CRudpCongestion::Live(const Slot& s) const {
    return s.round + kBandwidthRounds > m_round && s.anyRound + kBandwidthMaxRounds > m_anyRound;
}

double CRudpCongestion::Bdp() const {
    return BottleneckRate() * std::max<uint32_t>(m_minRtt, 1);
}

uint64_t CRudpCongestion::WindowBytes() const {
    double rate = BottleneckRate();
    if (rate <= 0 || m_minRtt == 0) {
        return kInitialWindowBytes;
    }
    // Start-up paces far above the estimate; its window alone bounds the queue it builds, so it
    // gets no allowance for held-back acknowledges: two estimated products in flight fill a
    // path whose queue holds one, and no more.
    double window = kWindowGain * Bdp();
    if (m_mode != Mode::kStartup) {
        window += rate * kAckAggregationMs;
    }
    const double gain = kWindowGain;
    if (m_minRtt <= kShortPathRttMs) {
        // A LAN or loopback: the peer's held-back acknowledges (and its polling) are nearly all
        // of the measured round trip. The window covers that stretch with the same gain, or a
        // sender limited by its window measures only what the window lets through and shrinks
        // it every round. No pacing here, so what is in flight arrives as one burst, and the
        // receiving socket must hold it until the peer drains it: that bounds the window.
        uint32_t held = m_avgRtt > m_minRtt ? m_avgRtt - m_minRtt : 0;
        held = std::clamp(held, kAckAggregationMs, 2 * kAckAggregationMs);
        window = std::max(window, gain * rate * (m_minRtt + held));
        window = std::min(window, m_shortPathCap);
    }
    return std::max<uint64_t>(static_cast<uint64_t>(window), kMinWindowBytes);
}

double CRudpCongestion::PacingRate() const {
    double rate = BottleneckRate();
    switch (m_mode) {
        case Mode::kStartup:
            return kHighGain * rate;
        case Mode::kDrain:
            return rate / kHighGain;
        case Mode::kProbeBandwidth:
            return kCycleGains[m_cycleIndex] * rate;
    }
    return rate;
}

void CRudpCongestion::OnSample(const RudpRateSample& s, platform::Tick now) {
    UpdateRound(s);
    UpdateBandwidth(s);
    if (s.rttMs > 0) {
        m_avgRtt = m_avgRtt == 0 ? s.rttMs : (7 * m_avgRtt + s.rttMs) / 8;
    }
    if (s.rttMs > 0 && (m_minRtt == 0 || s.rttMs <= m_minRtt ||
                        platform::TickElapsed(now, m_minRttStamp) > kMinRttLifetimeMs)) {
        m_minRtt = std::max<uint32_t>(s.rttMs, 1);
        m_minRttStamp = now;
    }
    UpdateMode(s, now);
}

void CRudpCongestion::OnLoss(uint32_t bytes) {
    m_roundLostBytes += bytes;
    ++m_roundLosses;
    m_roundLossSeen = true;
}

void CRudpCongestion::OnTimeout(uint32_t bytes) {
    // Counted with the other losses: a start-up that overflowed a queue often learns it only
    // from time-outs (a cumulative acknowledgement names one hole at a time).
    OnLoss(bytes);
}

void CRudpCongestion::UpdateRound(const RudpRateSample& s) {
    m_roundStart = false;
    m_roundRecovery |= s.inRecovery;
    // A round ends when a packet sent after it began is acknowledged and delivered something:
    // acknowledges that only repair holes the repeated acknowledges already counted deliver
    // nothing new, and must not end a round each (that would age the estimate in a moment).
    if (s.priorDelivered >= m_nextRoundDelivered && s.delivered > m_nextRoundDelivered) {
        if (m_mode == Mode::kStartup) {
            // Start-up overshooting the bottleneck's queue shows as a burst of losses well above
            // what a lossy path drops at random: the pipe is full, stop doubling.
            uint64_t roundDelivered = s.delivered - m_roundStartDelivered;
            bool lossBurst = m_roundLosses >= kStartupLossEvents && m_roundLostBytes * 50 > roundDelivered;
            if (lossBurst) {
                m_mode = Mode::kDrain;
            }
        }
        // On a short path every hole costs a round trip of its own (acknowledges are only
        // cumulative), so a full socket buffer of data in flight over a lossy LAN mostly waits:
        // the bound halves after a round with a loss and grows back by a quarter per clean one.
        if (m_roundLossSeen) {
            m_shortPathCap = std::max(m_shortPathCap / 2, kShortPathMinCapBytes);
        } else {
            m_shortPathCap = std::min(m_shortPathCap * 1.25, kShortPathWindowBytes);
        }
        m_lastRoundClean = !m_roundRecovery;
        if (m_lastRoundClean) {
            ++m_round;
        }
        ++m_anyRound;
        m_roundRecovery = s.inRecovery;
        m_roundLossSeen = false;
        m_roundStartDelivered = s.delivered;
        m_roundLostBytes = 0;
        m_roundLosses = 0;
        m_nextRoundDelivered = s.delivered;
        m_roundStart = true;
    }
}

void CRudpCongestion::UpdateBandwidth(const RudpRateSample& s) {
    if (s.rateUnknown || s.delivered <= s.priorDelivered) {
        return;
    }
    double rate = double(s.delivered - s.priorDelivered) / std::max<uint32_t>(s.intervalMs, 1);
    // A sender with nothing to send measures its own pace, not the path's: such a sample may only
    // raise the estimate.
    if (s.appLimited && rate < BottleneckRate()) {
        return;
    }
    Slot& slot = m_rates[m_round % kBandwidthRounds];
    if (slot.round != m_round || !Live(slot) || rate >= slot.rate) {
        slot = Slot{m_round, m_anyRound, rate};
    }
    m_lastRate = rate;
}

void CRudpCongestion::UpdateMode(const RudpRateSample& s, platform::Tick now) {
    if (m_mode == Mode::kStartup && m_roundStart && m_lastRoundClean && !s.appLimited) {
        // The pipe is full once three rounds in a row failed to raise the rate by a quarter.
        // Rounds spent repairing a hole do not count: the cumulative acknowledgement held their
        // delivery back (a queue that overflowed shows as a loss burst instead).
        double rate = BottleneckRate();
        if (rate >= m_fullRate * 1.25) {
            m_fullRate = rate;
            m_roundsWithoutGrowth = 0;
        } else if (++m_roundsWithoutGrowth >= 3) {
            m_mode = Mode::kDrain;
        }
    }
    if (m_mode == Mode::kDrain && s.inFlight <= static_cast<uint64_t>(Bdp())) {
        m_mode = Mode::kProbeBandwidth;
        m_cycleIndex = 2;
        m_cycleStart = now;
    }
    if (m_mode == Mode::kProbeBandwidth) {
        uint32_t phase = std::max<uint32_t>(m_minRtt, 1);
        bool elapsed = platform::TickElapsed(now, m_cycleStart) >= phase;
        // The draining phase may end early once the queue it built is gone.
        bool drained = m_cycleIndex == 1 && s.inFlight <= static_cast<uint64_t>(Bdp());
        if (elapsed || drained) {
            m_cycleIndex = (m_cycleIndex + 1) % 8;
            m_cycleStart = now;
        }
    }
}

}  // namespace tessali::net
