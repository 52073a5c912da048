// `mirt fetch` as a user runs it against servers that misbehave, and with the shipped setting that
// leaves the NAT type to be detected while no STUN server answers.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>

#include "common/child_process.h"
#include "common/deploy_file.h"
#include "common/engine_process.h"
#include "common/ports.h"
#include "common/scripted_http_server.h"
#include "common/temp_dir.h"

namespace tessali::test {
namespace {

class MirtFetchTest : public ::testing::Test {
protected:
    // The deployment file of every run: nothing reachable but what the test serves, and the
    // shipped setting that leaves the NAT type to be detected (with STUN at `stunPort`).
    void WriteDeploy(uint16_t stunPort) {
        DeployOptions o;
        o.stunPrimary = "127.0.0.1:" + std::to_string(stunPort);
        o.stunFallback = o.stunPrimary;
        o.listenPort = FreeTcpUdpPort();
        o.natType.reset();
        o.logFile = m_dir.File("engine.log");
        ASSERT_TRUE(WriteDeployFile(m_dir.File("deploy.ini"), o));
    }

    ProgramRun Fetch(const std::string& url, const std::string& dest) {
        return RunProgram(MirtProgram(), {"fetch", url, dest},
                          {{"XDG_DATA_HOME", m_dir.Path()}, {"TESSALI_DEPLOY", m_dir.File("deploy.ini")}},
                          true);
    }

    // The names in the download folder, the engine's own folders left out.
    std::vector<std::string> Downloads() const {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(m_downloads)) {
            names.push_back(e.path().filename().string());
        }
        return names;
    }

    TempDir m_dir;
    std::string m_downloads = m_dir.File("down/");
    CScriptedHttpServer m_server;
};

// A STUN server that never answers: the HTTP request must not wait behind NAT detection.
TEST_F(MirtFetchTest, TheTransferDoesNotWaitForNatDetection) {
    int stun = ::socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(stun, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(stun, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    socklen_t len = sizeof sa;
    ::getsockname(stun, reinterpret_cast<sockaddr*>(&sa), &len);
    WriteDeploy(ntohs(sa.sin_port));
    std::filesystem::create_directories(m_downloads);
    const std::string body(300000, 'z');
    m_server.SetDefaultReply(ScriptedReply{{HttpAnswer("200 OK", "", body)}});

    auto run = std::async(std::launch::async,
                          [&] { return Fetch(m_server.Url("/client.bin"), m_downloads + "client.bin"); });
    // Which comes first: the download's request, or a question to the STUN server.
    bool stunFirst = false;
    bool httpFirst = false;
    while (!stunFirst && !httpFirst && run.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
        pollfd p{stun, POLLIN, 0};
        stunFirst = ::poll(&p, 1, 20) > 0;
        httpFirst = !stunFirst && !m_server.Requests().empty();
    }
    ProgramRun result = run.get();
    ::close(stun);
    EXPECT_TRUE(httpFirst) << "the download waited for NAT detection";
    EXPECT_EQ(result.exitCode, 0) << result.out;
    EXPECT_TRUE(ReadFile(m_downloads + "client.bin") == body) << "the file differs";
}

TEST_F(MirtFetchTest, AnEmptyFileCompletesAndAFailedDownloadLeavesNothing) {
    WriteDeploy(65534);
    std::filesystem::create_directories(m_downloads);
    m_server.AddReply(HttpAnswer("200 OK", "", ""));
    ProgramRun empty = Fetch(m_server.Url("/empty.txt"), m_downloads + "empty.txt");
    EXPECT_EQ(empty.exitCode, 0) << empty.out;
    ASSERT_TRUE(std::filesystem::is_regular_file(m_downloads + "empty.txt"));
    EXPECT_EQ(ReadFile(m_downloads + "empty.txt"), "");
    EXPECT_EQ(m_server.Requests().size(), 1u);

    // An answer without a length that the server keeps closing fails after its retries: no debris.
    std::filesystem::remove(m_downloads + "empty.txt");
    m_server.SetDefaultReply(ScriptedReply{{"HTTP/1.1 200 OK\r\n\r\n", std::string(5000, 'c')}});
    ProgramRun unframed = Fetch(m_server.Url("/unframed.bin"), m_downloads + "unframed.bin");
    EXPECT_EQ(unframed.exitCode, 1) << unframed.out;
    EXPECT_EQ(m_server.Requests().size(), 4u) << "the first and two retries";
    EXPECT_NE(unframed.out.find("download failed"), std::string::npos) << unframed.out;
    EXPECT_EQ(Downloads(), std::vector<std::string>{}) << "what the failed download made is removed";

    // A 206 that starts in the middle is refused, not stored as the whole file.
    m_server.SetDefaultReply(ScriptedReply{
        {HttpAnswer("206 Partial Content", "Content-Range: bytes 500-999/1000\r\n", std::string(500, 'm'))}});
    ProgramRun middle = Fetch(m_server.Url("/middle.bin"), m_downloads + "middle.bin");
    EXPECT_EQ(middle.exitCode, 1) << middle.out;
    EXPECT_NE(middle.out.find("download failed: HTTP/1.1 206 Partial Content"), std::string::npos)
        << middle.out;
    EXPECT_EQ(Downloads(), std::vector<std::string>{});
}

}  // namespace
}  // namespace tessali::test
