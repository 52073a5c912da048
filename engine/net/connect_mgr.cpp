#include "engine/net/connect_mgr.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <cerrno>

#include "engine/core/engine_env.h"
#include "engine/platform/thread.h"

namespace tessali::net {

using core::ConnectionKey;
using core::Ref;
using platform::GetTick;

int CSocketSender::SendTo(int sock, uint32_t addr, uint16_t port, std::span<const uint8_t> bytes) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = addr;
    to.sin_port = port;
    ssize_t n =
        ::sendto(sock, bytes.data(), bytes.size(), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&to), sizeof to);
    if (n < 0) {
        return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
    }
    return static_cast<int>(n);
}

namespace {

bool IsData(std::span<const uint8_t> bytes) {
    std::optional<RudpHeader> h = DecodeRudpHeader(bytes);
    return h && h->type == kRudpData && bytes.size() > kRudpHeaderBytes;
}

}  // namespace

CConnectMgr::CConnectMgr(CFragmentPool& events, IDatagramSender& out, ITrackerRelay* relay)
    : m_events(events), m_out(out), m_relay(relay) {}

CConnectMgr::~CConnectMgr() {
    Stop();
    std::lock_guard lock(m_lock);
    m_conns.clear();
}

bool CConnectMgr::Start() {
    if (m_running.exchange(true)) {
        return true;
    }
    m_thread = std::thread([this] { PollLoop(); });
    return true;
}

void CConnectMgr::StartWithoutThread() {
    m_running = true;
}

void CConnectMgr::Stop() {
    m_running = false;
    m_connectionAdded.Set();
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

void CConnectMgr::PollLoop() {
    platform::SetCurrentThreadName("RudpPoll");
    while (m_running) {
        bool pacing = Poll();
        if (ConnectionCount() == 0) {
            m_connectionAdded.Wait(kRudpIdlePollMs);
            continue;
        }
        platform::SleepMs(pacing ? kRudpPacingPollMs : kRudpPollMs);
    }
}

bool CConnectMgr::Poll() {
    platform::Tick now = GetTick();
    bool pacing = false;
    std::lock_guard lock(m_lock);
    for (auto it = m_conns.begin(); it != m_conns.end();) {
        if (it->second->State() == RudpState::kClosed) {
            it = m_conns.erase(it);
            continue;
        }
        pacing |= it->second->Poll(now);
        ++it;
    }
    return pacing;
}

bool CConnectMgr::Connect(uint32_t addr, uint16_t port, int sock) {
    if (!m_running) {
        return false;
    }
    ConnectionKey key{addr, port, sock};
    std::lock_guard lock(m_lock);
    if (m_conns.count(key)) {
        return false;
    }
    platform::Tick now = GetTick();
    auto conn = Ref<CConnection>::Make(m_out, m_events, addr, port, sock, now);
    conn->StartConnect(now);
    m_conns.emplace(key, std::move(conn));
    m_connectionAdded.Set();
    return true;
}

bool CConnectMgr::Close(uint32_t addr, uint16_t port, int sock) {
    Ref<CConnection> conn = Find(addr, port, sock);
    if (!conn) {
        return false;
    }
    conn->Close();
    return true;
}

void CConnectMgr::OnDatagram(uint32_t addr, uint16_t port, int sock, const uint8_t* data, size_t len) {
    if (!m_running) {
        return;
    }
    std::span<const uint8_t> bytes(data, len);
    ConnectionKey key{addr, port, sock};
    platform::Tick now = GetTick();
    std::lock_guard lock(m_lock);
    auto it = m_conns.find(key);
    if (it == m_conns.end()) {
        std::optional<RudpHeader> h = DecodeRudpHeader(bytes);
        if (!h || h->type != kRudpConnect || h->seq != 0 || h->ack != 0) {
            return;
        }
        DropOldestHalfOpen();
        it = m_conns.emplace(key, Ref<CConnection>::Make(m_out, m_events, addr, port, sock, now)).first;
        m_halfOpen.emplace_back(key, it->second.get());
        m_connectionAdded.Set();
    } else if (m_events.QueuedBytes() >= kMaxQueuedRudpReceiveBytes && IsData(bytes) &&
               it->second->State() == RudpState::kEstablished) {
        // The peer thread is behind: data it has not taken fills the queue up to its bound. Like
        // a TCP receiver with a closed window, take no more (unacknowledged, the sender keeps it
        // and sends it again) until the queue has come down.
        return;
    }
    it->second->OnDatagram(bytes, now);
}

void CConnectMgr::DropOldestHalfOpen() {
    while (m_halfOpen.size() >= kRudpMaxHalfOpen) {
        auto [key, conn] = m_halfOpen.front();
        m_halfOpen.pop_front();
        auto it = m_conns.find(key);
        if (it != m_conns.end() && it->second.get() == conn && conn->State() == RudpState::kAcceptSent) {
            // Never reported to the layer above, so it leaves without an event or a datagram
            // (a close to a forged address would only be more traffic for a stranger).
            it->second->Abandon();
            m_conns.erase(it);
            return;
        }
    }
}

int CConnectMgr::Send(uint32_t addr, uint16_t port, int sock, const uint8_t* data, size_t len) {
    Ref<CConnection> conn = Find(addr, port, sock);
    if (!conn) {
        return -1;
    }
    return conn->Send({data, len}, GetTick());
}

size_t CConnectMgr::SendRoom(uint32_t addr, uint16_t port, int sock) {
    Ref<CConnection> conn = Find(addr, port, sock);
    if (!conn || conn->State() != RudpState::kEstablished) {
        return kNoConnection;
    }
    size_t queued = conn->Window().PayloadBytes();
    return queued < kRudpMaxQueuedBytes ? kRudpMaxQueuedBytes - queued : 0;
}

size_t CConnectMgr::UnsentBytes(uint32_t addr, uint16_t port, int sock) {
    Ref<CConnection> conn = Find(addr, port, sock);
    return conn ? conn->Window().UnsentBytes() : 0;
}

TakeResult CConnectMgr::TakeEvent(SocketEvent& out, std::span<uint8_t> buffer) {
    return m_events.Take(out, buffer);
}

Ref<CConnection> CConnectMgr::Find(uint32_t addr, uint16_t port, int sock) const {
    std::lock_guard lock(m_lock);
    auto it = m_conns.find(ConnectionKey{addr, port, sock});
    return it == m_conns.end() ? Ref<CConnection>() : it->second;
}

size_t CConnectMgr::ConnectionCount() const {
    std::lock_guard lock(m_lock);
    return m_conns.size();
}

void CConnectMgr::RelayRequest(ITrackerRelay& relay, int sock, std::span<const uint8_t, 20> remotePeerId,
                               std::span<const uint8_t, 20> infoHash) {
    std::array<uint8_t, 20> own = relay.OwnPeerId();
    auto request = BuildRelayRequest(own, remotePeerId, infoHash);
    relay.SendRelayRequest(sock, request);
}

bool CConnectMgr::ConnectThroughNat(int sock, uint32_t addr, uint16_t port, uint32_t remoteNatType,
                                    std::span<const uint8_t, 20> remotePeerId,
                                    std::span<const uint8_t, 20> infoHash) {
    const uint32_t t = remoteNatType;
    const uint32_t o = core::Host().natType.load();
    ITrackerRelay* relay = m_relay.load();
    if (!relay || !relay->LoggedIn()) {
        return t == 1 && Connect(addr, port, sock);
    }
    if (o == 0) {
        RelayRequest(*relay, relay->AgentSocket(), remotePeerId, infoHash);
        return false;
    }
    if (t == 1) {
        return Connect(addr, port, sock);
    }
    if (o == 1) {
        RelayRequest(*relay, relay->AgentSocket(), remotePeerId, infoHash);
        return false;
    }
    if (t == 2 || (t == 3 && o <= 3)) {
        RelayRequest(*relay, sock, remotePeerId, infoHash);
        return Connect(addr, port, sock);
    }
    if (t > 3 && o == 2) {
        // Opens our side of the mapping towards the peer before the tracker tells it to call.
        static const uint8_t kPunch[1] = {'0'};
        m_out.SendTo(relay->AgentSocket(), addr, port, kPunch);
        RelayRequest(*relay, relay->AgentSocket(), remotePeerId, infoHash);
        return false;
    }
    if (t == 7) {
        RelayRequest(*relay, sock, remotePeerId, infoHash);
        return Connect(addr, port, sock);
    }
    return false;
}

}  // namespace tessali::net
