// Two reliable-UDP managers joined by an in-memory link under a fake clock: every datagram sent
// is recorded, and Pump hands it to the other side, optionally through a filter.
#pragma once

#include <arpa/inet.h>

#include <functional>
#include <mutex>
#include <vector>

#include "engine/net/connect_mgr.h"
#include "engine/net/rudp_packet.h"
#include "net/net_test_util.h"

namespace tessali::net::test {

struct SentDatagram {
    int sock;
    uint32_t addr;
    uint16_t port;
    std::vector<uint8_t> bytes;
    RudpHeader Header() const { return *DecodeRudpHeader(bytes); }
};

class CRecordingSender : public IDatagramSender {
public:
    int SendTo(int sock, uint32_t addr, uint16_t port, std::span<const uint8_t> bytes) override {
        std::lock_guard lock(m_lock);
        m_sent.push_back({sock, addr, port, {bytes.begin(), bytes.end()}});
        m_log.push_back(m_sent.back());
        return static_cast<int>(bytes.size());
    }
    // Datagrams not yet pumped.
    std::vector<SentDatagram> Take() {
        std::lock_guard lock(m_lock);
        return std::exchange(m_sent, {});
    }
    // Everything ever sent.
    std::vector<SentDatagram> Log() {
        std::lock_guard lock(m_lock);
        return m_log;
    }
    void ClearLog() {
        std::lock_guard lock(m_lock);
        m_log.clear();
    }

private:
    std::mutex m_lock;
    std::vector<SentDatagram> m_sent;
    std::vector<SentDatagram> m_log;
};

struct Endpoint {
    uint32_t addr;
    uint16_t port;  // network order
    int sock;
    CFragmentPool events;
    CRecordingSender out;
    CConnectMgr mgr;
    Endpoint(const char* ip, uint16_t hostPort, int s)
        : addr(inet_addr(ip)), port(htons(hostPort)), sock(s), mgr(events, out) {
        mgr.StartWithoutThread();
    }
};

class CFakeLink {
public:
    // Returns how many copies of the datagram to deliver (0 drops it).
    using Filter = std::function<int(const SentDatagram&)>;

    CFakeLink() : a("10.0.0.1", 1000, 3), b("10.0.0.2", 2000, 4) {}

    // Delivers everything queued on both sides until the link is quiet.
    void Pump(const Filter& filter = {}) {
        for (int round = 0; round < 1000; ++round) {
            auto fromA = a.out.Take();
            auto fromB = b.out.Take();
            if (fromA.empty() && fromB.empty()) {
                return;
            }
            for (auto& d : fromA) {
                for (int i = filter ? filter(d) : 1; i > 0; --i) {
                    b.mgr.OnDatagram(a.addr, a.port, b.sock, d.bytes.data(), d.bytes.size());
                }
            }
            for (auto& d : fromB) {
                for (int i = filter ? filter(d) : 1; i > 0; --i) {
                    a.mgr.OnDatagram(b.addr, b.port, a.sock, d.bytes.data(), d.bytes.size());
                }
            }
        }
    }
    void PollBoth() {
        a.mgr.Poll();
        b.mgr.Poll();
    }
    // A connects to B; both ends established.
    void Establish() {
        a.mgr.Connect(b.addr, b.port, a.sock);
        Pump();
    }
    core::Ref<CConnection> ConnA() { return a.mgr.Find(b.addr, b.port, a.sock); }
    core::Ref<CConnection> ConnB() { return b.mgr.Find(a.addr, a.port, b.sock); }
    // Feeds B a packet as if A had sent it.
    void FeedB(uint8_t type, uint32_t seq, uint32_t ack, std::span<const uint8_t> payload = {}) {
        auto bytes = BuildRudpPacket(type, seq, ack, payload);
        b.mgr.OnDatagram(a.addr, a.port, b.sock, bytes.data(), bytes.size());
    }
    void FeedBRaw(std::span<const uint8_t> bytes) {
        b.mgr.OnDatagram(a.addr, a.port, b.sock, bytes.data(), bytes.size());
    }
    void FeedA(uint8_t type, uint32_t seq, uint32_t ack, std::span<const uint8_t> payload = {}) {
        auto bytes = BuildRudpPacket(type, seq, ack, payload);
        a.mgr.OnDatagram(b.addr, b.port, a.sock, bytes.data(), bytes.size());
    }

    Endpoint a;
    Endpoint b;
};

inline std::vector<TakenEvent> DrainEvents(CFragmentPool& q) {
    std::vector<TakenEvent> out;
    std::vector<uint8_t> buf(1 << 22);
    TakenEvent t;
    while (q.Take(t.ev, buf) == TakeResult::kTaken) {
        t.data.assign(buf.begin(), buf.begin() + t.ev.length);
        out.push_back(t);
    }
    return out;
}

}  // namespace tessali::net::test
