// The factory of the engine's real tasks: CDownLoadTask for downloads, CUpLoadTask for shares.
// It is what every task manager uses unless a test installs another.
#pragma once

#include "engine/core/task_factory.h"

namespace tessali::core {

class ITaskControl;

class CEngineTaskFactory : public ITaskFactory {
public:
    explicit CEngineTaskFactory(ITaskControl& taskMgr) : m_taskMgr(taskMgr) {}
    Ref<CTask> MakeDownloadTask(const TaskHash& hash, const std::string& destinationPath) override;
    int MakeShareTask(const std::string& text, const TaskHeader* details, int loadMode,
                      Ref<CTask>& out) override;

private:
    ITaskControl& m_taskMgr;
};

}  // namespace tessali::core
