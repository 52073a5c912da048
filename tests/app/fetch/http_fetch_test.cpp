// The fetch client against a scripted loopback server: body framings, cut-off and hostile answers,
// redirects, 304, cancellation, picture fetches and beacons. A failed fetch must leave the target
// file exactly as it was.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "app/fetch/http_fetch.h"
#include "app/fetch/http_request.h"
#include "common/gzip_text.h"
#include "common/ports.h"
#include "common/scripted_http_server.h"
#include "common/temp_dir.h"
#include "engine/platform/file.h"

namespace tessali::app {
namespace {

using test::CScriptedHttpServer;
using test::GzipText;
using test::HttpAnswer;
using test::ScriptedReply;

constexpr const char* kOldCache = "<old cache/>";

uint16_t ClosedPort() {
    return test::FreeLoopbackPort();
}

class ManifestFetchTest : public ::testing::Test {
protected:
    // Runs one manifest fetch against the server into a cache file that holds kOldCache.
    bool Fetch(const std::string& path = "/verdomarkelbane.xml") {
        test::WriteFile(m_cache, kOldCache);
        CManifestFetch fetch("download-test");
        fetch.SetOptions(m_options);
        fetch.Prepare(m_server.Url(path), m_cache);
        fetch.Start();
        EXPECT_TRUE(fetch.Wait(30000));
        bool ok = fetch.Succeeded();
        m_notModified = fetch.NotModified();
        m_modifiedSince = fetch.ModifiedSince();
        EXPECT_EQ(fetch.GetState(), ok ? CManifestFetch::kFinished : CManifestFetch::kFinishedEmpty);
        fetch.Stop();
        return ok;
    }
    std::string Cache() const { return test::ReadFile(m_cache); }
    // A failed fetch leaves the old cache and no temporary file behind.
    void ExpectUntouched() const {
        EXPECT_EQ(Cache(), kOldCache);
        EXPECT_FALSE(platform::FileExists(m_cache + ".tmp"));
    }

    CScriptedHttpServer m_server;
    test::TempDir m_dir;
    std::string m_cache = m_dir.File("verdomarkelbane.xml");
    FetchOptions m_options;
    bool m_notModified = false;
    std::string m_modifiedSince;
};

const std::string kBody = "<root title=\"t\"><download filename=\"a.bin\"/></root>";

TEST_F(ManifestFetchTest, ContentLengthBodyInPiecesIsStoredWhole) {
    std::string answer = HttpAnswer("200 OK", "Last-Modified: Tue, 01 Dec 2026 10:00:00 GMT\r\n", kBody);
    size_t headEnd = answer.find("\r\n\r\n") + 4;
    // The head itself is split too: it must be gathered before it is read.
    m_server.AddReply(
        ScriptedReply{{answer.substr(0, 20), answer.substr(20, headEnd - 20), answer.substr(headEnd, 10),
                       answer.substr(headEnd + 10) + "EXTRA BYTES"}});
    ASSERT_TRUE(Fetch());
    EXPECT_EQ(Cache(), kBody);  // bytes past Content-Length are not stored
    EXPECT_FALSE(m_notModified);
    EXPECT_EQ(m_modifiedSince, "Tue, 01 Dec 2026 10:00:00 GMT");
}

TEST_F(ManifestFetchTest, GzipWithLengthAndChunkedAreStoredDecoded) {
    std::string gz = GzipText(kBody);
    m_server.AddReply(HttpAnswer("200 OK", "Content-Encoding: gzip\r\n", gz));
    ASSERT_TRUE(Fetch());
    EXPECT_EQ(Cache(), kBody);

    std::string head = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nContent-Encoding: gzip\r\n\r\n";
    std::string first = gz.substr(0, 7);
    std::string second = gz.substr(7);
    char sizes[2][16];
    std::snprintf(sizes[0], sizeof(sizes[0]), "%zx", first.size());
    std::snprintf(sizes[1], sizeof(sizes[1]), "%zX;ext=1", second.size());
    // Chunk lines, data and the closing sequence each arrive in separate receives.
    m_server.AddReply(
        ScriptedReply{{head + sizes[0], std::string("\r\n") + first + "\r\n" + sizes[1] + "\r\n",
                       second.substr(0, 3), second.substr(3) + "\r\n", "0\r\nX-Trailer: 1\r\n", "\r\n"}});
    ASSERT_TRUE(Fetch());
    EXPECT_EQ(Cache(), kBody);
}

TEST_F(ManifestFetchTest, CloseDelimitedBodiesAreStoredAsReceived) {
    m_server.AddReply(ScriptedReply{
        {"HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + kBody.substr(0, 9), kBody.substr(9)}});
    ASSERT_TRUE(Fetch());
    EXPECT_EQ(Cache(), kBody);

    std::string gz = GzipText(kBody);
    m_server.AddReply(ScriptedReply{{"HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\n\r\n", gz}});
    ASSERT_TRUE(Fetch());
    EXPECT_EQ(Cache(), gz);
}

TEST_F(ManifestFetchTest, CutOffAnswersFailWithoutTouchingTheCache) {
    const std::string chunkedHead = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
    const std::vector<std::vector<std::string>> answers = {
        {"HTTP/1.1 200 OK\r\nContent-Le"},                            // stops mid-header
        {"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n"},                // head never ends
        {"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n", "short"},  // body shorter than its length
        {chunkedHead + "10\r\n0123456789"},                           // closes inside a chunk
        {chunkedHead + "5\r\n01234\r\n"},                             // closes before the last chunk
        {chunkedHead + "5\r\n01234"},                                 // closes before the chunk's CR LF
        {chunkedHead + "5", "\r\n0"},                                 // closes right after a chunk-size line
        {""},                                                         // closes without a word
    };
    for (const auto& pieces : answers) {
        m_server.AddReply(ScriptedReply{pieces});
        EXPECT_FALSE(Fetch()) << pieces[0];
        ExpectUntouched();
    }
}

TEST_F(ManifestFetchTest, HostileSizesFailCleanly) {
    m_options.maxBodyBytes = 4096;
    const std::string chunkedHead = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
    const std::vector<std::string> answers = {
        chunkedHead + "FFFFFFFFFFFFFFFFFFFFFFFF\r\n",                       // overflows 64 bits
        chunkedHead + "1001\r\n",                                           // one chunk above the cap
        chunkedHead + "800\r\n" + std::string(0x800, 'a') + "\r\n801\r\n",  // the sum passes the cap
        chunkedHead + "zz\r\n",                                             // no digits
        chunkedHead + "5 x\r\n01234\r\n0\r\n\r\n",                          // junk after the size
        chunkedHead + std::string(2000, '1'),                               // a size line without end
        chunkedHead + "3\r\n0123456\r\n0\r\n\r\n",                          // chunk longer than its size
        "HTTP/1.1 200 OK\r\nContent-Length: 4097\r\n\r\n",                  // length above the cap
        "HTTP/1.1 200 OK\r\nContent-Length: 12x\r\n\r\n012345678901",       // length not a number
        "HTTP/1.1 200 OK\r\n\r\n" + std::string(5000, 'b'),                 // close-delimited above the cap
        HttpAnswer("200 OK", "Content-Encoding: gzip\r\n",
                   GzipText(std::string(5000, 'c'))),  // decodes too big
        HttpAnswer("200 OK", "Content-Encoding: gzip\r\n", "this is not gzip"),
    };
    for (const auto& answer : answers) {
        m_server.AddReply(answer);
        EXPECT_FALSE(Fetch()) << answer.substr(0, 80);
        ExpectUntouched();
    }
}

TEST_F(ManifestFetchTest, HeadLargerThanTheReceiveBufferFails) {
    m_server.AddReply("HTTP/1.1 200 OK\r\nX-Filler: " + std::string(kReceiveBufferBytes, 'x') +
                      "\r\nContent-Length: 2\r\n\r\nok");
    EXPECT_FALSE(Fetch());
    ExpectUntouched();
}

TEST_F(ManifestFetchTest, OnlyStatus200CarriesABody) {
    for (const char* status :
         {"404 Not Found", "500 Internal Server Error", "206 Partial Content", "204 OK"}) {
        m_server.AddReply(HttpAnswer(status, "", kBody));
        EXPECT_FALSE(Fetch()) << status;
        ExpectUntouched();
    }
    m_server.AddReply(HttpAnswer("200 Fine By Me", "", kBody));
    EXPECT_TRUE(Fetch());
    EXPECT_EQ(Cache(), kBody);
}

TEST_F(ManifestFetchTest, NotModifiedSucceedsAndLeavesTheCache) {
    m_server.AddReply("HTTP/1.1 304 Not Modified\r\n\r\n");
    EXPECT_TRUE(Fetch());
    EXPECT_TRUE(m_notModified);
    ExpectUntouched();
    m_server.AddReply("HTTP/1.1 304 Unchanged\r\nETag: \"x\"\r\n\r\n");
    EXPECT_TRUE(Fetch());
    EXPECT_TRUE(m_notModified);
    ExpectUntouched();
    auto requests = m_server.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_NE(requests[0].find("If-Modified-Since: Wed, 08 Jun 2011 16:30:02 GMT\r\n"), std::string::npos);
}

TEST_F(ManifestFetchTest, RedirectChainsAreFollowedOnTheSameConnectionTarget) {
    m_server.AddReply(HttpAnswer("302 Object moved", "Location: /hop1\r\n", "moved"));
    m_server.AddReply(HttpAnswer("302 Found", "Location: " + m_server.Url("/hop2?x=1") + "\r\n", ""));
    m_server.AddReply(HttpAnswer("302 Moved Temporarily", "location: hop3\r\n", ""));
    m_server.AddReply(HttpAnswer("200 OK", "", kBody));
    ASSERT_TRUE(Fetch("/start.xml"));
    EXPECT_EQ(Cache(), kBody);
    auto requests = m_server.Requests();
    ASSERT_EQ(requests.size(), 4u);
    std::string host = "127.0.0.1:" + std::to_string(m_server.Port());
    const char* paths[] = {"start.xml", "hop1", "hop2?x=1", "hop3"};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(requests[i], BuildManifestRequest(paths[i], host, kInitialModifiedSince)) << i;
    }
}

TEST_F(ManifestFetchTest, RedirectsAreBoundedAndNeedALocation) {
    m_server.SetDefaultReply(ScriptedReply{{HttpAnswer("302 Found", "Location: /again\r\n", "")}});
    EXPECT_FALSE(Fetch());
    ExpectUntouched();
    EXPECT_EQ(m_server.Requests().size(), static_cast<size_t>(kMaxRedirects) + 1);

    CScriptedHttpServer other;
    other.AddReply(HttpAnswer("302 Found", "", ""));
    test::WriteFile(m_cache, kOldCache);
    CManifestFetch fetch("download-noloc");
    fetch.Prepare(other.Url("/x"), m_cache);
    fetch.Start();
    fetch.Wait();
    EXPECT_FALSE(fetch.Succeeded());
    ExpectUntouched();
}

TEST_F(ManifestFetchTest, UrlWithoutPathRequestsTheRoot) {
    m_server.AddReply(HttpAnswer("200 OK", "", kBody));
    test::WriteFile(m_cache, kOldCache);
    CManifestFetch fetch("download-root");
    fetch.Prepare("http://127.0.0.1:" + std::to_string(m_server.Port()), m_cache);
    fetch.Start();
    fetch.Wait();
    EXPECT_TRUE(fetch.Succeeded());
    auto requests = m_server.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0], BuildManifestRequest("", "127.0.0.1:" + std::to_string(m_server.Port()),
                                                kInitialModifiedSince));
}

TEST_F(ManifestFetchTest, ReceiveTimeOutsAreRepeatedUntilCancelled) {
    m_options.receiveTimeoutMs = 50;
    std::string answer = HttpAnswer("200 OK", "", kBody);
    m_server.AddReply(ScriptedReply{{answer.substr(0, 30), answer.substr(30)}, false, 400});
    ASSERT_TRUE(Fetch());
    EXPECT_EQ(Cache(), kBody);

    // A server that never finishes: Stop() must end the transfer and leave the cache.
    m_server.AddReply(ScriptedReply{{"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nabc"}, true});
    test::WriteFile(m_cache, kOldCache);
    CManifestFetch fetch("download-cancel");
    fetch.SetOptions(m_options);
    fetch.Prepare(m_server.Url("/x"), m_cache);
    fetch.Start();
    ASSERT_TRUE(m_server.WaitForRequests(2, 10000));
    EXPECT_FALSE(fetch.Wait(200));  // still waiting for the body
    EXPECT_EQ(fetch.GetState(), CManifestFetch::kRunning);
    fetch.Stop();
    EXPECT_TRUE(fetch.Wait(0));
    EXPECT_FALSE(fetch.Succeeded());
    EXPECT_EQ(fetch.GetState(), CManifestFetch::kFinishedEmpty);
    ExpectUntouched();
}

TEST_F(ManifestFetchTest, UnreachableServersFail) {
    test::WriteFile(m_cache, kOldCache);
    for (std::string url :
         {"http://127.0.0.1:" + std::to_string(ClosedPort()) + "/x.xml", std::string("nothttp"),
          "http://127.0.0.1:1/" + std::string(kMaxManifestUrlBytes, 'a')}) {
        CManifestFetch fetch("download-unreachable");
        fetch.Prepare(url, m_cache);
        fetch.Start();
        fetch.Wait();
        EXPECT_FALSE(fetch.Succeeded()) << url;
        ExpectUntouched();
    }
    CManifestFetch empty("download-empty");
    empty.Prepare("", m_cache);
    empty.Start();  // an empty URL starts nothing
    EXPECT_TRUE(empty.Wait(0));
    EXPECT_EQ(empty.GetState(), CManifestFetch::kNotStarted);
}

class PictureFetchTest : public ::testing::Test {
protected:
    CScriptedHttpServer m_server;
    test::TempDir m_dir;
    std::string m_file = m_dir.File("pic.png");
};

TEST_F(PictureFetchTest, BodiesWithLengthOrUntilCloseAreWritten) {
    std::string png(3000, '\x89');
    m_server.AddReply(HttpAnswer("302 Found", "Location: /real.png\r\n", ""));
    m_server.AddReply(ScriptedReply{{HttpAnswer("200 OK", "", png).substr(0, 100),
                                     HttpAnswer("200 OK", "", png).substr(100) + "trailing junk"}});
    ASSERT_TRUE(FetchPicture(m_server.Url("/p.png"), m_file));
    EXPECT_EQ(test::ReadFile(m_file), png);
    auto requests = m_server.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1], BuildPictureRequest("real.png", "127.0.0.1:" + std::to_string(m_server.Port())));

    m_server.AddReply(ScriptedReply{{"HTTP/1.1 200 OK\r\n\r\nfirst", "second"}});
    ASSERT_TRUE(FetchPicture(m_server.Url("/q.png"), m_file));
    EXPECT_EQ(test::ReadFile(m_file), "firstsecond");
}

TEST_F(PictureFetchTest, EmptyBodySucceedsWithoutAFile) {
    m_server.AddReply(HttpAnswer("200 OK", "", ""));
    EXPECT_TRUE(FetchPicture(m_server.Url("/empty.png"), m_file));
    EXPECT_FALSE(platform::FileExists(m_file));
}

TEST_F(PictureFetchTest, FailuresWriteNothing) {
    FetchOptions quick;
    quick.receiveTimeoutMs = 50;
    m_server.AddReply(ScriptedReply{{"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc"}});  // cut short
    m_server.AddReply(HttpAnswer("404 Not Found", "", "nope"));
    m_server.AddReply(
        ScriptedReply{{"HTTP/1.1 200 OK\r\n", "\r\nlate"}, false, 400});  // slower than the time-out
    for (int i = 0; i < 3; ++i) {
        EXPECT_FALSE(FetchPicture(m_server.Url("/p.png"), m_file, quick)) << i;
        EXPECT_FALSE(platform::FileExists(m_file)) << i;
    }
    EXPECT_FALSE(FetchPicture("", m_file));
    EXPECT_FALSE(FetchPicture("http://127.0.0.1:" + std::to_string(ClosedPort()) + "/p.png", m_file));
    EXPECT_FALSE(platform::FileExists(m_file));
}

TEST(Beacon, SendsTheRequestAndClosesWithoutReading) {
    CScriptedHttpServer server;
    server.AddReply(ScriptedReply{{}, true});  // never answers: the beacon must not wait for it
    std::string host = "127.0.0.1:" + std::to_string(server.Port());
    ASSERT_TRUE(SendBeacon("http://" + host + "/c/box/downloader/?name=verdo7&data=launch"));
    ASSERT_TRUE(server.WaitForRequests(1, 10000));
    EXPECT_EQ(server.Requests()[0], BuildBeaconRequest("c/box/downloader/?name=verdo7&data=launch", host));

    EXPECT_FALSE(SendBeacon("http://" + host));  // no '/' after the host
    EXPECT_FALSE(SendBeacon("c/box/downloader/"));
    EXPECT_FALSE(SendBeacon("http://127.0.0.1:" + std::to_string(ClosedPort()) + "/c/box/downloader/"));
}

}  // namespace
}  // namespace tessali::app
