#include "engine/core/seed_builder.h"

#include <gtest/gtest.h>

#include "common/temp_dir.h"
#include "engine/core/seed.h"
#include "engine/core/task_hash.h"
#include "engine/platform/file.h"

namespace tessali::core {
namespace {

TEST(PieceLength, FollowsTheSquareRootRule) {
    EXPECT_EQ(PieceLengthFor(1), 16384u);
    EXPECT_EQ(PieceLengthFor(2097152), 16384u);       // 2 MiB
    EXPECT_EQ(PieceLengthFor(2097153), 16384u);       // c = 22 -> 16
    EXPECT_EQ(PieceLengthFor(100LL << 20), 131072u);  // c = 160 -> 128
    EXPECT_EQ(PieceLengthFor(1LL << 30), 524288u);    // c = 512
    EXPECT_EQ(PieceLengthFor(4LL << 30), 1048576u);   // c = 1024
    EXPECT_EQ(PieceLengthFor(3LL << 20), 16384u);     // c = 27 -> 16
    EXPECT_EQ(PieceLengthFor(8LL << 20), 32768u);     // c = 45 -> 32
    EXPECT_EQ(PieceLengthFor(64LL << 30), 4194304u);  // c = 4096: the top bit
    // c = 8192 has none of the bits 4096..1 set.
    EXPECT_EQ(PieceLengthFor(256LL << 30), 16384u);
}

std::string FromHex(const std::string& hex) {
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

// 40000 bytes of (i * 7 + 3) mod 251: three pieces of 16 KiB.
std::string PatternFile() {
    std::string data(40000, '\0');
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<char>((i * 7 + 3) % 251);
    }
    return data;
}

TEST(ShareBuilder, WritesTheExactSeedLayout) {
    test::TempDir dir;
    test::WriteFile(dir.File("pack.data"), PatternFile());
    SeedBuildRequest request;
    request.filePath = dir.File("pack.data");
    request.displayName = "pack.data";
    request.seedName = "pack.data";
    request.seedPath = dir.File("out.torrent");
    request.trackerUrl = "http://127.0.0.1:6970";
    request.adUrl = "ads.cfg";
    request.creationDate = 1700000000;
    SeedBuildResult result;
    ASSERT_EQ(BuildSeedForFile(request, &result), 0);

    // Piece hashes and task identifier computed outside the code under test (Python hashlib):
    //   d = bytes((i*7+3)%251 for i in range(40000))
    //   h = b''.join(hashlib.sha1(d[i:i+16384]).digest() for i in range(0, len(d), 16384))
    const std::string hashes = FromHex(
        "82c735d4ba0315487ca989963138d78f3378c946cca94f0bb5a1024e3d2cbe1968b9f95ce92c611548717cd0b453d6670688"
        "d799a0071c"
        "450dac66d6");
    const std::string expected =
        "d8:encoding3:GBK4:infod6:lengthi40000e4:name9:pack.data12:piece lengthi16384e"
        "6:pieces60:" +
        hashes + "e8:announce21:http://127.0.0.1:69705:adurl7:ads.cfg13:creation date10:1700000000e";
    EXPECT_EQ(test::ReadFile(dir.File("out.torrent")), expected);
    EXPECT_EQ(result.size, 40000);
    EXPECT_EQ(result.pieceLength, 16384u);
    EXPECT_EQ(result.pieceCount, 3u);
    EXPECT_EQ(result.piecesHash.ToText(), "4321716A47049FDE55F1880EFD3744CCB8A9C9C1");

    // What the builder writes, the parser reads back.
    CSeed seed(dir.File("out.torrent"));
    ASSERT_TRUE(seed.LoadFromDisk());
    EXPECT_EQ(seed.Name(), "pack.data");
    EXPECT_EQ(seed.TotalLength(), 40000);
    EXPECT_EQ(seed.AdUrl(), "ads.cfg");
    EXPECT_EQ(seed.CreationDate(), 1700000000u);
    EXPECT_EQ(seed.TaskId("http://127.0.0.1:6970").ToText(), "4321716A47049FDE55F1880EFD3744CCB8A9C9C1");
    EXPECT_EQ(seed.InfoHash().ToText(), "9AFE3747676354A4EDCF834F2CB8D49D33A31AD7");
}

TEST(ShareBuilder, StoresTheNameInTheAnsiCodePageAndAnEmptyAdUrl) {
    test::TempDir dir;
    test::WriteFile(dir.File("f.bin"), "abc");
    SeedBuildRequest request{dir.File("f.bin"),
                             "f.bin",
                             "\xE4\xB8\xAD\xE6\x96\x87.bin",
                             dir.File("s.torrent"),
                             "http://127.0.0.1:6970",
                             "",
                             5};
    ASSERT_EQ(BuildSeedForFile(request), 0);
    std::string bytes = test::ReadFile(dir.File("s.torrent"));
    EXPECT_NE(bytes.find("4:name8:\xD6\xD0\xCE\xC4.bin"), std::string::npos);
    EXPECT_NE(bytes.find("5:adurl0:13:creation date1:5e"), std::string::npos);
    CSeed seed(dir.File("s.torrent"));
    ASSERT_TRUE(seed.LoadFromDisk());
    EXPECT_EQ(seed.Name(), "\xE4\xB8\xAD\xE6\x96\x87.bin");
    EXPECT_EQ(seed.PieceCount(), 1u);
}

TEST(ShareBuilder, RefusesWhatCannotBeShared) {
    test::TempDir dir;
    test::WriteFile(dir.File("f.bin"), "abc");
    test::WriteFile(dir.File("empty.bin"), "");
    SeedBuildRequest base{dir.File("f.bin"), "f.bin", "f.bin", dir.File("s.torrent"), "http://t", "", 1};

    SeedBuildRequest noDot = base;
    noDot.displayName = "fbin";
    EXPECT_EQ(BuildSeedForFile(noDot), -1);
    SeedBuildRequest missing = base;
    missing.filePath = dir.File("missing.bin");
    EXPECT_EQ(BuildSeedForFile(missing), -1);
    SeedBuildRequest empty = base;
    empty.filePath = dir.File("empty.bin");
    EXPECT_EQ(BuildSeedForFile(empty), -1);
    SeedBuildRequest unwritable = base;
    unwritable.seedPath = dir.File("no/such/folder/s.torrent");
    EXPECT_EQ(BuildSeedForFile(unwritable), -1);
    EXPECT_FALSE(platform::FileExists(dir.File("s.torrent")));

    std::atomic<bool> keepGoing{false};
    SeedBuildRequest stopped = base;
    stopped.keepGoing = &keepGoing;
    EXPECT_EQ(BuildSeedForFile(stopped), -1);
    EXPECT_FALSE(platform::FileExists(dir.File("s.torrent")));
    keepGoing = true;
    EXPECT_EQ(BuildSeedForFile(stopped), 0);
}

}  // namespace
}  // namespace tessali::core
