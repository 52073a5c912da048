// A task's own transfer caps: the clock's arithmetic (average rate held to the byte whatever the
// message size, a late pass losing nothing, a new cap starting over) and the task manager's rows
// that set and ask them.

#include "engine/core/task_pace.h"

#include <gtest/gtest.h>

#include "core/fake_task.h"
#include "engine/core/task_mgr.h"
#include "engine/platform/tick.h"

namespace tessali::core {
namespace {

constexpr uint32_t kMessage = 16397;  // a block request's reply: 16 384 data bytes + 13

// Messages a sender that wakes every `stepMs` and then sends up to four while its clock lets
// it gets through in `ms` milliseconds of fake time.
int MessagesIn(CTaskPace& pace, platform::FakeTick& clock, uint32_t ms, uint32_t stepMs) {
    int sent = 0;
    for (uint32_t t = 0; t < ms; t += stepMs) {
        for (int i = 0; i < 4 && !pace.IsPaced(PaceDirection::kDownload, clock.Now()); ++i) {
            pace.Advance(PaceDirection::kDownload, kMessage, clock.Now());
            ++sent;
        }
        clock.Advance(stepMs);
    }
    return sent;
}

TEST(TaskPace, TheCapHoldsOnAverageWhateverTheIntervalsFraction) {
    // 3 000 000 B/s: 5.466 ms per message. Whole milliseconds alone would give 5 ms and 9 %
    // too much; the kept remainder gives the cap itself.
    // A pass every millisecond, passes a little late, and passes 20 ms apart (a loaded machine).
    for (uint32_t step : {1u, 3u, 20u}) {
        platform::FakeTick clock(1000);
        CTaskPace pace;
        pace.SetLimit(PaceDirection::kDownload, 3000000);
        int sent = MessagesIn(pace, clock, 10000, step);
        EXPECT_NEAR(sent, 30000000.0 / kMessage, 4.0) << "a pass every " << step << " ms";
    }
}

TEST(TaskPace, AClockHoldsOnlyItsDirectionAndOnlyUnderACap) {
    platform::FakeTick clock(5000);
    CTaskPace pace;
    EXPECT_FALSE(pace.HasLimit());
    pace.Advance(PaceDirection::kDownload, kMessage, clock.Now());
    EXPECT_FALSE(pace.IsPaced(PaceDirection::kDownload, clock.Now())) << "no cap, no wait";

    pace.SetLimit(PaceDirection::kUpload, 163970);  // 100 ms per message
    EXPECT_TRUE(pace.HasLimit());
    EXPECT_FALSE(pace.IsPaced(PaceDirection::kUpload, clock.Now())) << "the first goes at once";
    pace.Advance(PaceDirection::kUpload, kMessage, clock.Now());
    EXPECT_TRUE(pace.IsPaced(PaceDirection::kUpload, clock.Now()));
    EXPECT_FALSE(pace.IsPaced(PaceDirection::kDownload, clock.Now()));
    clock.Advance(99);
    EXPECT_TRUE(pace.IsPaced(PaceDirection::kUpload, clock.Now()));
    clock.Advance(1);
    EXPECT_FALSE(pace.IsPaced(PaceDirection::kUpload, clock.Now()));
}

TEST(TaskPace, ANewCapOrAResetStartsTheClockOverButTheSameCapDoesNot) {
    platform::FakeTick clock(0);
    CTaskPace pace;
    pace.SetLimit(PaceDirection::kDownload, 1640);  // 10 s per message
    pace.Advance(PaceDirection::kDownload, kMessage, clock.Now());
    pace.SetLimit(PaceDirection::kDownload, 1640);
    EXPECT_TRUE(pace.IsPaced(PaceDirection::kDownload, clock.Now())) << "set again each second, say";
    pace.SetLimit(PaceDirection::kDownload, 1000000);
    EXPECT_FALSE(pace.IsPaced(PaceDirection::kDownload, clock.Now())) << "a raised cap does not wait 10 s";

    pace.Advance(PaceDirection::kDownload, kMessage, clock.Now());
    EXPECT_TRUE(pace.IsPaced(PaceDirection::kDownload, clock.Now()));
    EXPECT_TRUE(pace.Reset());
    EXPECT_FALSE(pace.IsPaced(PaceDirection::kDownload, clock.Now()));
    pace.SetLimit(PaceDirection::kDownload, 0);
    EXPECT_FALSE(pace.Reset()) << "no cap left: pacing is off";
}

class TaskMgrPaceTest : public ::testing::Test {
protected:
    TaskMgrPaceTest() {
        mgr.SetTaskFactory(&factory);
        hash.bytes.fill(0x42);
        EXPECT_EQ(mgr.CreateDownloadTask(hash, "/dl/file.bin", nullptr, false, 0), 0);
        absent.bytes.fill(0x43);
    }
    platform::FakeTick clock{1000};
    test::FakeTaskFactory factory;
    CTaskMgr mgr;
    TaskHash hash;
    TaskHash absent;
};

TEST_F(TaskMgrPaceTest, TheRowsSetAndAskTheTasksOwnCaps) {
    EXPECT_FALSE(mgr.HasPaceLimit(hash));
    EXPECT_FALSE(mgr.ResetPace(hash));

    ASSERT_TRUE(mgr.SetDownloadPace(hash, 163970));
    EXPECT_TRUE(mgr.HasPaceLimit(hash));
    EXPECT_EQ(factory.last->Pace().Limit(PaceDirection::kDownload), 163970u);
    EXPECT_FALSE(mgr.IsDownloadPaced(hash)) << "nothing sent yet";
    factory.last->Pace().Advance(PaceDirection::kDownload, kMessage, clock.Now());
    EXPECT_TRUE(mgr.IsDownloadPaced(hash));
    EXPECT_FALSE(mgr.IsUploadPaced(hash));
    clock.Advance(100);
    EXPECT_FALSE(mgr.IsDownloadPaced(hash)) << "16 397 bytes at 163 970 B/s take 100 ms";

    // The upload limit row sets the same cap as the upload pace row.
    ASSERT_TRUE(mgr.SetUploadLimit(hash, 81985));
    EXPECT_EQ(factory.last->Pace().Limit(PaceDirection::kUpload), 81985u);
    factory.last->Pace().Advance(PaceDirection::kUpload, kMessage, clock.Now());
    EXPECT_TRUE(mgr.IsUploadPaced(hash));
    ASSERT_TRUE(mgr.SetUploadPace(hash, 0));
    EXPECT_FALSE(mgr.IsUploadPaced(hash));

    factory.last->Pace().Advance(PaceDirection::kDownload, kMessage, clock.Now());
    EXPECT_TRUE(mgr.ResetPace(hash)) << "the download cap is still on";
    EXPECT_FALSE(mgr.IsDownloadPaced(hash));
    ASSERT_TRUE(mgr.SetDownloadPace(hash, 0));
    EXPECT_FALSE(mgr.HasPaceLimit(hash));
}

TEST_F(TaskMgrPaceTest, TheRowsAnswerFalseForAnAbsentTask) {
    EXPECT_FALSE(mgr.SetUploadLimit(absent, 1000));
    EXPECT_FALSE(mgr.SetUploadPace(absent, 1000));
    EXPECT_FALSE(mgr.SetDownloadPace(absent, 1000));
    EXPECT_FALSE(mgr.IsDownloadPaced(absent));
    EXPECT_FALSE(mgr.IsUploadPaced(absent));
    EXPECT_FALSE(mgr.ResetPace(absent));
    EXPECT_FALSE(mgr.HasPaceLimit(absent));
}

}  // namespace
}  // namespace tessali::core
