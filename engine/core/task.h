// CTask: one piece of content named by its hash, downloaded (CDownLoadTask) or shared
// (CUpLoadTask). This base holds what every task has (header, destination, run state, totals,
// rate counters, HTTP-source link); the subclasses add storage, pieces and the resume decision
// and override the content queries, whose defaults describe a task with no content yet.
// Thread safety: the header fields below are guarded by the task lock (TaskLock()); counters are atomic.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine/core/bitfield.h"
#include "engine/core/connection_key.h"
#include "engine/core/peer.h"
#include "engine/core/ref_counted.h"
#include "engine/core/task_hash.h"
#include "engine/core/task_pace.h"

namespace tessali::core {

enum RunState : uint8_t { kRunRunning = 1, kRunPaused = 2, kRunDeleting = 3 };
enum TaskKind : uint8_t { kKindDownload = 1, kKindShareNative = 3, kKindShareForeign = 4 };
constexpr uint8_t kFlagCheckKey = 2;

// Setting byte positions of the task header.
enum SettingByte : size_t {
    kSetUpload = 0,
    kSetOne = 1,
    kSetTwo = 2,
    kSetRunState = 3,
    kSetKind = 4,
    kSetFlags = 5
};

// The task header; also the optional creation details given to CreateDownloadTask/CreateShareTask.
struct TaskHeader {
    std::string path;    // destination path, UTF-8
    std::string second;  // a second narrow text carried with the header
    TaskHash hash;
    uint32_t creationTime = 0;
    std::array<uint8_t, 6> settings{0, 35, 100, kRunRunning, kKindDownload, 0};
};

uint64_t NowSeconds();

class CTask : public RefCountedObject {
public:
    CTask(const TaskHash& hash, const std::string& destinationPath);

    // The resume decision (download task) or share preparation; 0, 1 (complete) or negative.
    virtual int Load(int mode) = 0;
    // Reads `out.size()` bytes of piece `piece` at `offset`; bytes read or -1.
    virtual int64_t Read(std::span<uint8_t> out, uint32_t piece, uint32_t offset, bool countUpload) = 0;
    // Stores a block of piece `piece` at `offset`; bytes taken or -1.
    virtual int64_t WritePiece(std::span<const uint8_t> data, uint32_t piece, uint32_t offset) = 0;
    // Called when the task leaves the table (share tasks delete their seed and resume record).
    virtual void OnRemoved() {}
    // Deletes the seed, the resume record and temporary files; finished files too when asked.
    virtual void DeleteFiles(bool alsoFinished) {}
    // The periodic step of TickAllTasks (request time-outs).
    virtual void Tick() {}

    // Content queries; the defaults describe a task whose seed has not arrived.
    virtual bool HasSeed() const { return false; }
    virtual bool HasContentFiles() const { return false; }
    virtual bool IsComplete() const { return false; }
    virtual uint32_t PieceLength() const { return 0; }
    virtual uint32_t PieceCount() const { return 0; }
    virtual int64_t TotalSize() const { return 0; }
    virtual int64_t VerifiedBytes() const { return 0; }
    virtual uint16_t FileCount() const { return 0; }
    virtual Bitfield PieceBitfield() const { return {}; }
    virtual size_t BitfieldLength() const { return 0; }
    virtual uint32_t PeerCount() const { return m_peers.Count(); }

    // Seed arrival from peers and the raw seed bytes.
    virtual bool StoreSeedData(std::span<const uint8_t> seed) { return false; }
    virtual std::optional<std::vector<uint8_t>> SeedBytes() const { return std::nullopt; }
    // The announce URLs of the task's seed once its content is set up; empty before.
    virtual std::vector<std::string> SeedTrackers() const { return {}; }

    // Request bookkeeping and block intake (pieces and piece selection).
    virtual bool IsRequestedFrom(const ConnectionKey& peer, uint32_t piece, uint32_t offset) const {
        return false;
    }
    virtual int64_t PutBlock(const ConnectionKey& peer, std::span<const uint8_t> data, uint32_t piece,
                             uint32_t offset) {
        return -1;
    }
    // Absolute content position and length of the next block to ask `peer` for.
    virtual bool PickRequest(const ConnectionKey& peer, int64_t& position, uint32_t& length) { return false; }
    // The same with the sequential picker (lowest wanted piece first).
    virtual bool PickRequestSequential(const ConnectionKey& peer, int64_t& position, uint32_t& length) {
        return false;
    }
    virtual int CancelRequest(const ConnectionKey& peer, uint32_t piece, uint32_t offset, uint32_t length) {
        return -1;
    }
    virtual int FreeRequestSlots(const ConnectionKey& peer) const { return 0; }
    // 2 when the task has fewer than `count` files, else 0 after narrowing the wanted range.
    virtual int SelectFiles(uint32_t count) { return 2; }
    virtual bool SetReadPosition(int64_t position) { return false; }
    // Recomputes how many pieces may be in progress at once (memory cap).
    virtual void ComputePieceLimit() {}
    // The peer left: its outstanding requests are released.
    virtual void ReleasePeer(CPeer& peer) {}

    // The task's peers, one per connection; created and destroyed with the task.
    CPeerGroup& Peers() { return m_peers; }
    const CPeerGroup& Peers() const { return m_peers; }

    const TaskHash& Hash() const { return m_hash; }
    // Folder (with trailing '/') and name, split at the last '/' of the destination path.
    const std::string& Folder() const { return m_folder; }
    const std::string& Name() const { return m_name; }
    std::string FullPath() const { return m_folder + m_name; }

    std::mutex& TaskLock() const { return m_taskLock; }

    uint8_t RunState() const { return m_runState.load(); }
    void SetRunState(uint8_t state) { m_runState.store(state); }
    // Start: when not running, stamp the start time and run.
    virtual void Start();
    void Pause() { SetRunState(kRunPaused); }
    uint8_t Kind() const;
    void SetKind(uint8_t kind);

    TaskHeader Header() const;
    // Replaces the header with creation details and stamps the start time (the hash stays).
    void ApplyCreationDetails(const TaskHeader& details);
    std::array<uint8_t, 6> Settings() const;
    uint32_t CreationTime() const;
    uint64_t StartTime() const { return m_startTime.load(); }

    bool HighPriority() const { return m_highPriority.load(); }
    void SetHighPriority(bool v) { m_highPriority.store(v); }
    uint8_t SharedFlag() const { return m_shared.load(); }
    void SetSharedFlag(uint8_t v) { m_shared.store(v); }

    // Totals and rate-window counters (bytes); see the rate counting of the message pool.
    std::atomic<int64_t> uploadedTotal{0};
    std::atomic<int64_t> downloadedTotal{0};
    std::atomic<int32_t> uploadRateCount{0};
    std::atomic<int32_t> downloadRateCount{0};

    // The task's own transfer caps and their clocks (the peer layer's pacing pass uses them).
    CTaskPace& Pace() { return m_pace; }
    const CTaskPace& Pace() const { return m_pace; }

    // HTTP-source link.
    bool IsHttpTask() const;
    void SetSourceUrl(const std::string& url);
    void ClearSourceUrl();
    std::optional<std::string> SourceUrl() const;
    void LinkHttpJob(const TaskHash& job);
    bool IsHttpLinked() const;
    TaskHash HttpJobHash() const;

    // Sequential mode: pieces are picked from the read position instead of at random.
    virtual bool SetSequentialMode(bool on);
    bool SequentialMode() const { return m_sequential.load(); }

protected:
    ~CTask() override;
    // A share task learns its hash from its seed during its load, before anyone else sees it.
    void SetHash(const TaskHash& hash);

    mutable std::mutex m_taskLock;
    TaskHeader m_header;
    CPeerGroup m_peers;

private:
    CTaskPace m_pace;
    TaskHash m_hash;
    std::string m_folder;
    std::string m_name;
    std::atomic<uint8_t> m_runState{kRunRunning};
    std::atomic<uint64_t> m_startTime;
    std::atomic<bool> m_highPriority{false};
    std::atomic<uint8_t> m_shared{0};
    std::atomic<bool> m_sequential{false};

    // guarded by m_taskLock
    bool m_httpFlag = false;
    bool m_httpLinked = false;
    TaskHash m_httpJob;
    std::string m_sourceUrl;
};

}  // namespace tessali::core
