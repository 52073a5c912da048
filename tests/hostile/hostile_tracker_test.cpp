// A hostile engine tracker against a real `mirt get`: the tracker answers the engine's login and
// then answers one source-list request with 100 000 peers, every one of them a tarpit that takes
// the connection and never says a word. The engine must keep a capped number of peers, let go of
// the ones that never answer, stay within its memory bound, and still finish the download from
// the honest seeder it was given by hand.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <thread>

#include "common/fakes/udp_responder.h"
#include "common/temp_dir.h"
#include "hostile/hostile_harness.h"

namespace tessali::test {
namespace {

constexpr uint16_t kCmdLogin = 769;
constexpr uint16_t kCmdKeepAlive = 771;
constexpr uint16_t kCmdSourceList = 774;
constexpr size_t kEntriesPerReply = 73;  // what fits a 1500-byte datagram
constexpr size_t kFloodPeers = 100000;

void Put16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
uint16_t Get16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

// Accepts every connection on its port (any 127.x.y.z address) and holds it without a word.
class CTarpit {
public:
    CTarpit() {
        m_fd = socket(AF_INET, SOCK_STREAM, 0);
        int one = 1;
        setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_ANY);
        bind(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        listen(m_fd, 4096);
        socklen_t len = sizeof a;
        getsockname(m_fd, reinterpret_cast<sockaddr*>(&a), &len);
        m_port = ntohs(a.sin_port);
        m_thread = std::thread([this] { Run(); });
    }
    ~CTarpit() {
        m_stop = true;
        m_thread.join();
        for (int fd : m_held) {
            close(fd);
        }
        close(m_fd);
    }
    uint16_t Port() const { return m_port; }
    int Accepted() const { return m_accepted.load(); }
    // Connections the engine still holds open to the tarpit.
    int Open() const { return m_open.load(); }

private:
    void Run() {
        while (!m_stop) {
            pollfd p{m_fd, POLLIN, 0};
            if (poll(&p, 1, 50) > 0) {
                int c = accept(m_fd, nullptr, nullptr);
                if (c >= 0) {
                    m_held.push_back(c);
                    ++m_accepted;
                }
            }
            // Read and drop what arrives (handshakes); count those the engine closed.
            int open = 0;
            for (int& fd : m_held) {
                if (fd < 0) {
                    continue;
                }
                uint8_t buf[512];
                ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
                if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) {
                    close(fd);
                    fd = -1;
                    continue;
                }
                ++open;
            }
            m_open = open;
        }
    }
    int m_fd = -1;
    uint16_t m_port = 0;
    std::vector<int> m_held;
    std::atomic<int> m_accepted{0}, m_open{0};
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// An engine tracker on loopback UDP that logs everyone in and answers the first source-list
// request with `kFloodPeers` distinct peers at the tarpit's port.
class CFloodTracker {
public:
    explicit CFloodTracker(uint16_t tarpitPort) : m_tarpitPort(tarpitPort) {}
    uint16_t Port() const { return m_udp.Port(); }
    int Logins() const { return m_logins.load(); }
    size_t PeersSent() const { return m_peersSent.load(); }
    bool FloodDone() const { return m_floodDone.load(); }

private:
    void Answer(std::span<const uint8_t> datagram, const sockaddr_in& from) {
        const uint8_t* buf = datagram.data();
        const size_t n = datagram.size();
        if (n < 8) {
            return;
        }
        uint16_t cmd = Get16(buf + 2);
        const uint8_t* seq = buf + 4;
        if (cmd == kCmdLogin && n == 36) {
            uint8_t r[16] = {};
            Put16(r, sizeof r);
            Put16(r + 2, kCmdLogin);
            std::memcpy(r + 4, seq, 4);
            std::memcpy(r + 8, &from.sin_addr.s_addr, 4);
            std::memcpy(r + 12, &from.sin_port, 2);
            r[14] = 1;  // accepted
            m_udp.SendTo(r, from);
            ++m_logins;
        } else if (cmd == kCmdKeepAlive) {
            uint8_t r[9] = {};
            Put16(r, sizeof r);
            Put16(r + 2, kCmdKeepAlive);
            std::memcpy(r + 4, seq, 4);
            m_udp.SendTo(r, from);
        } else if (cmd == kCmdSourceList && n == 48 && !m_floodDone) {
            Flood(buf + 28, seq, from);
            m_floodDone = true;
        }
    }
    void Flood(const uint8_t* hash, const uint8_t* seq, const sockaddr_in& to) {
        for (size_t first = 0; first < kFloodPeers && !m_udp.Stopping(); first += kEntriesPerReply) {
            size_t count = std::min(kEntriesPerReply, kFloodPeers - first);
            std::vector<uint8_t> r(32 + 20 * count, 0);
            Put16(r.data(), static_cast<uint16_t>(r.size()));
            Put16(r.data() + 2, kCmdSourceList);
            std::memcpy(r.data() + 4, seq, 4);
            std::memcpy(r.data() + 8, hash, 20);
            r[28] = 0;  // success
            for (size_t i = 0; i < count; ++i) {
                uint8_t* e = r.data() + 32 + 20 * i;
                uint32_t index = static_cast<uint32_t>(first + i);
                char tail[13];
                std::snprintf(tail, sizeof tail, "%012X", index);
                std::memcpy(e, tail, 12);
                uint32_t addr = htonl(0x7F010000u + index);  // 127.1.x.y
                std::memcpy(e + 12, &addr, 4);
                uint16_t port = htons(m_tarpitPort);
                std::memcpy(e + 16, &port, 2);
                e[18] = 0;  // reachable over TCP
                e[19] = 1;  // plain framing
            }
            m_udp.SendTo(r, to);
            m_peersSent += count;
            // Paced so that the engine's socket buffer does not simply drop most of it.
            if ((first / kEntriesPerReply) % 16 == 15) {
                std::this_thread::sleep_for(std::chrono::milliseconds(3));
            }
        }
    }
    uint16_t m_tarpitPort;
    std::atomic<int> m_logins{0};
    std::atomic<size_t> m_peersSent{0};
    std::atomic<bool> m_floodDone{false};
    // Last: it stops answering before the rest goes.
    CUdpResponder m_udp{[this](std::span<const uint8_t> d, const sockaddr_in& from) { Answer(d, from); }};
};

TEST(HostileTracker, AHundredThousandTarpitPeersAreCappedAndTheDownloadStillCompletes) {
    TempDir tmp;
    const std::string file = tmp.File("content.bin");
    WriteRandomFile(file, 16u << 20, 21);
    // The seeder is started once to learn the hash, and again only after the flood.
    const uint16_t honestPort = FreeTcpUdpPort();
    std::string hash;
    {
        CEngineProcess first(tmp.Path() + "seed/", honestPort);
        first.Start({"share", file});
        std::string line = first.WaitLine(file, 60);
        hash = line.substr(0, line.find(' '));
    }
    ASSERT_EQ(hash.size(), 40u);

    CTarpit tarpit;
    CFloodTracker tracker(tarpit.Port());
    DeployOptions reachingTheTracker;
    reachingTheTracker.trackerHost = "127.0.0.1:" + std::to_string(tracker.Port());
    reachingTheTracker.listenPort = FreeTcpUdpPort();
    CEngineProcess getter(tmp.Path() + "get/", reachingTheTracker);
    const std::string dest = getter.Dir() + "out.bin";
    getter.Start({"get", hash, dest, "--peer", "127.0.0.1:" + std::to_string(honestPort)});

    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(40);
    while (!tracker.FloodDone() && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_TRUE(tracker.FloodDone()) << "no source-list request; logins: " << tracker.Logins() << "\n"
                                     << getter.Log().substr(0, 3000);
    EXPECT_EQ(tracker.PeersSent(), kFloodPeers);
    // Let the engine work through what arrived.
    std::this_thread::sleep_for(std::chrono::seconds(5));
    const int heldAfterFlood = tarpit.Open();
    std::printf("tarpit: %d connections accepted, %d held open after the flood\n", tarpit.Accepted(),
                heldAfterFlood);
    EXPECT_GT(tarpit.Accepted(), 0) << "the flood reached no connection at all";
    EXPECT_LE(heldAfterFlood, 200);
    EXPECT_TRUE(getter.Running());

    CEngineProcess honest(tmp.Path() + "seed/", honestPort);
    honest.Start({"share", file});
    ASSERT_EQ(getter.Wait(80), 0) << getter.Log().substr(0, 3000);
    EXPECT_EQ(Sha1OfFile(file), Sha1OfFile(dest));
    EXPECT_LE(tarpit.Accepted(), 400) << "peers beyond the cap were connected";
    long peak = getter.PeakRssKb();
    std::printf("downloader peak RSS %ld KiB under a tracker flood\n", peak);
    RecordProperty("downloader_peak_rss_kb", std::to_string(peak));
    EXPECT_LT(peak, 96 * 1024);
}

}  // namespace
}  // namespace tessali::test
