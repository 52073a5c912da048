// Helpers shared by the socket-layer tests: waiting for events on a queue, plain loopback
// sockets to talk to the layer from outside, and a carrier sink that records datagrams.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <thread>
#include <vector>

#include "common/ports.h"
#include "engine/net/fragment_pool.h"
#include "engine/net/tudp_interface.h"

namespace tessali::net::test {

inline uint32_t Loopback() {
    return htonl(INADDR_LOOPBACK);
}

struct TakenEvent {
    SocketEvent ev;
    std::vector<uint8_t> data;
};

// Takes the next event, waiting up to timeoutMs for one to arrive.
inline std::optional<TakenEvent> NextEvent(CFragmentPool& q, int timeoutMs = 3000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::vector<uint8_t> buffer(70000);
    while (true) {
        TakenEvent t;
        if (q.Take(t.ev, buffer) == TakeResult::kTaken) {
            t.data.assign(buffer.begin(), buffer.begin() + t.ev.length);
            return t;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return std::nullopt;
        }
        q.Wait(static_cast<int>(std::min<int64_t>(left.count(), 50)));
    }
}

// Takes events until one of `kind` for `sock` arrives (others are dropped).
inline std::optional<TakenEvent> NextEventOf(CFragmentPool& q, SockEventKind kind, int sock,
                                             int timeoutMs = 3000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        auto e = NextEvent(q, 50);
        if (e && e->ev.kind == kind && (sock < 0 || e->ev.sock == sock)) {
            return e;
        }
    }
    return std::nullopt;
}

inline int RawUdp(uint16_t* portOut) {
    return tessali::test::BindLoopbackUdp(*portOut);
}

inline void RawSendTo(int fd, uint16_t port, std::span<const uint8_t> bytes) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(port);
    ::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
}

// A carrier sink that only records what the carrier socket hands over.
class CRecordingTudp : public CTudpInterface {
public:
    struct Datagram {
        uint32_t addr;
        uint16_t port;
        int sock;
        std::vector<uint8_t> bytes;
    };
    bool Start() override { return true; }
    void Stop() override {}
    bool Connect(uint32_t, uint16_t, int) override { return false; }
    bool Close(uint32_t, uint16_t, int) override { return false; }
    void OnDatagram(uint32_t addr, uint16_t port, int sock, const uint8_t* data, size_t len) override {
        std::lock_guard lock(m_lock);
        m_got.push_back({addr, port, sock, std::vector<uint8_t>(data, data + len)});
    }
    int Send(uint32_t, uint16_t, int, const uint8_t*, size_t) override { return -1; }
    TakeResult TakeEvent(SocketEvent& out, std::span<uint8_t> buffer) override {
        return m_queue.Take(out, buffer);
    }
    CFragmentPool& EventQueue() override { return m_queue; }
    bool ConnectThroughNat(int, uint32_t, uint16_t, uint32_t, std::span<const uint8_t, 20>,
                           std::span<const uint8_t, 20>) override {
        return false;
    }
    std::vector<Datagram> Got() {
        std::lock_guard lock(m_lock);
        return m_got;
    }

private:
    std::mutex m_lock;
    std::vector<Datagram> m_got;
    CFragmentPool m_queue;
};

}  // namespace tessali::net::test
