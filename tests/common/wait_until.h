// Waiting for a condition in tests: polls it until it holds or a generous bound passes. The bound
// only keeps a broken test from hanging; no test reads anything into how long the wait took.
// Qt tests use WaitUntilWithEvents (common/qt_wait.h), the same wait that runs Qt's events.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace tessali::test {

// Polls `done`, calling `idle(ms)` between polls to pass up to `ms` milliseconds; true as soon as
// it holds, false once `timeoutMs` have passed.
inline bool WaitUntil(const std::function<bool()>& done, int timeoutMs, int pollMs,
                      const std::function<void(int)>& idle) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        idle(pollMs);
    }
    return true;
}

// Polls `done` every `pollMs`, sleeping in between.
inline bool WaitUntil(const std::function<bool()>& done, int timeoutMs = 10000, int pollMs = 5) {
    return WaitUntil(done, timeoutMs, pollMs,
                     [](int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); });
}

}  // namespace tessali::test
