// CBlockWitness: finds the peer that sends wrong block data. A piece is only checked whole, so a
// failed piece does not say whose block was bad. Once a task has seen a failed piece, the digest
// of every block received for it is kept with the connection that sent it; a peer is named a
// liar when its block disagrees with the same block from two other peers that agree, or with
// the data of the piece once it has passed its check. Used on the peer thread only; bounded.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <span>
#include <vector>

#include "engine/core/connection_key.h"
#include "engine/core/sha1.h"

namespace tessali::net {

class CBlockWitness {
public:
    // Recording starts after the first failed piece: until then nothing is hashed.
    bool Recording() const { return m_recording; }
    void Record(uint32_t piece, uint32_t begin, const core::ConnectionKey& from,
                std::span<const uint8_t> data);
    // The piece failed its check: the liars a vote among the recorded blocks can name.
    std::vector<core::ConnectionKey> PieceFailed(uint32_t piece);
    // The piece passed: the peers whose recorded blocks differ from the verified content.
    // `read` fills the block at `begin` (its length is the recorded block's) and answers success.
    std::vector<core::ConnectionKey> PieceVerified(
        uint32_t piece, const std::function<bool(uint32_t begin, std::span<uint8_t>)>& read);
    size_t PiecesTracked() const { return m_pieces.size(); }

private:
    struct Observation {
        core::ConnectionKey from;
        core::Sha1Digest digest;
        uint32_t length;
    };
    static constexpr size_t kMaxPieces = 1024;
    static constexpr size_t kMaxObservations = 8;

    bool m_recording = false;
    std::map<uint32_t, std::map<uint32_t, std::vector<Observation>>> m_pieces;
};

}  // namespace tessali::net
