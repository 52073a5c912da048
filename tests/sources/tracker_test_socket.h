// A fake tracker for agent tests: one UDP socket on loopback that receives the agent's datagrams
// and answers them, and a reliable-UDP sink that records the datagrams handed to it.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <mutex>
#include <optional>
#include <vector>

#include "common/wait_until.h"
#include "engine/net/fragment_pool.h"
#include "engine/net/tudp_interface.h"
#include "engine/sources/tracker_messages.h"

namespace tessali::test {

class CFakeTrackerSocket {
public:
    struct Datagram {
        std::vector<uint8_t> bytes;
        sockaddr_in from{};
    };

    // On `addrHost` (a loopback address) and `port` (0: any free one).
    explicit CFakeTrackerSocket(uint32_t addrHost = INADDR_LOOPBACK, uint16_t port = 0) {
        m_fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(addrHost);
        sa.sin_port = htons(port);
        bind(m_fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        socklen_t len = sizeof sa;
        getsockname(m_fd, reinterpret_cast<sockaddr*>(&sa), &len);
        m_port = ntohs(sa.sin_port);
    }
    ~CFakeTrackerSocket() { close(m_fd); }
    CFakeTrackerSocket(const CFakeTrackerSocket&) = delete;
    CFakeTrackerSocket& operator=(const CFakeTrackerSocket&) = delete;

    uint16_t Port() const { return m_port; }  // host order

    std::optional<Datagram> Receive(int timeoutMs = 3000) {
        pollfd p{m_fd, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0) {
            return std::nullopt;
        }
        Datagram d;
        d.bytes.resize(2048);
        socklen_t len = sizeof d.from;
        ssize_t n =
            recvfrom(m_fd, d.bytes.data(), d.bytes.size(), 0, reinterpret_cast<sockaddr*>(&d.from), &len);
        if (n < 0) {
            return std::nullopt;
        }
        d.bytes.resize(static_cast<size_t>(n));
        return d;
    }

    // The next datagram carrying `command`, skipping others (retransmissions, keep-alives).
    std::optional<Datagram> ReceiveCommand(uint16_t command, int timeoutMs = 3000) {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < end) {
            std::optional<Datagram> d = Receive(timeoutMs);
            if (!d) {
                return std::nullopt;
            }
            std::optional<sources::TrackerHeader> h = sources::PeekHeader(d->bytes);
            if (h && h->command == command) {
                return d;
            }
        }
        return std::nullopt;
    }

    void SendTo(const sockaddr_in& to, const std::vector<uint8_t>& bytes) {
        sendto(m_fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    }

private:
    int m_fd = -1;
    uint16_t m_port = 0;
};

class CRecordingTudp : public net::CTudpInterface {
public:
    bool Start() override { return true; }
    void Stop() override {}
    bool Connect(uint32_t, uint16_t, int) override { return false; }
    bool Close(uint32_t, uint16_t, int) override { return false; }
    void OnDatagram(uint32_t addr, uint16_t port, int sock, const uint8_t* data, size_t len) override {
        std::lock_guard lock(m_lock);
        m_datagrams.emplace_back(data, data + len);
    }
    int Send(uint32_t, uint16_t, int, const uint8_t*, size_t) override { return -1; }
    net::TakeResult TakeEvent(net::SocketEvent& out, std::span<uint8_t> buffer) override {
        return m_queue.Take(out, buffer);
    }
    net::CFragmentPool& EventQueue() override { return m_queue; }
    bool ConnectThroughNat(int, uint32_t, uint16_t, uint32_t, std::span<const uint8_t, 20>,
                           std::span<const uint8_t, 20>) override {
        return false;
    }
    std::vector<std::vector<uint8_t>> Datagrams() {
        std::lock_guard lock(m_lock);
        return m_datagrams;
    }

private:
    std::mutex m_lock;
    std::vector<std::vector<uint8_t>> m_datagrams;
    net::CFragmentPool m_queue;
};

}  // namespace tessali::test
