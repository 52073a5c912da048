// ITaskSources: how a task meets its sources outside the peer swarm: the HTTP source it may be
// linked to and its standing as a source at the engine tracker. Every operation names its task
// by hash and answers false when it is absent. Callable from any thread.
#pragma once

#include <cstdint>
#include <string>

#include "engine/core/task_hash.h"

namespace tessali::core {

class ITaskSources {
public:
    virtual ~ITaskSources() = default;

    virtual bool IsHttpTask(const TaskHash& hash) = 0;
    virtual bool GetHttpHash(const TaskHash& hash, TaskHash& out) = 0;
    virtual bool LinkHttpJob(const TaskHash& hash, const TaskHash& job) = 0;
    virtual bool SetSourceUrl(const TaskHash& hash, const std::string& url) = 0;
    virtual bool ClearSourceUrl(const TaskHash& hash) = 0;
    virtual bool GetSourceUrl(const TaskHash& hash, std::string& out) = 0;

    // Set when the engine tracker accepted the task as a source, cleared when it confirmed
    // unsharing.
    virtual bool SetSharedFlag(const TaskHash& hash, uint8_t value) = 0;
    // Announces every complete download and every share task as a source.
    virtual void AnnounceAllSources() = 0;
};

}  // namespace tessali::core
