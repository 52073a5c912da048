// The engine's millisecond clock: 32 bits that wrap every 49.7 days, like the tick count the
// protocol timers were designed around. Compare ticks only through the helpers below, which stay
// correct across the wrap. Tests replace the clock with a fake through SetTickSource.
#pragma once

#include <cstdint>
#include <functional>

namespace tessali::platform {

using Tick = uint32_t;

// Milliseconds since an arbitrary start, from steady_clock (or the installed fake).
Tick GetTick();

// Replaces the clock for the whole process; an empty function restores the real one.
void SetTickSource(std::function<Tick()> source);

// Milliseconds from `then` to `now`, correct across one wrap.
constexpr uint32_t TickElapsed(Tick now, Tick then) {
    return now - then;
}

// True when `a` lies before `b` (less than half the range apart).
constexpr bool TickBefore(Tick a, Tick b) {
    return static_cast<int32_t>(a - b) < 0;
}

// A fake clock for tests: advances only when told.
class FakeTick {
public:
    explicit FakeTick(Tick start = 0);
    ~FakeTick();
    FakeTick(const FakeTick&) = delete;
    FakeTick& operator=(const FakeTick&) = delete;
    void Advance(uint32_t ms);
    void Set(Tick t);
    Tick Now() const;

private:
    struct State;
    State* m_state;
};

}  // namespace tessali::platform
