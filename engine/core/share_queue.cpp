#include "engine/core/share_queue.h"

#include "engine/core/engine_log.h"

namespace tessali::core {

void CShareQueue::Add(const std::string& path) {
    {
        std::lock_guard lock(m_lock);
        m_paths.push_back(path);
    }
    EngineLog(kLogDebug, "%s Task insert share queue!\n", path.c_str());
}

std::optional<std::string> CShareQueue::Take() {
    std::lock_guard lock(m_lock);
    if (m_paths.empty()) {
        return std::nullopt;
    }
    std::string p = std::move(m_paths.front());
    m_paths.pop_front();
    return p;
}

size_t CShareQueue::Size() const {
    std::lock_guard lock(m_lock);
    return m_paths.size();
}

void CShareQueue::Clear() {
    std::lock_guard lock(m_lock);
    m_paths.clear();
}

CShareQueue& ShareQueue() {
    static CShareQueue queue;
    return queue;
}

}  // namespace tessali::core
