// The process shell's ground work: the single-instance guard, the application folders and the
// choice of the default download folder.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <set>

#include "app/records/app_folders.h"
#include "app/records/download_record.h"
#include "common/child_process.h"
#include "common/temp_dir.h"
#include "engine/platform/file.h"

namespace tessali::app {
namespace {

using tessali::test::TempDir;

TEST(InstanceGuard, OnlyOneHolderAtATimeAndTheLockGoesWithItsHolder) {
    TempDir dir;
    const std::string path = dir.Path() + kInstanceName;
    {
        CInstanceGuard first(path);
        ASSERT_TRUE(first.Acquire());
        CInstanceGuard second(path);
        EXPECT_FALSE(second.Acquire());
        // Another process is refused as well.
        pid_t child = fork();
        if (child == 0) {
            CInstanceGuard other(path);
            _exit(other.Acquire() ? 1 : 0);
        }
        int status = 0;
        waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    CInstanceGuard after(path);
    EXPECT_TRUE(after.Acquire());
}

// The program itself: a second start while the lock is held ends at once with code 0, before it
// creates any folder or window.
TEST(InstanceGuard, TheProgramStartedTwiceExitsAtOnceWithZero) {
    const std::string program = TESSALI_BINARY_DIR "/app/tessali";
    if (!platform::FileExists(program))
        GTEST_SKIP() << "the program is not built";
    TempDir runtime, data;
    CInstanceGuard running(runtime.Path() + kInstanceName);
    ASSERT_TRUE(running.Acquire());
    const tessali::test::ProgramRun run = tessali::test::RunProgram(program, {},
                                                                    {{"XDG_RUNTIME_DIR", runtime.Path()},
                                                                     {"XDG_DATA_HOME", data.Path()},
                                                                     {"QT_QPA_PLATFORM", "offscreen"}},
                                                                    true, 30);
    EXPECT_EQ(run.exitCode, 0) << "the second instance kept running or failed: " << run.out;
    EXPECT_FALSE(platform::DirectoryExists(data.Path() + kAppFolderName));
}

TEST(AppFolders, DataFoldersAreCreatedAndMayExistAlready) {
    TempDir home;
    EXPECT_EQ(PrepareAppDataFolder(home.Path()), home.Path() + "TessaliDL/");
    EXPECT_TRUE(platform::DirectoryExists(home.Path() + "Tessali"));
    EXPECT_EQ(PrepareAppDataFolder(home.Path().substr(0, home.Path().size() - 1)),
              home.Path() + "TessaliDL/");
}

TEST(AppFolders, TheDefaultFolderIsOnTheLocalCandidateWithMostFreeSpaceFirstWinningTies) {
    TempDir a, b, c;
    std::map<std::string, int64_t> free{{a.Path(), 100}, {b.Path(), 300}, {c.Path(), 300}};
    std::set<std::string> remote;
    FolderFacts facts{[&](const std::string& p) { return free.count(p) ? free[p] : -1; },
                      [&](const std::string& p) { return remote.count(p) == 0; }};
    EXPECT_EQ(DefaultDownloadFolder({a.Path(), b.Path(), c.Path()}, facts), b.Path() + "TessaliDownload/");
    EXPECT_TRUE(platform::DirectoryExists(b.Path() + "TessaliDownload"));
    remote.insert(b.Path());
    EXPECT_EQ(DefaultDownloadFolder({a.Path(), b.Path(), c.Path()}, facts), c.Path() + "TessaliDownload/");
    // No candidate answers: a relative folder.
    remote.insert(a.Path());
    remote.insert(c.Path());
    EXPECT_EQ(DefaultDownloadFolder({a.Path(), b.Path(), c.Path()}, facts), "TessaliDownload/");
    platform::RemoveFile("TessaliDownload");
    ::rmdir("TessaliDownload");
}

TEST(AppFolders, TheRecordsFolderWinsWhenItHasADownloadElement) {
    TempDir dir, a;
    FolderFacts facts{[](const std::string&) { return int64_t{1}; }, [](const std::string&) { return true; }};
    const std::string record = dir.Path() + std::string(kRecordFileName);
    EXPECT_EQ(StartupDownloadFolder(record, {a.Path()}, facts), a.Path() + "TessaliDownload/");
    tessali::test::WriteFile(record, "<?xml version='1.0'?>\r\n<patchinfo>\r\n</patchinfo>");
    EXPECT_EQ(StartupDownloadFolder(record, {a.Path()}, facts), a.Path() + "TessaliDownload/");
    DownloadRecord r;
    r.path = "/media/games/";
    WriteDownloadRecord(record, r);
    EXPECT_EQ(StartupDownloadFolder(record, {a.Path()}, facts), "/media/games/");
}

// The user's download folder as user-dirs.dirs names it (a localised name, relative to $HOME) is
// where the default folder goes when home has no more room than it.
TEST(AppFolders, TheDefaultFolderGoesIntoTheLocalisedUserDownloadFolder) {
    TempDir home, config, record;
    tessali::test::ScopedEnv h("HOME", home.Path());
    tessali::test::ScopedEnv c("XDG_CONFIG_HOME", config.Path());
    tessali::test::ScopedEnv d("XDG_DOWNLOAD_DIR", "");  // only absolute values count
    tessali::test::WriteFile(config.File("user-dirs.dirs"),
                             "# written by xdg-user-dirs-update\nXDG_DESKTOP_DIR=\"$HOME/桌面\"\n"
                             "XDG_DOWNLOAD_DIR=\"$HOME/下载\"\n");
    const std::string downloads = home.Path() + "下载/";
    const std::string recordPath = record.File(std::string(kRecordFileName));

    // The folder named there does not exist (yet): home is used.
    EXPECT_EQ(StartupDownloadFolder(recordPath, DownloadFolderCandidates(), FolderFacts::Platform()),
              home.Path() + "TessaliDownload/");
    ASSERT_TRUE(platform::CreateDirectories(downloads));
    EXPECT_EQ(DownloadFolderCandidates(), (std::vector<std::string>{downloads, home.Path()}));
    EXPECT_EQ(StartupDownloadFolder(recordPath, DownloadFolderCandidates(), FolderFacts::Platform()),
              downloads + "TessaliDownload/");
    EXPECT_TRUE(platform::DirectoryExists(downloads + "TessaliDownload"));

    // A download folder that is home itself (user-dirs' way of saying "none") is one candidate.
    tessali::test::WriteFile(config.File("user-dirs.dirs"), "XDG_DOWNLOAD_DIR=\"$HOME/\"\n");
    EXPECT_EQ(DownloadFolderCandidates(), std::vector<std::string>{home.Path()});
}

TEST(AppFolders, AncestorsAndFilesystemRoots) {
    TempDir dir;
    EXPECT_EQ(ExistingAncestor(dir.Path() + "x/y/z/"), dir.Path());
    EXPECT_EQ(ExistingAncestor(dir.Path()), dir.Path());
    EXPECT_FALSE(IsLocalFilesystemRoot(dir.Path() + "missing"));
}

}  // namespace
}  // namespace tessali::app
