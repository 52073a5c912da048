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

#include "common/temp_dir.h"
#include "engine/core/task_mgr.h"
#include "engine/platform/file.h"
#include "engine/sources/bt_tracker_client.h"
#include "sources/http_source_test_util.h"

namespace tessali::sources {
namespace {

using test::WaitUntil;

const char* kHashText = "0123456789ABCDEF0123456789ABCDEF01234567";

uint16_t FreePort() {
    for (int attempt = 0; attempt < 20; ++attempt) {
        int t = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(t, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        socklen_t len = sizeof sa;
        ::getsockname(t, reinterpret_cast<sockaddr*>(&sa), &len);
        int u = ::socket(AF_INET, SOCK_DGRAM, 0);
        bool udpFree = ::bind(u, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
        ::close(t);
        ::close(u);
        if (udpFree) {
            return ntohs(sa.sin_port);
        }
    }
    return 0;
}

// opentracker refuses to run as root and chroots into its folder: it gets a folder readable by
// "nobody" with the whitelist inside.
class COpentracker {
public:
    explicit COpentracker(const std::string& whitelistHex) {
        ::chmod(m_dir.Path().c_str(), 0755);
        test::WriteFile(m_dir.File("whitelist"), whitelistHex + "\n");
        ::chmod(m_dir.File("whitelist").c_str(), 0644);
        m_port = FreePort();
        std::string port = std::to_string(m_port);
        m_pid = ::fork();
        if (m_pid == 0) {
            ::execlp("opentracker", "opentracker", "-i", "127.0.0.1", "-p", port.c_str(), "-P", port.c_str(),
                     "-d", m_dir.Path().c_str(), "-u", "nobody", "-w", "whitelist",
                     static_cast<char*>(nullptr));
            ::_exit(127);
        }
    }
    ~COpentracker() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGTERM);
            ::waitpid(m_pid, nullptr, 0);
        }
    }
    static bool Available() { return ::system("command -v opentracker >/dev/null 2>&1") == 0; }
    bool WaitReady() {
        return WaitUntil([&] {
            int s = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in sa{};
            sa.sin_family = AF_INET;
            sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            sa.sin_port = htons(m_port);
            bool ok = ::connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
            ::close(s);
            return ok;
        });
    }
    std::string HttpUrl() const { return "http://127.0.0.1:" + std::to_string(m_port) + "/announce"; }
    std::string UdpUrl() const { return "udp://127.0.0.1:" + std::to_string(m_port) + "/announce"; }

private:
    test::TempDir m_dir;
    uint16_t m_port = 0;
    pid_t m_pid = -1;
};

class RecordingConnector : public net::IPeerConnector {
public:
    RecordingConnector() { net::SetPeerConnector(this); }
    ~RecordingConnector() override { net::SetPeerConnector(nullptr); }
    bool ConnectToSource(const core::TaskHash& hash, const net::SourcePeer& peer) override {
        std::lock_guard lock(m_lock);
        ports.push_back(ntohs(peer.port));
        addrs.push_back(peer.addr);
        return true;
    }
    std::vector<uint16_t> Ports() {
        std::lock_guard lock(m_lock);
        return ports;
    }
    std::vector<uint16_t> ports;
    std::vector<uint32_t> addrs;

private:
    std::mutex m_lock;
};

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
    COpentracker tracker(kHashText);
    ASSERT_TRUE(tracker.WaitReady());
    core::CTaskMgr tasks;
    RecordingConnector connector;
    core::TaskHash hash = core::TaskHash::FromText(kHashText);

    Announcer a(15001, tasks);
    ASSERT_EQ(a.client.Announce(hash, tracker.HttpUrl()), kBtAnnounceStarted);
    ASSERT_TRUE(WaitUntil([&] { return a.Answered() == 1; }));
    EXPECT_TRUE(connector.Ports().empty()) << "the tracker lists only ourselves";

    Announcer b(15002, tasks);
    ASSERT_EQ(b.client.Announce(hash, tracker.UdpUrl()), kBtAnnounceStarted);
    ASSERT_TRUE(WaitUntil([&] { return b.Answered() == 1; }));
    ASSERT_EQ(connector.Ports(), std::vector<uint16_t>{15001});
    EXPECT_EQ(connector.addrs[0], htonl(INADDR_LOOPBACK));
    EXPECT_EQ(b.answered[0], tracker.UdpUrl());

    ASSERT_EQ(a.client.Announce(hash, tracker.HttpUrl()), kBtAnnounceStarted);
    ASSERT_TRUE(WaitUntil([&] { return a.Answered() == 2; }));
    EXPECT_EQ(connector.Ports(), (std::vector<uint16_t>{15001, 15002}));
    EXPECT_TRUE(WaitUntil([&] { return a.client.OpenExchanges() == 0 && b.client.OpenExchanges() == 0; }));
}

TEST(BtTrackerOpentrackerTest, HashOutsideTheWhitelistIsNotAnswered) {
    if (!COpentracker::Available()) {
        GTEST_SKIP() << "opentracker is not installed";
    }
    COpentracker tracker(kHashText);
    ASSERT_TRUE(tracker.WaitReady());
    core::CTaskMgr tasks;
    RecordingConnector connector;
    Announcer a(15003, tasks);
    core::TaskHash other = core::TaskHash::FromText("FFEEDDCCBBAA99887766554433221100FFEEDDCC");
    ASSERT_EQ(a.client.Announce(other, tracker.HttpUrl()), kBtAnnounceStarted);
    ASSERT_TRUE(WaitUntil([&] { return a.client.OpenExchanges() == 0; }));
    EXPECT_EQ(a.Answered(), 0u);
    EXPECT_TRUE(connector.Ports().empty());
}

}  // namespace
}  // namespace tessali::sources
