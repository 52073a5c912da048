// The test harness itself: child processes (their output lines, waiting for a line, stopping by
// pid and on destruction), programs run to their end, deployment files that carry every key
// the shipped one has, and the TCP relay between engines.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "common/child_process.h"
#include "common/deploy_file.h"
#include "common/ports.h"
#include "common/tcp_relay.h"
#include "common/temp_dir.h"
#include "common/wait_until.h"
#include "engine/platform/deploy_config.h"

namespace tessali::test {
namespace {

// True while `pid` is a live process (a zombie nobody reaps counts as gone).
bool Alive(pid_t pid) {
    if (::kill(pid, 0) != 0) {
        return false;
    }
    std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    size_t at = stat.rfind(')');
    return at != std::string::npos && at + 2 < stat.size() && stat[at + 2] != 'Z';
}

TEST(ChildProcess, LinesLeaveOutALineStillBeingWrittenUntilTheRunEnds) {
    CChildProcess child;
    ASSERT_TRUE(child.Start("/bin/sh", {"-c", "printf 'one\\ntwo\\nthr'; sleep 30"}));
    ASSERT_EQ(child.WaitLine("two", 10), "two");
    EXPECT_EQ(child.Lines(), (std::vector<std::string>{"one", "two"})) << "a half-written line was returned";
    EXPECT_EQ(child.WaitLine("thr", 0), "");
    EXPECT_EQ(child.Output(), "one\ntwo\nthr");

    ASSERT_TRUE(child.Start("/bin/sh", {"-c", "printf 'last\\nno newline'"}));
    EXPECT_EQ(child.Wait(10), 0);
    EXPECT_EQ(child.Lines(), (std::vector<std::string>{"last", "no newline"}));
}

TEST(ChildProcess, WaitLineFindsALineWrittenJustBeforeTheEndAndGivesUpWhenTheRunEnds) {
    CChildProcess child;
    ASSERT_TRUE(child.Start("/bin/sh", {"-c", "echo first; echo 'the end' >&2; echo done; exit 3"}));
    EXPECT_EQ(child.WaitLine("don", 20), "done");
    EXPECT_EQ(child.WaitLine("never printed", 20), "");
    EXPECT_EQ(child.Wait(10), 3);
    EXPECT_EQ(child.Errors(), "the end\n");
    EXPECT_FALSE(child.Running());
}

TEST(ChildProcess, NextLineGivesEachLineOnceInOrder) {
    CChildProcess child;
    ASSERT_TRUE(child.Start("/bin/sh", {"-c", "echo a; echo b; sleep 0.2; echo c"}));
    std::vector<std::string> got;
    while (std::optional<std::string> line = child.NextLine(10000)) {
        got.push_back(*line);
    }
    EXPECT_EQ(got, (std::vector<std::string>{"a", "b", "c"}));
}

TEST(ChildProcess, ArgumentsAndEnvironmentReachTheChildUnchanged) {
    ScopedEnv inherited("TESSALI_HARNESS_INHERITED", "from the test");
    CChildProcess child;
    ASSERT_TRUE(child.Start(
        "/bin/sh",
        {"-c", "echo \"$1|$TESSALI_HARNESS_SET|$TESSALI_HARNESS_INHERITED\"", "sh", "two words; $x"},
        {{"TESSALI_HARNESS_SET", "a=b c"}}));
    ASSERT_EQ(child.Wait(10), 0);
    EXPECT_EQ(child.Lines(), (std::vector<std::string>{"two words; $x|a=b c|from the test"}));
}

TEST(ChildProcess, ARunAndWhatItStartedStopWhenTheObjectGoes) {
    pid_t pid = -1;
    pid_t grandchild = -1;
    {
        CChildProcess child;
        ASSERT_TRUE(child.Start("/bin/sh", {"-c", "sleep 60 & echo $!; wait"}));
        std::optional<std::string> line = child.NextLine(10000);
        ASSERT_TRUE(line);
        pid = child.Pid();
        grandchild = std::stoi(*line);
        ASSERT_TRUE(Alive(pid));
        ASSERT_TRUE(Alive(grandchild));
    }
    EXPECT_FALSE(Alive(pid));
    // Signalled with its group, it may still be on its way out a moment later.
    EXPECT_TRUE(WaitUntil([&] { return !Alive(grandchild); }, 10000))
        << "a process the child started was left running";
}

TEST(ChildProcess, ANewRunEndsTheRunBeforeAndSignalsReachTheRunningOne) {
    CChildProcess child;
    ASSERT_TRUE(child.Start("/bin/sleep", {"60"}));
    const pid_t first = child.Pid();
    ASSERT_TRUE(child.Start(
        "/bin/sh", {"-c", "trap 'echo got TERM; exit 7' TERM; echo ready; while :; do sleep 0.05; done"}));
    EXPECT_FALSE(Alive(first));
    ASSERT_EQ(child.WaitLine("ready", 10), "ready");
    child.Signal(SIGTERM);
    EXPECT_EQ(child.Wait(10), 7);
    EXPECT_EQ(child.Lines(), (std::vector<std::string>{"ready", "got TERM"}));

    ASSERT_TRUE(child.Start("/bin/sleep", {"60"}));
    child.KillHard();
    EXPECT_EQ(child.Wait(0), 128 + SIGKILL);
}

TEST(ChildProcess, SpawnedByPidAndStoppedByPid) {
    TempDir dir;
    pid_t pid = SpawnProcess({"sh", "-c", "echo out; echo err >&2; exec sleep 60"}, {}, dir.File("log"),
                             dir.File("log"));
    ASSERT_GT(pid, 0);
    // Both streams reach the one file.
    EXPECT_TRUE(WaitUntil([&] { return ReadFile(dir.File("log")) == "out\nerr\n"; }, 10000))
        << ReadFile(dir.File("log"));
    ASSERT_TRUE(Alive(pid));
    EXPECT_EQ(StopProcess(pid, 10), 128 + SIGTERM);
    EXPECT_FALSE(Alive(pid));
    EXPECT_EQ(StopProcess(pid, 1), -1) << "a pid already reaped was taken for a child";

    // A child that ignores SIGTERM is killed once the grace is over.
    pid = SpawnProcess({"sh", "-c", "trap '' TERM; exec sleep 60"}, {}, "", "");
    ASSERT_GT(pid, 0);
    usleep(100000);  // let the shell set its trap; the result is the same if it has not yet
    int status = StopProcess(pid, 0);
    EXPECT_TRUE(status == 128 + SIGKILL || status == 128 + SIGTERM) << status;
    EXPECT_FALSE(Alive(pid));
}

TEST(RunProgram, ExitCodeOutputAndErrorsOnRequest) {
    ProgramRun quiet = RunProgram("/bin/sh", {"-c", "echo out; echo err >&2; exit 4"});
    EXPECT_EQ(quiet.exitCode, 4);
    EXPECT_EQ(quiet.out, "out\n");
    ProgramRun both = RunProgram("/bin/sh", {"-c", "echo out; echo err >&2"}, {}, true);
    EXPECT_EQ(both.exitCode, 0);
    EXPECT_EQ(both.out, "out\nerr\n");
    EXPECT_EQ(RunProgram("/nonexistent/program", {}).exitCode, 127);
    ProgramRun hung = RunProgram("/bin/sh", {"-c", "echo started; exec sleep 60"}, {}, false, 1);
    EXPECT_EQ(hung.exitCode, -1) << "a run that did not end was reported as ended";
    EXPECT_EQ(hung.out, "started\n");
}

// The keys the shipped deployment file has, in order.
std::vector<std::string> ShippedKeys() {
    std::ifstream in(std::string(TESSALI_SOURCE_DIR) + "/resources/deploy.ini");
    std::vector<std::string> keys;
    for (std::string line; std::getline(in, line);) {
        size_t eq = line.find('=');
        if (line.empty() || line[0] == ';' || line[0] == '[' || line[0] == ' ' || eq == std::string::npos) {
            continue;
        }
        std::string key = line.substr(0, eq);
        key.erase(key.find_last_not_of(' ') + 1);
        keys.push_back(key);
    }
    return keys;
}

TEST(DeployFile, CarriesEveryKeyOfTheShippedFile) {
    std::vector<std::string> shipped = ShippedKeys();
    ASSERT_GE(shipped.size(), 17u);
    const std::string text = DeployText({});
    for (const std::string& key : shipped) {
        EXPECT_NE(text.find("\n" + key + " = "), std::string::npos) << key << " is missing";
    }
}

TEST(DeployFile, EveryOptionReadsBackAsWritten) {
    TempDir dir;
    DeployOptions o;
    o.manifestBase = "http://10.0.0.1:81/m/";
    o.statsHost = "10.0.0.2:82";
    o.homePage = "http://10.0.0.3:83/";
    o.trackerHost = "10.0.0.4:84";
    o.trackerIp = "10.0.0.5";
    o.updateHost = "10.0.0.6:86";
    o.agentHost = "10.0.0.7:87";
    o.agentIp = "10.0.0.8";
    o.stunPrimary = "10.0.0.9:89";
    o.stunFallback = "10.0.0.10:90";
    o.listenPort = 6881;
    o.natType = 5;
    o.logFile = dir.File("e.log");
    o.logLevel = 3;
    o.lanSearch = true;
    o.maxUpload = 500;
    o.maxDownload = 2000;
    ASSERT_TRUE(WriteDeployFile(dir.File("d.ini"), o));
    platform::DeployConfig c = platform::LoadDeployConfig(dir.File("d.ini"));
    EXPECT_EQ(c.manifestBase, o.manifestBase);
    EXPECT_EQ(c.statsHost, o.statsHost);
    EXPECT_EQ(c.homePage, o.homePage);
    EXPECT_EQ(c.trackerHost, o.trackerHost);
    EXPECT_EQ(c.trackerIp, o.trackerIp);
    EXPECT_EQ(c.updateHost, o.updateHost);
    EXPECT_EQ(c.agentHost, o.agentHost);
    EXPECT_EQ(c.agentIp, o.agentIp);
    EXPECT_EQ(c.stunPrimary, o.stunPrimary);
    EXPECT_EQ(c.stunFallback, o.stunFallback);
    EXPECT_EQ(c.listenPort, 6881);
    EXPECT_EQ(c.natType, 5);
    EXPECT_EQ(c.logFile, o.logFile);
    EXPECT_EQ(c.logLevel, 3);
    EXPECT_TRUE(c.lanSearch);
    EXPECT_EQ(c.maxUpload, 500u);
    EXPECT_EQ(c.maxDownload, 2000u);

    // The defaults: nothing reachable, the NAT type fixed, no LAN search; "no NAT type" detects.
    DeployOptions d;
    d.natType.reset();
    ASSERT_TRUE(WriteDeployFile(dir.File("e.ini"), d));
    platform::DeployConfig e = platform::LoadDeployConfig(dir.File("e.ini"));
    EXPECT_FALSE(e.natType.has_value());
    EXPECT_FALSE(e.lanSearch);
    EXPECT_EQ(e.trackerHost, "127.0.0.1:1");
    EXPECT_EQ(platform::LoadDeployConfig(dir.File("d.ini")).path, dir.File("d.ini"));
}

// A plain-framed peer wire message: 4-byte big-endian length, id, payload.
std::string WireMessage(uint8_t id, const std::string& payload) {
    const uint32_t len = static_cast<uint32_t>(payload.size() + 1);
    std::string m{static_cast<char>(len >> 24), static_cast<char>(len >> 16), static_cast<char>(len >> 8),
                  static_cast<char>(len), static_cast<char>(id)};
    return m + payload;
}

// Reads exactly `n` bytes, or what came before the socket's time-out or its end.
std::string ReadExactly(int fd, size_t n) {
    std::string got;
    char buf[4096];
    while (got.size() < n) {
        const ssize_t k = recv(fd, buf, std::min(sizeof buf, n - got.size()), 0);
        if (k <= 0) {
            break;
        }
        got.append(buf, static_cast<size_t>(k));
    }
    return got;
}

// Both options at once: the bytes pass unchanged each way, and the relay counts the requests
// and blocks it passed on, not the handshake, keep-alives or other messages around them.
TEST(TcpRelay, PassesBothDirectionsUnchangedAndCountsRequestsAndBlocks) {
    uint16_t targetPort = 0;
    const int target = ListenLoopbackTcp(targetPort);
    ASSERT_GE(target, 0);
    CTcpRelay relay(targetPort, {.oneWayDelayMs = 20, .downBytesPerSecond = 1 << 20});
    const int client = ConnectLoopbackTcp(relay.Port());
    ASSERT_GE(client, 0);
    const int server = accept(target, nullptr, nullptr);
    ASSERT_GE(server, 0);
    const timeval patience{30, 0};
    setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    setsockopt(server, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);

    const std::string handshake(68, '\x06');  // the handshake's own bytes must not count
    const std::string up = handshake + WireMessage(6, std::string(12, 'r')) + std::string(4, '\0') +
                           WireMessage(2, "") + WireMessage(6, std::string(12, 's'));
    std::string down = handshake + WireMessage(5, std::string(3, '\x07'));
    for (int i = 0; i < 3; ++i) {
        down += WireMessage(7, std::string(8 + 40000, static_cast<char>('a' + i)));
    }
    ASSERT_EQ(send(client, up.data(), up.size(), 0), static_cast<ssize_t>(up.size()));
    EXPECT_EQ(ReadExactly(server, up.size()), up);
    ASSERT_EQ(send(server, down.data(), down.size(), 0), static_cast<ssize_t>(down.size()));
    EXPECT_EQ(ReadExactly(client, down.size()), down);

    // The counts follow the sends by a moment.
    EXPECT_TRUE(WaitUntil([&] { return relay.Requests() == 2; })) << relay.Requests();
    EXPECT_TRUE(WaitUntil([&] { return relay.Blocks() == 3; })) << relay.Blocks();
    EXPECT_EQ(relay.MaxOutstanding(), 2);
    close(client);
    close(server);
    close(target);
}

}  // namespace
}  // namespace tessali::test
