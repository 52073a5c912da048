// ITaskFactory: makes the task objects the task manager holds. The real factory builds
// CDownLoadTask and CUpLoadTask; tests install one that builds fakes, so the task table can be
// exercised without storage.
#pragma once

#include <string>

#include "engine/core/ref_counted.h"
#include "engine/core/task.h"

namespace tessali::core {

class ITaskFactory {
public:
    virtual ~ITaskFactory() = default;
    // A download task for `hash` into `destinationPath` (folder + file name), not yet loaded.
    virtual Ref<CTask> MakeDownloadTask(const TaskHash& hash, const std::string& destinationPath) = 0;
    // A share task for the local file in `text` ("path" or "path|extra"); 0 and the new task's
    // hash, or -1. The task is created and loaded; it is not yet in the table.
    virtual int MakeShareTask(const std::string& text, const TaskHeader* details, int loadMode,
                              Ref<CTask>& out) = 0;
};

}  // namespace tessali::core
