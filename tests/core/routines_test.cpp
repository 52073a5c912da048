// The CommonRoutine timer table under a fake clock, and the four routines with fake work.

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <atomic>
#include <cstring>
#include <deque>
#include <mutex>

#include "common/log_capture.h"
#include "engine/core/routines.h"
#include "engine/platform/thread.h"

namespace tessali::core {
namespace {

struct CountingWork : IRoutineWork {
    std::atomic<int> lan{0}, rate{0}, second{0}, tasks{0}, nat{0}, sends{0}, handled{0}, prepared{0};
    double down = 0;
    std::mutex lock;
    std::deque<std::vector<uint8_t>> datagrams;
    uint16_t port = 0;

    void PrepareTrackerAgent() override { ++prepared; }
    uint16_t OpenListenSockets() override { return port; }
    void SendPass() override { ++sends; }
    void LanSearchStep() override { ++lan; }
    void RateWindowStep() override { ++rate; }
    void SecondTick() override { ++second; }
    void TickAllTasks() override { ++tasks; }
    void NatRecheck() override { ++nat; }
    double DownloadRate() override { return down; }
    bool WaitTrackerReceive(uint32_t timeoutMs) override {
        platform::SleepMs(1);
        std::lock_guard l(lock);
        return !datagrams.empty();
    }
    std::optional<size_t> TakeTrackerDatagram(std::span<uint8_t> buffer) override {
        std::lock_guard l(lock);
        if (datagrams.empty()) {
            return std::nullopt;
        }
        auto d = datagrams.front();
        datagrams.pop_front();
        std::memcpy(buffer.data(), d.data(), d.size());
        return d.size();
    }
    void HandleTrackerMessage(std::span<const uint8_t>) override { ++handled; }
};

TEST(CommonTimers, EachTimerFiresOnlyAfterMoreThanItsThreshold) {
    CountingWork work;
    const platform::Tick start = 0xFFFFFF00u;  // runs across the wrap
    CCommonTimers timers(start);
    AddCommonRoutineTimers(timers, work);

    timers.Step(start + 199);
    EXPECT_EQ(work.lan, 0);
    timers.Step(start + 200);
    EXPECT_EQ(work.lan, 1);
    EXPECT_EQ(work.rate, 0);
    timers.Step(start + 399);
    EXPECT_EQ(work.lan, 1);  // 199 ms since it last ran
    timers.Step(start + 500);
    EXPECT_EQ(work.lan, 2);
    EXPECT_EQ(work.rate, 1);
    timers.Step(start + 1000);
    EXPECT_EQ(work.second, 1);
    EXPECT_EQ(work.tasks, 0);
    timers.Step(start + 3000);
    EXPECT_EQ(work.tasks, 1);
    timers.Step(start + 300000);
    EXPECT_EQ(work.nat, 0);
    timers.Step(start + 300001);
    EXPECT_EQ(work.nat, 1);
    EXPECT_EQ(work.second, 3);
}

TEST(CommonTimers, SleepingUntilDueFiresAsOftenAsSteppingEveryMillisecond) {
    // The routine sleeps MsUntilDue between steps: it must neither skip nor delay a timer
    // compared with waking every millisecond.
    CountingWork everyMs;
    CountingWork sleeping;
    const platform::Tick start = 0xFFFFF000u;  // runs across the wrap
    CCommonTimers a(start);
    CCommonTimers b(start);
    AddCommonRoutineTimers(a, everyMs);
    AddCommonRoutineTimers(b, sleeping);
    const uint32_t span = 310000;
    for (uint32_t t = 0; t <= span; ++t) {
        a.Step(start + t);
    }
    int steps = 0;
    for (uint32_t t = 0; t <= span; t += b.MsUntilDue(start + t)) {
        b.Step(start + t);
        ++steps;
    }
    EXPECT_EQ(sleeping.lan, everyMs.lan);
    EXPECT_EQ(sleeping.rate, everyMs.rate);
    EXPECT_EQ(sleeping.second, everyMs.second);
    EXPECT_EQ(sleeping.tasks, everyMs.tasks);
    EXPECT_EQ(sleeping.nat, everyMs.nat);
    EXPECT_GT(sleeping.nat, 0);
    EXPECT_LE(steps, everyMs.lan * 3);  // woken about once per due timer, not every millisecond
}

TEST(Routines, StartTwiceIsOneStartAndStopJoinsEverything) {
    CountingWork work;
    work.port = 6881;
    test::LogCapture log;
    {
        CEngineRoutines routines(work);
        routines.Start();
        routines.Start();
        EXPECT_EQ(work.prepared, 1);
        platform::SleepMs(30);
        routines.Stop();
        EXPECT_FALSE(routines.Running());
        int sends = work.sends;
        platform::SleepMs(10);
        EXPECT_EQ(work.sends, sends);  // nothing runs after Stop
    }
    EXPECT_TRUE(log.Contains("MsgPool Rountine exit!\n"));
    EXPECT_TRUE(log.Contains("TrackRountine exit!\n"));
    EXPECT_TRUE(log.Contains("Notice:P2pRoutine ruin5!!\n"));
}

TEST(Routines, TrackRoutineHandsOnConsistentDatagramsAndEndsOnAMismatch) {
    CountingWork work;
    auto datagram = [](uint16_t field, size_t size) {
        std::vector<uint8_t> d(size, 0);
        uint16_t be = htons(field);
        std::memcpy(d.data(), &be, 2);
        return d;
    };
    {
        std::lock_guard l(work.lock);
        work.datagrams.push_back(datagram(10, 10));
        work.datagrams.push_back(datagram(36, 36));
        work.datagrams.push_back(datagram(36, 40));  // field disagrees with the length
        work.datagrams.push_back(datagram(8, 8));
    }
    CEngineRoutines routines(work);
    routines.Start();
    for (int i = 0; i < 200 && routines.TrackExitCode() == 0; ++i) {
        platform::SleepMs(5);
    }
    routines.Stop();
    EXPECT_EQ(routines.TrackExitCode(), -1);
    EXPECT_EQ(work.handled, 2);
}

}  // namespace
}  // namespace tessali::core
