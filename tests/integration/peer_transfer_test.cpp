// Engines downloading from each other: several mirt processes on loopback, each with its own
// data folder and a deployment file that fixes the NAT type to 0. One shares a file, another
// fetches it by hash with --peer over each wire form and over reliable UDP; a killed download
// resumes without fetching verified pieces again; two seeders are both used while a third,
// whose file went bad after it was shared, has its pieces rejected.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "common/tcp_relay.h"
#include "common/temp_dir.h"
#include "integration/mirt_runs.h"

namespace tessali::test {
namespace {

class PeerTransfer : public ::testing::Test {
protected:
    void ExpectFinished(const std::string& source, const std::string& dest, CEngineProcess& getter) {
        EXPECT_EQ(Sha1OfFile(source), Sha1OfFile(dest));
        EXPECT_FALSE(fs::exists(dest + ".!mt"));
        // The resume record sits in the engine's data folder; complete means no piece missing.
        bool sawRecord = false;
        for (const auto& e : fs::recursive_directory_iterator(getter.Dir() + "xdg")) {
            if (e.path().extension() == ".mem") {
                sawRecord = true;
            }
        }
        EXPECT_TRUE(sawRecord);
    }
    TempDir m_tmp;
};

// Sizes: the TCP forms move 256 MiB; reliable UDP (about 7 MB/s by its rules) a small file.
constexpr size_t kBigFile = 256u << 20;
constexpr size_t kUdpFile = 6u << 20;

TEST_F(PeerTransfer, EachWireFormAndReliableUdpDeliverTheFileByteIdentical) {
    const std::string big = m_tmp.File("big.bin");
    const std::string small = m_tmp.File("small.bin");
    WriteRandomFile(big, kBigFile, 1);
    WriteRandomFile(small, kUdpFile, 2);
    Seeder seeder = StartSeeder(m_tmp, "seed", big);
    ASSERT_EQ(seeder.hash.size(), 40u);
    Seeder udpSeeder = StartSeeder(m_tmp, "seedudp", small);
    ASSERT_EQ(udpSeeder.hash.size(), 40u);

    struct Case {
        const char* framing;
        const Seeder* seeder;
        const std::string* source;
    };
    for (const Case& c : {Case{"plain", &seeder, &big}, Case{"http", &seeder, &big},
                          Case{"scrambled", &seeder, &big}, Case{"udp", &udpSeeder, &small}}) {
        SCOPED_TRACE(c.framing);
        CEngineProcess getter(m_tmp.Path() + "get-" + c.framing + "/", FreeTcpUdpPort());
        const std::string dest = getter.Dir() + "out.bin";
        getter.Start({"get", c.seeder->hash, dest, "--peer", "127.0.0.1:" + std::to_string(c.seeder->port),
                      "--framing", c.framing});
        ASSERT_EQ(getter.Wait(180), 0) << getter.Log().substr(0, 2000);
        ExpectFinished(*c.source, dest, getter);
        // Every byte came over the wire (nothing was there before).
        EXPECT_GE(ClosingReceived(getter.Lines()), static_cast<int64_t>(fs::file_size(*c.source)));
    }
    // The seeder recognised each form from the first bytes of its incoming streams.
    std::string log = seeder.mirt->Log();
    for (const char* form : {"framed as plain", "framed as http", "framed as scrambled"}) {
        EXPECT_NE(log.find(form), std::string::npos) << form;
    }
    EXPECT_NE(udpSeeder.mirt->Log().find("framed as plain"), std::string::npos);
}

// A long path (50 ms round trip through a relay): the downloader keeps many requests in flight
// to its one seeder, and the file still arrives byte-identical.
TEST_F(PeerTransfer, ManyRequestsInFlightOverADelayedPathDeliverTheFileByteIdentical) {
    const std::string file = m_tmp.File("far.bin");
    WriteRandomFile(file, 24u << 20, 7);
    Seeder seeder = StartSeeder(m_tmp, "seedfar", file);
    ASSERT_EQ(seeder.hash.size(), 40u);
    CTcpRelay relay(seeder.port, {.oneWayDelayMs = 25});
    CEngineProcess getter(m_tmp.Path() + "getfar/", FreeTcpUdpPort());
    const std::string dest = getter.Dir() + "out.bin";
    getter.Start({"get", seeder.hash, dest, "--peer", "127.0.0.1:" + std::to_string(relay.Port())});
    ASSERT_EQ(getter.Wait(300), 0) << getter.LogTail();
    ExpectFinished(file, dest, getter);
    // Two requests at a time would leave this path idle most of each round trip.
    EXPECT_GT(relay.MaxOutstanding(), 16) << relay.Requests() << " requests, " << relay.Blocks() << " blocks";
}

TEST_F(PeerTransfer, AKilledDownloadResumesWithoutFetchingVerifiedPiecesAgain) {
    const std::string big = m_tmp.File("big.bin");
    WriteRandomFile(big, kBigFile, 3);
    Seeder seeder = StartSeeder(m_tmp, "seed", big);
    ASSERT_EQ(seeder.hash.size(), 40u);
    CEngineProcess getter(m_tmp.Path() + "get/", FreeTcpUdpPort());
    const std::string dest = getter.Dir() + "out.bin";
    const std::vector<std::string> args = {
        "get",           seeder.hash, dest, "--peer", "127.0.0.1:" + std::to_string(seeder.port),
        "--progress-ms", "20"};
    getter.Start(args);
    // Kill it hard once between 30 % and 70 % of the pieces are verified.
    int64_t haveAtKill = -1;
    auto end = Clock::now() + std::chrono::seconds(60);
    while (Clock::now() < end && haveAtKill < 0) {
        std::vector<std::string> lines = getter.Lines();
        if (!lines.empty()) {
            int64_t have = NumberAfter(lines.back(), "progress ");
            if (have > static_cast<int64_t>(kBigFile) * 3 / 10) {
                getter.Signal(SIGKILL);
                haveAtKill = have;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ASSERT_GT(haveAtKill, 0);
    ASSERT_NE(getter.Wait(10), 0);
    ASSERT_LT(haveAtKill, static_cast<int64_t>(kBigFile)) << "killed too late to show a resume";
    ASSERT_TRUE(fs::exists(dest + ".!mt"));

    getter.Start(args);
    ASSERT_EQ(getter.Wait(180), 0) << getter.Log().substr(0, 2000);
    ExpectFinished(big, dest, getter);
    // The second run starts from what the record kept and fetches only the rest.
    int64_t resumed = NumberAfter(getter.Lines().front(), "progress ");
    int64_t received = ClosingReceived(getter.Lines());
    EXPECT_GT(resumed, 0);
    EXPECT_GT(received, 0);
    EXPECT_LE(received, static_cast<int64_t>(kBigFile) - resumed + (1 << 20));
}

TEST_F(PeerTransfer, TwoSeedersAreBothUsedAndALyingSeedersPiecesAreRejected) {
    const std::string file = m_tmp.File("content.bin");
    WriteRandomFile(file, 64u << 20, 4);
    Seeder a = StartSeeder(m_tmp, "a", file);
    Seeder b = StartSeeder(m_tmp, "b", file);
    // The liar shares its own good copy, which then goes bad on disk: every block it serves
    // from now on is wrong.
    const std::string bad = m_tmp.File("liar.bin");
    fs::copy_file(file, bad);
    Seeder liar = StartSeeder(m_tmp, "liar", bad);
    ASSERT_EQ(a.hash.size(), 40u);
    ASSERT_EQ(a.hash, b.hash);
    ASSERT_EQ(a.hash, liar.hash);
    {
        std::fstream f(bad, std::ios::in | std::ios::out | std::ios::binary);
        std::vector<char> junk(1 << 20, '\x5A');
        for (int i = 0; i < 64; ++i) {
            f.write(junk.data(), static_cast<std::streamsize>(junk.size()));
        }
    }
    CEngineProcess getter(m_tmp.Path() + "get/", FreeTcpUdpPort());
    const std::string dest = getter.Dir() + "out.bin";
    // Naming the liar takes a piece it spoiled after the first failure to be fetched again and
    // pass; on loopback a deep request queue can finish 64 MiB before that, so the download is
    // held to the pace of a fast home line.
    getter.Start({"get", a.hash, dest, "--peer", "127.0.0.1:" + std::to_string(a.port), "--peer",
                  "127.0.0.1:" + std::to_string(b.port), "--peer", "127.0.0.1:" + std::to_string(liar.port),
                  "--max-download", "8000"});
    int rc = getter.Wait(180);
    // The end of the log tells why a download stopped.
    std::string excerpt = getter.Log();
    ASSERT_EQ(rc, 0) << excerpt.substr(excerpt.size() > 6000 ? excerpt.size() - 6000 : 0);
    ExpectFinished(file, dest, getter);
    std::string fromA_line = getter.WaitLine("from 127.0.0.1:" + std::to_string(a.port) + " ", 1);
    std::string fromB_line = getter.WaitLine("from 127.0.0.1:" + std::to_string(b.port) + " ", 1);
    EXPECT_GT(NumberAfter(fromA_line, std::to_string(a.port) + " "), 0) << fromA_line;
    EXPECT_GT(NumberAfter(fromB_line, std::to_string(b.port) + " "), 0) << fromB_line;
    std::string log = getter.Log();
    EXPECT_NE(log.find("Write file hash error"), std::string::npos) << "the liar's pieces were checked";
    EXPECT_NE(log.find("peer 127.0.0.1:" + std::to_string(liar.port) + " sent wrong blocks"),
              std::string::npos);
    EXPECT_EQ(log.find("peer 127.0.0.1:" + std::to_string(a.port) + " sent wrong blocks"), std::string::npos);
    EXPECT_EQ(log.find("peer 127.0.0.1:" + std::to_string(b.port) + " sent wrong blocks"), std::string::npos);
}

}  // namespace
}  // namespace tessali::test
