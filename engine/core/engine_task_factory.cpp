#include "engine/core/engine_task_factory.h"

#include "engine/core/download_task.h"
#include "engine/core/upload_task.h"

namespace tessali::core {

Ref<CTask> CEngineTaskFactory::MakeDownloadTask(const TaskHash& hash, const std::string& destinationPath) {
    return Ref<CTask>::Adopt(new CDownLoadTask(hash, destinationPath));
}

int CEngineTaskFactory::MakeShareTask(const std::string& text, const TaskHeader* details, int loadMode,
                                      Ref<CTask>& out) {
    size_t bar = text.find('|');
    std::string path = text.substr(0, bar);
    std::string extra = bar == std::string::npos ? std::string() : text.substr(bar + 1);
    auto task = Ref<CTask>::Adopt(new CUpLoadTask(path, extra, m_taskMgr));
    if (details != nullptr) {
        task->ApplyCreationDetails(*details);
    }
    if (task->Load(loadMode) != 0) {
        return -1;
    }
    out = task;
    return 0;
}

}  // namespace tessali::core
