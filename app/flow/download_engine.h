// IDownloadEngine: the engine entry functions as the download workflow calls them, behind an
// interface so that the workflow can be driven against a fake engine in tests. The real one
// forwards to the engine's entry functions (CEngineEntryPoints, app/window/engine_entry_points.h).
// Hashes are hexadecimal text, paths UTF-8. StartNetwork and Init run on the initialisation
// thread, everything else on the GUI thread.
#pragma once

#include <cstdint>
#include <string>

namespace tessali::app {

// The three values of a task's progress the workflow relies on.
struct TaskProgress {
    int64_t total = 0;
    int64_t completed = 0;
    int64_t rate = 0;  // download bytes per second
};

// Task control codes.
inline constexpr int kTaskStart = 1;
inline constexpr int kTaskPause = 2;
inline constexpr int kTaskDelete = 3;

class IDownloadEngine {
public:
    virtual ~IDownloadEngine() = default;
    virtual bool StartNetwork() = 0;
    virtual int Init() = 0;  // -1 on failure
    virtual void Uninit() = 0;
    // -1 when the task cannot be created (it exists already, among others).
    virtual int AddHashTask(const std::string& hash, const std::string& path) = 0;
    // False when it cannot be added; true also when a usable task with that hash exists.
    virtual bool AddSeedTask(const std::string& url, const std::string& hash, const std::string& path) = 0;
    // False when there is no such task.
    virtual bool QueryTask(const std::string& hash, TaskProgress& out) = 0;
    // Starting goes through the engine's task state and its trackers alike.
    virtual void ControlTask(const std::string& hash, int code) = 0;
};

}  // namespace tessali::app
