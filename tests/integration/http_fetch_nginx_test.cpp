// The downloader's fetch client against a real nginx on loopback: Content-Length bodies, gzip on
// the fly (chunked) and pre-compressed, If-Modified-Since/304, redirect chains, URLs with a port
// and without a path, the manifest refresh and picture fetches.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <memory>
#include <string>

#include "app/fetch/http_fetch.h"
#include "app/fetch/http_request.h"
#include "app/records/manifest.h"
#include "common/gzip_text.h"
#include "common/nginx_server.h"
#include "common/temp_dir.h"
#include "engine/platform/file.h"

namespace tessali::app {
namespace {

using test::CNginxServer;

const char* kServerConfig = R"(
    index index.html;
    location /gz/ { gzip on; gzip_types text/xml; gzip_min_length 1; }
    location /pre/ { gzip_static on; }
    location = /r1 { return 302 /r2; }
    location = /r2 { return 302 /r3; }
    location = /r3 { absolute_redirect off; return 302 /plain/target.xml; }
)";

std::string ManifestText(int entries) {
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<verdo title=\"nginx\">\n";
    for (int i = 0; i < entries; ++i) {
        xml += "  <download filename=\"file" + std::to_string(i) + ".bin\" hash=\"" + std::string(40, 'A') +
               "\" size=\"" + std::to_string(i * 1000) + "\" version=\"1\" description=\"entry " +
               std::to_string(i) + "\"/>\n";
    }
    return xml + "</verdo>\n";
}

void SetModifiedTime(const std::string& path, time_t when) {
    timeval times[2] = {{when, 0}, {when, 0}};
    ASSERT_EQ(utimes(path.c_str(), times), 0);
}

class NginxFetchTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!CNginxServer::Available()) {
            return;
        }
        s_nginx = std::make_unique<CNginxServer>(kServerConfig);
        std::string www = s_nginx->DocRoot();
        for (const char* dir : {"plain", "gz", "pre", "old", "img"}) {
            std::filesystem::create_directories(www + dir);
        }
        test::WriteFile(www + "plain/verdomarkelbane.xml", s_small);
        test::WriteFile(www + "plain/target.xml", s_small);
        test::WriteFile(www + "gz/verdomarkelbane.xml", s_large);
        test::WriteFile(www + "pre/verdomarkelbane.xml.gz", test::GzipText(s_small));
        test::WriteFile(www + "pre/verdomarkelbane.xml", "stale uncompressed copy");
        test::WriteFile(www + "old/verdomarkelbane.xml", s_small);
        test::WriteFile(www + "index.html", "<root title=\"index\"/>");
        test::WriteFile(www + "img/p.png", std::string(70000, '\x89'));
        test::WriteFile(www + "img/empty.png", "");
        // The date every fresh fetch sends as If-Modified-Since.
        std::tm tm{};
        tm.tm_year = 2011 - 1900;
        tm.tm_mon = 5;
        tm.tm_mday = 8;
        tm.tm_hour = 16;
        tm.tm_min = 30;
        tm.tm_sec = 2;
        SetModifiedTime(www + "old/verdomarkelbane.xml", timegm(&tm));
        if (!s_nginx->Start()) {
            ADD_FAILURE() << "nginx did not start:\n" << s_nginx->ErrorLog();
            s_nginx.reset();
        }
    }
    static void TearDownTestSuite() { s_nginx.reset(); }

    void SetUp() override {
        if (!CNginxServer::Available()) {
            GTEST_SKIP() << "nginx is not installed";
        }
        ASSERT_NE(s_nginx, nullptr);
    }

    // One manifest fetch into m_cache; returns the success flag.
    bool Fetch(const std::string& url) {
        CManifestFetch fetch("download-nginx");
        fetch.Prepare(url, m_cache);
        fetch.Start();
        EXPECT_TRUE(fetch.Wait(30000));
        bool ok = fetch.Succeeded();
        m_notModified = fetch.NotModified();
        m_modifiedSince = fetch.ModifiedSince();
        fetch.Stop();
        return ok;
    }

    // The raw answer nginx gives to our manifest request (asked to close, so it can be read whole).
    static std::string RawAnswer(const std::string& path) {
        std::string host = "127.0.0.1:" + std::to_string(s_nginx->Port());
        std::string request = BuildManifestRequest(path, host, kInitialModifiedSince);
        request.replace(request.find("Keep-Alive"), 10, "close");
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sin{};
        sin.sin_family = AF_INET;
        sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sin.sin_port = htons(s_nginx->Port());
        std::string out;
        if (::connect(fd, reinterpret_cast<sockaddr*>(&sin), sizeof(sin)) == 0 &&
            ::send(fd, request.data(), request.size(), 0) == static_cast<ssize_t>(request.size())) {
            char buf[65536];
            ssize_t n;
            while ((n = ::recv(fd, buf, sizeof(buf), 0)) > 0) {
                out.append(buf, static_cast<size_t>(n));
            }
        }
        ::close(fd);
        return out.substr(0, out.find("\r\n\r\n") + 2);
    }

    static inline std::unique_ptr<CNginxServer> s_nginx;
    static inline const std::string s_small = ManifestText(3);
    static inline const std::string s_large = ManifestText(4000);  // several chunks once compressed

    test::TempDir m_dir;
    std::string m_cache = m_dir.File("verdomarkelbane.xml");
    bool m_notModified = false;
    std::string m_modifiedSince;
};

TEST_F(NginxFetchTest, ContentLengthBody) {
    std::string head = RawAnswer("plain/verdomarkelbane.xml");
    ASSERT_NE(head.find("Content-Length: " + std::to_string(s_small.size())), std::string::npos) << head;
    ASSERT_TRUE(Fetch(s_nginx->Url("/plain/verdomarkelbane.xml")));
    EXPECT_EQ(test::ReadFile(m_cache), s_small);
    EXPECT_FALSE(m_notModified);
    // The modified-since text now holds nginx's Last-Modified value.
    size_t lm = head.find("Last-Modified: ");
    ASSERT_NE(lm, std::string::npos);
    EXPECT_EQ(m_modifiedSince, head.substr(lm + 15, head.find("\r\n", lm) - lm - 15));
    // Sent back, that value gets "304 Not Modified".
    FetchResult again = FetchManifestBody(s_nginx->Url("/plain/verdomarkelbane.xml"), m_modifiedSince, {});
    EXPECT_EQ(again.outcome, FetchResult::kNotModified);
}

TEST_F(NginxFetchTest, GzipOnTheFlyIsChunkedAndStoredDecoded) {
    std::string head = RawAnswer("gz/verdomarkelbane.xml");
    ASSERT_NE(head.find("Transfer-Encoding: chunked"), std::string::npos) << head;
    ASSERT_NE(head.find("Content-Encoding: gzip"), std::string::npos) << head;
    ASSERT_EQ(head.find("Content-Length"), std::string::npos) << head;
    ASSERT_TRUE(Fetch(s_nginx->Url("/gz/verdomarkelbane.xml")));
    EXPECT_EQ(test::ReadFile(m_cache), s_large);
}

TEST_F(NginxFetchTest, PreCompressedFileWithLengthIsStoredDecoded) {
    std::string head = RawAnswer("pre/verdomarkelbane.xml");
    ASSERT_NE(head.find("Content-Encoding: gzip"), std::string::npos) << head;
    ASSERT_NE(head.find("Content-Length: " + std::to_string(test::GzipText(s_small).size())),
              std::string::npos)
        << head;
    ASSERT_TRUE(Fetch(s_nginx->Url("/pre/verdomarkelbane.xml")));
    EXPECT_EQ(test::ReadFile(m_cache), s_small);
}

TEST_F(NginxFetchTest, NotModifiedLeavesTheCacheFileUntouched) {
    test::WriteFile(m_cache, "<cached/>");
    SetModifiedTime(m_cache, 1000000000);
    ASSERT_TRUE(Fetch(s_nginx->Url("/old/verdomarkelbane.xml")));
    EXPECT_TRUE(m_notModified);
    EXPECT_EQ(test::ReadFile(m_cache), "<cached/>");
    struct stat st {};
    ASSERT_EQ(stat(m_cache.c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, 1000000000);
    EXPECT_TRUE(s_nginx->WaitForAccessLog("GET /old/verdomarkelbane.xml HTTP/1.1 304"));
}

TEST_F(NginxFetchTest, RedirectChainIsFollowed) {
    ASSERT_TRUE(Fetch(s_nginx->Url("/r1")));
    EXPECT_EQ(test::ReadFile(m_cache), s_small);
    ASSERT_TRUE(s_nginx->WaitForAccessLog("GET /plain/target.xml HTTP/1.1 200"));
    std::string log = s_nginx->AccessLog();
    size_t r1 = log.find("GET /r1 HTTP/1.1 302");
    size_t r2 = log.find("GET /r2 HTTP/1.1 302");
    size_t r3 = log.find("GET /r3 HTTP/1.1 302");
    size_t end = log.find("GET /plain/target.xml HTTP/1.1 200");
    ASSERT_NE(r1, std::string::npos) << log;
    EXPECT_LT(r1, r2);
    EXPECT_LT(r2, r3);
    EXPECT_LT(r3, end);
}

TEST_F(NginxFetchTest, UrlWithoutPathFetchesTheRoot) {
    ASSERT_TRUE(Fetch("http://127.0.0.1:" + std::to_string(s_nginx->Port())));
    EXPECT_EQ(test::ReadFile(m_cache), "<root title=\"index\"/>");
    EXPECT_TRUE(s_nginx->WaitForAccessLog("GET / HTTP/1.1 200"));
}

TEST_F(NginxFetchTest, RefreshStampsTheCacheAndReadsIt) {
    StampTime now{2026, 12, 8, 7, 45, 0};
    ASSERT_TRUE(RefreshManifestCache(s_nginx->Url("/gz/"), m_cache, [&] { return now; }));
    Manifest m;
    ASSERT_EQ(ReadManifest(m_cache, m), 1);
    EXPECT_EQ(m.title, "nginx");
    EXPECT_EQ(m.entries.size(), 4000u);
    EXPECT_FALSE(ManifestNeedsRefresh(m_cache, now));
    EXPECT_TRUE(ManifestNeedsRefresh(m_cache, {2026, 12, 9, 7, 45, 0}));
}

TEST_F(NginxFetchTest, Pictures) {
    std::string file = m_dir.File("p.png");
    ASSERT_TRUE(FetchPicture(s_nginx->Url("/img/p.png"), file));
    EXPECT_EQ(test::ReadFile(file), std::string(70000, '\x89'));
    std::string empty = m_dir.File("empty.png");
    EXPECT_TRUE(FetchPicture(s_nginx->Url("/img/empty.png"), empty));
    EXPECT_FALSE(platform::FileExists(empty));
    EXPECT_FALSE(FetchPicture(s_nginx->Url("/img/missing.png"), m_dir.File("missing.png")));
    EXPECT_FALSE(platform::FileExists(m_dir.File("missing.png")));
}

}  // namespace
}  // namespace tessali::app
