#include "engine/sources/http_source_link.h"

#include "engine/core/sha1.h"
#include "engine/core/task_mgr.h"
#include "engine/sources/http_agent.h"

namespace tessali::sources {

HttpKey HttpJobKey(std::string_view url) {
    core::Sha1Digest d =
        core::Sha1Of(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(url.data()), url.size()));
    return core::TaskHash::FromBytes(d);
}

bool AddHttpSeedJob(CHttpAgentInterface& agent, core::ITaskSources& tasks, std::string_view url,
                    const core::TaskHash& task, std::string_view destination) {
    HttpKey key = HttpJobKey(url);
    int r = agent.Add(std::string(url), key, 0, std::string(destination));
    if (r == kHttpAddStarted) {
        agent.Link(key, task);
        tasks.SetSourceUrl(task, std::string(url));
        tasks.LinkHttpJob(task, key);
        return true;
    }
    return r != kHttpAddFailed;
}

CHttpAgentInterface& CHttpSourceHooks::Agent() {
    return m_agent != nullptr ? *m_agent : HttpAgent();
}

core::ITaskSources& CHttpSourceHooks::Tasks() {
    return m_tasks != nullptr ? *m_tasks : core::TaskMgr();
}

bool CHttpSourceHooks::QueryHttpStatus(const core::TaskHash& job, core::HttpTaskStatus& out) {
    std::string path = Agent().TargetPath(job);
    int64_t length = Agent().ContentLength(job);
    int64_t written = Agent().BytesWritten(job);
    if (path.empty() && length == 0 && written == 0) {
        return false;
    }
    out.contentLength = length;
    out.bytesWritten = written;
    out.rate = Agent().Speed(job);
    out.path = path;
    return true;
}

int CHttpSourceHooks::MergeHttpDownload(const core::TaskHash& task) {
    core::TaskHash job;
    if (!Tasks().IsHttpTask(task) || !Tasks().GetHttpHash(task, job) || job.IsZero()) {
        return 0;
    }
    Agent().Close(job, true, false);
    int loaded = Agent().LoadIntoTask(job);
    Agent().Close(job, false, true);
    // The mark is cleared so that the next piece from a peer does not merge again.
    Tasks().ClearSourceUrl(task);
    return loaded < 0 ? 0 : loaded;
}

void CHttpSourceHooks::StopTaskHttp(const core::TaskHash& task) {
    core::TaskHash job;
    if (Tasks().IsHttpTask(task) && Tasks().GetHttpHash(task, job) && !job.IsZero()) {
        Agent().Close(job, true, false);
    }
}

void CHttpProtocolLink::AnnounceSource(const core::TaskHash& hash) {
    if (m_next != nullptr) {
        m_next->AnnounceSource(hash);
    }
}

void CHttpProtocolLink::StopTaskSources(const core::TaskHash& hash) {
    m_hooks.StopTaskHttp(hash);
    if (m_next != nullptr) {
        m_next->StopTaskSources(hash);
    }
}

void CHttpProtocolLink::AddEngineTracker(const core::TaskHash& hash) {
    if (m_next != nullptr) {
        m_next->AddEngineTracker(hash);
    }
}

void CHttpProtocolLink::ControlTrackers(const core::TaskHash& hash, int code) {
    if (m_next != nullptr) {
        m_next->ControlTrackers(hash, code);
    }
}

void CHttpProtocolLink::MergeHttpDownload(const core::TaskHash& hash) {
    m_hooks.MergeHttpDownload(hash);
}

CHttpSourceHooks& HttpSourceHooks() {
    static CHttpSourceHooks hooks;
    return hooks;
}

}  // namespace tessali::sources
