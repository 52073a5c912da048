// CEngineTracker: the engine tracker side put together: the tracker list with its engine-tracker
// announcer, the message handler of the tracker thread, and the protocol link through which the
// task manager announces sources and controls trackers. EngineInit starts the process-wide one
// (StartEngineTracker) over the process-wide agent, task manager and peer layer; tests build
// private ones over fakes. Safe from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "engine/core/protocol_link.h"
#include "engine/core/task_control.h"
#include "engine/core/task_sources.h"
#include "engine/sources/track_handle.h"
#include "engine/sources/tracker_agent.h"
#include "engine/sources/tracker_list.h"

namespace tessali::sources {

// The task manager as the tracker side sees it: the tasks themselves through `tasks`, their
// standing as sources through `sources`.
class CTaskMgrTrackTasks : public ITrackTasks {
public:
    // `engineDownloadLimit` gives the engine's download limit in KiB/s (0 = none).
    CTaskMgrTrackTasks(core::ITaskControl& tasks, core::ITaskSources& sources,
                       std::function<uint32_t()> engineDownloadLimit = {})
        : m_tasks(tasks), m_sources(sources), m_engineDownloadLimit(std::move(engineDownloadLimit)) {}
    bool WantsPeers(const core::TaskHash& hash) override;
    bool IsDownloading(const core::TaskHash& hash) override;
    bool HasPeerWithId(const core::TaskHash& hash, const core::PeerId& id) override;
    void SetSharedFlag(const core::TaskHash& hash, uint8_t value) override;
    void AnnounceAllSources() override;
    std::vector<std::string> SeedTrackers(const core::TaskHash& hash) override;
    // The facts the announce pass needs.
    std::optional<TrackerTaskFacts> Facts(const core::TaskHash& hash);

private:
    core::ITaskControl& m_tasks;
    core::ITaskSources& m_sources;
    std::function<uint32_t()> m_engineDownloadLimit;
};

// The peer layer's registered connector (net::ConnectToSource).
class CRegisteredPeerConnector : public net::IPeerConnector {
public:
    bool ConnectToSource(const core::TaskHash& hash, const net::SourcePeer& peer) override;
};

class CEngineTracker : public core::IProtocolLink {
public:
    CEngineTracker(CTrackerInterface& agent, ITrackTasks& tasks, CTrackerList::TaskQuery query,
                   net::IPeerConnector& connector, net::IDatagramSender& sender, TrackHandleEnv env,
                   std::string engineTrackerUrl);

    // core::IProtocolLink: the share request and the shared task's tracker entry; removing a
    // task's trackers (stop sharing when it was a source); a download's engine tracker; the
    // tracker side of task control codes (1 start, 2 pause, 3 delete, 4 stop others and start).
    void AnnounceSource(const core::TaskHash& hash) override;
    void StopTaskSources(const core::TaskHash& hash) override;
    void AddEngineTracker(const core::TaskHash& hash) override;
    void ControlTrackers(const core::TaskHash& hash, int code) override;

    // Adds the BitTorrent trackers named by the task's seed, once the seed is known; again after
    // `forget` (a start or an activation resets them, like the engine tracker's entry).
    void AddSeedTrackers(const core::TaskHash& hash, bool again);

    // The tracker thread's work.
    bool WaitReceive(uint32_t timeoutMs) { return m_agent.WaitReceived(timeoutMs); }
    std::optional<size_t> TakeDatagram(std::span<uint8_t> buffer);
    void HandleMessage(std::span<const uint8_t> message) { m_handle.Handle(message); }
    // The housekeeping thread's announce pass (every second).
    void AnnouncePass(platform::Tick now) { m_list.AnnouncePass(now); }

    // Called with a task's hash each time its source list is asked of the engine tracker, just
    // before the request is queued: peers on the local network are searched for at the same
    // pace. Set before the first announce pass.
    void SetLanSearch(std::function<void(const core::TaskHash&)> search) { m_lanSearch = std::move(search); }

    CTrackerList& List() { return m_list; }
    CTrackHandle& Handler() { return m_handle; }

private:
    CTrackerInterface& m_agent;
    ITrackTasks& m_tasks;
    CTrackerList m_list;
    CTrackHandle m_handle;
    std::function<void(const core::TaskHash&)> m_lanSearch;
    std::mutex m_seedTrackersLock;
    std::set<core::TaskHash> m_seedTrackersAdded;  // tasks whose seed's trackers are listed
};

// Starts the process-wide tracker agent and engine tracker side from the engine configuration
// and host facts, and registers them (protocol link, relay of the reliable-UDP manager). False
// when the agent cannot start.
bool StartEngineTracker();
// Logs out, stops the agent and unregisters everything.
void StopEngineTracker();
// The process-wide instances while started, else null.
CEngineTracker* EngineTracker();
CTrackerAgent* EngineTrackerAgent();

}  // namespace tessali::sources
