// End to end through the engine tracker: mirt-tracker, a seeder (`mirt share`) and a downloader
// (`mirt get HASH DEST` with no --peer), each engine in its own data folder with its own
// deployment file. The downloader can only find the seeder through the tracker.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/engine_process.h"
#include "common/temp_dir.h"
#include "common/wait_until.h"
#include "engine/platform/file.h"
#include "tools/tracker_process.h"

namespace tessali {
namespace {

// An engine whose only server is the tracker (UDP for messages, TCP as agent relay); its log
// is `name`.log in `dir`, its data folder `name`-home.
std::unique_ptr<test::CEngineProcess> Engine(const test::TempDir& dir, const std::string& name,
                                             const test::CTrackerProcess& tracker, uint16_t listenPort) {
    test::DeployOptions o;
    o.trackerHost = "127.0.0.1:" + std::to_string(tracker.UdpPort());
    o.agentHost = "127.0.0.1:" + std::to_string(tracker.TcpPort());
    o.listenPort = listenPort;
    // Only the tracker may lead the downloader to the seeder here.
    o.lanSearch = false;
    o.logFile = dir.File(name + ".log");
    return std::make_unique<test::CEngineProcess>(dir.Path() + name + "/", o, dir.File(name + "-home"));
}

bool LogHas(const std::string& path, const std::string& text) {
    std::optional<std::string> log = platform::ReadWholeFile(path);
    return log && log->find(text) != std::string::npos;
}

TEST(TrackerTransfer, ADownloaderFindsTheSeederThroughTheTrackerAndFinishesByteIdentical) {
    test::TempDir dir;
    test::CTrackerProcess tracker;
    ASSERT_TRUE(tracker.Start());

    std::string content;
    for (int i = 0; i < 300000; ++i) {
        content += static_cast<char>((i * 131 + i / 977) & 0xFF);
    }
    const std::string source = dir.File("payload.bin");
    ASSERT_TRUE(platform::WriteFileAtomically(source, content));
    const uint16_t seedPort = static_cast<uint16_t>(20000 + getpid() % 20000);
    auto seeder = Engine(dir, "seeder", tracker, seedPort);
    seeder->Start({"share", source});
    std::optional<std::string> line = seeder->NextLine(30000);
    ASSERT_TRUE(line);
    const std::string hash = line->substr(0, line->find(' '));
    ASSERT_EQ(hash.size(), 40u) << *line;
    // Shared at the tracker before the downloader asks.
    ASSERT_TRUE(test::WaitUntil([&] { return LogHas(dir.File("seeder.log"), "share file successful!!!"); },
                                15000, 50));

    const std::string dest = dir.File("got.bin");
    auto getter = Engine(dir, "getter", tracker, static_cast<uint16_t>(seedPort + 1));
    getter->Start({"get", hash, dest});
    const std::string getterLog = dir.File("getter.log");
    const std::string sourceLine = "source 127.0.0.1:" + std::to_string(seedPort);
    // Waits for the download; gives up early when the only connect attempt was refused.
    int exitCode = -1;
    int refusedFor = 0;
    for (int waited = 0; waited < 45000 && exitCode < 0; waited += 250) {
        usleep(250000);
        exitCode = getter->Wait(0);
        bool refused = LogHas(getterLog, sourceLine + " not connected") &&
                       !LogHas(getterLog, sourceLine + " connecting");
        refusedFor = refused ? refusedFor + 250 : 0;
        if (refusedFor >= 3000) {
            break;
        }
    }
    seeder->Stop();
    // The tracker part: the source list named the seeder.
    ASSERT_TRUE(LogHas(getterLog, sourceLine)) << "the tracker never named the seeder";
    EXPECT_TRUE(LogHas(getterLog, sourceLine + " connecting")) << "the seeder was found but never connected";
    ASSERT_EQ(exitCode, 0);
    EXPECT_EQ(platform::ReadWholeFile(dest), content);
}

}  // namespace
}  // namespace tessali
