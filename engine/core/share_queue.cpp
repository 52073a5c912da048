#include "engine/core/share_queue.h"

#include "engine/core/engine_log.h"
#include "engine/core/protocol_link.h"
#include "engine/core/task_control.h"
#include "engine/platform/thread.h"

namespace tessali::core {

void CShareQueue::Add(const std::string& path) {
    {
        std::lock_guard lock(m_lock);
        m_paths.insert(path);
    }
    EngineLog(kLogError1, "%s Task insert share queue!\n", path.c_str());
}

std::optional<std::string> CShareQueue::Take() {
    std::lock_guard lock(m_lock);
    if (m_paths.empty()) {
        return std::nullopt;
    }
    std::string p = *m_paths.begin();
    m_paths.erase(m_paths.begin());
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

std::atomic<bool>& ShareFlag() {
    static std::atomic<bool> flag{true};  // cleared only by the engine's shut-down
    return flag;
}

bool ShareQueueStep(CShareQueue& queue, ITaskControl& taskMgr) {
    std::optional<std::string> path = queue.Take();
    if (!path) {
        return false;
    }
    if (taskMgr.FindTaskByPath(*path)) {
        EngineLog(kLogInfo, "%s has already shared!\n", path->c_str());
        return true;
    }
    // The share flag is not set here: a shut-down that cleared it after the path was taken
    // would otherwise wait for the whole seed build.
    TaskHash hash;
    int r = taskMgr.CreateShareTask(*path, hash, nullptr, 0);
    if (r == 0) {
        LinkAnnounceSource(hash);
    }
    EngineLog(kLogError1, "Create Share Task!!Result:%d\n", r == 0 ? 0 : -1);
    return true;
}

void CShareThread::Start(CShareQueue& queue, ITaskControl& taskMgr) {
    if (m_thread.joinable()) {
        return;
    }
    m_run = true;
    ShareFlag() = true;
    m_thread = std::thread([this, &queue, &taskMgr] {
        platform::SetCurrentThreadName("ShareQueue");
        while (m_run) {
            ShareQueueStep(queue, taskMgr);
            platform::SleepMs(100);
        }
    });
}

void CShareThread::Stop() {
    m_run = false;
    ShareFlag() = false;  // a seed build in progress stops at its next piece
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

}  // namespace tessali::core
