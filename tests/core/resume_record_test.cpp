#include "engine/core/resume_record.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>

#include "common/log_capture.h"
#include "common/temp_dir.h"
#include "core/seed_test_util.h"
#include "engine/core/mirt_file.h"
#include "engine/platform/file.h"

namespace tessali::core {
namespace {

std::string Le64(uint64_t v) {
    std::string s;
    for (int i = 0; i < 8; ++i) {
        s.push_back(static_cast<char>(v >> (8 * i)));
    }
    return s;
}

TEST(ResumeRecord, FullRecordOfTenPiecesHasTheDocumentedBytes) {
    test::TempDir dir;
    CResumeRecord record(dir.File("k.mem"));
    record.CreateFull(100, 1000);
    EXPECT_EQ(record.PieceCount(), 10u);
    EXPECT_EQ(record.BitfieldLength(), 2u);
    EXPECT_TRUE(record.HasPiece(9));
    EXPECT_FALSE(record.HasPiece(10));
    EXPECT_EQ(record.VerifiedBytes(), 1000);
    EXPECT_TRUE(record.IsComplete());
    EXPECT_FALSE(record.Exists());  // nothing written yet
    ASSERT_TRUE(record.Save());
    EXPECT_EQ(test::ReadFile(dir.File("k.mem")), Le64(1000) + "\xFF\xC0" + Le64(1000));
}

TEST(ResumeRecord, LoadCreatesSavesAndReadsBack) {
    test::TempDir dir;
    CResumeRecord record(dir.File("k.mem"));
    EXPECT_FALSE(record.Load(0, 16384));
    EXPECT_FALSE(record.Load(1000, 0));
    ASSERT_TRUE(record.Load(40000, 16384));  // 3 pieces: 16384, 16384, 7232
    EXPECT_TRUE(record.Exists());
    EXPECT_EQ(test::ReadFile(dir.File("k.mem")), Le64(40000) + std::string(1, '\0') + Le64(0));
    EXPECT_FALSE(record.IsComplete());

    EXPECT_TRUE(record.MarkPieceVerified(2));
    EXPECT_FALSE(record.MarkPieceVerified(2));  // counted once
    EXPECT_FALSE(record.MarkPieceVerified(3));
    EXPECT_EQ(record.VerifiedBytes(), 7232);
    EXPECT_EQ(record.PiecesSetSinceLoad(), 1u);
    ASSERT_TRUE(record.Save());

    CResumeRecord again(dir.File("k.mem"));
    ASSERT_TRUE(again.Load(40000, 16384));
    EXPECT_TRUE(again.HasPiece(2));
    EXPECT_FALSE(again.HasPiece(0));
    EXPECT_EQ(again.VerifiedBytes(), 7232);
    EXPECT_EQ(again.PiecesSetSinceLoad(), 0u);
    EXPECT_TRUE(again.MarkPieceVerified(0));
    EXPECT_TRUE(again.MarkPieceVerified(1));
    EXPECT_TRUE(again.IsComplete());

    again.Remove();
    EXPECT_FALSE(again.Exists());
    EXPECT_EQ(again.VerifiedBytes(), 0);
    EXPECT_FALSE(again.HasPiece(0));
}

// Saves after the first overwrite the record in place; whatever happened to the file meanwhile
// (deleted, replaced by another file, cut short), the next save leaves the record at its path.
TEST(ResumeRecord, ASaveLandsAtItsPathWhateverHappenedToTheFileMeanwhile) {
    test::TempDir dir;
    const std::string path = dir.File("k.mem");
    CResumeRecord record(path);
    ASSERT_TRUE(record.Load(5 * 16384, 16384));
    auto saved = [&] {
        std::vector<uint8_t> bytes = record.FileBytes();
        return test::ReadFile(path) == std::string(bytes.begin(), bytes.end());
    };
    record.MarkPieceVerified(0);
    ASSERT_TRUE(record.Save());
    record.MarkPieceVerified(1);
    ASSERT_TRUE(record.Save());
    EXPECT_TRUE(saved());

    ASSERT_EQ(::unlink(path.c_str()), 0);
    record.MarkPieceVerified(2);
    ASSERT_TRUE(record.Save());
    EXPECT_TRUE(saved()) << "after a delete";

    test::WriteFile(dir.File("other"), std::string(record.FileBytes().size(), 'x'));
    ASSERT_EQ(::rename(dir.File("other").c_str(), path.c_str()), 0);
    record.MarkPieceVerified(3);
    ASSERT_TRUE(record.Save());
    EXPECT_TRUE(saved()) << "after a replacement";

    ASSERT_EQ(::truncate(path.c_str(), 3), 0);
    record.MarkPieceVerified(4);
    ASSERT_TRUE(record.Save());
    EXPECT_TRUE(saved()) << "after a cut";

    CResumeRecord again(path);
    ASSERT_TRUE(again.Load(5 * 16384, 16384));
    EXPECT_TRUE(again.IsComplete());
    again.Remove();
    EXPECT_FALSE(again.Exists());
}

TEST(ResumeRecord, RefusesRecordsThatDoNotFitOrWhoseBitsAndTrailerDisagree) {
    test::TempDir dir;
    const std::string path = dir.File("k.mem");
    CResumeRecord record(path);
    test::WriteFile(path, "");
    EXPECT_FALSE(record.Load(1000, 100));
    test::WriteFile(path, Le64(1000) + "\xFF\xC0" + Le64(1000) + "x");  // one byte too many
    EXPECT_FALSE(record.Load(1000, 100));
    test::WriteFile(path, Le64(1000) + "\xFF\xC0" + Le64(1000).substr(0, 7));  // torn
    EXPECT_FALSE(record.Load(1000, 100));
    test::WriteFile(path, Le64(999) + "\xFF\xC0" + Le64(999));  // another content
    EXPECT_FALSE(record.Load(1000, 100));

    // Bits and trailer are saved together: when they disagree the record was damaged on disk,
    // and neither a trailer claiming everything nor a piece bit claiming too much is believed.
    test::WriteFile(path, Le64(1000) + std::string("\xA0\x00", 2) + Le64(1000));
    EXPECT_FALSE(record.Load(1000, 100));
    EXPECT_FALSE(record.IsComplete());
    EXPECT_EQ(record.Pieces().Count(), 0u);
    test::WriteFile(path, Le64(1000) + std::string("\xE0\x00", 2) + Le64(200));  // a bit flipped on
    EXPECT_FALSE(record.Load(1000, 100));
    EXPECT_FALSE(record.HasPiece(2));
    // Spare bits past the last piece are not pieces either.
    test::WriteFile(path, Le64(1000) + std::string("\x00\x3F", 2) + Le64(0));
    EXPECT_FALSE(record.Load(1000, 100));
    EXPECT_EQ(record.Pieces().Count(), 0u);
    test::WriteFile(path, Le64(1000) + std::string("\xA0\x00", 2) + Le64(200));
    ASSERT_TRUE(record.Load(1000, 100));
    EXPECT_EQ(record.VerifiedBytes(), 200);
    // The last, shorter piece counts its own length.
    test::WriteFile(path, Le64(950) + std::string("\x00\x40", 2) + Le64(50));
    ASSERT_TRUE(record.Load(950, 100));
    EXPECT_EQ(record.VerifiedBytes(), 50);
}

TEST(ResumeRecord, ClearingFromAPositionDropsEveryPieceThatReachesPastIt) {
    test::TempDir dir;
    CResumeRecord record(dir.File("k.mem"));
    ASSERT_TRUE(record.Load(950, 100));
    for (uint32_t i = 0; i < 10; ++i) {
        record.MarkPieceVerified(i);
    }
    ASSERT_TRUE(record.IsComplete());
    // Bytes from 350 on are gone: piece 3 (300..399) is no longer whole, nor anything after it.
    EXPECT_EQ(record.ClearPiecesFrom(350), 7u);
    EXPECT_TRUE(record.HasPiece(2));
    EXPECT_FALSE(record.HasPiece(3));
    EXPECT_FALSE(record.HasPiece(9));
    EXPECT_EQ(record.VerifiedBytes(), 300);
    // A cut on a piece boundary keeps the piece before it; a cut past the end keeps all.
    EXPECT_EQ(record.ClearPiecesFrom(200), 1u);
    EXPECT_TRUE(record.HasPiece(1));
    EXPECT_EQ(record.ClearPiecesFrom(5000), 0u);
    EXPECT_EQ(record.VerifiedBytes(), 200);
    ASSERT_TRUE(record.Save());
    CResumeRecord again(dir.File("k.mem"));
    ASSERT_TRUE(again.Load(950, 100));
    EXPECT_EQ(again.VerifiedBytes(), 200);
}

TEST(ResumeRecord, ClampsAndLogsVerifiedBytesAboveTheSize) {
    test::TempDir dir;
    CResumeRecord record(dir.File("k.mem"));
    ASSERT_TRUE(record.Load(1000, 100));
    record.AddVerified(600);
    EXPECT_FALSE(record.IsComplete());
    record.AddVerified(600);
    EXPECT_EQ(record.VerifiedBytes(), 1200);
    EXPECT_TRUE(record.IsComplete());
    EXPECT_EQ(record.VerifiedBytes(), 1000);
}

// A writer process that stores pieces and saves the record after each, killed at random moments:
// every record left behind loads, and every piece it claims holds the bytes that were written.
TEST(ResumeRecord, AKillNeverLeavesATornRecordOrAClaimWithoutBytes) {
    test::TempDir dir;
    const uint32_t pieceLength = 4096;
    const uint32_t pieces = 20000;  // a 2.5 KB bitfield widens the window a torn write would need
    const int64_t size = static_cast<int64_t>(pieceLength) * pieces;
    std::mt19937 rng(1234);
    for (int round = 0; round < 12; ++round) {
        const std::string content = dir.File("c" + std::to_string(round) + ".bin");
        const std::string mem = dir.File("c" + std::to_string(round) + ".mem");
        pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            CMirtFile file(content, size, false);
            CResumeRecord record(mem);
            if (!record.Load(size, pieceLength)) {
                ::_exit(3);
            }
            std::vector<uint8_t> block(pieceLength);
            for (uint32_t i = 0; i < pieces; ++i) {
                uint32_t piece = (i * 7919u) % pieces;
                std::fill(block.begin(), block.end(), static_cast<uint8_t>(piece * 31 + 1));
                if (file.WriteAt(static_cast<int64_t>(piece) * pieceLength, block) != pieceLength) {
                    ::_exit(4);
                }
                record.MarkPieceVerified(piece);
                record.Save();
            }
            ::_exit(0);
        }
        ::usleep(20000 + static_cast<useconds_t>(rng() % 150000));
        ::kill(child, SIGKILL);
        int status = 0;
        ::waitpid(child, &status, 0);
        ASSERT_FALSE(WIFEXITED(status) && WEXITSTATUS(status) != 0) << "writer failed on its own";

        CResumeRecord record(mem);
        ASSERT_TRUE(record.Load(size, pieceLength)) << "round " << round;
        platform::File file;
        if (!file.Open(content + ".!mt", platform::File::kRead)) {
            // Killed before the first write made the content file (a loaded machine is slow to
            // start the writer): then nothing may be claimed.
            EXPECT_EQ(record.Pieces().Count(), 0u) << "round " << round;
            continue;
        }
        std::vector<uint8_t> block(pieceLength);
        uint32_t claimed = 0;
        for (uint32_t piece = 0; piece < pieces; ++piece) {
            if (!record.HasPiece(piece)) {
                continue;
            }
            ++claimed;
            ASSERT_EQ(file.ReadAt(static_cast<int64_t>(piece) * pieceLength, block), pieceLength);
            ASSERT_EQ(block[0], static_cast<uint8_t>(piece * 31 + 1)) << "piece " << piece;
            ASSERT_EQ(block[pieceLength - 1], static_cast<uint8_t>(piece * 31 + 1)) << "piece " << piece;
        }
        EXPECT_EQ(record.VerifiedBytes(), static_cast<int64_t>(claimed) * pieceLength);
    }
}

}  // namespace
}  // namespace tessali::core
