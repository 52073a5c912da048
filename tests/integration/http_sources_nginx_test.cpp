// HTTP sources against a real nginx on loopback, through the engine's entry functions: a large file
// byte-identical and renamed from its temporary name, a 206 answer, an error page and a redirect
// ending the download with the answer kept, a second add of a complete key, and `mirt fetch`.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>

#include "common/child_process.h"
#include "common/engine_process.h"
#include "common/nginx_server.h"
#include "common/sha1_file.h"
#include "common/temp_dir.h"
#include "engine/core/engine_api.h"
#include "engine/platform/deploy_config.h"
#include "engine/platform/file.h"
#include "engine/sources/http_agent.h"
#include "engine/sources/http_source_link.h"
#include "sources/http_source_test_util.h"

namespace tessali::sources {
namespace {

using test::CNginxServer;
using test::TempDir;
using test::WaitUntil;

constexpr int64_t kLargeFile = 512ll << 20;

const char* kServerConfig = R"(
    location /p206/ { error_page 404 =206 /medium.bin; }
    location = /moved { return 302 /medium.bin; }
    location = /error.xml { default_type text/xml; return 200 '<?xml version="1.0"?><Error><Code>AccessDenied</Code></Error>'; }
)";

// Writes `length` bytes of a fixed pseudo-random pattern and returns their SHA-1.
std::string WritePattern(const std::string& path, int64_t length) {
    {
        std::ofstream out(path, std::ios::binary);
        std::vector<char> block(1 << 20);
        uint64_t x = 0x9E3779B97F4A7C15ull;
        for (int64_t done = 0; done < length;) {
            size_t n = static_cast<size_t>(std::min<int64_t>(block.size(), length - done));
            for (size_t i = 0; i < n; i += 8) {
                x ^= x << 13;
                x ^= x >> 7;
                x ^= x << 17;
                std::memcpy(block.data() + i, &x, std::min<size_t>(8, n - i));
            }
            out.write(block.data(), static_cast<std::streamsize>(n));
            done += static_cast<int64_t>(n);
        }
    }
    return test::Sha1OfFile(path);
}

size_t CountLines(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}

class HttpSourcesNginxTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!CNginxServer::Available()) {
            return;
        }
        s_nginx = std::make_unique<CNginxServer>(kServerConfig, "sendfile on;");
        s_largeSha = WritePattern(s_nginx->DocRoot() + "large.bin", kLargeFile);
        s_mediumSha = WritePattern(s_nginx->DocRoot() + "medium.bin", 3 << 20);
        if (!s_nginx->Start()) {
            s_nginx.reset();
        }
    }
    static void TearDownTestSuite() { s_nginx.reset(); }

    void SetUp() override {
        if (!s_nginx) {
            GTEST_SKIP() << "nginx is not available";
        }
        platform::DeployConfig c;
        c.natType = 0;
        platform::SetDeploy(c);
        ASSERT_EQ(EngineInit(), 0);
    }
    void TearDown() override {
        EngineUninit();
        platform::SetDeploy({});
    }
    bool Finished(const HttpKey& key, int timeoutMs = 50000) {
        return WaitUntil(
            [&] {
                CHttpAgent& a = HttpAgent();
                return a.State(key) == CAgentInfo::kGivenUp ||
                       (a.ContentLength(key) != 0 && a.BytesWritten(key) == a.ContentLength(key));
            },
            timeoutMs);
    }

    static inline std::unique_ptr<CNginxServer> s_nginx;
    static inline std::string s_largeSha;
    static inline std::string s_mediumSha;
    TempDir m_dir;
    test::ScopedEnv m_data{"XDG_DATA_HOME", m_dir.Path()};
};

TEST_F(HttpSourcesNginxTest, SeedTaskFileArrivesWholeUnderItsFinalName) {
    std::string url = s_nginx->Url("/large.bin");
    std::string target = m_dir.File("large.bin");
    HttpKey key = HttpJobKey(url);
    ASSERT_TRUE(AddSeedTask(url, key.ToText(), target));
    ASSERT_TRUE(
        WaitUntil([&] { return platform::FileExists(target + ".!hmt") || platform::FileExists(target); }));
    ASSERT_TRUE(Finished(key));
    EXPECT_EQ(HttpAgent().ContentLength(key), kLargeFile);
    EXPECT_FALSE(platform::FileExists(target + ".!hmt"));
    EXPECT_EQ(test::Sha1OfFile(target), s_largeSha);

    // Complete: a second add answers 2 (true for the caller) and opens no connection.
    uint64_t attempts = HttpAgent().ConnectAttempts();
    EXPECT_EQ(HttpAgent().Add(url, key, 0, target), kHttpAddComplete);
    EXPECT_TRUE(AddSeedTask(url, key.ToText(), target));
    EXPECT_EQ(HttpAgent().ConnectAttempts(), attempts);
    ASSERT_TRUE(s_nginx->WaitForAccessLog("GET /large.bin"));
    EXPECT_EQ(CountLines(s_nginx->AccessLog(), "GET /large.bin"), 1u);
}

TEST_F(HttpSourcesNginxTest, PartialContentAnswerIsAccepted) {
    std::string url = s_nginx->Url("/p206/missing.bin");
    std::string target = m_dir.File("p206.bin");
    HttpKey key = HttpJobKey(url);
    ASSERT_TRUE(AddSeedTask(url, key.ToText(), target));
    ASSERT_TRUE(Finished(key));
    ASSERT_TRUE(s_nginx->WaitForAccessLog("GET /p206/missing.bin HTTP/1.1 206"));
    EXPECT_EQ(test::Sha1OfFile(target), s_mediumSha);
}

TEST_F(HttpSourcesNginxTest, ErrorPageAndRedirectEndTheDownloadWithTheAnswerKept) {
    for (auto [path, kept] : {std::pair{"/error.xml", "AccessDenied"}, std::pair{"/moved", "302 Moved"}}) {
        SCOPED_TRACE(path);
        std::string url = s_nginx->Url(path);
        std::string target = m_dir.File(std::string("f") + (path + 1));
        HttpKey key = HttpJobKey(url);
        ASSERT_TRUE(AddSeedTask(url, key.ToText(), target));
        ASSERT_TRUE(Finished(key, 10000));
        EXPECT_EQ(HttpAgent().State(key), CAgentInfo::kGivenUp);
        char text[4096];
        size_t n = HttpAgent().FailedResponseText(key, text);
        EXPECT_NE(std::string(text, n).find(kept), std::string::npos) << std::string(text, n);
        EXPECT_FALSE(platform::FileExists(target));
    }
    EXPECT_EQ(CountLines(s_nginx->AccessLog(), "GET /moved"), 1u) << "the redirect is not followed";
}

TEST_F(HttpSourcesNginxTest, MirtFetchDownloadsAndReportsRefusals) {
    EngineUninit();  // the command runs its own engine in its own process
    std::string target = m_dir.File("fetched.bin");
    auto run = [&](std::vector<std::string> args, std::string& out) {
        test::ProgramRun r =
            test::RunProgram(test::MirtProgram(), args, {{"XDG_DATA_HOME", m_dir.Path()}}, true);
        out += r.out;
        return r.exitCode;
    };
    std::string out;
    EXPECT_EQ(run({"fetch", s_nginx->Url("/medium.bin"), target}, out), 0) << out;
    EXPECT_NE(out.find("complete " + target), std::string::npos) << out;
    EXPECT_EQ(test::Sha1OfFile(target), s_mediumSha);
    out.clear();
    EXPECT_EQ(run({"fetch", s_nginx->Url("/nothing-here"), m_dir.File("none.bin")}, out), 1) << out;
    EXPECT_NE(out.find("404 Not Found"), std::string::npos) << out;
    out.clear();
    EXPECT_EQ(run({"fetch", s_nginx->Url("/medium.bin")}, out), 2) << out;
}

}  // namespace
}  // namespace tessali::sources
