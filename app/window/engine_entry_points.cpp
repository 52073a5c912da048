#include "app/window/engine_entry_points.h"

#include <memory>

#include "engine/core/engine_api.h"

namespace tessali::app {

bool CEngineEntryPoints::StartNetwork() {
    return tessali::EngineStartNetwork();
}

int CEngineEntryPoints::Init() {
    return tessali::EngineInit();
}

void CEngineEntryPoints::Uninit() {
    tessali::EngineUninit();
}

int CEngineEntryPoints::AddHashTask(const std::string& hash, const std::string& path) {
    return tessali::AddHashTask(hash, path);
}

bool CEngineEntryPoints::AddSeedTask(const std::string& url, const std::string& hash,
                                     const std::string& path) {
    return tessali::AddSeedTask(url, hash, path);
}

bool CEngineEntryPoints::QueryTask(const std::string& hash, TaskProgress& out) {
    // The record carries the destination path as well: too large for the stack of a timer handler.
    auto record = std::make_unique<core::TaskInfoRecord>();
    if (!tessali::QueryTask(hash, record.get())) {
        return false;
    }
    out.total = record->TotalSize();
    out.completed = record->HaveSize();
    out.rate = record->downloadRate;
    return true;
}

void CEngineEntryPoints::ControlTask(const std::string& hash, int code) {
    // ControlTask sets the task state and does the tracker bookkeeping of the code (for a start:
    // the protocol layer's start of the task's trackers).
    tessali::ControlTask(hash, code);
}

}  // namespace tessali::app
