// The file fault switch: an installed handler decides the fate of every open, write, reservation
// and sync made through File (and so of the atomic file writer), with the errno it picks; once it
// is removed, files behave normally again.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "common/fakes/faulty_disk.h"
#include "common/temp_dir.h"
#include "engine/platform/file.h"

namespace tessali::platform {
namespace {

using test::CFaultyDisk;
using test::TempDir;

std::span<const uint8_t> AsBytes(const std::string& s) {
    return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

TEST(FileFaults, ChosenOperationsFailWithTheChosenErrorOnlyOnMatchingPaths) {
    TempDir dir;
    CFaultyDisk disk;
    disk.Fail(FileOp::kOpen, "locked", EACCES);
    disk.Fail(FileOp::kSync, "flaky", EIO);
    disk.Fail(FileOp::kWrite, "flaky", EROFS, 1, 1);  // the second write only

    File f;
    errno = 0;
    EXPECT_FALSE(f.Open(dir.File("locked.bin"), File::kWrite | File::kCreate));
    EXPECT_EQ(errno, EACCES);
    EXPECT_FALSE(FileExists(dir.File("locked.bin"))) << "the failed open still made the file";

    ASSERT_TRUE(f.Open(dir.File("flaky.bin"), File::kRead | File::kWrite | File::kCreate));
    EXPECT_EQ(f.WriteAt(0, AsBytes("first")), 5);
    errno = 0;
    EXPECT_EQ(f.WriteAt(5, AsBytes("second")), -1);
    EXPECT_EQ(errno, EROFS);
    EXPECT_EQ(f.WriteAt(5, AsBytes("third")), 5) << "a fault given once struck again";
    EXPECT_FALSE(f.Sync());
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(test::ReadFile(dir.File("flaky.bin")), "firstthird");

    File other;
    ASSERT_TRUE(other.Open(dir.File("plain.bin"), File::kRead | File::kWrite | File::kCreate));
    EXPECT_EQ(other.WriteAt(0, AsBytes("fine")), 4);
    EXPECT_TRUE(other.Sync());
    EXPECT_EQ(disk.Faults(), 3);
}

TEST(FileFaults, AFullFolderRefusesNewBytesButTakesWritesOverOldOnes) {
    TempDir dir;
    ASSERT_TRUE(CreateDirectories(dir.File("full/")));
    test::WriteFile(dir.File("full/old.bin"), "0123456789");
    CFaultyDisk disk;
    disk.Fill(dir.File("full/"));

    File old;
    ASSERT_TRUE(old.Open(dir.File("full/old.bin"), File::kRead | File::kWrite));
    EXPECT_EQ(old.WriteAt(2, AsBytes("ab")), 2);
    errno = 0;
    EXPECT_EQ(old.WriteAt(8, AsBytes("xyz")), -1) << "a write past the end found room";
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_FALSE(old.Preallocate(20));
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_TRUE(old.Preallocate(10));
    EXPECT_EQ(test::ReadFile(dir.File("full/old.bin")), "01ab456789");

    // The atomic writer's temporary file has no room: the old file stays as it was.
    EXPECT_FALSE(WriteFileAtomically(dir.File("full/old.bin"), "new"));
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_EQ(test::ReadFile(dir.File("full/old.bin")), "01ab456789");
    EXPECT_FALSE(FileExists(dir.File("full/old.bin.tmp")));

    EXPECT_TRUE(WriteFileAtomically(dir.File("elsewhere.bin"), "room here"));
    disk.Heal();
    EXPECT_TRUE(WriteFileAtomically(dir.File("full/old.bin"), "new"));
    EXPECT_EQ(test::ReadFile(dir.File("full/old.bin")), "new");
}

TEST(FileFaults, AFileIsCutShortBeforeTheChosenWrite) {
    TempDir dir;
    CFaultyDisk disk;
    disk.CutShort("shrinking", 3, 1);
    File f;
    ASSERT_TRUE(f.Open(dir.File("shrinking.bin"), File::kRead | File::kWrite | File::kCreate));
    ASSERT_EQ(f.WriteAt(0, AsBytes("abcdefgh")), 8);
    EXPECT_EQ(f.Size(), 8);
    ASSERT_EQ(f.WriteAt(8, AsBytes("!")), 1);  // cut to 3 bytes first, then written at 8
    EXPECT_EQ(test::ReadFile(dir.File("shrinking.bin")), std::string("abc\0\0\0\0\0!", 9));
    ASSERT_EQ(f.WriteAt(0, AsBytes("A")), 1);  // only once
    EXPECT_EQ(f.Size(), 9);
    EXPECT_EQ(disk.Faults(), 1);
}

TEST(FileFaults, NothingFailsOnceTheHandlerIsGone) {
    TempDir dir;
    {
        CFaultyDisk disk;
        disk.Fail(FileOp::kOpen, dir.Path(), ENOSPC);
        File f;
        EXPECT_FALSE(f.Open(dir.File("a.bin"), File::kWrite | File::kCreate));
    }
    File f;
    ASSERT_TRUE(f.Open(dir.File("a.bin"), File::kRead | File::kWrite | File::kCreate));
    EXPECT_EQ(f.WriteAt(0, AsBytes("ok")), 2);
    EXPECT_TRUE(f.Preallocate(4096));
    EXPECT_TRUE(f.Sync());
}

}  // namespace
}  // namespace tessali::platform
