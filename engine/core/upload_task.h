// CUpLoadTask: a complete local file made available to other peers. Its load builds or loads a
// seed for the file, takes the task hash from it (native seeds: SHA-1 of the piece hashes; others:
// the BitTorrent info hash), marks every piece present and opens the file as finished content.
// It never downloads. Like every task, its setup happens in the load, before anyone else sees it.
#pragma once

#include <string>

#include "engine/core/content_files.h"
#include "engine/core/resume_record.h"
#include "engine/core/seed.h"
#include "engine/core/task.h"

namespace tessali::core {

class ITaskControl;

class CUpLoadTask : public CTask {
public:
    // `path`: the local file; `extraText`: the ad URL written into a seed built for it. The task
    // manager is asked whether the hash is already taken.
    CUpLoadTask(const std::string& path, const std::string& extraText, ITaskControl& taskMgr);

    int Load(int mode) override;
    int64_t Read(std::span<uint8_t> out, uint32_t piece, uint32_t offset, bool countUpload) override;
    int64_t WritePiece(std::span<const uint8_t> data, uint32_t piece, uint32_t offset) override { return -1; }
    // Leaving the table: the seed file and resume record go (the shared file itself stays).
    void OnRemoved() override;

    bool HasSeed() const override { return true; }
    bool HasContentFiles() const override { return m_ready; }
    bool IsComplete() const override { return m_ready; }
    uint32_t PieceLength() const override { return m_seed.PieceLength(); }
    uint32_t PieceCount() const override { return m_seed.PieceCount(); }
    int64_t TotalSize() const override { return m_seed.TotalLength(); }
    int64_t VerifiedBytes() const override { return m_ready ? m_seed.TotalLength() : 0; }
    uint16_t FileCount() const override { return static_cast<uint16_t>(m_files.Count()); }
    Bitfield PieceBitfield() const override { return m_record.Pieces(); }
    size_t BitfieldLength() const override { return m_record.BitfieldLength(); }
    std::optional<std::vector<uint8_t>> SeedBytes() const override;

private:
    ~CUpLoadTask() override = default;
    bool BuildSeed();

    const std::string m_extraText;
    ITaskControl& m_taskMgr;
    const std::string m_key;
    CSeed m_seed;
    CResumeRecord m_record;
    CContentFiles m_files;
    bool m_ready = false;
};

}  // namespace tessali::core
