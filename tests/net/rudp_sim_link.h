// A simulated carrier between two reliable-UDP endpoints under the fake engine clock: per
// direction a rate, a one-way delay, a bottleneck queue (tail drop when full), random loss,
// duplication and reordering. Either end is our connection manager or the literal-rules peer.
// Shared by the tests (which check the delivered bytes) and bench/ (which measures the rate).
#pragma once

#include <arpa/inet.h>

#include <cmath>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <vector>

#include "net/rudp_fake_link.h"
#include "net/rudp_literal_peer.h"

namespace tessali::net::test {

// The stream's byte at offset i: never periodic at packet sizes, so a misplaced packet shows.
inline uint8_t SimStreamByte(uint64_t i) {
    uint64_t x = (i >> 2) * 0x9E3779B97F4A7C15ull;
    x ^= x >> 29;
    return static_cast<uint8_t>(x >> ((i & 3) * 8 + 17));
}

struct SimPathParams {
    double bytesPerMs = 0;  // 0: no rate limit
    uint32_t delayMs = 0;   // one way
    uint32_t queueMs = 0;   // bottleneck queue in ms at the rate; 0: unbounded
    double loss = 0;
    double duplicate = 0;
    double reorder = 0;  // share of datagrams held back by up to reorderMs
    uint32_t reorderMs = 8;
};

// One direction of the link.
class CSimPath {
public:
    CSimPath(SimPathParams p, uint32_t seed) : m_p(p), m_rng(seed) {}

    void Enqueue(std::vector<uint8_t> bytes, platform::Tick now) {
        std::uniform_real_distribution<double> u(0, 1);
        ++sent;
        if ((dropIf && dropIf(bytes)) || u(m_rng) < m_p.loss) {
            ++lost;
            return;
        }
        int copies = u(m_rng) < m_p.duplicate ? 2 : 1;
        for (int c = 0; c < copies; ++c) {
            double t = now;
            if (m_p.bytesPerMs > 0) {
                double start = std::max(t, m_busyUntil);
                if (m_p.queueMs > 0 && start - t > m_p.queueMs) {
                    ++queueDrops;
                    return;
                }
                m_busyUntil = start + bytes.size() / m_p.bytesPerMs;
                t = m_busyUntil;
            }
            t += m_p.delayMs;
            if (u(m_rng) < m_p.reorder) {
                t += 1 + std::uniform_int_distribution<uint32_t>(0, m_p.reorderMs)(m_rng);
            }
            m_inFlight.emplace(static_cast<uint64_t>(std::ceil(t)) * 1000000 + m_order++, bytes);
        }
    }
    // Datagrams whose arrival time has come, in arrival order.
    std::vector<std::vector<uint8_t>> Due(platform::Tick now) {
        std::vector<std::vector<uint8_t>> out;
        while (!m_inFlight.empty() && m_inFlight.begin()->first / 1000000 <= now) {
            out.push_back(std::move(m_inFlight.begin()->second));
            m_inFlight.erase(m_inFlight.begin());
        }
        return out;
    }
    uint64_t sent = 0, lost = 0, queueDrops = 0;
    // Chosen losses on top of the random ones.
    std::function<bool(const std::vector<uint8_t>&)> dropIf;

private:
    SimPathParams m_p;
    std::mt19937 m_rng;
    double m_busyUntil = 0;
    uint64_t m_order = 0;
    std::multimap<uint64_t, std::vector<uint8_t>> m_inFlight;
};

// One end of a simulated connection.
class ISimSide {
public:
    virtual ~ISimSide() = default;
    virtual void Connect(platform::Tick now) = 0;
    // Bytes taken from `data` (may be fewer; 0 while the connection is not established).
    virtual size_t Write(std::span<const uint8_t> data, platform::Tick now) = 0;
    virtual void Deliver(std::span<const uint8_t> bytes, platform::Tick now) = 0;
    virtual void Poll(platform::Tick now) = 0;
    virtual std::vector<std::vector<uint8_t>> TakeOut() = 0;
    // Delivered stream bytes not yet taken.
    virtual std::vector<uint8_t> TakeReceived() = 0;
    virtual bool Established() const = 0;
    virtual int Closed() const = 0;
};

// Our connection manager; the peer is seen at 10.0.0.9:9000.
class COurSimSide : public ISimSide {
public:
    explicit COurSimSide(IDatagramSender* sender = nullptr)
        : m_peerAddr(inet_addr("10.0.0.9")),
          m_peerPort(htons(9000)),
          m_mgr(m_events, sender ? *sender : m_out) {
        m_custom = sender != nullptr;
        m_mgr.StartWithoutThread();
    }
    void Connect(platform::Tick) override { m_mgr.Connect(m_peerAddr, m_peerPort, kSock); }
    size_t Write(std::span<const uint8_t> data, platform::Tick) override {
        int n = m_mgr.Send(m_peerAddr, m_peerPort, kSock, data.data(), data.size());
        return n > 0 ? static_cast<size_t>(n) : 0;
    }
    void Deliver(std::span<const uint8_t> bytes, platform::Tick) override {
        m_mgr.OnDatagram(m_peerAddr, m_peerPort, kSock, bytes.data(), bytes.size());
        Drain();
    }
    void Poll(platform::Tick) override {
        m_mgr.Poll();
        Drain();
    }
    std::vector<std::vector<uint8_t>> TakeOut() override {
        std::vector<std::vector<uint8_t>> out;
        for (auto& d : m_out.Take()) {
            out.push_back(std::move(d.bytes));
        }
        return out;
    }
    std::vector<uint8_t> TakeReceived() override { return std::exchange(m_received, {}); }
    bool Established() const override { return m_established; }
    int Closed() const override { return m_closed; }
    CConnectMgr& Mgr() { return m_mgr; }
    core::Ref<CConnection> Conn() { return m_mgr.Find(m_peerAddr, m_peerPort, kSock); }
    CRecordingSender& Recorder() { return m_out; }

private:
    static constexpr int kSock = 7;
    void Drain() {
        SocketEvent ev;
        while (m_events.Take(ev, m_buffer) == TakeResult::kTaken) {
            if (ev.kind == SockEventKind::kConnected || ev.kind == SockEventKind::kAccepted) {
                m_established = true;
            } else if (ev.kind == SockEventKind::kClosed) {
                ++m_closed;
            } else {
                m_received.insert(m_received.end(), m_buffer.begin(), m_buffer.begin() + ev.length);
            }
        }
    }
    std::vector<uint8_t> m_buffer = std::vector<uint8_t>(1 << 22);
    uint32_t m_peerAddr;
    uint16_t m_peerPort;
    CFragmentPool m_events;
    CRecordingSender m_out;
    bool m_custom = false;
    CConnectMgr m_mgr;
    std::vector<uint8_t> m_received;
    bool m_established = false;
    int m_closed = 0;
};

class CLiteralSimSide : public ISimSide {
public:
    CLiteralSimSide() : m_peer([this](std::vector<uint8_t> b) { m_out.push_back(std::move(b)); }) {}
    void Connect(platform::Tick now) override { m_peer.Connect(now); }
    size_t Write(std::span<const uint8_t> data, platform::Tick now) override {
        // The original queues without bound; feed it a little at a time all the same.
        if (m_peer.Unacknowledged() > 512 || !m_peer.Send(data, now)) {
            return 0;
        }
        return data.size();
    }
    void Deliver(std::span<const uint8_t> bytes, platform::Tick now) override {
        m_peer.OnDatagram(bytes, now);
    }
    void Poll(platform::Tick now) override {
        // The original polls every 5 ms.
        if (now % 5 == 0) {
            m_peer.Poll(now);
        }
    }
    std::vector<std::vector<uint8_t>> TakeOut() override { return std::exchange(m_out, {}); }
    std::vector<uint8_t> TakeReceived() override { return std::exchange(m_peer.received, {}); }
    bool Established() const override { return m_peer.established; }
    int Closed() const override { return m_peer.closedEvents; }

private:
    std::vector<std::vector<uint8_t>> m_out;
    CLiteralRudpPeer m_peer;
};

struct SimResult {
    bool established = false;
    uint64_t received = 0;
    uint64_t firstBadOffset = UINT64_MAX;
    int closed = 0;
    uint32_t elapsedMs = 0;  // simulated
    uint64_t dataPacketsSent = 0;
};

// `client` connects to `server` and streams `bytes` to it through the two paths, stepping the
// fake clock 1 ms at a time, until everything arrived or `limitMs` of simulated time passed.
// Writes are cut at 64 KiB so that no packet of the stream has a 68-byte payload.
inline SimResult RunSimTransfer(platform::FakeTick& clock, ISimSide& client, ISimSide& server, CSimPath& up,
                                CSimPath& down, uint64_t bytes, uint32_t limitMs) {
    SimResult r;
    std::vector<uint8_t> chunk(64 * 1024);
    uint64_t written = 0;
    size_t chunkFill = 0, chunkUsed = 0;
    const platform::Tick start = clock.Now();
    client.Connect(clock.Now());
    auto move = [&](ISimSide& from, CSimPath& path, bool countData) {
        for (auto& d : from.TakeOut()) {
            if (countData && d.size() > kRudpHeaderBytes && d[12] == kRudpData) {
                ++r.dataPacketsSent;
            }
            path.Enqueue(std::move(d), clock.Now());
        }
    };
    while (r.received < bytes && clock.Now() - start < limitMs) {
        const platform::Tick now = clock.Now();
        for (auto& d : up.Due(now)) {
            server.Deliver(d, now);
        }
        for (auto& d : down.Due(now)) {
            client.Deliver(d, now);
        }
        client.Poll(now);
        server.Poll(now);
        while (client.Established() && written < bytes) {
            if (chunkUsed == chunkFill) {
                chunkFill = static_cast<size_t>(std::min<uint64_t>(chunk.size(), bytes - written));
                for (size_t i = 0; i < chunkFill; ++i) {
                    chunk[i] = SimStreamByte(written + i);
                }
                chunkUsed = 0;
            }
            size_t n = client.Write(std::span(chunk).subspan(chunkUsed, chunkFill - chunkUsed), now);
            if (n == 0) {
                break;
            }
            chunkUsed += n;
            written += n;
        }
        for (uint8_t b : server.TakeReceived()) {
            if (b != SimStreamByte(r.received) && r.firstBadOffset == UINT64_MAX) {
                r.firstBadOffset = r.received;
            }
            ++r.received;
        }
        move(client, up, true);
        move(server, down, false);
        clock.Advance(1);
    }
    r.established = client.Established() && server.Established();
    r.closed = client.Closed() + server.Closed();
    r.elapsedMs = clock.Now() - start;
    return r;
}

}  // namespace tessali::net::test
