// Hostile peers against real engines: the hostile-peer program attacks a seeding `mirt share`
// and a downloading `mirt get` in every way it knows, while an honest engine transfers the same
// file. Each attack must end in a dropped connection or a refusal (the engine log says which),
// the engine's peak memory stays under a generous bound whatever the attacker sent, and the
// honest transfer still completes byte-identical.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "common/temp_dir.h"
#include "hostile/hostile_harness.h"

namespace tessali::test {
namespace {

namespace fs = std::filesystem;

// Several times what the transfers here need (about 10 to 25 MiB), well below what holding one
// flood (256 MiB of stream, or two million tiny blocks) would take.
constexpr long kPeakRssBoundKb = 96 * 1024;

class HostilePeers : public ::testing::Test {
protected:
    // A hostile-peer run to its end: everything it printed, one line per case and a summary.
    std::string RunHostile(const std::string& name, std::vector<std::string> args, int seconds = 60) {
        auto child = std::make_unique<CChildProcess>(m_tmp.Path() + "hostile-" + name + "/");
        child->Start(kHostilePeerProgram, std::move(args));
        EXPECT_EQ(child->Wait(seconds), 0) << name << ": " << child->Output();
        return child->Output();
    }
    // Checks that `output` holds `text`, showing all of it otherwise.
    static void ExpectSaw(const std::string& output, const std::string& text) {
        EXPECT_NE(output.find(text), std::string::npos) << "wanted \"" << text << "\" in:\n" << output;
    }
    std::unique_ptr<CChildProcess> StartHostile(const std::string& name, std::vector<std::string> args) {
        auto child = std::make_unique<CChildProcess>(m_tmp.Path() + "hostile-" + name + "/");
        child->Start(kHostilePeerProgram, std::move(args));
        return child;
    }
    std::unique_ptr<CEngineProcess> StartSeeder(const std::string& name, const std::string& file,
                                                uint16_t port = 0) {
        auto seeder =
            std::make_unique<CEngineProcess>(m_tmp.Path() + name + "/", port ? port : FreeTcpUdpPort());
        seeder->Start({"share", file});
        std::string line = seeder->WaitLine(file, 60);
        m_hash = line.substr(0, line.find(' '));
        return seeder;
    }
    static std::string At(uint16_t port) { return "127.0.0.1:" + std::to_string(port); }

    TempDir m_tmp;
    std::string m_hash;
};

TEST_F(HostilePeers, ASeederDropsEveryBrokenPeerAndStillServesAnHonestDownload) {
    const std::string file = m_tmp.File("content.bin");
    // Not a whole number of pieces bytes, so the bitfield has spare bits to abuse.
    WriteRandomFile(file, (48u << 20) + 40000, 11);
    std::unique_ptr<CEngineProcess> seeder = StartSeeder("seed", file);
    ASSERT_EQ(m_hash.size(), 40u);
    ASSERT_EQ(seeder->SeedFiles().size(), 1u);
    SeedFacts facts = ReadSeedFacts(m_tmp.Path() + "info/", seeder->SeedFiles()[0], *seeder);
    ASSERT_EQ(facts.hash, m_hash);
    ASSERT_GT(facts.pieces, 8u);
    ASSERT_NE(facts.pieces % 8, 0u);
    const std::string target = At(seeder->ListenPort());
    const std::vector<std::string> common = {"--connect",      target,
                                             "--pieces",       std::to_string(facts.pieces),
                                             "--piece-length", std::to_string(facts.pieceLength)};
    auto args = [&](const char* mode) {
        std::vector<std::string> a = {mode, m_hash};
        a.insert(a.end(), common.begin(), common.end());
        return a;
    };

    // 200 connections that never say a word, open while everything below happens. They go in
    // one after the other: the listening backlog of 5 lets a burst in only a few at a time.
    std::vector<std::string> silentArgs = args("silent");
    silentArgs.insert(silentArgs.end(), {"--count", "200", "--seconds", "40"});
    std::unique_ptr<CChildProcess> silent = StartHostile("silent", silentArgs);
    ASSERT_NE(silent->WaitLine("of 200 connections open", 60), "");
    EXPECT_NE(silent->WaitLine("silent: 200 of 200", 0), "") << silent->Output();

    CEngineProcess getter(m_tmp.Path() + "get/", FreeTcpUdpPort());
    const std::string dest = getter.Dir() + "out.bin";
    getter.Start({"get", m_hash, dest, "--peer", target});

    ExpectSaw(RunHostile("huge", args("huge-length")), "huge-length: closed by the engine");
    ExpectSaw(RunHostile("stop", args("stop-length")), "stop-length: closed by the engine");
    ExpectSaw(RunHostile("junk", args("junk")), "junk: closed by the engine");
    ExpectSaw(RunHostile("bitfield", args("bad-bitfield")), "3 of 3 dropped");
    ExpectSaw(RunHostile("have", args("have-past-end")), "2 of 2 dropped");
    ExpectSaw(RunHostile("request", args("request-past-end")),
              "request-past-end: 7 of 7 refused, 0 served past the end, good request served");

    ASSERT_EQ(getter.Wait(90), 0) << getter.Log().substr(0, 3000);
    EXPECT_EQ(Sha1OfFile(file), Sha1OfFile(dest));
    // Every one of them is let go once it has been silent past the handshake deadline.
    ASSERT_EQ(silent->Wait(60), 0);
    ExpectSaw(silent->Output(), "silent: 200 connections opened, 200 closed by the engine");

    const std::string log = seeder->Log();
    for (const char* line : {"above the largest message, dropped", "unframed bytes, dropped",
                             "unrecognised stream from", "bitfield1 packet check len error",
                             "bitfield names piece", "have names piece", "no handshake from"}) {
        EXPECT_NE(log.find(line), std::string::npos) << line;
    }
    long peak = seeder->PeakRssKb();
    std::printf("seeder peak RSS %ld KiB under attack\n", peak);
    RecordProperty("seeder_peak_rss_kb", std::to_string(peak));
    EXPECT_GT(peak, 0);
    EXPECT_LT(peak, kPeakRssBoundKb);
}

TEST_F(HostilePeers, ADownloaderSurvivesLiarsAndBrokenPeersAndCompletesFromAnHonestSeeder) {
    const std::string file = m_tmp.File("content.bin");
    WriteRandomFile(file, (24u << 20) + 40000, 12);
    // A seeder started and stopped at once gives the seed the liar hands out.
    const uint16_t honestPort = FreeTcpUdpPort();
    std::string seedCopy = m_tmp.File("real.torrent");
    SeedFacts facts;
    {
        std::unique_ptr<CEngineProcess> first = StartSeeder("seed", file, honestPort);
        ASSERT_EQ(m_hash.size(), 40u);
        ASSERT_EQ(first->SeedFiles().size(), 1u);
        fs::copy_file(first->SeedFiles()[0], seedCopy);
        facts = ReadSeedFacts(m_tmp.Path() + "info/", seedCopy, *first);
    }
    ASSERT_EQ(facts.hash, m_hash);
    ASSERT_NE(facts.pieces % 8, 0u);

    // The liar is the only source at first: it gives the true seed and wrong data for every block.
    const uint16_t liarPort = FreeTcpUdpPort();
    std::unique_ptr<CChildProcess> liar =
        StartHostile("liar", {"wrong-data", m_hash, "--listen", std::to_string(liarPort), "--pieces",
                              std::to_string(facts.pieces), "--seed", seedCopy, "--seconds", "70"});
    ASSERT_NE(liar->WaitLine("listening on", 10), "");
    const uint16_t getterPort = FreeTcpUdpPort();
    CEngineProcess getter(m_tmp.Path() + "get/", getterPort);
    const std::string dest = getter.Dir() + "out.bin";
    getter.Start({"get", m_hash, dest, "--peer", At(liarPort), "--peer", At(honestPort)});
    ASSERT_NE(liar->WaitLine("sent seed", 30), "");
    ASSERT_TRUE(getter.WaitLog("Write file hash error", 30)) << getter.Log().substr(0, 3000);

    const std::vector<std::string> common = {"--connect",      At(getterPort),
                                             "--pieces",       std::to_string(facts.pieces),
                                             "--piece-length", std::to_string(facts.pieceLength)};
    auto args = [&](const char* mode, std::vector<std::string> more = {}) {
        std::vector<std::string> a = {mode, m_hash};
        a.insert(a.end(), common.begin(), common.end());
        a.insert(a.end(), more.begin(), more.end());
        return a;
    };
    std::unique_ptr<CChildProcess> silent =
        StartHostile("silent", args("silent", {"--count", "200", "--seconds", "40"}));
    ExpectSaw(RunHostile("huge", args("huge-length")), "huge-length: closed by the engine");
    ExpectSaw(RunHostile("bitfield", args("bad-bitfield")), "3 of 3 dropped");
    ExpectSaw(RunHostile("have", args("have-past-end")), "2 of 2 dropped");
    // Blocks nobody asked for, and a peer that takes requests and never answers them, held open
    // while the honest seeder does the work.
    std::unique_ptr<CChildProcess> unrequested =
        StartHostile("unrequested", args("unrequested", {"--count", "3000", "--seconds", "30"}));
    ASSERT_NE(unrequested->WaitLine("unrequested: sent", 60), "") << unrequested->Output();
    // Two million one-byte blocks at random offsets: each is looked at, none may be kept.
    std::unique_ptr<CChildProcess> tiny =
        StartHostile("tiny", args("unrequested-tiny", {"--count", "2000000", "--seconds", "1"}));
    EXPECT_EQ(tiny->Wait(60), 0);
    ExpectSaw(tiny->Output(), "unrequested-tiny: sent 2000000 blocks");
    ASSERT_NE(silent->WaitLine("of 200 connections open", 60), "");
    EXPECT_NE(silent->WaitLine("silent: 200 of 200", 0), "") << silent->Output();
    EXPECT_TRUE(getter.Running()) << "nothing honest was there to complete from";

    std::unique_ptr<CEngineProcess> honest = StartSeeder("seed", file, honestPort);
    ASSERT_EQ(getter.Wait(90), 0) << getter.Log().substr(0, 3000);
    EXPECT_EQ(Sha1OfFile(file), Sha1OfFile(dest));
    EXPECT_FALSE(fs::exists(dest + ".!mt"));

    const std::string log = getter.Log();
    for (const char* line : {"above the largest message, dropped", "bitfield1 packet check len error",
                             "have names piece", "不是我以前请求的包"}) {
        EXPECT_NE(log.find(line), std::string::npos) << line;
    }
    EXPECT_NE(log.find("peer 127.0.0.1:" + std::to_string(liarPort) + " sent wrong blocks"),
              std::string::npos);
    EXPECT_EQ(log.find("peer 127.0.0.1:" + std::to_string(honestPort) + " sent wrong blocks"),
              std::string::npos);
    long peak = getter.PeakRssKb();
    std::printf("downloader peak RSS %ld KiB under attack\n", peak);
    RecordProperty("downloader_peak_rss_kb", std::to_string(peak));
    EXPECT_GT(peak, 0);
    EXPECT_LT(peak, kPeakRssBoundKb);
    ASSERT_EQ(silent->Wait(90), 0);
    ExpectSaw(silent->Output(), "silent: 200 connections opened, 200 closed by the engine");
    unrequested->Stop();
    liar->Stop();
}

TEST_F(HostilePeers, ASeedForOtherContentIsRefusedAndTheTaskTakesTheRealOneLater) {
    const std::string file = m_tmp.File("content.bin");
    const std::string other = m_tmp.File("other.bin");
    WriteRandomFile(file, 6u << 20, 13);
    WriteRandomFile(other, 6u << 20, 14);
    const uint16_t honestPort = FreeTcpUdpPort();
    std::string bogusSeed = m_tmp.File("bogus.torrent");
    {
        CEngineProcess builder(m_tmp.Path() + "build/", FreeTcpUdpPort());
        builder.Start({"seed", "build", other, "--out", bogusSeed});
        ASSERT_EQ(builder.Wait(30), 0);
    }
    std::string realHash;
    SeedFacts bogus;
    {
        std::unique_ptr<CEngineProcess> first = StartSeeder("seed", file, honestPort);
        realHash = m_hash;
        bogus = ReadSeedFacts(m_tmp.Path() + "info/", bogusSeed, *first);
    }
    ASSERT_EQ(realHash.size(), 40u);
    ASSERT_NE(bogus.hash, realHash);

    const uint16_t liarPort = FreeTcpUdpPort();
    std::unique_ptr<CChildProcess> liar =
        StartHostile("bogus", {"bogus-seed", realHash, "--listen", std::to_string(liarPort), "--pieces",
                               std::to_string(bogus.pieces), "--seed", bogusSeed, "--seconds", "40"});
    ASSERT_NE(liar->WaitLine("listening on", 10), "");
    CEngineProcess getter(m_tmp.Path() + "get/", FreeTcpUdpPort());
    const std::string dest = getter.Dir() + "out.bin";
    getter.Start({"get", realHash, dest, "--peer", At(liarPort), "--peer", At(honestPort)});
    ASSERT_NE(liar->WaitLine("sent seed", 30), "");
    ASSERT_TRUE(getter.WaitLog("does not match the task hash, refused", 30)) << getter.Log().substr(0, 3000);
    // Nothing of the other content was laid out.
    EXPECT_FALSE(fs::exists(dest + ".!mt"));
    EXPECT_TRUE(getter.Running());

    std::unique_ptr<CEngineProcess> honest = StartSeeder("seed", file, honestPort);
    ASSERT_EQ(getter.Wait(60), 0) << getter.Log().substr(0, 3000);
    EXPECT_EQ(Sha1OfFile(file), Sha1OfFile(dest));
    long peak = getter.PeakRssKb();
    std::printf("downloader peak RSS %ld KiB after a bogus seed\n", peak);
    EXPECT_LT(peak, kPeakRssBoundKb);
    liar->Stop();
}

}  // namespace
}  // namespace tessali::test
