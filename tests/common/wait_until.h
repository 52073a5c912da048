// Waiting for a condition in tests: polls it until it holds or a generous bound passes. The bound
// only keeps a broken test from hanging; no test reads anything into how long the wait took.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace tessali::test {

// Polls `done` every `pollMs`; true as soon as it holds, false once `timeoutMs` have passed.
inline bool WaitUntil(const std::function<bool()>& done, int timeoutMs = 10000, int pollMs = 5) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(pollMs));
    }
    return true;
}

}  // namespace tessali::test
