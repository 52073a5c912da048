#include "engine/core/mirt_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <numeric>

#include "common/log_capture.h"
#include "common/temp_dir.h"
#include "core/seed_test_util.h"
#include "engine/core/task_key.h"
#include "engine/platform/file.h"

namespace tessali::core {
namespace {

using test::Bytes;

TEST(TaskKey, NamesTheSeedAndResumeRecordAfterTheDestination) {
    EXPECT_EQ(TaskKey("C:\\a\\b.iso"), "C__a_b.iso");
    EXPECT_EQ(ResumeFilePath("/data/", TaskKey("C:\\a\\b.iso")), "/data/C__a_b.iso.mem");
    EXPECT_EQ(SeedFilePath("/data/", TaskKey("C:\\a\\b.iso")), "/data/C__a_b.iso.torrent");
    EXPECT_EQ(TaskKey("/home/u/Games/pack.bin"), "_home_u_Games_pack.bin");
    EXPECT_EQ(UnfinishedSuffixPos("/a.!mt/b.bin"), std::string::npos);
    EXPECT_EQ(UnfinishedSuffixPos("/a/b.!mt.!mt"), 4u);
}

std::string Pattern(size_t n, int seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) {
        s[i] = static_cast<char>((i * 13 + static_cast<size_t>(seed)) & 0xFF);
    }
    return s;
}

TEST(MirtFile, CreatesPreallocatedAndClampsWritesToItsSize) {
    test::TempDir dir;
    test::LogCapture log;
    CMirtFile file(dir.File("sub/deeper/x.bin"), 100, false);
    EXPECT_TRUE(log.Contains("$$$$$$$$$$$$$File size:100\n"));
    EXPECT_EQ(file.Path(), dir.File("sub/deeper/x.bin.!mt"));
    EXPECT_FALSE(file.IsOpen());
    EXPECT_FALSE(platform::FileExists(file.Path()));

    std::string data = Pattern(100, 1);
    EXPECT_EQ(file.WriteAt(99, Bytes(data)), 1);  // the last byte only
    EXPECT_EQ(platform::FileSize(file.Path()), 100);
    struct stat st {};
    ASSERT_EQ(::stat(file.Path().c_str(), &st), 0);
    EXPECT_GE(st.st_blocks * 512, 100);  // blocks reserved, not a sparse file
    EXPECT_EQ(file.WriteAt(100, Bytes(data)), 0);
    EXPECT_EQ(file.WriteAt(101, Bytes(data)), -1);
    EXPECT_EQ(file.WriteAt(-1, Bytes(data)), -1);
    EXPECT_EQ(file.WriteAt(10, Bytes(data.substr(0, 30))), 30);
    EXPECT_EQ(file.BytesWritten(), 31u);

    std::string back(50, '\0');
    std::span<uint8_t> out(reinterpret_cast<uint8_t*>(back.data()), back.size());
    EXPECT_EQ(file.ReadAt(10, out.first(30)), 30);
    EXPECT_EQ(back.substr(0, 30), data.substr(0, 30));
    EXPECT_EQ(file.ReadAt(90, out), 10);  // clamped at the end
    EXPECT_EQ(back[9], data[0]);          // the byte written at 99
    EXPECT_EQ(file.ReadAt(101, out), -1);
}

TEST(MirtFile, FinishCutsAtTheFirstSuffixOfTheFileName) {
    test::TempDir dir;
    CMirtFile twice(dir.File("a.!mt"), 10, false);  // "a.!mt.!mt"
    ASSERT_EQ(twice.WriteAt(0, Bytes(std::string("0123456789"))), 10);
    ASSERT_TRUE(twice.Finish());
    EXPECT_EQ(twice.Path(), dir.File("a"));
    EXPECT_TRUE(twice.IsFinished());
    EXPECT_EQ(test::ReadFile(dir.File("a")), "0123456789");
    EXPECT_FALSE(platform::FileExists(dir.File("a.!mt.!mt")));
    // Reads of a finished file go through a fresh read-only open.
    std::string back(4, '\0');
    EXPECT_EQ(twice.ReadAt(3, {reinterpret_cast<uint8_t*>(back.data()), back.size()}), 4);
    EXPECT_EQ(back, "3456");
    EXPECT_TRUE(twice.Finish());  // nothing left to rename

    // A folder whose name holds the suffix is not cut.
    CMirtFile inFolder(dir.File("d.!mt/f.bin"), 4, false);
    ASSERT_EQ(inFolder.WriteAt(0, Bytes(std::string("abcd"))), 4);
    ASSERT_TRUE(inFolder.Finish());
    EXPECT_EQ(inFolder.Path(), dir.File("d.!mt/f.bin"));
    EXPECT_EQ(test::ReadFile(dir.File("d.!mt/f.bin")), "abcd");

    // The final name is never taken from a file already there.
    test::WriteFile(dir.File("taken.bin"), "user data");
    CMirtFile clash(dir.File("taken.bin"), 4, false);
    ASSERT_EQ(clash.WriteAt(0, Bytes(std::string("wxyz"))), 4);
    EXPECT_FALSE(clash.Finish());
    EXPECT_EQ(test::ReadFile(dir.File("taken.bin")), "user data");
    EXPECT_FALSE(clash.IsFinished());
}

TEST(MirtFile, DeleteTemporaryNeverTouchesAFinishedFile) {
    test::TempDir dir;
    CMirtFile temp(dir.File("t.bin"), 8, false);
    ASSERT_TRUE(temp.Open());
    ASSERT_TRUE(platform::FileExists(dir.File("t.bin.!mt")));
    EXPECT_TRUE(temp.DeleteTemporary());
    EXPECT_FALSE(platform::FileExists(dir.File("t.bin.!mt")));

    test::WriteFile(dir.File("done.bin"), "12345678");
    CMirtFile done(dir.File("done.bin"), 8, true);
    EXPECT_TRUE(done.DeleteTemporary());
    EXPECT_TRUE(platform::FileExists(dir.File("done.bin")));
    EXPECT_TRUE(done.DeleteContent());
    EXPECT_FALSE(platform::FileExists(dir.File("done.bin")));
}

TEST(MirtFile, AnswersMinusOneWhenItsFileIsDeletedOrTruncated) {
    test::TempDir dir;
    const std::string data = Pattern(4096, 3);
    std::string back(4096, '\0');
    std::span<uint8_t> out(reinterpret_cast<uint8_t*>(back.data()), back.size());
    {
        CMirtFile file(dir.File("del.bin"), 1 << 20, false);
        ASSERT_EQ(file.WriteAt(0, Bytes(data)), 4096);
        ASSERT_EQ(::unlink(file.Path().c_str()), 0);
        EXPECT_EQ(file.WriteAt(8192, Bytes(data)), -1);
        EXPECT_EQ(file.ReadAt(0, out), -1);
        // It does not quietly start a new, empty file that would hide the lost bytes.
        EXPECT_EQ(file.WriteAt(8192, Bytes(data)), -1);
        EXPECT_FALSE(file.Open());
        EXPECT_FALSE(file.Finish());
        EXPECT_FALSE(platform::FileExists(file.Path()));
        // Once the task has thrown the temporary away, the object is usable again.
        EXPECT_TRUE(file.DeleteTemporary());
        EXPECT_EQ(file.WriteAt(0, Bytes(data)), 4096);
    }
    {
        CMirtFile file(dir.File("trunc.bin"), 1 << 20, false);
        ASSERT_EQ(file.WriteAt(0, Bytes(data)), 4096);
        ASSERT_EQ(::truncate(file.Path().c_str(), 1000), 0);
        // A mapped view would fault (SIGBUS) here; positioned I/O must answer -1 instead.
        EXPECT_EQ(file.ReadAt(500000, out), -1);
        EXPECT_EQ(file.WriteAt(500000, Bytes(data)), -1);
        EXPECT_EQ(file.ReadAt(0, out), -1);
    }
    {
        CMirtFile file(dir.File("swap.bin"), 4096, false);
        ASSERT_EQ(file.WriteAt(0, Bytes(data)), 4096);
        // Replaced by another file of the same name and size.
        test::WriteFile(dir.File("other"), data);
        ASSERT_EQ(::rename(dir.File("other").c_str(), file.Path().c_str()), 0);
        EXPECT_EQ(file.WriteAt(0, Bytes(data)), -1);
    }
    {
        test::WriteFile(dir.File("short.bin"), "abc");
        CMirtFile finished(dir.File("short.bin"), 10, true);
        EXPECT_EQ(finished.ReadAt(0, out), -1);  // shorter than it should be
    }
}

// A shared (finished) file deleted or cut short while it is served: every read fails, and the
// log says so once per run of failures rather than once per request.
TEST(MirtFile, AFinishedFileThatCannotBeReadIsLoggedOncePerRunOfFailures) {
    test::TempDir dir;
    const std::string data = Pattern(8192, 5);
    test::WriteFile(dir.File("shared.bin"), data);
    CMirtFile file(dir.File("shared.bin"), 8192, true);
    std::string back(4096, '\0');
    std::span<uint8_t> out(reinterpret_cast<uint8_t*>(back.data()), back.size());
    test::LogCapture log;
    ASSERT_EQ(::truncate(file.Path().c_str(), 6000), 0);
    EXPECT_EQ(file.ReadAt(0, out), 4096);
    EXPECT_EQ(file.ReadAt(4096, out), -1);
    EXPECT_EQ(file.ReadAt(4096, out), -1);
    EXPECT_TRUE(
        log.Contains("content file " + file.Path() + " cannot be read at 4096 (shorter than its size)\n"));
    ASSERT_EQ(::unlink(file.Path().c_str()), 0);
    EXPECT_EQ(file.ReadAt(0, out), -1);
    size_t said = 0;
    for (const std::string& l : log.Lines()) {
        said += l.find("cannot be read") != std::string::npos ? 1 : 0;
    }
    EXPECT_EQ(said, 1u);
}

// A shared file replaced under the same name while it is served is read from the new file, and
// one deleted is not read at all, even after earlier reads.
TEST(MirtFile, AFinishedFileReplacedOrDeletedWhileServedIsReadByItsName) {
    test::TempDir dir;
    test::WriteFile(dir.File("shared.bin"), Pattern(4096, 1));
    CMirtFile file(dir.File("shared.bin"), 4096, true);
    std::string back(4096, '\0');
    std::span<uint8_t> out(reinterpret_cast<uint8_t*>(back.data()), back.size());
    ASSERT_EQ(file.ReadAt(0, out), 4096);
    EXPECT_EQ(back, Pattern(4096, 1));
    test::WriteFile(dir.File("next"), Pattern(4096, 2));
    ASSERT_EQ(::rename(dir.File("next").c_str(), file.Path().c_str()), 0);
    ASSERT_EQ(file.ReadAt(0, out), 4096);
    EXPECT_EQ(back, Pattern(4096, 2));
    ASSERT_EQ(::unlink(file.Path().c_str()), 0);
    EXPECT_EQ(file.ReadAt(0, out), -1);
}

TEST(MirtFile, ExtendsAnExistingShorterFileAndKeepsItsBytes) {
    test::TempDir dir;
    test::WriteFile(dir.File("old.bin.!mt"), "keep");
    CMirtFile file(dir.File("old.bin"), 64, false);
    ASSERT_TRUE(file.Open());
    EXPECT_EQ(platform::FileSize(file.Path()), 64);
    std::string back(4, '\0');
    EXPECT_EQ(file.ReadAt(0, {reinterpret_cast<uint8_t*>(back.data()), 4}), 4);
    EXPECT_EQ(back, "keep");

    // Zero-length files of a multi-file task open and finish like any other.
    CMirtFile empty(dir.File("empty.bin"), 0, false);
    EXPECT_TRUE(empty.Open());
    EXPECT_EQ(empty.WriteAt(0, Bytes(back)), 0);
    EXPECT_TRUE(empty.Finish());
    EXPECT_EQ(platform::FileSize(dir.File("empty.bin")), 0);
}

TEST(TmpMirtFile, SplitsRangesBetweenTheHeadInMemoryAndTheFile) {
    test::TempDir dir;
    const int64_t piece = 16384;
    CTmpMirtFile file(dir.File("h.bin"), 3 * piece, piece);
    EXPECT_EQ(file.Size(), 3 * piece);
    EXPECT_EQ(file.HeadLength(), piece);
    EXPECT_EQ(file.Path(), dir.File("h.bin.!mt"));

    std::string data = Pattern(1000, 5);
    // 400 bytes below the head boundary, 600 above it.
    ASSERT_EQ(file.WriteAt(piece - 400, Bytes(data)), 1000);
    EXPECT_EQ(platform::FileSize(file.Path()), 2 * piece);
    std::string onDisk = test::ReadFile(file.Path());
    // The head never reaches the disk: the file holds the tail at offset 0 and nothing else.
    EXPECT_EQ(onDisk, data.substr(400) + std::string(2 * piece - 600, '\0'));

    std::string back(1000, '\0');
    ASSERT_EQ(file.ReadAt(piece - 400, {reinterpret_cast<uint8_t*>(back.data()), back.size()}), 1000);
    EXPECT_EQ(back, data);
    ASSERT_EQ(file.ReadAt(3 * piece - 10, {reinterpret_cast<uint8_t*>(back.data()), back.size()}), 10);
    EXPECT_EQ(file.ReadAt(3 * piece + 1, {reinterpret_cast<uint8_t*>(back.data()), back.size()}), -1);

    // Head length clamped to the content; a content inside the head has an empty file part.
    CTmpMirtFile small(dir.File("s.bin"), 100, piece);
    EXPECT_EQ(small.HeadLength(), 100);
    EXPECT_EQ(small.Size(), 100);
    EXPECT_EQ(small.WriteAt(90, Bytes(data)), 10);
    EXPECT_EQ(small.ReadAt(90, {reinterpret_cast<uint8_t*>(back.data()), 10}), 10);
    EXPECT_EQ(back.substr(0, 10), data.substr(0, 10));
}

}  // namespace
}  // namespace tessali::core
