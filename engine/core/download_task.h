// CDownLoadTask: a task that fetches its content. On creation it decides from what it finds on
// disk (finished file, ".!mt" file, seed, resume record) whether to resume, start over, refuse, or
// hand the file to sharing; it takes its seed from peers when it has none, verifies and writes
// pieces through CTaskPieces, finishes its content file on completion and, when deleted, removes
// its files. The load runs before the task is visible; afterwards the setup fields below are only
// changed under the task lock and the resume record under the record lock.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "engine/core/content_files.h"
#include "engine/core/piece_storage.h"
#include "engine/core/resume_record.h"
#include "engine/core/seed.h"
#include "engine/core/task.h"
#include "engine/core/task_pieces.h"

namespace tessali::core {

class CDownLoadTask : public CTask, private IPieceStorage {
public:
    CDownLoadTask(const TaskHash& hash, const std::string& destinationPath);

    int Load(int mode) override;
    int64_t Read(std::span<uint8_t> out, uint32_t piece, uint32_t offset, bool countUpload) override;
    int64_t WritePiece(std::span<const uint8_t> data, uint32_t piece, uint32_t offset) override;
    void DeleteFiles(bool alsoFinished) override;
    void Tick() override;

    bool HasSeed() const override;
    std::vector<std::string> SeedTrackers() const override;
    bool HasContentFiles() const override;
    bool IsComplete() const override;
    uint32_t PieceLength() const override;
    uint32_t PieceCount() const override;
    int64_t TotalSize() const override;
    int64_t VerifiedBytes() const override;
    uint16_t FileCount() const override;
    Bitfield PieceBitfield() const override;
    size_t BitfieldLength() const override;

    bool StoreSeedData(std::span<const uint8_t> seed) override;
    std::optional<std::vector<uint8_t>> SeedBytes() const override;

    bool IsRequestedFrom(const ConnectionKey& peer, uint32_t piece, uint32_t offset) const override;
    int64_t PutBlock(const ConnectionKey& peer, std::span<const uint8_t> data, uint32_t piece,
                     uint32_t offset) override;
    bool PickRequest(const ConnectionKey& peer, int64_t& position, uint32_t& length) override;
    bool PickRequestSequential(const ConnectionKey& peer, int64_t& position, uint32_t& length) override;
    int CancelRequest(const ConnectionKey& peer, uint32_t piece, uint32_t offset, uint32_t length) override;
    int FreeRequestSlots(const ConnectionKey& peer) const override;
    int SelectFiles(uint32_t count) override;
    bool SetReadPosition(int64_t position) override;
    void ComputePieceLimit() override;
    void ReleasePeer(CPeer& peer) override;
    bool SetSequentialMode(bool on) override;

    // The pieces machinery, once the seed is known (null before).
    std::shared_ptr<CTaskPieces> Pieces() const;
    const std::string& Key() const { return m_key; }

private:
    ~CDownLoadTask() override;

    // IPieceStorage
    bool ExpectedPieceHash(uint32_t index, std::array<uint8_t, 20>& out) const override;
    int64_t WriteContent(int64_t position, std::span<const uint8_t> data, int& error) override;
    bool HasPiece(uint32_t index) const override;
    Bitfield HaveBitfield() const override;
    void RecordPiece(uint32_t index, int64_t length) override;
    bool RecordComplete() const override;
    void OnFirstComplete() override;
    std::string LogName() const override;

    bool TakeUpStoredSeed();
    // Builds the single content file; with `finished`, the existing file without suffix.
    bool InitFileList(bool finished);
    // Creates the unfinished content file, opens it and sets up the pieces (seed arrival).
    bool SetUpUnfinishedContent();
    void SetUpPieces();
    // A temporary file shorter than the content lost its bytes past its end: the record's
    // pieces there are dropped (and the record saved) before the file is extended again.
    void DropPiecesPastEnd(const std::string& tempPath);
    // Renames the content files when the loaded record is already complete (the process stopped
    // between the last piece and the rename); true when they carry their final names now.
    bool FinishIfComplete();
    // Gives every content file its final name; a failure is logged once and tried again on
    // each tick. True when they all carry their final names.
    bool FinishFiles();
    bool ContentFinished() const;
    // errno when the ".!mt" file on disk cannot be opened for reading and writing, else 0.
    static int TempFileUnusable(const std::string& tempPath);
    // A partial download that exists but cannot be used now (another owner's file, mode 000, no
    // descriptor left, no room to extend it) is kept with its seed and record: the task pauses
    // until it is started again. Logs why and answers 0.
    int KeepAndPause(const char* step, int error);
    int KeepAndPause(const std::string& path, const char* step, int error);
    // 0 when `path` opens for reading, else why not (errno).
    static int FileUnreadable(const std::string& path);
    void WipeFile(const std::string& path);
    bool SetAside(const std::string& path);
    void WipeSeedFile();
    bool CheckKey() const;

    const std::string m_key;
    std::mutex m_setupLock;  // seed arrival: one setup at a time
    CSeed m_seed;
    mutable std::mutex m_recordLock;
    CResumeRecord m_record;
    CContentFiles m_files;
    std::shared_ptr<CTaskPieces> m_pieces;
    uint32_t m_selectedFiles = 0;
    int m_contentError = 0;              // errno of the last content file that could not be made
    const char* m_contentStep = "made";  // ... and what could not be done to it
    bool m_finishFailed = false;         // the completion rename failed; under the task lock
};

}  // namespace tessali::core
