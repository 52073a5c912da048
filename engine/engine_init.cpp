// Start-up and shut-down of the whole engine, in their fixed orders. This file sits above every
// engine floor so that it may reach each subsystem without a lower floor including a higher one.

#include <arpa/inet.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <mutex>
#include <random>

#include "engine/core/engine_api.h"
#include "engine/core/engine_config.h"
#include "engine/core/engine_env.h"
#include "engine/core/engine_log.h"
#include "engine/core/peer_id.h"
#include "engine/core/routines.h"
#include "engine/core/share_queue.h"
#include "engine/core/task_mgr.h"
#include "engine/nat/firewall.h"
#include "engine/nat/lan_peer_sink.h"
#include "engine/nat/lan_search.h"
#include "engine/nat/nat_setup.h"
#include "engine/net/peer_connector.h"
#include "engine/net/peer_engine.h"
#include "engine/platform/deploy_config.h"
#include "engine/platform/folders.h"
#include "engine/sources/bt_tracker_client.h"
#include "engine/sources/engine_tracker.h"
#include "engine/sources/http_agent.h"
#include "engine/sources/http_source_link.h"
#include "engine/sources/tracker_agent.h"

namespace tessali {
namespace {

std::mutex g_initLock;
bool g_initialised = false;
core::CShareThread g_shareThread;
// Answers the HTTP-source operations of the protocol link; the tracker layer's link, once it is
// registered, becomes its next link.
sources::CHttpProtocolLink g_httpLink(sources::HttpSourceHooks(), nullptr);

// Peers found by the LAN search go to the peer layer like peers from a source list.
class CLanPeerConnector : public nat::ILanPeerSink {
public:
    void AddLanPeer(const core::TaskHash& hash, std::span<const uint8_t, 20> peerId, uint32_t address,
                    uint16_t port) override {
        net::SourcePeer peer;
        peer.addr = address;
        peer.port = htons(port);
        std::copy(peerId.begin() + 8, peerId.end(), peer.idTail.begin());
        core::PeerId id;
        std::copy(peerId.begin(), peerId.end(), id.bytes.begin());
        uint8_t type = core::VersionType(id.Version());
        peer.versionType = type != 0 ? type : 1;
        net::ConnectToSource(hash, peer);
    }
};
CLanPeerConnector g_lanPeers;

// The work of the engine routines, forwarded to the subsystem that owns each part.
class CEngineRoutineWork : public core::IRoutineWork {
public:
    core::IRoutineWork* peers = nullptr;
    void PrepareTrackerAgent() override {
        if (peers) {
            peers->PrepareTrackerAgent();
        }
    }
    void StartLanSearch() override {
        if (!platform::Deploy().lanSearch) {
            return;
        }
        nat::CLanSearch& lan = nat::CLanSearch::Instance();
        lan.SetPeerSink(&g_lanPeers);
        lan.SetPeerIdSource([] {
            sources::CTrackerAgent* agent = sources::EngineTrackerAgent();
            return agent != nullptr ? std::string(agent->OwnPeerId().Text()) : std::string();
        });
        lan.Start(core::Host().localAddress.load());
    }
    uint16_t OpenListenSockets() override { return peers ? peers->OpenListenSockets() : 0; }
    void SendPass() override {
        if (peers) {
            peers->SendPass();
        }
    }
    void WaitSendWork() override {
        if (peers) {
            peers->WaitSendWork();
        } else {
            IRoutineWork::WaitSendWork();
        }
    }
    void P2pPass(uint32_t timeoutMs) override {
        if (peers) {
            peers->P2pPass(timeoutMs);
        } else {
            IRoutineWork::P2pPass(timeoutMs);
        }
    }
    void LanSearchStep() override { nat::CLanSearch::Instance().Step(); }
    void RateWindowStep() override {
        if (peers) {
            peers->RateWindowStep();
        }
    }
    void TickAllTasks() override {
        if (peers) {
            peers->TickAllTasks();
        } else {
            IRoutineWork::TickAllTasks();
        }
    }
    double DownloadRate() override { return peers ? peers->DownloadRate() : 0; }
    double UploadRate() override { return peers ? peers->UploadRate() : 0; }
    void NatRecheck() override {
        nat::NatRecheck([] {
            if (sources::CTrackerAgent* agent = sources::EngineTrackerAgent()) {
                agent->Login();
            }
        });
    }
    bool WaitTrackerReceive(uint32_t timeoutMs) override {
        if (sources::CEngineTracker* t = sources::EngineTracker()) {
            return t->WaitReceive(timeoutMs);
        }
        return IRoutineWork::WaitTrackerReceive(timeoutMs);
    }
    std::optional<size_t> TakeTrackerDatagram(std::span<uint8_t> buffer) override {
        sources::CEngineTracker* t = sources::EngineTracker();
        return t != nullptr ? t->TakeDatagram(buffer) : std::nullopt;
    }
    void HandleTrackerMessage(std::span<const uint8_t> message) override {
        if (sources::CEngineTracker* t = sources::EngineTracker()) {
            t->HandleMessage(message);
        }
    }
    void SecondTick() override {
        if (peers) {
            peers->SecondTick();
        }
        if (sources::CEngineTracker* t = sources::EngineTracker()) {
            t->AnnouncePass(platform::GetTick());
        }
    }
};
CEngineRoutineWork g_routineWork;

bool CopyHostField(const std::string& value, char (&field)[core::kHostFieldBytes]) {
    if (value.size() >= core::kHostFieldBytes) {
        return false;
    }
    std::fill(std::begin(field), std::end(field), '\0');
    value.copy(field, value.size());
    return true;
}

}  // namespace

bool EngineStartNetwork() {
    // BSD sockets need no start-up; a peer closing mid-send must not kill the process.
    signal(SIGPIPE, SIG_IGN);
    // The half-open connection limit is a property of one Windows TCP stack; Linux has none, so
    // it stays 0 (no limit).
    core::Host().halfOpenLimit = 0;
    // No per-program firewall to register with on Linux; the call documents the step.
    nat::AuthorizeApplication("");
    return true;
}

int EngineInit(EngineUse use) {
    std::lock_guard lock(g_initLock);
    const platform::DeployConfig& deploy = platform::Deploy();
    core::SetLogFile(platform::LogFilePath(deploy.logFile), deploy.logLevel);

    // Preallocation needs no privilege on Linux (posix_fallocate), so there is nothing to enable.
    if (!core::PrepareEngineFolders()) {
        core::EngineLog(core::kLogFail, "Create engine data folder %s failed!\n",
                        core::EngineDataFolder().c_str());
    }
    core::EngineConfig& config = core::Config();
    config.allocationGranularity = static_cast<uint32_t>(sysconf(_SC_PAGESIZE));

    if (g_initialised) {
        core::EngineLog(core::kLogDebug, "Warning:already called init()!!!\n");
        return -1;
    }
    if (!CopyHostField(deploy.trackerHost, config.trackerHost)) {
        core::EngineLog(core::kLogDebug, "Tracker Url is too long!!Less than 32!\n");
        return -1;
    }
    if (!CopyHostField(deploy.updateHost, config.agentListHost)) {
        core::EngineLog(core::kLogDebug, "Agent Url is too long!!Less than 32\n");
        return -1;
    }
    platform::HostPort tracker = platform::ParseHostPort(deploy.trackerHost);
    config.trackerName = tracker.host;
    config.trackerPort = tracker.port;
    config.fallbackTrackerAddr = core::ResolveIPv4(deploy.trackerIp);
    config.secondTrackerAddr = config.fallbackTrackerAddr;
    config.agentHost = deploy.agentHost;
    config.agentAddr = core::ResolveIPv4(deploy.agentIp);
    config.stunPrimary = deploy.stunPrimary;
    config.stunFallback = deploy.stunFallback;
    g_initialised = true;

    config.trackerAddr = core::ResolveIPv4(tracker.host);
    if (config.trackerAddr == 0) {
        config.trackerAddr = config.fallbackTrackerAddr;
    }

    core::Host().localAddress = core::DetectLocalAddress();
    sources::HttpAgent().Start();
    core::SetHttpStatusSource(&sources::HttpSourceHooks());
    // NAT type: fixed by the deployment file, else left at "UDP blocked" until detection runs.
    core::Host().natType = deploy.natType ? static_cast<uint32_t>(*deploy.natType) : 6u;
    core::Host().listenPort = deploy.listenPort;
    // NAT detection takes seconds when no STUN server answers; an HTTP-only process never needs
    // its answer, so its first transfer does not wait for it.
    const bool peersServed = use == EngineUse::kPeers;
    if (peersServed) {
        nat::StartNat();
    }

    if (!sources::StartEngineTracker()) {
        core::EngineLog(core::kLogDebug, "Init TrackerInterface failed!!\n");
        return -1;
    }
    // The HTTP sources answer their operations of the protocol link and hand every other one to
    // the link registered before them (the engine tracker's, or a test's).
    if (core::CurrentProtocolLink() != &g_httpLink) {
        g_httpLink.SetNext(core::CurrentProtocolLink());
    }
    core::SetProtocolLink(&g_httpLink);
    // The peer layer: dispatch manager (with reliable UDP), then the routines and listening sockets.
    net::CPeerEngine* peers = net::CreatePeerEngine();
    // One UDP socket serves the tracker protocol and reliable UDP: the agent's, bound first.
    if (sources::CTrackerAgent* agent = sources::EngineTrackerAgent()) {
        peers->SetSharedUdpPort(agent->BoundPort());
        peers->SetSharedUdpMover([agent](uint16_t port) { return agent->MoveUdpSocket(port); });
    }
    peers->Pool().SetStandingLimits(deploy.maxUpload, deploy.maxDownload);
    peers->Start();
    // HTTP-source bytes count in the engine's and their task's download speed like peers' bytes.
    sources::CHttpAgent* httpAgent = &sources::HttpAgent();
    net::CSpeedCounter* speed = &peers->Handler().Speed();
    httpAgent->SetByteFeed([httpAgent, speed](const sources::HttpKey& key, int64_t bytes) {
        core::TaskHash task = key;
        httpAgent->TaskOf(key, task);
        speed->Count(task, std::nullopt, bytes, net::SpeedKind::kHttp);
    });
    // One peer id for the whole engine: the tracker agent's, kept in "MirtCfg.ini".
    core::PeerId ownId =
        sources::EngineTrackerAgent() != nullptr
            ? sources::EngineTrackerAgent()->OwnPeerId()
            : core::GeneratePeerId(core::kEngineVersion,
                                   std::random_device{}() | uint64_t{std::random_device{}()} << 32);
    peers->Handler().SetOwnPeerId(ownId.bytes);
    g_routineWork.peers = peers;
    core::SetRoutineWork(&g_routineWork);
    net::SetPeerConnector(&peers->Handler());
    // The seed's BitTorrent trackers: the announce pass opens each exchange, and an answer marks
    // the entry answered, as the engine tracker's answers do.
    {
        sources::BtTrackerSettings bt;
        bt.peerId = ownId.bytes;
        sources::BtTrackerClient().SetSettings(bt);
    }
    if (sources::CEngineTracker* t = sources::EngineTracker()) {
        t->List().SetAnnouncer(sources::kTrackerBitTorrent, [](const sources::TrackerEntry& e) {
            sources::BtTrackerClient().Announce(e.hash, e.url);
        });
        sources::BtTrackerClient().SetAnsweredCallback(
            [t](const core::TaskHash& hash, const std::string& url) { t->List().MarkAnswered(hash, url); });
    }
    core::StartRoutines();
    sources::BtTrackerClient().Start();
    core::ShareFlag() = true;
    g_shareThread.Start(core::ShareQueue(), core::TaskMgr());
    // The listen port is known now; mapping it may take about four seconds.
    if (peersServed) {
        nat::MapListenPort();
    }
    return 0;
}

void EngineUninit() {
    std::lock_guard lock(g_initLock);
    if (!g_initialised) {
        return;
    }
    // A seed build in progress stops at its next piece once the share flag is clear.
    core::ShareFlag() = false;
    g_shareThread.Stop();
    if (core::CurrentProtocolLink() == &g_httpLink) {
        core::SetProtocolLink(g_httpLink.Next());
    }
    core::SetHttpStatusSource(nullptr);
    sources::HttpAgent().Stop();
    sources::HttpAgent().SetByteFeed({});  // the speed counter goes with the peer engine
    net::SetPeerConnector(nullptr);
    core::StopRoutines();
    if (net::CPeerEngine* peers = net::PeerEngine()) {
        peers->Stop();
    }
    core::SetRoutineWork(nullptr);
    g_routineWork.peers = nullptr;
    net::DestroyPeerEngine();
    // Its answers mark entries of the engine tracker's list: it stops first.
    sources::BtTrackerClient().Stop();
    sources::BtTrackerClient().SetAnsweredCallback({});
    sources::StopEngineTracker();
    nat::CLanSearch::Destroy();
    nat::StopNat();
    sources::BtTrackerClient().Stop();
    sources::DestroyBtTrackerClient();
    sources::DestroyHttpAgent();
    core::ShareQueue().Clear();
    core::DestroyTaskMgr();
    g_initialised = false;
}

bool EngineInitialised() {
    std::lock_guard lock(g_initLock);
    return g_initialised;
}

}  // namespace tessali
