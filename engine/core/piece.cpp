#include "engine/core/piece.h"

#include <algorithm>
#include <cstring>

#include "engine/core/engine_log.h"

namespace tessali::core {

using platform::Tick;
using platform::TickElapsed;

CPiece::CPiece(uint32_t index, uint32_t length)
    : m_index(index),
      m_length(length),
      m_blocks((static_cast<size_t>(length) + kBlockSize - 1) / kBlockSize) {
    EngineLog(kLogPlain6, "*********************New Piece %d\n", static_cast<int>(index));
}

CPiece::~CPiece() {
    EngineLog(kLogPlain6, "CPiece::~CPiece() Delete Piece %d\n", static_cast<int>(m_index));
}

uint32_t CPiece::BlockLength(uint32_t block) const {
    uint64_t begin = uint64_t{block} * kBlockSize;
    return static_cast<uint32_t>(std::min<uint64_t>(kBlockSize, m_length - begin));
}

void CPiece::MarkRequested(uint32_t block, Tick now) {
    m_blocks[block].state = kBlockRequested;
    m_blocks[block].requestTime = now;
}

void CPiece::MarkFree(uint32_t block) {
    if (m_blocks[block].state == kBlockRequested) {
        m_blocks[block].state = kBlockFree;
    }
}

bool CPiece::HasFreeBlock() const {
    return std::any_of(m_blocks.begin(), m_blocks.end(),
                       [](const Block& b) { return b.state == kBlockFree; });
}

bool CPiece::IsComplete() const {
    return std::all_of(m_blocks.begin(), m_blocks.end(),
                       [](const Block& b) { return b.state == kBlockReceived; });
}

int64_t CPiece::ReceivedBytes() const {
    int64_t n = 0;
    for (uint32_t i = 0; i < BlockCount(); ++i) {
        if (m_blocks[i].state == kBlockReceived) {
            n += BlockLength(i);
        }
    }
    return n;
}

bool CPiece::Store(uint32_t begin, std::span<const uint8_t> data) {
    if (begin % kBlockSize != 0 || uint64_t{begin} + data.size() > m_length) {
        return false;
    }
    uint32_t block = begin / kBlockSize;
    size_t done = 0;
    while (done < data.size() && block < BlockCount()) {
        uint32_t len = std::min<uint32_t>(BlockLength(block), static_cast<uint32_t>(data.size() - done));
        Block& b = m_blocks[block];
        // Only a whole block counts as received; a shorter tail part of a block is dropped.
        if (len == BlockLength(block) && b.state != kBlockReceived) {
            if (!m_data) {
                // Not zeroed: every byte is copied in before the piece counts as complete.
                m_data = std::make_unique_for_overwrite<uint8_t[]>(m_length);
            }
            std::memcpy(m_data.get() + size_t{block} * kBlockSize, data.data() + done, len);
            b.state = kBlockReceived;
        }
        done += len;
        ++block;
    }
    return true;
}

void CPiece::AdoptBuffer(std::unique_ptr<uint8_t[]> buffer) {
    if (!m_data) {
        m_data = std::move(buffer);
    }
}

std::span<const uint8_t> CPiece::Data() const {
    return m_data ? std::span<const uint8_t>(m_data.get(), m_length) : std::span<const uint8_t>();
}

std::unique_ptr<uint8_t[]> CPiece::TakeBuffer() {
    return std::move(m_data);
}

bool CPiece::IsStale(const Block& b, Tick now) const {
    return b.state == kBlockRequested && TickElapsed(now, b.requestTime) > kRerequestMs;
}

bool CPiece::PickBlocks(uint32_t wanted, Tick now, Pick& out, const std::function<bool(uint32_t)>& skip) {
    const uint32_t n = BlockCount();
    uint32_t bestStart = 0;
    uint32_t bestLen = 0;
    for (uint32_t i = 0; i < n; ++i) {
        if (m_blocks[i].state != kBlockFree) {
            continue;
        }
        uint32_t len = 0;
        while (i + len < n && len < wanted &&
               (m_blocks[i + len].state == kBlockFree || IsStale(m_blocks[i + len], now))) {
            ++len;
        }
        if (len > bestLen) {
            bestStart = i;
            bestLen = len;
        }
        i += len - 1;
    }
    if (bestLen > 0) {
        for (uint32_t i = bestStart; i < bestStart + bestLen; ++i) {
            MarkRequested(i, now);
        }
        out = {bestStart, bestLen, !HasFreeBlock()};
        return true;
    }
    // End game: every block is requested or received.
    auto skipped = [&](uint32_t i) { return skip && skip(i); };
    for (uint32_t i = 0; i < n; ++i) {
        if (IsStale(m_blocks[i], now) && !skipped(i)) {
            bool laterStale = false;
            for (uint32_t j = i + 1; j < n; ++j) {
                laterStale = laterStale || IsStale(m_blocks[j], now);
            }
            MarkRequested(i, now);
            out = {i, 1, !laterStale};
            return true;
        }
    }
    int64_t oldest = -1;
    uint32_t oldestAge = 0;
    for (uint32_t i = 0; i < n; ++i) {
        if (m_blocks[i].state == kBlockRequested && !skipped(i)) {
            uint32_t age = TickElapsed(now, m_blocks[i].requestTime);
            if (oldest < 0 || age > oldestAge) {
                oldest = i;
                oldestAge = age;
            }
        }
    }
    if (oldest < 0) {
        return false;  // every block is received, or already asked of this peer
    }
    MarkRequested(static_cast<uint32_t>(oldest), now);
    out = {static_cast<uint32_t>(oldest), 1, true};
    return true;
}

bool CPiece::ExpireRequests(Tick now) {
    bool any = false;
    for (Block& b : m_blocks) {
        if (IsStale(b, now)) {
            b.state = kBlockFree;
            any = true;
        }
    }
    return any;
}

}  // namespace tessali::core
