// Engine start-up and shut-down through the entry functions: the once-only rule, the name-length
// checks, and that shut-down leaves no engine thread behind.

#include <gtest/gtest.h>

#include <dirent.h>

#include <thread>

#include "common/log_capture.h"
#include "common/temp_dir.h"
#include "core/fake_task.h"
#include "engine/core/engine_api.h"
#include "engine/core/engine_env.h"
#include "engine/core/engine_log.h"
#include "engine/core/protocol_link.h"
#include "engine/core/task_mgr.h"
#include "engine/platform/deploy_config.h"
#include "engine/platform/file.h"

namespace tessali {
namespace {

int ThreadCount() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/task")) {
        while (dirent* e = readdir(d)) {
            n += e->d_name[0] != '.';
        }
        closedir(d);
    }
    return n;
}

class EngineInitTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::DeployConfig c;
        c.natType = 0;
        platform::SetDeploy(c);
    }
    void TearDown() override {
        EngineUninit();
        platform::SetDeploy({});
    }
    test::TempDir dir;
    test::ScopedEnv data{"XDG_DATA_HOME", dir.Path()};
};

TEST_F(EngineInitTest, SecondInitIsRefusedWithItsWarning) {
    test::LogCapture log;
    ASSERT_TRUE(EngineStartNetwork());
    ASSERT_EQ(EngineInit(), 0);
    EXPECT_EQ(EngineInit(), -1);
    EXPECT_TRUE(log.Contains("Warning:already called init()!!!\n"));
    EXPECT_TRUE(EngineInitialised());
    EXPECT_EQ(core::EngineDataFolder(), dir.Path() + "Tessali/Data/");
    EXPECT_EQ(core::Host().natType, 0u);  // fixed by the deployment file
}

TEST_F(EngineInitTest, TooLongServerNamesRefuseTheStart) {
    platform::DeployConfig c;
    c.trackerHost = std::string(32, 't');
    platform::SetDeploy(c);
    test::LogCapture log;
    EXPECT_EQ(EngineInit(), -1);
    EXPECT_TRUE(log.Contains("Tracker Url is too long!!Less than 32!\n"));
    EXPECT_FALSE(EngineInitialised());
    c.trackerHost = std::string(31, 't');  // fits with its terminator
    c.updateHost = std::string(40, 'a');
    platform::SetDeploy(c);
    EXPECT_EQ(EngineInit(), -1);
    EXPECT_TRUE(log.Contains("Agent Url is too long!!Less than 32\n"));
}

// A log file named without a folder goes into the maker's state folder; a full path is kept.
TEST_F(EngineInitTest, APlainLogFileNameLandsInTheStateFolder) {
    test::TempDir state;
    test::ScopedEnv env{"XDG_STATE_HOME", state.Path()};
    platform::DeployConfig c;
    c.natType = 0;
    c.logFile = "engine.log";
    c.logLevel = 2;
    platform::SetDeploy(c);
    ASSERT_EQ(EngineInit(), 0);
    core::EngineLog(core::kLogDebug, "below the level\n");
    core::EngineLog(core::kLogFail, "marker %d\n", 7);
    EngineUninit();
    const std::string text = test::ReadFile(state.Path() + "Tessali/engine.log");
    EXPECT_NE(text.find("FAIL "), std::string::npos) << text;
    EXPECT_NE(text.find("marker 7"), std::string::npos);
    EXPECT_EQ(text.find("below the level"), std::string::npos);

    c.logFile = dir.Path() + "full.log";
    platform::SetDeploy(c);
    ASSERT_EQ(EngineInit(), 0);
    core::EngineLog(core::kLogStop, "kept where it was named\n");
    EngineUninit();
    core::SetLogFile("", 1);
    EXPECT_NE(test::ReadFile(dir.Path() + "full.log").find("kept where it was named"), std::string::npos);
}

TEST_F(EngineInitTest, ShutDownLeavesNoEngineThreadRunning) {
    // A first thread makes sanitizer runtimes start their own helper thread before we count.
    std::thread([] {}).join();
    int before = ThreadCount();
    ASSERT_EQ(EngineInit(), 0);
    EXPECT_GE(ThreadCount(), before + 4);  // the four routines
    EngineUninit();
    EXPECT_EQ(ThreadCount(), before);
    EXPECT_FALSE(EngineInitialised());
    ASSERT_EQ(EngineInit(), 0);  // and it can start again
}

// The entry functions refuse a folder as the destination (it names the file to make), before any
// task or HTTP job exists.
TEST_F(EngineInitTest, AFolderAsTheDestinationIsRefusedByBothTaskEntries) {
    ASSERT_EQ(EngineInit(), 0);
    const std::string folder = dir.Path() + "games";
    ASSERT_TRUE(platform::CreateDirectories(folder + "/"));
    const std::string h = "00112233445566778899AABBCCDDEEFF00112233";
    EXPECT_EQ(AddHashTask(h, folder), -1);
    EXPECT_FALSE(core::TaskMgr().TaskExists(core::TaskHash::FromText(h)));
    EXPECT_FALSE(AddSeedTask("http://127.0.0.1:9/games.bin", h, folder));
    EngineUninit();
    EXPECT_TRUE(platform::DirectoryExists(folder));
    EXPECT_FALSE(platform::FileExists(folder + ".!mt"));
}

TEST_F(EngineInitTest, EntryFunctionsCreateQueryAndControlTasks) {
    test::FakeTaskFactory factory;
    core::SetDefaultTaskFactory(&factory);
    struct Recorder : core::IProtocolLink {
        std::vector<std::pair<std::string, int>> calls;
        void AddEngineTracker(const core::TaskHash& h) override { calls.emplace_back(h.ToText(), 0); }
        void AnnounceSource(const core::TaskHash& h) override { calls.emplace_back(h.ToText(), -1); }
        void ControlTrackers(const core::TaskHash& h, int code) override {
            calls.emplace_back(h.ToText(), code);
        }
    } recorder;
    ASSERT_EQ(EngineInit(), 0);
    // After the start, which registers the engine's own link.
    core::SetProtocolLink(&recorder);

    const std::string a = "00112233445566778899AABBCCDDEEFF00112233";
    const std::string b = "FFEEDDCCBBAA99887766554433221100FFEEDDCC";
    EXPECT_EQ(AddHashTask(a, dir.Path() + "a.bin"), 0);
    EXPECT_EQ(AddHashTask(a, dir.Path() + "a.bin"), -1);  // already present (2) is reported as -1
    factory.nextLoad = 1;
    EXPECT_EQ(AddHashTask(b, dir.Path() + "b.bin"), 1);
    core::TaskInfoRecord rec;
    EXPECT_TRUE(QueryTask(a, &rec));
    EXPECT_EQ(std::string(rec.hashText, 40), a);
    EXPECT_FALSE(QueryTask("0000", &rec));
    EXPECT_EQ(ControlTask(a, 2), 0);
    EXPECT_EQ(core::TaskMgr().GetRunState(core::TaskHash::FromText(a)), core::kRunPaused);
    EXPECT_EQ(ControlTask(a, 3), 0);
    EXPECT_FALSE(QueryTask(a, &rec));
    EXPECT_EQ(ControlTask(a, 9), 0);  // always 0, no tracker work for an unknown code

    EngineUninit();
    core::SetProtocolLink(nullptr);
    core::SetDefaultTaskFactory(nullptr);
    std::vector<std::pair<std::string, int>> expected = {{a, 0}, {b, -1}, {a, 2}, {a, 3}};
    EXPECT_EQ(recorder.calls, expected);
}

}  // namespace
}  // namespace tessali
