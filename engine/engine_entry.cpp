// The entry functions that act on tasks: they translate hash text and paths, call the task
// manager and do the matching tracker bookkeeping through the protocol link.

#include <string>

#include "engine/core/engine_api.h"
#include "engine/core/protocol_link.h"
#include "engine/core/share_queue.h"
#include "engine/core/task_mgr.h"
#include "engine/platform/file.h"
#include "engine/sources/http_agent.h"
#include "engine/sources/http_source_link.h"

namespace tessali {
namespace {

core::TaskHash HashOf(std::string_view text) {
    return core::TaskHash::FromText(text);
}

}  // namespace

bool AddSeedTask(std::string_view sourceUrl, std::string_view hashText, std::string_view destinationPath) {
    if (sourceUrl.empty() || hashText.empty() || destinationPath.empty()) {
        return false;
    }
    if (platform::DirectoryExists(std::string(destinationPath))) {
        return false;  // a destination names the file to make, never a folder
    }
    core::TaskHash hash = HashOf(hashText);
    core::Ref<core::CTask> task;
    if (core::TaskMgr().FindTask(hash, task) && task->VerifiedBytes() > 0) {
        return true;
    }
    return sources::AddHttpSeedJob(sources::HttpAgent(), core::TaskMgr(), sourceUrl, hash, destinationPath);
}

int AddHashTask(std::string_view hashText, std::string_view destinationPath) {
    core::TaskHash hash = HashOf(hashText);
    int r = core::TaskMgr().CreateDownloadTask(hash, std::string(destinationPath), nullptr, false, 0);
    if (r == 0) {
        // The engine tracker's first announce pass asks for sources and searches the local
        // network too, and so does every later one.
        core::LinkAddEngineTracker(hash);
        return 0;
    }
    if (r == 1) {
        core::LinkAnnounceSource(hash);
        return 1;
    }
    return -1;
}

bool QueryTask(std::string_view hashText, core::TaskInfoRecord* record) {
    if (record == nullptr) {
        return false;
    }
    return core::TaskMgr().QueryTaskInfo(HashOf(hashText), *record) == 0;
}

int ControlTask(std::string_view hashText, int code) {
    core::TaskHash hash = HashOf(hashText);
    core::TaskMgr().ControlTaskState(hash, code);
    if (code >= 1 && code <= 4) {
        core::LinkControlTrackers(hash, code);
    }
    return 0;
}

bool ShareQueueAdd(std::string_view path) {
    if (path.empty()) {
        return false;
    }
    core::ShareQueue().Add(std::string(path));
    return true;
}

}  // namespace tessali
