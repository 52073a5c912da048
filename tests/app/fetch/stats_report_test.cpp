// Statistics reports: the URLs, the start-up order, completion reports and silent failures.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "app/fetch/http_request.h"
#include "app/fetch/stats_report.h"
#include "common/ports.h"
#include "common/scripted_http_server.h"
#include "common/temp_dir.h"
#include "engine/platform/deploy_config.h"
#include "engine/platform/file.h"

namespace tessali::app {
namespace {

using test::CScriptedHttpServer;

class StatsReportTest : public ::testing::Test {
protected:
    std::string Host() const { return "127.0.0.1:" + std::to_string(m_server.Port()); }
    // The event values of the requests received, after waiting for `count` of them.
    std::vector<std::string> Events(size_t count) {
        EXPECT_TRUE(m_server.WaitForRequests(count, 10000));
        std::vector<std::string> out;
        for (const auto& request : m_server.Requests()) {
            size_t start = request.find("&data=");
            size_t end = request.find(" HTTP/1.1\r\n");
            out.push_back(start == std::string::npos ? request : request.substr(start + 6, end - start - 6));
        }
        return out;
    }

    CScriptedHttpServer m_server;
    test::TempDir m_dir;
    std::string m_record = m_dir.File("G7DownLoadInfo.xml");
};

TEST_F(StatsReportTest, UrlAndRequest) {
    EXPECT_EQ(ReportUrl("stats.test:8081", "launch"),
              "http://stats.test:8081/c/box/downloader/?name=verdo7&data=launch");
    EXPECT_TRUE(SendReport(Host(), kReportLaunch));
    ASSERT_TRUE(m_server.WaitForRequests(1, 10000));
    EXPECT_EQ(m_server.Requests()[0],
              BuildBeaconRequest("c/box/downloader/?name=verdo7&data=launch", Host()));
}

TEST_F(StatsReportTest, FirstStartSendsLaunchThenFirstLaunch) {
    SendStartupReports(Host(), m_record);
    SendReport(Host(), "sentinel");
    EXPECT_EQ(Events(3), (std::vector<std::string>{"launch", "firstlaunch", "sentinel"}));
}

TEST_F(StatsReportTest, LaterStartSendsOnlyLaunch) {
    test::WriteFile(m_record, "<patchinfo/>");
    SendStartupReports(Host(), m_record);
    SendReport(Host(), "sentinel");
    EXPECT_EQ(Events(2), (std::vector<std::string>{"launch", "sentinel"}));
}

TEST_F(StatsReportTest, CompletionReports) {
    EXPECT_EQ(CompletionEvent(kCompletionDownload), "download");
    EXPECT_EQ(CompletionEvent(kCompletionPatch), "tsdownload");
    EXPECT_EQ(CompletionEvent(2), "");
    EXPECT_EQ(CompletionEvent(-1), "");
    SendCompletionReport(Host(), kCompletionDownload);
    SendCompletionReport(Host(), 7);  // sends nothing
    SendReport(Host(), "sentinel");
    EXPECT_EQ(Events(2), (std::vector<std::string>{"download", "sentinel"}));
}

TEST_F(StatsReportTest, TwoPatchesFinishingTogetherGiveTwoReports) {
    platform::DeployConfig saved = platform::Deploy();
    platform::DeployConfig config = saved;
    config.statsHost = Host();
    platform::SetDeploy(config);
    StartCompletionReport(kCompletionPatch);
    StartCompletionReport(kCompletionPatch);
    EXPECT_EQ(Events(2), (std::vector<std::string>{"tsdownload", "tsdownload"}));
    platform::SetDeploy(saved);
}

TEST_F(StatsReportTest, NoNetworkIsSilent) {
    std::string closed = "127.0.0.1:" + std::to_string(test::FreeLoopbackPort());
    EXPECT_FALSE(SendReport(closed, kReportLaunch));
    EXPECT_FALSE(SendReport("", kReportLaunch));
    SendStartupReports(closed, m_record);  // returns, reports nothing, creates nothing
    EXPECT_FALSE(platform::FileExists(m_record));
}

}  // namespace
}  // namespace tessali::app
