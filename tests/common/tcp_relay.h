// A TCP relay on loopback between engines: every connection made to it is passed on to one target
// port, optionally holding each chunk for a one-way delay in both directions (a long path) and
// letting the target's answers through at a byte rate (a transfer that lasts long enough to be
// interrupted). It reads the plain-framed peer wire stream passing through, counting the block
// requests that reached the target and the blocks that came back. One thread runs every
// connection with poll(); what waits in the relay is bounded (a direction stops reading while it
// holds kMaxHeld bytes). The object stops the thread and closes everything on destruction.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

namespace tessali::test {

struct RelayOptions {
    int oneWayDelayMs = 0;
    // The target's answers pass at most at this many bytes a second; 0 = as fast as they come.
    int64_t downBytesPerSecond = 0;
};

class CTcpRelay {
public:
    CTcpRelay(uint16_t targetPort, RelayOptions options);
    ~CTcpRelay();
    CTcpRelay(const CTcpRelay&) = delete;
    CTcpRelay& operator=(const CTcpRelay&) = delete;

    uint16_t Port() const { return m_port; }
    // Peer wire messages seen leaving the relay: requests (id 6) towards the target, blocks (id 7)
    // back, and the most requests that were outstanding at once.
    int64_t Requests() const { return m_requests.load(); }
    int64_t Blocks() const { return m_blocks.load(); }
    int64_t MaxOutstanding() const { return m_maxOutstanding.load(); }

    static constexpr size_t kMaxHeld = 8u << 20;

private:
    struct Pair;
    void Run();
    void Accept();

    uint16_t m_target;
    RelayOptions m_options;
    int m_listen = -1;
    uint16_t m_port = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<int64_t> m_requests{0};
    std::atomic<int64_t> m_blocks{0};
    std::atomic<int64_t> m_maxOutstanding{0};
    std::vector<std::unique_ptr<Pair>> m_pairs;  // the relay thread's own
    std::thread m_thread;
};

}  // namespace tessali::test
