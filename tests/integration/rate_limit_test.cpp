// The engine's transfer limits from the command line, on real mirt processes over loopback: a
// download held by --max-download and a seeder held by --max-upload both make progress, yet after
// several seconds have fetched far less of the file than an unlimited loopback transfer moves in
// one. The bounds are loose on purpose (a loaded machine only makes the limited runs slower);
// the achieved rates are measured by bench/rate_limit.sh. Bad limit values are refused.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/temp_dir.h"
#include "integration/mirt_runs.h"

namespace tessali::test {
namespace {

constexpr size_t kFile = 8u << 20;
constexpr int64_t kLimitKiB = 64;
// Several seconds at 64 KiB/s come to a few hundred KiB; an unheld transfer takes the whole file.
constexpr int64_t kBound = 3 << 20;

// The bytes the run's `n`th progress line reports, counting from the first line that knows the
// file's size (earlier ones come before the seed arrived); when the run ends sooner (complete),
// what its last line reported; -1 when it says nothing of the file for two minutes.
int64_t HaveAfterProgressLines(CEngineProcess& getter, size_t n) {
    auto end = Clock::now() + std::chrono::seconds(120);
    while (true) {
        bool running = getter.Running();
        size_t known = 0;
        int64_t last = -1;
        for (const std::string& line : getter.Lines()) {
            if (line.rfind("progress ", 0) != 0 ||
                (known == 0 && line.find("/0 bytes") != std::string::npos)) {
                continue;
            }
            last = NumberAfter(line, "progress ");
            if (++known == n) {
                return last;
            }
        }
        if (!running || Clock::now() >= end) {
            return last;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

class RateLimit : public ::testing::Test {
protected:
    TempDir m_tmp;
};

TEST_F(RateLimit, MaxDownloadHoldsTheDownloadBelowAnUnheldTransfer) {
    const std::string file = m_tmp.File("file.bin");
    WriteRandomFile(file, kFile, 7);
    Seeder seeder = StartSeeder(m_tmp, "seed", file);
    ASSERT_EQ(seeder.hash.size(), 40u);

    CEngineProcess getter(m_tmp.Path() + "get/", FreeTcpUdpPort());
    getter.Start({"get", seeder.hash, getter.Dir() + "out.bin", "--peer",
                  "127.0.0.1:" + std::to_string(seeder.port), "--max-download", std::to_string(kLimitKiB)});
    int64_t have = HaveAfterProgressLines(getter, 6);
    ASSERT_GE(have, 0) << getter.Errors() << getter.LogTail();
    EXPECT_LT(have, kBound) << "the limit did not hold";
    // Held, not stopped: bytes keep arriving.
    int64_t later = HaveAfterProgressLines(getter, 12);
    EXPECT_GT(later, 0) << getter.LogTail();
    getter.Stop();
}

TEST_F(RateLimit, MaxUploadHoldsTheSeeder) {
    const std::string file = m_tmp.File("file.bin");
    WriteRandomFile(file, kFile, 8);
    Seeder seeder;
    seeder.port = FreeTcpUdpPort();
    seeder.mirt = std::make_unique<CEngineProcess>(m_tmp.Path() + "seed/", seeder.port);
    seeder.mirt->Start({"share", "--max-upload", std::to_string(kLimitKiB), file});
    std::string line = seeder.mirt->WaitLine(file, 60);
    ASSERT_FALSE(line.empty()) << seeder.mirt->Errors();
    seeder.hash = line.substr(0, line.find(' '));

    CEngineProcess getter(m_tmp.Path() + "get/", FreeTcpUdpPort());
    getter.Start(
        {"get", seeder.hash, getter.Dir() + "out.bin", "--peer", "127.0.0.1:" + std::to_string(seeder.port)});
    int64_t have = HaveAfterProgressLines(getter, 6);
    ASSERT_GE(have, 0) << getter.Errors() << getter.LogTail();
    EXPECT_LT(have, kBound) << "the seeder's limit did not hold";
    int64_t later = HaveAfterProgressLines(getter, 12);
    EXPECT_GT(later, 0) << seeder.mirt->LogTail();
    getter.Stop();
}

TEST_F(RateLimit, BadLimitValuesAreRefusedBeforeAnythingStarts) {
    CEngineProcess mirt(m_tmp.Path() + "bad/", FreeTcpUdpPort());
    const std::string hash(40, 'A');
    const std::string dest = mirt.Dir() + "out.bin";
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"get", hash, dest, "--max-download", "fast"},
          std::vector<std::string>{"get", hash, dest, "--max-upload", "-5"},
          std::vector<std::string>{"get", hash, dest, "--max-download", "99999999999"},
          std::vector<std::string>{"get", hash, dest, "--max-download"},
          std::vector<std::string>{"share", m_tmp.Path() + "none.bin", "--max-upload", "1k"}}) {
        mirt.Start(args);
        EXPECT_EQ(mirt.Wait(30), 2) << args.back();
    }
    EXPECT_NE(mirt.Errors().find("--max-download wants KiB/s"), std::string::npos) << mirt.Errors();
    EXPECT_FALSE(fs::exists(mirt.DataFolder())) << "no engine was started";
}

}  // namespace
}  // namespace tessali::test
