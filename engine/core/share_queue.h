// The share queue: local files waiting to be turned into seeds and shared. Producers (the resume
// decision, the HTTP agent) add paths from any thread; the share-queue thread takes them.
#pragma once

#include <deque>
#include <mutex>
#include <optional>
#include <string>

namespace tessali::core {

class CShareQueue {
public:
    // Appends `path` and logs "<path> Task insert share queue!".
    void Add(const std::string& path);
    std::optional<std::string> Take();
    size_t Size() const;
    void Clear();

private:
    mutable std::mutex m_lock;
    std::deque<std::string> m_paths;
};

CShareQueue& ShareQueue();

}  // namespace tessali::core
