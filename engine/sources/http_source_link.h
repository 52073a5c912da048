// How the rest of the engine reaches the HTTP agent: adding the HTTP job of a seed task, the
// task manager's progress records, merging an HTTP download into its task when peers start
// sending, and stopping a task's HTTP download when the task is paused or deleted.
// CHttpProtocolLink answers the HTTP operations of the protocol link and forwards every other
// operation to the link it wraps (the tracker layer's). Any thread.
#pragma once

#include <string_view>

#include "engine/core/http_status.h"
#include "engine/core/protocol_link.h"
#include "engine/core/task_sources.h"
#include "engine/sources/http_agent_interface.h"

namespace tessali::sources {

// The job key of an HTTP source: SHA-1 over the bytes of its URL text.
HttpKey HttpJobKey(std::string_view url);

// The HTTP part of adding a seed task: asks the agent for the job; a new job is linked to the task
// (agent link, source URL, job link). False when the agent refused.
bool AddHttpSeedJob(CHttpAgentInterface& agent, core::ITaskSources& tasks, std::string_view url,
                    const core::TaskHash& task, std::string_view destination);

class CHttpSourceHooks : public core::IHttpStatusSource {
public:
    // Null arguments mean the engine's agent and task manager, looked up at each call (both are
    // recreated when the engine starts again).
    explicit CHttpSourceHooks(CHttpAgentInterface* agent = nullptr, core::ITaskSources* tasks = nullptr)
        : m_agent(agent), m_tasks(tasks) {}

    bool QueryHttpStatus(const core::TaskHash& job, core::HttpTaskStatus& out) override;
    // Loads the HTTP-downloaded pieces into the task, erases the download and clears the task's
    // HTTP mark; nothing when the task has no HTTP download. The number of pieces loaded.
    int MergeHttpDownload(const core::TaskHash& task);
    // Stops (and keeps, for a later merge) the task's HTTP download.
    void StopTaskHttp(const core::TaskHash& task);

private:
    CHttpAgentInterface& Agent();
    core::ITaskSources& Tasks();

    CHttpAgentInterface* m_agent;
    core::ITaskSources* m_tasks;
};

class CHttpProtocolLink : public core::IProtocolLink {
public:
    // `next` (not owned, may be null) gets every operation this link does not answer alone.
    CHttpProtocolLink(CHttpSourceHooks& hooks, core::IProtocolLink* next) : m_hooks(hooks), m_next(next) {}
    void SetNext(core::IProtocolLink* next) { m_next = next; }
    core::IProtocolLink* Next() const { return m_next; }

    void AnnounceSource(const core::TaskHash& hash) override;
    void StopTaskSources(const core::TaskHash& hash) override;
    void AddEngineTracker(const core::TaskHash& hash) override;
    void ControlTrackers(const core::TaskHash& hash, int code) override;
    void MergeHttpDownload(const core::TaskHash& hash) override;

private:
    CHttpSourceHooks& m_hooks;
    core::IProtocolLink* m_next;
};

// The engine's hooks over HttpAgent() and the engine's task manager.
CHttpSourceHooks& HttpSourceHooks();

}  // namespace tessali::sources
