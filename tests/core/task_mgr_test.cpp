// The task table: creation results, control codes, removal, lookups and the information record.

#include <gtest/gtest.h>

#include <cstring>

#include "common/log_capture.h"
#include "core/fake_task.h"
#include "engine/core/protocol_link.h"
#include "engine/core/task_mgr.h"

namespace tessali::core {
namespace {

using test::FakeTask;
using test::FakeTaskFactory;

TaskHash H(uint8_t first) {
    TaskHash h;
    h.bytes[0] = first;
    h.bytes[19] = 0x5A;
    return h;
}

class TaskMgrTest : public ::testing::Test {
protected:
    TaskMgrTest() { mgr.SetTaskFactory(&factory); }
    FakeTaskFactory factory;
    CTaskMgr mgr;

    Ref<FakeTask> Add(uint8_t first, const std::string& path = "/dl/file.bin") {
        EXPECT_EQ(mgr.CreateDownloadTask(H(first), path, nullptr, false, 0), 0);
        return factory.last;
    }
};

TEST_F(TaskMgrTest, CreationResultsAndDuplicates) {
    Add(1);
    EXPECT_EQ(mgr.CreateDownloadTask(H(1), "/dl/other.bin", nullptr, false, 0), 2);
    EXPECT_EQ(factory.made, 1);  // no task is even built for a hash that is present

    factory.nextLoad = -1;
    EXPECT_EQ(mgr.CreateDownloadTask(H(2), "/dl/x", nullptr, false, 0), -1);
    EXPECT_FALSE(mgr.TaskExists(H(2)));
    EXPECT_EQ(factory.last->RefCount(), 1);  // the table kept no reference to the refused task

    factory.nextLoad = 1;
    EXPECT_EQ(mgr.CreateDownloadTask(H(3), "/dl/y", nullptr, true, 0), 1);
    EXPECT_TRUE(mgr.TaskExists(H(3)));
    EXPECT_TRUE(factory.last->HighPriority());
}

TEST_F(TaskMgrTest, ADestinationThatNamesNoFileIsRefused) {
    EXPECT_EQ(mgr.CreateDownloadTask(H(1), "/dl/", nullptr, false, 0), -1);
    EXPECT_EQ(mgr.CreateDownloadTask(H(1), "", nullptr, false, 0), -1);
    EXPECT_EQ(factory.made, 0);
    EXPECT_EQ(mgr.TaskCount(), 0u);
}

TEST_F(TaskMgrTest, ControlCodeFourStartsOneAndPausesTheOthersButHighPriorityAndPaused) {
    Ref<FakeTask> target = Add(1);
    Ref<FakeTask> running = Add(2);
    Ref<FakeTask> high = Add(3);
    high->SetHighPriority(true);
    Ref<FakeTask> paused = Add(4);
    paused->SetRunState(kRunPaused);
    Ref<FakeTask> deleting = Add(5);
    deleting->SetRunState(kRunDeleting);
    target->SetRunState(kRunPaused);
    uint64_t pausedStart = paused->StartTime();

    EXPECT_EQ(mgr.ControlTaskState(H(1), 4), 0);
    EXPECT_EQ(target->RunState(), kRunRunning);
    EXPECT_EQ(running->RunState(), kRunPaused);
    EXPECT_EQ(high->RunState(), kRunRunning);
    EXPECT_EQ(paused->RunState(), kRunPaused);
    EXPECT_EQ(paused->StartTime(), pausedStart);
    EXPECT_EQ(deleting->RunState(), kRunPaused);  // not paused, not high-priority
}

TEST_F(TaskMgrTest, ControlCodesPauseDeleteAndRejectOthers) {
    Ref<FakeTask> t = Add(1);
    EXPECT_EQ(mgr.ControlTaskState(H(1), 2), 0);
    EXPECT_EQ(mgr.GetRunState(H(1)), kRunPaused);
    EXPECT_EQ(mgr.ControlTaskState(H(1), 1), 0);
    EXPECT_EQ(mgr.GetRunState(H(1)), kRunRunning);
    EXPECT_EQ(mgr.ControlTaskState(H(1), 5), -1);
    EXPECT_EQ(mgr.ControlTaskState(H(9), 2), -1);
    EXPECT_EQ(mgr.ControlTaskState(H(1), 3), 0);
    EXPECT_FALSE(mgr.TaskExists(H(1)));
    EXPECT_EQ(t->RunState(), kRunDeleting);
    EXPECT_TRUE(t->removed);
    EXPECT_FALSE(mgr.FindTaskByPath("/dl/file.bin"));  // gone from the folder table too
    EXPECT_EQ(mgr.GetRunState(H(1)), -1);
}

TEST_F(TaskMgrTest, PauseAllSparesHighPriorityAndStartAllStartsEverything) {
    Ref<FakeTask> a = Add(1);
    Ref<FakeTask> b = Add(2);
    b->SetHighPriority(true);
    mgr.PauseAll();
    EXPECT_EQ(a->RunState(), kRunPaused);
    EXPECT_EQ(b->RunState(), kRunRunning);
    mgr.StartAll();
    EXPECT_EQ(a->RunState(), kRunRunning);
}

TEST_F(TaskMgrTest, FolderTableLookupsAndTicks) {
    Ref<FakeTask> a = Add(1, "/dl/a.bin");
    Ref<FakeTask> b = Add(2, "/dl/b.bin");
    Ref<FakeTask> c = Add(3, "/other/a.bin");
    EXPECT_EQ(mgr.FindTaskByPath("/dl/b.bin").get(), b.get());
    EXPECT_EQ(mgr.FindTaskByPath("/other/a.bin").get(), c.get());
    EXPECT_FALSE(mgr.FindTaskByPath("/dl/c.bin"));
    mgr.TickAllTasks();
    EXPECT_EQ(a->ticks + b->ticks + c->ticks, 3);
    EXPECT_EQ(a->Folder(), "/dl/");
    EXPECT_EQ(a->Name(), "a.bin");
}

TEST_F(TaskMgrTest, LookupsTakeReferencesAndAbsentHashesGiveFailureValues) {
    Ref<FakeTask> t = Add(1);
    int32_t before = t->RefCount();
    {
        Ref<CTask> found;
        ASSERT_TRUE(mgr.FindTask(H(1), found));
        EXPECT_EQ(t->RefCount(), before + 1);
        EXPECT_EQ(mgr.PeekTask(H(1)), found.get());
        EXPECT_EQ(t->RefCount(), before + 1);  // peeking takes no reference
    }
    EXPECT_EQ(t->RefCount(), before);
    Ref<CTask> none;
    EXPECT_FALSE(mgr.FindTask(H(7), none));
    EXPECT_EQ(mgr.PeekTask(H(7)), nullptr);
    uint8_t buf[4];
    EXPECT_EQ(mgr.WriteAt(H(7), buf, 0), -1);
    EXPECT_EQ(mgr.ReadAt(H(7), buf, 0, false), -1);
    EXPECT_EQ(mgr.GetBitfieldLength(H(7)), -1);
    EXPECT_EQ(mgr.GetCreationTime(H(7)), -1);
    EXPECT_EQ(mgr.GetPieceLength(H(7)), 0u);
    EXPECT_EQ(mgr.SelectFiles(H(7), 1), -1);
    // A task whose seed has not arrived has piece length 0: writes take nothing, reads fail.
    EXPECT_EQ(mgr.WriteAt(H(1), buf, 0), 0);
    EXPECT_EQ(mgr.ReadAt(H(1), buf, 0, false), -1);
}

TEST_F(TaskMgrTest, HttpLinkIsRecordedAndDroppedWithTheTask) {
    Add(1);
    EXPECT_TRUE(mgr.SetSourceUrl(H(1), "http://h/f"));
    EXPECT_TRUE(mgr.IsHttpTask(H(1)));
    EXPECT_TRUE(mgr.LinkHttpJob(H(1), H(8)));
    EXPECT_TRUE(mgr.IsHttpLinkedHash(H(1)));
    TaskHash job;
    EXPECT_TRUE(mgr.GetHttpHash(H(1), job));
    EXPECT_EQ(job, H(8));
    std::string url;
    EXPECT_TRUE(mgr.GetSourceUrl(H(1), url));
    EXPECT_EQ(url, "http://h/f");
    mgr.RemoveTask(H(1));
    EXPECT_FALSE(mgr.IsHttpLinkedHash(H(1)));
}

TEST_F(TaskMgrTest, ActiveDownloadsAndSourceAnnouncements) {
    struct Recorder : IProtocolLink {
        std::vector<TaskHash> announced;
        void AnnounceSource(const TaskHash& h) override { announced.push_back(h); }
    } recorder;
    SetProtocolLink(&recorder);
    Ref<FakeTask> incomplete = Add(1);
    Ref<FakeTask> complete = Add(2);
    complete->complete = true;
    Ref<FakeTask> share = Add(3);
    share->SetKind(kKindShareNative);
    Ref<FakeTask> paused = Add(4);
    paused->SetRunState(kRunPaused);
    EXPECT_EQ(mgr.CountActiveDownloads(), 1);
    mgr.AnnounceAllSources();
    SetProtocolLink(nullptr);
    EXPECT_EQ(recorder.announced, (std::vector<TaskHash>{H(2), H(3)}));
}

TEST_F(TaskMgrTest, InformationRecordOfAFiveGibTask) {
    Ref<FakeTask> t = Add(0xAB, "/dl/client.iso");
    t->contentFiles = true;
    t->total = 5LL << 30;
    t->verified = (1LL << 32) + 7;
    t->downloadRateCount = 1000;
    t->uploadRateCount = -50;
    t->downloadedTotal = (1LL << 32) + 99;

    TaskInfoRecord rec;
    std::memset(&rec, 0xEE, sizeof rec);
    ASSERT_EQ(mgr.QueryTaskInfo(H(0xAB), rec), 0);
    const auto* bytes = reinterpret_cast<const uint8_t*>(&rec);
    auto u32 = [&](size_t off) {
        return uint32_t{bytes[off]} | uint32_t{bytes[off + 1]} << 8 | uint32_t{bytes[off + 2]} << 16 |
               uint32_t{bytes[off + 3]} << 24;
    };
    EXPECT_EQ(std::string(rec.hashText, 40), H(0xAB).ToText());
    EXPECT_EQ(u32(40), 0u);
    EXPECT_EQ(bytes[44], 0xEE);  // not written by the engine
    EXPECT_EQ(u32(52), 1u);      // total: high word first
    EXPECT_EQ(u32(56), 0x40000000u);
    EXPECT_EQ(u32(60), 1u);
    EXPECT_EQ(u32(64), 7u);
    EXPECT_EQ(u32(72), 99u);  // low 32 bits of the downloaded total
    EXPECT_EQ(u32(76), 0u);   // negative window floors at 0
    EXPECT_EQ(u32(80), 100u);
    EXPECT_EQ(bytes[87], kRunRunning);
    EXPECT_EQ(bytes[90], kKindDownload);
    EXPECT_EQ(rec.TotalSize(), 5LL << 30);
    EXPECT_EQ(rec.Destination(), u"/dl/client.iso");
}

TEST_F(TaskMgrTest, RecordOfATaskWithoutContentFilesHasOnlyTheHashAndZero) {
    Add(1);
    TaskInfoRecord rec;
    std::memset(&rec, 0xEE, sizeof rec);
    ASSERT_EQ(mgr.QueryTaskInfo(H(1), rec), 0);
    EXPECT_EQ(std::string(rec.hashText, 40), H(1).ToText());
    EXPECT_EQ(rec.zero, 0u);
    EXPECT_EQ(rec.totalHigh, 0xEEEEEEEEu);
    EXPECT_EQ(mgr.QueryTaskInfo(H(2), rec), -1);
}

TEST_F(TaskMgrTest, BlockFromAPeerThatWasNotAskedIsRefusedWithItsLogLine) {
    Add(1);
    test::LogCapture log;
    uint8_t block[16] = {};
    EXPECT_EQ(mgr.PutBlock(H(1), ConnectionKey{1, 2, 3}, block, PieceIndex{0}, BlockOffset{0}), 0);
    EXPECT_TRUE(log.Contains("错误啊,不是我以前请求的包\n"));
    EXPECT_EQ(mgr.PutBlock(H(2), ConnectionKey{1, 2, 3}, block, PieceIndex{0}, BlockOffset{0}), -1);
}

}  // namespace
}  // namespace tessali::core
