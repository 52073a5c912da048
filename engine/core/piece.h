// CPiece: one piece in progress, held in one buffer of the piece's length that its 16 KiB blocks
// are copied into as they arrive; once every block is there the buffer is taken out, hashed and
// written whole. Guarded by the owning task's piece lock.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "engine/core/ref_counted.h"
#include "engine/platform/tick.h"

namespace tessali::core {

constexpr uint32_t kBlockSize = 16384;
// A new piece is only started while the pieces in progress of a task hold less than this.
constexpr int64_t kPiecesInProgressCap = 31457280;  // 30 MiB
// A requested block that has not arrived after this long may be asked for again.
constexpr uint32_t kRerequestMs = 9000;

enum BlockState : uint8_t { kBlockFree = 0, kBlockReceived = 1, kBlockRequested = 2 };

class CPiece : public RefCountedObject {
public:
    CPiece(uint32_t index, uint32_t length);

    uint32_t Index() const { return m_index; }
    uint32_t Length() const { return m_length; }
    uint32_t BlockCount() const { return static_cast<uint32_t>(m_blocks.size()); }
    uint32_t BlockLength(uint32_t block) const;

    BlockState State(uint32_t block) const { return m_blocks[block].state; }
    platform::Tick RequestTime(uint32_t block) const { return m_blocks[block].requestTime; }
    void MarkRequested(uint32_t block, platform::Tick now);
    void MarkFree(uint32_t block);
    bool HasFreeBlock() const;
    bool IsComplete() const;
    // Bytes received: the real length of every received block.
    int64_t ReceivedBytes() const;

    // Copies the 16 KiB parts of `data` starting at block `firstBlock` into blocks that have no
    // data yet; false (nothing stored) when the range would run past the piece.
    bool Store(uint32_t begin, std::span<const uint8_t> data);
    // Whether the piece has its buffer yet (it gets one with its first block).
    bool HasBuffer() const { return m_data != nullptr; }
    // Gives the piece a buffer of Length() bytes to fill (a recycled one), before its first block.
    void AdoptBuffer(std::unique_ptr<uint8_t[]> buffer);
    // The received bytes so far, Length() of them (what no block filled yet is undefined).
    std::span<const uint8_t> Data() const;
    // Takes the buffer out of a complete piece; the piece keeps its block states.
    std::unique_ptr<uint8_t[]> TakeBuffer();

    struct Pick {
        uint32_t firstBlock = 0;
        uint32_t count = 0;
        bool fullyRequested = false;
    };
    // The block picker: a run of up to `wanted` blocks starting at a free block (continuing over
    // free or stale-requested ones), else the end-game re-request of one block; the end game
    // skips blocks for which `skip` answers true (already asked of the same peer).
    bool PickBlocks(uint32_t wanted, platform::Tick now, Pick& out,
                    const std::function<bool(uint32_t)>& skip = {});
    // Puts requested blocks older than the re-request time back to free; true when any did.
    bool ExpireRequests(platform::Tick now);

private:
    ~CPiece() override;

    struct Block {
        BlockState state = kBlockFree;
        platform::Tick requestTime = 0;
    };
    bool IsStale(const Block& b, platform::Tick now) const;

    const uint32_t m_index;
    const uint32_t m_length;
    std::vector<Block> m_blocks;
    std::unique_ptr<uint8_t[]> m_data;  // Length() bytes once the first block arrived
};

}  // namespace tessali::core
