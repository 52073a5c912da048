// HTTP-source bytes in the running engine's speed figures: the engine-wide download speed (which
// drives the automatic upload limit) and the speed of the task the download belongs to (which
// drives the choice of peers to ask).

#include <gtest/gtest.h>

#include "common/scripted_http_server.h"
#include "common/temp_dir.h"
#include "engine/core/engine_api.h"
#include "engine/core/task_mgr.h"
#include "engine/net/peer_engine.h"
#include "engine/platform/deploy_config.h"
#include "engine/sources/http_agent.h"
#include "engine/sources/http_source_link.h"
#include "sources/http_source_test_util.h"

namespace tessali::sources {
namespace {

class HttpSourceSpeedTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::DeployConfig deploy;
        deploy.natType = 0;
        deploy.trackerHost = "127.0.0.1:1";
        deploy.lanSearch = false;
        platform::SetDeploy(deploy);
        ASSERT_TRUE(EngineStartNetwork());
        ASSERT_EQ(EngineInit(), 0);
    }
    void TearDown() override {
        EngineUninit();
        platform::SetDeploy({});
    }
    test::TempDir dir;
    test::ScopedEnv data{"XDG_DATA_HOME", dir.Path()};
};

TEST_F(HttpSourceSpeedTest, HttpBytesCountInTheEngineAndTaskDownloadSpeeds) {
    // 400 KiB of 4 MiB, a piece at a time, then the server keeps the connection open.
    test::CScriptedHttpServer server;
    test::ScriptedReply reply;
    reply.pieces.push_back("HTTP/1.1 200 OK\r\nContent-Length: 4194304\r\n\r\n");
    for (int i = 0; i < 25; ++i) {
        reply.pieces.push_back(std::string(16384, static_cast<char>('a' + i)));
    }
    reply.pauseMs = 5;
    reply.holdOpen = true;
    server.SetDefaultReply(reply);

    const std::string target = dir.File("client.bin");
    const std::string url = server.Url("/client.bin");
    const core::TaskHash hash = core::TaskHash::FromText("0123456789ABCDEF0123456789ABCDEF01234567");
    ASSERT_EQ(AddHashTask(hash.ToText(), target), 0);
    ASSERT_TRUE(AddSeedTask(url, hash.ToText(), target));
    HttpKey key = HttpJobKey(url);
    ASSERT_TRUE(test::WaitUntil([&] { return HttpAgent().BytesWritten(key) == 25 * 16384; }));

    EXPECT_TRUE(test::WaitUntil([&] { return core::TaskMgr().GetTaskRateB(hash) > 0; }))
        << "the task's download speed includes its HTTP source";
    EXPECT_TRUE(test::WaitUntil([&] {
        net::CPeerEngine* peers = net::PeerEngine();
        return peers != nullptr && peers->DownloadRate() > 0;
    })) << "the engine's download speed includes HTTP sources";
}

}  // namespace
}  // namespace tessali::sources
