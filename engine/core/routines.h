// The engine's four worker loops — the send routine, "TrackRoutine", "P2pRoutine" and
// "CommonRoutine" — and the timer table CommonRoutine drives. The loops live here; the work
// they do belongs to higher layers (message limit layer, tracker agent, dispatch manager, LAN
// search, UPnP/STUN), which plug in through IRoutineWork. Unplugged work does nothing.
// Start and Stop are called from one thread (engine start-up and shut-down).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <thread>
#include <vector>

#include "engine/platform/event.h"
#include "engine/platform/tick.h"

namespace tessali::core {

class IRoutineWork {
public:
    virtual ~IRoutineWork() = default;

    // Start-up, before the threads: tracker agent preparation and LAN search.
    virtual void PrepareTrackerAgent() {}
    virtual void StartLanSearch() {}
    // After the threads: opens the listen sockets; the port, or 0 when none could be opened.
    virtual uint16_t OpenListenSockets() { return 0; }

    // Send routine: at most one queued message from each send queue, sent and counted.
    virtual void SendPass() {}
    // Send routine, between passes: returns when the next pass is due. Work that keeps nothing
    // queued between passes may wait for new work instead of waking every millisecond.
    virtual void WaitSendWork();
    // TrackRoutine: waits for received tracker datagrams; true when some may be queued.
    virtual bool WaitTrackerReceive(uint32_t timeoutMs);
    // Takes one queued tracker datagram into `buffer`; its length, or nullopt when none is left.
    virtual std::optional<size_t> TakeTrackerDatagram(std::span<uint8_t> buffer) { return std::nullopt; }
    virtual void HandleTrackerMessage(std::span<const uint8_t> message) {}
    // P2pRoutine: waits (up to timeoutMs) on the socket event queues, frames and handles messages.
    virtual void P2pPass(uint32_t timeoutMs);

    // CommonRoutine timers.
    virtual void LanSearchStep() {}
    virtual void RateWindowStep() {}
    virtual void SecondTick() {}
    virtual void TickAllTasks();
    // Current engine-wide rates in bytes per second.
    virtual double DownloadRate() { return 0; }
    virtual double UploadRate() { return 0; }
    virtual void NatRecheck() {}
};

// A table of timers, each firing when more than its threshold has elapsed since its last run.
class CCommonTimers {
public:
    explicit CCommonTimers(platform::Tick start) : m_start(start) {}
    void Add(uint32_t thresholdMs, std::function<void()> work);
    // Runs every timer that is due at `now`.
    void Step(platform::Tick now);
    // Milliseconds from `now` until the next timer is due (at least 1; 1000 with no timers).
    uint32_t MsUntilDue(platform::Tick now) const;

private:
    struct Timer {
        uint32_t threshold;
        platform::Tick last;
        std::function<void()> work;
    };
    platform::Tick m_start;
    std::vector<Timer> m_timers;
};

// The CommonRoutine table: 199 ms LAN search, 499 ms rate window, 999 ms second tick, 2999 ms
// task ticks, 4999 ms speed notice, 300000 ms NAT re-check.
void AddCommonRoutineTimers(CCommonTimers& timers, IRoutineWork& work);

class CEngineRoutines {
public:
    explicit CEngineRoutines(IRoutineWork& work) : m_work(work) {}
    ~CEngineRoutines() { Stop(); }

    // Prepares, starts the four threads and opens the listen sockets; a second call does nothing.
    void Start();
    // Sets the stop flag and waits for the four threads without a time limit.
    void Stop();
    bool Running() const { return m_started; }
    // The exit code of TrackRoutine (-1 after an inconsistent queued datagram).
    int TrackExitCode() const { return m_trackExit.load(); }

private:
    void SendRoutine();
    void TrackRoutine();
    void P2pRoutine();
    void CommonRoutine();

    IRoutineWork& m_work;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_trackExit{0};
    platform::Event m_stopped{platform::Event::Reset::kManual};  // wakes CommonRoutine's waits
    bool m_started = false;
    std::vector<std::thread> m_threads;
};

// The process-wide routines, over the work registered with SetRoutineWork (not owned).
void SetRoutineWork(IRoutineWork* work);
void StartRoutines();
void StopRoutines();

}  // namespace tessali::core
