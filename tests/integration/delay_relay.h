// A TCP relay on loopback that holds every chunk for a fixed one-way delay in each direction,
// as a long path would, and reads the plain-framed peer wire stream passing through: it counts
// the block requests that reached the seeder and the blocks that came back, and keeps the most
// that were outstanding at once. One thread runs every connection with poll(); what waits in the
// relay is bounded (reading stops while a direction holds kMaxHeld bytes).
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
#include <deque>
#include <thread>
#include <vector>

#include "common/ports.h"

namespace tessali::test {

class CDelayRelay {
public:
    CDelayRelay(uint16_t targetPort, int oneWayDelayMs) : m_target(targetPort), m_delay(oneWayDelayMs) {
        m_listen = ListenLoopbackTcp(m_port);
        m_thread = std::thread([this] { Run(); });
    }
    ~CDelayRelay() {
        m_stop = true;
        m_thread.join();
        for (Pair& p : m_pairs) {
            close(p.client);
            close(p.server);
        }
        close(m_listen);
    }
    CDelayRelay(const CDelayRelay&) = delete;
    CDelayRelay& operator=(const CDelayRelay&) = delete;

    uint16_t Port() const { return m_port; }
    int64_t Requests() const { return m_requests.load(); }
    int64_t Blocks() const { return m_blocks.load(); }
    int64_t MaxOutstanding() const { return m_maxOutstanding.load(); }

private:
    using Clock = std::chrono::steady_clock;
    static constexpr size_t kMaxHeld = 8u << 20;

    // Cuts a plain-framed stream (a 68-byte handshake, then 4-byte big-endian length + id +
    // payload) and counts the messages of one id.
    struct Reader {
        size_t skip = 68;
        uint8_t head[5] = {};
        size_t got = 0;
        int64_t Feed(const uint8_t* p, size_t n, uint8_t id) {
            int64_t seen = 0;
            while (n > 0) {
                if (skip > 0) {
                    size_t k = std::min(skip, n);
                    skip -= k;
                    p += k;
                    n -= k;
                    continue;
                }
                head[got++] = *p++;
                --n;
                if (got == 4 && head[0] == 0 && head[1] == 0 && head[2] == 0 && head[3] == 0) {
                    got = 0;  // keep-alive
                } else if (got == 5) {
                    uint32_t len =
                        uint32_t{head[0]} << 24 | uint32_t{head[1]} << 16 | uint32_t{head[2]} << 8 | head[3];
                    seen += head[4] == id ? 1 : 0;
                    skip = len - 1;
                    got = 0;
                }
            }
            return seen;
        }
    };
    struct Chunk {
        Clock::time_point due;
        std::vector<uint8_t> bytes;
    };
    struct Direction {
        std::deque<Chunk> held;
        size_t heldBytes = 0;
        size_t sentOfFront = 0;
    };
    struct Pair {
        int client = -1;
        int server = -1;
        Direction up;    // client -> server
        Direction down;  // server -> client
        Reader upReader;
        Reader downReader;
        bool dead = false;
    };

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

    void Read(int from, Direction& d, bool& dead) {
        if (d.heldBytes >= kMaxHeld) {
            return;
        }
        std::vector<uint8_t> buf(256 * 1024);
        ssize_t n = recv(from, buf.data(), buf.size(), MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) {
            dead = true;
            return;
        }
        if (n > 0) {
            buf.resize(static_cast<size_t>(n));
            d.heldBytes += buf.size();
            d.held.push_back({Clock::now() + std::chrono::milliseconds(m_delay), std::move(buf)});
        }
    }

    // Sends what is due; `reader` sees the bytes as they leave the relay.
    void Write(int to, Direction& d, Reader& reader, uint8_t id, std::atomic<int64_t>& counter, bool& dead) {
        auto now = Clock::now();
        while (!d.held.empty() && d.held.front().due <= now) {
            Chunk& c = d.held.front();
            ssize_t n = send(to, c.bytes.data() + d.sentOfFront, c.bytes.size() - d.sentOfFront,
                             MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n < 0) {
                if (errno != EAGAIN && errno != EWOULDBLOCK) {
                    dead = true;
                }
                return;
            }
            counter += reader.Feed(c.bytes.data() + d.sentOfFront, static_cast<size_t>(n), id);
            d.sentOfFront += static_cast<size_t>(n);
            if (d.sentOfFront < c.bytes.size()) {
                return;
            }
            d.heldBytes -= c.bytes.size();
            d.sentOfFront = 0;
            d.held.pop_front();
        }
    }

    void Run() {
        while (!m_stop) {
            std::vector<pollfd> fds{{m_listen, POLLIN, 0}};
            for (const Pair& p : m_pairs) {
                auto events = [](const Direction& in, const Direction& out) {
                    return static_cast<short>((in.heldBytes < kMaxHeld ? POLLIN : 0) |
                                              (out.held.empty() ? 0 : POLLOUT));
                };
                fds.push_back({p.client, events(p.up, p.down), 0});
                fds.push_back({p.server, events(p.down, p.up), 0});
            }
            poll(fds.data(), fds.size(), 1);
            if (fds[0].revents & POLLIN) {
                Accept();
            }
            for (Pair& p : m_pairs) {
                Read(p.client, p.up, p.dead);
                Read(p.server, p.down, p.dead);
                Write(p.server, p.up, p.upReader, 6, m_requests, p.dead);
                Write(p.client, p.down, p.downReader, 7, m_blocks, p.dead);
                int64_t outstanding = m_requests.load() - m_blocks.load();
                if (outstanding > m_maxOutstanding.load()) {
                    m_maxOutstanding = outstanding;
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
    int m_delay;
    int m_listen = -1;
    uint16_t m_port = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<int64_t> m_requests{0};
    std::atomic<int64_t> m_blocks{0};
    std::atomic<int64_t> m_maxOutstanding{0};
    std::vector<Pair> m_pairs;
    std::thread m_thread;
};

}  // namespace tessali::test
