// Start-up and shut-down of the whole engine, in their fixed orders. This file sits above every
// engine floor so that it may reach each subsystem without a lower floor including a higher one.

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <mutex>
#include <random>

#include "engine/core/engine_api.h"
#include "engine/core/engine_config.h"
#include "engine/core/engine_env.h"
#include "engine/core/engine_log.h"
#include "engine/core/routines.h"
#include "engine/core/share_queue.h"
#include "engine/core/task_mgr.h"
#include "engine/net/peer_connector.h"
#include "engine/net/peer_engine.h"
#include "engine/platform/deploy_config.h"
#include "engine/sources/peer_id.h"

namespace tessali {
namespace {

std::mutex g_initLock;
bool g_initialised = false;
core::CShareThread g_shareThread;

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
    return true;
}

int EngineInit() {
    std::lock_guard lock(g_initLock);
    const platform::DeployConfig& deploy = platform::Deploy();
    core::SetLogFile(deploy.logFile, deploy.logLevel);

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
    // NAT type: fixed by the deployment file, else left at "UDP blocked" until detection runs.
    core::Host().natType = deploy.natType ? static_cast<uint32_t>(*deploy.natType) : 6u;
    core::Host().listenPort = deploy.listenPort;

    // The peer layer: dispatch manager (with reliable UDP), then the routines and listening sockets.
    net::CPeerEngine* peers = net::CreatePeerEngine();
    peers->Start();
    sources::PeerId ownId = sources::GeneratePeerId(
        sources::kEngineVersion, std::random_device{}() | uint64_t{std::random_device{}()} << 32);
    peers->Handler().SetOwnPeerId(ownId.bytes);
    core::SetRoutineWork(peers);
    net::SetPeerConnector(&peers->Handler());

    core::StartRoutines();
    core::ShareFlag() = true;
    g_shareThread.Start(core::ShareQueue(), core::TaskMgr());
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
    net::SetPeerConnector(nullptr);
    core::StopRoutines();
    if (net::CPeerEngine* peers = net::PeerEngine()) {
        peers->Stop();
    }
    core::SetRoutineWork(nullptr);
    net::DestroyPeerEngine();
    core::ShareQueue().Clear();
    core::DestroyTaskMgr();
    g_initialised = false;
}

bool EngineInitialised() {
    std::lock_guard lock(g_initLock);
    return g_initialised;
}

}  // namespace tessali
