#include "engine/sources/engine_tracker.h"

#include <algorithm>
#include <mutex>

#include "engine/core/engine_config.h"
#include "engine/core/engine_env.h"
#include "engine/core/task.h"
#include "engine/core/task_mgr.h"
#include "engine/nat/lan_search.h"
#include "engine/net/net_engine.h"
#include "engine/net/peer_engine.h"
#include "engine/platform/tick.h"

namespace tessali::sources {

using core::TaskHash;

bool CTaskMgrTrackTasks::WantsPeers(const TaskHash& hash) {
    core::Ref<core::CTask> t;
    if (!m_tasks.FindTask(hash, t)) {
        return false;
    }
    return t->RunState() != core::kRunDeleting && !t->IsComplete();
}

bool CTaskMgrTrackTasks::IsDownloading(const TaskHash& hash) {
    core::Ref<core::CTask> t;
    return m_tasks.FindTask(hash, t) && t->RunState() == core::kRunRunning && !t->IsComplete();
}

bool CTaskMgrTrackTasks::HasPeerWithId(const TaskHash& hash, const core::PeerId& id) {
    core::Ref<core::CTask> t;
    return m_tasks.FindTask(hash, t) && t->Peers().FindById(id.bytes);
}

void CTaskMgrTrackTasks::SetSharedFlag(const TaskHash& hash, uint8_t value) {
    m_sources.SetSharedFlag(hash, value);
}

void CTaskMgrTrackTasks::AnnounceAllSources() {
    m_sources.AnnounceAllSources();
}

std::vector<std::string> CTaskMgrTrackTasks::SeedTrackers(const TaskHash& hash) {
    core::Ref<core::CTask> t;
    if (!m_tasks.FindTask(hash, t)) {
        return {};
    }
    return t->SeedTrackers();
}

std::optional<TrackerTaskFacts> CTaskMgrTrackTasks::Facts(const TaskHash& hash) {
    core::Ref<core::CTask> t;
    if (!m_tasks.FindTask(hash, t)) {
        return std::nullopt;
    }
    TrackerTaskFacts f;
    f.runState = t->RunState();
    f.wantsPeers = f.runState != core::kRunDeleting;
    f.complete = t->IsComplete();
    f.peerCount = t->PeerCount();
    // The tighter of the engine's download limit and the task's own cap, in KiB/s.
    uint32_t limit = m_engineDownloadLimit ? m_engineDownloadLimit() : 0;
    if (uint32_t own = t->Pace().Limit(core::PaceDirection::kDownload); own != 0) {
        uint32_t ownKiB = std::max<uint32_t>(1, own / 1024);
        limit = limit == 0 ? ownKiB : std::min(limit, ownKiB);
    }
    f.downloadLimit = limit;
    f.atLimit = t->Pace().IsPaced(core::PaceDirection::kDownload, platform::GetTick());
    return f;
}

bool CRegisteredPeerConnector::ConnectToSource(const TaskHash& hash, const net::SourcePeer& peer) {
    return net::ConnectToSource(hash, peer);
}

CEngineTracker::CEngineTracker(CTrackerInterface& agent, ITrackTasks& tasks, CTrackerList::TaskQuery query,
                               net::IPeerConnector& connector, net::IDatagramSender& sender,
                               TrackHandleEnv env, std::string engineTrackerUrl)
    : m_agent(agent),
      m_tasks(tasks),
      m_list(std::move(query)),
      m_handle(m_list, agent, tasks, connector, sender, std::move(env), std::move(engineTrackerUrl)) {
    m_list.SetAnnouncer(kTrackerEngineDownload, [this](const TrackerEntry& e) {
        if (m_lanSearch) {
            m_lanSearch(e.hash);
        }
        // A seed that arrived after the start (from a peer or an HTTP source) names its
        // BitTorrent trackers only now.
        AddSeedTrackers(e.hash, false);
        m_handle.SendSourceRequest(e.hash);
    });
}

void CEngineTracker::AnnounceSource(const TaskHash& hash) {
    m_list.AddShareTracker(hash, m_handle.EngineTrackerUrl());
    m_handle.SendShare(hash);
}

void CEngineTracker::StopTaskSources(const TaskHash& hash) {
    std::optional<TrackerEntry> entry = m_list.Find(hash, m_handle.EngineTrackerUrl());
    bool wasSource = entry && entry->kind == kTrackerEngineShare;
    m_list.RemoveTask(hash);
    {
        std::lock_guard lock(m_seedTrackersLock);
        m_seedTrackersAdded.erase(hash);
    }
    if (wasSource) {
        m_handle.SendStopShare(hash);
    }
}

void CEngineTracker::AddEngineTracker(const TaskHash& hash) {
    m_list.AddEngineTracker(hash, m_handle.EngineTrackerUrl());
    AddSeedTrackers(hash, true);
}

void CEngineTracker::AddSeedTrackers(const TaskHash& hash, bool again) {
    {
        std::lock_guard lock(m_seedTrackersLock);
        if (!again && m_seedTrackersAdded.contains(hash)) {
            return;  // listed once; the list drops the ones that never answer
        }
    }
    std::vector<std::string> urls = m_tasks.SeedTrackers(hash);
    if (urls.empty()) {
        return;
    }
    const std::string& own = m_handle.EngineTrackerUrl();
    std::set<std::string> seen;
    for (const std::string& url : urls) {
        // The engine tracker is asked in its own protocol; other schemes have no client.
        bool bitTorrent = url.starts_with("http://") || url.starts_with("udp://");
        if (!bitTorrent || (!own.empty() && url.find(own) != std::string::npos) || !seen.insert(url).second) {
            continue;
        }
        m_list.AddBitTorrentTracker(hash, url);
    }
    std::lock_guard lock(m_seedTrackersLock);
    m_seedTrackersAdded.insert(hash);
}

void CEngineTracker::ControlTrackers(const TaskHash& hash, int code) {
    switch (code) {
        case 1:
        case 4:
            // The other tasks were paused by the task manager; the announce pass skips them.
            if (m_list.Find(hash, m_handle.EngineTrackerUrl())) {
                m_list.ActivateOne(hash);
                // Trackers dropped after unanswered announces get their attempts back.
                AddSeedTrackers(hash, true);
            } else if (m_tasks.WantsPeers(hash)) {
                AddEngineTracker(hash);
            }
            return;
        case 2:
            // Kept: the announce pass skips a paused task and a restart activates its entries.
            return;
        case 3:
            StopTaskSources(hash);
            return;
        default:
            return;
    }
}

std::optional<size_t> CEngineTracker::TakeDatagram(std::span<uint8_t> buffer) {
    size_t n = 0;
    if (!m_agent.TakeReceived(buffer, n)) {
        return std::nullopt;
    }
    return n;
}

namespace {

std::mutex g_lock;
std::unique_ptr<CTrackerAgent> g_agent;
std::unique_ptr<CTaskMgrTrackTasks> g_tasks;
std::unique_ptr<CRegisteredPeerConnector> g_connector;
std::unique_ptr<net::CSocketSender> g_sender;
std::unique_ptr<CEngineTracker> g_tracker;
std::atomic<CEngineTracker*> g_trackerPtr{nullptr};
std::atomic<CTrackerAgent*> g_agentPtr{nullptr};

}  // namespace

bool StartEngineTracker() {
    std::lock_guard lock(g_lock);
    if (g_tracker) {
        return true;
    }
    const core::EngineConfig& config = core::Config();
    TrackerAgentSettings s;
    s.rootFolder = core::EngineRootFolder();
    s.trackerName = config.trackerName;
    s.trackerAddr = config.trackerAddr != 0 ? config.trackerAddr : config.fallbackTrackerAddr;
    s.trackerPort = config.trackerPort;
    s.updateHost = config.agentListHost;
    s.agentHost = config.agentHost;
    s.agentAddr = config.agentAddr;
    s.bindPort = core::Host().listenPort.load();
    s.facts = [] {
        return LoginFacts{core::Host().localAddress.load(), core::Host().listenPort.load(),
                          core::Host().natType.load()};
    };
    s.refreshLocalAddress = [] { core::Host().localAddress = core::DetectLocalAddress(); };
    s.rudp = &net::ConnectMgr();

    auto agent = std::make_unique<CTrackerAgent>(std::move(s));
    // The peer layer is made after this; the announce pass asks it on the housekeeping thread,
    // which runs only between the two.
    auto tasks = std::make_unique<CTaskMgrTrackTasks>(core::TaskMgr(), core::TaskMgr(), []() -> uint32_t {
        net::CPeerEngine* peers = net::PeerEngine();
        return peers != nullptr ? peers->Pool().DownloadLimit() : 0;
    });
    auto connector = std::make_unique<CRegisteredPeerConnector>();
    auto sender = std::make_unique<net::CSocketSender>();
    TrackHandleEnv env;
    env.natType = [] { return core::Host().natType.load(); };
    env.localAddr = [] { return core::Host().localAddress.load(); };
    env.listenPort = [] { return core::Host().listenPort.load(); };
    CTaskMgrTrackTasks* t = tasks.get();
    auto tracker = std::make_unique<CEngineTracker>(
        *agent, *tasks, [t](const TaskHash& h) { return t->Facts(h); }, *connector, *sender, std::move(env),
        config.TrackerUrl());
    // Searches run on the announce pass's thread, like the LAN search's own step; before the
    // search socket is open (or with the search switched off) they do nothing.
    tracker->SetLanSearch([](const TaskHash& h) { nat::CLanSearch::Instance().Search(h); });
    if (!agent->Start()) {
        return false;
    }
    net::ConnectMgr().SetTrackerRelay(&agent->Relay());
    core::SetProtocolLink(tracker.get());
    g_agent = std::move(agent);
    g_tasks = std::move(tasks);
    g_connector = std::move(connector);
    g_sender = std::move(sender);
    g_tracker = std::move(tracker);
    g_trackerPtr = g_tracker.get();
    g_agentPtr = g_agent.get();
    return true;
}

void StopEngineTracker() {
    std::lock_guard lock(g_lock);
    if (!g_tracker) {
        return;
    }
    core::SetProtocolLink(nullptr);
    net::ConnectMgr().SetTrackerRelay(nullptr);
    g_trackerPtr = nullptr;
    g_agentPtr = nullptr;
    g_agent->Stop();
    g_tracker.reset();
    g_agent.reset();
    g_tasks.reset();
    g_connector.reset();
    g_sender.reset();
}

CEngineTracker* EngineTracker() {
    return g_trackerPtr.load();
}

CTrackerAgent* EngineTrackerAgent() {
    return g_agentPtr.load();
}

}  // namespace tessali::sources
