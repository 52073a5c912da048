// A reliable-UDP endpoint that keeps to the protocol's original rules and nothing more: a window
// of 1 doubling to 64 and then growing by one per acknowledge, retransmission of the oldest packet
// only after count x 800 ms, acknowledges only every 30 ms, an unbounded reorder map, packets
// beyond the window sent only when they reach the head. Peers in the field behave like this, so
// our endpoint must complete transfers with it in both directions. One connection, one thread.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <span>
#include <vector>

#include "engine/net/rudp_packet.h"
#include "engine/platform/tick.h"

namespace tessali::net::test {

class CLiteralRudpPeer {
public:
    using Out = std::function<void(std::vector<uint8_t>)>;
    enum State { kIdle = 0, kAcceptSent = 1, kConnectSent = 2, kEstablished = 3, kClosed = 4 };

    explicit CLiteralRudpPeer(Out out) : m_out(std::move(out)) {}

    void Connect(platform::Tick now) {
        m_state = kConnectSent;
        Queue(BuildRudpPacket(kRudpConnect, 0, 0), 0, now);
    }
    // Queues the whole of `data` (the original has no bound on its window queue).
    bool Send(std::span<const uint8_t> data, platform::Tick now) {
        if (m_state != kEstablished) {
            return false;
        }
        for (size_t at = 0; at < data.size(); at += kRudpMaxPayload) {
            size_t n = std::min(kRudpMaxPayload, data.size() - at);
            Queue(BuildRudpPacket(kRudpData, m_nextSend, m_expected, data.subspan(at, n)), m_nextSend, now);
            m_nextSend += static_cast<uint32_t>(n);
        }
        return true;
    }

    void OnDatagram(std::span<const uint8_t> bytes, platform::Tick now) {
        if (m_state == kClosed || bytes.size() < kRudpHeaderBytes) {
            return;
        }
        RudpHeader h = *DecodeRudpHeader(bytes);
        if (h.length - kRudpHeaderBytes >= kRudpMaxPayload + 1) {
            Fail();
            return;
        }
        std::span<const uint8_t> payload = bytes.subspan(kRudpHeaderBytes, h.length - kRudpHeaderBytes);
        switch (h.type) {
            case kRudpConnect:
                m_lastReceived = now;
                if (m_state == kEstablished) {
                    closedEvents++;
                    m_reorder.clear();
                    m_fifo.clear();
                    m_inFlight = 0;
                    m_nextSend = m_expected = 0;
                }
                m_state = kAcceptSent;
                m_out(BuildRudpPacket(kRudpAccept, 0, 1));
                break;
            case kRudpAck:
                if (m_state == kAcceptSent) {
                    m_lastReceived = now;
                    if (h.seq != 0 || h.ack != 1) {
                        Fail();
                        return;
                    }
                    Establish();
                } else {
                    OnAck(h.ack);
                }
                break;
            case kRudpAccept:
                m_lastReceived = now;
                m_fifo.clear();
                m_inFlight = 0;
                m_out(BuildRudpPacket(kRudpAck, 0, 1));
                Establish();
                break;
            case kRudpData:
                m_lastReceived = now;
                if (m_state == kAcceptSent) {
                    Establish();
                }
                m_ackDue = true;
                OnData(h.seq, payload);
                break;
            case kRudpClose:
                Fail();
                break;
            default:
                break;
        }
    }

    void Poll(platform::Tick now) {
        if (m_state == kClosed) {
            return;
        }
        if (now - m_lastReceived >= 120000) {
            Fail();
            return;
        }
        Tick(now);
        if (m_state == kEstablished && m_ackDue && now - m_lastAckSent >= 30) {
            m_out(BuildRudpPacket(kRudpAck, m_nextSend, m_expected));
            m_ackDue = false;
            m_lastAckSent = now;
        }
    }

    State state() const { return m_state; }
    size_t Unacknowledged() const { return m_fifo.size(); }

    std::vector<uint8_t> received;
    int closedEvents = 0;
    bool established = false;

private:
    struct Packet {
        std::vector<uint8_t> bytes;
        uint32_t seq;
        platform::Tick tick;
        uint16_t count;
    };

    void Establish() {
        m_state = kEstablished;
        m_nextSend = m_expected = 1;
        established = true;
    }
    void Fail() {
        closedEvents++;
        if (m_state != kClosed) {
            m_out(BuildRudpPacket(kRudpClose, m_nextSend, m_expected));
            m_state = kClosed;
        }
    }
    void Queue(std::vector<uint8_t> bytes, uint32_t seq, platform::Tick now) {
        Packet p{std::move(bytes), seq, now, 0};
        if (m_inFlight < m_window) {
            m_out(p.bytes);
            ++m_inFlight;
            p.count = 1;
        }
        m_fifo.push_back(std::move(p));
    }
    void OnAck(uint32_t a) {
        while (!m_fifo.empty() && m_fifo.front().seq < a) {
            if (m_fifo.front().count > 0 && m_inFlight > 0) {
                --m_inFlight;
            }
            m_fifo.pop_front();
        }
        m_window = m_window < m_threshold ? m_window * 2 : m_window + 1;
    }
    void Tick(platform::Tick now) {
        if (m_fifo.empty()) {
            return;
        }
        Packet& head = m_fifo.front();
        bool connect = head.seq == 0;
        uint32_t timeout = connect ? 2500 : head.count * 800u;
        if (now - head.tick < timeout) {
            return;
        }
        if (connect && head.count > 5) {
            Fail();
            return;
        }
        int copies = !connect && head.bytes.size() <= kRudpHandshakePayload ? 2 : 1;
        for (int i = 0; i < copies; ++i) {
            m_out(head.bytes);
        }
        if (head.count > 1) {
            m_threshold = std::max((m_window + 1) / 2, 2u);
            m_window = 1;
        }
        if (head.count == 0) {
            ++m_inFlight;
        }
        ++head.count;
        head.tick = now;
    }
    void OnData(uint32_t s, std::span<const uint8_t> payload) {
        if (s < m_expected) {
            return;
        }
        if (payload.size() == kRudpHandshakePayload) {
            received.insert(received.end(), payload.begin(), payload.end());
            m_expected += kRudpHandshakePayload;
            return;
        }
        if (s == m_expected) {
            received.insert(received.end(), payload.begin(), payload.end());
            m_expected += static_cast<uint32_t>(payload.size());
            for (auto it = m_reorder.begin(); it != m_reorder.end() && it->first == m_expected;
                 it = m_reorder.erase(it)) {
                received.insert(received.end(), it->second.begin(), it->second.end());
                m_expected += static_cast<uint32_t>(it->second.size());
            }
            return;
        }
        m_reorder.try_emplace(s, payload.begin(), payload.end());
    }

    Out m_out;
    State m_state = kIdle;
    uint32_t m_nextSend = 0;
    uint32_t m_expected = 0;
    bool m_ackDue = false;
    platform::Tick m_lastAckSent = 0;
    platform::Tick m_lastReceived = 0;
    std::map<uint32_t, std::vector<uint8_t>> m_reorder;
    std::deque<Packet> m_fifo;
    size_t m_inFlight = 0;
    uint32_t m_window = 1;
    uint32_t m_threshold = 64;
};

}  // namespace tessali::net::test
