// CConnection: one reliable-UDP connection to a remote endpoint over the shared carrier socket.
// Runs the connect/accept handshake, turns received packets into in-order stream data (holding
// early packets within a bounded window), acknowledges in-order data with a delay and each new
// packet out of order at once (so the sender learns of a hole within a round trip and counts
// what arrived beyond it), and posts
// connected, accepted, data and closed events. Counted; one lock guards its state, taken before
// its window's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <span>
#include <vector>

#include "engine/core/ref_counted.h"
#include "engine/net/datagram_sender.h"
#include "engine/net/fragment_pool.h"
#include "engine/net/rudp_packet.h"
#include "engine/net/slider_wnd.h"
#include "engine/platform/tick.h"

namespace tessali::net {

enum class RudpState : uint8_t {
    kIdle = 0,
    kAcceptSent = 1,   // incoming, waiting for the acknowledge
    kConnectSent = 2,  // outgoing
    kEstablished = 3,
    kClosed = 4,
};

constexpr uint32_t kRudpAckDelayMs = 30;
constexpr uint32_t kRudpIdleMs = 120000;
// What one connection may have queued unacknowledged; Send accepts less beyond it.
constexpr size_t kRudpMaxQueuedBytes = 2 * 1024 * 1024;

class CConnection : public core::RefCountedObject {
public:
    // addr/port in network order; sock is the carrier socket.
    CConnection(IDatagramSender& out, CFragmentPool& events, uint32_t addr, uint16_t port, int sock,
                platform::Tick now);

    // Outgoing: state 2 with the connect packet in the window.
    void StartConnect(platform::Tick now);
    // Handles one datagram from the remote; -1 when it closed the connection.
    int OnDatagram(std::span<const uint8_t> bytes, platform::Tick now);
    // Bytes accepted (possibly fewer than given while the window is full), -1 unless established.
    int Send(std::span<const uint8_t> data, platform::Tick now);
    // Sends the close packet; posts nothing (the caller asked for it).
    void Close();
    // Forgets the connection without a datagram or an event (state 4).
    void Abandon();
    // One pass of the polling thread: idle time-out, retransmission, paced sends, delayed
    // acknowledge. True while packets wait for the pacer (come back within a millisecond).
    bool Poll(platform::Tick now);
    // Moves both stream offsets of an established connection (tests of the 4 GiB wrap).
    void SetOffsetsForTest(uint32_t nextSend, uint32_t expected);

    RudpState State() const;
    uint32_t NextSendOffset() const;
    uint32_t ExpectedOffset() const;
    size_t HeldPackets() const;
    const CSliderWnd& Window() const { return m_window; }
    CSliderWnd& Window() { return m_window; }

private:
    bool Transmit(std::span<const uint8_t> bytes);
    void SendControl(uint8_t type, uint32_t seq, uint32_t ack);
    // All below with m_lock held.
    void Post(SockEventKind kind, std::span<const uint8_t> data = {});
    void PostClosed();
    void SendClose();
    void Establish(SockEventKind kind);
    void Reset();
    void OnData(const RudpHeader& h, std::span<const uint8_t> payload, platform::Tick now);
    void SendAck(platform::Tick now);

    IDatagramSender& m_out;
    CFragmentPool& m_events;
    const uint32_t m_addr;
    const uint16_t m_port;
    const int m_sock;

    mutable std::mutex m_lock;
    RudpState m_state = RudpState::kIdle;
    uint32_t m_nextSend = 0;
    uint32_t m_expected = 0;
    bool m_ackDue = false;
    bool m_closePosted = false;
    platform::Tick m_lastAckSent;
    platform::Tick m_lastReceived;
    std::map<uint32_t, std::vector<uint8_t>> m_reorder;
    CSliderWnd m_window;
};

}  // namespace tessali::net
