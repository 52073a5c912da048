// Events with manual or automatic reset and timed waits, the signalling primitive the engine's
// worker loops are written around. Safe to set, reset and wait from any thread.
// WakeFd is the variant a poll() loop can wait on together with its sockets.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace tessali::platform {

class Event {
public:
    enum class Reset { kManual, kAuto };
    explicit Event(Reset reset = Reset::kAuto, bool initiallySet = false);
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    void Set();
    void ResetEvent();
    bool IsSet() const;
    // Waits until set or until timeoutMs passed; true when set. An auto-reset event is cleared
    // by the wait that sees it. A negative timeout waits without limit.
    bool Wait(int64_t timeoutMs = -1);

private:
    mutable std::mutex m_lock;
    std::condition_variable m_cv;
    bool m_set;
    const bool m_manual;
};

// An eventfd that becomes readable when signalled; Drain() clears it (auto-reset by the waiter).
class WakeFd {
public:
    WakeFd();
    ~WakeFd();
    WakeFd(const WakeFd&) = delete;
    WakeFd& operator=(const WakeFd&) = delete;
    int Fd() const { return m_fd; }
    void Signal();
    void Drain();
    // poll()s the descriptor alone; true when it was signalled (and drains it).
    bool Wait(int timeoutMs);

private:
    int m_fd;
};

}  // namespace tessali::platform
