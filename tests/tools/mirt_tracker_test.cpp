// The real mirt-tracker process on loopback, driven by small UDP and TCP clients.
#include <gtest/gtest.h>

#include "common/task_hashes.h"
#include "common/temp_dir.h"
#include "engine/sources/agent_list.h"
#include "tools/tracker_process.h"

namespace tessali::test {
namespace {

using namespace tessali::sources;

using tessali::test::HashOf;

const core::PeerId kSeeder = core::GeneratePeerId(core::kEngineVersion, 0x111111111111ull);
const core::PeerId kLeecher = core::GeneratePeerId(57, 0x222222222222ull);

class MirtTrackerTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_server.Start(m_dir.File("stderr.txt"))); }

    std::optional<LoginReply> Login(const CUdpClient& c, const core::PeerId& id, uint16_t listenPort,
                                    uint8_t nat, uint32_t seq = 0) {
        return c.Ask<LoginReply>(Encode(LoginRequest{seq, id, Loopback(), htons(listenPort), nat}));
    }

    TempDir m_dir;
    CTrackerProcess m_server{{"-v"}};
};

TEST_F(MirtTrackerTest, SharedTaskReachesTheOtherClientsSourceList) {
    CUdpClient seeder(m_server.UdpPort());
    CUdpClient leecher(m_server.UdpPort());
    std::optional<LoginReply> login = Login(seeder, kSeeder, 7001, 0, 100);
    ASSERT_TRUE(login);
    EXPECT_EQ(login->sequence, 100u);
    EXPECT_EQ(login->result, kLoginAccepted);
    EXPECT_EQ(login->addr, Loopback());
    EXPECT_EQ(login->port, seeder.Port());
    ASSERT_EQ(Login(leecher, kLeecher, 7002, 2)->result, kLoginAccepted);

    auto share = seeder.Ask<ShareReply>(Encode(ShareRequest{136, kSeeder, HashOf(1)}));
    ASSERT_TRUE(share);
    EXPECT_EQ(share->sequence, 136u);
    EXPECT_EQ(share->hash, HashOf(1));
    EXPECT_EQ(share->result, kShareAdded);
    EXPECT_EQ(seeder.Ask<ShareReply>(Encode(ShareRequest{184, kSeeder, HashOf(1)}))->result,
              kShareAlreadyShared);

    auto list = leecher.Ask<SourceListReply>(Encode(SourceListRequest{36, kLeecher, HashOf(1)}));
    ASSERT_TRUE(list);
    EXPECT_EQ(list->sequence, 36u);
    EXPECT_EQ(list->hash, HashOf(1));
    EXPECT_EQ(list->result, kSourcesOk);
    ASSERT_EQ(list->entries.size(), 1u);
    const SourceEntry& e = list->entries[0];
    EXPECT_EQ(e.peerIdTail, kSeeder.Tail());
    EXPECT_EQ(e.addr, Loopback());
    EXPECT_EQ(e.port, htons(7001));  // reachable: its listening port
    EXPECT_EQ(e.natType, 0);
    EXPECT_EQ(e.versionType, 3);

    // The asker never gets itself; a peer behind NAT is listed with its UDP mapping.
    ASSERT_EQ(leecher.Ask<ShareReply>(Encode(ShareRequest{84, kLeecher, HashOf(1)}))->result, kShareAdded);
    auto back = seeder.Ask<SourceListReply>(Encode(SourceListRequest{232, kSeeder, HashOf(1)}));
    ASSERT_TRUE(back);
    ASSERT_EQ(back->entries.size(), 1u);
    EXPECT_EQ(back->entries[0].peerIdTail, kLeecher.Tail());
    EXPECT_EQ(back->entries[0].port, leecher.Port());
    EXPECT_EQ(back->entries[0].natType, 2);
    EXPECT_EQ(back->entries[0].versionType, 2);

    // Stop sharing takes the seeder out of the list.
    auto stop = seeder.Ask<StopShareReply>(Encode(StopShareRequest{280, kSeeder, HashOf(1)}));
    ASSERT_TRUE(stop);
    EXPECT_EQ(stop->hash, HashOf(1));
    EXPECT_TRUE(
        leecher.Ask<SourceListReply>(Encode(SourceListRequest{132, kLeecher, HashOf(1)}))->entries.empty());

    std::string log = ReadFile(m_dir.File("stderr.txt"));
    EXPECT_NE(log.find("login seq=100"), std::string::npos) << log;
    EXPECT_NE(log.find("sources-reply seq=36"), std::string::npos) << log;
}

TEST_F(MirtTrackerTest, RelayRequestNoticesTheOtherSide) {
    CUdpClient seeder(m_server.UdpPort());
    CUdpClient leecher(m_server.UdpPort());
    ASSERT_EQ(Login(seeder, kSeeder, 7001, 2)->result, kLoginAccepted);
    ASSERT_EQ(Login(leecher, kLeecher, 7002, 3)->result, kLoginAccepted);

    // The leecher only knows the seeder from a source entry, so it names it by the rebuilt id.
    core::PeerId rebuilt = core::PeerIdFromTail(kSeeder.Tail(), 3);
    ASSERT_NE(rebuilt, kSeeder);
    leecher.Send(Encode(RelayRequest{500, kLeecher, rebuilt, HashOf(4)}));
    auto reply = leecher.Next<RelayReply>();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->sequence, 500u);
    EXPECT_EQ(reply->result, kRelayNoticeSent);
    auto notice = seeder.Next<RelayNotice>();
    ASSERT_TRUE(notice);
    EXPECT_EQ(notice->sequence, kNoticeSequence);
    EXPECT_EQ(notice->hash, HashOf(4));
    EXPECT_EQ(notice->peerId, kLeecher);
    EXPECT_EQ(notice->addr, Loopback());
    EXPECT_EQ(notice->port, leecher.Port());
    EXPECT_EQ(notice->natType, 3);

    // Sent straight from a new carrier socket: the notice names that socket's mapping.
    CUdpClient carrier(m_server.UdpPort());
    carrier.Send(Encode(RelayRequest{0, kLeecher, rebuilt, HashOf(4)}));
    EXPECT_EQ(carrier.Next<RelayReply>()->result, kRelayNoticeSent);
    EXPECT_EQ(seeder.Next<RelayNotice>()->port, carrier.Port());
    // ... without moving the leecher's recorded port.
    auto list = seeder.Ask<ShareReply>(Encode(ShareRequest{1, kSeeder, HashOf(4)}));
    ASSERT_TRUE(list);
    leecher.Ask<ShareReply>(Encode(ShareRequest{2, kLeecher, HashOf(4)}));
    auto sources = seeder.Ask<SourceListReply>(Encode(SourceListRequest{3, kSeeder, HashOf(4)}));
    ASSERT_EQ(sources->entries.size(), 1u);
    EXPECT_EQ(sources->entries[0].port, leecher.Port());

    core::PeerId stranger = core::GeneratePeerId(core::kEngineVersion, 0x333333333333ull);
    EXPECT_EQ(leecher.Ask<RelayReply>(Encode(RelayRequest{600, kLeecher, stranger, HashOf(4)}))->result,
              kRelayRemoteUnknown);
    EXPECT_EQ(leecher.Ask<RelayReply>(Encode(RelayRequest{601, stranger, kSeeder, HashOf(4)}))->result,
              kRelayNotLoggedIn);
    EXPECT_FALSE(seeder.Receive(300));  // neither produced a notice
}

TEST_F(MirtTrackerTest, LogoutRemovesTheSourceAndKeepAliveSaysNotLoggedIn) {
    CUdpClient seeder(m_server.UdpPort());
    CUdpClient leecher(m_server.UdpPort());
    ASSERT_EQ(Login(seeder, kSeeder, 7001, 0)->result, kLoginAccepted);
    ASSERT_EQ(Login(leecher, kLeecher, 7002, 0)->result, kLoginAccepted);
    ASSERT_EQ(seeder.Ask<ShareReply>(Encode(ShareRequest{36, kSeeder, HashOf(2)}))->result, kShareAdded);
    auto alive = seeder.Ask<KeepAliveReply>(Encode(KeepAliveRequest{84, kSeeder}));
    ASSERT_TRUE(alive);
    EXPECT_EQ(alive->sequence, 84u);
    EXPECT_EQ(alive->status, kKeepAliveLoggedIn);

    seeder.Send(Encode(LogoutRequest{112, kSeeder}));
    EXPECT_FALSE(seeder.Receive(300));  // logout is not answered
    EXPECT_TRUE(
        leecher.Ask<SourceListReply>(Encode(SourceListRequest{9, kLeecher, HashOf(2)}))->entries.empty());
    EXPECT_EQ(seeder.Ask<KeepAliveReply>(Encode(KeepAliveRequest{140, kSeeder}))->status,
              kKeepAliveNotLoggedIn);
    EXPECT_EQ(seeder.Ask<ShareReply>(Encode(ShareRequest{168, kSeeder, HashOf(2)}))->result,
              kShareNotLoggedIn);
    EXPECT_EQ(seeder.Ask<SourceListReply>(Encode(SourceListRequest{216, kSeeder, HashOf(2)}))->result,
              kSourcesNotLoggedIn);
}

TEST_F(MirtTrackerTest, BadIdsAndOtherAddressesAreRefused) {
    CUdpClient seeder(m_server.UdpPort());
    core::PeerId damaged = kSeeder;
    damaged.bytes[19] = damaged.bytes[19] == '0' ? '1' : '0';
    EXPECT_EQ(Login(seeder, damaged, 7001, 0)->result, kLoginPeerIdRefused);
    EXPECT_EQ(seeder.Ask<KeepAliveReply>(Encode(KeepAliveRequest{1, damaged}))->status,
              kKeepAliveNotLoggedIn);

    // Someone else on another address naming the seeder's id cannot act for it.
    ASSERT_EQ(Login(seeder, kSeeder, 7001, 0)->result, kLoginAccepted);
    ASSERT_EQ(seeder.Ask<ShareReply>(Encode(ShareRequest{2, kSeeder, HashOf(3)}))->result, kShareAdded);
    CUdpClient other(m_server.UdpPort(), 2);
    EXPECT_EQ(other.Ask<KeepAliveReply>(Encode(KeepAliveRequest{3, kSeeder}))->status, kKeepAliveNotLoggedIn);
    other.Send(Encode(LogoutRequest{4, kSeeder}));
    CUdpClient leecher(m_server.UdpPort());
    ASSERT_EQ(Login(leecher, kLeecher, 7002, 0)->result, kLoginAccepted);
    EXPECT_EQ(leecher.Ask<SourceListReply>(Encode(SourceListRequest{5, kLeecher, HashOf(3)}))->entries.size(),
              1u);

    // Garbage and reliable-UDP packets get no answer; the server keeps serving.
    seeder.Send(Bytes{0x00, 0x00, 0x00, 0x0D, 0, 0, 0, 0, 0, 0, 0, 0, 1});
    seeder.Send(Bytes{'0'});
    Bytes cut = Encode(KeepAliveRequest{6, kSeeder});
    cut.pop_back();
    cut[1] = static_cast<uint8_t>(cut.size());
    seeder.Send(cut);
    EXPECT_FALSE(seeder.Receive(300));
    EXPECT_EQ(seeder.Ask<KeepAliveReply>(Encode(KeepAliveRequest{7, kSeeder}))->status, kKeepAliveLoggedIn);
}

TEST_F(MirtTrackerTest, AgentRelayOverTcpCarriesRequestsAndNotices) {
    CTcpClient relayed(m_server.TcpPort());
    ASSERT_TRUE(relayed.Connected());
    // Two requests in one write, the second split over a later write.
    Bytes login = Encode(LoginRequest{0, kSeeder, Loopback(), htons(7001), 6});
    Bytes share = Encode(ShareRequest{36, kSeeder, HashOf(5)});
    Bytes first = login;
    first.insert(first.end(), share.begin(), share.begin() + 10);
    relayed.Send(first);
    auto reply = relayed.Next<LoginReply>();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->result, kLoginAccepted);
    EXPECT_EQ(reply->addr, Loopback());
    EXPECT_EQ(reply->port, 0);
    relayed.Send(Bytes(share.begin() + 10, share.end()));
    EXPECT_EQ(relayed.Next<ShareReply>()->result, kShareAdded);

    CUdpClient leecher(m_server.UdpPort());
    ASSERT_EQ(Login(leecher, kLeecher, 7002, 1)->result, kLoginAccepted);
    auto list = leecher.Ask<SourceListReply>(Encode(SourceListRequest{1, kLeecher, HashOf(5)}));
    ASSERT_EQ(list->entries.size(), 1u);
    EXPECT_EQ(list->entries[0].port, htons(7001));  // no UDP seen from it: the listening port
    EXPECT_EQ(list->entries[0].natType, 6);

    // A notice for a peer that talks through the relay goes down its TCP connection.
    EXPECT_EQ(leecher.Ask<RelayReply>(Encode(RelayRequest{2, kLeecher, kSeeder, HashOf(5)}))->result,
              kRelayNoticeSent);
    auto notice = relayed.Next<RelayNotice>();
    ASSERT_TRUE(notice);
    EXPECT_EQ(notice->peerId, kLeecher);
    EXPECT_EQ(notice->port, leecher.Port());
    EXPECT_EQ(notice->natType, 1);

    // A length field that cannot be a message closes the relay.
    relayed.Send(Bytes{0x00, 0x00, 0x03, 0x03, 0, 0, 0, 0});
    EXPECT_TRUE(relayed.ClosedByServer());
    // The closed relay's peer is still logged in and reached over UDP from now on... it has
    // none, so the relay request says it cannot be reached.
    EXPECT_EQ(leecher.Ask<RelayReply>(Encode(RelayRequest{3, kLeecher, kSeeder, HashOf(5)}))->result,
              kRelayRemoteUnknown);
}

TEST(MirtTrackerProcess, StopsCleanlyOnSignalsAndPicksFreePorts) {
    for (int sig : {SIGTERM, SIGINT}) {
        CTrackerProcess a;
        CTrackerProcess b;
        ASSERT_TRUE(a.Start());
        ASSERT_TRUE(b.Start());
        EXPECT_NE(a.UdpPort(), b.UdpPort());
        EXPECT_NE(a.TcpPort(), b.TcpPort());
        EXPECT_EQ(a.Stop(sig), 0);
        EXPECT_EQ(b.Stop(sig), 0);
    }
}

TEST(MirtTrackerProcess, WritesAnAgentListNamingItsRelay) {
    TempDir dir;
    CTrackerProcess server({"--agent-list", dir.File("agent.cfg")});
    ASSERT_TRUE(server.Start());
    std::vector<AgentAddress> list = ReadAgentList(tessali::platform::CIniFile(dir.File("agent.cfg")));
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].addr, Loopback());
    EXPECT_EQ(list[0].port, server.TcpPort());
    CTcpClient relay(list[0].port);
    EXPECT_TRUE(relay.Connected());
}

TEST(MirtTrackerProcess, RedirectAnswersEveryLoginWithTheNewAddress) {
    CTrackerProcess server({"--redirect", "192.0.2.9:6970"});
    ASSERT_TRUE(server.Start());
    CUdpClient c(server.UdpPort());
    auto r = c.Ask<LoginReply>(Encode(LoginRequest{0, kSeeder, Loopback(), htons(7001), 0}));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->result, kLoginRedirect);
    EXPECT_EQ(r->addr, inet_addr("192.0.2.9"));
    EXPECT_EQ(r->port, htons(6970));
    EXPECT_EQ(c.Ask<KeepAliveReply>(Encode(KeepAliveRequest{1, kSeeder}))->status, kKeepAliveNotLoggedIn);
}

TEST(MirtTrackerProcess, RefusesBadArguments) {
    for (const char* arg : {"--udp-port=1", "--bind", "--redirect"}) {
        CTrackerProcess p({arg, "nonsense"});
        EXPECT_FALSE(p.Start()) << arg;
    }
}

}  // namespace
}  // namespace tessali::test
