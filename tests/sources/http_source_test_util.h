// Helpers shared by the HTTP-source tests: a task that records the pieces written into it (and,
// for the tests that include only this, the shared wait helper).
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "common/wait_until.h"
#include "engine/core/bitfield.h"
#include "engine/core/task.h"

namespace tessali::test {

// A download task of `pieces` pieces of `pieceLength` bytes whose written pieces are kept in memory.
class PieceRecordingTask : public core::CTask {
public:
    PieceRecordingTask(const core::TaskHash& hash, const std::string& path, uint32_t pieceLength,
                       uint32_t pieces, int64_t total)
        : CTask(hash, path), m_pieceLength(pieceLength), m_pieces(pieces), m_total(total), m_have(pieces) {}

    int Load(int) override { return 0; }
    int64_t Read(std::span<uint8_t> out, uint32_t, uint32_t, bool) override { return -1; }
    int64_t WritePiece(std::span<const uint8_t> data, uint32_t piece, uint32_t offset) override {
        std::lock_guard lock(m_lock);
        if (piece >= m_pieces || offset != 0) {
            return -1;
        }
        written[piece].assign(data.begin(), data.end());
        m_have.Set(piece);
        return static_cast<int64_t>(data.size());
    }
    void MarkHave(uint32_t piece) {
        std::lock_guard lock(m_lock);
        m_have.Set(piece);
    }
    bool HasContentFiles() const override { return true; }
    uint32_t PieceLength() const override { return m_pieceLength; }
    uint32_t PieceCount() const override { return m_pieces; }
    int64_t TotalSize() const override { return m_total; }
    core::Bitfield PieceBitfield() const override {
        std::lock_guard lock(m_lock);
        return m_have;
    }
    size_t BitfieldLength() const override { return (m_pieces + 7) / 8; }

    std::map<uint32_t, std::vector<uint8_t>> written;

private:
    ~PieceRecordingTask() override = default;
    mutable std::mutex m_lock;
    uint32_t m_pieceLength;
    uint32_t m_pieces;
    int64_t m_total;
    core::Bitfield m_have;
};

}  // namespace tessali::test
