// CTaskPieces: the pieces in progress of one download task and every decision about them — which
// piece and block to ask a peer for next ("GetNextIndex" and the block picker), each peer's queue
// of outstanding requests, taking blocks in, verifying a whole piece by SHA-1 and writing it, request
// time-outs, the wanted and read positions and the 30 MiB cap on memory in progress.
// Thread safety: the piece map, requested bitfield and positions are under the piece lock; the
// peers' request slots under the request lock (taken after the piece lock when both are needed).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "engine/core/bitfield.h"
#include "engine/core/peer.h"
#include "engine/core/piece.h"
#include "engine/core/piece_storage.h"

namespace tessali::core {

struct BlockRequest {
    uint32_t piece = 0;
    uint32_t begin = 0;
    uint32_t length = 0;
};

// A request still unanswered after this long is forgotten by its peer's queue.
constexpr uint32_t kUnansweredRequestMs = 60000;

enum PutBlockResult : int64_t { kPutWriteFailed = -1, kPutStored = 0, kPutPieceWritten = 1 };

class CTaskPieces {
public:
    CTaskPieces(int64_t totalSize, uint32_t pieceLength, uint32_t pieceCount, IPieceStorage& storage);
    CTaskPieces(const CTaskPieces&) = delete;
    CTaskPieces& operator=(const CTaskPieces&) = delete;

    int64_t TotalSize() const { return m_totalSize; }
    uint32_t PieceLength() const { return m_pieceLength; }
    uint32_t PieceCount() const { return m_pieceCount; }
    // The length of piece `index` (the last piece may be shorter).
    uint32_t PieceSize(uint32_t index) const;

    // Replaces the random start of the piece picker (tests); returns any 32-bit number.
    void SetRandomSource(std::function<uint32_t()> source);

    // The next request for `peer` (random-start picker); nothing when no block is wanted from it
    // or its queue of outstanding requests is full. The request is recorded in that queue.
    std::optional<BlockRequest> PickRequest(CPeer& peer);
    // The same with the sequential picker, as an absolute content position and length.
    std::optional<BlockRequest> PickRequestSequential(CPeer& peer);
    // True when (piece, begin) is one of the peer's outstanding requests.
    bool IsRequestedFrom(CPeer& peer, uint32_t piece, uint32_t begin, size_t length) const;
    // A block from `peer`: kPutPieceWritten when it completed and wrote its piece, kPutStored when
    // stored or ignored, kPutWriteFailed when the piece write failed. Unrequested blocks answer
    // kPutStored and change nothing.
    int64_t PutBlock(CPeer& peer, std::span<const uint8_t> data, uint32_t piece, uint32_t begin);
    // The piece write: verify, write, record. Length on success, 0 on hash mismatch, -1 on failure.
    int64_t WritePiece(std::span<const uint8_t> data, uint32_t piece, uint32_t offset);
    // Releases a request so its blocks are wanted again.
    int CancelRequest(CPeer& peer, uint32_t piece, uint32_t begin, uint32_t length);
    // How many more requests the peer's queue takes now (a hint: the pick itself decides).
    int FreeRequestSlots(const CPeer& peer) const;
    size_t OutstandingRequests(const CPeer& peer) const;
    // Forgets a peer's outstanding requests (the peer is gone); its blocks become free again.
    void ReleasePeer(CPeer& peer);

    // Periodic step: drops pieces already verified, frees stale requested blocks.
    void Tick();

    void SetSequential(bool on);
    bool Sequential() const;
    bool SetReadPosition(int64_t position);
    int64_t ReadPosition() const;
    int64_t WantedPosition() const;
    // Sets the start of the wanted walk and recomputes the wanted position.
    void SetWantedStart(int64_t start);
    // Pieces at or past the limit are never picked (default: every piece).
    void SetPieceLimit(uint32_t limit);
    uint32_t PieceLimit() const;
    // Verified bytes from `position` on, while pieces are present; 0 when its piece is missing.
    int64_t HaveLength(int64_t position) const;

    // Bytes received in all pieces in progress, and how many there are.
    int64_t BytesInProgress() const;
    size_t PiecesInProgress() const;
    Bitfield RequestedBitfield() const;
    // Called after the resume record was (re)loaded: the requested bitfield starts empty.
    void ResetRequested();
    // The peer count shown in a log line after each piece write.
    void SetPeerCountSource(std::function<uint32_t()> source);
    // Whether some connected peer has piece `index`; pieces in progress that none has are
    // dropped when they would keep the memory cap from starting a piece. Called under the piece
    // lock: it may take the peer group's and peers' locks, never this object's.
    void SetPieceHolderSource(std::function<bool(uint32_t)> source);

private:
    std::optional<uint32_t> NextIndex(const std::vector<uint8_t>& peerBits, bool sequential);
    std::optional<BlockRequest> Pick(CPeer& peer, bool sequential);
    Ref<CPiece> FindPiece(uint32_t index) const;
    void DropPiece(uint32_t index);
    int64_t BytesInProgressLocked() const;
    // Start of the first missing piece at or after `start`; nothing when none is missing there.
    std::optional<int64_t> FirstMissingFrom(int64_t start) const;
    // The same with 0 for "none missing" (the wanted position's convention).
    int64_t WalkToMissing(int64_t start) const;
    int64_t ReservedLocked() const;
    void EvictUnreachableLocked();
    void FreeBlocks(uint32_t piece, uint32_t begin, uint32_t length);

    const int64_t m_totalSize;
    const uint32_t m_pieceLength;
    const uint32_t m_pieceCount;
    IPieceStorage& m_storage;

    mutable std::mutex m_pieceLock;
    std::map<uint32_t, Ref<CPiece>> m_pieces;
    // Buffers of written pieces kept for the next pieces: a fresh piece-sized allocation is a new
    // mapping whose every page faults in on the first copy.
    static constexpr size_t kSpareBuffers = 2;
    std::vector<std::unique_ptr<uint8_t[]>> m_spareBuffers;
    Bitfield m_requested;
    bool m_sequential = false;
    int64_t m_readPosition = 0;
    int64_t m_wantedStart = 0;
    int64_t m_wantedPosition = 0;
    uint32_t m_pieceLimit;
    bool m_firstCompletion = true;
    std::function<uint32_t()> m_random;
    std::function<uint32_t()> m_peerCount;
    std::function<bool(uint32_t)> m_pieceHeld;

    mutable std::mutex m_requestLock;
};

}  // namespace tessali::core
