// CThread: one event thread polling up to 61 sockets (25 ms waits, idle sweeps every 2 s) and
// running their callbacks with one shared 66 560-byte receive buffer. The loop starts with the
// first socket and ends by itself when the last one is gone. Offer/Stop may be called from any
// thread; the socket callbacks run only on the loop's thread, never under its lock.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "engine/net/sock.h"
#include "engine/platform/event.h"
#include "engine/platform/tick.h"

namespace tessali::net {

constexpr size_t kMaxSocketsPerThread = 61;
constexpr int kPollWaitMs = 25;
constexpr uint32_t kIdleSweepMs = 2000;

class CThread {
public:
    CThread();
    ~CThread();
    CThread(const CThread&) = delete;
    CThread& operator=(const CThread&) = delete;

    enum class Offer { kTaken, kFull, kFailed };
    // Opens the socket and adds it, starting the loop when it is not running.
    Offer TakeSocket(const std::shared_ptr<CSock>& sock);
    // Asks the loop to stop; WaitFinished waits for it (true when it ended in time).
    void RequestStop();
    bool WaitFinished(int timeoutMs);
    void Wake() { m_wake.Signal(); }
    size_t SocketCount() const;
    bool Holds(int fd) const;

private:
    void Loop();
    void Dispatch(CSock& sock, short revents);

    mutable std::mutex m_lock;
    std::vector<std::shared_ptr<CSock>> m_socks;
    std::vector<uint8_t> m_recvBuffer;
    std::atomic<bool> m_stop{false};
    bool m_running = false;  // under m_lock
    platform::Event m_finished{platform::Event::Reset::kAuto, true};
    platform::Tick m_lastSweep;
    platform::WakeFd m_wake;
    std::thread m_thread;
};

}  // namespace tessali::net
