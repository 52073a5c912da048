#include "engine/platform/tick.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>

namespace tessali::platform {
namespace {

std::mutex g_sourceLock;
std::shared_ptr<std::function<Tick()>> g_source;  // empty = real clock
std::atomic<bool> g_hasSource{false};

Tick RealTick() {
    using namespace std::chrono;
    return static_cast<Tick>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

}  // namespace

Tick GetTick() {
    if (!g_hasSource.load(std::memory_order_acquire)) {
        return RealTick();
    }
    std::shared_ptr<std::function<Tick()>> source;
    {
        std::lock_guard lock(g_sourceLock);
        source = g_source;
    }
    return source ? (*source)() : RealTick();
}

void SetTickSource(std::function<Tick()> source) {
    std::lock_guard lock(g_sourceLock);
    if (source) {
        g_source = std::make_shared<std::function<Tick()>>(std::move(source));
        g_hasSource.store(true, std::memory_order_release);
    } else {
        g_source.reset();
        g_hasSource.store(false, std::memory_order_release);
    }
}

struct FakeTick::State {
    std::atomic<Tick> now;
};

FakeTick::FakeTick(Tick start) : m_state(new State{start}) {
    State* s = m_state;
    SetTickSource([s] { return s->now.load(); });
}

FakeTick::~FakeTick() {
    SetTickSource({});
    delete m_state;
}

void FakeTick::Advance(uint32_t ms) {
    m_state->now.fetch_add(ms);
}
void FakeTick::Set(Tick t) {
    m_state->now.store(t);
}
Tick FakeTick::Now() const {
    return m_state->now.load();
}

}  // namespace tessali::platform
