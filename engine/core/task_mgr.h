// CTaskMgr: the table of every task of the engine, keyed by hash, and the implementation of
// CTaskMgrInterFace. Three tables, three locks: the hash table (table lock), the folder table
// (folder lock) and the HTTP-linked set (HTTP-set lock). Lock order: folder before HTTP-set; the
// table lock is never held while the folder lock is taken. Lookups hand out counted references.
// The process uses one instance (TaskMgr()); tests build private ones.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "engine/core/task_factory.h"
#include "engine/core/task_mgr_interface.h"

namespace tessali::core {

class CTaskMgr : public CTaskMgrInterFace {
public:
    CTaskMgr();
    ~CTaskMgr() override;
    CTaskMgr(const CTaskMgr&) = delete;
    CTaskMgr& operator=(const CTaskMgr&) = delete;

    // Replaces the task factory (not owned); nullptr restores the engine's real one.
    void SetTaskFactory(ITaskFactory* factory);

    // ITaskPeers
    int AddPeer(const TaskHash& hash, const ConnectionKey& peer, const PeerAttributes& attributes) override;
    int RemovePeer(const TaskHash& hash, const ConnectionKey& peer) override;
    uint32_t GetPeerCount(const TaskHash& hash) override;
    bool HasPeerAt(const TaskHash& hash, uint32_t addr, uint16_t port) override;
    bool HasPeerWithId(const TaskHash& hash, std::span<const uint8_t, 20> id) override;
    int SetPeerBitfield(const TaskHash& hash, const ConnectionKey& peer,
                        std::span<const uint8_t> bits) override;
    int SetPeerHave(const TaskHash& hash, const ConnectionKey& peer, PieceIndex piece) override;
    bool InitPeerBitfield(const TaskHash& hash, const ConnectionKey& peer) override;
    bool PeerNeedsHave(const TaskHash& hash, const ConnectionKey& peer, PieceIndex piece) override;
    int SetPeerId(const TaskHash& hash, const ConnectionKey& peer, std::span<const uint8_t, 20> id) override;
    int GetPeerId(const TaskHash& hash, const ConnectionKey& peer, std::span<uint8_t, 20> id) override;
    int SetPeerKind(const TaskHash& hash, const ConnectionKey& peer, uint8_t kind) override;
    int GetPeerKind(const TaskHash& hash, const ConnectionKey& peer) override;
    uint8_t IsPeerViaUdp(const TaskHash& hash, const ConnectionKey& peer) override;
    uint32_t GetPeerVersion(const TaskHash& hash, const ConnectionKey& peer) override;
    uint8_t HasPeerLargeBlocks(const TaskHash& hash, const ConnectionKey& peer) override;
    int32_t GetPeerState(const TaskHash& hash, const ConnectionKey& peer) override;
    bool SetPeerState(const TaskHash& hash, const ConnectionKey& peer, int32_t state) override;
    bool PickRequestAt(const TaskHash& hash, const ConnectionKey& peer, BlockRange& out) override;
    bool PickRequest(const TaskHash& hash, const ConnectionKey& peer,
                     std::span<uint8_t, kRequestMessageBytes> out) override;
    int GetFreeRequestSlots(const TaskHash& hash, const ConnectionKey& peer) override;
    int CancelRequest(const TaskHash& hash, const ConnectionKey& peer, PieceIndex piece, BlockOffset offset,
                      uint32_t length) override;
    int64_t PutBlock(const TaskHash& hash, const ConnectionKey& peer, std::span<const uint8_t> data,
                     PieceIndex piece, BlockOffset offset) override;

    // ITaskStorage
    bool HasSeed(const TaskHash& hash) override;
    bool StoreSeedData(const TaskHash& hash, std::span<const uint8_t> seed) override;
    bool GetSeedBytes(const TaskHash& hash, std::span<uint8_t> buffer, size_t& length) override;
    uint32_t GetPieceLength(const TaskHash& hash) override;
    uint32_t GetPieceCount(const TaskHash& hash) override;
    int GetBitfieldLength(const TaskHash& hash) override;
    bool GetBitfield(const TaskHash& hash, std::span<uint8_t> buffer, size_t& length) override;
    bool IsComplete(const TaskHash& hash) override;
    int64_t WriteAt(const TaskHash& hash, std::span<const uint8_t> data, int64_t position) override;
    int64_t ReadAt(const TaskHash& hash, std::span<uint8_t> out, int64_t position, bool countUpload) override;
    bool SetSequentialMode(const TaskHash& hash, uint32_t value) override;
    bool SetReadPosition(const TaskHash& hash, int64_t position) override;
    int SelectFiles(const TaskHash& hash, uint32_t count) override;

    // ITaskRates
    int CountDownloaded(const TaskHash& hash, const ConnectionKey& peer, int32_t bytes) override;
    int CountUploaded(const TaskHash& hash, const ConnectionKey& peer, int32_t bytes) override;
    int32_t GetPeerRate(const TaskHash& hash, const ConnectionKey& peer) override;
    int32_t GetTaskRateA(const TaskHash& hash) override;
    int32_t GetTaskRateB(const TaskHash& hash) override;
    bool SetUploadLimit(const TaskHash& hash, uint32_t bytesPerSecond) override;
    bool SetUploadPace(const TaskHash& hash, uint32_t bytesPerSecond) override;
    bool SetDownloadPace(const TaskHash& hash, uint32_t bytesPerSecond) override;
    bool ResetPace(const TaskHash& hash) override;
    bool HasPaceLimit(const TaskHash& hash) override;
    bool IsDownloadPaced(const TaskHash& hash) override;
    bool IsUploadPaced(const TaskHash& hash) override;

    // ITaskControl
    bool TaskExists(const TaskHash& hash) override;
    bool FindTask(const TaskHash& hash, Ref<CTask>& out) override;
    CTask* PeekTask(const TaskHash& hash) override;
    Ref<CTask> FindTaskByPath(const std::string& fullPath) override;
    int GetRunState(const TaskHash& hash) override;
    int64_t GetCreationTime(const TaskHash& hash) override;
    int QueryTaskInfo(const TaskHash& hash, TaskInfoRecord& record) override;
    int CountActiveDownloads() override;
    int CreateDownloadTask(const TaskHash& hash, const std::string& destinationPath,
                           const TaskHeader* details, bool highPriority, int loadMode) override;
    int CreateShareTask(const std::string& text, TaskHash& hashOut, const TaskHeader* details,
                        int loadMode) override;
    int ControlTaskState(const TaskHash& hash, int code) override;
    void StartAll() override;
    void PauseAll() override;
    void TickAllTasks() override;

    // ITaskSources
    bool IsHttpTask(const TaskHash& hash) override;
    bool GetHttpHash(const TaskHash& hash, TaskHash& out) override;
    bool LinkHttpJob(const TaskHash& hash, const TaskHash& job) override;
    bool SetSourceUrl(const TaskHash& hash, const std::string& url) override;
    bool ClearSourceUrl(const TaskHash& hash) override;
    bool GetSourceUrl(const TaskHash& hash, std::string& out) override;
    bool SetSharedFlag(const TaskHash& hash, uint8_t value) override;
    void AnnounceAllSources() override;

    // Added by the task manager, not part of the interface.
    int RemoveTask(const TaskHash& hash);
    void FillTaskInfo(const Ref<CTask>& task, TaskInfoRecord& record);

    // Inserts a loaded task into the hash and folder tables (the last steps of task creation);
    // false when the hash is taken.
    bool InsertTask(const Ref<CTask>& task);
    // Counted references to every task, in hash order.
    std::vector<Ref<CTask>> AllTasks();
    size_t TaskCount();
    bool IsHttpLinkedHash(const TaskHash& hash);

private:
    Ref<CTask> Find(const TaskHash& hash);
    bool FindPeer(const TaskHash& hash, const ConnectionKey& key, Ref<CTask>& task, Ref<CPeer>& peer);
    ITaskFactory& Factory();

    std::mutex m_tableLock;
    std::map<TaskHash, Ref<CTask>> m_tasks;
    std::mutex m_folderLock;
    std::map<std::string, std::vector<Ref<CTask>>> m_folders;
    std::mutex m_httpLock;
    std::set<TaskHash> m_httpLinked;

    std::mutex m_factoryLock;
    ITaskFactory* m_factory = nullptr;
    std::unique_ptr<ITaskFactory> m_engineFactory;
};

// The process-wide task manager, created on first use; DestroyTaskMgr ends it (engine shut-down).
CTaskMgr& TaskMgr();
void DestroyTaskMgr();

// Installs the factory used by task managers that have none of their own (not owned); nullptr
// restores the engine's real one.
void SetDefaultTaskFactory(ITaskFactory* factory);

}  // namespace tessali::core
