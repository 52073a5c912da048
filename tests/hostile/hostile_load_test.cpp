// Load on a real seeding engine: a burst of honest peers arriving faster than its event threads
// fill (every handshake must be answered), and a hundred downloaders that request blocks and
// never read (the seeder's memory must stay bounded while they are there and come back after
// they leave, while an honest download still completes). The figures are printed, not judged.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "common/temp_dir.h"
#include "hostile/hostile_harness.h"

namespace tessali::test {
namespace {

class HostileLoad : public ::testing::Test {
protected:
    std::unique_ptr<CEngineProcess> StartSeeder(const std::string& file) {
        auto seeder = std::make_unique<CEngineProcess>(m_tmp.Path() + "seed/", FreeTcpUdpPort());
        seeder->Start({"share", file});
        std::string line = seeder->WaitLine(file, 60);
        m_hash = line.substr(0, line.find(' '));
        return seeder;
    }
    std::unique_ptr<CChildProcess> StartHostile(const std::string& name, std::vector<std::string> args) {
        auto child = std::make_unique<CChildProcess>(m_tmp.Path() + "hostile-" + name + "/");
        child->Start(kHostilePeerProgram, std::move(args));
        return child;
    }
    static std::string At(uint16_t port) { return "127.0.0.1:" + std::to_string(port); }

    TempDir m_tmp;
    std::string m_hash;
};

TEST_F(HostileLoad, EveryHandshakeOfAThousandArrivingAtTwoHundredASecondIsAnswered) {
    const std::string file = m_tmp.File("content.bin");
    WriteRandomFile(file, 4u << 20, 21);
    std::unique_ptr<CEngineProcess> seeder = StartSeeder(file);
    ASSERT_EQ(m_hash.size(), 40u);
    // A thousand sockets fill many event threads: most of them are served by a thread other
    // than the listener's.
    std::unique_ptr<CChildProcess> burst =
        StartHostile("burst", {"burst", m_hash, "--connect", At(seeder->ListenPort()), "--count", "1000",
                               "--rate", "200", "--seconds", "40"});
    ASSERT_EQ(burst->Wait(300), 0) << burst->Output();
    const std::string out = burst->Output();
    EXPECT_NE(out.find("burst: 1000 of 1000 connections open"), std::string::npos) << out;
    EXPECT_NE(out.find("burst: 1000 connections, 1000 answered, 0 closed unanswered, 0 unanswered"),
              std::string::npos)
        << out;
    EXPECT_EQ(seeder->Log().find("no handshake from"), std::string::npos);
}

// Several times what a seeder needs (about 20 MiB) plus the engine-wide send bound, far below
// what a hundred connections each holding its own cap would pin.
constexpr long kNonReaderPeakBoundKb = 112 * 1024;
// After they leave, the seeder is back within this much of where it started.
constexpr long kAfterLeavingSlackKb = 24 * 1024;

TEST_F(HostileLoad, AHundredDownloadersThatNeverReadCannotPinTheSeedersMemory) {
    const std::string file = m_tmp.File("content.bin");
    WriteRandomFile(file, 32u << 20, 22);
    std::unique_ptr<CEngineProcess> seeder = StartSeeder(file);
    ASSERT_EQ(m_hash.size(), 40u);
    ASSERT_EQ(seeder->SeedFiles().size(), 1u);
    SeedFacts facts = ReadSeedFacts(m_tmp.Path() + "info/", seeder->SeedFiles()[0], *seeder);
    ASSERT_EQ(facts.hash, m_hash);
    // The same download alone first, for comparison.
    double aloneSeconds = 0;
    {
        CEngineProcess alone(m_tmp.Path() + "alone/", FreeTcpUdpPort());
        auto t0 = std::chrono::steady_clock::now();
        alone.Start({"get", m_hash, alone.Dir() + "out.bin", "--peer", At(seeder->ListenPort())});
        ASSERT_EQ(alone.Wait(120), 0) << alone.Log().substr(0, 3000);
        aloneSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    }
    const long before = seeder->RssKb();
    const double cpuBefore = seeder->CpuSeconds();

    std::unique_ptr<CChildProcess> noRead =
        StartHostile("no-read", {"no-read", m_hash, "--connect", At(seeder->ListenPort()), "--count", "100",
                                 "--pieces", std::to_string(facts.pieces), "--piece-length",
                                 std::to_string(facts.pieceLength), "--seconds", "25"});
    ASSERT_NE(noRead->WaitLine("no-read: 100 of 100 connections open", 60), "") << noRead->Output();

    // An honest download beside them.
    CEngineProcess getter(m_tmp.Path() + "get/", FreeTcpUdpPort());
    const std::string dest = getter.Dir() + "out.bin";
    auto started = std::chrono::steady_clock::now();
    getter.Start({"get", m_hash, dest, "--peer", At(seeder->ListenPort())});
    ASSERT_EQ(getter.Wait(120), 0) << getter.Log().substr(0, 3000);
    double honestSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    EXPECT_EQ(Sha1OfFile(file), Sha1OfFile(dest));

    ASSERT_EQ(noRead->Wait(90), 0) << noRead->Output();
    const double cpuUnderLoad = seeder->CpuSeconds() - cpuBefore;
    const long peak = seeder->PeakRssKb();
    // The seeder notices them leave as their closes come in.
    long after = seeder->RssKb();
    for (int i = 0; i < 100 && after > before + kAfterLeavingSlackKb; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        after = seeder->RssKb();
    }
    std::printf(
        "seeder under 100 non-reading downloaders: RSS before %ld KiB, peak %ld KiB, after they left "
        "%ld KiB, CPU %.2f s; honest 32 MiB download beside them %.2f s (alone %.2f s)\n%s",
        before, peak, after, cpuUnderLoad, honestSeconds, aloneSeconds, noRead->Output().c_str());
    RecordProperty("seeder_peak_rss_kb", std::to_string(peak));
    RecordProperty("seeder_rss_after_kb", std::to_string(after));
    EXPECT_GT(peak, 0);
    EXPECT_LT(peak, kNonReaderPeakBoundKb);
    EXPECT_LT(after, before + kAfterLeavingSlackKb);
}

}  // namespace
}  // namespace tessali::test
