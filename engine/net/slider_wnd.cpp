#include "engine/net/slider_wnd.h"

#include <algorithm>

#include "engine/net/rudp_packet.h"

namespace tessali::net {

using platform::Tick;
using platform::TickBefore;

namespace {

// Stream offsets wrap after 4 GiB; compare them as the clock is compared.
bool SeqBefore(uint32_t a, uint32_t b) {
    return static_cast<int32_t>(a - b) < 0;
}

size_t PayloadOf(const RudpOutPacket& p) {
    return p.bytes.size() > kRudpHeaderBytes ? p.bytes.size() - kRudpHeaderBytes : 0;
}

}  // namespace

bool CSliderWnd::IsConnect(const RudpOutPacket& p) const {
    // By type, never by sequence: data offsets pass 0 again after 4 GiB.
    return p.bytes.size() > 12 && p.bytes[12] == kRudpConnect;
}

void CSliderWnd::Queue(std::vector<uint8_t> bytes, uint32_t seq, Tick now) {
    std::lock_guard lock(m_lock);
    RudpOutPacket p;
    p.bytes = std::move(bytes);
    p.seq = seq;
    m_payloadBytes += PayloadOf(p);
    m_fifo.push_back(std::move(p));
    SendMoreLocked(now);
}

uint64_t CSliderWnd::InFlightBytesLocked() const {
    return m_sentBytes - std::min(m_dupCredit, m_sentBytes);
}

uint32_t CSliderWnd::StaleAfterMs() const {
    return m_rtt.Srtt() + m_rtt.Srtt() / 4 + kRudpTimerGranularityMs;
}

void CSliderWnd::MarkLost(RudpOutPacket& p, bool timedOut) {
    if (!p.lost) {
        p.lost = true;
        ++m_lostPending;
        if (!timedOut) {
            m_cc.OnLoss(static_cast<uint32_t>(p.bytes.size()));
        } else {
            m_cc.OnTimeout(static_cast<uint32_t>(p.bytes.size()));
        }
        if (!m_inRecovery && m_sent > 0) {
            // Repair lasts until everything sent so far is acknowledged.
            const RudpOutPacket& last = m_fifo[m_sent - 1];
            m_recoveryEnd = last.seq + static_cast<uint32_t>(PayloadOf(last));
            m_inRecovery = true;
        }
    }
}

bool CSliderWnd::TakeTokens(size_t bytes, Tick now) {
    double rate = m_cc.PacingRate();
    // No estimate yet, or a round trip shorter than one burst (a LAN, loopback): there is
    // nothing to spread, and the window alone limits.
    if (rate <= 0 || m_cc.MinRttMs() <= kRudpPacingBurstMs) {
        return true;
    }
    double cap = std::max(rate * kRudpPacingBurstMs, 2.0 * kRudpMaxPacket);
    if (!m_refilled) {
        m_refilled = true;
        m_tokens = cap;
        m_lastRefill = now;
    } else if (TickBefore(m_lastRefill, now)) {
        m_tokens = std::min(cap, m_tokens + rate * platform::TickElapsed(now, m_lastRefill));
        m_lastRefill = now;
    }
    if (m_tokens <= 0) {
        m_pacingPending = true;
        return false;
    }
    m_tokens -= static_cast<double>(bytes);
    return true;
}

bool CSliderWnd::SendPacketLocked(RudpOutPacket& p, Tick now) {
    if (!m_transmit(p.bytes)) {
        return false;  // the socket is full: the packet stays as it was and goes on a later pass
    }
    // Small packets (handshakes, requests) are cheap to double against a second loss.
    if (p.count > 0 && !IsConnect(p) && p.bytes.size() <= kRudpHandshakePayload) {
        m_transmit(p.bytes);
    }
    ++p.count;
    p.lastSent = now;
    p.txOrder = ++m_txCounter;
    p.deliveredAtSend = m_delivered;
    p.deliveredTimeAtSend = m_deliveredTime;
    p.firstSentAtSend = m_firstSentTime;
    p.appLimited = m_appLimitedUntil > m_delivered;
    Tick due = now + m_rtt.BackedOffRto(p.count);
    if (!m_timerArmed || TickBefore(due, m_nextTimerDue)) {
        m_nextTimerDue = due;
        m_timerArmed = true;
    }
    return true;
}

void CSliderWnd::SendMoreLocked(Tick now) {
    m_pacingPending = false;
    // Retransmissions first, oldest first: the receiver delivers nothing past the oldest hole.
    for (size_t i = 0; i < m_sent && m_lostPending > 0; ++i) {
        RudpOutPacket& p = m_fifo[i];
        if (!p.lost) {
            continue;
        }
        if (!TakeTokens(p.bytes.size(), now) || !SendPacketLocked(p, now)) {
            return;
        }
        p.lost = false;
        --m_lostPending;
        ++m_retransmissions;
    }
    const uint64_t window = m_cc.WindowBytes();
    while (m_sent < m_fifo.size()) {
        RudpOutPacket& p = m_fifo[m_sent];
        if (m_sent > 0) {
            if (InFlightBytesLocked() + p.bytes.size() > window) {
                return;
            }
            // Never further ahead of the oldest unacknowledged offset, nor more packets, than
            // the receiver holds out of order: what it drops would only be sent again.
            if (m_sent + 1 >= kRudpMaxReorderPackets ||
                static_cast<uint32_t>(p.seq + PayloadOf(p) - m_fifo.front().seq) >= kRudpReorderWindowBytes) {
                return;
            }
        }
        if (!TakeTokens(p.bytes.size(), now)) {
            return;
        }
        if (m_sent == 0) {
            m_deliveredTime = now;  // the path was idle: rates are measured from here
            m_firstSentTime = now;
        }
        if (!SendPacketLocked(p, now)) {
            return;
        }
        ++m_sent;
        m_sentBytes += p.bytes.size();
    }
    // Everything queued is out while the window had room: the application is the limit, and
    // the rates measured until what is in flight now is delivered say so.
    m_appLimitedUntil = std::max<uint64_t>(m_delivered + InFlightBytesLocked(), 1);
}

void CSliderWnd::OnAck(uint32_t ack, Tick now) {
    std::lock_guard lock(m_lock);
    if (m_sent == 0) {
        SendMoreLocked(now);
        return;
    }
    const bool hadDupAcks = m_dupAcks > 0;
    uint64_t removedBytes = 0;
    size_t removedPackets = 0;
    bool sawRetransmission = false;
    uint64_t newestRetransmission = 0;  // transmission order
    RudpOutPacket newest;
    // Only what was sent can be acknowledged; an acknowledgement beyond it removes nothing more.
    while (m_sent > 0 && SeqBefore(m_fifo.front().seq, ack)) {
        RudpOutPacket& p = m_fifo.front();
        if (p.count > 1 && (!sawRetransmission || newestRetransmission < p.txOrder)) {
            newestRetransmission = p.txOrder;
            sawRetransmission = true;
        }
        if (p.lost) {
            --m_lostPending;
        }
        removedBytes += p.bytes.size();
        ++removedPackets;
        m_sentBytes -= p.bytes.size();
        m_payloadBytes -= PayloadOf(p);
        newest = std::move(p);
        m_fifo.pop_front();
        --m_sent;
    }
    const bool inRecovery = m_inRecovery;
    if (m_inRecovery && !SeqBefore(ack, m_recoveryEnd)) {
        m_inRecovery = false;
    }
    if (removedBytes > 0) {
        uint64_t credited = std::min(m_dupCredit, removedBytes);
        m_dupCredit -= credited;
        // The head was never counted; the others removed were, as far as the count went.
        m_dupPackets -= std::min(m_dupPackets, removedPackets - 1);
        m_dupAcks = 0;
        m_delivered += removedBytes - credited;
        m_deliveredTime = now;
        RudpRateSample s;
        s.delivered = m_delivered;
        s.priorDelivered = newest.deliveredAtSend;
        // Acknowledges come in bursts (the peer holds them up to 30 ms): the data cannot have
        // been delivered faster than it was sent, so the longer of the two spans counts.
        s.intervalMs = std::max(ElapsedSince(now, newest.deliveredTimeAtSend),
                                ElapsedSince(newest.lastSent, newest.firstSentAtSend));
        m_firstSentTime = newest.lastSent;
        s.appLimited = newest.appLimited;
        s.rateUnknown = newest.count > 1;
        // A packet sent once and acknowledged without a hole before it gives a clean round trip
        // (one that waited behind a hole would count the repair too).
        if (newest.count == 1 && !hadDupAcks && !sawRetransmission) {
            s.rttMs = std::max<uint32_t>(ElapsedSince(now, newest.lastSent), 1);
            m_rtt.AddSample(s.rttMs);
        }
        s.inFlight = InFlightBytesLocked();
        s.inRecovery = inRecovery || hadDupAcks;
        m_cc.OnSample(s, now);
        // A retransmission sent after the new head's last transmission arrived, and the
        // acknowledgement stopped at the head: on one path the head is lost, not late.
        if (m_sent > 0 && sawRetransmission && m_fifo.front().txOrder < newestRetransmission) {
            MarkLost(m_fifo.front());
        }
    } else if (m_sent > 1 && m_fifo.front().seq == ack) {
        // The acknowledgement is stuck at the head while later packets keep arriving: each such
        // acknowledge stands for one of them, and the offset it names is the one missing.
        ++m_dupAcks;
        if (m_dupPackets + 1 < m_sent) {
            // Credited with the size of the packet it most likely stands for: the peer layer's
            // messages end in short packets, and counting each as a full one ran the rate
            // estimate above the link.
            ++m_dupPackets;
            uint64_t beyond = m_sentBytes - m_fifo.front().bytes.size();
            uint64_t c = std::min<uint64_t>(m_fifo[m_dupPackets].bytes.size(), beyond - std::min(m_dupCredit, beyond));
            m_dupCredit += c;
            m_delivered += c;
            m_deliveredTime = now;
            SampleDupAckLocked(now);
        }
        RudpOutPacket& head = m_fifo.front();
        if (!head.lost) {
            bool first = m_dupAcks == kRudpDupAckThreshold && head.count == 1;
            // Its retransmission is lost too when acknowledges still name it a round trip later.
            bool again = m_dupAcks > kRudpDupAckThreshold && head.count > 1 && m_rtt.HasSample() &&
                         ElapsedSince(now, head.lastSent) > StaleAfterMs();
            if (first || again) {
                MarkLost(head);
            }
        }
    }
    SendMoreLocked(now);
}

void CSliderWnd::SampleDupAckLocked(Tick now) {
    // The path is first in, first out: the n-th repeated acknowledge was most likely caused by
    // the n-th packet beyond the head. Taking the rate sample from that packet keeps the
    // bandwidth estimate alive while a hole holds the cumulative acknowledgement back, as a
    // selective acknowledgement would; a loss among them shifts the guess by a packet or two.
    const RudpOutPacket& p = m_fifo[m_dupPackets];
    RudpRateSample s;
    s.delivered = m_delivered;
    s.priorDelivered = p.deliveredAtSend;
    s.intervalMs = std::max(ElapsedSince(now, p.deliveredTimeAtSend), ElapsedSince(p.lastSent, p.firstSentAtSend));
    if (TickBefore(m_firstSentTime, p.lastSent)) {
        m_firstSentTime = p.lastSent;
    }
    s.appLimited = p.appLimited;
    // Once repairs are in flight the count no longer lines up with the order of sending: a
    // guess that lands on a retransmitted packet pairs bytes that arrived long ago with its
    // recent transmission, which showed half again the link's rate. No rate from those.
    s.rateUnknown = p.count > 1;
    s.inFlight = InFlightBytesLocked();
    s.inRecovery = true;
    m_cc.OnSample(s, now);
}

bool CSliderWnd::OnTick(Tick now) {
    std::lock_guard lock(m_lock);
    if (m_fifo.empty()) {
        m_pacingPending = false;
        return true;
    }
    RudpOutPacket& head = m_fifo.front();
    if (IsConnect(head)) {
        if (head.count > 0 && ElapsedSince(now, head.lastSent) >= kRudpConnectRetryMs) {
            if (head.count >= kRudpConnectTransmissions) {
                return false;
            }
            if (m_transmit(head.bytes)) {
                ++head.count;
                head.lastSent = now;
            }
            return true;
        }
        if (head.count > 0) {
            return true;
        }
    } else if (m_timerArmed && !TickBefore(now, m_nextTimerDue)) {
        // Every packet whose own time-out has passed goes again, not only the oldest; but when
        // the repeated acknowledges account for everything beyond the head, only the head.
        m_timerArmed = false;
        const bool restArrived = m_sent > 0 && m_dupCredit + m_fifo.front().bytes.size() >= m_sentBytes;
        for (size_t i = 0; i < m_sent; ++i) {
            RudpOutPacket& p = m_fifo[i];
            if (p.lost) {
                continue;
            }
            Tick due = p.lastSent + m_rtt.BackedOffRto(p.count);
            if (i > 0 && restArrived) {
                due = now + m_rtt.Rto();  // looked at again should the acknowledges stop
            }
            if (!TickBefore(now, due) && !TickBefore(now, p.lastSent)) {
                MarkLost(p, true);
            } else if (!m_timerArmed || TickBefore(due, m_nextTimerDue)) {
                m_nextTimerDue = due;
                m_timerArmed = true;
            }
        }
    }
    SendMoreLocked(now);
    return true;
}

void CSliderWnd::Clear() {
    std::lock_guard lock(m_lock);
    m_fifo.clear();
    m_sent = 0;
    m_sentBytes = 0;
    m_payloadBytes = 0;
    m_lostPending = 0;
    m_dupCredit = 0;
    m_dupPackets = 0;
    m_dupAcks = 0;
    m_timerArmed = false;
    m_pacingPending = false;
    m_inRecovery = false;
}

size_t CSliderWnd::InFlight() const {
    std::lock_guard lock(m_lock);
    return m_sent;
}

size_t CSliderWnd::Packets() const {
    std::lock_guard lock(m_lock);
    return m_fifo.size();
}

size_t CSliderWnd::PayloadBytes() const {
    std::lock_guard lock(m_lock);
    return m_payloadBytes;
}

size_t CSliderWnd::UnsentBytes() const {
    std::lock_guard lock(m_lock);
    size_t sentPayload = m_sentBytes - m_sent * kRudpHeaderBytes;
    return m_payloadBytes - std::min(sentPayload, m_payloadBytes);
}

size_t CSliderWnd::OutstandingSpan() const {
    std::lock_guard lock(m_lock);
    if (m_sent == 0) {
        return 0;
    }
    const RudpOutPacket& last = m_fifo[m_sent - 1];
    return static_cast<uint32_t>(last.seq + PayloadOf(last) - m_fifo.front().seq);
}

uint16_t CSliderWnd::HeadCount() const {
    std::lock_guard lock(m_lock);
    return m_fifo.empty() ? 0 : m_fifo.front().count;
}

uint32_t CSliderWnd::Rto() const {
    std::lock_guard lock(m_lock);
    return m_rtt.Rto();
}

uint32_t CSliderWnd::Srtt() const {
    std::lock_guard lock(m_lock);
    return m_rtt.Srtt();
}

uint64_t CSliderWnd::WindowBytes() const {
    std::lock_guard lock(m_lock);
    return m_cc.WindowBytes();
}

double CSliderWnd::BottleneckRate() const {
    std::lock_guard lock(m_lock);
    return m_cc.BottleneckRate();
}

bool CSliderWnd::PacingPending() const {
    std::lock_guard lock(m_lock);
    return m_pacingPending;
}

uint64_t CSliderWnd::Retransmissions() const {
    std::lock_guard lock(m_lock);
    return m_retransmissions;
}

}  // namespace tessali::net
