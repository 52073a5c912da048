// ITaskControl: the table of tasks itself: creating, finding, running, pausing and removing
// tasks and reading their state. Every operation that names a task by hash gives the failure
// value stated (-1, false, 0 or none) when it is absent. Callable from any thread.
#pragma once

#include <cstdint>
#include <string>

#include "engine/core/ref_counted.h"
#include "engine/core/task.h"
#include "engine/core/task_hash.h"
#include "engine/core/task_info.h"

namespace tessali::core {

class ITaskControl {
public:
    virtual ~ITaskControl() = default;

    virtual bool TaskExists(const TaskHash& hash) = 0;
    // A counted reference: keeps the task alive outside every lock.
    virtual bool FindTask(const TaskHash& hash, Ref<CTask>& out) = 0;
    // No reference is taken: valid only while the caller otherwise keeps the task alive.
    virtual CTask* PeekTask(const TaskHash& hash) = 0;
    virtual Ref<CTask> FindTaskByPath(const std::string& fullPath) = 0;

    virtual int GetRunState(const TaskHash& hash) = 0;
    virtual int64_t GetCreationTime(const TaskHash& hash) = 0;
    virtual int QueryTaskInfo(const TaskHash& hash, TaskInfoRecord& record) = 0;
    virtual int CountActiveDownloads() = 0;

    virtual int CreateDownloadTask(const TaskHash& hash, const std::string& destinationPath,
                                   const TaskHeader* details, bool highPriority, int loadMode) = 0;
    // `text` is the local file's full path, optionally followed by '|' and an extra text.
    virtual int CreateShareTask(const std::string& text, TaskHash& hashOut, const TaskHeader* details,
                                int loadMode) = 0;
    // 1 start, 2 pause, 3 delete, 4 start this one and pause the others.
    virtual int ControlTaskState(const TaskHash& hash, int code) = 0;
    virtual void StartAll() = 0;
    virtual void PauseAll() = 0;
    // Every task's periodic step (request time-outs).
    virtual void TickAllTasks() = 0;
};

}  // namespace tessali::core
