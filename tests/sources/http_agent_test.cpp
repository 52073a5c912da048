// The HTTP agent against scripted loopback servers: what it sends, which answers it accepts, its
// retry and give-up rules, its bounds, and what it hands to the linked task.

#include "engine/sources/http_agent.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "common/scripted_http_server.h"
#include "common/temp_dir.h"
#include "engine/core/share_queue.h"
#include "engine/core/task_mgr.h"
#include "engine/platform/file.h"
#include "engine/sources/http_source_link.h"
#include "engine/sources/http_source_reply.h"
#include "sources/http_source_test_util.h"

namespace tessali::sources {
namespace {

using test::CScriptedHttpServer;
using test::HttpAnswer;
using test::ReadFile;
using test::ScriptedReply;
using test::TempDir;
using test::WaitUntil;

std::string Pattern(size_t n, uint32_t seed = 1) {
    std::string s(n, '\0');
    uint32_t x = seed;
    for (char& c : s) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 16);
    }
    return s;
}

// A head announcing `length` bytes followed by the first `sent` of them, then the server closes.
ScriptedReply CutAnswer(int64_t length, size_t sent) {
    return ScriptedReply{
        {"HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(length) + "\r\n\r\n", Pattern(sent)}};
}

class HttpAgentTest : public ::testing::Test {
protected:
    void SetUp() override {
        core::ShareQueue().Clear();
        m_agent.Start();
    }
    void TearDown() override {
        m_agent.Stop();
        core::ShareQueue().Clear();
    }
    bool Ends(const HttpKey& key) {
        return WaitUntil([&] {
            int s = m_agent.State(key);
            return s == CAgentInfo::kGivenUp || s == 0 ||
                   (m_agent.ContentLength(key) != 0 &&
                    m_agent.BytesWritten(key) == m_agent.ContentLength(key));
        });
    }

    TempDir m_dir;
    CScriptedHttpServer m_server;
    core::CTaskMgr m_tasks;
    CHttpAgent m_agent{m_tasks, m_tasks};
};

TEST_F(HttpAgentTest, DownloadsIntoTemporaryFileThenRenamesItAndSendsTheRequestAsWritten) {
    const std::string body = Pattern(300000);
    m_server.AddReply(HttpAnswer("200 OK", "", body));
    const std::string target = m_dir.File("patch.rar");
    const std::string url = m_server.Url("/files/patch.rar");
    HttpKey key = HttpJobKey(url);
    ASSERT_EQ(m_agent.Add(url, key, 0, target), kHttpAddStarted);
    ASSERT_TRUE(Ends(key));
    EXPECT_EQ(m_agent.BytesWritten(key), static_cast<int64_t>(body.size()));
    EXPECT_EQ(ReadFile(target), body);
    EXPECT_FALSE(platform::FileExists(target + ".!hmt"));
    EXPECT_EQ(m_agent.Speed(key), 0u) << "a complete download has no speed";

    std::vector<std::string> requests = m_server.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(
        requests[0],
        "GET /files/patch.rar HTTP/1.1\r\nAccept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, "
        "application/x-shockwave-flash, application/x-ms-application, application/x-ms-xbap, */*\r\n"
        "Accept-Language: zh-cn\r\nAccept-Encoding: gzip, deflate\r\nUser-Agent: Mozilla/4.0 (compatible; "
        "MSIE "
        "6.0; Windows NT 5.1; SV1; .NET CLR 1.1.4322; .NET CLR 2.0.50727;  .NET CLR 2.0.50727;3.0.4506.2152; "
        "InfoPath.2; .NET CLR 3.5.21022)\r\nHost: 127.0.0.1\r\nConnection: Keep-Alive\r\n\r\n");

    // A second add of the complete key answers 2 and opens no connection.
    EXPECT_EQ(m_agent.Add(url, key, 0, target), kHttpAddComplete);
    EXPECT_EQ(m_agent.ConnectAttempts(), 1u);
    EXPECT_EQ(m_server.Requests().size(), 1u);
}

TEST_F(HttpAgentTest, BrokenDownloadsRestartFromZeroTwiceBelowTheLimitAndNotAboveIt) {
    // Closing at 100 KiB of a known length: two reconnects, each from byte 0, then given up.
    m_server.SetDefaultReply(CutAnswer(1 << 20, 100 * 1024));
    std::string url = m_server.Url("/short");
    HttpKey key = HttpJobKey(url);
    ASSERT_EQ(m_agent.Add(url, key, 0, m_dir.File("short.bin")), kHttpAddStarted);
    ASSERT_TRUE(WaitUntil([&] { return m_agent.State(key) == CAgentInfo::kGivenUp; }));
    EXPECT_EQ(m_agent.ConnectAttempts(), 3u);
    EXPECT_EQ(m_server.Requests().size(), 3u);
    EXPECT_EQ(m_agent.BytesWritten(key), 100 * 1024) << "each attempt starts again at byte 0";
    EXPECT_FALSE(platform::FileExists(m_dir.File("short.bin.!hmt")));
    std::vector<uint8_t> notice(32);
    size_t length = 0;
    ASSERT_TRUE(m_agent.TakeNotification(notice, length));
    EXPECT_EQ(notice[20], kHttpNoticeGivenUp);
    EXPECT_TRUE(std::equal(key.bytes.begin(), key.bytes.end(), notice.begin()));
}

TEST_F(HttpAgentTest, BrokenDownloadPastTheLimitIsGivenUpAtOnce) {
    m_server.SetDefaultReply(CutAnswer(1 << 20, 300 * 1024 + 100));
    std::string url = m_server.Url("/long");
    HttpKey key = HttpJobKey(url);
    ASSERT_EQ(m_agent.Add(url, key, 0, m_dir.File("long.bin")), kHttpAddStarted);
    ASSERT_TRUE(WaitUntil([&] { return m_agent.State(key) == CAgentInfo::kGivenUp; }));
    EXPECT_EQ(m_agent.ConnectAttempts(), 1u);
    EXPECT_EQ(m_agent.BytesWritten(key), 300 * 1024 + 100);
}

TEST_F(HttpAgentTest, AnswerWithoutLengthRunsUntilStoppedAndIsKept) {
    ScriptedReply stream;
    stream.pieces.push_back("HTTP/1.1 206 Partial Content\r\nContent-Type: application/octet-stream\r\n\r\n");
    for (int i = 0; i < 40; ++i) {
        stream.pieces.push_back(Pattern(16384, i + 1));
    }
    stream.pauseMs = 5;
    stream.holdOpen = true;
    m_server.AddReply(stream);
    std::string url = m_server.Url("/endless");
    HttpKey key = HttpJobKey(url);
    ASSERT_EQ(m_agent.Add(url, key, 0, m_dir.File("endless.bin")), kHttpAddStarted);
    ASSERT_TRUE(WaitUntil([&] { return m_agent.BytesWritten(key) == 40 * 16384; }));
    EXPECT_EQ(m_agent.ContentLength(key), kUnknownContentLength);
    EXPECT_EQ(m_agent.State(key), CAgentInfo::kConnected) << "no end is reached without a length";
    ASSERT_EQ(m_agent.StatusSnapshot().size(), 1u);
    EXPECT_GT(m_agent.StatusSnapshot()[0].speed, 0u);

    EXPECT_TRUE(m_agent.Close(key, true, false));
    EXPECT_TRUE(m_agent.StatusSnapshot().empty()) << "a stopped download is no longer reported";
    EXPECT_EQ(m_agent.State(key), CAgentInfo::kConnected) << "kept for loading into its task";
    EXPECT_EQ(m_agent.ConnectAttempts(), 1u) << "a stop by the engine is not retried";
    EXPECT_EQ(ReadFile(m_dir.File("endless.bin.!hmt")).size(), 40u * 16384);
}

TEST_F(HttpAgentTest, RefusedAnswersEndTheDownloadWithTheirTextKept) {
    struct Case {
        std::string name;
        std::string answer;
        std::string kept;
    };
    std::vector<Case> cases = {
        {"xml",
         HttpAnswer("200 OK", "Content-Type: text/xml\r\n",
                    "<?xml version=\"1.0\"?><Error>NoSuchKey</Error>"),
         "<Error>NoSuchKey</Error>"},
        {"redirect", HttpAnswer("302 Found", "Location: http://127.0.0.1:1/elsewhere\r\n", "moved"),
         "302 Found"},
        {"missing", HttpAnswer("404 Not Found", "", "no such file"), "404 Not Found"},
        {"not http", "SSH-2.0-OpenSSH\r\n\r\n", "SSH-2.0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CScriptedHttpServer server;
        server.SetDefaultReply(ScriptedReply{{c.answer}});
        std::string url = server.Url("/" + c.name);
        HttpKey key = HttpJobKey(url);
        ASSERT_EQ(m_agent.Add(url, key, 0, m_dir.File(c.name)), kHttpAddStarted);
        ASSERT_TRUE(WaitUntil([&] { return m_agent.State(key) == CAgentInfo::kGivenUp; }));
        char text[1024] = {};
        size_t n = m_agent.FailedResponseText(key, text);
        EXPECT_NE(std::string(text, n).find(c.kept), std::string::npos) << std::string(text, n);
        EXPECT_EQ(server.Requests().size(), 1u) << "a refusal is not asked again";
        EXPECT_FALSE(platform::FileExists(m_dir.File(c.name)));
        // Closing a given-up download forgets it.
        EXPECT_TRUE(m_agent.Close(key, false, false));
        EXPECT_EQ(m_agent.State(key), 0);
    }
}

// Servers that answer 200 or 206 but whose bytes must not become the file as they stand.
TEST_F(HttpAgentTest, MisleadingAnswersStoreTheRightBytesOrNothing) {
    const std::string body = Pattern(600000, 7);
    struct Case {
        std::string name;
        std::string answer;
        std::string stored;  // the file expected at the target; "-" for none
    };
    std::vector<Case> cases = {
        {"look-alike length", HttpAnswer("200 OK", "X-Content-Length: 1000\r\n", body), body},
        {"lower-case length", "HTTP/1.1 200 OK\r\ncontent-length: 1000\r\n\r\n" + body.substr(0, 1000),
         body.substr(0, 1000)},
        {"content location",
         HttpAnswer("200 OK", "Content-Location: /mirror/file.bin\r\n", body.substr(0, 5000)),
         body.substr(0, 5000)},
        {"empty", HttpAnswer("200 OK", "", ""), ""},
        {"chunked",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1388\r\n" + body.substr(0, 5000) +
             "\r\n0\r\n\r\n",
         "-"},
        {"compressed", HttpAnswer("200 OK", "Content-Encoding: gzip\r\n", body.substr(0, 3000)), "-"},
        {"middle range",
         HttpAnswer("206 Partial Content", "Content-Range: bytes 500-999/1000\r\n", body.substr(0, 500)),
         "-"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CScriptedHttpServer server;
        server.SetDefaultReply(ScriptedReply{{c.answer}});
        std::string url = server.Url("/case");
        std::string target = m_dir.File(c.name);
        HttpKey key = HttpJobKey(url);
        ASSERT_EQ(m_agent.Add(url, key, 0, target), kHttpAddStarted);
        ASSERT_TRUE(
            WaitUntil([&] { return m_agent.IsComplete(key) || m_agent.State(key) == CAgentInfo::kGivenUp; }));
        if (c.stored == "-") {
            EXPECT_EQ(m_agent.State(key), CAgentInfo::kGivenUp);
            EXPECT_FALSE(platform::FileExists(target));
            EXPECT_EQ(server.Requests().size(), 1u) << "a refusal is not asked again";
        } else {
            EXPECT_TRUE(m_agent.IsComplete(key));
            std::string stored = ReadFile(target);
            EXPECT_EQ(stored.size(), c.stored.size());
            EXPECT_TRUE(stored == c.stored) << "the bytes differ";
            EXPECT_TRUE(platform::FileExists(target));
            EXPECT_EQ(server.Requests().size(), 1u);
        }
        EXPECT_FALSE(platform::FileExists(target + ".!hmt"));
    }
}

TEST_F(HttpAgentTest, ASilentServerIsTreatedAsABrokenConnection) {
    // 1000 bytes of a million, then the connection stays open and silent.
    ScriptedReply stall{{"HTTP/1.1 200 OK\r\nContent-Length: 1000000\r\n\r\n", Pattern(1000)}};
    stall.holdOpen = true;
    m_server.SetDefaultReply(stall);
    m_agent.SetIdleTimeout(200);
    std::string url = m_server.Url("/stall");
    HttpKey key = HttpJobKey(url);
    ASSERT_EQ(m_agent.Add(url, key, 0, m_dir.File("stall.bin")), kHttpAddStarted);
    ASSERT_TRUE(WaitUntil([&] { return m_agent.State(key) == CAgentInfo::kGivenUp; }, 30000));
    EXPECT_EQ(m_server.Requests().size(), 3u) << "retried from the start twice, as a broken download";
    EXPECT_FALSE(platform::FileExists(m_dir.File("stall.bin.!hmt"))) << "a given-up download leaves nothing";
    EXPECT_FALSE(platform::FileExists(m_dir.File("stall.bin")));
}

TEST_F(HttpAgentTest, GivenUpDownloadsRemoveTheirTemporaryFile) {
    // An answer without a length, closed by the server each time: three attempts, then given up.
    m_server.SetDefaultReply(ScriptedReply{{"HTTP/1.1 200 OK\r\n\r\n", Pattern(5000)}});
    std::string url = m_server.Url("/unframed");
    HttpKey key = HttpJobKey(url);
    ASSERT_EQ(m_agent.Add(url, key, 0, m_dir.File("unframed.bin")), kHttpAddStarted);
    ASSERT_TRUE(WaitUntil([&] { return m_agent.State(key) == CAgentInfo::kGivenUp; }));
    EXPECT_EQ(m_server.Requests().size(), 3u);
    EXPECT_FALSE(platform::FileExists(m_dir.File("unframed.bin.!hmt")));
    EXPECT_FALSE(platform::FileExists(m_dir.File("unframed.bin")));

    // A temporary file that cannot be written ends the download instead of leaving it hanging.
    const std::string blocked = m_dir.File("blocked.bin");
    ASSERT_TRUE(std::filesystem::create_directory(blocked + ".!hmt"));
    CScriptedHttpServer server;
    server.SetDefaultReply(ScriptedReply{{HttpAnswer("200 OK", "", Pattern(2000))}});
    std::string url2 = server.Url("/blocked");
    HttpKey key2 = HttpJobKey(url2);
    ASSERT_EQ(m_agent.Add(url2, key2, 0, blocked), kHttpAddStarted);
    EXPECT_TRUE(WaitUntil([&] { return m_agent.State(key2) == CAgentInfo::kGivenUp; }));
    EXPECT_EQ(server.Requests().size(), 1u) << "a file that cannot be written is not asked for again";

    // A download the engine stops is kept: its pieces may still go into its task.
    ScriptedReply partial{{"HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n", Pattern(20000)}};
    partial.holdOpen = true;
    CScriptedHttpServer server3;
    server3.SetDefaultReply(partial);
    std::string url3 = server3.Url("/kept");
    HttpKey key3 = HttpJobKey(url3);
    ASSERT_EQ(m_agent.Add(url3, key3, 0, m_dir.File("kept.bin")), kHttpAddStarted);
    ASSERT_TRUE(WaitUntil([&] { return m_agent.BytesWritten(key3) == 20000; }));
    EXPECT_TRUE(m_agent.Close(key3, true, false));
    EXPECT_EQ(ReadFile(m_dir.File("kept.bin.!hmt")), Pattern(20000));
}

TEST_F(HttpAgentTest, HeadersAreBoundedInSize) {
    // Headers that never end: the agent stops reading at its bound and gives up.
    ScriptedReply endless;
    endless.pieces.push_back("HTTP/1.1 200 OK\r\n");
    for (int i = 0; i < 40; ++i) {
        endless.pieces.push_back("X-Filler: " + std::string(1000, 'a') + "\r\n");
    }
    endless.pauseMs = 2;
    endless.holdOpen = true;
    m_server.SetDefaultReply(endless);
    std::string url = m_server.Url("/headers");
    HttpKey key = HttpJobKey(url);
    ASSERT_EQ(m_agent.Add(url, key, 0, m_dir.File("headers")), kHttpAddStarted);
    ASSERT_TRUE(WaitUntil([&] { return m_agent.State(key) == CAgentInfo::kGivenUp; }));
    std::vector<char> text(1 << 20);
    size_t n = m_agent.FailedResponseText(key, text);
    EXPECT_GT(n, 1000u);
    EXPECT_LE(n, kMaxFailedResponseBytes);
}

TEST_F(HttpAgentTest, AtMostSixtyFourConnectionsAndBadUrlsFail) {
    // A listener that never accepts: connections complete in the kernel and stay open.
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    ASSERT_EQ(::listen(fd, 256), 0);
    socklen_t len = sizeof sa;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    std::string base = "http://127.0.0.1:" + std::to_string(ntohs(sa.sin_port)) + "/f";
    for (size_t i = 0; i < kMaxHttpConnections; ++i) {
        std::string url = base + std::to_string(i);
        ASSERT_EQ(m_agent.Add(url, HttpJobKey(url), 0, m_dir.File("f" + std::to_string(i))), kHttpAddStarted)
            << i;
    }
    EXPECT_EQ(m_agent.Add(base + "x", HttpJobKey(base + "x"), 0, m_dir.File("fx")), kHttpAddFailed);
    EXPECT_TRUE(m_agent.Remove(HttpJobKey(base + "0")));
    EXPECT_EQ(m_agent.Add(base + "x", HttpJobKey(base + "x"), 0, m_dir.File("fx")), kHttpAddStarted);
    ::close(fd);

    EXPECT_EQ(m_agent.Add("ftp://127.0.0.1/x", HttpJobKey("a"), 0, ""), kHttpAddFailed);
    EXPECT_EQ(m_agent.Add("http://127.0.0.1/" + std::string(kMaxHttpUrlChars, 'a'), HttpJobKey("b"), 0, ""),
              kHttpAddFailed);
}

TEST_F(HttpAgentTest, CompletionPausesTheLinkedTaskAndQueuesTheFileForSharing) {
    const std::string body = Pattern(70000);
    m_server.AddReply(HttpAnswer("200 OK", "", body));
    const std::string target = m_dir.File("linked.exe");
    core::TaskHash taskHash = core::TaskHash::FromText("00112233445566778899AABBCCDDEEFF00112233");
    auto task = core::Ref<test::PieceRecordingTask>::Make(taskHash, target, 16384, 5, 70000);
    ASSERT_TRUE(m_tasks.InsertTask(task));
    std::string url = m_server.Url("/linked.exe");
    ASSERT_TRUE(AddHttpSeedJob(m_agent, m_tasks, url, taskHash, target));
    HttpKey key = HttpJobKey(url);
    core::TaskHash linked;
    ASSERT_TRUE(m_agent.TaskOf(key, linked));
    EXPECT_EQ(linked, taskHash);
    EXPECT_TRUE(m_tasks.IsHttpTask(taskHash));
    ASSERT_TRUE(WaitUntil([&] { return core::ShareQueue().Size() == 1; }));
    EXPECT_EQ(task->RunState(), core::kRunPaused) << "paused, never the deleting state";
    EXPECT_EQ(core::ShareQueue().Take(), target);
    EXPECT_EQ(ReadFile(target), body);

    // The task's information record reads the HTTP download's figures.
    CHttpSourceHooks hooks(&m_agent, &m_tasks);
    core::SetHttpStatusSource(&hooks);
    core::TaskInfoRecord record{};
    ASSERT_EQ(m_tasks.QueryTaskInfo(taskHash, record), 0);
    core::SetHttpStatusSource(nullptr);
    EXPECT_EQ(record.TotalSize(), 70000);
    EXPECT_EQ(record.HaveSize(), 70000);
    EXPECT_EQ(record.downloaded, 70000u);
}

TEST_F(HttpAgentTest, MergeLoadsTheWholePiecesTheTaskLacksAndForgetsTheDownload) {
    ScriptedReply partial;
    partial.pieces = {"HTTP/1.1 200 OK\r\nContent-Length: 200000\r\n\r\n", Pattern(3 * 16384 + 5000)};
    partial.holdOpen = true;
    m_server.AddReply(partial);
    const std::string target = m_dir.File("merge.bin");
    core::TaskHash taskHash = core::TaskHash::FromText("AA112233445566778899AABBCCDDEEFF00112233");
    auto task = core::Ref<test::PieceRecordingTask>::Make(taskHash, target, 16384, 13, 200000);
    task->MarkHave(1);  // a peer already brought piece 1
    ASSERT_TRUE(m_tasks.InsertTask(task));
    std::string url = m_server.Url("/merge.bin");
    ASSERT_TRUE(AddHttpSeedJob(m_agent, m_tasks, url, taskHash, target));
    HttpKey key = HttpJobKey(url);
    ASSERT_TRUE(WaitUntil([&] { return m_agent.BytesWritten(key) == 3 * 16384 + 5000; }));

    CHttpSourceHooks hooks(&m_agent, &m_tasks);
    EXPECT_EQ(hooks.MergeHttpDownload(taskHash), 2);
    std::string expected = Pattern(3 * 16384 + 5000);
    ASSERT_EQ(task->written.size(), 2u);
    EXPECT_EQ(std::string(task->written[0].begin(), task->written[0].end()), expected.substr(0, 16384));
    EXPECT_EQ(std::string(task->written[2].begin(), task->written[2].end()),
              expected.substr(2 * 16384, 16384));
    EXPECT_FALSE(task->written.count(1)) << "a piece the task has is not written again";
    EXPECT_FALSE(task->written.count(3)) << "an incomplete piece is not loaded";
    EXPECT_FALSE(platform::FileExists(target + ".!hmt"));
    EXPECT_EQ(m_agent.State(key), 0) << "the download is erased";
    EXPECT_FALSE(m_tasks.IsHttpTask(taskHash));
    EXPECT_EQ(hooks.MergeHttpDownload(taskHash), 0) << "a second merge has nothing to do";
}

// The request asks for no range: a 206 is usable only when its range is the whole resource.
TEST(HttpSourceHeadTest, PartialAnswersMustCoverTheWholeResource) {
    auto verdict = [](const std::string& range) {
        return ReadHttpSourceHead("HTTP/1.1 206 Partial Content\r\n" + range + "Content-Length: 500\r\n\r\n")
            .verdict;
    };
    EXPECT_EQ(verdict(""), HttpSourceHead::kAccepted) << "no range named: taken like a 200";
    EXPECT_EQ(verdict("Content-Range: bytes 0-499/500\r\n"), HttpSourceHead::kAccepted);
    EXPECT_EQ(verdict("content-range: bytes 0-499/*\r\n"), HttpSourceHead::kAccepted);
    EXPECT_EQ(verdict("Content-Range: bytes 500-999/1000\r\n"), HttpSourceHead::kRefused);
    EXPECT_EQ(verdict("Content-Range: bytes 0-499/1000\r\n"), HttpSourceHead::kRefused);
    EXPECT_EQ(verdict("Content-Range: bytes */1000\r\n"), HttpSourceHead::kRefused);
    EXPECT_EQ(verdict("Content-Range: pages 0-499/500\r\n"), HttpSourceHead::kRefused);
    EXPECT_EQ(verdict("Content-Range: bytes -5-499/500\r\n"), HttpSourceHead::kRefused);
}

TEST(HttpSourceHeadTest, AcceptsOnlyUsableAnswers) {
    auto read = [](const std::string& s) { return ReadHttpSourceHead(s); };
    HttpSourceHead ok = read("HTTP/1.1 200 OK\r\nContent-Length: 12345678901\r\n\r\nbody");
    EXPECT_EQ(ok.verdict, HttpSourceHead::kAccepted);
    EXPECT_EQ(ok.contentLength, 12345678901);
    EXPECT_EQ(ok.bodyOffset, std::string("HTTP/1.1 200 OK\r\nContent-Length: 12345678901\r\n\r\n").size());
    EXPECT_EQ(read("HTTP/1.0 206 Partial\r\nContent-length: 7\r\n\r\n").contentLength, 7);
    EXPECT_EQ(
        read("HTTP/1.1 200 OK\r\nX-Content-Length: 1000\r\nContent-Length: 600000\r\n\r\n").contentLength,
        600000)
        << "the body's own framing decides, whatever a look-alike header says";
    EXPECT_EQ(read("HTTP/1.1 200 OK\r\nX-Content-Length: 9\r\n\r\n").contentLength, 9)
        << "X-Content-Length stands in when there is no Content-Length";
    EXPECT_EQ(
        read("HTTP/1.1 200 OK\r\nOriginal-Content-Length: 5\r\nContent-Length: 9\r\n\r\n").contentLength, 9);
    EXPECT_EQ(read("HTTP/1.1 200 OK\r\nX-Note: Content-Length: 5\r\n\r\n").contentLength,
              kUnknownContentLength)
        << "a name inside another header's value is no header";
    EXPECT_EQ(read("HTTP/1.1 200 OK\r\ncontent-length: 77\r\n\r\n").contentLength, 77);
    EXPECT_EQ(read("HTTP/1.1 200 OK\r\nCONTENT-LENGTH:88 \r\n\r\n").contentLength, 88);
    EXPECT_EQ(read("HTTP/1.1 200 OK\r\nContent-Length: 12x\r\n\r\n").contentLength, kUnknownContentLength);
    EXPECT_EQ(read("HTTP/1.1 200 OK\r\nContent-Length: abc\r\n\r\n").contentLength, kUnknownContentLength);
    EXPECT_EQ(read("HTTP/1.1 200 OK\r\n\r\n").contentLength, kUnknownContentLength);
    EXPECT_EQ(read("HTTP/1.1 200 OK\r\nContent-Le").verdict, HttpSourceHead::kIncomplete);
    EXPECT_EQ(read("HTT").verdict, HttpSourceHead::kIncomplete);
    EXPECT_EQ(read("HTTP/1.1 500 Internal\r\n").verdict, HttpSourceHead::kRefused)
        << "refused before the head ends";
    EXPECT_EQ(read("HTTP/2 200 OK\r\n\r\n").verdict, HttpSourceHead::kRefused);
    EXPECT_EQ(read("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n").verdict,
              HttpSourceHead::kRefused);
    EXPECT_EQ(read("HTTP/1.1 200 OK\r\ncontent-encoding: deflate\r\n\r\n").verdict, HttpSourceHead::kRefused);
    EXPECT_EQ(read("HTTP/1.1 200 OK\r\nContent-Encoding: identity\r\n\r\n").verdict,
              HttpSourceHead::kAccepted);
    EXPECT_EQ(read("HTTP/1.1 200 OK\r\nContent-Location: /x\r\n\r\n").verdict, HttpSourceHead::kAccepted)
        << "headers are not searched for redirects";
    EXPECT_EQ(read("HTTP/1.1 200 OK\r\n\r\n<html>Location: /x</html>").verdict, HttpSourceHead::kRefused);
    EXPECT_EQ(read("HTTP/1.1 200 OK\r\n\r\n<?xml version=\"1.0\"?><Error/>").verdict,
              HttpSourceHead::kRefused);
    EXPECT_EQ(read("HTTP/1.1 200 OK\r\n\r\nbinary <?xml inside").verdict, HttpSourceHead::kAccepted);
    EXPECT_EQ(read("HTTP/1.1 200 OK\r\n" + std::string(kMaxHttpHeadBytes, 'x')).verdict,
              HttpSourceHead::kRefused);
    EXPECT_EQ(read("HTTP/1.1 200 OK\r\nX: " + std::string(kMaxHttpHeadBytes, 'x') + "\r\n\r\n").verdict,
              HttpSourceHead::kRefused);
}

// The status is the code after the version; a reason phrase naming another code changes nothing.
TEST(HttpSourceHeadTest, TheStatusIsItsCodeNotTextInTheLine) {
    auto read = [](const std::string& s) { return ReadHttpSourceHead(s).verdict; };
    EXPECT_EQ(read("HTTP/1.1 404 Not 200 Found\r\nContent-Length: 9\r\n\r\nnot found"),
              HttpSourceHead::kRefused);
    EXPECT_EQ(read("HTTP/1.1 500 Error 206 \r\n"), HttpSourceHead::kRefused);
    EXPECT_EQ(read("HTTP/1.1 302 Found (was 200 )\r\nLocation: /x\r\n\r\n"), HttpSourceHead::kRefused);
    EXPECT_EQ(read("HTTP/1.1 2000 OK\r\n\r\n"), HttpSourceHead::kRefused);
    EXPECT_EQ(read("HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nbody"), HttpSourceHead::kAccepted);
    EXPECT_EQ(read("HTTP/1.0 206 Partial Content\r\nContent-Length: 4\r\n\r\nbody"),
              HttpSourceHead::kAccepted);
}

}  // namespace
}  // namespace tessali::sources
