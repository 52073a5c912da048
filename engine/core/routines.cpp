#include "engine/core/routines.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>

#include "engine/core/engine_env.h"
#include "engine/core/engine_log.h"
#include "engine/core/task_mgr.h"
#include "engine/platform/thread.h"

namespace tessali::core {

using platform::GetTick;
using platform::SleepMs;
using platform::Tick;
using platform::TickElapsed;

bool IRoutineWork::WaitTrackerReceive(uint32_t timeoutMs) {
    SleepMs(timeoutMs);
    return false;
}

void IRoutineWork::P2pPass(uint32_t timeoutMs) {
    SleepMs(timeoutMs);
}

void IRoutineWork::WaitSendWork() {
    SleepMs(1);
}

void IRoutineWork::TickAllTasks() {
    TaskMgr().TickAllTasks();
}

void CCommonTimers::Add(uint32_t thresholdMs, std::function<void()> work) {
    m_timers.push_back({thresholdMs, m_start, std::move(work)});
}

void CCommonTimers::Step(Tick now) {
    for (Timer& t : m_timers) {
        if (TickElapsed(now, t.last) > t.threshold) {
            t.last = now;
            t.work();
        }
    }
}

uint32_t CCommonTimers::MsUntilDue(Tick now) const {
    uint32_t wait = 1000;
    for (const Timer& t : m_timers) {
        // A timer fires once more than its threshold has elapsed.
        uint32_t elapsed = TickElapsed(now, t.last);
        uint32_t due = elapsed > t.threshold ? 0 : t.threshold - elapsed + 1;
        wait = std::min(wait, due);
    }
    return std::max<uint32_t>(wait, 1);
}

void AddCommonRoutineTimers(CCommonTimers& timers, IRoutineWork& work) {
    timers.Add(199, [&work] { work.LanSearchStep(); });
    timers.Add(499, [&work] { work.RateWindowStep(); });
    timers.Add(999, [&work] { work.SecondTick(); });
    timers.Add(2999, [&work] { work.TickAllTasks(); });
    timers.Add(4999, [&work] {
        double down = work.DownloadRate();
        double up = work.UploadRate();
        if (down > 1 || up > 1) {
            // Level 0: the notice is built but, like every level-0 line, not written anywhere.
            EngineLog(kLogInfo, "_____NOTICE:cur dspeed:%.1fkb,uspeed:%.1fkb!!!______\n", down / 1024,
                      up / 1024);
        }
    });
    timers.Add(300000, [&work] { work.NatRecheck(); });
}

void CEngineRoutines::Start() {
    if (m_started) {
        return;
    }
    m_started = true;
    m_stop = false;
    m_stopped.ResetEvent();
    m_work.PrepareTrackerAgent();
    m_work.StartLanSearch();
    m_threads.emplace_back([this] { SendRoutine(); });
    m_threads.emplace_back([this] { TrackRoutine(); });
    m_threads.emplace_back([this] { P2pRoutine(); });
    m_threads.emplace_back([this] { CommonRoutine(); });
    uint16_t port = m_work.OpenListenSockets();
    if (port != 0) {
        Host().listenPort = port;
        EngineLog(kLogInfo, "Listenport: %d,Nattype: %d\n", port, static_cast<int>(Host().natType.load()));
    } else {
        EngineLog(kLogInfo, "WARRING:Listen port be occupyed,listen fail!!!\n");
    }
}

void CEngineRoutines::Stop() {
    if (!m_started) {
        return;
    }
    m_stop = true;
    m_stopped.Set();
    for (std::thread& t : m_threads) {
        t.join();
    }
    m_threads.clear();
    m_started = false;
}

void CEngineRoutines::SendRoutine() {
    platform::SetCurrentThreadName("SendRoutine");
    EngineLog(kLogInfo, "Notice:Routine run!\n");
    while (!m_stop) {
        m_work.SendPass();
        m_work.WaitSendWork();
    }
    EngineLog(kLogDebug, "MsgPool Rountine exit!\n");
}

void CEngineRoutines::TrackRoutine() {
    platform::SetCurrentThreadName("TrackRoutine");
    EngineLog(kLogInfo, "Notice:TrackRoutine run!\n");
    uint8_t buffer[1600];
    while (!m_stop) {
        if (!m_work.WaitTrackerReceive(25)) {
            continue;
        }
        while (!m_stop) {
            std::optional<size_t> n = m_work.TakeTrackerDatagram(buffer);
            if (!n) {
                break;
            }
            uint16_t field = 0;
            if (*n >= 2) {
                std::memcpy(&field, buffer, 2);
                field = ntohs(field);
            }
            if (*n < 2 || field != *n) {
                m_trackExit = -1;
                EngineLog(kLogDebug, "TrackRountine exit!\n");
                return;
            }
            m_work.HandleTrackerMessage({buffer, *n});
        }
    }
    EngineLog(kLogDebug, "TrackRountine exit!\n");
}

void CEngineRoutines::P2pRoutine() {
    platform::SetCurrentThreadName("P2pRoutine");
    EngineLog(kLogPlain, "Notice:P2pRoutine run,threadid %u!\n", static_cast<unsigned>(gettid()));
    while (!m_stop) {
        m_work.P2pPass(25);
    }
    EngineLog(kLogError1, "Notice:P2pRoutine ruin5!!\n");
}

void CEngineRoutines::CommonRoutine() {
    platform::SetCurrentThreadName("CommonRoutine");
    EngineLog(kLogInfo, "Notice:CommonRoutine run!\n");
    CCommonTimers timers(GetTick());
    AddCommonRoutineTimers(timers, m_work);
    while (!m_stop) {
        timers.Step(GetTick());
        // Asleep until the next timer is due rather than waking every millisecond for nothing.
        m_stopped.Wait(timers.MsUntilDue(GetTick()));
    }
    EngineLog(kLogInfo, "Notice:CommonRountine stop!\n");
}

namespace {

IRoutineWork g_noWork;
std::mutex g_routinesLock;
IRoutineWork* g_work = nullptr;
std::unique_ptr<CEngineRoutines> g_routines;

}  // namespace

void SetRoutineWork(IRoutineWork* work) {
    std::lock_guard lock(g_routinesLock);
    g_work = work;
}

void StartRoutines() {
    std::lock_guard lock(g_routinesLock);
    if (!g_routines) {
        g_routines = std::make_unique<CEngineRoutines>(g_work != nullptr ? *g_work : g_noWork);
    }
    g_routines->Start();
}

void StopRoutines() {
    std::lock_guard lock(g_routinesLock);
    if (g_routines) {
        g_routines->Stop();
        g_routines.reset();
    }
}

}  // namespace tessali::core
