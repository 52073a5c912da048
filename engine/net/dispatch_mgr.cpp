#include "engine/net/dispatch_mgr.h"

#include <arpa/inet.h>

#include <random>

#include "engine/core/engine_log.h"
#include "engine/net/peer_wire.h"
#include "engine/net/rudp_connection.h"
#include "engine/net/sock.h"

namespace tessali::net {
namespace {

std::function<uint32_t()> DefaultRandom() {
    auto rng = std::make_shared<std::mt19937>(std::random_device{}());
    auto lock = std::make_shared<std::mutex>();
    return [rng, lock] {
        std::lock_guard g(*lock);
        return static_cast<uint32_t>((*rng)());
    };
}

}  // namespace

CDispatchMgr::CDispatchMgr(CThreadMgr& sockets, CTudpInterface& rudp, CFragmentPool& queue1,
                           CFragmentPool& queue2, std::function<uint32_t()> random)
    : m_sockets(sockets),
      m_rudp(rudp),
      m_queue1(queue1),
      m_queue2(queue2),
      m_unknown(*this),
      m_http(*this),
      m_scrambled(*this, random ? std::move(random) : DefaultRandom()),
      m_plain(*this),
      m_httpTracker(*this),
      m_udpTracker(*this) {}

CDispatchMgr::~CDispatchMgr() = default;

bool CDispatchMgr::Start() {
    return m_rudp.Start();
}

void CDispatchMgr::Stop() {
    // Reliable UDP first: its polling thread sends through the carrier sockets, whose
    // descriptors close with the sockets.
    m_rudp.Stop();
    m_sockets.StopAll();
    m_queue1.Clear();
    m_queue2.Clear();
    m_pool.Clear();
    std::lock_guard lock(m_lock);
    m_entries.clear();
}

int CDispatchMgr::Listen(uint8_t transport, uint16_t port) {
    int sock =
        transport == 1 ? m_sockets.CreateTcpListen(port) : m_sockets.CreateUdpListen(port, transport == 3);
    if (sock >= 0 && !m_sockets.Start(sock)) {
        m_sockets.Close(sock);
        return -1;
    }
    return sock;
}

int CDispatchMgr::CreateTcp(uint32_t addr, uint16_t port) {
    return m_sockets.CreateTcpSock(addr, ntohs(port));
}

int CDispatchMgr::CreateUdpCarrier(uint32_t addr, uint16_t port) {
    int sock = m_sockets.CreateUdpSock(addr, ntohs(port), true);
    if (sock >= 0 && !m_sockets.Start(sock)) {
        m_sockets.Close(sock);
        return -1;
    }
    return sock;
}

bool CDispatchMgr::AddEntry(uint8_t type, uint8_t transport, const core::ConnectionKey& key) {
    std::lock_guard lock(m_lock);
    CConnEntry entry;
    entry.key = key;
    entry.type = type;
    entry.transport = transport;
    entry.opened = platform::GetTick();
    return m_entries.emplace(key, std::move(entry)).second;
}

void CDispatchMgr::RemoveEntry(const core::ConnectionKey& key) {
    std::lock_guard lock(m_lock);
    m_entries.erase(key);
}

bool CDispatchMgr::RegisterTcp(uint8_t type, const core::ConnectionKey& key) {
    // The entry exists before the socket can report anything.
    if (!AddEntry(type, 1, key)) {
        return false;
    }
    if (!m_sockets.Start(key.sock)) {
        RemoveEntry(key);
        return false;
    }
    return true;
}

bool CDispatchMgr::RegisterUdp(uint8_t type, const core::ConnectionKey& key) {
    if (!AddEntry(type, 2, key)) {
        return false;
    }
    if (!m_sockets.Start(key.sock)) {
        RemoveEntry(key);
        return false;
    }
    return true;
}

bool CDispatchMgr::RegisterReliableUdp(uint8_t type, const core::ConnectionKey& key, uint32_t remoteNatType,
                                       std::span<const uint8_t, 20> remotePeerId,
                                       std::span<const uint8_t, 20> infoHash) {
    if (!AddEntry(type, 3, key)) {
        return false;
    }
    {
        std::lock_guard lock(m_lock);
        m_entries[key].ownCarrier = true;
    }
    if (!m_rudp.ConnectThroughNat(key.sock, key.addr, key.port, remoteNatType, remotePeerId, infoHash)) {
        RemoveEntry(key);
        return false;
    }
    return true;
}

bool CDispatchMgr::RegisterReliableUdpDirect(uint8_t type, const core::ConnectionKey& key) {
    if (!AddEntry(type, 3, key)) {
        return false;
    }
    {
        std::lock_guard lock(m_lock);
        m_entries[key].ownCarrier = true;
    }
    if (!m_rudp.Connect(key.addr, key.port, key.sock)) {
        RemoveEntry(key);
        return false;
    }
    return true;
}

void CDispatchMgr::Close(const core::ConnectionKey& key) {
    uint8_t transport = 0;
    bool ownCarrier = false;
    {
        std::lock_guard lock(m_lock);
        auto it = m_entries.find(key);
        if (it != m_entries.end()) {
            transport = it->second.transport;
            ownCarrier = it->second.ownCarrier;
            m_entries.erase(it);
        }
    }
    if (transport == 0) {
        return;
    }
    if (transport == 3) {
        m_rudp.Close(key.addr, key.port, key.sock);
        // An incoming connection's carrier is the shared listening socket: it stays open.
        if (ownCarrier) {
            m_sockets.Close(key.sock);
        }
        return;
    }
    m_sockets.Close(key.sock);
}

void CDispatchMgr::Discard(int sock) {
    if (sock >= 0) {
        m_sockets.Close(sock);
    }
}

int CDispatchMgr::Send(const core::ConnectionKey& key, std::span<const uint8_t> message) {
    CDispatch* d = nullptr;
    CConnEntry copy;
    {
        std::lock_guard lock(m_lock);
        auto it = m_entries.find(key);
        if (it == m_entries.end() || it->second.closing) {
            return -1;
        }
        copy.key = it->second.key;
        copy.transport = it->second.transport;
        copy.type = it->second.type;
        d = &DispatcherOf(copy.type);
    }
    return d->Send(copy, message);
}

size_t CDispatchMgr::SendAll(const core::ConnectionKey& key, std::span<const uint8_t> messages,
                             size_t messageBytes) {
    bool together = false;
    {
        std::lock_guard lock(m_lock);
        auto it = m_entries.find(key);
        if (it == m_entries.end() || it->second.closing) {
            return 0;
        }
        // Plain framing over TCP puts messages on the stream as they are, so several make the
        // same bytes as one send each; a TCP send takes them whole or not at all.
        together = it->second.type == kDispatchPlain && it->second.transport == 1;
    }
    if (!together || messageBytes == 0) {
        return IPeerLink::SendAll(key, messages, messageBytes);
    }
    return m_sockets.Send(key.sock, messages.data(), messages.size()) > 0 ? messages.size() / messageBytes
                                                                          : 0;
}

namespace {

// A piece message: length, id, index and begin, then the largest block served.
constexpr size_t kLargestPieceMessage = 13 + kMaxServedBlock;

}  // namespace

size_t CDispatchMgr::PendingSendBytes(const core::ConnectionKey& key) {
    bool reliableUdp = false;
    {
        std::lock_guard lock(m_lock);
        auto it = m_entries.find(key);
        if (it == m_entries.end()) {
            return 0;
        }
        reliableUdp = it->second.transport == 3;
    }
    if (reliableUdp) {
        // What the reliable-UDP window has not sent yet, as a socket's unsent bytes: a server
        // that saw 0 here answered every request at once, and once the window's queue was full
        // it refused them, which keeps the peer away for a while. A queue without room for one
        // more piece (sent, but waiting for holes to be repaired) counts whole for the same
        // reason.
        size_t room = m_rudp.SendRoom(key.addr, key.port, key.sock);
        if (room == CTudpInterface::kNoConnection) {
            return 0;
        }
        if (room < kLargestPieceMessage && room < kRudpMaxQueuedBytes) {
            return kRudpMaxQueuedBytes - room;
        }
        return m_rudp.UnsentBytes(key.addr, key.port, key.sock);
    }
    return m_sockets.PendingSendBytes(key.sock);
}

int CDispatchMgr::SendRaw(const core::ConnectionKey& key, uint8_t transport, std::span<const uint8_t> bytes) {
    if (transport != 3) {
        return m_sockets.Send(key.sock, bytes.data(), bytes.size());
    }
    // A message goes into a reliable-UDP connection whole or not at all: a cut one would put
    // whatever is sent next in the middle of it. Without room the caller hears 0 at once (the
    // peer and pacing threads never wait on one connection) and refuses or retries; the lock
    // keeps a second sender from taking the room between the look and the send.
    std::lock_guard lock(m_rudpSendLock);
    size_t room = m_rudp.SendRoom(key.addr, key.port, key.sock);
    if (room < bytes.size()) {
        return room == CTudpInterface::kNoConnection ? -1 : 0;
    }
    int r = m_rudp.Send(key.addr, key.port, key.sock, bytes.data(), bytes.size());
    if (r >= 0 && static_cast<size_t>(r) != bytes.size()) {
        // Cannot happen while every sender takes the lock; if it does, the stream is broken.
        core::EngineLog(core::kLogFail, "rudp send to %s cut a message, closing\n", key.Text().c_str());
        m_rudp.Close(key.addr, key.port, key.sock);
        return -1;
    }
    return r;
}

CDispatch& CDispatchMgr::DispatcherOf(uint8_t type) {
    switch (type) {
        case kDispatchHttp:
            return m_http;
        case kDispatchScrambled:
            return m_scrambled;
        case kDispatchPlain:
            return m_plain;
        case kDispatchBtHttpTracker:
            return m_httpTracker;
        case kDispatchBtUdpTracker:
            return m_udpTracker;
        default:
            return m_unknown;
    }
}

void CDispatchMgr::Emit(const CConnEntry& entry, std::span<const uint8_t> message) {
    MessageRecord r;
    r.key = entry.key;
    r.transport = entry.transport;
    r.valid = DispatcherOf(entry.type).Marker();
    // A block is the bulk of what arrives: it is handled where it lies instead of copied once
    // more on its way to the piece it fills.
    if (message.size() > 13 && message[4] == kMsgPiece && !m_lendable.empty() &&
        message.data() >= m_lendable.data() &&
        message.data() + message.size() <= m_lendable.data() + m_lendable.size()) {
        r.view = message;
    } else {
        r.bytes = m_pool.SpareBytes();
        r.bytes.assign(message.begin(), message.end());
    }
    m_pool.Push(std::move(r));
}

void CDispatchMgr::PostSynthetic(const CConnEntry& entry, uint8_t id) {
    auto bytes = BuildSynthetic(id);
    Emit(entry, bytes);
}

void CDispatchMgr::FramingError(CConnEntry& entry) {
    if (entry.closing) {
        return;
    }
    entry.closing = true;
    entry.buffer.clear();
    entry.buffer.shrink_to_fit();
    DispatcherOf(entry.type).OnClosed(entry);
}

bool CDispatchMgr::Wait(int timeoutMs) const {
    return CFragmentPool::WaitAny(m_queue1, m_queue2, timeoutMs);
}

void CDispatchMgr::ProcessQueues(const std::function<void()>& drain) {
    m_passRecords = 0;
    m_passBytes = 0;
    ProcessQueue(m_queue1, 1, kMaxPendingRecords / 2, drain);
    ProcessQueue(m_queue2, 3, kMaxPendingRecords, drain);
    platform::Tick now = platform::GetTick();
    if (platform::TickElapsed(now, m_lastSilenceSweep) >= 1000) {
        m_lastSilenceSweep = now;
        CloseSilentConnections(now);
    }
}

size_t CDispatchMgr::CloseSilentConnections(platform::Tick now) {
    std::lock_guard lock(m_lock);
    size_t closed = 0;
    for (auto& [key, entry] : m_entries) {
        // Tracker exchanges have their own time-out, and reliable UDP its connect through NAT.
        if (entry.transport != 1 || entry.handshakeSeen || entry.closing || entry.type > kDispatchPlain ||
            platform::TickBefore(now, entry.opened) ||
            platform::TickElapsed(now, entry.opened) < kHandshakeDeadlineMs) {
            continue;
        }
        core::EngineLog(core::kLogFail, "no handshake from %s within %u s, closed\n", key.Text().c_str(),
                        kHandshakeDeadlineMs / 1000);
        FramingError(entry);
        ++closed;
    }
    return closed;
}

void CDispatchMgr::ProcessQueue(CFragmentPool& queue, uint8_t newTransport, size_t maxRecords,
                                const std::function<void()>& drain) {
    // Records drained as they are made still count against the pass's bound, so that a pass
    // ends (and its follow-up work runs) while a fast sender keeps the queue filled.
    while (m_pool.Size() + m_passRecords < maxRecords &&
           m_pool.Bytes() + m_passBytes < kMaxPendingRecordBytes) {
        SocketEvent ev;
        std::unique_ptr<uint8_t[]> data;
        size_t capacity = 0;
        if (queue.TakeOwned(ev, data, capacity) == TakeResult::kEmpty) {
            return;
        }
        size_t length = data && ev.kind == SockEventKind::kData ? ev.length : 0;
        std::span<const uint8_t> bytes(data.get(), length);
        if (drain) {
            m_lendable = bytes;
        }
        HandleEvent(ev, bytes, newTransport);
        m_lendable = {};
        if (drain) {
            m_passRecords += m_pool.Size();
            m_passBytes += m_pool.Bytes();
            drain();  // every view into `data` is handled before the buffer is reused
        }
        if (capacity == CFragmentPool::kBufferBytes) {
            queue.Recycle(std::move(data));
        }
    }
}

std::span<const uint8_t> CDispatchMgr::FrameDirect(CConnEntry& entry, std::span<const uint8_t> data) {
    // First the message begun in the buffer, completed with only the bytes it lacks.
    while (!entry.buffer.empty() && !data.empty()) {
        size_t have = entry.buffer.size();
        size_t want = 5 - std::min<size_t>(have, 5);
        if (want == 0) {
            uint32_t n = GetU32(entry.buffer.data());
            if (n == kStopLength || uint64_t{n} + 4 > kMaxMessageBytes || have >= size_t{n} + 4) {
                return data;  // not a plain message in progress: the buffered path decides
            }
            want = size_t{n} + 4 - have;
        }
        size_t take = std::min(want, data.size());
        entry.Append(data.first(take));
        data = data.subspan(take);
        if (take == want && entry.buffer.size() >= 5) {
            if (m_plain.Frame(entry) != 0 || entry.closing) {
                return data;
            }
        }
    }
    if (!entry.buffer.empty()) {
        return data;
    }
    size_t used = m_plain.FrameDirect(entry, data);
    if (used == SIZE_MAX) {
        return {};
    }
    return data.subspan(used);
}

void CDispatchMgr::HandleEvent(const SocketEvent& ev, std::span<const uint8_t> data, uint8_t newTransport) {
    std::lock_guard lock(m_lock);
    auto it = m_entries.find(ev.Key());
    if (it == m_entries.end()) {
        if (ev.kind == SockEventKind::kAccepted) {
            CConnEntry entry;
            entry.key = ev.Key();
            entry.transport = newTransport;
            entry.opened = platform::GetTick();
            m_entries.emplace(entry.key, std::move(entry));
        }
        return;
    }
    CConnEntry& entry = it->second;
    switch (ev.kind) {
        case SockEventKind::kConnected:
            DispatcherOf(entry.type).OnConnected(entry);
            return;
        case SockEventKind::kClosed:
            DispatcherOf(entry.type).OnClosed(entry);
            return;
        case SockEventKind::kAccepted:
            return;
        case SockEventKind::kData:
            break;
    }
    if (entry.closing) {
        return;
    }
    if (entry.type == kDispatchPlain && entry.handshakeSeen) {
        // Whole messages are framed straight from the received bytes; only an unfinished one
        // at the end is kept in the buffer.
        data = FrameDirect(entry, data);
        if (data.empty() || entry.closing) {
            return;
        }
    }
    entry.Append(data);
    if (entry.type == kDispatchUnknown) {
        entry.type = DetectForm(entry.buffer, entry.transport);
        if (entry.type == kDispatchUnknown) {
            if (entry.buffer.size() > kMaxUndetectedBytes) {
                core::EngineLog(core::kLogFail, "unrecognised stream from %s dropped\n",
                                entry.key.Text().c_str());
                FramingError(entry);
            }
            return;
        }
        static const char* kNames[] = {"unknown", "http", "scrambled", "plain"};
        core::EngineLog(core::kLogDebug, "stream from %s framed as %s\n", entry.key.Text().c_str(),
                        entry.type <= kDispatchPlain ? kNames[entry.type] : "tracker");
    }
    int framed = DispatcherOf(entry.type).Frame(entry);
    if (framed == -1 && entry.type == kDispatchPlain && !entry.closing) {
        uint8_t other = DetectFallbackForm(entry.buffer, entry.transport);
        if (other != kDispatchUnknown && other != entry.type) {
            entry.type = other;
            DispatcherOf(other).Frame(entry);
        }
    }
    if (!entry.closing && entry.buffer.size() > kMaxBufferedBytes) {
        core::EngineLog(core::kLogFail, "connection %s holds %zu unframed bytes, dropped\n",
                        entry.key.Text().c_str(), entry.buffer.size());
        FramingError(entry);
    }
}

size_t CDispatchMgr::EntryCount() const {
    std::lock_guard lock(m_lock);
    return m_entries.size();
}

bool CDispatchMgr::HasEntry(const core::ConnectionKey& key) const {
    std::lock_guard lock(m_lock);
    return m_entries.count(key) != 0;
}

int CDispatchMgr::TypeOf(const core::ConnectionKey& key) const {
    std::lock_guard lock(m_lock);
    auto it = m_entries.find(key);
    return it == m_entries.end() ? -1 : it->second.type;
}

}  // namespace tessali::net
