// Share tasks and the share queue on real files.

#include <gtest/gtest.h>

#include <chrono>

#include "common/log_capture.h"
#include "common/temp_dir.h"
#include "engine/core/engine_env.h"
#include "engine/core/seed.h"
#include "engine/core/share_queue.h"
#include "engine/core/task_key.h"
#include "engine/core/task_mgr.h"
#include "engine/platform/file.h"
#include "engine/platform/thread.h"

namespace tessali::core {
namespace {

class ShareTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(PrepareEngineFolders());
        test::WriteFile(dir.File("game.pak"), std::string(100000, 'g'));
        ShareFlag() = true;  // as a running engine has it; an engine shut down earlier leaves it clear
    }
    test::TempDir dir;
    test::ScopedEnv data{"XDG_DATA_HOME", dir.Path() + "xdg"};
    CTaskMgr mgr;
    CShareQueue queue;
};

TEST_F(ShareTest, TheSamePathQueuedTwiceGivesOneShareTask) {
    queue.Add(dir.File("game.pak"));
    queue.Add(dir.File("game.pak"));
    EXPECT_EQ(queue.Size(), 1u);
    test::LogCapture log;
    EXPECT_TRUE(ShareQueueStep(queue, mgr));
    EXPECT_FALSE(ShareQueueStep(queue, mgr));
    EXPECT_EQ(mgr.TaskCount(), 1u);
    EXPECT_TRUE(log.Contains("Create Share Task!!Result:0\n"));
    Ref<CTask> t = mgr.FindTaskByPath(dir.File("game.pak"));
    ASSERT_TRUE(t);
    EXPECT_EQ(t->Kind(), kKindShareNative);
    EXPECT_TRUE(t->IsComplete());
    EXPECT_EQ(t->VerifiedBytes(), 100000);
    // Served from the file, every piece present.
    uint8_t buf[16];
    EXPECT_EQ(mgr.ReadAt(t->Hash(), buf, 99990, true), 10);
    EXPECT_EQ(buf[0], 'g');
    EXPECT_EQ(t->uploadedTotal, 10);
    // Queued again later: already shared, skipped (its line is level 0, never written).
    queue.Add(dir.File("game.pak"));
    log.Clear();
    EXPECT_TRUE(ShareQueueStep(queue, mgr));
    EXPECT_FALSE(log.Contains("Create Share Task!!Result:-1\n"));
    EXPECT_FALSE(log.Contains("Create Share Task!!Result:0\n"));
    EXPECT_EQ(mgr.TaskCount(), 1u);
}

TEST_F(ShareTest, AFileWithoutADotIsNotShared) {
    test::WriteFile(dir.File("README"), "text");
    queue.Add(dir.File("README"));
    test::LogCapture log;
    ShareQueueStep(queue, mgr);
    EXPECT_EQ(mgr.TaskCount(), 0u);
    EXPECT_TRUE(log.Contains(dir.File("README") + " Build seed failed!\n"));
    EXPECT_TRUE(log.Contains("Create Share Task!!Result:-1\n"));
}

TEST_F(ShareTest, AFileWhoseSizeChangedGetsANewSeed) {
    TaskHash first;
    ASSERT_EQ(mgr.CreateShareTask(dir.File("game.pak"), first, nullptr, 0), 0);
    mgr.ControlTaskState(first, 3);  // unshare: seed and record go with the task
    EXPECT_FALSE(platform::FileExists(SeedFilePath(TaskKey(dir.File("game.pak")))));
    ASSERT_EQ(mgr.CreateShareTask(dir.File("game.pak"), first, nullptr, 0), 0);
    CTaskMgr other;  // a later run, with the seed of the first still on disk
    test::WriteFile(dir.File("game.pak"), std::string(200000, 'h'));
    TaskHash second;
    ASSERT_EQ(other.CreateShareTask(dir.File("game.pak"), second, nullptr, 0), 0);
    EXPECT_NE(first, second);
    CSeed seed(SeedFilePath(TaskKey(dir.File("game.pak"))));
    ASSERT_TRUE(seed.LoadFromDisk());
    EXPECT_EQ(seed.TotalLength(), 200000);
    EXPECT_EQ(seed.PiecesHash(), second);
}

TEST_F(ShareTest, AHashAlreadyInTheTableLeavesTheExistingTaskUntouched) {
    TaskHash hash;
    ASSERT_EQ(mgr.CreateShareTask(dir.File("game.pak"), hash, nullptr, 0), 0);
    Ref<CTask> existing;
    ASSERT_TRUE(mgr.FindTask(hash, existing));
    // The same content under a second path has the same hash.
    platform::CreateDirectories(dir.Path() + "copy/");
    test::WriteFile(dir.Path() + "copy/game.pak", std::string(100000, 'g'));
    test::LogCapture log;
    TaskHash again;
    EXPECT_EQ(mgr.CreateShareTask(dir.Path() + "copy/game.pak", again, nullptr, 0), -1);
    EXPECT_TRUE(log.Contains(dir.Path() + "copy/game.pak,Task has already existed!Share failed!\n\t\t\n"));
    Ref<CTask> still;
    ASSERT_TRUE(mgr.FindTask(hash, still));
    EXPECT_EQ(still.get(), existing.get());
    EXPECT_EQ(still->FullPath(), dir.File("game.pak"));
}

TEST_F(ShareTest, AMissingFileIsNotSharedAndItsSeedGoes) {
    test::WriteFile(SeedFilePath(TaskKey(dir.File("gone.pak"))), "d4:infod6:lengthi1eee");
    test::LogCapture log;
    TaskHash h;
    EXPECT_EQ(mgr.CreateShareTask(dir.File("gone.pak") + "|http://ad", h, nullptr, 0), -1);
    EXPECT_TRUE(log.Contains("Upload Task:File Not exist!Delete Task(" + dir.File("gone.pak") + ")!!\n"));
    EXPECT_FALSE(platform::FileExists(SeedFilePath(TaskKey(dir.File("gone.pak")))));
}

TEST_F(ShareTest, ClearingTheShareFlagStopsASeedBuild) {
    test::WriteFile(dir.File("large.bin"), std::string(8 << 20, 'x'));
    ShareFlag() = false;  // as the engine's shut-down leaves it
    TaskHash h;
    CShareQueue q;
    EXPECT_EQ(mgr.CreateShareTask(dir.File("large.bin"), h, nullptr, 0), -1);
    ShareFlag() = true;
    EXPECT_EQ(mgr.CreateShareTask(dir.File("large.bin"), h, nullptr, 0), 0);
}

// The engine's shut-down clears the share flag and then waits for the share thread. A path the
// thread takes after the flag was cleared must not set it again: the build of a 4 GiB file would
// then run to its end while the shut-down waits.
TEST_F(ShareTest, AStopDuringALongSeedBuildIsNotUndoneByTheShareThread) {
    const std::string big = dir.File("client.pak");
    {
        platform::File f;
        ASSERT_TRUE(f.Open(big, platform::File::kWrite | platform::File::kCreate));
        ASSERT_TRUE(f.Truncate(int64_t{4} << 30));  // sparse: reads as zeros, costs no disk
    }
    CShareThread thread;
    thread.Start(queue, mgr);
    ShareFlag() = false;  // the shut-down has begun
    queue.Add(big);
    for (int i = 0; i < 2000 && queue.Size() != 0; ++i) {
        platform::SleepMs(5);
    }
    ASSERT_EQ(queue.Size(), 0u) << "the share thread never took the path";
    auto start = std::chrono::steady_clock::now();
    thread.Stop();
    auto waited = std::chrono::steady_clock::now() - start;
    ShareFlag() = true;
    // A hang bound, not a speed: hashing the whole file takes many times longer.
    EXPECT_LT(waited, std::chrono::seconds(1));
    EXPECT_FALSE(mgr.FindTaskByPath(big)) << "the build ran to its end after the stop";
    EXPECT_FALSE(platform::FileExists(SeedFilePath(TaskKey(big))));
}

}  // namespace
}  // namespace tessali::core
