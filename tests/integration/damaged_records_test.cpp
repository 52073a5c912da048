// A seed file (".torrent") or resume record (".mem") found damaged when `mirt get` starts: cut
// short, grown, overwritten with random bytes, emptied, missing, huge, or claiming a piece that
// was never verified. The files come from a real download killed half-way (and from a complete
// one); each damage is applied to a fresh copy of them. The resume decision must take the row
// its table gives (seen in its log line), nothing may crash, and whatever it decides, the next
// download ends byte-identical: no unverified piece is ever taken as done.
#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>
#include <vector>

#include "common/tcp_relay.h"
#include "common/temp_dir.h"
#include "integration/mirt_runs.h"

namespace tessali::test {
namespace {

constexpr size_t kContent = 8u << 20;
constexpr uint32_t kPieceLength = 32 * 1024;  // what the seed builder picks for 8 MiB
constexpr uint32_t kPieces = kContent / kPieceLength;

void Overwrite(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string RandomBytes(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (char& c : s) {
        c = static_cast<char>(rng());
    }
    return s;
}

struct Damage {
    const char* name;
    std::function<void(const std::string& path)> apply;
    const char* logLine;  // the decision's line, after the file name
    bool keepsPieces;     // the run starts from the pieces of the record
};

void CutInHalf(const std::string& p) {
    fs::resize_file(p, fs::file_size(p) / 2);
}
void Grow(const std::string& p) {
    Overwrite(p, ReadFile(p) + RandomBytes(1000, 7));
}
void Randomise(const std::string& p) {
    Overwrite(p, RandomBytes(fs::file_size(p), 8));
}
void Empty(const std::string& p) {
    Overwrite(p, "");
}
void Remove(const std::string& p) {
    fs::remove(p);
}
// Sparse: the file system does not have to hold it.
void MakeHuge(const std::string& p) {
    fs::resize_file(p, 100u << 20);
}

class DamagedRecords : public ::testing::Test {
protected:
    void SetUp() override {
        m_source = m_tmp.File("content.bin");
        WriteRandomFile(m_source, kContent, 41);
        m_seeder = StartSeeder(m_tmp, "seed", m_source);
        ASSERT_EQ(m_seeder.hash.size(), 40u) << m_seeder.mirt->Errors();
        m_getter = std::make_unique<CEngineProcess>(m_tmp.Path() + "get/", FreeTcpUdpPort());
        m_dest = m_getter->Dir() + "out.bin";
        m_seed = m_getter->DataFolder() + TaskKeyOf(m_dest) + ".torrent";
        m_record = m_getter->DataFolder() + TaskKeyOf(m_dest) + ".mem";
        fs::create_directories(m_tmp.Path() + "kept/");
    }

    std::vector<std::string> GetArgs() const {
        return {"get", m_seeder.hash, m_dest, "--peer", "127.0.0.1:" + std::to_string(m_seeder.port)};
    }
    std::vector<std::string> Files() const { return {m_dest + ".!mt", m_dest, m_seed, m_record}; }
    // Keeps a copy of the task's files as they are now.
    void Keep() {
        for (const std::string& f : Files()) {
            std::string copy = m_tmp.Path() + "kept/" + fs::path(f).filename().string();
            fs::remove(copy);
            if (fs::exists(f)) {
                fs::copy_file(f, copy);
            }
        }
    }
    void Restore() {
        for (const std::string& f : Files()) {
            std::string copy = m_tmp.Path() + "kept/" + fs::path(f).filename().string();
            fs::remove(f);
            if (fs::exists(copy)) {
                fs::copy_file(copy, f);
            }
        }
    }
    // A download killed once it holds about 40 % of the pieces.
    void MakePartialDownload() {
        CTcpRelay relay(m_seeder.port, {.downBytesPerSecond = 4 << 20});
        m_getter->Start({"get", m_seeder.hash, m_dest, "--peer", "127.0.0.1:" + std::to_string(relay.Port()),
                         "--progress-ms", "20"});
        auto end = Clock::now() + std::chrono::seconds(30);
        while (Clock::now() < end && m_getter->Running() &&
               ReadResumeRecord(m_record, kPieces).Count() < kPieces * 2 / 5) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        m_getter->KillHard();
        m_partialPieces = ReadResumeRecord(m_record, kPieces).Count();
        ASSERT_GE(m_partialPieces, kPieces / 4);
        ASSERT_LT(m_partialPieces, kPieces);
        ASSERT_TRUE(fs::exists(m_dest + ".!mt"));
    }
    // Restores the kept files, damages one, runs a download to its end and checks the outcome.
    void RunDamaged(const std::string& target, const Damage& d, int64_t keptHave) {
        SCOPED_TRACE(std::string(d.name) + " " + fs::path(target).extension().string());
        Restore();
        d.apply(target);
        size_t logFrom = m_getter->Log().size();
        m_getter->Start(GetArgs());
        ASSERT_EQ(m_getter->Wait(60), 0) << m_getter->LogTail() << m_getter->Errors();
        EXPECT_EQ(Sha1OfFile(m_dest), Sha1OfFile(m_source));
        EXPECT_FALSE(fs::exists(m_dest + ".!mt"));
        std::string log = m_getter->Log().substr(logFrom);
        if (*d.logLine != '\0') {
            EXPECT_NE(log.find(std::string("out.bin ") + d.logLine), std::string::npos)
                << log.substr(0, 3000);
        }
        std::vector<std::string> lines = m_getter->Lines();
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(NumberAfter(lines.front(), "progress "), d.keepsPieces ? keptHave : 0);
    }

    TempDir m_tmp;
    std::string m_source;
    Seeder m_seeder;
    std::unique_ptr<CEngineProcess> m_getter;
    std::string m_dest;
    std::string m_seed;
    std::string m_record;
    uint32_t m_partialPieces = 0;
};

constexpr const char* kMemReset = "Tmp File and Seed Exist,Mem Not Exist or Load Failed,Reset Task!";
constexpr const char* kSeedReset = "Tmp File and Seed Exist,Load Seed Error and Reset Task!";

TEST_F(DamagedRecords, ADamagedResumeRecordBesideATempFileStartsTheTaskOver) {
    MakePartialDownload();
    Keep();
    // A record that claims one more piece than was verified, its byte count left as it was.
    auto claimAnother = [&](const std::string& p) {
        std::string bytes = ReadFile(p);
        ResumeRecordFile rec = ReadResumeRecord(p, kPieces);
        uint32_t missing = 0;
        while (rec.Has(missing)) {
            ++missing;
        }
        bytes[8 + missing / 8] = static_cast<char>(bytes[8 + missing / 8] | (0x80 >> (missing % 8)));
        Overwrite(p, bytes);
    };
    const std::vector<Damage> damages = {
        {"cut in half", CutInHalf, kMemReset, false},
        {"grown", Grow, kMemReset, false},
        {"random", Randomise, kMemReset, false},
        {"empty", Empty, kMemReset, false},
        {"missing", Remove, kMemReset, false},
        {"huge", MakeHuge, kMemReset, false},
        {"claiming an unverified piece", claimAnother, kMemReset, false},
        {"untouched", [](const std::string&) {}, "", true},
    };
    for (const Damage& d : damages) {
        RunDamaged(m_record, d, static_cast<int64_t>(m_partialPieces) * kPieceLength);
    }
}

TEST_F(DamagedRecords, ADamagedSeedFileBesideATempFileStartsTheTaskOver) {
    MakePartialDownload();
    Keep();
    // A sound seed of other content, built by the same program.
    const std::string other = m_tmp.File("other.bin");
    WriteRandomFile(other, kContent, 42);
    CEngineProcess builder(m_tmp.Path() + "builder/", FreeTcpUdpPort());
    builder.Start({"seed", "build", other, "--out", m_tmp.File("other.torrent")});
    ASSERT_EQ(builder.Wait(60), 0) << builder.Errors();
    const std::string otherSeed = ReadFile(m_tmp.File("other.torrent"));
    const std::vector<Damage> damages = {
        {"cut in half", CutInHalf, kSeedReset, false},
        {"random", Randomise, kSeedReset, false},
        {"empty", Empty, kSeedReset, false},
        {"huge", MakeHuge, kSeedReset, false},
        {"of other content", [&](const std::string& p) { Overwrite(p, otherSeed); },
         "Tmp File and Seed Exist,Hash Invalid,Reset Task!", false},
        {"missing", Remove, "Tmp File Exist,Seed Not Exist,Reset Task!", false},
    };
    for (const Damage& d : damages) {
        RunDamaged(m_seed, d, 0);
    }
}

TEST_F(DamagedRecords, DamagedFilesBesideAFinishedFileDownloadItAgain) {
    m_getter->Start(GetArgs());
    ASSERT_EQ(m_getter->Wait(60), 0) << m_getter->LogTail();
    Keep();
    const std::vector<Damage> records = {
        {"cut in half", CutInHalf, "Seed and File Exist,Mem disappear or Load Fail,Reset Task!", false},
        {"random", Randomise, "Seed and File Exist,Mem disappear or Load Fail,Reset Task!", false},
    };
    for (const Damage& d : records) {
        RunDamaged(m_record, d, 0);
    }
    const std::vector<Damage> seeds = {
        {"cut in half", CutInHalf, "File Exist,Load Seed Fail,Reset Task!", false},
        {"random", Randomise, "File Exist,Load Seed Fail,Reset Task!", false},
    };
    for (const Damage& d : seeds) {
        RunDamaged(m_seed, d, 0);
    }
}

}  // namespace
}  // namespace tessali::test
