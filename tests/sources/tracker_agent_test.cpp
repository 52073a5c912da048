// The tracker agent against a fake tracker socket on loopback: the peer id it logs in with, the
// login reply cases, what the shared UDP socket does with each kind of datagram, keep-alive and
// logout, and how it chooses its agent relay.
#include "engine/sources/tracker_agent.h"

#include "engine/sources/agent_list_download.h"

#include <gtest/gtest.h>

#include "common/scripted_http_server.h"
#include "common/temp_dir.h"
#include "engine/platform/file.h"
#include "engine/platform/ini_file.h"
#include "sources/tracker_test_socket.h"

namespace tessali::sources {
namespace {

using test::CFakeTrackerSocket;
using test::WaitUntil;

constexpr uint16_t kListenPort = 7123;

struct AgentFixture {
    test::TempDir dir;
    CFakeTrackerSocket tracker;
    test::CRecordingTudp rudp;
    uint64_t counter = 0x0000AB12CD34EF56ull;

    TrackerAgentSettings Settings() {
        TrackerAgentSettings s;
        s.rootFolder = dir.Path();
        s.trackerAddr = htonl(INADDR_LOOPBACK);
        s.trackerPort = tracker.Port();
        s.agentHost = "127.0.0.1:1";  // nothing listens: the relay never connects
        s.facts = [] { return LoginFacts{htonl(0x0A000002), kListenPort, 1}; };
        s.counter = [this] { return counter++; };
        s.rudp = &rudp;
        return s;
    }
    std::string StoredId() {
        return platform::CIniFile(dir.File(core::kPeerIdIniFile))
            .GetString(core::kPeerIdIniSection, core::kPeerIdIniKey);
    }
};

LoginRequest ExpectLogin(CFakeTrackerSocket& tracker, CFakeTrackerSocket::Datagram* out = nullptr) {
    std::optional<CFakeTrackerSocket::Datagram> d = tracker.ReceiveCommand(kCmdLogin);
    LoginRequest login;
    EXPECT_TRUE(d && Decode(d->bytes, login));
    if (d && out) {
        *out = *d;
    }
    return login;
}

void Answer(CFakeTrackerSocket& tracker, const CFakeTrackerSocket::Datagram& to, const LoginRequest& login,
            uint8_t result, uint32_t addr = htonl(0xCB007109), uint16_t port = 0) {
    tracker.SendTo(to.from, Encode(LoginReply{login.sequence, addr, port, result}));
}

TEST(TrackerAgent, LogsInWithTheStoredIdAndTheEngineFacts) {
    AgentFixture f;
    core::PeerId stored = core::GeneratePeerId(54, 0x112233445566ull);
    platform::CIniFile(f.dir.File(core::kPeerIdIniFile))
        .WriteString(core::kPeerIdIniSection, core::kPeerIdIniKey, stored.Text());
    CTrackerAgent agent(f.Settings());
    ASSERT_TRUE(agent.Start());
    CFakeTrackerSocket::Datagram d;
    LoginRequest login = ExpectLogin(f.tracker, &d);
    EXPECT_EQ(login.peerId, core::WithVersion(stored, core::kEngineVersion));
    EXPECT_EQ(login.peerId.Text().substr(4, 4), "0066");
    EXPECT_EQ(login.localAddr, htonl(0x0A000002));
    EXPECT_EQ(ntohs(login.listenPort), kListenPort);
    EXPECT_EQ(login.natType, 1);
    EXPECT_EQ(ntohs(d.from.sin_port), agent.BoundPort());
    EXPECT_FALSE(agent.LoggedIn());

    Answer(f.tracker, d, login, kLoginAccepted);
    ASSERT_TRUE(WaitUntil([&] { return agent.LoggedIn(); }));
    EXPECT_EQ(agent.OwnExternalAddress(), htonl(0xCB007109));
    EXPECT_EQ(f.StoredId(), login.peerId.Text());
    // The accepted login is passed on to the tracker thread.
    uint8_t buf[1600];
    size_t n = 0;
    ASSERT_TRUE(agent.WaitReceived(1000) && agent.TakeReceived(buf, n));
    EXPECT_EQ(PeekHeader({buf, n})->command, kCmdLogin);
}

TEST(TrackerAgent, ARefusedIdIsReplacedByAFreshValidOneAndTheLoginRepeated) {
    AgentFixture f;
    CTrackerAgent agent(f.Settings());
    ASSERT_TRUE(agent.Start());
    CFakeTrackerSocket::Datagram d;
    LoginRequest first = ExpectLogin(f.tracker, &d);
    EXPECT_TRUE(first.peerId.IsWellFormed());
    EXPECT_EQ(f.StoredId(), "");  // stored only once accepted

    Answer(f.tracker, d, first, kLoginPeerIdRefused);
    LoginRequest second = ExpectLogin(f.tracker, &d);
    EXPECT_NE(second.peerId, first.peerId);
    EXPECT_TRUE(second.peerId.IsWellFormed());
    EXPECT_EQ(second.peerId.Version(), core::kEngineVersion);
    EXPECT_NE(second.sequence, first.sequence);
    EXPECT_EQ(agent.OwnPeerId(), second.peerId);

    Answer(f.tracker, d, second, kLoginAccepted);
    ASSERT_TRUE(WaitUntil([&] { return agent.LoggedIn(); }));
    EXPECT_EQ(f.StoredId(), second.peerId.Text());
}

TEST(TrackerAgent, ARedirectSendsTheNextLoginToTheNewAddressOnTheSamePort) {
    AgentFixture f;
    // The redirect names an address only; the tracker port stays the one configured.
    CFakeTrackerSocket other(INADDR_LOOPBACK + 1, f.tracker.Port());
    CTrackerAgent agent(f.Settings());
    ASSERT_TRUE(agent.Start());
    CFakeTrackerSocket::Datagram d;
    LoginRequest login = ExpectLogin(f.tracker, &d);
    // Bytes 12-13 carry our port as the tracker saw it: not a port to move to.
    Answer(f.tracker, d, login, kLoginRedirect, htonl(INADDR_LOOPBACK + 1), htons(4321));
    LoginRequest again = ExpectLogin(other, &d);
    EXPECT_EQ(again.peerId, login.peerId);
    EXPECT_EQ(agent.TrackerServerAddress(), htonl(INADDR_LOOPBACK + 1));
    EXPECT_EQ(agent.TrackerServerPort(), f.tracker.Port());
    EXPECT_FALSE(agent.LoggedIn());
    // A login result outside 1-3 leaves us logged out and asks nothing more.
    Answer(other, d, again, 0);
    EXPECT_FALSE(other.ReceiveCommand(kCmdLogin, 400));
    EXPECT_FALSE(agent.LoggedIn());
}

// Another program on the host (or anyone who can reach our port) sends what the tracker would:
// a redirect, a source list, a notice. None of it may steer the engine.
TEST(TrackerAgent, MessagesFromAnyoneButTheTrackerAreDropped) {
    AgentFixture f;
    CFakeTrackerSocket forger;  // same address as the tracker, another port
    CFakeTrackerSocket elsewhere(INADDR_LOOPBACK + 2, f.tracker.Port());  // the tracker's port
    CTrackerAgent agent(f.Settings());
    ASSERT_TRUE(agent.Start());
    CFakeTrackerSocket::Datagram d;
    LoginRequest login = ExpectLogin(f.tracker, &d);
    core::TaskHash h;
    h.bytes.fill(7);
    agent.QueueMessage(Encode(SourceListRequest{0, {}, h}), true);
    uint32_t sourceSequence = login.sequence + static_cast<uint32_t>(Encode(login).size());

    sockaddr_in to = d.from;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // Even with the right sequence values: the sender is what counts.
    forger.SendTo(to, Encode(LoginReply{login.sequence, htonl(INADDR_LOOPBACK), 0, kLoginRedirect}));
    SourceListReply sources{sourceSequence, h, kSourcesOk, {}};
    SourceEntry e;
    e.addr = htonl(INADDR_LOOPBACK);
    e.port = htons(forger.Port());
    sources.entries.push_back(e);
    forger.SendTo(to, Encode(sources));
    elsewhere.SendTo(to, Encode(sources));
    RelayNotice notice;
    notice.hash = h;
    notice.addr = htonl(INADDR_LOOPBACK);
    notice.port = htons(forger.Port());
    forger.SendTo(to, Encode(notice));
    ASSERT_TRUE(WaitUntil([&] { return agent.DroppedMessages() == 4; }));

    uint8_t buf[1600];
    size_t n = 0;
    EXPECT_FALSE(agent.TakeReceived(buf, n));
    EXPECT_EQ(agent.TrackerServerAddress(), htonl(INADDR_LOOPBACK));
    EXPECT_EQ(agent.TrackerServerPort(), f.tracker.Port());
    EXPECT_FALSE(agent.LoggedIn());
    EXPECT_EQ(agent.Queue().AwaitingCount(), 2u) << "the login and the source request still wait";

    // The tracker itself is still heard.
    Answer(f.tracker, d, login, kLoginAccepted);
    ASSERT_TRUE(WaitUntil([&] { return agent.LoggedIn(); }));
    f.tracker.SendTo(d.from, Encode(notice));
    ASSERT_TRUE(WaitUntil([&] {
        return agent.TakeReceived(buf, n) && PeekHeader({buf, n})->command == kCmdRelayNotice;
    }));
    EXPECT_EQ(agent.DroppedMessages(), 4u);
}

// From the tracker's own address a reply still has to answer a request we are waiting on.
TEST(TrackerAgent, RepliesAnsweringNoAwaitingRequestAreDropped) {
    AgentFixture f;
    CTrackerAgent agent(f.Settings());
    ASSERT_TRUE(agent.Start());
    CFakeTrackerSocket::Datagram d;
    LoginRequest login = ExpectLogin(f.tracker, &d);
    // A redirect with a sequence value no login had.
    f.tracker.SendTo(d.from,
                     Encode(LoginReply{login.sequence + 1, htonl(INADDR_LOOPBACK + 3), 0, kLoginRedirect}));
    ASSERT_TRUE(WaitUntil([&] { return agent.DroppedMessages() == 1; }));
    EXPECT_EQ(agent.TrackerServerAddress(), htonl(INADDR_LOOPBACK));
    Answer(f.tracker, d, login, kLoginAccepted);
    ASSERT_TRUE(WaitUntil([&] { return agent.LoggedIn(); }));
    uint8_t buf[1600];
    size_t n = 0;
    ASSERT_TRUE(WaitUntil([&] { return agent.TakeReceived(buf, n); }));  // the login, passed on
    // The same reply once more: its request is answered already.
    Answer(f.tracker, d, login, kLoginRedirect, htonl(INADDR_LOOPBACK + 3));
    ASSERT_TRUE(WaitUntil([&] { return agent.DroppedMessages() == 2; }));
    EXPECT_TRUE(agent.LoggedIn());
    EXPECT_EQ(agent.TrackerServerAddress(), htonl(INADDR_LOOPBACK));

    core::TaskHash h;
    h.bytes.fill(9);
    agent.QueueMessage(Encode(SourceListRequest{0, {}, h}), true);
    std::optional<CFakeTrackerSocket::Datagram> asked = f.tracker.ReceiveCommand(kCmdSourceList);
    ASSERT_TRUE(asked);
    SourceListRequest req;
    ASSERT_TRUE(Decode(asked->bytes, req));
    f.tracker.SendTo(d.from, Encode(SourceListReply{req.sequence + 48, h, kSourcesOk, {}}));
    f.tracker.SendTo(d.from, Encode(ShareReply{req.sequence, h, kShareAdded}));  // right value, wrong command
    ASSERT_TRUE(WaitUntil([&] { return agent.DroppedMessages() == 4; }));
    EXPECT_FALSE(agent.TakeReceived(buf, n));
    f.tracker.SendTo(d.from, Encode(SourceListReply{req.sequence, h, kSourcesOk, {}}));
    ASSERT_TRUE(WaitUntil([&] { return agent.TakeReceived(buf, n); }));
    EXPECT_EQ(PeekHeader({buf, n})->command, kCmdSourceList);
    EXPECT_TRUE(agent.Queue().Empty());
}

TEST(TrackerAgent, TheSharedSocketTellsTrackerMessagesFromReliableUdpPackets) {
    AgentFixture f;
    CTrackerAgent agent(f.Settings());
    ASSERT_TRUE(agent.Start());
    CFakeTrackerSocket::Datagram d;
    ExpectLogin(f.tracker, &d);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(agent.BoundPort());

    std::vector<uint8_t> tracker(36, 0);
    tracker[1] = 36;  // 00 24: a 36-byte tracker message
    tracker[2] = 0x03;
    tracker[3] = 0x12;  // command 786: a notice, which answers no request
    std::vector<uint8_t> rudp(36, 0);
    rudp[3] = 36;  // 00 00 00 24: a 36-byte reliable-UDP packet
    rudp[12] = 4;
    std::vector<uint8_t> neither(36, 0xFF);
    f.tracker.SendTo(to, rudp);
    f.tracker.SendTo(to, neither);
    f.tracker.SendTo(to, tracker);

    uint8_t buf[1600];
    size_t n = 0;
    ASSERT_TRUE(WaitUntil([&] { return agent.TakeReceived(buf, n); }));
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + n), tracker);
    EXPECT_FALSE(agent.TakeReceived(buf, n));
    ASSERT_TRUE(WaitUntil([&] { return !f.rudp.Datagrams().empty(); }));
    EXPECT_EQ(f.rudp.Datagrams(), std::vector<std::vector<uint8_t>>{rudp});
}

TEST(TrackerAgent, KeepAliveAfterFortySecondsStatusTwoLogsInAgainAndStopLogsOut) {
    platform::FakeTick clock(1000000);
    AgentFixture f;
    CTrackerAgent agent(f.Settings());
    ASSERT_TRUE(agent.Start());
    CFakeTrackerSocket::Datagram d;
    LoginRequest login = ExpectLogin(f.tracker, &d);
    Answer(f.tracker, d, login, kLoginAccepted);
    ASSERT_TRUE(WaitUntil([&] { return agent.LoggedIn(); }));

    clock.Advance(kKeepAliveAfterMs);
    EXPECT_FALSE(f.tracker.ReceiveCommand(kCmdKeepAlive, 400));  // 40 000 ms: not yet
    clock.Advance(1);
    std::optional<CFakeTrackerSocket::Datagram> ka = f.tracker.ReceiveCommand(kCmdKeepAlive);
    ASSERT_TRUE(ka);
    KeepAliveRequest req;
    ASSERT_TRUE(Decode(ka->bytes, req));
    EXPECT_EQ(req.peerId, login.peerId);

    f.tracker.SendTo(ka->from, Encode(KeepAliveReply{req.sequence, kKeepAliveNotLoggedIn}));
    LoginRequest again = ExpectLogin(f.tracker, &d);
    EXPECT_EQ(again.peerId, login.peerId);
    // The status is passed on too: the tracker thread re-announces on it.
    uint8_t buf[1600];
    size_t n = 0;
    ASSERT_TRUE(WaitUntil([&] {
        return agent.TakeReceived(buf, n) && PeekHeader({buf, n})->command == kCmdKeepAlive;
    }));
    Answer(f.tracker, d, again, kLoginAccepted);
    ASSERT_TRUE(WaitUntil([&] { return agent.LoggedIn(); }));

    agent.Stop();
    EXPECT_FALSE(agent.LoggedIn());
    int logouts = 0;
    while (std::optional<CFakeTrackerSocket::Datagram> l = f.tracker.ReceiveCommand(kCmdLogout, 300)) {
        LogoutRequest out;
        ASSERT_TRUE(Decode(l->bytes, out));
        EXPECT_EQ(out.peerId, login.peerId);
        ++logouts;
    }
    EXPECT_EQ(logouts, 3);
}

TEST(TrackerAgent, RequestsAreRetransmittedUntilAnswered) {
    platform::FakeTick clock(5000);
    AgentFixture f;
    CTrackerAgent agent(f.Settings());
    ASSERT_TRUE(agent.Start());
    CFakeTrackerSocket::Datagram d;
    LoginRequest login = ExpectLogin(f.tracker, &d);
    clock.Advance(kRetransmitMs + 1);
    LoginRequest resent = ExpectLogin(f.tracker, &d);
    EXPECT_EQ(resent.sequence, login.sequence);
    Answer(f.tracker, d, resent, kLoginAccepted);
    ASSERT_TRUE(WaitUntil([&] { return agent.LoggedIn(); }));
    core::TaskHash h;
    h.bytes.fill(5);
    agent.QueueMessage(Encode(ShareRequest{0, {}, h}), false);
    std::optional<CFakeTrackerSocket::Datagram> share = f.tracker.ReceiveCommand(kCmdShare);
    ASSERT_TRUE(share);
    ShareRequest req;
    ASSERT_TRUE(Decode(share->bytes, req));
    EXPECT_EQ(req.peerId, login.peerId);
    f.tracker.SendTo(share->from, Encode(ShareReply{req.sequence, h, kShareAdded}));
    ASSERT_TRUE(WaitUntil([&] { return agent.Queue().Empty(); }));
    clock.Advance(kRetransmitMs + 1);
    EXPECT_FALSE(f.tracker.ReceiveCommand(kCmdShare, 400));
}

TEST(TrackerAgent, WithNoAgentListAndNoUpdateServerTheDefaultAgentOnPort80IsUsed) {
    AgentFixture f;
    TrackerAgentSettings s = f.Settings();
    s.updateHost = "127.0.0.1:1";
    s.agentHost = "127.0.0.1";
    platform::WriteFileAtomically(f.dir.File(kAgentListFile), "");
    CTrackerAgent agent(std::move(s));
    ASSERT_TRUE(agent.Start());
    ASSERT_TRUE(WaitUntil([&] { return agent.CurrentAgent().has_value(); }));
    EXPECT_EQ(*agent.CurrentAgent(), (AgentAddress{htonl(INADDR_LOOPBACK), 80}));
}

TEST(TrackerAgent, TheAgentListIsDownloadedWhenNoAgentWasUsedBefore) {
    AgentFixture f;
    test::CScriptedHttpServer server;
    std::vector<AgentAddress> agents = {{htonl(0x7F000002), 6001}, {htonl(0x7F000003), 6002}};
    server.AddReply(test::HttpAnswer("200 OK", "", FormatAgentList(agents)));
    TrackerAgentSettings s = f.Settings();
    s.updateHost = "127.0.0.1:" + std::to_string(server.Port());
    CTrackerAgent agent(std::move(s));
    ASSERT_TRUE(agent.Start());
    ASSERT_TRUE(WaitUntil([&] { return agent.CurrentAgent().has_value(); }));
    std::optional<AgentAddress> chosen = agent.CurrentAgent();
    EXPECT_TRUE(*chosen == agents[0] || *chosen == agents[1]);
    ASSERT_EQ(server.Requests().size(), 1u);
    EXPECT_TRUE(server.Requests()[0].starts_with("GET /agent.cfg HTTP/1.1\r\n"));
    EXPECT_EQ(ReadAgentList(platform::CIniFile(f.dir.File(kAgentListFile))), agents);

    // The agent last used wins over the list, without a download.
    AgentFixture g;
    platform::CIniFile ini(g.dir.File(kAgentListFile));
    WriteLastAgent(ini, {htonl(0x7F000009), 6009});
    TrackerAgentSettings s2 = g.Settings();
    s2.updateHost = "127.0.0.1:" + std::to_string(server.Port());
    CTrackerAgent second(std::move(s2));
    ASSERT_TRUE(second.Start());
    ASSERT_TRUE(WaitUntil([&] { return second.CurrentAgent().has_value(); }));
    EXPECT_EQ(*second.CurrentAgent(), (AgentAddress{htonl(0x7F000009), 6009}));
    EXPECT_EQ(server.Requests().size(), 1u);
}

TEST(TrackerAgent, RelayRequestsFromItsSocketAreQueuedFromAnotherAreSentThere) {
    AgentFixture f;
    CTrackerAgent agent(f.Settings());
    ASSERT_TRUE(agent.Start());
    CFakeTrackerSocket::Datagram d;
    LoginRequest login = ExpectLogin(f.tracker, &d);
    core::TaskHash h;
    h.bytes.fill(9);
    core::PeerId remote = core::GeneratePeerId(core::kEngineVersion, 77);
    std::vector<uint8_t> request = Encode(RelayRequest{0, login.peerId, remote, h});
    // Queued behind the login: it waits for the login to be answered.
    agent.Relay().SendRelayRequest(agent.UdpSocket(), request);
    EXPECT_FALSE(f.tracker.ReceiveCommand(kCmdRelay, 300));
    Answer(f.tracker, d, login, kLoginAccepted);
    std::optional<CFakeTrackerSocket::Datagram> queued = f.tracker.ReceiveCommand(kCmdRelay);
    ASSERT_TRUE(queued);
    EXPECT_EQ(ntohs(queued->from.sin_port), agent.BoundPort());
    RelayRequest got;
    ASSERT_TRUE(Decode(queued->bytes, got));
    EXPECT_EQ(got.remotePeerId, remote);
    EXPECT_EQ(got.hash, h);
    // Answered by its 785 reply, it is not sent again.
    f.tracker.SendTo(queued->from, Encode(RelayReply{got.sequence, kRelayNoticeSent}));
    ASSERT_TRUE(WaitUntil([&] { return agent.Queue().Empty(); }));

    // From a fresh carrier socket the request leaves from that socket, as it is.
    CFakeTrackerSocket carrier;
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    socklen_t len = sizeof sa;
    getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    agent.Relay().SendRelayRequest(fd, request);
    std::optional<CFakeTrackerSocket::Datagram> direct = f.tracker.ReceiveCommand(kCmdRelay);
    ASSERT_TRUE(direct);
    EXPECT_EQ(direct->from.sin_port, sa.sin_port);
    EXPECT_EQ(direct->bytes, request);
    EXPECT_TRUE(agent.Queue().Empty());
    close(fd);
}

TEST(AgentListDownload, AShortOrRefusedAnswerLeavesTheTargetAsItWas) {
    test::TempDir dir;
    const std::string target = dir.File(kAgentListFile);
    platform::WriteFileAtomically(target, "old");
    test::CScriptedHttpServer server;
    server.AddReply("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n[AGENTLIST]\r\nip0=127.0.0.1\r\n");
    server.AddReply(test::HttpAnswer("404 Not Found", "", "[AGENTLIST]\r\n"));
    server.AddReply("HTTP/1.1 200 OK\r\n\r\n[AGENTLIST]\r\nip0=127.0.0.5\r\nport0=81\r\n");
    auto resolve = [](const std::string&) { return htonl(INADDR_LOOPBACK); };
    const std::string url = "http://127.0.0.1:" + std::to_string(server.Port()) + "/agent.cfg";
    EXPECT_FALSE(DownloadAgentList(url, target, resolve));
    EXPECT_EQ(platform::ReadWholeFile(target), "old");
    EXPECT_FALSE(DownloadAgentList(url, target, resolve));
    EXPECT_EQ(platform::ReadWholeFile(target), "old");
    // Without a length, everything up to the close is the body.
    EXPECT_TRUE(DownloadAgentList(url, target, resolve));
    EXPECT_EQ(ReadAgentList(platform::CIniFile(target)),
              (std::vector<AgentAddress>{{htonl(0x7F000005), 81}}));
    EXPECT_FALSE(DownloadAgentList(url, target, [](const std::string&) { return 0u; }));
    EXPECT_EQ(SplitAgentListUrl("http://host:81").path, "");
    EXPECT_EQ(SplitAgentListUrl("http://host:81/a/b").hostPart, "host:81");
}

// The head is read by header names and the status code, not by searching its text.
TEST(AgentListDownload, LookAlikeHeadersAndStatusTextsAreNotTakenForTheRealOnes) {
    test::TempDir dir;
    const std::string target = dir.File(kAgentListFile);
    const std::string list = "[AGENTLIST]\r\nip0=127.0.0.5\r\nport0=81\r\n";
    test::CScriptedHttpServer server;
    // A length in another header's name must not cut the list short.
    server.AddReply("HTTP/1.1 200 OK\r\nX-Content-Length: 5\r\n\r\n" + list);
    // An error whose head merely mentions "200 OK" is no list.
    server.AddReply("HTTP/1.1 404 Not Found\r\nX-Upstream: 200 OK\r\n\r\n" + list);
    // A length that is no number is no length of zero: nothing is written and nothing succeeds.
    server.AddReply("HTTP/1.1 200 OK\r\nContent-Length: many\r\n\r\n" + list);
    auto resolve = [](const std::string&) { return htonl(INADDR_LOOPBACK); };
    const std::string url = "http://127.0.0.1:" + std::to_string(server.Port()) + "/agent.cfg";
    EXPECT_TRUE(DownloadAgentList(url, target, resolve));
    EXPECT_EQ(platform::ReadWholeFile(target), list);
    platform::WriteFileAtomically(target, "old");
    EXPECT_FALSE(DownloadAgentList(url, target, resolve));
    EXPECT_EQ(platform::ReadWholeFile(target), "old");
    EXPECT_FALSE(DownloadAgentList(url, target, resolve));
    EXPECT_EQ(platform::ReadWholeFile(target), "old");
}

}  // namespace
}  // namespace tessali::sources
