// The entry functions that act on tasks, sources and seeds: they translate hash text and paths,
// call the task manager, the peer layer and the HTTP agent, and do the matching tracker
// bookkeeping through the protocol link.

#include <arpa/inet.h>

#include <algorithm>
#include <cstdio>
#include <span>
#include <string>

#include "engine/core/engine_api.h"
#include "engine/core/engine_config.h"
#include "engine/core/engine_env.h"
#include "engine/core/peer_id.h"
#include "engine/core/protocol_link.h"
#include "engine/core/seed.h"
#include "engine/core/seed_builder.h"
#include "engine/core/share_queue.h"
#include "engine/core/task_mgr.h"
#include "engine/net/peer_connector.h"
#include "engine/net/peer_engine.h"
#include "engine/platform/file.h"
#include "engine/sources/http_agent.h"
#include "engine/sources/http_source_link.h"
#include "engine/sources/http_source_reply.h"

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

int EngineVersion() {
    return core::kEngineVersion;
}

int AddShareTask(std::string_view path, std::string* hashText) {
    core::TaskHash hash;
    if (path.empty() || !platform::FileExists(std::string(path)) ||
        core::TaskMgr().CreateShareTask(std::string(path), hash, nullptr, 0) != 0) {
        return -1;
    }
    core::LinkAnnounceSource(hash);
    if (hashText != nullptr) {
        *hashText = hash.ToText();
    }
    return 0;
}

bool ConnectTaskPeer(std::string_view hashText, uint32_t addr, uint16_t port, PeerFraming framing) {
    net::SourcePeer source;
    source.addr = addr;
    source.port = port;
    char tail[13];
    std::snprintf(tail, sizeof tail, "%08X%04X", ntohl(addr), static_cast<unsigned>(ntohs(port)));
    std::copy_n(tail, 12, source.idTail.begin());
    source.natType = framing == PeerFraming::kUdp ? 1 : 0;
    source.direct = true;
    source.versionType = framing == PeerFraming::kHttp ? 2 : framing == PeerFraming::kScrambled ? 3 : 1;
    return net::ConnectToSource(HashOf(hashText), source);
}

TaskRunState QueryTaskRunState(std::string_view hashText) {
    core::TaskHash hash = HashOf(hashText);
    if (!core::TaskMgr().TaskExists(hash)) {
        return TaskRunState::kNone;
    }
    if (core::TaskMgr().IsComplete(hash)) {
        return TaskRunState::kComplete;
    }
    switch (core::TaskMgr().GetRunState(hash)) {
        case core::kRunPaused:
            return TaskRunState::kPaused;
        case core::kRunDeleting:
            return TaskRunState::kDeleting;
        default:
            return TaskRunState::kRunning;
    }
}

int64_t ReceivedPieceBytes() {
    net::CPeerEngine* peers = net::PeerEngine();
    return peers != nullptr ? peers->Handler().PieceBytesReceived() : 0;
}

std::vector<TaskPeerReceipt> QueryTaskPeers(std::string_view hashText) {
    std::vector<TaskPeerReceipt> out;
    core::Ref<core::CTask> task;
    if (!core::TaskMgr().FindTask(HashOf(hashText), task)) {
        return out;
    }
    for (const core::Ref<core::CPeer>& p : task->Peers().All()) {
        out.push_back({p->Key().addr, p->Key().port, p->downloadedTotal.load()});
    }
    return out;
}

std::string HttpSourceHashText(std::string_view url) {
    return sources::HttpJobKey(url).ToText();
}

bool QueryHttpSource(std::string_view hashText, HttpSourceRecord* record) {
    if (record == nullptr) {
        return false;
    }
    const sources::HttpKey key = HashOf(hashText);
    sources::CHttpAgent& agent = sources::HttpAgent();
    *record = HttpSourceRecord{};
    int64_t length = agent.ContentLength(key);
    record->contentLength = length == sources::kUnknownContentLength ? 0 : length;
    record->written = agent.BytesWritten(key);
    record->complete = agent.IsComplete(key);
    char text[4096] = {};
    size_t n = agent.FailedResponseText(key, std::span<char>(text, sizeof text - 1));
    record->failedAnswer.assign(text, n);
    int state = agent.State(key);
    record->failed = state == 0 || state == sources::CAgentInfo::kGivenUp;
    record->speed = agent.Speed(key);
    return state != 0 || record->complete;
}

void StopHttpSource(std::string_view hashText) {
    sources::HttpAgent().Close(HashOf(hashText), true, false);
}

int BuildSeed(const SeedBuildOptions& options, std::string_view engineTrackerUrl, std::string* hashText) {
    core::SeedBuildRequest request;
    request.filePath = options.filePath;
    request.displayName = platform::BaseName(options.filePath);
    request.seedName = request.displayName;
    request.seedPath = options.seedPath;
    request.trackerUrl = options.trackerUrl;
    request.adUrl = options.adUrl;
    request.creationDate = options.creationDate;
    if (core::BuildSeedForFile(request) != 0) {
        return -1;
    }
    core::CSeed seed(request.seedPath);
    if (!seed.LoadFromDisk()) {
        return -2;
    }
    if (hashText != nullptr) {
        *hashText = seed.TaskId(engineTrackerUrl).ToText();
    }
    return 0;
}

bool ReadSeed(std::string_view seedPath, std::string_view engineTrackerUrl, SeedSummary* summary) {
    core::CSeed seed{std::string(seedPath)};
    if (summary == nullptr || !seed.LoadFromDisk()) {
        return false;
    }
    *summary = SeedSummary{};
    summary->name = seed.Name();
    summary->length = seed.TotalLength();
    summary->pieceLength = seed.PieceLength();
    summary->pieceCount = seed.PieceCount();
    summary->hashText = seed.TaskId(engineTrackerUrl).ToText();
    summary->native = seed.IsNative(engineTrackerUrl);
    summary->infoHashText = seed.InfoHash().ToText();
    summary->trackers = seed.Trackers();
    for (size_t i = 0; i < seed.FileCount(); ++i) {
        summary->files.emplace_back(seed.FileName(i), seed.FileLength(i));
    }
    summary->adUrl = seed.AdUrl();
    summary->creationDate = seed.CreationDate();
    return true;
}

EngineFacts QueryEngineFacts() {
    EngineFacts facts;
    facts.rootFolder = core::EngineRootFolder();
    facts.dataFolder = core::EngineDataFolder();
    facts.localAddress = core::AddressText(core::Host().localAddress);
    facts.listenPort = core::Host().listenPort.load();
    facts.natType = core::Host().natType.load();
    facts.trackerHost = core::Config().trackerHost;
    facts.trackerAddress = core::AddressText(core::Config().trackerAddr);
    return facts;
}

}  // namespace tessali
