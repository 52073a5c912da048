// CRudpCongestion: the congestion controller of one reliable-UDP connection, modelled on BBR
// (version 1): it estimates the path's bottleneck rate (the highest delivery rate seen over the
// last ten round trips) and its round trip (the lowest over ten seconds), paces sends at a gain
// times that rate and keeps about two bandwidth-delay products in flight. BBR rather than a
// loss-driven design (Reno, CUBIC) because the paths it serves lose packets at random (home
// radio links, NAT boxes): a controller that halves on every loss falls to a few per cent of
// such a link, while one that follows measured delivery keeps the link full and still backs off
// when a queue builds (the delivery rate stops growing). Not thread-safe: the window's lock
// guards it.
#pragma once

#include <array>
#include <cstdint>

#include "engine/platform/tick.h"

namespace tessali::net {

// What one acknowledge that delivered data tells the controller.
struct RudpRateSample {
    uint64_t delivered = 0;       // bytes delivered so far, this acknowledge included
    uint64_t priorDelivered = 0;  // bytes delivered when the newest acknowledged packet was sent
    uint32_t intervalMs = 0;      // time over which the difference was delivered
    uint32_t rttMs = 0;           // round trip of that packet; 0 when unknown (retransmitted)
    bool appLimited = false;      // the sender had nothing to send when that packet left
    uint64_t inFlight = 0;        // bytes in flight after this acknowledge
    bool inRecovery = false;      // holes found by loss were still being repaired
    bool rateUnknown = false;     // the packet was retransmitted: no rate from this sample
};

class CRudpCongestion {
public:
    enum class Mode { kStartup, kDrain, kProbeBandwidth };

    // Window before the first delivery sample: enough to measure, not enough to flood.
    static constexpr uint32_t kInitialWindowBytes = 10 * 1037;
    static constexpr uint32_t kMinWindowBytes = 4 * 1037;

    void OnSample(const RudpRateSample& s, platform::Tick now);
    // A packet was found lost (not by time-out).
    void OnLoss(uint32_t bytes);
    // A packet's retransmission time-out passed.
    void OnTimeout(uint32_t bytes);

    // Bytes that may be in flight.
    uint64_t WindowBytes() const;
    // Bytes per millisecond to pace at; 0 means no estimate yet (send as the window allows).
    double PacingRate() const;
    // Estimated bottleneck rate in bytes per millisecond (0 before the first sample).
    double BottleneckRate() const;
    uint32_t MinRttMs() const { return m_minRtt; }
    Mode CurrentMode() const { return m_mode; }
    uint64_t Rounds() const { return m_round; }

private:
    double Bdp() const;
    struct Slot;
    bool Live(const Slot& s) const;
    void UpdateRound(const RudpRateSample& s);
    void UpdateBandwidth(const RudpRateSample& s);
    void UpdateMode(const RudpRateSample& s, platform::Tick now);

    static constexpr int kBandwidthRounds = 10;
    // Rounds spent repairing holes do not age the estimate (a cumulative acknowledgement lets
    // several holes cost a round each, and what they deliver says nothing of the path), but no
    // sample outlives this many rounds of any kind.
    static constexpr uint64_t kBandwidthMaxRounds = 40;
    struct Slot {
        uint64_t round = 0;     // clean rounds (outside recovery) when taken
        uint64_t anyRound = 0;  // all rounds when taken
        double rate = 0;
    };
    std::array<Slot, kBandwidthRounds> m_rates{};
    double m_lastRate = 0;  // the newest rate sample taken
    uint64_t m_round = 0;     // rounds outside loss recovery
    uint64_t m_anyRound = 0;  // all rounds
    uint64_t m_nextRoundDelivered = 0;
    uint64_t m_roundStartDelivered = 0;
    uint64_t m_roundLostBytes = 0;
    uint32_t m_roundLosses = 0;
    bool m_roundStart = false;
    bool m_roundLossSeen = false;
    bool m_roundRecovery = false;        // some sample of this round came during loss recovery
    bool m_lastRoundClean = false;       // the round just ended had no sample during recovery
    double m_shortPathCap = 256 * 1024;  // what a short path may have in flight

    uint32_t m_minRtt = 0;  // 0: none yet
    uint32_t m_avgRtt = 0;  // smoothed measured round trip, the peer's acknowledge delay included
    platform::Tick m_minRttStamp = 0;

    Mode m_mode = Mode::kStartup;
    double m_fullRate = 0;
    int m_roundsWithoutGrowth = 0;
    int m_cycleIndex = 0;
    platform::Tick m_cycleStart = 0;
};

}  // namespace tessali::net
