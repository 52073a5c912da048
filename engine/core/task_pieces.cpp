#include "engine/core/task_pieces.h"

#include <openssl/evp.h>
#include <x86intrin.h>

#include <algorithm>
#include <cstring>
#include <random>

#include "engine/core/engine_log.h"

namespace tessali::core {
namespace {

// Two 15-bit values combined, from a generator seeded once from the time-stamp counter.
uint32_t DefaultRandom() {
    static std::mutex lock;
    static std::mt19937 gen(static_cast<uint32_t>(__rdtsc()));
    std::lock_guard l(lock);
    uint32_t hi = gen() & 0x7FFF;
    uint32_t lo = gen() & 0x7FFF;
    return hi << 15 | lo;
}

bool BitSet(const std::vector<uint8_t>& bits, uint32_t i) {
    return i / 8 < bits.size() && (bits[i / 8] & (0x80u >> (i % 8))) != 0;
}

std::array<uint8_t, 20> Sha1(std::span<const uint8_t> data) {
    std::array<uint8_t, 20> out{};
    unsigned int len = 0;
    EVP_Digest(data.data(), data.size(), out.data(), &len, EVP_sha1(), nullptr);
    return out;
}

// Bytes one request to this peer asks for: four blocks for large-block peers over TCP.
uint32_t RequestBytes(const CPeer& peer) {
    return (peer.largeBlocks && !peer.viaUdp) ? 4 * kBlockSize : kBlockSize;
}

}  // namespace

CTaskPieces::CTaskPieces(int64_t totalSize, uint32_t pieceLength, uint32_t pieceCount, IPieceStorage& storage)
    : m_totalSize(totalSize),
      m_pieceLength(pieceLength),
      m_pieceCount(pieceCount),
      m_storage(storage),
      m_requested(pieceCount),
      m_pieceLimit(pieceCount),
      m_random(DefaultRandom) {}

uint32_t CTaskPieces::PieceSize(uint32_t index) const {
    int64_t rest = m_totalSize - int64_t{index} * m_pieceLength;
    return static_cast<uint32_t>(std::clamp<int64_t>(rest, 0, m_pieceLength));
}

void CTaskPieces::SetRandomSource(std::function<uint32_t()> source) {
    std::lock_guard lock(m_pieceLock);
    m_random = source ? std::move(source) : DefaultRandom;
}

void CTaskPieces::SetPeerCountSource(std::function<uint32_t()> source) {
    std::lock_guard lock(m_pieceLock);
    m_peerCount = std::move(source);
}

std::optional<uint32_t> CTaskPieces::NextIndex(const std::vector<uint8_t>& peerBits, bool sequentialForm) {
    if (peerBits.size() != m_requested.Size()) {
        if (!peerBits.empty()) {
            EngineLog(kLogError1, "GetNextIndex bitfield length err,%d %d!!\n",
                      static_cast<int>(m_requested.Size()), static_cast<int>(peerBits.size()));
        }
        return std::nullopt;
    }
    const uint32_t n = std::min(m_pieceLimit, m_pieceCount);
    if (n == 0) {
        return std::nullopt;
    }
    Bitfield have = m_storage.HaveBitfield();
    auto wanted = [&](uint32_t i) { return BitSet(peerBits, i) && !have.Test(i); };
    if (!sequentialForm) {
        uint32_t start =
            m_sequential ? static_cast<uint32_t>(m_readPosition / m_pieceLength) : m_random() % n;
        for (uint32_t i = start; i < n; ++i) {
            if (wanted(i) && !m_requested.Test(i)) {
                return i;
            }
        }
    }
    for (uint32_t i = 0; i < n; ++i) {
        if (wanted(i) && !m_requested.Test(i)) {
            return i;
        }
    }
    // End game: pieces already asked for are asked again.
    for (uint32_t i = 0; i < n; ++i) {
        if (wanted(i) && (!sequentialForm || m_requested.Test(i))) {
            return i;
        }
    }
    return std::nullopt;
}

std::optional<BlockRequest> CTaskPieces::Pick(CPeer& peer, bool sequentialForm) {
    std::vector<uint8_t> peerBits = peer.Bitfield();
    const uint32_t requestBytes = RequestBytes(peer);
    const platform::Tick now = platform::GetTick();
    std::lock_guard lock(m_pieceLock);
    // The room check and the record of the request happen under one hold of the request lock:
    // the peer thread and the housekeeping thread may schedule the same peer at once.
    std::lock_guard requestLock(m_requestLock);
    // Requests a peer never answered must not keep its queue full for good; their blocks were
    // freed for other peers long ago by the request time-out.
    peer.requests.TakeOlderThan(now, kUnansweredRequestMs);
    if (!peer.requests.HasRoom(requestBytes)) {
        return std::nullopt;
    }
    std::optional<uint32_t> index;
    // A piece already in progress goes first, so pieces complete and leave memory. Only
    // pieces the peer has are considered: asking it for others would just time out.
    for (const auto& [i, piece] : m_pieces) {
        if (piece->HasFreeBlock() && BitSet(peerBits, i) && !m_storage.HasPiece(i)) {
            index = i;
            break;
        }
    }
    if (!index) {
        index = NextIndex(peerBits, sequentialForm);
    }
    if (!index || *index >= m_pieceCount) {
        return std::nullopt;
    }
    Ref<CPiece> piece = FindPiece(*index);
    if (!piece) {
        // The cap counts what the pieces in progress can come to hold, not only what they
        // hold now: otherwise pieces opened while little had arrived could fill far past it.
        if (ReservedLocked() + PieceSize(*index) > kPiecesInProgressCap && !m_pieces.empty()) {
            // Pieces that no connected peer has cannot be finished; holding them would let the
            // cap stop a task that the peers here could complete.
            EvictUnreachableLocked();
            if (ReservedLocked() + PieceSize(*index) > kPiecesInProgressCap && !m_pieces.empty()) {
                return std::nullopt;
            }
        }
        piece = Ref<CPiece>::Make(*index, PieceSize(*index));
        m_pieces.emplace(*index, piece);
    }
    // In the end game a block already asked of this peer is not asked of it again.
    auto askedOfPeer = [&](uint32_t block) { return peer.requests.Covers(*index, block * kBlockSize); };
    CPiece::Pick pick;
    if (!piece->PickBlocks(requestBytes / kBlockSize, now, pick, askedOfPeer)) {
        return std::nullopt;
    }
    if (pick.fullyRequested) {
        m_requested.Set(*index);
    }
    BlockRequest req;
    req.piece = *index;
    req.begin = pick.firstBlock * kBlockSize;
    req.length = std::min<uint32_t>(pick.count * kBlockSize, piece->Length() - req.begin);
    peer.requests.Add(req.piece, req.begin, req.length, now);
    if (!peer.requests.HasRoom(requestBytes)) {
        peer.state = kPeerIdle;  // the queue is full until a block arrives
    }
    return req;
}

int64_t CTaskPieces::ReservedLocked() const {
    int64_t reserved = 0;
    for (const auto& [i, p] : m_pieces) {
        reserved += p->Length();
    }
    return reserved;
}

void CTaskPieces::EvictUnreachableLocked() {
    if (!m_pieceHeld) {
        return;
    }
    for (auto it = m_pieces.begin(); it != m_pieces.end();) {
        if (m_pieceHeld(it->first)) {
            ++it;
            continue;
        }
        EngineLog(kLogPlain6, "piece %d dropped from memory: no connected peer has it\n",
                  static_cast<int>(it->first));
        m_requested.Clear(it->first);
        it = m_pieces.erase(it);
    }
}

void CTaskPieces::SetPieceHolderSource(std::function<bool(uint32_t)> source) {
    std::lock_guard lock(m_pieceLock);
    m_pieceHeld = std::move(source);
}

std::optional<BlockRequest> CTaskPieces::PickRequest(CPeer& peer) {
    return Pick(peer, false);
}

std::optional<BlockRequest> CTaskPieces::PickRequestSequential(CPeer& peer) {
    return Pick(peer, true);
}

bool CTaskPieces::IsRequestedFrom(CPeer& peer, uint32_t piece, uint32_t begin, size_t length) const {
    if (piece + 1 != m_pieceCount && length % kBlockSize != 0) {
        return false;
    }
    std::lock_guard lock(m_requestLock);
    return peer.requests.Contains(piece, begin);
}

int64_t CTaskPieces::PutBlock(CPeer& peer, std::span<const uint8_t> data, uint32_t piece, uint32_t begin) {
    if (piece + 1 != m_pieceCount && data.size() % kBlockSize != 0) {
        return kPutStored;
    }
    {
        std::lock_guard lock(m_requestLock);
        if (!peer.requests.Take(piece, begin, true, platform::GetTick())) {
            return kPutStored;  // never asked, or a duplicate took the entry meanwhile
        }
        peer.state = kPeerActive;
    }
    if (m_storage.HasPiece(piece)) {
        return kPutStored;
    }
    std::unique_ptr<uint8_t[]> whole;
    uint32_t wholeLength = 0;
    {
        std::lock_guard lock(m_pieceLock);
        auto it = m_pieces.find(piece);
        if (it == m_pieces.end() || it->second->IsComplete()) {
            return kPutStored;
        }
        CPiece& p = *it->second;
        if (!p.HasBuffer() && p.Length() == m_pieceLength && !m_spareBuffers.empty()) {
            p.AdoptBuffer(std::move(m_spareBuffers.back()));
            m_spareBuffers.pop_back();
        }
        p.Store(begin, data);
        if (!p.IsComplete()) {
            return kPutStored;
        }
        // Out of the piece: hashing and writing run without the lock, and the piece may be
        // dropped meanwhile.
        wholeLength = p.Length();
        whole = p.TakeBuffer();
    }
    EngineLog(kLogInfo, "一片下载完毕,index:%d\n", static_cast<int>(piece));
    int64_t r = WritePiece(std::span<const uint8_t>(whole.get(), wholeLength), piece, 0);
    if (wholeLength == m_pieceLength) {
        std::lock_guard lock(m_pieceLock);
        if (m_spareBuffers.size() < kSpareBuffers) {
            m_spareBuffers.push_back(std::move(whole));
        }
    }
    return r < 0 ? kPutWriteFailed : kPutPieceWritten;
}

int64_t CTaskPieces::WritePiece(std::span<const uint8_t> data, uint32_t piece, uint32_t offset) {
    std::array<uint8_t, 20> expected{};
    if (piece >= m_pieceCount || !m_storage.ExpectedPieceHash(piece, expected) || Sha1(data) != expected) {
        EngineLog(kLogPlain, "Write file hash error,index: %d,len %d!!!\n", static_cast<int>(piece),
                  static_cast<int>(data.size()));
        std::lock_guard lock(m_pieceLock);
        m_requested.Clear(piece);
        DropPiece(piece);
        return 0;
    }
    int64_t position = int64_t{piece} * m_pieceLength + offset;
    int error = 0;
    int64_t written = -1;
    if (position + static_cast<int64_t>(data.size()) <= m_totalSize) {
        written = m_storage.WriteContent(position, data, error);
    } else {
        error = EINVAL;
    }
    if (written != static_cast<int64_t>(data.size())) {
        EngineLog(kLogError1, "写入失败:%s,%d!\n", m_storage.LogName().c_str(), error);
        std::lock_guard lock(m_pieceLock);
        DropPiece(piece);
        if (!m_storage.RecordComplete()) {
            m_requested.Clear(piece);
        }
        return -1;
    }
    if (!m_storage.HasPiece(piece)) {
        m_storage.RecordPiece(piece, static_cast<int64_t>(data.size()));
    }
    bool firstCompletion = false;
    {
        std::lock_guard lock(m_pieceLock);
        if (m_storage.RecordComplete() && m_firstCompletion) {
            m_firstCompletion = false;
            firstCompletion = true;
        }
    }
    if (firstCompletion) {
        m_storage.OnFirstComplete();
    }
    std::lock_guard lock(m_pieceLock);
    m_wantedPosition = WalkToMissing(m_wantedStart);
    if (m_pieces.count(piece) == 0) {
        EngineLog(kLogPlain6, "Not Fount Piece!index=%d\n", static_cast<int>(piece));
    } else {
        DropPiece(piece);
    }
    EngineLog(kLogPlain6, "############################Requst Piece Number:%d,Peer Num:%d\n",
              static_cast<int>(m_pieces.size()), static_cast<int>(m_peerCount ? m_peerCount() : 0));
    return static_cast<int64_t>(data.size());
}

int CTaskPieces::CancelRequest(CPeer& peer, uint32_t piece, uint32_t begin, uint32_t length) {
    {
        std::lock_guard lock(m_requestLock);
        if (peer.requests.Take(piece, begin, false, platform::GetTick()) && peer.state == kPeerIdle) {
            peer.state = kPeerActive;
        }
    }
    FreeBlocks(piece, begin, length);
    return 0;
}

void CTaskPieces::FreeBlocks(uint32_t piece, uint32_t begin, uint32_t length) {
    std::lock_guard lock(m_pieceLock);
    auto it = m_pieces.find(piece);
    if (it == m_pieces.end()) {
        return;
    }
    uint64_t end = std::min<uint64_t>(uint64_t{begin} + length, it->second->Length());
    for (uint64_t b = begin / kBlockSize; b * kBlockSize < end; ++b) {
        it->second->MarkFree(static_cast<uint32_t>(b));
    }
    m_requested.Clear(piece);
}

int CTaskPieces::FreeRequestSlots(const CPeer& peer) const {
    std::lock_guard lock(m_requestLock);
    int64_t free =
        int64_t{peer.requests.Depth(RequestBytes(peer))} - static_cast<int64_t>(peer.requests.Size());
    return static_cast<int>(std::max<int64_t>(free, 0));
}

size_t CTaskPieces::OutstandingRequests(const CPeer& peer) const {
    std::lock_guard lock(m_requestLock);
    return peer.requests.Size();
}

void CTaskPieces::ReleasePeer(CPeer& peer) {
    std::vector<OutstandingRequest> entries;
    {
        std::lock_guard lock(m_requestLock);
        entries = peer.requests.TakeAll();
    }
    for (const OutstandingRequest& e : entries) {
        FreeBlocks(e.piece, e.begin, e.length);
    }
}

void CTaskPieces::Tick() {
    platform::Tick now = platform::GetTick();
    std::lock_guard lock(m_pieceLock);
    for (auto it = m_pieces.begin(); it != m_pieces.end();) {
        if (m_storage.HasPiece(it->first)) {
            it = m_pieces.erase(it);
            continue;
        }
        if (!it->second->IsComplete() && it->second->ExpireRequests(now)) {
            m_requested.Clear(it->first);
        }
        ++it;
    }
}

void CTaskPieces::SetSequential(bool on) {
    std::lock_guard lock(m_pieceLock);
    m_sequential = on;
}

bool CTaskPieces::Sequential() const {
    std::lock_guard lock(m_pieceLock);
    return m_sequential;
}

std::optional<int64_t> CTaskPieces::FirstMissingFrom(int64_t start) const {
    if (start < 0 || start >= m_totalSize || m_pieceLength == 0) {
        return std::nullopt;
    }
    uint32_t i = static_cast<uint32_t>(start / m_pieceLength);
    while (i < m_pieceCount && m_storage.HasPiece(i)) {
        ++i;
    }
    int64_t position = int64_t{i} * m_pieceLength;
    if (position >= m_totalSize) {
        return std::nullopt;
    }
    return position;
}

int64_t CTaskPieces::WalkToMissing(int64_t start) const {
    return FirstMissingFrom(start).value_or(0);
}

bool CTaskPieces::SetReadPosition(int64_t position) {
    std::lock_guard lock(m_pieceLock);
    std::optional<int64_t> missing;
    if (m_sequential) {
        missing = FirstMissingFrom(position);
    }
    m_readPosition = missing.value_or(0);
    return missing.has_value();
}

int64_t CTaskPieces::ReadPosition() const {
    std::lock_guard lock(m_pieceLock);
    return m_readPosition;
}

int64_t CTaskPieces::WantedPosition() const {
    std::lock_guard lock(m_pieceLock);
    return m_wantedPosition;
}

void CTaskPieces::SetWantedStart(int64_t start) {
    std::lock_guard lock(m_pieceLock);
    m_wantedStart = start;
    m_wantedPosition = WalkToMissing(start);
}

void CTaskPieces::SetPieceLimit(uint32_t limit) {
    std::lock_guard lock(m_pieceLock);
    m_pieceLimit = std::min(limit, m_pieceCount);
}

uint32_t CTaskPieces::PieceLimit() const {
    std::lock_guard lock(m_pieceLock);
    return m_pieceLimit;
}

int64_t CTaskPieces::HaveLength(int64_t position) const {
    if (position < 0 || position >= m_totalSize || m_pieceLength == 0) {
        return 0;
    }
    uint32_t i = static_cast<uint32_t>(position / m_pieceLength);
    if (!m_storage.HasPiece(i)) {
        return 0;
    }
    while (i < m_pieceCount && m_storage.HasPiece(i)) {
        ++i;
    }
    return std::min<int64_t>(int64_t{i} * m_pieceLength, m_totalSize) - position;
}

int64_t CTaskPieces::BytesInProgressLocked() const {
    int64_t n = 0;
    for (const auto& [i, p] : m_pieces) {
        n += p->ReceivedBytes();
    }
    return n;
}

int64_t CTaskPieces::BytesInProgress() const {
    std::lock_guard lock(m_pieceLock);
    return BytesInProgressLocked();
}

size_t CTaskPieces::PiecesInProgress() const {
    std::lock_guard lock(m_pieceLock);
    return m_pieces.size();
}

Bitfield CTaskPieces::RequestedBitfield() const {
    std::lock_guard lock(m_pieceLock);
    return m_requested;
}

void CTaskPieces::ResetRequested() {
    std::lock_guard lock(m_pieceLock);
    m_requested = Bitfield(m_pieceCount);
}

Ref<CPiece> CTaskPieces::FindPiece(uint32_t index) const {
    auto it = m_pieces.find(index);
    return it == m_pieces.end() ? Ref<CPiece>() : it->second;
}

void CTaskPieces::DropPiece(uint32_t index) {
    m_pieces.erase(index);
}

}  // namespace tessali::core
