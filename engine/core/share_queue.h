// The share queue: local files waiting to be turned into seeds and shared, each path at most
// once, taken in path order by the share thread every 100 ms. Producers (the resume decision, the
// HTTP agent, ShareQueueAdd) add from any thread under the queue lock. The share flag lets the
// engine's shut-down stop a long seed build at its next piece.
#pragma once

#include <atomic>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>

namespace tessali::core {

class ITaskControl;

class CShareQueue {
public:
    // Inserts `path` (once) and logs "<path> Task insert share queue!".
    void Add(const std::string& path);
    std::optional<std::string> Take();
    size_t Size() const;
    void Clear();

private:
    mutable std::mutex m_lock;
    std::set<std::string> m_paths;
};

CShareQueue& ShareQueue();
// Set when the share thread starts, cleared when it stops (the engine's shut-down); a seed build
// stops at its next piece once it is clear. Nothing else sets it, so a stop is never undone.
std::atomic<bool>& ShareFlag();

// One pass of the share thread: takes a path and shares it unless a task already has that path.
// True when a path was taken.
bool ShareQueueStep(CShareQueue& queue, ITaskControl& taskMgr);

// The share thread: ShareQueueStep every 100 ms while running.
class CShareThread {
public:
    ~CShareThread() { Stop(); }
    // Sets the share flag and starts the thread.
    void Start(CShareQueue& queue, ITaskControl& taskMgr);
    // Clears the run flag and the share flag, and waits for the thread without limit.
    void Stop();
    bool Running() const { return m_thread.joinable(); }

private:
    std::atomic<bool> m_run{false};
    std::thread m_thread;
};

}  // namespace tessali::core
