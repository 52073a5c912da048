#include "engine/net/block_witness.h"

#include <algorithm>
#include <set>

namespace tessali::net {

void CBlockWitness::Record(uint32_t piece, uint32_t begin, const core::ConnectionKey& from,
                           std::span<const uint8_t> data) {
    if (!m_recording) {
        return;
    }
    if (m_pieces.size() >= kMaxPieces && m_pieces.count(piece) == 0) {
        m_pieces.erase(m_pieces.begin());
    }
    std::vector<Observation>& list = m_pieces[piece][begin];
    if (list.size() >= kMaxObservations) {
        list.erase(list.begin());
    }
    list.push_back({from, core::Sha1Of(data), static_cast<uint32_t>(data.size())});
}

std::vector<core::ConnectionKey> CBlockWitness::PieceFailed(uint32_t piece) {
    m_recording = true;
    std::set<core::ConnectionKey> liars;
    auto it = m_pieces.find(piece);
    if (it == m_pieces.end()) {
        return {};
    }
    for (auto& [begin, list] : it->second) {
        // A digest two different connections agree on is the block's true content.
        for (const Observation& a : list) {
            std::set<core::ConnectionKey> agree;
            for (const Observation& b : list) {
                if (b.digest == a.digest) {
                    agree.insert(b.from);
                }
            }
            if (agree.size() < 2) {
                continue;
            }
            for (const Observation& b : list) {
                if (b.digest != a.digest && agree.count(b.from) == 0) {
                    liars.insert(b.from);
                }
            }
            break;
        }
    }
    return {liars.begin(), liars.end()};
}

std::vector<core::ConnectionKey> CBlockWitness::PieceVerified(
    uint32_t piece, const std::function<bool(uint32_t begin, std::span<uint8_t>)>& read) {
    std::set<core::ConnectionKey> liars;
    auto it = m_pieces.find(piece);
    if (it == m_pieces.end()) {
        return {};
    }
    std::vector<uint8_t> block;
    for (auto& [begin, list] : it->second) {
        if (list.empty()) {
            continue;
        }
        block.resize(list.front().length);
        if (!read(begin, block)) {
            continue;
        }
        core::Sha1Digest truth = core::Sha1Of(block);
        for (const Observation& o : list) {
            if (o.length == block.size() && o.digest != truth) {
                liars.insert(o.from);
            }
        }
    }
    m_pieces.erase(it);
    return {liars.begin(), liars.end()};
}

}  // namespace tessali::net
