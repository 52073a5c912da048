#include "engine/net/send_budget.h"

#include <algorithm>

namespace tessali::net {

size_t CSendBudget::Share() const {
    size_t busy = std::max<size_t>(1, m_busy.load());
    return std::max(kMinSendShare, m_bound / busy);
}

CSendBudget::Verdict CSendBudget::Admit(size_t held, size_t len) const {
    bool withinShare = held + len <= Share();
    if (len <= kControlMessageBytes) {
        // Control messages are too small to matter to the total; only a connection's own
        // backlog counts against them.
        return withinShare ? Verdict::kQueue : Verdict::kPastTheShare;
    }
    return withinShare && m_total.load() + len <= m_bound ? Verdict::kQueue : Verdict::kRefuse;
}

void CSendBudget::Changed(size_t before, size_t after) {
    if (after > before) {
        m_total.fetch_add(after - before);
    } else if (before > after) {
        m_total.fetch_sub(before - after);
    }
    if (before == 0 && after > 0) {
        m_busy.fetch_add(1);
    } else if (before > 0 && after == 0) {
        m_busy.fetch_sub(1);
    }
}

}  // namespace tessali::net
