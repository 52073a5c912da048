#include "app/flow/progress_throttle.h"

#include <algorithm>
#include <cmath>

namespace tessali::app {

std::optional<double> CProgressThrottle::Update(double fraction, platform::Tick now) {
    const double value = std::isnan(fraction) ? 0.0 : std::clamp(fraction, 0.0, 1.0);
    if (m_shown) {
        if (std::fabs(value - m_last) < kMinStep || platform::TickElapsed(now, m_sentAt) < kMinIntervalMs)
            return std::nullopt;
    }
    m_shown = true;
    m_last = value;
    m_sentAt = now;
    return value;
}

bool CProgressThrottle::Clear() {
    const bool was = m_shown;
    m_shown = false;
    return was;
}

}  // namespace tessali::app
