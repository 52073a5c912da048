// CTaskMgrInterFace: how the rest of the engine (peer protocol, trackers, HTTP sources, worker
// threads) reaches tasks. Every operation names its task by hash and answers a failure value
// when the task is absent; operations that name a peer answer failure when the peer is absent.
// Implemented by CTaskMgr; tests of other subsystems may implement it with a fake.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "engine/core/connection_key.h"
#include "engine/core/ref_counted.h"
#include "engine/core/task.h"
#include "engine/core/task_hash.h"
#include "engine/core/task_info.h"

namespace tessali::core {

// What a peer brings when it joins a task's peer group.
struct PeerAttributes {
    uint8_t natType = 0;    // as the tracker reported it; 0 = reachable directly
    uint8_t transport = 1;  // 1 TCP, 3 reliable UDP
    uint8_t kind = 2;       // 1 engine peer, 2 BitTorrent peer (until its id says otherwise)
    uint8_t flagB = 0;
    uint8_t flagD = 0;
    uint32_t extra = 0;
};

// An absolute content range of one block request.
struct BlockRange {
    int64_t position = 0;
    uint32_t length = 0;
};

constexpr size_t kRequestMessageBytes = 17;

class CTaskMgrInterFace {
public:
    virtual ~CTaskMgrInterFace() = default;

    virtual bool HasSeed(const TaskHash& hash) = 0;
    virtual bool StoreSeedData(const TaskHash& hash, std::span<const uint8_t> seed) = 0;
    // With an empty buffer: `length` gets the size. Otherwise copies min(size, buffer) bytes.
    virtual bool GetSeedBytes(const TaskHash& hash, std::span<uint8_t> buffer, size_t& length) = 0;
    virtual int64_t WriteAt(const TaskHash& hash, std::span<const uint8_t> data, int64_t position) = 0;
    virtual int64_t PutBlock(const TaskHash& hash, const ConnectionKey& peer, std::span<const uint8_t> data,
                             uint32_t piece, uint32_t offset) = 0;
    virtual int64_t ReadAt(const TaskHash& hash, std::span<uint8_t> out, int64_t position,
                           bool countUpload) = 0;
    virtual bool PickRequestAt(const TaskHash& hash, const ConnectionKey& peer, BlockRange& out) = 0;
    virtual bool PickRequest(const TaskHash& hash, const ConnectionKey& peer,
                             std::span<uint8_t, kRequestMessageBytes> out) = 0;
    virtual bool IsComplete(const TaskHash& hash) = 0;
    virtual bool GetBitfield(const TaskHash& hash, std::span<uint8_t> buffer, size_t& length) = 0;
    virtual int AddPeer(const TaskHash& hash, const ConnectionKey& peer,
                        const PeerAttributes& attributes) = 0;
    virtual int RemovePeer(const TaskHash& hash, const ConnectionKey& peer) = 0;
    virtual int SetPeerBitfield(const TaskHash& hash, const ConnectionKey& peer,
                                std::span<const uint8_t> bits) = 0;
    virtual int SetPeerHave(const TaskHash& hash, const ConnectionKey& peer, uint32_t piece) = 0;
    virtual int SetPeerId(const TaskHash& hash, const ConnectionKey& peer,
                          std::span<const uint8_t, 20> id) = 0;
    virtual int SetPeerKind(const TaskHash& hash, const ConnectionKey& peer, uint8_t kind) = 0;
    virtual int GetPeerId(const TaskHash& hash, const ConnectionKey& peer, std::span<uint8_t, 20> id) = 0;
    virtual int GetPeerKind(const TaskHash& hash, const ConnectionKey& peer) = 0;
    virtual uint8_t IsPeerViaUdp(const TaskHash& hash, const ConnectionKey& peer) = 0;
    virtual uint8_t GetPeerFlagB(const TaskHash& hash, const ConnectionKey& peer) = 0;
    virtual uint32_t GetPeerVersion(const TaskHash& hash, const ConnectionKey& peer) = 0;
    virtual uint8_t HasPeerLargeBlocks(const TaskHash& hash, const ConnectionKey& peer) = 0;
    virtual uint8_t GetPeerFlagD(const TaskHash& hash, const ConnectionKey& peer) = 0;
    virtual uint32_t GetPeerCount(const TaskHash& hash) = 0;
    virtual bool HasPeerAt(const TaskHash& hash, uint32_t addr, uint16_t port) = 0;
    virtual int32_t GetPeerState(const TaskHash& hash, const ConnectionKey& peer) = 0;
    virtual bool SetPeerState(const TaskHash& hash, const ConnectionKey& peer, int32_t state) = 0;
    virtual void TickAllTasks() = 0;
    virtual bool TaskExists(const TaskHash& hash) = 0;
    virtual int GetRunState(const TaskHash& hash) = 0;
    virtual int GetBitfieldLength(const TaskHash& hash) = 0;
    virtual bool InitPeerBitfield(const TaskHash& hash, const ConnectionKey& peer) = 0;
    virtual int CountActiveDownloads() = 0;
    virtual uint32_t GetPieceLength(const TaskHash& hash) = 0;
    virtual uint32_t GetPieceCount(const TaskHash& hash) = 0;
    virtual bool PeerNeedsHave(const TaskHash& hash, const ConnectionKey& peer, uint32_t piece) = 0;
    virtual int QueryTaskInfo(const TaskHash& hash, TaskInfoRecord& record) = 0;
    virtual bool SetSequentialMode(const TaskHash& hash, uint32_t value) = 0;
    virtual bool SetReadPosition(const TaskHash& hash, int64_t position) = 0;
    virtual int64_t GetHaveLength(const TaskHash& hash, int64_t position) = 0;
    virtual int CreateDownloadTask(const TaskHash& hash, const std::string& destinationPath,
                                   const TaskHeader* details, bool highPriority, int loadMode) = 0;
    // `text` is the local file's full path, optionally followed by '|' and an extra text.
    virtual int CreateShareTask(const std::string& text, TaskHash& hashOut, const TaskHeader* details,
                                int loadMode) = 0;
    virtual int ControlTaskState(const TaskHash& hash, int code) = 0;
    virtual int SelectFiles(const TaskHash& hash, uint32_t count) = 0;
    virtual void StartAll() = 0;
    virtual void PauseAll() = 0;
    virtual bool SetUploadLimit(const TaskHash& hash, uint32_t bytesPerSecond) = 0;
    virtual int32_t GetTaskRateA(const TaskHash& hash) = 0;
    virtual int32_t GetTaskRateB(const TaskHash& hash) = 0;
    virtual uint8_t GetTaskKind(const TaskHash& hash) = 0;
    virtual int GetFreeRequestSlots(const TaskHash& hash, const ConnectionKey& peer) = 0;
    virtual int CancelRequest(const TaskHash& hash, const ConnectionKey& peer, uint32_t piece,
                              uint32_t offset, uint32_t length) = 0;
    virtual int CountDownloaded(const TaskHash& hash, const ConnectionKey& peer, int32_t bytes) = 0;
    virtual int CountUploaded(const TaskHash& hash, const ConnectionKey& peer, int32_t bytes) = 0;
    // The task's own caps (bytes per second, 0 = none; SetUploadLimit sets the upload cap) and
    // whether its clock holds its next message now.
    virtual bool IsDownloadPaced(const TaskHash& hash) = 0;
    virtual bool IsUploadPaced(const TaskHash& hash) = 0;
    virtual bool SetUploadPace(const TaskHash& hash, uint32_t bytesPerSecond) = 0;
    virtual bool SetDownloadPace(const TaskHash& hash, uint32_t bytesPerSecond) = 0;
    virtual bool ResetPace(const TaskHash& hash) = 0;
    virtual bool HasPaceLimit(const TaskHash& hash) = 0;
    virtual int32_t GetPeerRate(const TaskHash& hash, const ConnectionKey& peer) = 0;
    virtual bool SetSharedFlag(const TaskHash& hash, uint8_t value) = 0;
    virtual Ref<CTask> FindTaskByPath(const std::string& fullPath) = 0;
    virtual void AnnounceAllSources() = 0;
    virtual bool HasPeerWithId(const TaskHash& hash, std::span<const uint8_t, 20> id) = 0;
    // No reference is taken: valid only while the caller otherwise keeps the task alive.
    virtual CTask* PeekTask(const TaskHash& hash) = 0;
    virtual bool FindTask(const TaskHash& hash, Ref<CTask>& out) = 0;
    virtual bool IsHttpTask(const TaskHash& hash) = 0;
    virtual bool GetHttpHash(const TaskHash& hash, TaskHash& out) = 0;
    virtual bool LinkHttpJob(const TaskHash& hash, const TaskHash& job) = 0;
    virtual bool SetSourceUrl(const TaskHash& hash, const std::string& url) = 0;
    virtual bool ClearSourceUrl(const TaskHash& hash) = 0;
    virtual bool GetSourceUrl(const TaskHash& hash, std::string& out) = 0;
    virtual int64_t GetCreationTime(const TaskHash& hash) = 0;
};

}  // namespace tessali::core
