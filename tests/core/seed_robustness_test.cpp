// Damaged seeds: every truncation of valid seeds and many random mutations must parse or fail
// cleanly (run under AddressSanitizer in the sanitizer build), and whatever parses must be
// internally consistent so that later code can index pieces and files safely.
#include <gtest/gtest.h>

#include <random>

#include "core/seed_test_util.h"
#include "engine/core/seed.h"
#include "engine/core/seed_builder.h"

namespace tessali::core {
namespace {

using test::B;
using test::FakeHashes;
using test::I;

std::vector<std::string> ValidSeeds() {
    std::string multi = "d" + B("announce") + B("http://127.0.0.1:6970") + B("announce-list") + "ll" +
                        B("http://a") + "el" + B("udp://b:1") + "ee" + B("creation date") + B("1234567890") +
                        B("encoding") + B("UTF-8") + B("info") + "d" + B("files") + "ld" + B("length") +
                        I(20000) + B("path") + "l" + B("\xE4\xB8\xAD") + B("a.bin") + "eed" + B("length") +
                        I(13000) + B("path") + "l" + B("b") + "eee" + B("name") + B("top") + B("name.utf-8") +
                        B("t\xC3\xB6p") + B("piece length") + I(16384) + B("pieces") + B(FakeHashes(3)) +
                        "ee";
    std::string built =
        SeedBytes(40000, "pack.data", 16384, FakeHashes(3), "http://127.0.0.1:6970", "ad", 99);
    return {multi, built, test::SingleFileSeed(20000, 16384, 2)};
}

void CheckConsistent(const CSeed& seed) {
    ASSERT_GT(seed.PieceCount(), 0u);
    ASSERT_GT(seed.PieceLength(), 0u);
    EXPECT_EQ(seed.PieceHashes().size(), static_cast<size_t>(seed.PieceCount()) * 20);
    auto raw = seed.RawBytes();
    auto hashes = seed.PieceHashes();
    EXPECT_GE(hashes.data(), raw.data());
    EXPECT_LE(hashes.data() + hashes.size(), raw.data() + raw.size());
    auto info = seed.InfoBytes();
    if (!info.empty()) {
        EXPECT_LE(info.data() + info.size(), raw.data() + raw.size());
    }
    int64_t total = 0;
    for (size_t i = 0; i < seed.FileCount(); ++i) {
        total += seed.FileLength(i);
        const std::string& path = seed.Files()[i].path;
        EXPECT_EQ(path.find("/../"), std::string::npos);
        EXPECT_FALSE(path.size() >= 3 && path.compare(path.size() - 3, 3, "/..") == 0);
        EXPECT_EQ(path.find("//"), std::string::npos);
    }
    if (seed.IsMultiFile()) {
        EXPECT_EQ(total, seed.TotalLength());
    }
    uint64_t needed =
        (static_cast<uint64_t>(seed.TotalLength()) + seed.PieceLength() - 1) / seed.PieceLength();
    EXPECT_EQ(needed, seed.PieceCount());
    (void)seed.PiecesHash();
    (void)seed.InfoHash();
}

TEST(SeedRobustness, EveryTruncationParsesOrFailsCleanly) {
    for (const std::string& valid : ValidSeeds()) {
        CSeed whole;
        ASSERT_TRUE(test::ParseBytes(whole, valid));
        for (size_t cut = 1; cut < valid.size(); ++cut) {
            CSeed seed;
            // Exactly sized buffers make any read past the end visible to the sanitizer.
            std::vector<uint8_t> bytes(valid.begin(), valid.begin() + static_cast<std::ptrdiff_t>(cut));
            ASSERT_TRUE(seed.KeepReceived(bytes));
            EXPECT_FALSE(seed.Parse()) << "a seed cut to " << cut << " bytes still parsed";
        }
    }
}

TEST(SeedRobustness, RandomMutationsParseOrFailCleanly) {
    std::mt19937 rng(20261208);
    const char kInteresting[] = "0123456789:deil-";
    int parsed = 0;
    for (const std::string& valid : ValidSeeds()) {
        for (int round = 0; round < 4000; ++round) {
            std::string bytes = valid;
            int edits = 1 + static_cast<int>(rng() % 4);
            for (int e = 0; e < edits; ++e) {
                size_t at = rng() % bytes.size();
                switch (rng() % 4) {
                    case 0:
                        bytes[at] = static_cast<char>(rng() & 0xFF);
                        break;
                    case 1:
                        bytes[at] = kInteresting[rng() % (sizeof(kInteresting) - 1)];
                        break;
                    case 2:
                        bytes.erase(at, 1 + rng() % 8);
                        break;
                    default:
                        bytes.insert(at, 1, kInteresting[rng() % (sizeof(kInteresting) - 1)]);
                        break;
                }
                if (bytes.empty()) {
                    bytes = "d";
                }
            }
            CSeed seed;
            ASSERT_TRUE(seed.KeepReceived(test::Bytes(bytes)));
            if (seed.Parse()) {
                ++parsed;
                CheckConsistent(seed);
            }
        }
    }
    // Some mutations (inside hashes or texts) keep a seed valid; all of them failing would mean
    // the walk rejects too much.
    EXPECT_GT(parsed, 100);
}

}  // namespace
}  // namespace tessali::core
