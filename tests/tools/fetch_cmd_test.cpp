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

#include "common/ports.h"
#include "common/scripted_http_server.h"
#include "common/temp_dir.h"

namespace tessali::test {
namespace {

struct FetchRun {
    int exitCode = -1;
    std::string out;
};

class MirtFetchTest : public ::testing::Test {
protected:
    // The deployment file of every run: nothing reachable but what the test serves.
    void WriteDeploy(uint16_t stunPort) {
        std::ofstream ini(m_dir.File("deploy.ini"));
        ini << "[servers]\n[engine]\ntracker_host = 127.0.0.1:1\ntracker_ip = 127.0.0.1\n"
               "update_host = 127.0.0.1:1\nagent_host = 127.0.0.1:1\nagent_ip = 127.0.0.1\n"
               "stun_primary = 127.0.0.1:"
            << stunPort << "\nstun_fallback = 127.0.0.1:" << stunPort
            << "\nlisten_port = " << FreeTcpUdpPort()
            << "\nnat_type =\nlan_search = 0\nlog_file = " << m_dir.File("engine.log") << "\nlog_level = 1\n";
    }

    FetchRun Fetch(const std::string& url, const std::string& dest) {
        std::string command = "XDG_DATA_HOME=" + m_dir.Path() +
                              " TESSALI_DEPLOY=" + m_dir.File("deploy.ini") + " " + TESSALI_BINARY_DIR +
                              "/tools/mirt fetch " + url + " " + dest + " 2>&1";
        FetchRun run;
        FILE* pipe = ::popen(command.c_str(), "r");
        if (pipe == nullptr) {
            return run;
        }
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) {
            run.out.append(buf, n);
        }
        int status = ::pclose(pipe);
        run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return run;
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
    FetchRun result = run.get();
    ::close(stun);
    EXPECT_TRUE(httpFirst) << "the download waited for NAT detection";
    EXPECT_EQ(result.exitCode, 0) << result.out;
    EXPECT_TRUE(ReadFile(m_downloads + "client.bin") == body) << "the file differs";
}

TEST_F(MirtFetchTest, AnEmptyFileCompletesAndAFailedDownloadLeavesNothing) {
    WriteDeploy(65534);
    std::filesystem::create_directories(m_downloads);
    m_server.AddReply(HttpAnswer("200 OK", "", ""));
    FetchRun empty = Fetch(m_server.Url("/empty.txt"), m_downloads + "empty.txt");
    EXPECT_EQ(empty.exitCode, 0) << empty.out;
    ASSERT_TRUE(std::filesystem::is_regular_file(m_downloads + "empty.txt"));
    EXPECT_EQ(ReadFile(m_downloads + "empty.txt"), "");
    EXPECT_EQ(m_server.Requests().size(), 1u);

    // An answer without a length that the server keeps closing fails after its retries: no debris.
    std::filesystem::remove(m_downloads + "empty.txt");
    m_server.SetDefaultReply(ScriptedReply{{"HTTP/1.1 200 OK\r\n\r\n", std::string(5000, 'c')}});
    FetchRun unframed = Fetch(m_server.Url("/unframed.bin"), m_downloads + "unframed.bin");
    EXPECT_EQ(unframed.exitCode, 1) << unframed.out;
    EXPECT_EQ(m_server.Requests().size(), 4u) << "the first and two retries";
    EXPECT_NE(unframed.out.find("download failed"), std::string::npos) << unframed.out;
    EXPECT_EQ(Downloads(), std::vector<std::string>{}) << "what the failed download made is removed";

    // A 206 that starts in the middle is refused, not stored as the whole file.
    m_server.SetDefaultReply(ScriptedReply{
        {HttpAnswer("206 Partial Content", "Content-Range: bytes 500-999/1000\r\n", std::string(500, 'm'))}});
    FetchRun middle = Fetch(m_server.Url("/middle.bin"), m_downloads + "middle.bin");
    EXPECT_EQ(middle.exitCode, 1) << middle.out;
    EXPECT_NE(middle.out.find("download failed: HTTP/1.1 206 Partial Content"), std::string::npos)
        << middle.out;
    EXPECT_EQ(Downloads(), std::vector<std::string>{});
}

}  // namespace
}  // namespace tessali::test
