// The BitTorrent tracker client against a real opentracker on loopback, over HTTP and UDP: the
// announces are accepted, the peers listed are handed to the connector (ourselves left out), each
// exchange marks its tracker answered, and a hash the tracker refuses yields no answer.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <mutex>
#include <string>

#include "common/fakes/recording_connector.h"
#include "common/temp_dir.h"
#include "engine/core/task_mgr.h"
#include "engine/platform/file.h"
#include "engine/sources/bt_tracker_client.h"
#include "integration/opentracker_process.h"
#include "sources/http_source_test_util.h"

namespace tessali::sources {
namespace {

using test::COpentracker;
using test::WaitUntil;

const char* kHashText = "0123456789ABCDEF0123456789ABCDEF01234567";

// One engine's view: its own listening port, peer id and answered marks.
struct Announcer {
    Announcer(uint16_t port, core::CTaskMgrInterFace& tasks) : client(Settings(port), &tasks) {
        client.SetResolver([](const std::string& host, uint32_t& addr, bool& pending) {
            pending = false;
            addr = inet_addr(host.c_str());
            return addr != INADDR_NONE;
        });
        client.SetAnsweredCallback([this](const core::TaskHash&, const std::string& url) {
            std::lock_guard lock(m_lock);
            answered.push_back(url);
        });
        client.Start();
    }
    static BtTrackerSettings Settings(uint16_t port) {
        BtTrackerSettings s;
        std::string id = "-BT0000-00000000" + std::to_string(port);
        std::copy_n(id.begin(), 20, s.peerId.begin());
        s.listenPort = port;
        s.ownAddresses = {htonl(INADDR_LOOPBACK)};
        return s;
    }
    size_t Answered() {
        std::lock_guard lock(m_lock);
        return answered.size();
    }
    CBtTrackerClient client;
    std::vector<std::string> answered;
    std::mutex m_lock;
};

TEST(BtTrackerOpentrackerTest, HttpAndUdpAnnouncesReturnEachOthersPeers) {
    if (!COpentracker::Available()) {
        GTEST_SKIP() << "opentracker is not installed";
    }
    COpentracker tracker(test::FreeTcpUdpPort(), kHashText);
    ASSERT_TRUE(tracker.WaitReady());
    core::CTaskMgr tasks;
    test::CRecordingConnector connector(true);
    core::TaskHash hash = core::TaskHash::FromText(kHashText);

    Announcer a(15001, tasks);
    ASSERT_EQ(a.client.Announce(hash, tracker.HttpUrl()), kBtAnnounceStarted);
    ASSERT_TRUE(WaitUntil([&] { return a.Answered() == 1; }, 30000));
    EXPECT_TRUE(connector.Ports().empty()) << "the tracker lists only ourselves";

    Announcer b(15002, tasks);
    ASSERT_EQ(b.client.Announce(hash, tracker.UdpUrl()), kBtAnnounceStarted);
    ASSERT_TRUE(WaitUntil([&] { return b.Answered() == 1; }, 30000));
    ASSERT_EQ(connector.Ports(), std::vector<uint16_t>{15001});
    EXPECT_EQ(connector.Calls()[0].second.addr, htonl(INADDR_LOOPBACK));
    EXPECT_EQ(b.answered[0], tracker.UdpUrl());

    ASSERT_EQ(a.client.Announce(hash, tracker.HttpUrl()), kBtAnnounceStarted);
    ASSERT_TRUE(WaitUntil([&] { return a.Answered() == 2; }, 30000));
    EXPECT_EQ(connector.Ports(), (std::vector<uint16_t>{15001, 15002}));
    EXPECT_TRUE(
        WaitUntil([&] { return a.client.OpenExchanges() == 0 && b.client.OpenExchanges() == 0; }, 30000));
}

TEST(BtTrackerOpentrackerTest, HashOutsideTheWhitelistIsNotAnswered) {
    if (!COpentracker::Available()) {
        GTEST_SKIP() << "opentracker is not installed";
    }
    COpentracker tracker(test::FreeTcpUdpPort(), kHashText);
    ASSERT_TRUE(tracker.WaitReady());
    core::CTaskMgr tasks;
    test::CRecordingConnector connector(true);
    Announcer a(15003, tasks);
    core::TaskHash other = core::TaskHash::FromText("FFEEDDCCBBAA99887766554433221100FFEEDDCC");
    ASSERT_EQ(a.client.Announce(other, tracker.HttpUrl()), kBtAnnounceStarted);
    ASSERT_TRUE(WaitUntil([&] { return a.client.OpenExchanges() == 0; }, 30000));
    EXPECT_EQ(a.Answered(), 0u);
    EXPECT_TRUE(connector.Ports().empty());
}

}  // namespace
}  // namespace tessali::sources
