// Download tasks on real files: every row of the resume decision, seed arrival, a whole transfer
// through the task manager with fake peers and a restart in the middle.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>

#include "common/fakes/faulty_disk.h"
#include "common/log_capture.h"
#include "common/temp_dir.h"
#include "engine/core/download_task.h"
#include "engine/core/engine_config.h"
#include "engine/core/engine_env.h"
#include "engine/core/resume_record.h"
#include "engine/core/seed.h"
#include "engine/core/seed_builder.h"
#include "engine/core/share_queue.h"
#include "engine/core/task_key.h"
#include "engine/core/task_mgr.h"
#include "engine/platform/file.h"

namespace tessali::core {
namespace {

using platform::FileExists;

std::string Bytes(size_t n, uint32_t seed) {
    std::string s(n, '\0');
    std::mt19937 gen(seed);
    for (char& c : s) {
        c = static_cast<char>(gen());
    }
    return s;
}

// A content of three pieces (16 KiB, 16 KiB, 7232 bytes), its seed, and the destination layout.
class DiskFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(PrepareEngineFolders());
        content = Bytes(40000, 1);
        test::WriteFile(dir.File("source.bin"), content);
        dest = dir.Path() + "dl/client.bin";
        platform::CreateDirectories(dir.Path() + "dl/");
        key = TaskKey(dest);
        seedPath = SeedFilePath(key);
        memPath = ResumeFilePath(key);
        SeedBuildResult r;
        ASSERT_EQ(BuildSeed(dir.File("source.bin"), dir.File("good.torrent"), &r), 0);
        hash = r.piecesHash;
        goodSeed = test::ReadFile(dir.File("good.torrent"));
        test::WriteFile(dir.File("other.bin"), Bytes(40000, 2));  // same size, other content
        ASSERT_EQ(BuildSeed(dir.File("other.bin"), dir.File("other.torrent"), nullptr), 0);
        otherSeed = test::ReadFile(dir.File("other.torrent"));
        ShareQueue().Clear();
    }
    void TearDown() override { ShareQueue().Clear(); }

    int BuildSeed(const std::string& file, const std::string& out, SeedBuildResult* r) {
        SeedBuildRequest req;
        req.filePath = file;
        req.displayName = "client.bin";
        req.seedName = "client.bin";
        req.seedPath = out;
        req.trackerUrl = Config().TrackerUrl();
        req.creationDate = 1700000000;
        return BuildSeedForFile(req, r);
    }
    void WriteRecord(int pieces, bool full) {
        CResumeRecord rec(memPath);
        if (full) {
            rec.CreateFull(16384, 40000);
        } else {
            ASSERT_TRUE(rec.Load(40000, 16384));
            for (int i = 0; i < pieces; ++i) {
                rec.MarkPieceVerified(static_cast<uint32_t>(i));
            }
        }
        ASSERT_TRUE(rec.Save());
    }

    test::TempDir dir;
    test::ScopedEnv data{"XDG_DATA_HOME", dir.Path() + "xdg"};
    std::string content, dest, key, seedPath, memPath, goodSeed, otherSeed;
    TaskHash hash;
};

enum class Disk { kNone, kGood, kOtherHash, kGarbage };
enum class Mem { kNone, kEmpty, kPartial, kFull, kGarbage };
enum class Content { kNone, kFinished, kFinishedWrongSize, kTemp };

struct Row {
    const char* name;
    Content content;
    Disk seed;
    Mem mem;
    int mode;
    bool checkKey;
    int result;
    const char* log;  // "" when the row writes none
    bool finishedLeft, tempLeft, seedLeft, memLeft, queued;
};

class ResumeVerdicts : public DiskFixture, public ::testing::WithParamInterface<Row> {};

TEST_P(ResumeVerdicts, ResultLogAndWhatIsLeftOnDisk) {
    const Row& row = GetParam();
    switch (row.content) {
        case Content::kFinished:
            test::WriteFile(dest, content);
            break;
        case Content::kFinishedWrongSize:
            test::WriteFile(dest, content.substr(0, 100));
            break;
        case Content::kTemp:
            test::WriteFile(dest + ".!mt", content.substr(0, 16384) + std::string(40000 - 16384, '\0'));
            break;
        case Content::kNone:
            break;
    }
    if (row.seed == Disk::kGood) {
        test::WriteFile(seedPath, goodSeed);
    } else if (row.seed == Disk::kOtherHash) {
        test::WriteFile(seedPath, otherSeed);
    } else if (row.seed == Disk::kGarbage) {
        test::WriteFile(seedPath, "d4:junk");
    }
    switch (row.mem) {
        case Mem::kEmpty:
            WriteRecord(0, false);
            break;
        case Mem::kPartial:
            WriteRecord(1, false);
            break;
        case Mem::kFull:
            WriteRecord(0, true);
            break;
        case Mem::kGarbage:
            test::WriteFile(memPath, "too short");
            break;
        case Mem::kNone:
            break;
    }
    TaskHeader details;
    details.path = dest;
    if (row.checkKey) {
        details.settings[kSetFlags] = kFlagCheckKey;
    }
    CTaskMgr mgr;
    test::LogCapture log;
    int r = mgr.CreateDownloadTask(hash, dest, row.checkKey ? &details : nullptr, false, row.mode);
    EXPECT_EQ(r, row.result);
    if (std::strlen(row.log) > 0) {
        std::string line = row.log;
        for (std::string who : {std::string("client.bin"), hash.ToText()}) {
            size_t at = line.find("%s");
            std::string expected =
                at == std::string::npos ? line : line.substr(0, at) + who + line.substr(at + 2);
            if (log.Contains(expected)) {
                line.clear();
                break;
            }
        }
        EXPECT_TRUE(line.empty()) << "missing log line: " << row.log;
    } else {
        for (const std::string& l : log.Lines()) {
            EXPECT_EQ(l.find("Task"), std::string::npos) << "unexpected: " << l;
        }
    }
    EXPECT_EQ(FileExists(dest), row.finishedLeft) << "finished file";
    // A finished file the engine cannot prove is its own is moved aside with its bytes, never deleted.
    const bool hadFinished = row.content == Content::kFinished || row.content == Content::kFinishedWrongSize;
    EXPECT_EQ(FileExists(dest + ".old"), hadFinished && !row.finishedLeft) << "set-aside file";
    if (hadFinished && !row.finishedLeft) {
        EXPECT_EQ(test::ReadFile(dest + ".old"),
                  row.content == Content::kFinished ? content : content.substr(0, 100));
    }
    EXPECT_EQ(FileExists(dest + ".!mt"), row.tempLeft) << "temporary file";
    EXPECT_EQ(FileExists(seedPath), row.seedLeft) << "seed file";
    EXPECT_EQ(FileExists(memPath), row.memLeft) << "resume record";
    EXPECT_EQ(ShareQueue().Size(), row.queued ? 1u : 0u) << "share queue";
    EXPECT_EQ(mgr.TaskExists(hash), row.result >= 0);
}

constexpr bool Y = true;
constexpr bool N = false;
const Row kRows[] = {
    // Finished file present.
    {"FinishedComplete", Content::kFinished, Disk::kGood, Mem::kFull, 0, N, 1, "", Y, N, Y, Y, N},
    {"FinishedIncompleteRecordIsShared", Content::kFinished, Disk::kGood, Mem::kPartial, 0, N, -1,
     "%s Seed and File Exist,Mem is not Down finish,change Task\n", Y, N, Y, N, Y},
    {"FinishedNoRecord", Content::kFinished, Disk::kGood, Mem::kNone, 0, N, 0,
     "%s Seed and File Exist,Mem disappear or Load Fail,Reset Task!\n", N, N, N, N, N},
    {"FinishedBadRecord", Content::kFinished, Disk::kGood, Mem::kGarbage, 0, N, 0,
     "%s Seed and File Exist,Mem disappear or Load Fail,Reset Task!\n", N, N, N, N, N},
    {"FinishedHashInvalid", Content::kFinished, Disk::kOtherHash, Mem::kFull, 0, N, 0,
     "%s File Exist,Seed OK,Hash Invalid and Reset Task!\n", N, N, N, N, N},
    {"FinishedWrongSize", Content::kFinishedWrongSize, Disk::kGood, Mem::kFull, 0, N, 0,
     "%s File Exist,Seed OK,File Size is not matching,delete Task!\n", N, N, N, N, N},
    {"FinishedSeedUnreadable", Content::kFinished, Disk::kGarbage, Mem::kFull, 0, N, 0,
     "%s File Exist,Load Seed Fail,Reset Task!\n", N, N, N, N, N},
    {"FinishedNoSeedMode0", Content::kFinished, Disk::kNone, Mem::kFull, 0, N, 0, "", N, N, N, N, N},
    {"FinishedNoSeedReload", Content::kFinished, Disk::kNone, Mem::kFull, 1, N, -1,
     "%s File Exist,Load Task but Not Found Seed,Delete and share Task!\n", Y, N, N, N, Y},
    // Temporary file present.
    {"TempCheckKey", Content::kTemp, Disk::kGood, Mem::kPartial, 0, Y, -1, "%s Bcheckkey and Delete Task!\n",
     N, N, N, N, N},
    {"TempResumes", Content::kTemp, Disk::kGood, Mem::kPartial, 0, N, 0, "", N, Y, Y, Y, N},
    {"TempNoRecord", Content::kTemp, Disk::kGood, Mem::kNone, 0, N, 0,
     "%s Tmp File and Seed Exist,Mem Not Exist or Load Failed,Reset Task!\n", N, N, N, N, N},
    {"TempBadRecord", Content::kTemp, Disk::kGood, Mem::kGarbage, 0, N, 0,
     "%s Tmp File and Seed Exist,Mem Not Exist or Load Failed,Reset Task!\n", N, N, N, N, N},
    {"TempHashInvalid", Content::kTemp, Disk::kOtherHash, Mem::kPartial, 0, N, 0,
     "%s Tmp File and Seed Exist,Hash Invalid,Reset Task!\n", N, N, N, N, N},
    {"TempSeedUnreadable", Content::kTemp, Disk::kGarbage, Mem::kPartial, 0, N, 0,
     "%s Tmp File and Seed Exist,Load Seed Error and Reset Task!\n", N, N, N, N, N},
    {"TempNoSeed", Content::kTemp, Disk::kNone, Mem::kPartial, 0, N, 0,
     "%s Tmp File Exist,Seed Not Exist,Reset Task!\n", N, N, N, N, N},
    // Neither file present.
    {"NothingVerifiedStarts", Content::kNone, Disk::kGood, Mem::kEmpty, 0, N, 0, "", N, Y, Y, Y, N},
    {"NoRecordYetStarts", Content::kNone, Disk::kGood, Mem::kNone, 0, N, 0, "", N, Y, Y, Y, N},
    {"VerifiedWithoutFileMode0", Content::kNone, Disk::kGood, Mem::kPartial, 0, N, 0, "", N, N, N, N, N},
    {"VerifiedWithoutFileReload", Content::kNone, Disk::kGood, Mem::kPartial, 1, N, -1,
     "%s Tmp File Not Exist,Seed Exist,Mem GetDownLoadLen!=0,Delete Task\n", N, N, N, N, N},
    {"RecordUnloadable", Content::kNone, Disk::kGood, Mem::kGarbage, 0, N, -1,
     "%s Tmp File Not Exist,Seed Exist,Load Mem Failed,Delete Task!\n", N, N, N, N, N},
    {"HashInvalidMode0", Content::kNone, Disk::kOtherHash, Mem::kEmpty, 0, N, 0,
     "%s Tmp File Not Exist,Seed Exist,Hash Invalid!Reset Task!\n", N, N, N, N, N},
    {"HashInvalidReload", Content::kNone, Disk::kOtherHash, Mem::kEmpty, 1, N, -1,
     "%s Tmp File Not Exist,Seed Exist,Load Task,Hash Invalid,Delete Task!\n", N, N, N, N, N},
    {"SeedUnreadableMode0", Content::kNone, Disk::kGarbage, Mem::kEmpty, 0, N, 0,
     "%s Tmp File Not Exist,Seed Exist,Load Seed Error,Reset Task!\n", N, N, N, N, N},
    {"SeedUnreadableReload", Content::kNone, Disk::kGarbage, Mem::kEmpty, 1, N, -1,
     "%s Tmp File Not Exist,Seed Exist,Load Seed Error,LoadTask,Delete Task!\n", N, N, N, N, N},
    {"NewTask", Content::kNone, Disk::kNone, Mem::kPartial, 0, N, 0, "", N, N, N, N, N},
    {"NewTaskReload", Content::kNone, Disk::kNone, Mem::kPartial, 1, N, 0,
     "%s Tmp File and Seed Not Exist,Reset Task!\n", N, N, N, N, N},
};

INSTANTIATE_TEST_SUITE_P(EveryRow, ResumeVerdicts, ::testing::ValuesIn(kRows),
                         [](const auto& info) { return std::string(info.param.name); });

// A temporary file found shorter than the content lost its tail while the engine was away: the
// pieces the record claims there are not in the file and must be fetched again.
TEST_F(DiskFixture, ATempFileCutShortKeepsOnlyThePiecesWhollyBeforeItsEnd) {
    test::WriteFile(dest + ".!mt", content.substr(0, 20000));
    test::WriteFile(seedPath, goodSeed);
    WriteRecord(3, false);
    CTaskMgr mgr;
    test::LogCapture log;
    ASSERT_EQ(mgr.CreateDownloadTask(hash, dest, nullptr, false, 0), 0);
    EXPECT_TRUE(log.Contains(
        "client.bin Tmp File holds 20000 of 40000 bytes, 2 verified pieces past its end dropped\n"));
    CResumeRecord onDisk(memPath);
    ASSERT_TRUE(onDisk.Load(40000, 16384));
    EXPECT_TRUE(onDisk.HasPiece(0));
    EXPECT_FALSE(onDisk.HasPiece(1));
    EXPECT_FALSE(onDisk.HasPiece(2));
    EXPECT_EQ(mgr.IsComplete(hash), false);
}

// A complete record beside the temporary file: the process stopped between saving the record of
// the last piece and renaming the file. The task is complete and the file takes its name now.
TEST_F(DiskFixture, ATempFileWithACompleteRecordTakesItsFinalName) {
    test::WriteFile(dest + ".!mt", content);
    test::WriteFile(seedPath, goodSeed);
    WriteRecord(0, true);
    CTaskMgr mgr;
    ASSERT_EQ(mgr.CreateDownloadTask(hash, dest, nullptr, false, 0), 1);
    EXPECT_TRUE(mgr.IsComplete(hash));
    EXPECT_FALSE(FileExists(dest + ".!mt"));
    EXPECT_EQ(test::ReadFile(dest), content);
}

// A destination that is a folder is refused: the content would stay "name.!mt" for good beside
// it while the task reported complete.
TEST_F(DiskFixture, AFolderAsTheDestinationIsRefused) {
    ASSERT_TRUE(platform::CreateDirectories(dest + "/"));
    test::WriteFile(dest + "/keep.txt", "mine");
    CTaskMgr mgr;
    test::LogCapture log;
    EXPECT_EQ(mgr.CreateDownloadTask(hash, dest, nullptr, false, 0), -1);
    EXPECT_FALSE(mgr.TaskExists(hash));
    EXPECT_TRUE(log.Contains(dest + " is a folder, not a file: task refused!\n"));
    EXPECT_EQ(test::ReadFile(dest + "/keep.txt"), "mine");
    EXPECT_FALSE(FileExists(dest + ".!mt"));
}

// A user's file that happens to sit at the destination is moved out of the way, never over an
// earlier set-aside file; when it cannot be moved, the task pauses and everything stays.
TEST_F(DiskFixture, AFileInTheWayIsMovedAsideWithoutOverwritingAndPausesWhenItCannotBe) {
    test::WriteFile(dest, "the user's own file");
    test::WriteFile(dest + ".old", "an older one");
    {
        CTaskMgr mgr;
        test::LogCapture log;
        EXPECT_EQ(mgr.CreateDownloadTask(hash, dest, nullptr, false, 0), 0);
        EXPECT_TRUE(log.Contains(dest + " is not known to be this download's own file: kept as " + dest +
                                 ".old.1\n"));
    }
    EXPECT_EQ(test::ReadFile(dest + ".old"), "an older one");
    EXPECT_EQ(test::ReadFile(dest + ".old.1"), "the user's own file");
    EXPECT_FALSE(FileExists(dest));

    // Every name taken: nothing moves, nothing is lost, the task waits paused.
    test::WriteFile(dest, "again");
    for (int i = 1; i < 100; ++i) {
        test::WriteFile(dest + ".old." + std::to_string(i), "x");
    }
    CTaskMgr mgr;
    test::LogCapture log;
    EXPECT_EQ(mgr.CreateDownloadTask(hash, dest, nullptr, false, 0), 0);
    EXPECT_TRUE(log.Contains(" cannot be moved aside (File exists), task paused!\n"));
    EXPECT_EQ(test::ReadFile(dest), "again");
    EXPECT_EQ(mgr.GetRunState(hash), kRunPaused);
}

// The last piece arrives while the final name is taken (a file the user put there): the rename
// fails, which must be said, must not count as complete, and is tried again on each tick.
TEST_F(DiskFixture, AFailedCompletionRenameIsLoggedRetriedAndNotReportedComplete) {
    CTaskMgr mgr;
    ASSERT_EQ(mgr.CreateDownloadTask(hash, dest, nullptr, false, 0), 0);
    std::span<const uint8_t> good{reinterpret_cast<const uint8_t*>(goodSeed.data()), goodSeed.size()};
    ASSERT_TRUE(mgr.StoreSeedData(hash, good));
    test::WriteFile(dest, "the user's own file");
    test::LogCapture log;
    auto bytes = reinterpret_cast<const uint8_t*>(content.data());
    for (int64_t at = 0; at < 40000; at += 16384) {
        size_t n = std::min<size_t>(16384, 40000 - static_cast<size_t>(at));
        ASSERT_EQ(mgr.WriteAt(hash, {bytes + at, n}, at), static_cast<int64_t>(n));
    }
    EXPECT_FALSE(mgr.IsComplete(hash));
    EXPECT_TRUE(log.Contains(dest + " is complete but cannot take its final name (File exists), tried again "
                                    "on each tick\n"));
    EXPECT_EQ(test::ReadFile(dest), "the user's own file");
    EXPECT_TRUE(test::ReadFile(dest + ".!mt") == content) << "the downloaded bytes changed";
    mgr.TickAllTasks();  // still in the way
    EXPECT_FALSE(mgr.IsComplete(hash));

    platform::RemoveFile(dest);
    mgr.TickAllTasks();
    EXPECT_TRUE(mgr.IsComplete(hash));
    EXPECT_TRUE(test::ReadFile(dest) == content) << "not the downloaded bytes";
    EXPECT_FALSE(FileExists(dest + ".!mt"));
}

TEST_F(DiskFixture, AQuestionMarkInTheNameIsRefusedWithoutDeletingAnything) {
    test::WriteFile(seedPath, goodSeed);
    CTaskMgr mgr;
    EXPECT_EQ(mgr.CreateDownloadTask(hash, dir.Path() + "dl/what?.bin", nullptr, false, 0), -1);
    EXPECT_TRUE(FileExists(seedPath));
}

TEST_F(DiskFixture, ASeedFromAPeerMustMatchTheTaskHash) {
    CTaskMgr mgr;
    ASSERT_EQ(mgr.CreateDownloadTask(hash, dest, nullptr, false, 0), 0);
    EXPECT_FALSE(mgr.HasSeed(hash));
    std::span<const uint8_t> other{reinterpret_cast<const uint8_t*>(otherSeed.data()), otherSeed.size()};
    EXPECT_FALSE(mgr.StoreSeedData(hash, other));
    EXPECT_FALSE(FileExists(seedPath));
    EXPECT_FALSE(FileExists(dest + ".!mt"));
    EXPECT_EQ(mgr.GetPieceCount(hash), 0u);

    std::span<const uint8_t> good{reinterpret_cast<const uint8_t*>(goodSeed.data()), goodSeed.size()};
    EXPECT_TRUE(mgr.StoreSeedData(hash, good));
    EXPECT_TRUE(mgr.HasSeed(hash));
    EXPECT_TRUE(FileExists(seedPath));
    EXPECT_EQ(platform::FileSize(dest + ".!mt"), 40000);  // preallocated
    EXPECT_EQ(mgr.GetPieceCount(hash), 3u);
    EXPECT_FALSE(mgr.StoreSeedData(hash, good));  // already held
    size_t length = 0;
    ASSERT_TRUE(mgr.GetSeedBytes(hash, {}, length));
    EXPECT_EQ(length, goodSeed.size());
}

// A player may ask for sequential reading as soon as the task exists, long before a peer sends
// the seed: the pieces built on its arrival must keep that choice.
TEST_F(DiskFixture, SequentialModeAskedBeforeTheSeedArrivesIsKept) {
    CTaskMgr mgr;
    ASSERT_EQ(mgr.CreateDownloadTask(hash, dest, nullptr, false, 0), 0);
    EXPECT_TRUE(mgr.SetSequentialMode(hash, 1));
    std::span<const uint8_t> good{reinterpret_cast<const uint8_t*>(goodSeed.data()), goodSeed.size()};
    ASSERT_TRUE(mgr.StoreSeedData(hash, good));
    EXPECT_TRUE(mgr.SetReadPosition(hash, 16384 + 10));  // only answered in sequential mode
    EXPECT_TRUE(mgr.SetSequentialMode(hash, 0));
    EXPECT_FALSE(mgr.SetReadPosition(hash, 16384 + 10));
}

// Runs `body` in a child process, as user "nobody" when this process is root (as in CI), so that a
// file of mode 000 really cannot be opened; the child's exit code, -1 when it did not exit.
int RunUnprivileged(const std::function<int()>& body) {
    struct passwd* nobody = ::getpwnam("nobody");
    if (::geteuid() == 0 && nobody == nullptr) {
        return -2;
    }
    const uid_t uid = nobody != nullptr ? nobody->pw_uid : 0;
    const gid_t gid = nobody != nullptr ? nobody->pw_gid : 0;
    pid_t pid = ::fork();
    if (pid == 0) {
        if (::geteuid() == 0 && (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0)) {
            ::_exit(100);
        }
        ::_exit(body());
    }
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid) {
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Resumes the task unprivileged: 0 when it paused and logged `line`; 1 refused, 2 not paused,
// 3 no log line, -2 no user to run as.
int ResumeUnprivileged(const TaskHash& h, const std::string& dest, const std::string& line) {
    return RunUnprivileged([&] {
        CTaskMgr mgr;
        test::LogCapture log;
        if (mgr.CreateDownloadTask(h, dest, nullptr, false, 0) != 0) {
            return 1;
        }
        if (mgr.GetRunState(h) != kRunPaused) {
            return 2;
        }
        return log.Contains(line) ? 0 : 3;
    });
}

// Lets the unprivileged child reach and change every folder and file of the fixture.
void OpenUpForEveryone(const std::string& root) {
    namespace fs = std::filesystem;
    fs::permissions(root, fs::perms::all);
    for (const auto& e : fs::recursive_directory_iterator(root)) {
        fs::permissions(e.path(), e.is_directory() ? fs::perms::all
                                                   : fs::perms::owner_read | fs::perms::owner_write |
                                                         fs::perms::group_read | fs::perms::group_write |
                                                         fs::perms::others_read | fs::perms::others_write);
    }
}

// The resume of a partial download the engine cannot open (another user's file, mode 000) must
// keep it, its record and its seed, and pause the task with a line saying why; deleting it would
// throw away what was downloaded. Starting the task again and a seed arriving from a peer while
// it is still unusable delete nothing either. Once it can be opened, it resumes with its pieces.
TEST_F(DiskFixture, AnUnreadablePartialDownloadIsKeptWithItsRecordAndSeedAndTheTaskPauses) {
    test::WriteFile(dest + ".!mt", content.substr(0, 16384) + std::string(40000 - 16384, '\0'));
    test::WriteFile(seedPath, goodSeed);
    WriteRecord(1, false);
    const std::string recordBefore = test::ReadFile(memPath);
    OpenUpForEveryone(dir.Path());
    ASSERT_EQ(::chmod((dest + ".!mt").c_str(), 0), 0);

    const TaskHash h = hash;
    const std::string line = dest + ".!mt cannot be opened (Permission denied), task paused!\n";
    const std::string seedBytes = goodSeed;
    int rc = RunUnprivileged([&] {
        CTaskMgr mgr;
        test::LogCapture log;
        if (mgr.CreateDownloadTask(h, dest, nullptr, false, 0) != 0) {
            return 1;
        }
        if (mgr.GetRunState(h) != kRunPaused) {
            return 2;
        }
        if (!log.Contains(line)) {
            return 3;
        }
        mgr.ControlTaskState(h, 1);
        if (mgr.HasSeed(h)) {
            return 4;
        }
        std::span<const uint8_t> good{reinterpret_cast<const uint8_t*>(seedBytes.data()), seedBytes.size()};
        if (mgr.StoreSeedData(h, good) || mgr.GetRunState(h) != kRunPaused) {
            return 5;
        }
        return 0;
    });
    ASSERT_NE(rc, -2) << "no user nobody to run as";
    EXPECT_EQ(rc, 0) << "1 refused, 2 not paused, 3 no log line, 4/5 set up on an unusable file";
    EXPECT_TRUE(FileExists(dest + ".!mt"));
    EXPECT_TRUE(test::ReadFile(memPath) == recordBefore) << "the resume record changed or went";
    EXPECT_TRUE(test::ReadFile(seedPath) == goodSeed) << "the seed changed or went";

    ASSERT_EQ(::chmod((dest + ".!mt").c_str(), 0644), 0);
    CTaskMgr mgr;
    ASSERT_EQ(mgr.CreateDownloadTask(hash, dest, nullptr, false, 0), 0);
    EXPECT_EQ(mgr.GetRunState(hash), kRunRunning);
    Ref<CTask> task;
    ASSERT_TRUE(mgr.FindTask(hash, task));
    EXPECT_EQ(task->VerifiedBytes(), 16384);
}

// A seed or resume record that cannot be read now (another user's file) is not a broken one:
// the resume keeps the partial download, the finished file and both small files, and pauses.
TEST_F(DiskFixture, AnUnreadableSeedOrRecordKeepsTheDownloadAndPauses) {
    for (bool finished : {false, true}) {
        for (const std::string* unreadable : {&seedPath, &memPath}) {
            SCOPED_TRACE((finished ? "finished, " : "partial, ") + *unreadable);
            const std::string file = finished ? dest : dest + ".!mt";
            const std::string bytes =
                finished ? content : content.substr(0, 16384) + std::string(40000 - 16384, '\0');
            std::filesystem::remove(dest);
            std::filesystem::remove(dest + ".!mt");
            std::filesystem::remove(memPath);
            test::WriteFile(file, bytes);
            test::WriteFile(seedPath, goodSeed);
            WriteRecord(1, finished);
            const std::string recordBefore = test::ReadFile(memPath);
            OpenUpForEveryone(dir.Path());
            ASSERT_EQ(::chmod(unreadable->c_str(), 0), 0);

            const TaskHash h = hash;
            const std::string line = *unreadable + " cannot be read (Permission denied), task paused!\n";
            int rc = ResumeUnprivileged(h, dest, line);
            ASSERT_NE(rc, -2) << "no user nobody to run as";
            EXPECT_EQ(rc, 0) << "1 refused, 2 not paused, 3 no log line";
            ASSERT_EQ(::chmod(unreadable->c_str(), 0644), 0);
            EXPECT_TRUE(test::ReadFile(file) == bytes) << "the download changed or went";
            EXPECT_TRUE(test::ReadFile(memPath) == recordBefore) << "the resume record changed or went";
            EXPECT_TRUE(test::ReadFile(seedPath) == goodSeed) << "the seed changed or went";
        }
    }
}

// A ".!mt" nobody can open, found with no seed and no record (planted, or left by another user):
// the engine cannot tell it is its own, so it stays where it is.
TEST_F(DiskFixture, AnUnreadableTempFileWithoutSeedOrRecordIsNotDeleted) {
    test::WriteFile(dest + ".!mt", std::string(5000, 'u'));
    OpenUpForEveryone(dir.Path());
    ASSERT_EQ(::chmod((dest + ".!mt").c_str(), 0), 0);
    const TaskHash h = hash;
    const std::string line = dest + ".!mt cannot be opened (Permission denied), task paused!\n";
    int rc = ResumeUnprivileged(h, dest, line);
    ASSERT_NE(rc, -2) << "no user nobody to run as";
    EXPECT_EQ(rc, 0) << "1 refused, 2 not paused, 3 no log line";
    ASSERT_EQ(::chmod((dest + ".!mt").c_str(), 0644), 0);
    EXPECT_EQ(test::ReadFile(dest + ".!mt"), std::string(5000, 'u'));
}

// Out of file descriptors at the resume: the partial download is kept, not reset.
TEST_F(DiskFixture, NoFreeDescriptorAtTheResumeKeepsThePartialDownload) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // The sanitizer runtimes open pipes of their own to inspect memory; with every descriptor
    // taken they report phantom faults and end the child. The plain build runs this case.
    GTEST_SKIP() << "needs a build without sanitizers";
#endif
    test::WriteFile(dest + ".!mt", content.substr(0, 16384) + std::string(40000 - 16384, '\0'));
    test::WriteFile(seedPath, goodSeed);
    WriteRecord(1, false);
    const std::string recordBefore = test::ReadFile(memPath);
    const TaskHash h = hash;
    const std::string line = dest + ".!mt cannot be opened (Too many open files), task paused!\n";
    pid_t pid = ::fork();
    if (pid == 0) {
        CTaskMgr mgr;
        test::LogCapture log;
        struct rlimit limit {
            64, 64
        };
        ::setrlimit(RLIMIT_NOFILE, &limit);
        while (::open("/dev/null", O_RDONLY) >= 0) {
        }
        int r = mgr.CreateDownloadTask(h, dest, nullptr, false, 0);
        ::_exit(r != 0 ? 1 : mgr.GetRunState(h) != kRunPaused ? 2 : !log.Contains(line) ? 3 : 0);
    }
    ASSERT_GT(pid, 0);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1 refused, 2 not paused, 3 no log line";
    EXPECT_EQ(platform::FileSize(dest + ".!mt"), 40000);
    EXPECT_TRUE(test::ReadFile(memPath) == recordBefore) << "the resume record changed or went";
    EXPECT_TRUE(test::ReadFile(seedPath) == goodSeed) << "the seed changed or went";
}

// The content file cannot be made (here a folder stands where it would go; a full disk in real
// life): the task stops instead of fetching the seed again and again, and leaves nothing behind.
TEST_F(DiskFixture, ASeedWhoseContentFileCannotBeMadePausesTheTask) {
    CTaskMgr mgr;
    ASSERT_EQ(mgr.CreateDownloadTask(hash, dest, nullptr, false, 0), 0);
    ASSERT_TRUE(platform::CreateDirectories(dest + ".!mt/"));
    test::LogCapture log;
    std::span<const uint8_t> good{reinterpret_cast<const uint8_t*>(goodSeed.data()), goodSeed.size()};
    EXPECT_FALSE(mgr.StoreSeedData(hash, good));
    EXPECT_EQ(mgr.GetRunState(hash), kRunPaused);
    EXPECT_TRUE(log.Contains(dest + ".!mt cannot be made (Is a directory), task paused!\n"));
    EXPECT_FALSE(FileExists(seedPath));
    EXPECT_FALSE(FileExists(memPath));
    EXPECT_FALSE(mgr.HasSeed(hash));
}

TEST_F(DiskFixture, DeletingATaskRemovesItsFilesAndPausingKeepsThem) {
    {
        CTaskMgr mgr;
        ASSERT_EQ(mgr.CreateDownloadTask(hash, dest, nullptr, false, 0), 0);
        std::span<const uint8_t> good{reinterpret_cast<const uint8_t*>(goodSeed.data()), goodSeed.size()};
        ASSERT_TRUE(mgr.StoreSeedData(hash, good));
        mgr.ControlTaskState(hash, 2);
    }
    EXPECT_TRUE(FileExists(dest + ".!mt"));  // a paused task keeps its files at shut-down
    EXPECT_TRUE(FileExists(seedPath));
    CTaskMgr mgr;
    ASSERT_EQ(mgr.CreateDownloadTask(hash, dest, nullptr, false, 0), 0);
    mgr.ControlTaskState(hash, 3);
    EXPECT_FALSE(FileExists(dest + ".!mt"));
    EXPECT_FALSE(FileExists(seedPath));
    EXPECT_FALSE(FileExists(memPath));
}

// Plays two peers against the task manager: random block order, duplicates, stray blocks, one
// corrupted piece, one peer vanishing mid-piece. Returns the pieces whose blocks were asked for.
struct FakeSwarm {
    CTaskMgr& mgr;
    TaskHash hash;
    const std::string& content;
    std::mt19937 gen{11};
    bool corrupt = true;
    std::set<uint32_t> asked;
    std::function<void(int round)> beforeRound;

    void Run(int maxRounds, bool vanish) {
        ConnectionKey a{htonl(0x7F000001), htons(1), 1};
        ConnectionKey b{htonl(0x7F000001), htons(2), 2};
        for (const ConnectionKey& k : {a, b}) {
            mgr.AddPeer(hash, k, {});
            std::vector<uint8_t> all(static_cast<size_t>(mgr.GetBitfieldLength(hash)), 0xFF);
            mgr.SetPeerBitfield(hash, k, all);
            mgr.SetPeerState(hash, k, kPeerActive);
        }
        bool bGone = false;
        std::vector<std::pair<ConnectionKey, std::array<uint8_t, 17>>> inFlight;
        for (int round = 0; round < maxRounds && !mgr.IsComplete(hash); ++round) {
            if (beforeRound) {
                beforeRound(round);
            }
            for (const ConnectionKey& k : {a, b}) {
                if (k == b && bGone) {
                    continue;
                }
                while (mgr.GetFreeRequestSlots(hash, k) > 0) {
                    std::array<uint8_t, 17> msg{};
                    if (!mgr.PickRequest(hash, k, msg)) {
                        break;
                    }
                    inFlight.emplace_back(k, msg);
                }
            }
            if (inFlight.empty()) {
                mgr.TickAllTasks();
                continue;
            }
            std::shuffle(inFlight.begin(), inFlight.end(), gen);
            auto [k, msg] = inFlight.back();
            inFlight.pop_back();
            auto u32 = [&](size_t off) {
                uint32_t v;
                std::memcpy(&v, &msg[off], 4);
                return ntohl(v);
            };
            uint32_t piece = u32(5), begin = u32(9), length = u32(13);
            asked.insert(piece);
            if (vanish && k == b && !bGone && round > 3) {
                bGone = true;
                mgr.RemovePeer(hash, b);
                std::erase_if(inFlight, [&](auto& e) { return e.first == b; });
                continue;
            }
            size_t at = size_t{piece} * mgr.GetPieceLength(hash) + begin;
            std::string data = content.substr(at, length);
            if (corrupt && k == b) {
                data[0] ^= 1;
                corrupt = false;
            }
            std::span<const uint8_t> bytes{reinterpret_cast<const uint8_t*>(data.data()), data.size()};
            mgr.PutBlock(hash, k, bytes, PieceIndex{piece}, BlockOffset{begin});
            mgr.PutBlock(hash, k, bytes, PieceIndex{piece}, BlockOffset{begin});  // duplicate
            uint8_t stray[16384] = {};
            mgr.PutBlock(hash, k, stray, PieceIndex{(piece + 1) % mgr.GetPieceCount(hash)},
                         BlockOffset{0});  // never requested
        }
    }
};

TEST_F(DiskFixture, TransferWithFakePeersAndARestartKeepsEveryVerifiedPiece) {
    // A larger content: 40 pieces of 16 KiB and a short last one.
    content = Bytes(40 * 16384 + 1000, 3);
    test::WriteFile(dir.File("big.bin"), content);
    SeedBuildResult built;
    ASSERT_EQ(BuildSeed(dir.File("big.bin"), dir.File("big.torrent"), &built), 0);
    std::string seed = test::ReadFile(dir.File("big.torrent"));
    std::span<const uint8_t> seedBytes{reinterpret_cast<const uint8_t*>(seed.data()), seed.size()};
    TaskHash h = built.piecesHash;

    Bitfield before;
    {
        CTaskMgr mgr;
        ASSERT_EQ(mgr.CreateDownloadTask(h, dest, nullptr, false, 0), 0);
        ASSERT_TRUE(mgr.StoreSeedData(h, seedBytes));
        FakeSwarm swarm{mgr, h, content};
        swarm.Run(25, true);  // stopped half-way
        ASSERT_FALSE(mgr.IsComplete(h));
        Ref<CTask> t;
        ASSERT_TRUE(mgr.FindTask(h, t));
        before = t->PieceBitfield();
        ASSERT_GT(before.Count(), 0u);
    }
    CTaskMgr mgr;  // the engine starts again
    ASSERT_EQ(mgr.CreateDownloadTask(h, dest, nullptr, false, 0), 0);
    Ref<CTask> t;
    ASSERT_TRUE(mgr.FindTask(h, t));
    EXPECT_EQ(t->PieceBitfield(), before);
    FakeSwarm swarm{mgr, h, content};
    swarm.corrupt = false;
    swarm.Run(100000, false);
    ASSERT_TRUE(mgr.IsComplete(h));
    for (uint32_t p : swarm.asked) {
        EXPECT_FALSE(before.Test(p)) << "verified piece " << p << " fetched again";
    }
    EXPECT_EQ(test::ReadFile(dest), content);
    EXPECT_FALSE(FileExists(dest + ".!mt"));
    CResumeRecord rec(memPath);
    ASSERT_TRUE(rec.Load(static_cast<int64_t>(content.size()), 16384));
    EXPECT_TRUE(rec.IsComplete());
    EXPECT_TRUE(rec.Pieces().All());
}

// The storage faults of a full or failing disk, made by the file fault switch instead of a small
// mounted disk, so that they run everywhere without privileges.
class InjectedStorageFaults : public DiskFixture {
protected:
    std::span<const uint8_t> SeedBytes(const std::string& seed) const {
        return {reinterpret_cast<const uint8_t*>(seed.data()), seed.size()};
    }
    // A new engine run downloads the whole content from fake peers.
    void ExpectCompletes(const TaskHash& h, const std::string& seed) {
        CTaskMgr mgr;
        ASSERT_EQ(mgr.CreateDownloadTask(h, dest, nullptr, false, 0), 0);
        if (!mgr.HasSeed(h)) {
            ASSERT_TRUE(mgr.StoreSeedData(h, SeedBytes(seed)));
        }
        EXPECT_EQ(mgr.GetRunState(h), kRunRunning);
        FakeSwarm swarm{mgr, h, content};
        swarm.corrupt = false;
        swarm.Run(100000, false);
        ASSERT_TRUE(mgr.IsComplete(h));
        EXPECT_TRUE(test::ReadFile(dest) == content) << "not the content";
        EXPECT_FALSE(FileExists(dest + ".!mt"));
    }
    // The seed arrives from a peer while the disk fails: refused, the task paused with `line`.
    void ExpectSeedRefused(const std::string& line) {
        CTaskMgr mgr;
        ASSERT_EQ(mgr.CreateDownloadTask(hash, dest, nullptr, false, 0), 0);
        test::LogCapture log;
        EXPECT_FALSE(mgr.StoreSeedData(hash, SeedBytes(goodSeed)));
        EXPECT_EQ(mgr.GetRunState(hash), kRunPaused);
        EXPECT_TRUE(log.Contains(line)) << line;
        EXPECT_FALSE(mgr.HasSeed(hash));
        EXPECT_GT(disk.Faults(), 0);
    }
    // A content of 40 pieces and a short last one, with its seed.
    TaskHash UseLargerContent(std::string& seed) {
        content = Bytes(40 * 16384 + 1000, 3);
        test::WriteFile(dir.File("big.bin"), content);
        SeedBuildResult built;
        EXPECT_EQ(BuildSeed(dir.File("big.bin"), dir.File("big.torrent"), &built), 0);
        seed = test::ReadFile(dir.File("big.torrent"));
        return built.piecesHash;
    }
    test::CFaultyDisk disk;
};

// The content file is reserved whole before the first byte: it fails there, not half-way.
TEST_F(InjectedStorageFaults, ADownloadFolderTooSmallPausesTheTaskAtOnceAndResumesOnceItIsLarger) {
    disk.Fill(dir.Path() + "dl/");
    ExpectSeedRefused(dest + ".!mt cannot be made (No space left on device), task paused!\n");
    EXPECT_TRUE(std::filesystem::is_empty(dir.Path() + "dl/")) << "a half-made content file was left behind";
    disk.Heal();
    ExpectCompletes(hash, goodSeed);
}

TEST_F(InjectedStorageFaults, AFullDataFolderPausesTheTaskWhenTheSeedCannotBeSaved) {
    disk.Fill(dir.Path() + "xdg/");
    ExpectSeedRefused(seedPath + " cannot be saved (No space left on device), task paused!\n");
    EXPECT_FALSE(FileExists(dest + ".!mt"));
    EXPECT_FALSE(FileExists(seedPath + ".tmp"));
    disk.Heal();
    ExpectCompletes(hash, goodSeed);
}

TEST_F(InjectedStorageFaults, ADiskFillingUpMidDownloadStillRecordsEveryVerifiedPiece) {
    std::string seed;
    const TaskHash h = UseLargerContent(seed);
    const uint32_t pieces = 41;
    uint32_t atFill = 0;
    Bitfield recorded;
    {
        CTaskMgr mgr;
        ASSERT_EQ(mgr.CreateDownloadTask(h, dest, nullptr, false, 0), 0);
        ASSERT_TRUE(mgr.StoreSeedData(h, SeedBytes(seed)));
        FakeSwarm swarm{mgr, h, content};
        swarm.corrupt = false;
        swarm.beforeRound = [&](int round) {
            if (round == 12) {
                // The content file and the record were made whole earlier: only new blocks fail.
                disk.Fill(dir.Path());
                CResumeRecord rec(memPath);
                ASSERT_TRUE(rec.Load(static_cast<int64_t>(content.size()), 16384));
                atFill = rec.Pieces().Count();
            }
        };
        swarm.Run(30, false);
        ASSERT_FALSE(mgr.IsComplete(h));
        CResumeRecord rec(memPath);
        ASSERT_TRUE(rec.Load(static_cast<int64_t>(content.size()), 16384));
        recorded = rec.Pieces();
        Ref<CTask> t;
        ASSERT_TRUE(mgr.FindTask(h, t));
        EXPECT_EQ(t->PieceBitfield(), recorded) << "pieces verified on the full disk were not recorded";
    }
    // The content file is reserved whole and the record is rewritten within its own bytes, so a
    // full disk may well refuse nothing here: what counts is that no verified piece goes unrecorded.
    EXPECT_GE(recorded.Count(), atFill + 5) << "pieces verified on the full disk were not recorded";

    // Started again while the disk is still full: it resumes from the record and completes.
    {
        CTaskMgr mgr;
        ASSERT_EQ(mgr.CreateDownloadTask(h, dest, nullptr, false, 0), 0);
        Ref<CTask> t;
        ASSERT_TRUE(mgr.FindTask(h, t));
        EXPECT_EQ(t->PieceBitfield(), recorded);
        FakeSwarm swarm{mgr, h, content};
        swarm.corrupt = false;
        swarm.Run(100000, false);
        ASSERT_TRUE(mgr.IsComplete(h));
        EXPECT_TRUE(test::ReadFile(dest) == content) << "not the content";
    }
    // The completed record reached the disk, so a new run sees the content complete.
    CResumeRecord rec(memPath);
    ASSERT_TRUE(rec.Load(static_cast<int64_t>(content.size()), 16384));
    EXPECT_EQ(rec.Pieces().Count(), pieces);
    CTaskMgr mgr;
    ASSERT_EQ(mgr.CreateDownloadTask(h, dest, nullptr, false, 0), 1);
    EXPECT_TRUE(mgr.IsComplete(h));
}

TEST_F(InjectedStorageFaults, ATempFileThatCannotBeExtendedOnAFullDiskIsKeptAndTheTaskPauses) {
    // The temporary file lost its tail, and the disk has no room to make it whole again.
    test::WriteFile(dest + ".!mt", content.substr(0, 20000));
    test::WriteFile(seedPath, goodSeed);
    WriteRecord(3, false);
    disk.Fill(dir.Path() + "dl/");
    {
        CTaskMgr mgr;
        test::LogCapture log;
        ASSERT_EQ(mgr.CreateDownloadTask(hash, dest, nullptr, false, 0), 0);
        EXPECT_EQ(mgr.GetRunState(hash), kRunPaused);
        EXPECT_TRUE(log.Contains(" verified pieces past its end dropped\n"));
        EXPECT_TRUE(log.Contains(dest + ".!mt cannot be extended (No space left on device), task paused!\n"));
    }
    // The pieces before the cut are still good: nothing of the partial download is thrown away.
    EXPECT_TRUE(FileExists(dest + ".!mt"));
    EXPECT_TRUE(FileExists(seedPath));
    EXPECT_TRUE(FileExists(memPath));

    disk.Heal();
    {
        CTaskMgr mgr;
        ASSERT_EQ(mgr.CreateDownloadTask(hash, dest, nullptr, false, 0), 0);
        EXPECT_EQ(mgr.GetRunState(hash), kRunRunning);
        Ref<CTask> t;
        ASSERT_TRUE(mgr.FindTask(hash, t));
        EXPECT_EQ(t->VerifiedBytes(), 16384) << "the piece before the cut was dropped";
    }
    ExpectCompletes(hash, goodSeed);
}

// A sync that fails (a device gone bad) must not pass for a saved seed.
TEST_F(InjectedStorageFaults, ASeedWhoseSyncFailsIsNotTakenForSaved) {
    disk.Fail(platform::FileOp::kSync, ".torrent", EIO);
    ExpectSeedRefused(seedPath + " cannot be saved (Input/output error), task paused!\n");
    EXPECT_FALSE(FileExists(seedPath));
    disk.Heal();
    ExpectCompletes(hash, goodSeed);
}

// The scheduler asks through PickRequestAt, which takes the lowest wanted piece first whatever
// the random start of the other picker would have been.
TEST_F(DiskFixture, PickRequestAtAsksForPiecesInAscendingOrder) {
    content = Bytes(12 * 16384 + 1000, 5);
    test::WriteFile(dir.File("seq.bin"), content);
    SeedBuildResult built;
    ASSERT_EQ(BuildSeed(dir.File("seq.bin"), dir.File("seq.torrent"), &built), 0);
    std::string seed = test::ReadFile(dir.File("seq.torrent"));
    std::span<const uint8_t> seedBytes{reinterpret_cast<const uint8_t*>(seed.data()), seed.size()};
    const TaskHash h = built.piecesHash;
    CTaskMgr mgr;
    ASSERT_EQ(mgr.CreateDownloadTask(h, dest, nullptr, false, 0), 0);
    ASSERT_TRUE(mgr.StoreSeedData(h, seedBytes));
    Ref<CTask> t;
    ASSERT_TRUE(mgr.FindTask(h, t));
    auto pieces = static_cast<CDownLoadTask&>(*t).Pieces();
    ASSERT_TRUE(pieces);
    pieces->SetRandomSource([] { return 7u; });  // the random-start picker would begin at piece 7
    ConnectionKey k{htonl(0x7F000001), htons(1), 1};
    mgr.AddPeer(h, k, {});
    std::vector<uint8_t> all(static_cast<size_t>(mgr.GetBitfieldLength(h)), 0xFF);
    mgr.SetPeerBitfield(h, k, all);
    mgr.SetPeerState(h, k, kPeerActive);
    // A piece already there is skipped.
    std::span<const uint8_t> third{reinterpret_cast<const uint8_t*>(content.data()) + 2 * 16384, 16384};
    ASSERT_EQ(mgr.WriteAt(h, third, 2 * 16384), 16384);

    std::vector<int64_t> positions;
    for (int i = 0; i < 20; ++i) {
        BlockRange range;
        if (!mgr.PickRequestAt(h, k, range)) {
            break;
        }
        positions.push_back(range.position);
        std::span<const uint8_t> block{reinterpret_cast<const uint8_t*>(content.data()) + range.position,
                                       range.length};
        mgr.PutBlock(h, k, block, PieceIndex{static_cast<uint32_t>(range.position / 16384)}, BlockOffset{0});
    }
    std::vector<int64_t> expected;
    for (int64_t p = 0; p < 13; ++p) {
        if (p != 2) {
            expected.push_back(p * 16384);
        }
    }
    EXPECT_EQ(positions, expected);
    EXPECT_TRUE(mgr.IsComplete(h));
    EXPECT_EQ(test::ReadFile(dest), content);
}

}  // namespace
}  // namespace tessali::core
