#include "engine/core/content_files.h"

#include <gtest/gtest.h>

#include "common/temp_dir.h"
#include "core/seed_test_util.h"
#include "engine/core/resume_record.h"

namespace tessali::core {
namespace {

using test::Bytes;

std::string Pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) {
        s[i] = static_cast<char>((i * 29 + 7) % 253);
    }
    return s;
}

// Files of 10, 0, 5 and 20 bytes: 35 bytes of content.
CContentFiles FourFiles(const test::TempDir& dir) {
    CContentFiles files;
    files.Add(std::make_unique<CMirtFile>(dir.File("t/a"), 10, false));
    files.Add(std::make_unique<CMirtFile>(dir.File("t/empty"), 0, false));
    files.Add(std::make_unique<CMirtFile>(dir.File("t/b"), 5, false));
    files.Add(std::make_unique<CMirtFile>(dir.File("t/c"), 20, false));
    return files;
}

TEST(ContentFiles, MapsPositionsOntoTheFileList) {
    test::TempDir dir;
    CContentFiles files = FourFiles(dir);
    EXPECT_EQ(files.TotalSize(), 35);
    auto at = [&](int64_t p) {
        auto l = files.Locate(p);
        return l ? std::make_pair(static_cast<int>(l->index), l->offset) : std::make_pair(-1, int64_t{-1});
    };
    EXPECT_EQ(at(0), std::make_pair(0, int64_t{0}));
    EXPECT_EQ(at(9), std::make_pair(0, int64_t{9}));
    EXPECT_EQ(at(10), std::make_pair(2, int64_t{0}));  // the empty file holds no position
    EXPECT_EQ(at(15), std::make_pair(3, int64_t{0}));
    EXPECT_EQ(at(34), std::make_pair(3, int64_t{19}));
    EXPECT_EQ(at(35), std::make_pair(-1, int64_t{-1}));
    EXPECT_EQ(at(-1), std::make_pair(-1, int64_t{-1}));
}

TEST(ContentFiles, WritesAndReadsAcrossFileEnds) {
    test::TempDir dir;
    CContentFiles files = FourFiles(dir);
    const std::string data = Pattern(35);
    ASSERT_EQ(files.WriteAt(7, Bytes(data.substr(7, 20))), 20);  // a: 7..9, b: all, c: 0..11
    ASSERT_EQ(files.WriteAt(0, Bytes(data.substr(0, 7))), 7);
    ASSERT_EQ(files.WriteAt(27, Bytes(data.substr(27) + "overflow")), 8);  // clamped at the end
    EXPECT_EQ(files.WriteAt(35, Bytes(data)), -1);

    EXPECT_EQ(test::ReadFile(dir.File("t/a.!mt")), data.substr(0, 10));
    EXPECT_EQ(test::ReadFile(dir.File("t/b.!mt")), data.substr(10, 5));
    EXPECT_EQ(test::ReadFile(dir.File("t/c.!mt")), data.substr(15, 20));

    std::string back(35, '\0');
    ASSERT_EQ(files.ReadAt(0, {reinterpret_cast<uint8_t*>(back.data()), back.size()}), 35);
    EXPECT_EQ(back, data);

    ASSERT_TRUE(files.FinishAll());
    EXPECT_EQ(test::ReadFile(dir.File("t/b")), data.substr(10, 5));
    EXPECT_TRUE(platform::FileExists(dir.File("t/empty")));
    std::string again(35, '\0');
    ASSERT_EQ(files.ReadAt(0, {reinterpret_cast<uint8_t*>(again.data()), again.size()}), 35);
    EXPECT_EQ(again, data);

    files.DeleteFiles(false);  // finished files stay
    EXPECT_TRUE(platform::FileExists(dir.File("t/c")));
    files.DeleteFiles(true);
    EXPECT_FALSE(platform::FileExists(dir.File("t/c")));
}

TEST(ContentFiles, UploadReadsNeedEveryPieceTheyTouch) {
    test::TempDir dir;
    CContentFiles files = FourFiles(dir);
    const std::string data = Pattern(35);
    ASSERT_EQ(files.WriteAt(0, Bytes(data)), 35);
    CResumeRecord record(dir.File("r.mem"));
    ASSERT_TRUE(record.Load(35, 8));  // pieces 0..4, the last of 3 bytes
    record.MarkPieceVerified(1);
    record.MarkPieceVerified(2);
    record.MarkPieceVerified(4);

    std::string out(12, '\0');
    std::span<uint8_t> buf(reinterpret_cast<uint8_t*>(out.data()), out.size());
    EXPECT_EQ(files.ReadPieceRange(&record, 8, 1, 2, buf.first(10)), 10);  // pieces 1 and 2
    EXPECT_EQ(out.substr(0, 10), data.substr(10, 10));
    EXPECT_EQ(files.ReadPieceRange(&record, 8, 2, 4, buf.first(8)), 0);  // reaches piece 3
    EXPECT_EQ(files.ReadPieceRange(&record, 8, 0, 0, buf.first(1)), 0);
    EXPECT_EQ(files.ReadPieceRange(&record, 8, 4, 0, buf), 3);  // clamped to the content
    EXPECT_EQ(out.substr(0, 3), data.substr(32, 3));
    EXPECT_EQ(files.ReadPieceRange(&record, 8, 4, 3, buf), -2);
    EXPECT_EQ(files.ReadPieceRange(&record, 8, 9, 0, buf), -2);
    EXPECT_EQ(files.ReadPieceRange(&record, 8, 1, 0, buf.first(0)), -2);
    // Without a record (a share task) every piece counts as present.
    EXPECT_EQ(files.ReadPieceRange(nullptr, 8, 0, 0, buf), 12);
    EXPECT_EQ(out, data.substr(0, 12));
    CContentFiles none;
    EXPECT_EQ(none.ReadPieceRange(&record, 8, 0, 0, buf), 0);
}

}  // namespace
}  // namespace tessali::core
