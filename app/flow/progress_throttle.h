// CProgressThrottle: decides which progress updates reach the launcher icon, so that a desktop
// bus is not flooded however often the workflow polls: the first value is sent at once, later ones
// when they differ by at least kMinStep and kMinIntervalMs have passed, and the end (clearing)
// is always sent once after anything was shown. One owner thread; the clock is the engine tick.
#pragma once

#include <optional>

#include "engine/platform/tick.h"

namespace tessali::app {

class CProgressThrottle {
public:
    static constexpr uint32_t kMinIntervalMs = 750;
    static constexpr double kMinStep = 0.001;

    // The value to send now (clamped to 0 … 1), or nothing.
    std::optional<double> Update(double fraction, platform::Tick now);
    // True when the clearing must be sent (something is shown).
    bool Clear();
    bool Shown() const { return m_shown; }

private:
    bool m_shown = false;
    double m_last = 0;
    platform::Tick m_sentAt = 0;
};

}  // namespace tessali::app
