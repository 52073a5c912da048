#include "tcp_relay.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <deque>

#include "common/ports.h"

namespace tessali::test {
namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kReadSize = 256 * 1024;

// Cuts a plain-framed stream (a 68-byte handshake, then 4-byte big-endian length + id + payload)
// and counts the messages of one id.
struct WireReader {
    size_t skip = 68;
    uint8_t head[5] = {};
    size_t got = 0;

    int64_t Feed(const uint8_t* p, size_t n, uint8_t id) {
        int64_t seen = 0;
        while (n > 0) {
            if (skip > 0) {
                const size_t k = std::min(skip, n);
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
                const uint32_t len =
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

// One direction of a connection: chunks read and not yet sent on, each with the time it is due.
struct Direction {
    std::deque<Chunk> held;
    size_t heldBytes = 0;
    size_t sentOfFront = 0;
    WireReader reader;

    bool Due(Clock::time_point now) const { return !held.empty() && held.front().due <= now; }
};

}  // namespace

struct CTcpRelay::Pair {
    int client = -1;
    int server = -1;
    Direction up;    // client -> target
    Direction down;  // target -> client
    bool dead = false;

    ~Pair() {
        close(client);
        close(server);
    }
};

namespace {

// Reads at most `allowance` bytes into `d`, due after `delay`; the bytes read.
size_t ReadInto(int from, Direction& d, size_t allowance, std::chrono::milliseconds delay, bool& dead) {
    if (d.heldBytes >= CTcpRelay::kMaxHeld || allowance == 0) {
        return 0;
    }
    std::vector<uint8_t> buf(std::min(allowance, kReadSize));
    const ssize_t n = recv(from, buf.data(), buf.size(), MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) {
        dead = true;
        return 0;
    }
    if (n < 0) {
        return 0;
    }
    buf.resize(static_cast<size_t>(n));
    d.heldBytes += buf.size();
    d.held.push_back({Clock::now() + delay, std::move(buf)});
    return static_cast<size_t>(n);
}

// Sends on what is due; the direction's reader sees the bytes as they leave the relay and counts
// the messages of `id` into `counter`.
void WriteFrom(int to, Direction& d, uint8_t id, std::atomic<int64_t>& counter, bool& dead) {
    const auto now = Clock::now();
    while (d.Due(now)) {
        Chunk& c = d.held.front();
        const ssize_t n = send(to, c.bytes.data() + d.sentOfFront, c.bytes.size() - d.sentOfFront,
                               MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                dead = true;
            }
            return;
        }
        counter += d.reader.Feed(c.bytes.data() + d.sentOfFront, static_cast<size_t>(n), id);
        d.sentOfFront += static_cast<size_t>(n);
        if (d.sentOfFront < c.bytes.size()) {
            return;
        }
        d.heldBytes -= c.bytes.size();
        d.sentOfFront = 0;
        d.held.pop_front();
    }
}

}  // namespace

CTcpRelay::CTcpRelay(uint16_t targetPort, RelayOptions options) : m_target(targetPort), m_options(options) {
    m_listen = ListenLoopbackTcp(m_port);
    m_thread = std::thread([this] { Run(); });
}

CTcpRelay::~CTcpRelay() {
    m_stop = true;
    m_thread.join();
    m_pairs.clear();
    close(m_listen);
}

void CTcpRelay::Accept() {
    const int c = accept(m_listen, nullptr, nullptr);
    if (c < 0) {
        return;
    }
    const int s = ConnectLoopbackTcp(m_target);
    if (s < 0) {
        close(c);
        return;
    }
    auto p = std::make_unique<Pair>();
    p->client = c;
    p->server = s;
    m_pairs.push_back(std::move(p));
}

void CTcpRelay::Run() {
    const std::chrono::milliseconds delay(m_options.oneWayDelayMs);
    const int64_t rate = m_options.downBytesPerSecond;
    auto last = Clock::now();
    double tokens = 0;
    while (!m_stop) {
        // Only what can move now is waited for, so held or throttled bytes do not make it spin;
        // the short time-out wakes it for chunks falling due and tokens coming in.
        const auto now = Clock::now();
        const bool mayReadDown = rate == 0 || tokens >= 1;
        std::vector<pollfd> fds{{m_listen, POLLIN, 0}};
        for (const auto& p : m_pairs) {
            auto events = [now](const Direction& in, const Direction& out, bool mayRead) {
                return static_cast<short>((in.heldBytes < kMaxHeld && mayRead ? POLLIN : 0) |
                                          (out.Due(now) ? POLLOUT : 0));
            };
            fds.push_back({p->client, events(p->up, p->down, true), 0});
            fds.push_back({p->server, events(p->down, p->up, mayReadDown), 0});
        }
        poll(fds.data(), fds.size(), 1);
        if (fds[0].revents & POLLIN) {
            Accept();
        }
        const auto after = Clock::now();
        if (rate > 0) {
            tokens = std::min(tokens + std::chrono::duration<double>(after - last).count() * rate,
                              static_cast<double>(rate) / 20);
        }
        last = after;
        for (const auto& p : m_pairs) {
            ReadInto(p->client, p->up, kReadSize, delay, p->dead);
            const size_t allowance = rate == 0 ? kReadSize : static_cast<size_t>(std::max(0.0, tokens));
            tokens -= static_cast<double>(ReadInto(p->server, p->down, allowance, delay, p->dead));
            WriteFrom(p->server, p->up, 6, m_requests, p->dead);
            WriteFrom(p->client, p->down, 7, m_blocks, p->dead);
            const int64_t outstanding = m_requests.load() - m_blocks.load();
            if (outstanding > m_maxOutstanding.load()) {
                m_maxOutstanding = outstanding;
            }
        }
        std::erase_if(m_pairs, [](const auto& p) { return p->dead; });
    }
}

}  // namespace tessali::test
