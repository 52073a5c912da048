#include "engine/net/rudp_connection.h"

#include "engine/core/engine_env.h"
#include "engine/core/engine_log.h"

namespace tessali::net {

using platform::Tick;

namespace {

int32_t SeqDiff(uint32_t a, uint32_t b) {
    return static_cast<int32_t>(a - b);
}

}  // namespace

CConnection::CConnection(IDatagramSender& out, CFragmentPool& events, uint32_t addr, uint16_t port, int sock,
                         Tick now)
    : m_out(out),
      m_events(events),
      m_addr(addr),
      m_port(port),
      m_sock(sock),
      m_lastAckSent(now),
      m_lastReceived(now),
      m_window([this](std::span<const uint8_t> b) { return Transmit(b); }) {}

bool CConnection::Transmit(std::span<const uint8_t> bytes) {
    return m_out.SendTo(m_sock, m_addr, m_port, bytes) > 0;
}

void CConnection::SendControl(uint8_t type, uint32_t seq, uint32_t ack) {
    Transmit(BuildRudpPacket(type, seq, ack));
}

void CConnection::Post(SockEventKind kind, std::span<const uint8_t> data) {
    SocketEvent ev;
    ev.addr = m_addr;
    ev.port = m_port;
    ev.sock = m_sock;
    ev.kind = kind;
    m_events.Post(ev, data);
}

void CConnection::PostClosed() {
    if (!m_closePosted) {
        m_closePosted = true;
        Post(SockEventKind::kClosed);
    }
}

void CConnection::SendClose() {
    if (m_state == RudpState::kClosed) {
        return;
    }
    SendControl(kRudpClose, m_nextSend, m_expected);
    m_state = RudpState::kClosed;
    m_window.Clear();
    m_reorder.clear();
}

void CConnection::Establish(SockEventKind kind) {
    m_state = RudpState::kEstablished;
    m_nextSend = 1;
    m_expected = 1;
    Post(kind);
}

void CConnection::Reset() {
    m_reorder.clear();
    m_window.Clear();
    m_state = RudpState::kIdle;
    m_nextSend = 0;
    m_expected = 0;
    m_ackDue = false;
    m_closePosted = false;
}

void CConnection::StartConnect(Tick now) {
    std::lock_guard lock(m_lock);
    m_state = RudpState::kConnectSent;
    m_window.Queue(BuildRudpPacket(kRudpConnect, 0, 0), 0, now);
}

void CConnection::Abandon() {
    std::lock_guard lock(m_lock);
    m_closePosted = true;
    m_state = RudpState::kClosed;
    m_window.Clear();
    m_reorder.clear();
}

int CConnection::OnDatagram(std::span<const uint8_t> bytes, Tick now) {
    std::lock_guard lock(m_lock);
    if (m_state == RudpState::kClosed) {
        return 0;  // a late packet (often the peer's answering close) for a connection being removed
    }
    std::optional<RudpHeader> h = DecodeRudpHeader(bytes);
    // The length field must match the datagram: payload is read only from bytes we really have.
    if (!h || h->length != bytes.size() || h->length - kRudpHeaderBytes > kRudpMaxPayload) {
        PostClosed();
        SendClose();
        return -1;
    }
    std::span<const uint8_t> payload = bytes.subspan(kRudpHeaderBytes);
    switch (h->type) {
        case kRudpConnect:
            m_lastReceived = now;
            if (m_state == RudpState::kEstablished) {
                // The peer started over: the old connection is gone for the layer above.
                PostClosed();
                Reset();
            }
            m_state = RudpState::kAcceptSent;
            SendControl(kRudpAccept, 0, 1);
            return 0;
        case kRudpAck:
            m_lastReceived = now;
            if (m_state == RudpState::kAcceptSent) {
                if (h->seq != 0 || h->ack != 1) {
                    PostClosed();
                    SendClose();
                    return -1;
                }
                Establish(SockEventKind::kAccepted);
            } else {
                m_window.OnAck(h->ack, now);
            }
            return 0;
        case kRudpAccept:
            m_lastReceived = now;
            if (m_state == RudpState::kEstablished) {
                // A repeated accept (our connect went out twice): answer it, but keep the stream.
                SendControl(kRudpAck, 0, 1);
                return 0;
            }
            // Any other state, the accept-sent one included: when two peers' connects cross,
            // each answers the other's connect and then receives the other's accept.
            m_window.Clear();
            SendControl(kRudpAck, 0, 1);
            Establish(SockEventKind::kConnected);
            return 0;
        case kRudpData:
            m_lastReceived = now;
            if (m_state == RudpState::kAcceptSent) {
                Establish(SockEventKind::kAccepted);
            }
            if (m_state != RudpState::kEstablished) {
                return 0;
            }
            m_ackDue = true;
            OnData(*h, payload, now);
            return 0;
        case kRudpClose:
            PostClosed();
            SendClose();
            return -1;
        default:
            return 0;
    }
}

void CConnection::SendAck(Tick now) {
    SendControl(kRudpAck, m_nextSend, m_expected);
    m_ackDue = false;
    m_lastAckSent = now;
}

void CConnection::OnData(const RudpHeader& h, std::span<const uint8_t> payload, Tick now) {
    int32_t ahead = SeqDiff(h.seq, m_expected);
    if (ahead < 0 || payload.empty()) {
        return;  // already delivered; the acknowledge due tells the peer again
    }
    if (ahead > 0) {
        if (static_cast<uint32_t>(ahead) >= kRudpReorderWindowBytes) {
            return;
        }
        if (m_reorder.size() >= kRudpMaxReorderPackets) {
            // Full: entries the stream has already passed are dead weight; else drop this one.
            std::erase_if(m_reorder, [this](const auto& e) { return SeqDiff(e.first, m_expected) < 0; });
            if (m_reorder.size() >= kRudpMaxReorderPackets) {
                return;
            }
        }
        // Out of order and new: the acknowledge goes at once, naming the missing offset. Each
        // such acknowledge tells the sender that one more packet beyond the hole arrived, so a
        // copy already held, or one not kept, sends none: the sender counts arrivals by them.
        if (m_reorder.try_emplace(h.seq, payload.begin(), payload.end()).second) {
            SendAck(now);
        }
        return;
    }
    const bool fillsGap = !m_reorder.empty();
    std::vector<uint8_t> gathered;
    if (payload.size() == kRudpHandshakePayload) {
        // A handshake is handed over on its own, so the framing layer sees it whole.
        m_expected += kRudpHandshakePayload;
        Post(SockEventKind::kData, payload);
    } else {
        gathered.assign(payload.begin(), payload.end());
        m_expected += static_cast<uint32_t>(payload.size());
    }
    for (auto it = m_reorder.find(m_expected); it != m_reorder.end(); it = m_reorder.find(m_expected)) {
        gathered.insert(gathered.end(), it->second.begin(), it->second.end());
        m_expected += static_cast<uint32_t>(it->second.size());
        m_reorder.erase(it);
    }
    if (!gathered.empty()) {
        Post(SockEventKind::kData, gathered);
    }
    if (fillsGap) {
        SendAck(now);  // the sender is repairing a hole: tell it where the next one is
    }
}

int CConnection::Send(std::span<const uint8_t> data, Tick now) {
    std::lock_guard lock(m_lock);
    if (m_state != RudpState::kEstablished) {
        return -1;
    }
    size_t accepted = 0;
    while (accepted < data.size() && m_window.PayloadBytes() < kRudpMaxQueuedBytes) {
        size_t chunk = std::min(kRudpMaxPayload, data.size() - accepted);
        uint32_t seq = m_nextSend;
        m_window.Queue(BuildRudpPacket(kRudpData, seq, m_expected, data.subspan(accepted, chunk)), seq, now);
        m_nextSend += static_cast<uint32_t>(chunk);
        accepted += chunk;
    }
    return static_cast<int>(accepted);
}

void CConnection::Close() {
    std::lock_guard lock(m_lock);
    m_closePosted = true;
    SendClose();
}

bool CConnection::Poll(Tick now) {
    std::lock_guard lock(m_lock);
    if (m_state == RudpState::kClosed) {
        return false;
    }
    if (ElapsedSince(now, m_lastReceived) >= kRudpIdleMs) {
        PostClosed();
        SendClose();
        return false;
    }
    if (!m_window.OnTick(now)) {
        core::EngineLog(core::kLogDebug, "rudp connect to %s failed\n", core::AddressText(m_addr).c_str());
        PostClosed();
        SendClose();
        return false;
    }
    if (m_state == RudpState::kEstablished && m_ackDue &&
        ElapsedSince(now, m_lastAckSent) >= kRudpAckDelayMs) {
        SendAck(now);
    }
    return m_window.PacingPending();
}

void CConnection::SetOffsetsForTest(uint32_t nextSend, uint32_t expected) {
    std::lock_guard lock(m_lock);
    m_nextSend = nextSend;
    m_expected = expected;
}

RudpState CConnection::State() const {
    std::lock_guard lock(m_lock);
    return m_state;
}

uint32_t CConnection::NextSendOffset() const {
    std::lock_guard lock(m_lock);
    return m_nextSend;
}

uint32_t CConnection::ExpectedOffset() const {
    std::lock_guard lock(m_lock);
    return m_expected;
}

size_t CConnection::HeldPackets() const {
    std::lock_guard lock(m_lock);
    return m_reorder.size();
}

}  // namespace tessali::net
