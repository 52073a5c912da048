// CTaskPace: one task's own transfer caps (bytes per second, 0 = none) and the two clocks that
// hold its outgoing block requests (download) and the blocks it serves (upload) to them. The
// peer layer's pacing pass asks whether a message of the task may go now and advances the clock
// after each one; the clock keeps the sub-millisecond remainder, so the cap holds on average
// whatever the message size. Safe from any thread (one lock).
#pragma once

#include <cstdint>
#include <mutex>

#include "engine/platform/tick.h"

namespace tessali::core {

enum class PaceDirection : uint8_t { kDownload = 0, kUpload = 1 };

// How late a message may go and still advance its clock from the time it was due rather than
// from now: a sender woken a little late (a loaded machine) or briefly without anything to send
// makes up for it, so the cap is reached on average; a longer pause is not made up.
constexpr uint32_t kPaceCatchUpMs = 50;

class CTaskPace {
public:
    // A new cap restarts that direction's clock; the same cap again changes nothing.
    void SetLimit(PaceDirection d, uint32_t bytesPerSecond);
    uint32_t Limit(PaceDirection d) const;
    bool HasLimit() const;

    // True while the direction's next-send time lies after `now` (never without a cap).
    bool IsPaced(PaceDirection d, platform::Tick now) const;
    // A message of `bytes` went at `now`: the next one may go bytes / cap later. The clock
    // advances from its previous next-send time when that is at most one interval or
    // kPaceCatchUpMs past, so a pass that runs a little late loses nothing; from `now` otherwise.
    void Advance(PaceDirection d, uint32_t bytes, platform::Tick now);

    // Re-applies the caps: both clocks start over (a message may go at once). True when a cap
    // is set.
    bool Reset();

private:
    struct Clock {
        uint32_t bytesPerSecond = 0;
        platform::Tick next = 0;
        uint32_t carryUs = 0;  // the part of the interval below one millisecond
        bool set = false;
    };

    mutable std::mutex m_lock;
    Clock m_clocks[2];
};

}  // namespace tessali::core
