#include "engine/net/msg_handle.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "engine/core/engine_env.h"
#include "engine/core/engine_log.h"
#include "engine/core/peer_id.h"
#include "engine/core/protocol_link.h"
#include "engine/core/task.h"
#include "engine/net/dispatch.h"
#include "engine/platform/thread.h"

namespace tessali::net {
namespace {

using core::ConnectionKey;
using core::EngineLog;
using core::TaskHash;

TaskHash HashAt(const uint8_t* p) {
    TaskHash h;
    std::memcpy(h.bytes.data(), p, 20);
    return h;
}

std::string Addr(const ConnectionKey& key) {
    return core::AddressText(key.addr);
}
unsigned Port(const ConnectionKey& key) {
    return ntohs(key.port);
}

bool IdStartsWith(std::span<const uint8_t, 20> id, const char* prefix) {
    return std::memcmp(id.data(), prefix, std::strlen(prefix)) == 0;
}

// The block a request message (length, id, piece, offset, length) asks for.
core::PieceIndex RequestedPiece(const uint8_t* request) {
    return core::PieceIndex{GetU32(request + 5)};
}
core::BlockOffset RequestedOffset(const uint8_t* request) {
    return core::BlockOffset{GetU32(request + 9)};
}

}  // namespace

CMsgHandle::CMsgHandle(core::ITaskWire& tasks, IPeerLink& link, CMsgPool& pool, CMsgLimitLayer& limits)
    : m_tasks(tasks),
      m_link(link),
      m_pool(pool),
      m_limits(limits),
      m_speed(
          [this](const SpeedSample& s) {
              // HTTP-source bytes are downloads of their task without a peer.
              Direction d = s.kind == SpeedKind::kUpload ? Direction::kUpload : Direction::kDownload;
              m_pool.AddBytes(d, s.bytes);
              ConnectionKey key = s.key.value_or(ConnectionKey{});
              if (d == Direction::kDownload) {
                  m_tasks.CountDownloaded(s.hash, key, static_cast<int32_t>(s.bytes));
              } else {
                  m_tasks.CountUploaded(s.hash, key, static_cast<int32_t>(s.bytes));
              }
          },
          [this](const SpeedSample& s) {
              Direction d = s.kind == SpeedKind::kUpload ? Direction::kUpload : Direction::kDownload;
              m_pool.ReleaseBytes(d, s.bytes);
              ConnectionKey key = s.key.value_or(ConnectionKey{});
              if (d == Direction::kDownload) {
                  m_tasks.CountDownloaded(s.hash, key, -static_cast<int32_t>(s.bytes));
              } else {
                  m_tasks.CountUploaded(s.hash, key, -static_cast<int32_t>(s.bytes));
              }
          }),
      m_isLan(core::IsSpecialAddress) {
    m_ownId = core::PlaceholderPeerId(core::kEngineVersion).bytes;
}

void CMsgHandle::SetOwnPeerId(std::span<const uint8_t, 20> id) {
    std::lock_guard lock(m_idLock);
    std::copy(id.begin(), id.end(), m_ownId.begin());
}

std::array<uint8_t, 20> CMsgHandle::OwnPeerId() const {
    std::lock_guard lock(m_idLock);
    return m_ownId;
}

bool CMsgHandle::IsLan(uint32_t addr) const {
    return m_isLan && m_isLan(addr);
}

int CMsgHandle::SendTo(const ConnectionKey& key, std::span<const uint8_t> message) {
    return m_link.Send(key, message);
}

void CMsgHandle::CountTransfer(const TaskHash& hash, const ConnectionKey& key, int64_t bytes,
                               SpeedKind kind) {
    m_speed.Count(hash, key, bytes, kind);
}

void CMsgHandle::DropPeer(const TaskHash& hash, const ConnectionKey& key) {
    {
        std::lock_guard lock(m_waitLock);
        m_waiting.erase(key);
    }
    m_tasks.RemovePeer(hash, key);
    m_link.Close(key);
    m_pool.Forget(key);
}

void CMsgHandle::ProtocolError(const TaskHash& hash, const MessageRecord& r, const char* format) {
    EngineLog(core::kLogFail, format, static_cast<int>(r.Length()), static_cast<int>(r.Id()));
    DropPeer(hash, r.key);
}

void CMsgHandle::Handle(const MessageRecord& r) {
    if (IsHandshake(r.Bytes())) {
        OnHandshake(r);
        return;
    }
    if (r.Length() < 5) {
        return;  // keep-alive
    }
    const uint8_t id = r.Id();
    if (id >= kMsgTrackerFirst && id <= kMsgTrackerLast) {
        if (m_trackerSink) {
            m_trackerSink(r);
        }
        return;
    }
    std::optional<TaskHash> mapped = m_pool.HashOf(r.key);
    if (!mapped) {
        if (id == kMsgClosed) {
            m_link.Close(r.key);  // an inbound connection that never got as far as a handshake
        }
        return;
    }
    const TaskHash hash = *mapped;
    // Only the bitfield's and the piece's length rules depend on the task: the look-ups (the seed
    // check reads the disk) are made for those alone, not for every block.
    LengthRules rules;
    if (id == kMsgBitfield) {
        rules.seedLoaded = m_tasks.HasSeed(hash);
        if (rules.seedLoaded) {
            int n = m_tasks.GetBitfieldLength(hash);
            rules.bitfieldBytes = n > 0 ? static_cast<size_t>(n) : 0;
        }
    } else if (id == kMsgPiece) {
        rules.largeBlocks = m_tasks.HasPeerLargeBlocks(hash, r.key) != 0;
    }
    if (const char* error = CheckMessageLength(r.Bytes(), rules)) {
        if (id <= kMsgRequestRefused || id == kMsgConnected) {
            ProtocolError(hash, r, error);
            return;
        }
    }
    const ConnectionKey& key = r.key;
    switch (id) {
        case kMsgChoke:
            EngineLog(core::kLogDebug, "=================choke packet\n");
            m_tasks.SetPeerState(hash, key, core::kPeerIdle);
            return;
        case kMsgUnchoke:
            if (m_tasks.GetPeerState(hash, key) == core::kPeerActive) {
                EngineLog(core::kLogDebug, "=================unchoke packet\n");
                ScheduleRequests(hash, key);
            }
            return;
        case kMsgInterested: {
            // The engine never chokes: interest is always answered by unchoke.
            auto m = BuildMessage(kMsgUnchoke);
            SendTo(key, m);
            return;
        }
        case kMsgNotInterested:
        case kMsgCancel:
        case kMsgIgnored:
            return;
        case kMsgHave:
            OnHave(hash, r);
            return;
        case kMsgBitfield:
            OnBitfield(hash, r);
            return;
        case kMsgRequest:
            ServeRequest(hash, key, std::span<const uint8_t, 17>(r.Bytes().data(), 17), true);
            return;
        case kMsgPiece:
            OnPiece(hash, r);
            return;
        case kMsgMetaRequest:
            OnMetaRequest(hash, r);
            return;
        case kMsgMetaResponse:
            OnMetaResponse(hash, r);
            return;
        case kMsgRequestRefused:
            OnRequestRefused(hash, r);
            return;
        case kMsgConnected:
            OnConnected(hash, r);
            return;
        case kMsgClosed:
            OnClosed(hash, r);
            return;
        case kMsgCmdDeclare:
            EngineLog(core::kLogDebug, "=================cmddeclare\n");
            return;
        case kMsgNotifyPeers:
            EngineLog(core::kLogDebug, "=================notifypeers\n");
            return;
        case kMsgFixedCmd: {
            auto own = OwnPeerId();
            auto m = BuildNotifyPeers(own, core::Host().listenPort.load());
            SendTo(key, m);
            return;
        }
        default:
            EngineLog(core::kLogFail, "something could not recognize,length %d,id %d!\n",
                      static_cast<int>(r.Length()), static_cast<int>(id));
            DropPeer(hash, key);
            return;
    }
}

void CMsgHandle::SendHandshake(const TaskHash& hash, const ConnectionKey& key) {
    std::array<uint8_t, 20> id = OwnPeerId();
    bool engine = m_tasks.GetPeerKind(hash, key) == core::kPeerEngine;
    if (m_tasks.GetPeerVersion(hash, key) == core::kHttpFramingVersion) {
        id = core::WithVersion(core::PeerId{id}, core::kHttpFramingVersion).bytes;
    }
    auto hs = BuildHandshake(engine, hash.bytes, id);
    SendTo(key, hs);
}

void CMsgHandle::SendBitfield(const TaskHash& hash, const ConnectionKey& key) {
    size_t length = 0;
    if (!m_tasks.GetBitfield(hash, {}, length) || length == 0) {
        return;
    }
    std::vector<uint8_t> m(5 + length);
    size_t got = 0;
    m_tasks.GetBitfield(hash, std::span(m).subspan(5), got);
    PutU32(m.data(), static_cast<uint32_t>(1 + length));
    m[4] = kMsgBitfield;
    SendTo(key, m);
}

void CMsgHandle::OnHandshake(const MessageRecord& r) {
    const ConnectionKey& key = r.key;
    EngineLog(core::kLogDebug, "recv handshake packet from %s:%u,%d\n", Addr(key).c_str(), Port(key),
              key.sock);
    const TaskHash hash = HashAt(r.Bytes().data() + kHandshakeHashOffset);
    std::array<uint8_t, 20> id;
    std::memcpy(id.data(), r.Bytes().data() + kHandshakePeerIdOffset, 20);
    const bool engineForm = IsEngineHandshake(r.Bytes());

    bool incoming = true;
    if (std::optional<TaskHash> mapped = m_pool.HashOf(key)) {
        if (*mapped != hash) {
            EngineLog(core::kLogFail, "Handshake status error0,%d!!\n", key.sock);
            return;
        }
        int32_t state = m_tasks.GetPeerState(hash, key);
        if (state < 0) {
            EngineLog(core::kLogFail, "Handshake status error1,%d!!\n", key.sock);
            return;
        }
        if (state >= core::kPeerActive) {
            EngineLog(core::kLogFail, "Handshake status error2,%d!!\n", key.sock);
            return;
        }
        if (state == core::kPeerHandshakeSent) {
            incoming = false;
            m_tasks.SetPeerId(hash, key, id);
        }
        // State 0 on a mapped connection: treated as incoming (the handshake answers it).
    }
    if (incoming) {
        bool mappedAlready = m_pool.IsMapped(key);
        if (!m_tasks.TaskExists(hash) || m_tasks.GetRunState(hash) == core::kRunDeleting ||
            (!mappedAlready && !m_pool.MapConnection(key, hash)) ||
            (m_tasks.GetPeerState(hash, key) < 0 && m_tasks.HasPeerWithId(hash, id)) ||
            IsBannedId(hash, id)) {
            if (!mappedAlready) {
                m_pool.Forget(key);
            }
            m_link.Close(key);
            return;
        }
        if (m_tasks.GetPeerState(hash, key) < 0) {
            core::PeerAttributes attributes;
            attributes.transport = r.transport == 3 ? 3 : 1;
            attributes.kind = engineForm ? core::kPeerEngine : core::kPeerBitTorrent;
            m_tasks.AddPeer(hash, key, attributes);
        }
        if (engineForm) {
            m_tasks.SetPeerKind(hash, key, core::kPeerEngine);
        }
        m_tasks.SetPeerId(hash, key, id);
        std::array<uint8_t, 20> answerId = OwnPeerId();
        if (!engineForm) {
            answerId = id;
            answerId[19] = 'Q';
        }
        auto hs = BuildHandshake(engineForm, hash.bytes, answerId);
        SendTo(key, hs);
    }
    AfterHandshake(hash, key, id);
}

void CMsgHandle::AfterHandshake(const TaskHash& hash, const ConnectionKey& key,
                                std::span<const uint8_t, 20> id) {
    if (m_tasks.GetPeerKind(hash, key) == core::kPeerEngine) {
        if (m_tasks.HasSeed(hash)) {
            SendBitfield(hash, key);
            m_tasks.SetPeerState(hash, key, core::kPeerActive);
        } else {
            auto m = BuildMessage(kMsgMetaRequest, hash.bytes);
            SendTo(key, m);
            m_tasks.SetPeerState(hash, key, core::kPeerIdle);
        }
        return;
    }
    SendBitfield(hash, key);
    if (IdStartsWith(id, "exbc") || IdStartsWith(id, "-BC")) {
        auto declare = BuildCmdDeclare();
        SendTo(key, declare);
        auto fixed = BuildFixedCmd();
        SendTo(key, fixed);
    }
    m_tasks.SetPeerState(hash, key, core::kPeerActive);
}

void CMsgHandle::OnConnected(const TaskHash& hash, const MessageRecord& r) {
    SendHandshake(hash, r.key);
    m_tasks.SetPeerState(hash, r.key, core::kPeerHandshakeSent);
}

void CMsgHandle::OnClosed(const TaskHash& hash, const MessageRecord& r) {
    EngineLog(core::kLogDebug, "=======HdDisConnected,from@%s:%u\n", Addr(r.key).c_str(), Port(r.key));
    DropPeer(hash, r.key);
}

void CMsgHandle::OnHave(const TaskHash& hash, const MessageRecord& r) {
    EngineLog(core::kLogDebug, "=========have,from@%s:%u\n", Addr(r.key).c_str(), Port(r.key));
    if (!m_tasks.HasSeed(hash)) {
        return;
    }
    uint32_t piece = GetU32(r.Bytes().data() + 5);
    // A piece the task does not have is a broken peer, not a bit to set.
    if (piece >= m_tasks.GetPieceCount(hash)) {
        EngineLog(core::kLogFail, "have names piece %u beyond the task's %u pieces, peer dropped\n", piece,
                  m_tasks.GetPieceCount(hash));
        DropPeer(hash, r.key);
        return;
    }
    // A peer that skipped its bitfield (it had nothing) starts from an empty one.
    core::Ref<core::CTask> task;
    if (m_tasks.FindTask(hash, task)) {
        if (core::Ref<core::CPeer> peer = task->Peers().Find(r.key); peer && !peer->HasBitfield()) {
            peer->SetBitfield(std::vector<uint8_t>(task->BitfieldLength(), 0));
        }
    }
    m_tasks.SetPeerHave(hash, r.key, core::PieceIndex{piece});
    if (!m_tasks.IsComplete(hash)) {
        ScheduleRequests(hash, r.key);
    }
}

void CMsgHandle::OnBitfield(const TaskHash& hash, const MessageRecord& r) {
    EngineLog(core::kLogDebug, "++++++++++++++++++++++++++++++++recv bitinfo!!\n");
    std::span<const uint8_t> bits = r.Bytes().subspan(5);
    if (m_tasks.HasSeed(hash)) {
        // The spare bits after the last piece name pieces the task does not have.
        uint32_t pieces = m_tasks.GetPieceCount(hash);
        for (uint32_t i = pieces; i < bits.size() * 8; ++i) {
            if (bits[i / 8] & (0x80u >> (i % 8))) {
                EngineLog(core::kLogFail,
                          "bitfield names piece %u beyond the task's %u pieces, peer dropped\n", i, pieces);
                DropPeer(hash, r.key);
                return;
            }
        }
    }
    m_tasks.SetPeerBitfield(hash, r.key, bits);
    if (m_tasks.HasSeed(hash)) {
        m_tasks.SetPeerState(hash, r.key, core::kPeerActive);
    }
    if (m_tasks.GetPeerState(hash, r.key) == core::kPeerActive && !m_tasks.IsComplete(hash)) {
        auto m = BuildMessage(kMsgInterested);
        SendTo(r.key, m);
    }
}

void CMsgHandle::OnPiece(const TaskHash& hash, const MessageRecord& r) {
    core::Ref<core::CTask> task;
    if (!m_tasks.FindTask(hash, task)) {
        return;
    }
    if (task->IsHttpLinked()) {
        core::LinkMergeHttpDownload(hash);
    }
    const uint32_t piece = GetU32(r.Bytes().data() + 5);
    const uint32_t begin = GetU32(r.Bytes().data() + 9);
    std::span<const uint8_t> data = r.Bytes().subspan(13);
    m_pieceBytes.fetch_add(static_cast<int64_t>(data.size()));
    CountTransfer(hash, r.key, static_cast<int64_t>(data.size()), SpeedKind::kDownload);
    CBlockWitness& witness = m_witness[hash];
    // Only a block we asked this peer for is evidence: any other could be made up to outvote
    // honest peers, or sent by the million at fresh offsets to fill the witness's memory.
    if (witness.Recording() && task->IsRequestedFrom(r.key, piece, begin)) {
        witness.Record(piece, begin, r.key, data);
    }
    int64_t put = m_tasks.PutBlock(hash, r.key, data, core::PieceIndex{piece}, core::BlockOffset{begin});
    if (put < 0) {
        EngineLog(core::kLogFail, "write block of piece %u failed, task paused\n", piece);
        m_tasks.ControlTaskState(hash, core::kRunPaused);
        return;
    }
    if (put == 1) {
        std::vector<ConnectionKey> liars;
        if (task->PieceBitfield().Test(piece)) {
            // Only a piece that passed its check and was written is announced.
            BroadcastHave(hash, piece);
            uint32_t pieceLength = task->PieceLength();
            liars = witness.PieceVerified(piece, [&](uint32_t at, std::span<uint8_t> out) {
                return m_tasks.ReadAt(hash, out, int64_t{piece} * pieceLength + at, false) ==
                       static_cast<int64_t>(out.size());
            });
        } else {
            liars = witness.PieceFailed(piece);
        }
        for (const ConnectionKey& liar : liars) {
            BanPeer(hash, liar);
        }
    }
    if (m_tasks.GetRunState(hash) != core::kRunRunning || m_tasks.IsComplete(hash)) {
        return;
    }
    if (m_tasks.GetTaskRateB(hash) > kFastTaskRate && m_tasks.GetPeerRate(hash, r.key) < kSlowPeerRate) {
        // Asked again later: once its last request is answered nothing else would ask this peer,
        // and when every peer is held back this way the task stops for good.
        m_pool.Defer(r.key, platform::GetTick());
        return;
    }
    if (m_batching) {
        m_toSchedule.insert({hash, r.key});
        return;
    }
    ScheduleRequests(hash, r.key);
}

void CMsgHandle::EndBatch() {
    m_batching = false;
    for (const auto& [hash, key] : m_toSchedule) {
        ScheduleRequests(hash, key);
    }
    m_toSchedule.clear();
}

void CMsgHandle::BanPeer(const TaskHash& hash, const ConnectionKey& key) {
    std::optional<TaskHash> mapped = m_pool.HashOf(key);
    if (!mapped || *mapped != hash) {
        return;  // already gone (named again by an older block)
    }
    std::array<uint8_t, 20> id{};
    bool hasId = m_tasks.GetPeerId(hash, key, id) == 0;
    {
        std::lock_guard lock(m_banLock);
        m_bannedAddrs.insert({hash, uint64_t{key.addr} << 16 | key.port});
        if (hasId) {
            std::array<uint8_t, 12> tail;
            std::copy(id.begin() + 8, id.end(), tail.begin());
            m_bannedIds.insert({hash, tail});
        }
    }
    EngineLog(core::kLogFail, "peer %s:%u sent wrong blocks, dropped for good\n", Addr(key).c_str(),
              Port(key));
    DropPeer(hash, key);
}

bool CMsgHandle::IsBanned(const TaskHash& hash, uint32_t addr, uint16_t port) const {
    std::lock_guard lock(m_banLock);
    return m_bannedAddrs.count({hash, uint64_t{addr} << 16 | port}) != 0;
}

bool CMsgHandle::IsBannedId(const TaskHash& hash, std::span<const uint8_t, 20> id) const {
    std::array<uint8_t, 12> tail;
    std::copy(id.begin() + 8, id.end(), tail.begin());
    std::lock_guard lock(m_banLock);
    return m_bannedIds.count({hash, tail}) != 0;
}

void CMsgHandle::OnMetaRequest(const TaskHash& hash, const MessageRecord& r) {
    EngineLog(core::kLogDebug, "=================metafilereq\n");
    if (HashAt(r.Bytes().data() + 5) != hash) {
        EngineLog(core::kLogFail, "metafilereq error,req hash error!!!\n");
    }
    if (!m_tasks.HasSeed(hash)) {
        return;
    }
    size_t length = 0;
    if (!m_tasks.GetSeedBytes(hash, {}, length) || length == 0 || length + 5 > kMaxMessageBytes) {
        return;
    }
    std::vector<uint8_t> m(5 + length);
    size_t got = 0;
    m_tasks.GetSeedBytes(hash, std::span(m).subspan(5), got);
    PutU32(m.data(), static_cast<uint32_t>(1 + length));
    m[4] = kMsgMetaResponse;
    SendTo(r.key, m);
}

void CMsgHandle::OnMetaResponse(const TaskHash& hash, const MessageRecord& r) {
    EngineLog(core::kLogDebug, "++++++recv torrent file!!\n");
    std::span<const uint8_t> seed = r.Bytes().subspan(5);
    if (!m_tasks.HasSeed(hash)) {
        if (!m_tasks.StoreSeedData(hash, seed)) {
            return;
        }
        CountTransfer(hash, r.key, static_cast<int64_t>(seed.size()), SpeedKind::kDownload);
        // Bitfields stored before the seed was known may not fit it: they start over empty.
        size_t want = static_cast<size_t>(std::max(0, m_tasks.GetBitfieldLength(hash)));
        core::Ref<core::CTask> task;
        if (m_tasks.FindTask(hash, task)) {
            for (const core::Ref<core::CPeer>& p : task->Peers().All()) {
                if (p->HasBitfield() && p->Bitfield().size() != want) {
                    p->SetBitfield(std::vector<uint8_t>(want, 0));
                }
            }
        }
    }
    // A second answer (several peers were asked while the seed was missing) still activates
    // its peer; otherwise that peer would stay idle for good.
    SendBitfield(hash, r.key);
    if (m_tasks.GetPeerState(hash, r.key) == core::kPeerIdle && !m_tasks.IsComplete(hash)) {
        auto m = BuildMessage(kMsgInterested);
        SendTo(r.key, m);
    }
    m_tasks.SetPeerState(hash, r.key, core::kPeerActive);
}

void CMsgHandle::OnRequestRefused(const TaskHash& hash, const MessageRecord& r) {
    const uint8_t* req = r.Bytes().data() + 5;
    m_tasks.CancelRequest(hash, r.key, RequestedPiece(req), RequestedOffset(req), GetU32(req + 13));
    m_pool.Defer(r.key, platform::GetTick());
}

void CMsgHandle::ScheduleRequests(const TaskHash& hash, const ConnectionKey& key) {
    if (m_tasks.GetRunState(hash) != core::kRunRunning ||
        m_tasks.GetPeerState(hash, key) != core::kPeerActive || m_tasks.IsComplete(hash)) {
        return;
    }
    uint32_t pieceLength = m_tasks.GetPieceLength(hash);
    if (pieceLength == 0) {
        return;
    }
    // Requests that go at once leave together: one send for the pass instead of one per block.
    constexpr size_t kBatch = 32;
    std::array<uint8_t, kBatch * kRequestBytes> batch;
    size_t batched = 0;
    auto flush = [&] {
        if (batched == 0) {
            return;
        }
        size_t sent = m_link.SendAll(key, std::span(batch).first(batched * kRequestBytes), kRequestBytes);
        for (size_t i = sent; i < batched; ++i) {
            const uint8_t* r = batch.data() + i * kRequestBytes;
            m_tasks.CancelRequest(hash, key, RequestedPiece(r), RequestedOffset(r), GetU32(r + 13));
        }
        batched = 0;
    };
    const bool limited = DownloadLimited(hash, key);
    // The count is only a bound on this pass: the pick itself refuses once the peer's queue is
    // full, so a pass running at the same time on another thread cannot overfill it.
    int free = m_tasks.GetFreeRequestSlots(hash, key);
    for (int i = 0; i < free; ++i) {
        core::BlockRange range;
        if (!m_tasks.PickRequestAt(hash, key, range)) {
            break;
        }
        uint32_t piece = static_cast<uint32_t>(range.position / pieceLength);
        uint32_t begin = static_cast<uint32_t>(range.position % pieceLength);
        auto request = BuildRequest(piece, begin, range.length);
        if (!limited) {
            std::copy(request.begin(), request.end(), batch.begin() + batched * kRequestBytes);
            if (++batched == kBatch) {
                flush();
            }
            continue;
        }
        QueuedMsg q;
        q.hash = hash;
        q.key = key;
        q.request = request;
        q.queued = platform::GetTick();
        if (!m_limits.QueueDownload(q)) {
            m_tasks.CancelRequest(hash, key, core::PieceIndex{piece}, core::BlockOffset{begin}, range.length);
        } else {
            m_sendWork.Set();
        }
    }
    flush();
}

void CMsgHandle::RefuseRequest(const ConnectionKey& key, std::span<const uint8_t, 17> request) {
    auto m = BuildMessage(kMsgRequestRefused, request);
    SendTo(key, m);
}

void CMsgHandle::ServeRequest(const TaskHash& hash, const ConnectionKey& key,
                              std::span<const uint8_t, 17> request, bool fromWire) {
    if (m_tasks.GetPeerKind(hash, key) != core::kPeerEngine) {
        return;  // BitTorrent peers are not served
    }
    if (m_pool.UploadOff()) {
        RefuseRequest(key, request);
        return;
    }
    if (fromWire && UploadLimited(hash, key)) {
        QueuedMsg q;
        q.hash = hash;
        q.key = key;
        std::copy(request.begin(), request.end(), q.request.begin());
        q.queued = platform::GetTick();
        q.highPriority = m_tasks.GetPeerVersion(hash, key) >= core::kPriorityPeerVersion;
        if (!m_limits.QueueUpload(q, AdmissionLimit(hash, key))) {
            RefuseRequest(key, request);
        } else {
            m_sendWork.Set();
        }
        return;
    }
    // A deep queue of requests is answered as the connection's send buffer drains, not all at
    // once into memory; a peer asking for far more than it reads is refused beyond a bound.
    const bool sendBufferFull = m_link.PendingSendBytes(key) >= kServeSendHighWater;
    bool refuse = false;
    {
        std::lock_guard lock(m_waitLock);
        auto it = m_waiting.find(key);
        if (sendBufferFull || (it != m_waiting.end() && !it->second.empty())) {
            std::deque<WaitingRequest>& waiting = m_waiting[key];
            if (waiting.size() >= kMaxWaitingRequests) {
                refuse = true;
            } else {
                WaitingRequest w;
                w.hash = hash;
                std::copy(request.begin(), request.end(), w.request.begin());
                waiting.push_back(w);
                m_sendWork.Set();
                return;
            }
        }
    }
    if (refuse) {
        RefuseRequest(key, request);
        return;
    }
    AnswerRequest(hash, key, request);
}

void CMsgHandle::AnswerRequest(const TaskHash& hash, const ConnectionKey& key,
                               std::span<const uint8_t, 17> request) {
    const uint32_t piece = GetU32(request.data() + 5);
    const uint32_t begin = GetU32(request.data() + 9);
    const uint32_t length = GetU32(request.data() + 13);
    if (length < 1 || length > kMaxServedBlock) {
        return;
    }
    uint32_t pieceLength = m_tasks.GetPieceLength(hash);
    uint32_t pieceCount = m_tasks.GetPieceCount(hash);
    // A request outside the content is refused rather than read.
    if (pieceLength == 0 || piece >= pieceCount || begin >= pieceLength ||
        uint64_t{begin} + length > pieceLength) {
        RefuseRequest(key, request);
        return;
    }
    // Not zeroed first: the read fills every byte that is sent.
    std::unique_ptr<uint8_t[]> buffer = std::make_unique_for_overwrite<uint8_t[]>(13 + length);
    std::span<uint8_t> m(buffer.get(), 13 + length);
    auto head = BuildPieceHead(piece, begin, length);
    std::copy(head.begin(), head.end(), m.begin());
    int64_t position = int64_t{piece} * pieceLength + begin;
    int64_t got = m_tasks.ReadAt(hash, m.subspan(13), position, true);
    if (got != static_cast<int64_t>(length) || SendTo(key, m) <= 0) {
        RefuseRequest(key, request);
        return;
    }
    CountTransfer(hash, key, length, SpeedKind::kUpload);
}

void CMsgHandle::ServeWaitingRequests() {
    std::vector<ConnectionKey> keys;
    {
        std::lock_guard lock(m_waitLock);
        for (const auto& [key, waiting] : m_waiting) {
            keys.push_back(key);
        }
    }
    for (const ConnectionKey& key : keys) {
        const bool mapped = m_pool.IsMapped(key);
        while (!mapped || m_link.PendingSendBytes(key) < kServeSendHighWater) {
            WaitingRequest w;
            {
                std::lock_guard lock(m_waitLock);
                auto it = m_waiting.find(key);
                if (it == m_waiting.end()) {
                    break;
                }
                if (it->second.empty() || !mapped) {
                    m_waiting.erase(it);  // drained, or the connection is gone
                    break;
                }
                w = it->second.front();
                it->second.pop_front();
            }
            AnswerRequest(w.hash, key, w.request);
        }
    }
}

size_t CMsgHandle::WaitingRequests(const ConnectionKey& key) const {
    std::lock_guard lock(m_waitLock);
    auto it = m_waiting.find(key);
    return it == m_waiting.end() ? 0 : it->second.size();
}

void CMsgHandle::BroadcastHave(const TaskHash& hash, uint32_t piece) {
    auto m = BuildHave(piece);
    for (const ConnectionKey& key : m_pool.ConnectionsOf(hash)) {
        if (m_tasks.PeerNeedsHave(hash, key, core::PieceIndex{piece})) {
            SendTo(key, m);
        }
    }
}

void CMsgHandle::ScheduleTaskRequests(const TaskHash& hash) {
    for (const ConnectionKey& key : m_pool.ConnectionsOf(hash)) {
        ScheduleRequests(hash, key);
    }
}

void CMsgHandle::DropTaskConnections(const TaskHash& hash) {
    for (const ConnectionKey& key : m_pool.ConnectionsOf(hash)) {
        DropPeer(hash, key);
    }
}

bool CMsgHandle::ConnectToSource(const TaskHash& hash, const SourcePeer& source) {
    const core::HostFacts& host = core::Host();
    if (source.addr == host.localAddress.load() && ntohs(source.port) == host.listenPort.load()) {
        return false;
    }
    std::array<uint8_t, 20> id;
    id.fill('0');
    if (!source.bitTorrent) {
        id = core::PeerIdFromTail(source.idTail, source.versionType).bytes;
        if (m_tasks.HasPeerWithId(hash, id)) {
            return false;
        }
    }
    if (!m_tasks.TaskExists(hash) || m_tasks.HasPeerAt(hash, source.addr, source.port) ||
        IsBanned(hash, source.addr, source.port) || IsBannedId(hash, id)) {
        return false;
    }
    if (uint32_t peers = m_tasks.GetPeerCount(hash); peers >= kMaxSourcePeers) {
        platform::Tick now = platform::GetTick();
        platform::Tick last = m_capLogged.load();
        // Once in a while, not once for each of the many entries a long list brings.
        if (platform::TickElapsed(now, last) >= 5000 && m_capLogged.compare_exchange_strong(last, now)) {
            EngineLog(core::kLogFail, "task has %u peers, no more connections from source lists\n", peers);
        }
        return false;
    }
    core::PeerAttributes attributes;
    attributes.natType = source.natType;
    attributes.kind = source.bitTorrent ? core::kPeerBitTorrent : core::kPeerEngine;
    const bool direct = source.natType == 0 || source.bitTorrent;
    ConnectionKey key{source.addr, source.port, -1};
    if (direct) {
        key.sock = m_link.CreateTcp(source.addr, source.port);
        if (key.sock < 0) {
            return false;
        }
        EngineLog(core::kLogDebug, "tcp__%s:%u,%u\n", Addr(key).c_str(), Port(key),
                  static_cast<unsigned>(key.sock));
        attributes.transport = 1;
    } else {
        key.sock = m_link.CreateUdpCarrier(source.addr, source.port);
        if (key.sock < 0) {
            return false;
        }
        EngineLog(core::kLogDebug, "udp__%s:%u\n", Addr(key).c_str(), Port(key));
        attributes.transport = 3;
    }
    if (!m_pool.MapConnection(key, hash)) {
        m_link.Discard(key.sock);
        return false;
    }
    m_tasks.AddPeer(hash, key, attributes);
    m_tasks.SetPeerId(hash, key, id);
    bool registered = false;
    if (direct) {
        registered = m_link.RegisterTcp(
            source.bitTorrent ? static_cast<uint8_t>(kDispatchPlain) : FramingForVersion(source.versionType),
            key);
    } else {
        registered = source.direct ? m_link.RegisterReliableUdpDirect(3, key)
                                   : m_link.RegisterReliableUdp(3, key, source.natType, id, hash.bytes);
    }
    if (!registered) {
        m_tasks.RemovePeer(hash, key);
        m_pool.Forget(key);
        m_link.Discard(key.sock);
        return false;
    }
    return true;
}

bool CMsgHandle::EngineDownloadLimited(const ConnectionKey& key) const {
    return m_pool.DownloadLimit() != 0 && !(m_pool.DownloadLanExempt() && IsLan(key.addr));
}

bool CMsgHandle::EngineUploadLimited(const ConnectionKey& key) const {
    return m_pool.UploadLimit() != 0 && !(m_pool.UploadLanExempt() && IsLan(key.addr));
}

uint32_t CMsgHandle::TaskPace(const TaskHash& hash, core::PaceDirection d) const {
    core::Ref<core::CTask> task;
    return m_tasks.FindTask(hash, task) ? task->Pace().Limit(d) : 0;
}

bool CMsgHandle::DownloadLimited(const TaskHash& hash, const ConnectionKey& key) const {
    return EngineDownloadLimited(key) || TaskPace(hash, core::PaceDirection::kDownload) != 0;
}

bool CMsgHandle::UploadLimited(const TaskHash& hash, const ConnectionKey& key) const {
    return EngineUploadLimited(key) || TaskPace(hash, core::PaceDirection::kUpload) != 0;
}

uint32_t CMsgHandle::AdmissionLimit(const TaskHash& hash, const ConnectionKey& key) const {
    // The admission rule is written in KiB/s of the engine limit; a task held only by its own
    // cap is judged by that cap, so its queue stays as short as the engine's would.
    if (EngineUploadLimited(key)) {
        return m_pool.UploadLimit();
    }
    return std::max<uint32_t>(1, TaskPace(hash, core::PaceDirection::kUpload) / 1024);
}

void CMsgHandle::AdvanceTaskPace(const TaskHash& hash, core::PaceDirection d, uint32_t bytes,
                                 platform::Tick now) {
    core::Ref<core::CTask> task;
    if (m_tasks.FindTask(hash, task)) {
        task->Pace().Advance(d, bytes, now);
    }
}

bool CMsgHandle::ReleaseDownload(platform::Tick now, std::set<TaskHash>& held) {
    QueuedMsg q;
    while (m_limits.TakeDownload(q, held)) {
        int state = m_tasks.GetRunState(q.hash);
        if (state < 0) {
            continue;  // task gone: dropped with it
        }
        if (state == core::kRunPaused) {
            // Dropped, and released: the request holds a place in the peer's queue and its
            // blocks are marked asked for, so keeping them would leave that peer never asked
            // again after a resume.
            m_tasks.CancelRequest(q.hash, q.key, RequestedPiece(q.request.data()),
                                  RequestedOffset(q.request.data()), GetU32(q.request.data() + 13));
            continue;
        }
        if (state != core::kRunRunning) {
            m_limits.ReturnDownload(q);
            return false;
        }
        if (!m_pool.IsMapped(q.key)) {
            continue;
        }
        uint32_t length = GetU32(q.request.data() + 13);
        if (SendTo(q.key, q.request) <= 0) {
            m_tasks.CancelRequest(q.hash, q.key, RequestedPiece(q.request.data()),
                                  RequestedOffset(q.request.data()), length);
        }
        m_pool.AdvanceClock(Direction::kDownload, length + 13, now);
        AdvanceTaskPace(q.hash, core::PaceDirection::kDownload, length + 13, now);
        if (m_tasks.IsDownloadPaced(q.hash)) {
            held.insert(q.hash);
        }
        return true;
    }
    return false;
}

bool CMsgHandle::ReleaseUpload(platform::Tick now, std::set<TaskHash>& held) {
    QueuedMsg q;
    while (m_limits.TakeUpload(q, now, held)) {
        if (platform::TickElapsed(now, q.queued) > kUploadQueueMaxAgeMs &&
            !platform::TickBefore(now, q.queued)) {
            RefuseRequest(q.key, q.request);
            continue;
        }
        int state = m_tasks.GetRunState(q.hash);
        if (state < 0) {
            continue;
        }
        if (!m_pool.IsMapped(q.key)) {
            continue;
        }
        uint32_t length = GetU32(q.request.data() + 13);
        ServeRequest(q.hash, q.key, q.request, false);
        m_pool.AdvanceClock(Direction::kUpload, length + 13, now);
        AdvanceTaskPace(q.hash, core::PaceDirection::kUpload, length + 13, now);
        if (m_tasks.IsUploadPaced(q.hash)) {
            held.insert(q.hash);
        }
        return true;
    }
    return false;
}

void CMsgHandle::PacingPass() {
    platform::Tick now = platform::GetTick();
    // A pass that runs late (a loaded machine wakes the routine every few milliseconds, not
    // every one) releases what the clock allowed meanwhile, so the limit is reached rather than
    // undercut; the clock itself keeps the average at the limit.
    if (m_pool.ClockOpen(Direction::kDownload, now)) {
        // Tasks whose own cap holds them now keep their messages queued; others go first.
        std::set<TaskHash> held;
        for (const TaskHash& h : m_limits.DownloadTasks()) {
            if (m_tasks.IsDownloadPaced(h)) {
                held.insert(h);
            }
        }
        for (int i = 0; i < kMaxReleasesPerPass && m_pool.ClockOpen(Direction::kDownload, now); ++i) {
            if (!ReleaseDownload(now, held)) {
                break;
            }
        }
    }
    if (m_pool.ClockOpen(Direction::kUpload, now)) {
        std::set<TaskHash> held;
        for (const TaskHash& h : m_limits.UploadTasks()) {
            if (m_tasks.IsUploadPaced(h)) {
                held.insert(h);
            }
        }
        for (int i = 0; i < kMaxReleasesPerPass && m_pool.ClockOpen(Direction::kUpload, now); ++i) {
            if (!ReleaseUpload(now, held)) {
                break;
            }
        }
    }
    ServeWaitingRequests();
    bool waiting = false;
    {
        std::lock_guard lock(m_waitLock);
        waiting = !m_waiting.empty();
    }
    m_pacingBusy = waiting || m_limits.DownloadCount() != 0 || m_limits.UploadCount() != 0;
}

void CMsgHandle::WaitSendWork(uint32_t idleMs) {
    if (m_pacingBusy) {
        platform::SleepMs(1);
    } else {
        m_sendWork.Wait(idleMs);
    }
}

void CMsgHandle::SecondPass() {
    for (const ConnectionKey& key : m_pool.TakeDue(platform::GetTick())) {
        if (std::optional<TaskHash> hash = m_pool.HashOf(key)) {
            ScheduleRequests(*hash, key);
        }
    }
    m_pool.SecondPass(m_tasks.CountActiveDownloads() > 0 ? 1 : 0);
}

}  // namespace tessali::net
