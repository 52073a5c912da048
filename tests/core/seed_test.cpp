#include "engine/core/seed.h"

#include <gtest/gtest.h>

#include "common/temp_dir.h"
#include "core/seed_test_util.h"
#include "engine/core/sha1.h"

namespace tessali::core {
namespace {

using test::B;
using test::Bytes;
using test::FakeHashes;
using test::I;
using test::ParseBytes;
using test::SingleFileSeed;

TEST(SeedParse, RefusesMalformedSeeds) {
    CSeed seed;
    // The outer value must be a dictionary.
    EXPECT_FALSE(ParseBytes(seed, "l" + B("pieces") + B(FakeHashes(1)) + "e"));
    EXPECT_FALSE(ParseBytes(seed, B("d")));
    seed.Clear();
    // A second, different "length" conflicts with the first.
    std::string conflicting = "d" + B("info") + "d" + B("length") + I(100) + B("length") + I(200) +
                              B("piece length") + I(16384) + B("pieces") + B(FakeHashes(1)) + "ee";
    EXPECT_FALSE(ParseBytes(seed, conflicting));
    seed.Clear();
    // The same length twice is no conflict.
    std::string repeated = "d" + B("info") + "d" + B("length") + I(100) + B("length") + I(100) +
                           B("piece length") + I(16384) + B("pieces") + B(FakeHashes(1)) + "ee";
    EXPECT_TRUE(ParseBytes(seed, repeated));
    seed.Clear();
    // 19 bytes of pieces hold no hash.
    std::string short19 = "d" + B("info") + "d" + B("length") + I(100) + B("piece length") + I(16384) +
                          B("pieces") + B(FakeHashes(1).substr(0, 19)) + "ee";
    EXPECT_FALSE(ParseBytes(seed, short19));
    seed.Clear();
    // No "pieces" at all.
    EXPECT_FALSE(ParseBytes(seed, "d" + B("info") + "d" + B("length") + I(100) + "ee"));
    seed.Clear();
    // A string length running past the end, an unterminated dictionary, a bad integer.
    EXPECT_FALSE(ParseBytes(seed, "d6:pieces9999:abc"));
    seed.Clear();
    EXPECT_FALSE(ParseBytes(seed, "d" + B("pieces") + B(FakeHashes(1))));
    seed.Clear();
    EXPECT_FALSE(ParseBytes(seed, "d" + B("length") + "i12x4e" + B("pieces") + B(FakeHashes(1)) + "e"));
    seed.Clear();
    EXPECT_FALSE(ParseBytes(
        seed, "d" + B("length") + "i99999999999999999999e" + B("pieces") + B(FakeHashes(1)) + "e"));
}

TEST(SeedParse, RefusesSeedsWhoseLengthsDisagree) {
    CSeed seed;
    // 40 bytes are two hashes: right for 20000 bytes in 16 KiB pieces.
    ASSERT_TRUE(ParseBytes(seed, SingleFileSeed(20000, 16384, 2)));
    EXPECT_EQ(seed.PieceCount(), 2u);
    EXPECT_EQ(seed.PieceLength(), 16384u);
    EXPECT_EQ(seed.TotalLength(), 20000);
    EXPECT_EQ(seed.PieceSize(0), 16384);
    EXPECT_EQ(seed.PieceSize(1), 20000 - 16384);
    EXPECT_EQ(seed.PieceHashes().size(), 40u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(seed.PieceHash(1).data()), 20),
              FakeHashes(2).substr(20));
    seed.Clear();
    // Too few or too many hashes for the length, and lengths no piece maths can use.
    EXPECT_FALSE(ParseBytes(seed, SingleFileSeed(40000, 16384, 2)));
    seed.Clear();
    EXPECT_FALSE(ParseBytes(seed, SingleFileSeed(10000, 16384, 2)));
    seed.Clear();
    EXPECT_FALSE(ParseBytes(seed, SingleFileSeed(20000, 0, 2)));
    seed.Clear();
    EXPECT_FALSE(ParseBytes(seed, SingleFileSeed(20000, -16384, 2)));
    seed.Clear();
    EXPECT_FALSE(ParseBytes(seed, SingleFileSeed(-5, 16384, 1)));
    // A failed parse leaves nothing that looks usable.
    EXPECT_EQ(seed.PieceCount(), 0u);
    EXPECT_TRUE(seed.PieceHashes().empty());
}

TEST(SeedParse, FailsOnDeepNestingInsteadOfRecursing) {
    CSeed seed;
    std::string deep;
    for (int i = 0; i < 100000; ++i) {
        deep += "l";
    }
    std::string s = "d" + B("x") + deep + "e" + B("pieces") + B(FakeHashes(1)) + "e";
    EXPECT_FALSE(ParseBytes(seed, s));
    seed.Clear();
    std::string dicts;
    for (int i = 0; i < 100000; ++i) {
        dicts += "d1:a";
    }
    EXPECT_FALSE(ParseBytes(seed, "d" + B("x") + dicts));
    seed.Clear();
    // Nesting of a sane depth is walked.
    std::string nested = "d" + B("x") + "lllli1eeeee" + B("info") + "d" + B("length") + I(10) +
                         B("piece length") + I(16384) + B("pieces") + B(FakeHashes(1)) + "ee";
    EXPECT_TRUE(ParseBytes(seed, nested));
}

TEST(SeedParse, ReadsTextsTrackersDateAndInfoPosition) {
    CSeed seed;
    std::string info = "d" + B("length") + I(10) + B("name") + B("a:b?c") + B("piece length") + I(16384) +
                       B("pieces") + B(FakeHashes(1)) + "e";
    std::string s = "d" + B("adurl") + B("http://ads/x") + B("announce") + B("http://t1/announce") +
                    B("announce-list") + "ll" + B("http://t2") + B("udp://t3:99") + "el" + B("http://t4") +
                    "ee" + B("creation date") + B("1234567890") + B("encoding") + B("GBK") + B("info") +
                    info + "e";
    ASSERT_TRUE(ParseBytes(seed, s));
    EXPECT_EQ(seed.Name(), "a b c");
    EXPECT_EQ(seed.PrimaryTracker(), "http://t1/announce");
    EXPECT_EQ(seed.Trackers(),
              (std::vector<std::string>{"http://t1/announce", "http://t2", "udp://t3:99", "http://t4"}));
    EXPECT_EQ(seed.AdUrl(), "http://ads/x");
    EXPECT_EQ(seed.CreationDate(), 1234567890u);
    EXPECT_EQ(seed.Encoding(), kSeedGbk);
    auto infoBytes = seed.InfoBytes();
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(infoBytes.data()), infoBytes.size()), info);
    EXPECT_EQ(seed.FileCount(), 0u);
    EXPECT_EQ(seed.FileName(0), "a b c");
    EXPECT_EQ(seed.FileLength(0), 10);

    // Every forbidden character becomes a space.
    seed.Clear();
    ASSERT_TRUE(ParseBytes(seed, SingleFileSeed(10, 16384, 1, "http://x", "?/\\|:*<>\"")));
    EXPECT_EQ(seed.Name(), "         ");
}

TEST(SeedParse, DecodesNamesFromTheDeclaredEncoding) {
    auto seedWith = [](const std::string& encoding, const std::string& name, const std::string& utf8Name) {
        std::string s = "d";
        if (!encoding.empty()) {
            s += B("encoding") + B(encoding);
        }
        s += B("info") + "d" + B("length") + I(10) + B("name") + B(name);
        if (!utf8Name.empty()) {
            s += B("name.utf-8") + B(utf8Name);
        }
        return s + B("piece length") + I(16384) + B("pieces") + B(FakeHashes(1)) + "ee";
    };
    const std::string zhUtf8 = "\xE4\xB8\xAD\xE6\x96\x87";
    CSeed seed;
    ASSERT_TRUE(ParseBytes(seed, seedWith("GBK", "\xD6\xD0\xCE\xC4.bin", "")));
    EXPECT_EQ(seed.Name(), zhUtf8 + ".bin");
    seed.Clear();
    ASSERT_TRUE(ParseBytes(seed, seedWith("", "\xD6\xD0\xCE\xC4", "")));  // absent: GBK
    EXPECT_EQ(seed.Name(), zhUtf8);
    seed.Clear();
    ASSERT_TRUE(ParseBytes(seed, seedWith("Big5", "\xA4\xA4\xA4\xE5", "")));
    EXPECT_EQ(seed.Encoding(), kSeedBig5);
    EXPECT_EQ(seed.Name(), zhUtf8);
    seed.Clear();
    ASSERT_TRUE(ParseBytes(seed, seedWith("UTF-8", zhUtf8, "")));
    EXPECT_EQ(seed.Encoding(), kSeedUtf8);
    EXPECT_EQ(seed.Name(), zhUtf8);
    seed.Clear();
    // "name.utf-8" replaces the name unless the seed is GBK; the comparison is case-sensitive.
    ASSERT_TRUE(ParseBytes(seed, seedWith("Big5", "\xA4\xA4", zhUtf8 + "?")));
    EXPECT_EQ(seed.Name(), zhUtf8 + " ");
    seed.Clear();
    ASSERT_TRUE(ParseBytes(seed, seedWith("GBK", "\xD6\xD0", zhUtf8)));
    EXPECT_EQ(seed.Name(), "\xE4\xB8\xAD");
    seed.Clear();
    ASSERT_TRUE(ParseBytes(seed, seedWith("utf-8", "\xD6\xD0", "")));
    EXPECT_EQ(seed.Encoding(), kSeedGbk);
}

std::string MultiFileSeed(const std::string& filesList, int64_t total, const std::string& encoding = "GBK") {
    uint32_t pieces = static_cast<uint32_t>((total + 16383) / 16384);
    return "d" + B("encoding") + B(encoding) + B("info") + "d" + B("files") + filesList + B("name") +
           B("top") + B("piece length") + I(16384) + B("pieces") + B(FakeHashes(pieces)) + "ee";
}

std::string FileEntry(const std::vector<std::string>& path, int64_t length) {
    std::string s = "d" + B("length") + I(length) + B("md5sum") + B("ignored") + B("path") + "l";
    for (const auto& p : path) {
        s += B(p);
    }
    return s + "ee";
}

TEST(SeedParse, ListsTheFilesOfAMultiFileSeed) {
    CSeed seed;
    std::string files = "l" + FileEntry({"a.txt"}, 100) + FileEntry({"sub", "b.bin"}, 40000) +
                        FileEntry({"\x81\x5C.dat"}, 0) + "e";
    ASSERT_TRUE(ParseBytes(seed, MultiFileSeed(files, 40100)));
    ASSERT_EQ(seed.FileCount(), 3u);
    EXPECT_EQ(seed.TotalLength(), 40100);
    EXPECT_EQ(seed.FileName(0), "top/a.txt");
    EXPECT_EQ(seed.FileLength(0), 100);
    EXPECT_EQ(seed.FileName(1), "top/sub/b.bin");
    EXPECT_EQ(seed.FileLength(1), 40000);
    // A GBK character whose second byte is 0x5C ('\') is one character, not a separator.
    EXPECT_EQ(seed.FileName(2), "top/\xE4\xB9\x97.dat");
    EXPECT_EQ(seed.FileName(3), "top");
    EXPECT_EQ(seed.FileLength(3), 40100);

    seed.Clear();
    std::string utf8 = "l" + FileEntry({"\xE4\xB8\xAD", "x"}, 5) + "e";
    ASSERT_TRUE(ParseBytes(seed, MultiFileSeed(utf8, 5, "UTF-8")));
    EXPECT_EQ(seed.FileName(0), "top/\xE4\xB8\xAD/x");
}

TEST(SeedParse, RefusesPathsThatLeaveTheTaskFolder) {
    const std::vector<std::vector<std::string>> bad = {
        {".."},
        {"sub", "..", "x"},
        {"."},
        {""},
        {"a/b"},
        {"a\\b"},
        {"..", "etc", "passwd"},
        {std::string("a\0b", 3)},
        {},
    };
    for (const auto& path : bad) {
        CSeed seed;
        std::string files = "l" + FileEntry({"ok.txt"}, 10) + FileEntry(path, 10) + "e";
        EXPECT_FALSE(ParseBytes(seed, MultiFileSeed(files, 20))) << "element count " << path.size();
        EXPECT_EQ(seed.FileCount(), 0u);
    }
    // Names that are only dots would make the task folder's parent the content folder.
    for (const char* name : {".", ".."}) {
        CSeed seed;
        EXPECT_FALSE(ParseBytes(seed, SingleFileSeed(10, 16384, 1, "http://x", name))) << name;
    }
    // A file entry without a path or a length, or with a negative length, is refused too.
    CSeed seed;
    EXPECT_FALSE(ParseBytes(seed, MultiFileSeed("l" + std::string("d") + B("length") + I(5) + "ee", 5)));
    seed.Clear();
    EXPECT_FALSE(ParseBytes(seed, MultiFileSeed("l" + FileEntry({"x"}, -1) + "e", 5)));
}

TEST(SeedIdentity, NativeSeedsUseThePiecesAndOthersTheInfoDictionary) {
    const std::string engineUrl = "http://127.0.0.1:6970";
    CSeed native;
    ASSERT_TRUE(ParseBytes(native, SingleFileSeed(20000, 16384, 2, engineUrl + "/announce")));
    std::string hashes = FakeHashes(2);
    TaskHash piecesHash{Sha1Of(Bytes(hashes))};
    EXPECT_TRUE(native.IsNative(engineUrl));
    EXPECT_EQ(native.TaskId(engineUrl), piecesHash);
    EXPECT_TRUE(native.MatchesTask(piecesHash));
    EXPECT_FALSE(native.MatchesTask(TaskHash{}));

    CSeed foreign;
    std::string bytes = SingleFileSeed(20000, 16384, 2, "http://tracker.example/announce");
    ASSERT_TRUE(ParseBytes(foreign, bytes));
    EXPECT_FALSE(foreign.IsNative(engineUrl));
    size_t infoStart = bytes.find("4:infod") + 6;
    std::string info = bytes.substr(infoStart, bytes.size() - 1 - infoStart);
    EXPECT_EQ(foreign.TaskId(engineUrl), TaskHash{Sha1Of(Bytes(info))});
    EXPECT_NE(foreign.TaskId(engineUrl), piecesHash);
    // A download asked for by the hash a share of the foreign seed announces accepts that seed.
    EXPECT_TRUE(foreign.MatchesTask(foreign.TaskId(engineUrl)));
    EXPECT_FALSE(foreign.MatchesTask(TaskHash{}));
}

TEST(SeedStorage, KeepsSavesAndLoadsTheRawBytes) {
    test::TempDir dir;
    const std::string bytes = SingleFileSeed(20000, 16384, 2);
    CSeed seed(dir.File("k.torrent"));
    EXPECT_FALSE(seed.Exists());
    EXPECT_FALSE(seed.LoadFromDisk());
    EXPECT_FALSE(seed.KeepReceived({}));
    ASSERT_TRUE(seed.KeepReceived(Bytes(bytes)));
    // Bytes of another length than the seed already held are refused; the same length replaces.
    EXPECT_FALSE(seed.KeepReceived(Bytes(bytes + "x")));
    ASSERT_TRUE(seed.KeepReceived(Bytes(bytes)));
    ASSERT_TRUE(seed.Save());
    EXPECT_TRUE(seed.Exists());
    EXPECT_EQ(test::ReadFile(dir.File("k.torrent")), bytes);

    CSeed again(dir.File("k.torrent"));
    ASSERT_TRUE(again.LoadFromDisk());
    EXPECT_EQ(again.PieceCount(), 2u);
    auto raw = again.RawBytes();
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(raw.data()), raw.size()), bytes);
    again.Clear();
    EXPECT_FALSE(again.HasBytes());
    EXPECT_EQ(again.PieceCount(), 0u);
    EXPECT_TRUE(again.Trackers().empty());
    EXPECT_TRUE(again.InfoBytes().empty());

    test::WriteFile(dir.File("empty.torrent"), "");
    EXPECT_FALSE(CSeed(dir.File("empty.torrent")).LoadFromDisk());
    test::WriteFile(dir.File("junk.torrent"), "not a seed");
    EXPECT_FALSE(CSeed(dir.File("junk.torrent")).LoadFromDisk());
}

}  // namespace
}  // namespace tessali::core
