// A TCP relay on loopback that passes every connection on to one target port and lets the
// target's answers through at a fixed byte rate, so that a transfer between two engines lasts
// long enough to be interrupted at chosen moments. One thread runs every connection with poll();
// the object stops it and closes everything on destruction.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "common/ports.h"

namespace tessali::test {

class CThrottledProxy {
public:
    CThrottledProxy(uint16_t targetPort, int64_t bytesPerSecond)
        : m_target(targetPort), m_rate(bytesPerSecond) {
        m_listen = ListenLoopbackTcp(m_port);
        m_thread = std::thread([this] { Run(); });
    }
    ~CThrottledProxy() {
        m_stop = true;
        m_thread.join();
        for (Pair& p : m_pairs) {
            close(p.client);
            close(p.server);
        }
        close(m_listen);
    }
    CThrottledProxy(const CThrottledProxy&) = delete;
    CThrottledProxy& operator=(const CThrottledProxy&) = delete;

    uint16_t Port() const { return m_port; }
    // Bytes passed from the target to its clients so far.
    int64_t BytesDown() const { return m_down.load(); }
    // Drops every open connection (both sides see it closed).
    void CutAll() { m_cut = true; }

private:
    struct Pair {
        int client = -1;
        int server = -1;
        std::vector<uint8_t> up;    // client -> server, waiting
        std::vector<uint8_t> down;  // server -> client, waiting
        bool dead = false;
    };

    static void Pump(int from, int to, std::vector<uint8_t>& pending, size_t allowance, bool& dead,
                     int64_t* counted) {
        if (pending.empty() && allowance > 0) {
            pending.resize(std::min<size_t>(allowance, 64 * 1024));
            ssize_t n = recv(from, pending.data(), pending.size(), MSG_DONTWAIT);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) {
                dead = true;
            }
            pending.resize(n > 0 ? static_cast<size_t>(n) : 0);
            if (counted != nullptr && n > 0) {
                *counted += n;
            }
        }
        if (!pending.empty()) {
            ssize_t n = send(to, pending.data(), pending.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n > 0) {
                pending.erase(pending.begin(), pending.begin() + n);
            } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
                dead = true;
            }
        }
    }

    void Accept() {
        int c = accept(m_listen, nullptr, nullptr);
        if (c < 0) {
            return;
        }
        int s = ConnectLoopbackTcp(m_target);
        if (s < 0) {
            close(c);
            return;
        }
        Pair p;
        p.client = c;
        p.server = s;
        m_pairs.push_back(std::move(p));
    }

    void Run() {
        using Clock = std::chrono::steady_clock;
        auto last = Clock::now();
        double tokens = 0;
        while (!m_stop) {
            // Only what can move now is waited for, so a throttled stream does not spin.
            const bool mayRead = tokens >= 1;
            std::vector<pollfd> fds{{m_listen, POLLIN, 0}};
            for (const Pair& p : m_pairs) {
                auto clientEvents =
                    static_cast<short>((p.up.empty() ? POLLIN : 0) | (p.down.empty() ? 0 : POLLOUT));
                auto serverEvents = static_cast<short>((p.down.empty() && mayRead ? POLLIN : 0) |
                                                       (p.up.empty() ? 0 : POLLOUT));
                fds.push_back({p.client, clientEvents, 0});
                fds.push_back({p.server, serverEvents, 0});
            }
            poll(fds.data(), fds.size(), 2);
            if (fds[0].revents & POLLIN) {
                Accept();
            }
            auto now = Clock::now();
            tokens = std::min<double>(tokens + std::chrono::duration<double>(now - last).count() * m_rate,
                                      static_cast<double>(m_rate) / 20);
            last = now;
            int64_t down = 0;
            for (Pair& p : m_pairs) {
                Pump(p.client, p.server, p.up, 64 * 1024, p.dead, nullptr);
                int64_t before = down;
                Pump(p.server, p.client, p.down, static_cast<size_t>(std::max(0.0, tokens)), p.dead, &down);
                tokens -= static_cast<double>(down - before);
            }
            m_down += down;
            if (m_cut.exchange(false)) {
                for (Pair& p : m_pairs) {
                    p.dead = true;
                }
            }
            for (auto it = m_pairs.begin(); it != m_pairs.end();) {
                if (it->dead) {
                    close(it->client);
                    close(it->server);
                    it = m_pairs.erase(it);
                } else {
                    ++it;
                }
            }
        }
    }

    uint16_t m_target;
    int64_t m_rate;
    int m_listen = -1;
    uint16_t m_port = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_cut{false};
    std::atomic<int64_t> m_down{0};
    std::vector<Pair> m_pairs;
    std::thread m_thread;
};

}  // namespace tessali::test
