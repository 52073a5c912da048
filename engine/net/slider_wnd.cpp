#include "engine/net/slider_wnd.h"

#include <algorithm>

#include "engine/net/rudp_packet.h"

namespace tessali::net {

using platform::Tick;

namespace {

// Stream offsets wrap after 4 GiB; compare them as the clock is compared.
bool SeqBefore(uint32_t a, uint32_t b) {
    return static_cast<int32_t>(a - b) < 0;
}

}  // namespace

void CSliderWnd::Queue(std::vector<uint8_t> bytes, uint32_t seq, Tick now) {
    std::lock_guard lock(m_lock);
    m_payloadBytes += bytes.size() > kRudpHeaderBytes ? bytes.size() - kRudpHeaderBytes : 0;
    m_fifo.push_back(RudpOutPacket{std::move(bytes), seq, now, 0});
    SendMoreLocked(now);
}

void CSliderWnd::SendMoreLocked(Tick now) {
    // Packets queued while the window was full go out as soon as it has room again.
    while (m_inFlight < m_fifo.size() && m_inFlight < m_window) {
        RudpOutPacket& p = m_fifo[m_inFlight];
        m_transmit(p.bytes);
        p.count = 1;
        p.lastSent = now;
        ++m_inFlight;
    }
}

void CSliderWnd::OnAck(uint32_t ack, Tick now) {
    std::lock_guard lock(m_lock);
    while (!m_fifo.empty() && SeqBefore(m_fifo.front().seq, ack)) {
        const RudpOutPacket& p = m_fifo.front();
        if (p.count > 0 && m_inFlight > 0) {
            --m_inFlight;
        }
        m_payloadBytes -= p.bytes.size() > kRudpHeaderBytes ? p.bytes.size() - kRudpHeaderBytes : 0;
        m_fifo.pop_front();
    }
    if (m_window < m_threshold) {
        m_window *= 2;
    } else {
        m_window += 1;
    }
    SendMoreLocked(now);
}

bool CSliderWnd::OnTick(Tick now) {
    std::lock_guard lock(m_lock);
    if (m_fifo.empty()) {
        return true;
    }
    RudpOutPacket& head = m_fifo.front();
    bool connect = head.seq == 0;
    uint32_t timeout = connect ? kRudpConnectRetryMs : head.count * kRudpDataRetryStepMs;
    if (ElapsedSince(now, head.lastSent) < timeout) {
        return true;
    }
    if (connect && head.count >= kRudpConnectTransmissions) {
        return false;
    }
    // Small data packets (handshakes, requests) are cheap to double against loss.
    int copies = !connect && head.bytes.size() <= kRudpHandshakePayload ? 2 : 1;
    for (int i = 0; i < copies; ++i) {
        m_transmit(head.bytes);
    }
    if (head.count > 1) {
        m_threshold = std::max((m_window + 1) / 2, 2u);
        m_window = 1;
    }
    if (head.count == 0) {
        ++m_inFlight;
    }
    ++head.count;
    head.lastSent = now;
    return true;
}

void CSliderWnd::Clear() {
    std::lock_guard lock(m_lock);
    m_fifo.clear();
    m_inFlight = 0;
    m_payloadBytes = 0;
}

uint32_t CSliderWnd::Window() const {
    std::lock_guard lock(m_lock);
    return m_window;
}

uint32_t CSliderWnd::Threshold() const {
    std::lock_guard lock(m_lock);
    return m_threshold;
}

size_t CSliderWnd::InFlight() const {
    std::lock_guard lock(m_lock);
    return m_inFlight;
}

size_t CSliderWnd::Packets() const {
    std::lock_guard lock(m_lock);
    return m_fifo.size();
}

size_t CSliderWnd::PayloadBytes() const {
    std::lock_guard lock(m_lock);
    return m_payloadBytes;
}

uint16_t CSliderWnd::HeadCount() const {
    std::lock_guard lock(m_lock);
    return m_fifo.empty() ? 0 : m_fifo.front().count;
}

}  // namespace tessali::net
