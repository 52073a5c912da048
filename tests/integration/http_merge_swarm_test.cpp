// End-to-end cases that need the peer layer: two engines whose seed lists an opentracker announce
// URL find each other through it, and a task fed by both an HTTP source and a peer loads the HTTP
// prefix piece by piece when peer data arrives, then stops the HTTP download.

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <string>

#include "common/child_process.h"
#include "common/engine_process.h"
#include "common/nginx_server.h"
#include "common/temp_dir.h"
#include "engine/core/engine_api.h"
#include "engine/core/task_key.h"
#include "engine/core/task_mgr.h"
#include "engine/core/peer_id.h"
#include "engine/net/peer_connector.h"
#include "engine/platform/deploy_config.h"
#include "engine/platform/file.h"
#include "engine/sources/bt_tracker_wire.h"
#include "engine/sources/http_agent.h"
#include "engine/sources/http_source_link.h"
#include "integration/opentracker_process.h"
#include "sources/http_source_test_util.h"

namespace tessali::sources {
namespace {

using test::TempDir;
using test::WaitUntil;

std::string Pattern(size_t n) {
    std::string s(n, '\0');
    uint32_t x = 7;
    for (char& c : s) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 16);
    }
    return s;
}

// Every server unreachable, LAN search off, listening on `listenPort`, the engine log in
// `name`.log.
test::DeployOptions Deploy(const TempDir& dir, const std::string& name, uint16_t listenPort) {
    test::DeployOptions o;
    o.lanSearch = false;
    o.listenPort = listenPort;
    o.logLevel = 0;
    o.logFile = dir.File(name + ".log");
    return o;
}

// Builds a seed for `file` (with `tracker` when given); "<HASH>" or empty.
std::string BuildSeed(const std::string& file, const std::string& seed, const std::string& tracker) {
    std::vector<std::string> args = {"seed", "build", file, "--out", seed};
    if (!tracker.empty()) {
        args.insert(args.end(), {"--tracker", tracker});
    }
    std::string out = test::RunProgram(test::MirtProgram(), args).out;
    return out.size() >= 40 ? out.substr(0, 40) : std::string();
}

// True once something accepts TCP connections on 127.0.0.1:`port`.
bool Listening(uint16_t port) {
    int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = s >= 0 && ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    if (s >= 0) {
        ::close(s);
    }
    return ok;
}

// Announces a peer at 127.0.0.1:`peerPort` to the UDP tracker at `trackerPort`, as a BitTorrent
// client seeding the task would (a sharing engine asks no BitTorrent tracker).
bool AnnouncePeer(uint16_t trackerPort, const core::TaskHash& hash, uint16_t peerPort) {
    int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(trackerPort);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (s < 0 || ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        return false;
    }
    auto exchange = [&](std::span<const uint8_t> out, std::vector<uint8_t>& in) {
        pollfd p{s, POLLIN, 0};
        in.resize(2048);
        if (::send(s, out.data(), out.size(), 0) != static_cast<ssize_t>(out.size()) || ::poll(&p, 1, 3000) != 1) {
            return false;
        }
        ssize_t n = ::recv(s, in.data(), in.size(), 0);
        in.resize(n > 0 ? static_cast<size_t>(n) : 0);
        return n >= 16;
    };
    std::vector<uint8_t> reply;
    core::PeerId id = core::GeneratePeerId(core::kEngineVersion, 42);
    bool ok = exchange(sources::BuildUdpConnect(1), reply);
    if (ok) {
        auto announce = sources::BuildUdpAnnounce(reply, 2, hash.Span(), id.bytes, peerPort);
        ok = announce && exchange(*announce, reply);
    }
    ::close(s);
    return ok;
}

// Places a seed where an engine with data home `dataHome` looks for the task of `path`.
void PlaceSeed(const std::string& seed, const std::string& dataHome, const std::string& path) {
    std::string folder = dataHome + "Tessali/Data/";
    ASSERT_EQ(std::system(("mkdir -p " + folder).c_str()), 0);
    test::WriteFile(folder + core::TaskKey(path) + ".torrent", test::ReadFile(seed));
}

TEST(HttpMergeSwarmTest, TwoEnginesFindEachOtherThroughOpentracker) {
    if (!test::COpentracker::Available()) {
        GTEST_SKIP() << "opentracker is not installed";
    }
    TempDir dir;
    const std::string content = Pattern(6 << 20);
    std::string file = dir.File("pack.bin");
    test::WriteFile(file, content);
    uint16_t port = test::FreeTcpUdpPort();
    std::string announce = "udp://127.0.0.1:" + std::to_string(port) + "/announce";
    std::string hash = BuildSeed(file, dir.File("pack.torrent"), announce);
    ASSERT_EQ(hash.size(), 40u);
    test::COpentracker tracker(port, hash);
    ASSERT_TRUE(tracker.WaitReady());

    std::string dataA = dir.Path() + "a/";
    std::string dataB = dir.Path() + "b/";
    std::string dest = dir.File("got.bin");
    PlaceSeed(dir.File("pack.torrent"), dataA, file);
    PlaceSeed(dir.File("pack.torrent"), dataB, dest);
    const uint16_t seederPort = test::FreeTcpUdpPort();
    test::CEngineProcess seeder(dir.Path() + "run-a/", Deploy(dir, "a.ini", seederPort), dataA);
    test::CEngineProcess getter(dir.Path() + "run-b/", Deploy(dir, "b.ini", test::FreeTcpUdpPort()), dataB);
    seeder.Start({"share", file});
    ASSERT_TRUE(WaitUntil([&] { return Listening(seederPort); }, 20000));
    ASSERT_TRUE(AnnouncePeer(port, core::TaskHash::FromText(hash), seederPort)) << "opentracker did not answer";
    // The downloader finds the seeder only through the tracker its seed names.
    getter.Start({"get", hash, dest});
    auto tail = [&](const std::string& name) {
        std::string log = test::ReadFile(dir.File(name));
        return name + ":\n" + log.substr(log.size() > 3000 ? log.size() - 3000 : 0);
    };
    EXPECT_EQ(getter.Wait(55), 0) << "the downloader did not complete through the tracker\n"
                                  << tail("a.ini.log") << "\n"
                                  << tail("b.ini.log");
    EXPECT_TRUE(test::ReadFile(dest) == content) << "the download differs from the shared file";
}

TEST(HttpMergeSwarmTest, HttpPrefixIsLoadedPieceByPieceWhenPeerDataArrives) {
    if (!test::CNginxServer::Available()) {
        GTEST_SKIP() << "nginx is not available";
    }
    TempDir dir;
    const std::string content = Pattern(8 << 20);
    std::string file = dir.File("patch.bin");
    test::WriteFile(file, content);
    std::string hash = BuildSeed(file, dir.File("patch.torrent"), "");
    ASSERT_EQ(hash.size(), 40u);

    // A slow HTTP source, so that peer data arrives while it is still running.
    test::CNginxServer nginx("location /slow/ { limit_rate 256k; }");
    ASSERT_EQ(std::system(("mkdir -p " + nginx.DocRoot() + "slow").c_str()), 0);
    test::WriteFile(nginx.DocRoot() + "slow/patch.bin", content);
    ASSERT_TRUE(nginx.Start()) << nginx.ErrorLog();

    const uint16_t seederPort = test::FreeTcpUdpPort();
    test::CEngineProcess seeder(dir.Path() + "run-a/", Deploy(dir, "a.ini", seederPort), dir.Path() + "a/");
    seeder.Start({"share", file});

    std::string dataB = dir.Path() + "b/";
    std::string dest = dir.File("merged.bin");
    PlaceSeed(dir.File("patch.torrent"), dataB, dest);
    test::ScopedEnv data("XDG_DATA_HOME", dataB);
    ASSERT_TRUE(test::WriteDeployFile(dir.File("b.ini"), Deploy(dir, "b.ini", test::FreeTcpUdpPort())));
    platform::SetDeploy(platform::LoadDeployConfig(dir.File("b.ini")));
    ASSERT_EQ(EngineInit(), 0);
    core::TaskHash task = core::TaskHash::FromText(hash);
    ASSERT_EQ(AddHashTask(hash, dest), 0);
    std::string url = nginx.Url("/slow/patch.bin");
    ASSERT_TRUE(AddSeedTask(url, hash, dest));
    HttpKey key = HttpJobKey(url);
    uint32_t pieceLength = core::TaskMgr().GetPieceLength(task);
    ASSERT_GT(pieceLength, 0u);
    ASSERT_TRUE(WaitUntil([&] { return HttpAgent().BytesWritten(key) >= 2 * int64_t{pieceLength}; }, 30000));

    net::SourcePeer peer;
    peer.addr = htonl(INADDR_LOOPBACK);
    peer.port = htons(seederPort);
    ASSERT_TRUE(WaitUntil([&] { return net::ConnectToSource(task, peer); }, 10000));
    EXPECT_TRUE(WaitUntil([&] { return HttpAgent().State(key) == 0; }, 30000))
        << "the HTTP download was not merged";
    EXPECT_TRUE(WaitUntil([&] { return core::TaskMgr().IsComplete(task); }, 50000));
    EngineUninit();
    platform::SetDeploy({});
    EXPECT_TRUE(test::ReadFile(dest) == content) << "the merged file differs from the source";
    EXPECT_FALSE(platform::FileExists(dest + ".!hmt"));
    std::string log = test::ReadFile(dir.File("b.ini.log"));
    EXPECT_NE(log.find("LoadHttpDownload,len:" + std::to_string(pieceLength) + ",index:1"),
              std::string::npos);
}

}  // namespace
}  // namespace tessali::sources
