// Storage going wrong under real mirt processes: a download folder on a small tmpfs (mounted in
// a private mount namespace of this test process) that is too small from the start or fills up
// during the download, a full engine data folder, the ".!mt" file deleted or cut short while it is being
// written, and a shared file cut short and then deleted while it is being served. Each time: a clear log
// line, a stopped task rather than a hang, no crash, no bad byte accepted, and once the fault is gone the
// download completes byte-identical.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/statvfs.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "common/tcp_relay.h"
#include "common/temp_dir.h"
#include "integration/mirt_runs.h"

namespace tessali::test {
namespace {

int64_t LastHave(CEngineProcess& m) {
    std::vector<std::string> lines = m.Lines();
    for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
        if (it->rfind("progress ", 0) == 0) {
            return NumberAfter(*it, "progress ");
        }
    }
    return -1;
}

// Waits until the run's progress shows at least `bytes` verified; false when it ended or timed out.
bool WaitForHave(CEngineProcess& m, int64_t bytes, int seconds) {
    auto end = Clock::now() + std::chrono::seconds(seconds);
    while (Clock::now() < end && m.Running()) {
        if (LastHave(m) >= bytes) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

int64_t FirstHave(CEngineProcess& m) {
    for (const std::string& line : m.Lines()) {
        if (line.rfind("progress ", 0) == 0) {
            return NumberAfter(line, "progress ");
        }
    }
    return -1;
}

// Fills the file system holding `folder` with one file until no byte fits any more.
void FillUp(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::vector<char> block(1 << 16, 'F');
    while (std::fwrite(block.data(), 1, block.size(), f) == block.size()) {
    }
    std::fclose(f);
    for (size_t n = block.size() / 2; n > 0; n /= 2) {  // the last partial blocks
        FILE* g = std::fopen(path.c_str(), "ab");
        std::fwrite(block.data(), 1, n, g);
        std::fclose(g);
    }
    struct statvfs st {};
    ASSERT_EQ(statvfs(fs::path(path).parent_path().c_str(), &st), 0);
    ASSERT_EQ(st.f_bavail, 0u) << "the file system is not full";
}

class StorageFaults : public ::testing::Test {
protected:
    void SetUp() override {
        m_source = m_tmp.File("content.bin");
        WriteRandomFile(m_source, kContent, 31);
        m_seeder = StartSeeder(m_tmp, "seed", m_source);
        ASSERT_EQ(m_seeder.hash.size(), 40u) << m_seeder.mirt->Errors();
    }

    // A tmpfs of `mib` MiB at `folder`, in a mount namespace of this process only, so it goes
    // away with the test whatever happens. Skips the test when it cannot be had.
    void MountSmallDisk(const std::string& folder, int mib) {
        fs::create_directories(folder);
        if (!m_privateMounts) {
            if (unshare(CLONE_NEWNS) != 0 ||
                mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
                GTEST_SKIP() << "no private mount namespace (" << std::strerror(errno)
                             << "): the disk-full cases need root and CAP_SYS_ADMIN";
            }
            m_privateMounts = true;
        }
        std::string options = "size=" + std::to_string(mib) + "m";
        if (mount("tmpfs", folder.c_str(), "tmpfs", 0, options.c_str()) != 0) {
            GTEST_SKIP() << "cannot mount a tmpfs at " << folder << ": " << std::strerror(errno);
        }
        m_mounts.push_back(folder);
    }
    void TearDown() override {
        // The processes using the disks stop first (their objects die after this), so unmount lazily.
        for (const std::string& folder : m_mounts) {
            umount2(folder.c_str(), MNT_DETACH);
        }
    }
    void ResizeDisk(const std::string& folder, int mib) {
        std::string options = "size=" + std::to_string(mib) + "m";
        ASSERT_EQ(mount("tmpfs", folder.c_str(), "tmpfs", MS_REMOUNT, options.c_str()), 0)
            << std::strerror(errno);
    }

    std::vector<std::string> GetArgs(const std::string& dest, uint16_t port) const {
        return {"get",           m_seeder.hash, dest, "--peer", "127.0.0.1:" + std::to_string(port),
                "--progress-ms", "20"};
    }
    void ExpectComplete(CEngineProcess& getter, const std::string& dest) {
        ASSERT_EQ(getter.Wait(90), 0) << getter.LogTail() << getter.Errors();
        EXPECT_EQ(Sha1OfFile(dest), Sha1OfFile(m_source));
        EXPECT_FALSE(fs::exists(dest + ".!mt"));
    }
    // The run stopped by itself because its task was paused, and said so.
    void ExpectPaused(CEngineProcess& getter, int seconds) {
        int rc = getter.Wait(seconds);
        EXPECT_EQ(rc, 4) << getter.LogTail();
        EXPECT_FALSE(getter.WaitLine("paused ", 1).empty());
        EXPECT_NE(getter.Errors().find("the task stopped"), std::string::npos);
    }

    static constexpr size_t kContent = 12u << 20;
    static constexpr uint32_t kPieceLength = 32 * 1024;  // what the seed builder picks for 12 MiB
    TempDir m_tmp;
    std::string m_source;
    Seeder m_seeder;
    bool m_privateMounts = false;
    std::vector<std::string> m_mounts;
};

TEST_F(StorageFaults, ADownloadFolderTooSmallPausesTheTaskAtOnceAndResumesOnceItIsLarger) {
    CEngineProcess getter(m_tmp.Path() + "get/", FreeTcpUdpPort());
    const std::string disk = getter.Dir() + "disk/";
    MountSmallDisk(disk, 4);
    if (IsSkipped()) {
        return;
    }
    const std::string dest = disk + "out.bin";
    getter.Start(GetArgs(dest, m_seeder.port));
    // The content file is reserved whole before the first byte: it fails there, not half-way.
    ExpectPaused(getter, 30);
    EXPECT_NE(getter.Log().find("out.bin.!mt cannot be made (No space left on device), task paused!"),
              std::string::npos)
        << getter.LogTail();
    EXPECT_TRUE(fs::is_empty(disk)) << "a half-made content file was left behind";

    ResizeDisk(disk, 16);
    getter.Start(GetArgs(dest, m_seeder.port));
    ExpectComplete(getter, dest);
}

TEST_F(StorageFaults, AFullDataFolderPausesTheTaskWhenTheSeedCannotBeSaved) {
    const std::string disk = m_tmp.Path() + "data/";
    MountSmallDisk(disk, 1);
    if (IsSkipped()) {
        return;
    }
    CEngineProcess getter(m_tmp.Path() + "get/", FreeTcpUdpPort(), disk + "xdg/");
    FillUp(disk + "filler");
    const std::string dest = getter.Dir() + "out.bin";
    getter.Start(GetArgs(dest, m_seeder.port));
    ExpectPaused(getter, 30);
    EXPECT_NE(getter.Log().find(".torrent cannot be saved (No space left on device), task paused!"),
              std::string::npos)
        << getter.LogTail();
    EXPECT_FALSE(fs::exists(dest + ".!mt"));

    fs::remove(disk + "filler");
    getter.Start(GetArgs(dest, m_seeder.port));
    ExpectComplete(getter, dest);
}

TEST_F(StorageFaults, ADiskFillingUpMidDownloadStillRecordsEveryVerifiedPiece) {
    // The engine's data folder (seed and resume record) shares the small disk with the content.
    const std::string disk = m_tmp.Path() + "disk/";
    MountSmallDisk(disk, 16);
    if (IsSkipped()) {
        return;
    }
    CEngineProcess getter(m_tmp.Path() + "get/", FreeTcpUdpPort(), disk + "xdg/");
    const std::string dest = disk + "out.bin";
    const std::string record = getter.DataFolder() + TaskKeyOf(dest) + ".mem";
    const uint32_t pieces = kContent / kPieceLength;
    CTcpRelay relay(m_seeder.port, {.downBytesPerSecond = 2 << 20});
    getter.Start(GetArgs(dest, relay.Port()));
    ASSERT_TRUE(WaitForHave(getter, kContent / 4, 30)) << getter.LogTail();
    FillUp(disk + "filler");
    const uint32_t atFill = ReadResumeRecord(record, pieces).Count();

    ASSERT_TRUE(WaitForHave(getter, kContent * 3 / 5, 30)) << getter.LogTail();
    getter.KillHard();
    ResumeRecordFile rec = ReadResumeRecord(record, pieces);
    ASSERT_TRUE(rec.valid) << (fs::exists(record) ? fs::file_size(record) : 0) << " bytes\n"
                           << getter.LogTail();
    EXPECT_GE(rec.Count(), atFill + 5) << "pieces verified on the full disk were not recorded";

    // Restarted while the disk is still full: it resumes from the record and completes.
    getter.Start(GetArgs(dest, m_seeder.port));
    ExpectComplete(getter, dest);
    EXPECT_EQ(FirstHave(getter), static_cast<int64_t>(rec.Count()) * kPieceLength);
    // The completed record reached the disk, so a new run sees the content complete.
    EXPECT_EQ(ReadResumeRecord(record, pieces).Count(), pieces);
    getter.Start(GetArgs(dest, m_seeder.port));
    ASSERT_EQ(getter.Wait(30), 0) << getter.LogTail();
    EXPECT_EQ(ClosingReceived(getter.Lines()), 0);
}

TEST_F(StorageFaults, ATempFileThatCannotBeExtendedOnAFullDiskIsKeptAndTheTaskPauses) {
    const std::string disk = m_tmp.Path() + "disk/";
    MountSmallDisk(disk, 16);
    if (IsSkipped()) {
        return;
    }
    CEngineProcess getter(m_tmp.Path() + "get/", FreeTcpUdpPort());
    const std::string dest = disk + "out.bin";
    CTcpRelay relay(m_seeder.port, {.downBytesPerSecond = 4 << 20});
    getter.Start(GetArgs(dest, relay.Port()));
    ASSERT_TRUE(WaitForHave(getter, kContent / 2, 30)) << getter.LogTail();
    getter.KillHard();
    // The temporary file lost its second half, and the disk has no room to make it whole again.
    fs::resize_file(dest + ".!mt", 1 << 20);
    FillUp(disk + "filler");

    getter.Start(GetArgs(dest, m_seeder.port));
    ExpectPaused(getter, 30);
    std::string log = getter.Log();
    EXPECT_NE(log.find("verified pieces past its end dropped"), std::string::npos);
    EXPECT_NE(log.find("out.bin.!mt cannot be extended (No space left on device), task paused!"),
              std::string::npos)
        << getter.LogTail();
    // The pieces before the cut are still good: nothing of the partial download is thrown away.
    EXPECT_TRUE(fs::exists(dest + ".!mt"));
    EXPECT_TRUE(fs::exists(getter.DataFolder() + TaskKeyOf(dest) + ".torrent"));
    EXPECT_TRUE(fs::exists(getter.DataFolder() + TaskKeyOf(dest) + ".mem"));

    fs::remove(disk + "filler");
    getter.Start(GetArgs(dest, m_seeder.port));
    ExpectComplete(getter, dest);
    EXPECT_GT(FirstHave(getter), 0) << "the pieces before the cut were dropped";
    EXPECT_LE(FirstHave(getter), 1 << 20);
}

// A folder given as the destination: the content could never take its name there, so the run
// is refused before anything is fetched, instead of reporting "complete" beside a ".!mt".
TEST_F(StorageFaults, AFolderAsTheDestinationIsRefusedBeforeAnythingIsFetched) {
    CEngineProcess getter(m_tmp.Path() + "get/", FreeTcpUdpPort());
    const std::string folder = getter.Dir() + "games";
    fs::create_directories(folder);
    getter.Start(GetArgs(folder, m_seeder.port));
    EXPECT_EQ(getter.Wait(30), 2) << getter.LogTail();
    EXPECT_NE(getter.Errors().find("is a folder"), std::string::npos) << getter.Errors();
    for (const std::string& line : getter.Lines()) {
        EXPECT_EQ(line.rfind("complete", 0), std::string::npos) << line;
    }
    EXPECT_TRUE(fs::is_directory(folder));
    EXPECT_TRUE(fs::is_empty(folder));
    EXPECT_FALSE(fs::exists(folder + ".!mt"));
}

TEST_F(StorageFaults, ATempFileDeletedMidDownloadPausesTheTaskAndTheNextRunStartsOver) {
    CEngineProcess getter(m_tmp.Path() + "get/", FreeTcpUdpPort());
    const std::string dest = getter.Dir() + "out.bin";
    CTcpRelay relay(m_seeder.port, {.downBytesPerSecond = 2 << 20});
    getter.Start(GetArgs(dest, relay.Port()));
    ASSERT_TRUE(WaitForHave(getter, kContent / 3, 30)) << getter.LogTail();
    fs::remove(dest + ".!mt");
    ExpectPaused(getter, 30);
    std::string log = getter.Log();
    EXPECT_NE(log.find("out.bin.!mt vanished or shrank under the engine"), std::string::npos);
    EXPECT_NE(log.find("task paused"), std::string::npos);

    getter.Start(GetArgs(dest, m_seeder.port));
    ExpectComplete(getter, dest);
    EXPECT_EQ(FirstHave(getter), 0) << "pieces of the deleted file were still counted";
}

TEST_F(StorageFaults, ATempFileCutShortMidDownloadKeepsOnlyThePiecesBeforeTheCut) {
    CEngineProcess getter(m_tmp.Path() + "get/", FreeTcpUdpPort());
    const std::string dest = getter.Dir() + "out.bin";
    CTcpRelay relay(m_seeder.port, {.downBytesPerSecond = 2 << 20});
    getter.Start(GetArgs(dest, relay.Port()));
    ASSERT_TRUE(WaitForHave(getter, kContent / 2, 30)) << getter.LogTail();
    const int64_t cut = kContent / 5;
    fs::resize_file(dest + ".!mt", cut);
    ExpectPaused(getter, 30);
    EXPECT_NE(getter.Log().find("vanished or shrank under the engine"), std::string::npos);

    getter.Start(GetArgs(dest, m_seeder.port));
    ExpectComplete(getter, dest);
    EXPECT_NE(getter.Log().find("verified pieces past its end dropped"), std::string::npos);
    EXPECT_LE(FirstHave(getter), cut);
    EXPECT_GT(FirstHave(getter), 0) << "the pieces before the cut were kept";
}

TEST_F(StorageFaults, ASharedFileCutShortThenDeletedIsNeverServedPastItsEnd) {
    // A second seeder of its own copy: it is cut short, then deleted, while it serves.
    const std::string copy = m_tmp.File("copy.bin");
    fs::copy_file(m_source, copy);
    Seeder fading = StartSeeder(m_tmp, "fading", copy);
    ASSERT_EQ(fading.hash, m_seeder.hash);
    CTcpRelay relay(fading.port, {.downBytesPerSecond = 2 << 20});
    CEngineProcess getter(m_tmp.Path() + "get/", FreeTcpUdpPort());
    const std::string dest = getter.Dir() + "out.bin";
    const uint16_t healthyPort = FreeTcpUdpPort();
    std::vector<std::string> args = GetArgs(dest, relay.Port());
    args.insert(args.end(), {"--peer", "127.0.0.1:" + std::to_string(healthyPort)});
    getter.Start(args);
    ASSERT_TRUE(WaitForHave(getter, kContent / 5, 30)) << getter.LogTail();

    fs::resize_file(copy, kContent / 2);
    auto end = Clock::now() + std::chrono::seconds(20);
    while (Clock::now() < end && fading.mirt->Log().find("cannot be read at") == std::string::npos) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_NE(fading.mirt->Log().find("content file " + copy + " cannot be read at"), std::string::npos);
    fs::remove(copy);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    EXPECT_TRUE(fading.mirt->Running()) << fading.mirt->LogTail();
    EXPECT_TRUE(getter.Running()) << getter.LogTail();

    // A healthy seeder on the port the getter keeps trying finishes the download.
    CEngineProcess healthy(m_tmp.Path() + "healthy/", healthyPort);
    healthy.Start({"share", m_source});
    ExpectComplete(getter, dest);
    EXPECT_EQ(getter.Log().find("Write file hash error"), std::string::npos) << "a bad block was served";
    fading.mirt->Signal(SIGTERM);
    EXPECT_EQ(fading.mirt->Wait(20), 0) << "the seeder of the vanished file did not stop cleanly";
}

}  // namespace
}  // namespace tessali::test
