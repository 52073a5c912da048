// A downloading `mirt get` killed hard (SIGKILL) again and again: at moments drawn from a seeded
// random source (printed, and replayed with TESSALI_KILL_SEED), through start-up, seed arrival,
// file creation and piece writes. After every kill the resume record on disk must claim only
// pieces whose bytes are really in the temporary file, must keep every piece it claimed before,
// and the next run must start from it and fetch nothing but what was missing (less the pieces
// that were in progress). The seeder's answers go through a throttling relay so that the
// download lasts long enough for twenty kills. A second case stops the process between the last
// piece and the final rename.
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "common/tcp_relay.h"
#include "common/temp_dir.h"
#include "integration/mirt_runs.h"

namespace tessali::test {
namespace {

constexpr size_t kContent = 24u << 20;
constexpr int64_t kPieceLength = 64 * 1024;  // what the seed builder picks for 24 MiB
constexpr uint32_t kPieces = kContent / kPieceLength;
constexpr int kKills = 20;
// Piece bytes a run may hold unverified at any moment: its two request slots cover one piece
// each, and a piece may be complete but not yet written when the progress line is taken.
constexpr int64_t kInProgressBound = 4 * kPieceLength;

struct ProgressLine {
    int64_t have = -1;
    int64_t total = -1;
    int64_t received = -1;
};

ProgressLine ParseProgress(const std::string& line) {
    ProgressLine p;
    if (line.rfind("progress ", 0) != 0) {
        return p;
    }
    long long have = 0;
    long long total = 0;
    if (std::sscanf(line.c_str(), "progress %lld/%lld", &have, &total) == 2) {
        p.have = have;
        p.total = total;
    }
    p.received = NumberAfter(line, " received ");
    return p;
}

std::vector<ProgressLine> ProgressOf(const std::vector<std::string>& lines) {
    std::vector<ProgressLine> out;
    for (const std::string& l : lines) {
        ProgressLine p = ParseProgress(l);
        if (p.have >= 0 && p.received >= 0) {
            out.push_back(p);
        }
    }
    return out;
}

uint32_t Seed() {
    if (const char* text = std::getenv("TESSALI_KILL_SEED")) {
        return static_cast<uint32_t>(std::strtoul(text, nullptr, 10));
    }
    return std::random_device{}();
}

class KillResume : public ::testing::Test {
protected:
    void SetUp() override {
        m_source = m_tmp.File("content.bin");
        WriteRandomFile(m_source, kContent, 21);
        m_sourceBytes = ReadFile(m_source);
        m_seeder = StartSeeder(m_tmp, "seed", m_source);
        ASSERT_EQ(m_seeder.hash.size(), 40u) << m_seeder.mirt->Errors();
        m_getter = std::make_unique<CEngineProcess>(m_tmp.Path() + "get/", FreeTcpUdpPort());
        m_dest = m_getter->Dir() + "out.bin";
        m_record = m_getter->DataFolder() + TaskKeyOf(m_dest) + ".mem";
    }

    std::vector<std::string> GetArgs(uint16_t port) const {
        return {"get",           m_seeder.hash, m_dest, "--peer", "127.0.0.1:" + std::to_string(port),
                "--progress-ms", "20"};
    }

    // The record left by a kill: every piece it claims holds the source's bytes in the
    // temporary file; its byte count matches its pieces. Returns the claimed pieces.
    std::set<uint32_t> CheckRecordAgainstContent(int kill) {
        std::set<uint32_t> claimed;
        ResumeRecordFile rec = ReadResumeRecord(m_record, kPieces);
        if (!fs::exists(m_record)) {
            return claimed;
        }
        EXPECT_TRUE(rec.valid) << "kill " << kill << ": the record has " << fs::file_size(m_record)
                               << " bytes";
        if (!rec.valid) {
            return claimed;
        }
        EXPECT_EQ(rec.size, static_cast<int64_t>(kContent)) << "kill " << kill;
        EXPECT_EQ(rec.verified, static_cast<int64_t>(rec.Count()) * kPieceLength) << "kill " << kill;
        std::string temp = ReadFile(m_dest + ".!mt");
        for (uint32_t i = 0; i < kPieces; ++i) {
            if (!rec.Has(i)) {
                continue;
            }
            claimed.insert(i);
            const size_t at = static_cast<size_t>(i) * kPieceLength;
            bool same = temp.size() >= at + kPieceLength &&
                        temp.compare(at, kPieceLength, m_sourceBytes, at, kPieceLength) == 0;
            EXPECT_TRUE(same) << "kill " << kill << ": piece " << i
                              << " is claimed but its bytes are not there";
        }
        return claimed;
    }

    TempDir m_tmp;
    std::string m_source;
    std::string m_sourceBytes;
    Seeder m_seeder;
    std::unique_ptr<CEngineProcess> m_getter;
    std::string m_dest;
    std::string m_record;
};

TEST_F(KillResume, TwentyHardKillsAtRandomMomentsEachRestartKeepsWhatWasVerified) {
    const uint32_t seed = Seed();
    std::printf("kill moments drawn with seed %u (TESSALI_KILL_SEED=%u replays them)\n", seed, seed);
    std::fflush(stdout);
    RecordProperty("kill_seed", std::to_string(seed));
    std::mt19937 rng(seed);
    // Start-up and seed arrival take some 100 ms: the range covers them and piece writes.
    std::uniform_int_distribution<int> delayMs(0, 900);
    CTcpRelay relay(m_seeder.port, {.downBytesPerSecond = 3 << 19});  // 1.5 MiB/s

    std::set<uint32_t> verified;  // what the record held after the previous kill
    int64_t receivedInAll = 0;
    for (int kill = 1; kill <= kKills; ++kill) {
        SCOPED_TRACE("kill " + std::to_string(kill) + ", seed " + std::to_string(seed));
        const int delay = delayMs(rng);
        m_getter->Start(GetArgs(relay.Port()));
        std::this_thread::sleep_for(std::chrono::milliseconds(delay));
        ASSERT_TRUE(m_getter->Running()) << "the run ended before its kill: " << m_getter->LogTail();
        m_getter->KillHard();

        std::set<uint32_t> now = CheckRecordAgainstContent(kill);
        for (uint32_t piece : verified) {
            ASSERT_TRUE(now.count(piece)) << "piece " << piece << " was verified before and is lost now";
        }
        std::vector<ProgressLine> progress = ProgressOf(m_getter->Lines());
        int64_t newlyVerified = static_cast<int64_t>(now.size() - verified.size()) * kPieceLength;
        if (!progress.empty()) {
            // The run started from the record, and took in little beyond what it verified.
            if (!verified.empty()) {
                EXPECT_EQ(progress.front().have, static_cast<int64_t>(verified.size()) * kPieceLength);
            }
            const ProgressLine& last = progress.back();
            int64_t waste = last.received - (last.have - progress.front().have);
            EXPECT_LE(waste, kInProgressBound) << "received " << last.received << " have " << last.have;
            receivedInAll += last.received;
        }
        std::printf("kill %2d after %3d ms: %3zu of %u pieces verified (+%" PRId64 " bytes)\n", kill, delay,
                    now.size(), kPieces, newlyVerified);
        verified = std::move(now);
    }
    ASSERT_LT(verified.size(), kPieces) << "the download ended before the last kill";

    m_getter->Start(GetArgs(relay.Port()));
    ASSERT_EQ(m_getter->Wait(120), 0) << m_getter->LogTail();
    EXPECT_EQ(Sha1OfFile(m_dest), Sha1OfFile(m_source));
    EXPECT_FALSE(fs::exists(m_dest + ".!mt"));
    std::vector<std::string> lines = m_getter->Lines();
    std::vector<ProgressLine> progress = ProgressOf(lines);
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.front().have, static_cast<int64_t>(verified.size()) * kPieceLength);
    const int64_t missing = static_cast<int64_t>(kContent) - progress.front().have;
    const int64_t received = ClosingReceived(lines);
    EXPECT_GE(received, missing);
    EXPECT_LE(received, missing + kInProgressBound);
    receivedInAll += received;
    // Over all runs: the content once, plus at most the pieces in progress at each kill.
    std::printf("received %" PRId64 " piece bytes in all for %zu bytes of content\n", receivedInAll,
                kContent);
    EXPECT_LE(receivedInAll, static_cast<int64_t>(kContent) + (kKills + 1) * kInProgressBound);
}

// The record is saved complete before the content file takes its final name: a stop between the
// two leaves a complete record beside the ".!mt" file. The next run must finish the rename.
TEST_F(KillResume, AStopBetweenTheLastPieceAndTheRenameIsFinishedByTheNextRun) {
    m_getter->Start(GetArgs(m_seeder.port));
    ASSERT_EQ(m_getter->Wait(60), 0) << m_getter->LogTail();
    ASSERT_EQ(Sha1OfFile(m_dest), Sha1OfFile(m_source));
    fs::rename(m_dest, m_dest + ".!mt");
    ASSERT_EQ(ReadResumeRecord(m_record, kPieces).Count(), kPieces);

    m_getter->Start(GetArgs(m_seeder.port));
    ASSERT_EQ(m_getter->Wait(30), 0) << m_getter->LogTail();
    EXPECT_TRUE(fs::exists(m_dest));
    EXPECT_FALSE(fs::exists(m_dest + ".!mt"));
    EXPECT_EQ(Sha1OfFile(m_dest), Sha1OfFile(m_source));
    EXPECT_EQ(ClosingReceived(m_getter->Lines()), 0);
}

}  // namespace
}  // namespace tessali::test
