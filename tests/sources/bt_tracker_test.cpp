// BitTorrent tracker announces: the request texts and datagrams byte for byte, reply framing with
// its bounds, and the peer-list step against a fake connector (skip ourselves, connect each peer
// once, at most the bounded number per reply). UDP replies come from a scripted loopback tracker.

#include "engine/sources/bt_tracker_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <thread>

#include "common/fakes/recording_connector.h"
#include "common/fakes/udp_responder.h"
#include "common/scripted_http_server.h"
#include "engine/core/task_mgr.h"
#include "sources/http_source_test_util.h"

namespace tessali::sources {
namespace {

using test::WaitUntil;

std::string PeerBytes(uint32_t hostAddr, uint16_t hostPort) {
    std::string s(6, '\0');
    uint32_t a = htonl(hostAddr);
    uint16_t p = htons(hostPort);
    std::memcpy(s.data(), &a, 4);
    std::memcpy(s.data() + 4, &p, 2);
    return s;
}

core::TaskHash SomeHash() {
    return core::TaskHash::FromText("0123456789ABCDEF0123456789ABCDEF01234567");
}

std::array<uint8_t, 20> SomePeerId() {
    std::array<uint8_t, 20> id{};
    std::memcpy(id.data(), "MIRT1234ABCDEF012345", 20);
    return id;
}

TEST(BtTrackerWireTest, HttpAnnounceIsTheTextAsGivenWithEscaping) {
    BtAnnounceRecord record;
    record.infoHash = SomeHash().bytes;
    record.peerId = SomePeerId();
    record.path = BtAnnouncePath("http://tracker.example:6969/announce?x y");
    EXPECT_EQ(record.path, "/announce?x y");
    std::string text = BuildBtHttpAnnounce(record, 15000, htonl(0x7F000001));
    EXPECT_EQ(
        text,
        "GET /announce%3Fx%20y?info_hash=%01%23Eg%89%AB%CD%EF%01%23Eg%89%AB%CD%EF%01%23Eg&peer_id="
        "MIRT1234ABCDEF012345&port=15000&natmapped=1&uploaded=0&downloaded=0&left=1024&numwant=200&compact=1&"
        "no_peer_id=1&event=started HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\nAccept: */*\r\n"
        "Accept-Encoding: gzip\r\nUser-Agent: Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1; SV1;)\r\n"
        "Pragma: no-cache\r\nCache-Control: no-cache\r\n\r\n");
    EXPECT_EQ(BtAnnouncePath("http://h/" + std::string(80, 'a')).size(), kBtAnnouncePathBytes);
    EXPECT_EQ(BtAnnouncePath("http://h:80"), "");
    const uint8_t odd[] = {'a', 'Z', '9', '-', '.', 0x00, 0xFF};
    EXPECT_EQ(BtUrlEscape(odd), "aZ9%2D%2E%00%FF");
}

TEST(BtTrackerWireTest, HttpReplyFramingWaitsForTheBodyAndBoundsThePeers) {
    std::string two = PeerBytes(0x0A000001, 6881) + PeerBytes(0x0A000002, 6882);
    std::string body = "d8:intervali1800e5:peers12:" + two + "e";
    std::string head = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n";
    BtHttpReply whole = FrameBtHttpReply(head + body, false);
    ASSERT_EQ(whole.verdict, BtHttpReply::kPeers);
    EXPECT_EQ(std::string(whole.peers.begin(), whole.peers.end()), two);
    EXPECT_EQ(FrameBtHttpReply(head + body.substr(0, 20), false).verdict, BtHttpReply::kIncomplete);
    EXPECT_EQ(FrameBtHttpReply(head, false).verdict, BtHttpReply::kIncomplete);
    EXPECT_EQ(FrameBtHttpReply("HTTP/1.1 20", false).verdict, BtHttpReply::kIncomplete);
    // A body cut by the tracker's close yields the whole entries that arrived.
    BtHttpReply cut = FrameBtHttpReply(head + body.substr(0, body.size() - 4), true);
    ASSERT_EQ(cut.verdict, BtHttpReply::kPeers);
    EXPECT_EQ(cut.peers.size(), 6u);
    // opentracker answers HTTP/1.1, others 1.0; any other status gives no peers.
    EXPECT_EQ(
        FrameBtHttpReply(
            "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body, false)
            .verdict,
        BtHttpReply::kPeers);
    EXPECT_EQ(FrameBtHttpReply("HTTP/1.1 302 Found\r\n\r\n", false).verdict, BtHttpReply::kRefused);
    std::string dict = "d8:intervali1800e5:peersld2:ip9:127.0.0.1ee";
    EXPECT_EQ(
        FrameBtHttpReply(
            "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(dict.size()) + "\r\n\r\n" + dict, false)
            .verdict,
        BtHttpReply::kRefused);
    std::string empty = "d8:intervali1800e5:peers0:e";
    BtHttpReply none = FrameBtHttpReply(
        "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(empty.size()) + "\r\n\r\n" + empty, false);
    EXPECT_EQ(none.verdict, BtHttpReply::kPeers);
    EXPECT_TRUE(none.peers.empty());
    // A list claiming more than the bound is cut to it.
    std::string many;
    for (uint32_t i = 0; i < 300; ++i) {
        many += PeerBytes(0x0A000000 + i, 7000);
    }
    std::string big = "d8:intervali1800e5:peers1800:" + many + "e";
    BtHttpReply bounded = FrameBtHttpReply(
        "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(big.size()) + "\r\n\r\n" + big, false);
    ASSERT_EQ(bounded.verdict, BtHttpReply::kPeers);
    EXPECT_EQ(bounded.peers.size(), kMaxPeersPerReply * 6);
    EXPECT_EQ(FrameBtHttpReply("HTTP/1.1 200 OK\r\n" + std::string(kMaxBtHttpReplyBytes, 'x'), false).verdict,
              BtHttpReply::kRefused);
}

TEST(BtTrackerWireTest, HttpReplyLengthIsTheContentLengthHeaderAndOnlyIt) {
    std::string two = PeerBytes(0x0A000001, 6881) + PeerBytes(0x0A000002, 6882);
    std::string body = "d8:intervali1800e5:peers12:" + two + "e";
    std::string length = std::to_string(body.size());
    // A look-alike header before the real one does not frame the body.
    BtHttpReply behind = FrameBtHttpReply(
        "HTTP/1.1 200 OK\r\nX-Content-Length: 5\r\nContent-Length: " + length + "\r\n\r\n" + body, false);
    ASSERT_EQ(behind.verdict, BtHttpReply::kPeers);
    EXPECT_EQ(std::string(behind.peers.begin(), behind.peers.end()), two);
    // Header names are not case-sensitive.
    EXPECT_EQ(
        FrameBtHttpReply("HTTP/1.0 200 OK\r\ncontent-length: " + length + "\r\n\r\n" + body, false).verdict,
        BtHttpReply::kPeers);
    // Only the look-alike: no length, so the reply waits for the close and is refused then.
    std::string onlyLookAlike = "HTTP/1.1 200 OK\r\nX-Content-Length: " + length + "\r\n\r\n" + body;
    EXPECT_EQ(FrameBtHttpReply(onlyLookAlike, false).verdict, BtHttpReply::kIncomplete);
    EXPECT_EQ(FrameBtHttpReply(onlyLookAlike, true).verdict, BtHttpReply::kRefused);
    // A length with junk after its digits is no length.
    EXPECT_EQ(FrameBtHttpReply("HTTP/1.1 200 OK\r\nContent-Length: " + length + "abc\r\n\r\n" + body, false)
                  .verdict,
              BtHttpReply::kRefused);
}

TEST(BtTrackerWireTest, UdpDatagramsHaveTheirLayouts) {
    auto connect = BuildUdpConnect(0x11223344);
    const uint8_t magic[] = {0x00, 0x00, 0x04, 0x17, 0x27, 0x10, 0x19, 0x80, 0, 0, 0, 0};
    EXPECT_EQ(std::memcmp(connect.data(), magic, 12), 0);
    uint32_t tx;
    std::memcpy(&tx, &connect[12], 4);
    EXPECT_EQ(tx, 0x11223344u);

    std::array<uint8_t, 16> reply{0, 0, 0, 0, 9, 9, 9, 9, 1, 2, 3, 4, 5, 6, 7, 8};
    core::TaskHash hash = SomeHash();
    auto id = SomePeerId();
    auto announce = BuildUdpAnnounce(reply, 7, hash.Span(), id, 0x1F90);
    ASSERT_TRUE(announce);
    EXPECT_EQ(std::memcmp(announce->data(), &reply[8], 8), 0);
    EXPECT_EQ((*announce)[11], 1);
    EXPECT_EQ(std::memcmp(&(*announce)[16], hash.bytes.data(), 20), 0);
    EXPECT_EQ(std::memcmp(&(*announce)[36], id.data(), 20), 0);
    const uint8_t left[] = {0, 0, 0, 0x64, 0, 0, 0, 0};
    EXPECT_EQ(std::memcmp(&(*announce)[64], left, 8), 0);
    const uint8_t tail[] = {0xFF, 0xFF, 0xFF, 0xFF, 0x1F, 0x90};
    EXPECT_EQ(std::memcmp(&(*announce)[92], tail, 6), 0);
    for (size_t i : {56, 72, 80, 84, 88}) {
        EXPECT_EQ((*announce)[i], 0) << i;
    }
    EXPECT_FALSE(BuildUdpAnnounce(std::span<const uint8_t>(reply.data(), 15), 7, hash.Span(), id, 1));
    EXPECT_EQ(UdpReplyAction(std::span<const uint8_t>(reply.data(), 4)), 0u);
    const uint8_t error[] = {0, 0, 0, 3};
    EXPECT_EQ(UdpReplyAction(error), 3u);
    EXPECT_FALSE(UdpReplyAction(std::span<const uint8_t>(error, 3)));
}

TEST(BtTrackerPeersTest, EachNewPeerIsConnectedOnceAndWeAreSkipped) {
    test::CRecordingConnector connector(true);
    core::CTaskMgr tasks;
    BtTrackerSettings settings;
    settings.listenPort = 15000;
    settings.ownAddresses = {htonl(0x7F000001), htonl(0xC0A80005)};
    std::string list = PeerBytes(0x0A000001, 6881) + PeerBytes(0x0A000001, 6881) +  // twice
                       PeerBytes(0x7F000001, 15000) +                               // ourselves
                       PeerBytes(0xC0A80005, 15000) +  // ourselves, other address
                       PeerBytes(0x7F000001, 15001) +  // another engine here
                       "\x01\x02\x03";                 // a cut entry
    auto bytes = std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(list.data()), list.size());
    EXPECT_EQ(CBtTrackHandle::ConnectPeers(SomeHash(), bytes, settings, tasks), 2u);
    ASSERT_EQ(connector.Calls().size(), 2u);
    EXPECT_EQ(connector.Calls()[0].second.addr, htonl(0x0A000001));
    EXPECT_EQ(connector.Calls()[0].second.port, htons(6881));
    EXPECT_TRUE(connector.Calls()[0].second.bitTorrent);
    EXPECT_EQ(connector.Calls()[0].second.versionType, 1);
    EXPECT_EQ(connector.Calls()[1].second.port, htons(15001));
    EXPECT_EQ(connector.Calls()[0].first, SomeHash());

    std::string many;
    for (uint32_t i = 0; i < 1000; ++i) {
        many += PeerBytes(0x0A000000 + i, 7000);
    }
    connector.Clear();
    auto manyBytes = std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(many.data()), many.size());
    EXPECT_EQ(CBtTrackHandle::ConnectPeers(SomeHash(), manyBytes, settings, tasks), kMaxPeersPerReply);
}

// A loopback UDP tracker that answers connect requests and then announces with scripted datagrams.
class ScriptedUdpTracker {
public:
    explicit ScriptedUdpTracker(std::vector<std::string> announceReplies)
        : m_replies(std::move(announceReplies)) {}
    uint16_t Port() const { return m_udp.Port(); }
    std::vector<std::string> Received() {
        std::lock_guard lock(m_lock);
        return m_received;
    }

private:
    void Answer(std::span<const uint8_t> datagram, const sockaddr_in& from) {
        std::string d(reinterpret_cast<const char*>(datagram.data()), datagram.size());
        std::string reply;
        {
            std::lock_guard lock(m_lock);
            m_received.push_back(d);
            if (d.size() == 16) {
                // Sent whole: the client's transaction id may hold the "|" byte.
                Send(std::string("\0\0\0\0", 4) + d.substr(12, 4) + "CONNID42", from);
            } else if (!m_replies.empty()) {
                reply = m_replies.front();
                m_replies.erase(m_replies.begin());
            }
        }
        for (size_t at = 0; at < reply.size();) {
            // Several datagrams may be scripted in one reply, separated by "|".
            size_t bar = reply.find('|', at);
            std::string one = reply.substr(at, bar == std::string::npos ? std::string::npos : bar - at);
            // "TXID" stands for the transaction id of the request answered.
            if (one.size() >= 8 && one.compare(4, 4, "TXID") == 0 && d.size() >= 16) {
                one.replace(4, 4, d.substr(12, 4));
            }
            Send(one, from);
            at = bar == std::string::npos ? reply.size() : bar + 1;
        }
    }
    void Send(const std::string& bytes, const sockaddr_in& to) {
        m_udp.SendTo({reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()}, to);
    }
    std::mutex m_lock;
    std::vector<std::string> m_replies;
    std::vector<std::string> m_received;
    // Last: it stops answering before the rest goes.
    test::CUdpResponder m_udp{[this](std::span<const uint8_t> d, const sockaddr_in& from) { Answer(d, from); }};
};

std::string AnnounceReplyHeader() {
    return std::string("\0\0\0\1", 4) + std::string("TXID", 4) + std::string("\0\0\x07\x08", 4) +
           std::string(8, '\0');
}

TEST(BtTrackerClientTest, UdpExchangeIgnoresErrorRepliesAndMarksTheTrackerAnswered) {
    test::CRecordingConnector connector(true);
    core::CTaskMgr tasks;
    // First an error datagram (action 3), then the real announce reply with one peer.
    std::string error = std::string("\0\0\0\3", 4) + "TXIDno such torrent";
    ScriptedUdpTracker tracker({error + "|" + AnnounceReplyHeader() + PeerBytes(0x0A000009, 51413)});
    BtTrackerSettings settings;
    settings.peerId = SomePeerId();
    settings.listenPort = 15000;
    CBtTrackerClient client(settings, &tasks);
    std::mutex lock;
    std::vector<std::string> answered;
    client.SetResolver([](const std::string& host, uint32_t& addr, bool& pending) {
        pending = false;
        addr = inet_addr(host.c_str());
        return addr != INADDR_NONE;
    });
    client.SetAnsweredCallback([&](const core::TaskHash& hash, const std::string& url) {
        std::lock_guard l(lock);
        answered.push_back(url);
    });
    client.Start();
    std::string url = "udp://127.0.0.1:" + std::to_string(tracker.Port()) + "/announce";
    ASSERT_EQ(client.Announce(SomeHash(), url), kBtAnnounceStarted);
    ASSERT_TRUE(WaitUntil([&] { return client.OpenExchanges() == 0; }, 30000))
        << "tracker received " << tracker.Received().size() << " datagrams";
    client.Stop();
    ASSERT_EQ(connector.Count(), 1u);
    EXPECT_EQ(connector.Calls()[0].second.port, htons(51413));
    ASSERT_EQ(answered.size(), 1u);
    EXPECT_EQ(answered[0], url);
    std::vector<std::string> got = tracker.Received();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].size(), kUdpConnectBytes);
    ASSERT_EQ(got[1].size(), kUdpAnnounceBytes);
    EXPECT_EQ(got[1].substr(0, 8), "CONNID42") << "the connection id of the connect reply";
}

TEST(BtTrackerClientTest, UdpErrorAloneLeavesTheTrackerUnanswered) {
    test::CRecordingConnector connector(true);
    core::CTaskMgr tasks;
    ScriptedUdpTracker tracker({std::string("\0\0\0\3", 4) + "TXIDbad"});
    CBtTrackerClient client(BtTrackerSettings{}, &tasks);
    client.SetResolver([](const std::string&, uint32_t& addr, bool& pending) {
        pending = false;
        addr = htonl(INADDR_LOOPBACK);
        return true;
    });
    std::atomic<int> answered{0};
    client.SetAnsweredCallback([&](const core::TaskHash&, const std::string&) { ++answered; });
    client.Start();
    ASSERT_EQ(client.Announce(SomeHash(), "udp://127.0.0.1:" + std::to_string(tracker.Port())),
              kBtAnnounceStarted);
    // A generous deadline, then the exact count: a client that sent more (a retry) fails here.
    ASSERT_TRUE(WaitUntil([&] { return tracker.Received().size() >= 2; }, 30000));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(tracker.Received().size(), 2u) << "the connect and one announce";
    EXPECT_EQ(client.OpenExchanges(), 1u) << "the error is ignored: the exchange waits for its time-out";
    EXPECT_EQ(answered.load(), 0);
    EXPECT_EQ(connector.Count(), 0u);
    client.Stop();
}

// An answer that does not carry the transaction id of our request (a stale or forged one) is
// not an answer: its peers are not connected and the exchange waits for the real one.
TEST(BtTrackerClientTest, UdpRepliesWithAnotherTransactionIdAreIgnored) {
    test::CRecordingConnector connector(true);
    core::CTaskMgr tasks;
    std::string forged = AnnounceReplyHeader().replace(4, 4, "BADX") + PeerBytes(0x0A000007, 6666);
    ScriptedUdpTracker tracker({forged + "|" + AnnounceReplyHeader() + PeerBytes(0x0A000008, 7777)});
    CBtTrackerClient client(BtTrackerSettings{}, &tasks);
    client.SetResolver([](const std::string&, uint32_t& addr, bool& pending) {
        pending = false;
        addr = htonl(INADDR_LOOPBACK);
        return true;
    });
    std::atomic<int> answered{0};
    client.SetAnsweredCallback([&](const core::TaskHash&, const std::string&) { ++answered; });
    client.Start();
    ASSERT_EQ(client.Announce(SomeHash(), "udp://127.0.0.1:" + std::to_string(tracker.Port())),
              kBtAnnounceStarted);
    ASSERT_TRUE(WaitUntil([&] { return client.OpenExchanges() == 0; }, 30000));
    client.Stop();
    ASSERT_EQ(connector.Count(), 1u);
    EXPECT_EQ(connector.Calls()[0].second.addr, htonl(0x0A000008));
    EXPECT_EQ(answered.load(), 1);
}

TEST(BtTrackerClientTest, HttpExchangeWithAnEmptyListStillMarksTheTrackerAnswered) {
    test::CRecordingConnector connector(true);
    core::CTaskMgr tasks;
    test::CScriptedHttpServer tracker;
    std::string body = "d8:completei0e10:incompletei0e8:intervali1800e5:peers0:e";
    // The head and the body arrive apart: framing waits for the body.
    tracker.AddReply(test::ScriptedReply{
        {"HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n", body}, true});
    BtTrackerSettings settings;
    settings.peerId = SomePeerId();
    settings.listenPort = 15000;
    CBtTrackerClient client(settings, &tasks);
    client.SetResolver([](const std::string&, uint32_t& addr, bool& pending) {
        pending = false;
        addr = htonl(INADDR_LOOPBACK);
        return true;
    });
    std::atomic<int> answered{0};
    client.SetAnsweredCallback([&](const core::TaskHash&, const std::string&) { ++answered; });
    client.Start();
    ASSERT_EQ(client.Announce(SomeHash(), tracker.Url("/announce")), kBtAnnounceStarted);
    ASSERT_TRUE(WaitUntil([&] { return answered.load() == 1; }));
    EXPECT_TRUE(WaitUntil([&] { return client.OpenExchanges() == 0; })) << "the tracker connection is closed";
    EXPECT_EQ(connector.Count(), 0u);
    client.Stop();
    std::vector<std::string> requests = tracker.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(
        requests[0].substr(0, requests[0].find(" HTTP/1.1")),
        "GET "
        "/announce?info_hash=%01%23Eg%89%AB%CD%EF%01%23Eg%89%AB%CD%EF%01%23Eg&peer_id=MIRT1234ABCDEF012345&"
        "port=15000&natmapped=1&uploaded=0&downloaded=0&left=1024&numwant=200&compact=1&no_peer_id=1&"
        "event=started");
}

TEST(BtTrackerClientTest, RefusedHttpReplyGivesNoPeersAndNoAnswer) {
    test::CRecordingConnector connector(true);
    core::CTaskMgr tasks;
    test::CScriptedHttpServer tracker;
    tracker.AddReply(test::HttpAnswer("302 Found", "Location: http://127.0.0.1:1/\r\n", "d5:peers6:abcdefe"));
    CBtTrackerClient client(BtTrackerSettings{}, &tasks);
    client.SetResolver([](const std::string&, uint32_t& addr, bool& pending) {
        pending = false;
        addr = htonl(INADDR_LOOPBACK);
        return true;
    });
    std::atomic<int> answered{0};
    client.SetAnsweredCallback([&](const core::TaskHash&, const std::string&) { ++answered; });
    client.Start();
    ASSERT_EQ(client.Announce(SomeHash(), tracker.Url("/announce")), kBtAnnounceStarted);
    ASSERT_TRUE(WaitUntil([&] { return client.OpenExchanges() == 0; }));
    client.Stop();
    EXPECT_EQ(answered.load(), 0);
    EXPECT_EQ(connector.Count(), 0u);
}

// A hostile tracker listing 100 000 peers over HTTP (600 kB of compact entries): the reply is
// refused at the reply bound rather than held, and no one is connected.
TEST(BtTrackerClientTest, AHundredThousandPeerHttpReplyIsRefusedAtItsBound) {
    test::CRecordingConnector connector(true);
    core::CTaskMgr tasks;
    test::CScriptedHttpServer tracker;
    std::string list;
    for (uint32_t i = 0; i < 100000; ++i) {
        list += PeerBytes(0x0A000000 + i, 7000);
    }
    tracker.AddReply(test::HttpAnswer(
        "200 OK", "", "d8:intervali1800e5:peers" + std::to_string(list.size()) + ":" + list + "e"));
    CBtTrackerClient client(BtTrackerSettings{}, &tasks);
    client.SetResolver([](const std::string&, uint32_t& addr, bool& pending) {
        pending = false;
        addr = htonl(INADDR_LOOPBACK);
        return true;
    });
    std::atomic<int> answered{0};
    client.SetAnsweredCallback([&](const core::TaskHash&, const std::string&) { ++answered; });
    client.Start();
    ASSERT_EQ(client.Announce(SomeHash(), tracker.Url("/announce")), kBtAnnounceStarted);
    ASSERT_TRUE(WaitUntil([&] { return client.OpenExchanges() == 0; }));
    client.Stop();
    EXPECT_EQ(connector.Count(), 0u);
    EXPECT_EQ(answered.load(), 0);
}

// The same over UDP: the largest datagram (10 900 entries) gets at most the per-reply bound
// connected.
TEST(BtTrackerClientTest, AFullUdpDatagramOfPeersConnectsOnlyTheBoundedNumber) {
    test::CRecordingConnector connector(true);
    core::CTaskMgr tasks;
    std::string reply = AnnounceReplyHeader();
    for (uint32_t i = 0, n = 0; n < 10900; ++i) {
        std::string entry = PeerBytes(0x0A000000 + i, 7000);
        if (entry.find('|') == std::string::npos) {  // '|' separates scripted datagrams
            reply += entry;
            ++n;
        }
    }
    ScriptedUdpTracker tracker({reply});
    CBtTrackerClient client(BtTrackerSettings{}, &tasks);
    client.SetResolver([](const std::string& host, uint32_t& addr, bool& pending) {
        pending = false;
        addr = inet_addr(host.c_str());
        return addr != INADDR_NONE;
    });
    client.Start();
    ASSERT_EQ(client.Announce(SomeHash(), "udp://127.0.0.1:" + std::to_string(tracker.Port()) + "/announce"),
              kBtAnnounceStarted);
    ASSERT_TRUE(WaitUntil([&] { return client.OpenExchanges() == 0; }, 30000));
    client.Stop();
    EXPECT_EQ(connector.Count(), kMaxPeersPerReply);
}

TEST(BtTrackerClientTest, UnresolvableHostsAreRetriedLaterOrRefused) {
    CBtTrackerClient client(BtTrackerSettings{});
    int asked = 0;
    client.SetResolver([&](const std::string&, uint32_t&, bool& pending) {
        ++asked;
        pending = true;
        return false;
    });
    EXPECT_EQ(client.Announce(SomeHash(), "http://slow.example/announce"), kBtAnnouncePending);
    EXPECT_EQ(asked, 2) << "asked once more after the wait";
    client.SetResolver([](const std::string&, uint32_t&, bool& pending) {
        pending = false;
        return false;
    });
    EXPECT_EQ(client.Announce(SomeHash(), "http://bad.example/announce"), kBtAnnounceFailed);
    EXPECT_EQ(client.Announce(SomeHash(), "magnet:?xt"), kBtAnnounceFailed);
    EXPECT_EQ(client.OpenExchanges(), 0u);
}

}  // namespace
}  // namespace tessali::sources
