// The wire forms: plain, HTTP-tunnelled and scrambled framing of received bytes, the scrambling
// routine and frame layout, detection of an inbound stream's form, the bounds on what one
// connection can make us buffer, and the length each message must have.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "common/log_capture.h"
#include "engine/core/task_hash.h"
#include "engine/net/connect_mgr.h"
#include "engine/net/dispatch.h"
#include "engine/net/dispatch_mgr.h"
#include "engine/net/peer_wire.h"
#include "engine/net/scramble.h"

namespace tessali::net {
namespace {

using Bytes = std::vector<uint8_t>;

class FakeHost : public IDispatchHost {
public:
    std::vector<Bytes> messages;
    std::vector<uint8_t> synthetic;
    Bytes sent;
    int writes = 0;
    int errors = 0;

    void Emit(const CConnEntry&, std::span<const uint8_t> m) override {
        messages.emplace_back(m.begin(), m.end());
    }
    void PostSynthetic(const CConnEntry&, uint8_t id) override { synthetic.push_back(id); }
    int SendRaw(const core::ConnectionKey&, uint8_t, std::span<const uint8_t> b) override {
        sent.insert(sent.end(), b.begin(), b.end());
        ++writes;
        return static_cast<int>(b.size());
    }
    void FramingError(CConnEntry& entry) override {
        ++errors;
        entry.closing = true;
    }
};

core::TaskHash SomeHash() {
    core::TaskHash h;
    for (size_t i = 0; i < 20; ++i) {
        h.bytes[i] = static_cast<uint8_t>(0xA0 + i);
    }
    return h;
}

Bytes Handshake(bool engine) {
    std::array<uint8_t, 20> id;
    std::memcpy(id.data(), "MIRT0066ABCDEF012345", 20);
    auto h = BuildHandshake(engine, SomeHash().bytes, id);
    return Bytes(h.begin(), h.end());
}

Bytes PieceMessage(uint32_t piece, uint32_t begin, size_t length, uint8_t fill) {
    auto head = BuildPieceHead(piece, begin, static_cast<uint32_t>(length));
    Bytes m(head.begin(), head.end());
    for (size_t i = 0; i < length; ++i) {
        m.push_back(static_cast<uint8_t>(fill + i * 7));
    }
    return m;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts) {
        all.insert(all.end(), p.begin(), p.end());
    }
    return all;
}

CConnEntry Entry(bool handshakeSeen) {
    CConnEntry e;
    e.key = {0x0100007F, 0x3930, 7};
    e.handshakeSeen = handshakeSeen;
    return e;
}

TEST(PlainFraming, TwoMessagesInOneSegmentAndOneSplitOverThree) {
    FakeHost host;
    CBtDispatch plain(host);
    CConnEntry e = Entry(true);
    Bytes have = BuildHave(7);
    Bytes unchoke = BuildMessage(kMsgUnchoke);
    e.Append(Cat({have, unchoke}));
    EXPECT_EQ(plain.Frame(e), 0);
    ASSERT_EQ(host.messages.size(), 2u);
    EXPECT_EQ(host.messages[0], have);
    EXPECT_EQ(host.messages[1], unchoke);
    EXPECT_TRUE(e.buffer.empty());

    Bytes piece = PieceMessage(3, 16384, 16384, 9);
    e.Append(std::span(piece).first(5000));
    plain.Frame(e);
    e.Append(std::span(piece).subspan(5000, 6000));
    plain.Frame(e);
    EXPECT_EQ(host.messages.size(), 2u) << "nothing before the whole message is there";
    e.Append(std::span(piece).subspan(11000));
    plain.Frame(e);
    ASSERT_EQ(host.messages.size(), 3u);
    EXPECT_EQ(host.messages[2], piece);
    EXPECT_TRUE(e.buffer.empty());
}

TEST(PlainFraming, AHandshakeStartOf40BytesWaitsFor68) {
    FakeHost host;
    CBtDispatch plain(host);
    CConnEntry e = Entry(false);
    Bytes hs = Handshake(true);
    Bytes bitfield = BuildMessage(kMsgBitfield, Bytes{0xF0});
    Bytes stream = Cat({hs, bitfield});
    e.Append(std::span(stream).first(40));
    EXPECT_EQ(plain.Frame(e), 0);
    EXPECT_TRUE(host.messages.empty());
    EXPECT_FALSE(e.handshakeSeen);
    e.Append(std::span(stream).subspan(40));
    EXPECT_EQ(plain.Frame(e), 0);
    ASSERT_EQ(host.messages.size(), 2u);
    EXPECT_EQ(host.messages[0], hs);
    EXPECT_EQ(host.messages[1], bitfield);
    EXPECT_TRUE(e.handshakeSeen);
}

TEST(PlainFraming, LengthFieldsAboveTheLargestMessageDropTheConnection) {
    FakeHost host;
    CBtDispatch plain(host);
    // The largest legal message (512 000 bytes in all) is waited for...
    CConnEntry ok = Entry(true);
    Bytes head(5, 0);
    PutU32(head.data(), 512000 - 4);
    head[4] = kMsgMetaResponse;
    ok.Append(head);
    EXPECT_EQ(plain.Frame(ok), 0);
    EXPECT_EQ(host.errors, 0);
    // ...one byte more is not, and nothing of it stays buffered.
    CConnEntry bad = Entry(true);
    PutU32(head.data(), 512000 - 3);
    bad.Append(head);
    EXPECT_EQ(plain.Frame(bad), -1);
    EXPECT_EQ(host.errors, 1);
    EXPECT_TRUE(host.messages.empty());
    // The stop length only stops framing.
    CConnEntry stop = Entry(true);
    PutU32(head.data(), kStopLength);
    stop.Append(head);
    EXPECT_EQ(plain.Frame(stop), -1);
    EXPECT_EQ(host.errors, 1);
}

TEST(Scrambling, UnscrambleUndoesScrambleForEveryLengthAndSeed) {
    std::mt19937 rng(5);
    for (size_t len = 0; len <= 110; ++len) {
        for (int round = 0; round < 8; ++round) {
            Bytes plain(len);
            for (auto& b : plain) {
                b = static_cast<uint8_t>(rng());
            }
            uint32_t seed = rng();
            Bytes work = plain;
            ScrambleRegion(work, seed);
            if (len >= 4) {
                EXPECT_NE(work, plain) << len;
            }
            UnscrambleRegion(work, seed);
            ASSERT_EQ(work, plain) << "length " << len << " seed " << seed;
        }
    }
}

TEST(Scrambling, ShortFramesHaveLengthsDivisibleBy4AndPaddingUpTo15) {
    std::mt19937 rng(11);
    auto random = [&rng] { return static_cast<uint32_t>(rng()); };
    for (size_t n = 4; n <= 100; ++n) {
        for (int round = 0; round < 40; ++round) {
            Bytes message(n, 0x33);
            Bytes frame = BuildScrambledFrame(message, random);
            Bytes copy = frame;
            UnscrambleFrame(copy);
            uint8_t c = copy[8];
            ASSERT_LE(c, kMaxPadding);
            ASSERT_EQ(frame.size(), 17u + c + n);
            if (frame.size() < 108) {
                ASSERT_EQ(frame.size() % 4, 0u) << "message " << n << " padding " << int(c);
            }
            EXPECT_EQ(0, std::memcmp(copy.data(), copy.data() + 9 + c, 8));
            EXPECT_EQ(0, std::memcmp(copy.data() + 17 + c, message.data(), n));
        }
    }
}

TEST(Scrambling, AFrameOf200BytesLeavesBytes0To3And108To199Clear) {
    // Keys A and B, then the padding count 5, then padding bytes.
    std::vector<uint32_t> script = {0x11223344, 0x55667788, 5, 1, 2, 3, 4, 5};
    size_t next = 0;
    auto random = [&] { return next < script.size() ? script[next++] : 0u; };
    Bytes message(200 - 17 - 5);
    for (size_t i = 0; i < message.size(); ++i) {
        message[i] = static_cast<uint8_t>(i * 13 + 1);
    }
    Bytes frame = BuildScrambledFrame(message, random);
    ASSERT_EQ(frame.size(), 200u);
    EXPECT_EQ(frame[0], 0x44);
    EXPECT_EQ(frame[3], 0x11);
    for (size_t i = 108; i < 200; ++i) {
        ASSERT_EQ(frame[i], message[i - 22]) << i;
    }
    // The scrambled middle does not show the message.
    size_t same = 0;
    for (size_t i = 22; i < 108; ++i) {
        same += frame[i] == message[i - 22];
    }
    EXPECT_LT(same, 10u);
}

TEST(ScrambledFraming, AStreamFedInSmallPiecesGivesBackEveryMessage) {
    FakeHost sender;
    std::mt19937 rng(3);
    CMirtDispatch out(sender, [&rng] { return static_cast<uint32_t>(rng()); });
    CConnEntry e = Entry(false);
    std::vector<Bytes> messages = {Handshake(true),   BuildMessage(kMsgInterested),
                                   BuildHave(12),     PieceMessage(1, 0, 16384, 4),
                                   Bytes{0, 0, 0, 0}, BuildMessage(kMsgUnchoke)};
    for (const Bytes& m : messages) {
        EXPECT_EQ(out.Send(e, m), static_cast<int>(m.size()));
    }
    FakeHost receiver;
    CMirtDispatch in(receiver, [] { return 0u; });
    CConnEntry r = Entry(false);
    for (size_t at = 0; at < sender.sent.size();) {
        size_t n = std::min<size_t>(1 + rng() % 7, sender.sent.size() - at);
        r.Append(std::span(sender.sent).subspan(at, n));
        ASSERT_EQ(in.Frame(r), 0);
        at += n;
    }
    EXPECT_EQ(receiver.errors, 0);
    EXPECT_EQ(receiver.messages, messages);
}

TEST(ScrambledFraming, AFrameWhoseKeysDoNotRepeatClosesTheConnection) {
    FakeHost sender;
    std::mt19937 rng(8);
    CMirtDispatch out(sender, [&rng] { return static_cast<uint32_t>(rng()); });
    CConnEntry e = Entry(false);
    out.Send(e, Handshake(true));
    sender.sent[0] ^= 0x01;  // key A no longer matches its copy
    FakeHost receiver;
    CMirtDispatch in(receiver, [] { return 0u; });
    CConnEntry r = Entry(false);
    r.Append(sender.sent);
    test::LogCapture log;
    EXPECT_EQ(in.Frame(r), -1);
    EXPECT_EQ(receiver.errors, 1);
    EXPECT_TRUE(receiver.messages.empty());
    EXPECT_TRUE(log.Contains("CMirtDispatch ProcessPhase decode1 Error!!!!\n"));
}

TEST(ScrambledFraming, AShortFrameOfAnOddLengthNeverYieldsAMessageThatDisagreesWithItsLength) {
    // Our senders never make such a frame: it decodes its tail unlike the head read ahead of it.
    std::mt19937 rng(21);
    int refused = 0;
    for (int round = 0; round < 200; ++round) {
        Bytes frame(17 + 5);
        uint32_t a = rng(), b = rng();
        std::memcpy(&frame[0], &a, 4);
        std::memcpy(&frame[4], &b, 4);
        frame[8] = 0;
        std::memcpy(&frame[9], &frame[0], 8);
        Bytes choke = BuildMessage(kMsgChoke);
        std::copy(choke.begin(), choke.end(), frame.begin() + 17);
        ScrambleRegion(std::span(frame).subspan(8), b);
        ScrambleRegion(std::span(frame).subspan(4), a);
        FakeHost host;
        CMirtDispatch in(host, [] { return 0u; });
        CConnEntry e = Entry(true);
        e.Append(frame);
        e.Append(Bytes(40, 0));  // whatever follows
        in.Frame(e);
        for (const Bytes& m : host.messages) {
            ASSERT_EQ(GetU32(m.data()) + 4, m.size());
        }
        refused += host.errors;
    }
    EXPECT_GT(refused, 0);
}

TEST(HttpFraming, MessagesTravelInPostRequestsAndComeBackWhole) {
    FakeHost sender;
    CMirtHttpDispatch out(sender);
    CConnEntry e = Entry(false);
    Bytes hs = Handshake(true);
    Bytes piece = PieceMessage(0, 0, 4000, 1);
    out.Send(e, hs);
    out.Send(e, piece);
    std::string text(sender.sent.begin(), sender.sent.end());
    EXPECT_EQ(text.rfind("POST /service HTTP/1.1\r\nAccept: */*\r\n", 0), 0u);
    EXPECT_NE(text.find("Content-Length: 68\r\nHost: 127.0.0.1:12345\r\n"), std::string::npos);
    EXPECT_NE(text.find("Content-Length: " + std::to_string(piece.size()) + "\r\n"), std::string::npos);
    EXPECT_NE(text.find("User-Agent: Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1; SV1;)\r\n\r\n"),
              std::string::npos);
    EXPECT_EQ(DetectForm(sender.sent, 1), kDispatchHttp);

    FakeHost receiver;
    CMirtHttpDispatch in(receiver);
    CConnEntry r = Entry(false);
    for (size_t at = 0; at < sender.sent.size(); at += 100) {
        r.Append(std::span(sender.sent).subspan(at, std::min<size_t>(100, sender.sent.size() - at)));
        ASSERT_EQ(in.Frame(r), 0);
    }
    ASSERT_EQ(receiver.messages.size(), 2u);
    EXPECT_EQ(receiver.messages[0], hs);
    EXPECT_EQ(receiver.messages[1], piece);
}

TEST(HttpFraming, ABodyAboveTheTunnelLimitOrAHeadWithoutEndIsRefused) {
    FakeHost host;
    CMirtHttpDispatch in(host);
    CConnEntry big = Entry(false);
    std::string head = "POST /service HTTP/1.1\r\nContent-Length: 133121\r\n\r\n";
    big.Append(std::span(reinterpret_cast<const uint8_t*>(head.data()), head.size()));
    EXPECT_EQ(in.Frame(big), -1);
    EXPECT_EQ(host.errors, 1);

    CConnEntry endless = Entry(false);
    std::string start = "POST /service HTTP/1.1\r\n";
    endless.Append(std::span(reinterpret_cast<const uint8_t*>(start.data()), start.size()));
    EXPECT_EQ(in.Frame(endless), 0) << "an incomplete head is waited for";
    Bytes filler(kMaxHttpHead, 'x');
    endless.Append(filler);
    EXPECT_EQ(in.Frame(endless), -1);
    EXPECT_EQ(host.errors, 2);
}

// The tunnel reads its body length from the Content-Length header itself, never from a header
// whose name merely ends with it.
TEST(HttpFraming, ALookAlikeLengthHeaderNeitherHidesNorStandsInForTheRealOne) {
    FakeHost host;
    CMirtHttpDispatch in(host);
    CConnEntry hidden = Entry(false);
    std::string head = "POST /service HTTP/1.1\r\nX-Content-Length: 68\r\nContent-Length: 133121\r\n\r\n";
    hidden.Append(std::span(reinterpret_cast<const uint8_t*>(head.data()), head.size()));
    EXPECT_EQ(in.Frame(hidden), -1) << "the body above the limit is refused";
    EXPECT_EQ(host.errors, 1);

    CConnEntry lookAlike = Entry(false);
    std::string noLength = "POST /service HTTP/1.1\r\nX-Content-Length: 68\r\n\r\n";
    lookAlike.Append(std::span(reinterpret_cast<const uint8_t*>(noLength.data()), noLength.size()));
    EXPECT_EQ(in.Frame(lookAlike), -1) << "a head without a length is not one of ours";
    EXPECT_EQ(host.errors, 2);
    EXPECT_EQ(DetectForm(Bytes(noLength.begin(), noLength.end()), 1), kDispatchUnknown);
    std::string real = "POST /service HTTP/1.1\r\ncontent-length: 68\r\n\r\n";
    EXPECT_EQ(DetectForm(Bytes(real.begin(), real.end()), 1), kDispatchHttp);
}

TEST(Detection, TheFirstBytesNameTheForm) {
    FakeHost host;
    std::mt19937 rng(2);
    CMirtDispatch scrambler(host, [&rng] { return static_cast<uint32_t>(rng()); });
    CConnEntry e = Entry(false);
    scrambler.Send(e, Handshake(true));
    EXPECT_EQ(DetectForm(host.sent, 1), kDispatchScrambled);
    EXPECT_EQ(DetectForm(std::span(host.sent).first(84), 1), kDispatchUnknown) << "85 bytes at least";
    EXPECT_EQ(DetectForm(host.sent, 3), kDispatchUnknown) << "reliable UDP is never scrambled";
    Bytes plain = Handshake(false);
    EXPECT_EQ(DetectForm(plain, 1), kDispatchPlain);
    EXPECT_EQ(DetectForm(std::span(plain).first(30), 3), kDispatchPlain);
    Bytes junk(200, 0x42);
    EXPECT_EQ(DetectForm(junk, 1), kDispatchUnknown);
    std::string emptyPost = "POST /service HTTP/1.1\r\nContent-Length: 0\r\n\r\n";
    EXPECT_EQ(DetectForm(Bytes(emptyPost.begin(), emptyPost.end()), 1), kDispatchUnknown);

    // Fallback: a message stream with no handshake, and a scrambled frame after the handshake.
    Bytes messages = Cat({BuildHave(1), BuildMessage(kMsgInterested)});
    EXPECT_EQ(DetectFallbackForm(messages, 1), kDispatchPlain);
    EXPECT_EQ(DetectFallbackForm(std::span(messages).first(6), 1), kDispatchUnknown) << "the whole message";
    host.sent.clear();
    scrambler.Send(e, BuildHave(3));
    EXPECT_EQ(DetectFallbackForm(host.sent, 1), kDispatchScrambled);
}

class DispatchMgrTest : public ::testing::Test {
protected:
    CFragmentPool q1;
    CFragmentPool q2;
    CSocketSender sender;
    CConnectMgr rudp{q2, sender};
    CThreadMgr sockets{q1, &rudp};
    CDispatchMgr mgr{sockets, rudp, q1, q2};
    core::ConnectionKey key{0x0100007F, 0x1234, 55};

    void Accept() {
        SocketEvent ev{key.addr, key.port, key.sock, SockEventKind::kAccepted, 0};
        mgr.HandleEvent(ev, {}, 1);
    }
    void Data(std::span<const uint8_t> bytes) {
        SocketEvent ev{key.addr, key.port, key.sock, SockEventKind::kData,
                       static_cast<uint32_t>(bytes.size())};
        mgr.HandleEvent(ev, bytes, 1);
    }
    std::vector<MessageRecord> Records() {
        std::vector<MessageRecord> all;
        MessageRecord r;
        while (mgr.TakeRecord(r)) {
            all.push_back(r);
        }
        return all;
    }
    // Queues `events` receives of 1000 have messages each, numbered from 0.
    void PostHaveFlood(int events) {
        uint32_t next = 0;
        for (int e = 0; e < events; ++e) {
            Bytes chunk;
            for (int i = 0; i < 1000; ++i) {
                Bytes have = BuildHave(next++);
                chunk.insert(chunk.end(), have.begin(), have.end());
            }
            ASSERT_TRUE(q1.Post(SocketEvent{key.addr, key.port, key.sock, SockEventKind::kData, 0}, chunk));
        }
    }
};

TEST_F(DispatchMgrTest, AnAcceptedStreamIsDetectedThenFramedIntoRecords) {
    Data(Handshake(true));
    EXPECT_FALSE(mgr.HasEntry(key)) << "data of an unknown connection is ignored";
    Accept();
    Bytes stream = Cat({Handshake(true), BuildMessage(kMsgInterested)});
    Data(std::span(stream).first(20));
    EXPECT_EQ(mgr.TypeOf(key), kDispatchPlain) << "the first bytes already show the plain form";
    Data(std::span(stream).subspan(20));
    std::vector<MessageRecord> r = Records();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].bytes, Handshake(true));
    EXPECT_EQ(r[1].Id(), kMsgInterested);
    EXPECT_EQ(r[1].key, key);
    EXPECT_EQ(r[1].transport, 1);

    SocketEvent closed{key.addr, key.port, key.sock, SockEventKind::kClosed, 0};
    mgr.HandleEvent(closed, {}, 1);
    r = Records();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].bytes, Bytes({0, 0, 0, 2, kMsgClosed, 0}));
}

// Silent connections (and peers that accept and never answer) do not keep their socket for the
// two-minute idle check: without a handshake they are closed at the deadline.
TEST(DispatchMgrDeadline, ATcpConnectionWithoutAHandshakeIsClosedAtTheDeadline) {
    platform::FakeTick clock{5000};
    CFragmentPool q1, q2;
    CSocketSender sender;
    CConnectMgr rudp{q2, sender};
    CThreadMgr sockets{q1, &rudp};
    CDispatchMgr mgr{sockets, rudp, q1, q2};
    const core::ConnectionKey silent{0x0100007F, 0x1001, 61}, talking{0x0100007F, 0x1002, 62},
        partial{0x0100007F, 0x1003, 63};
    for (const auto& k : {silent, talking, partial}) {
        mgr.HandleEvent(SocketEvent{k.addr, k.port, k.sock, SockEventKind::kAccepted, 0}, {}, 1);
    }
    auto data = [&](const core::ConnectionKey& k, std::span<const uint8_t> bytes) {
        mgr.HandleEvent(
            SocketEvent{k.addr, k.port, k.sock, SockEventKind::kData, static_cast<uint32_t>(bytes.size())},
            bytes, 1);
    };
    Bytes hs = Handshake(true);
    data(talking, hs);
    data(partial, std::span(hs).first(40));  // a handshake that never gets finished
    MessageRecord r;
    while (mgr.TakeRecord(r)) {
    }

    clock.Advance(kHandshakeDeadlineMs - 1);
    EXPECT_EQ(mgr.CloseSilentConnections(platform::GetTick()), 0u);
    clock.Advance(1);
    EXPECT_EQ(mgr.CloseSilentConnections(platform::GetTick()), 2u);
    std::vector<core::ConnectionKey> closedKeys;
    while (mgr.TakeRecord(r)) {
        EXPECT_EQ(r.Id(), kMsgClosed);
        closedKeys.push_back(r.key);
    }
    EXPECT_EQ(closedKeys.size(), 2u);
    EXPECT_NE(std::find(closedKeys.begin(), closedKeys.end(), silent), closedKeys.end());
    EXPECT_NE(std::find(closedKeys.begin(), closedKeys.end(), partial), closedKeys.end());
    // Once is enough: a closing connection is not reported again.
    clock.Advance(5000);
    EXPECT_EQ(mgr.CloseSilentConnections(platform::GetTick()), 0u);
}

// A flood of tiny messages becomes records batch by batch, in order, never all at once.
TEST_F(DispatchMgrTest, EventsAreFramedInBoundedBatchesAndInOrder) {
    Accept();
    Data(Handshake(true));
    ASSERT_EQ(Records().size(), 1u);
    // 400 receives of 1000 have messages each: 400 000 records if framed in one go.
    ASSERT_NO_FATAL_FAILURE(PostHaveFlood(400));
    uint32_t expected = 0;
    int passes = 0;
    while (q1.Size() > 0 && passes < 1000) {
        mgr.ProcessQueues();
        ++passes;
        std::vector<MessageRecord> batch = Records();
        EXPECT_LE(batch.size(), kMaxPendingRecords + 1000) << "one receive past the bound at most";
        for (const MessageRecord& r : batch) {
            ASSERT_EQ(r.Id(), kMsgHave);
            ASSERT_EQ(GetU32(r.bytes.data() + 5), expected++);
        }
    }
    EXPECT_EQ(expected, 400000u);
    EXPECT_GT(passes, 100);
}

TEST_F(DispatchMgrTest, AStreamOfNoKnownFormIsDroppedOnceItOutgrowsItsBound) {
    Accept();
    Bytes junk(16384, 0x42);
    for (size_t sent = 0; sent <= kMaxUndetectedBytes; sent += junk.size()) {
        EXPECT_TRUE(Records().empty());
        Data(junk);
    }
    std::vector<MessageRecord> r = Records();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].Id(), kMsgClosed);
    Data(junk);
    EXPECT_TRUE(Records().empty()) << "nothing more is framed for a closing connection";
}

// Received bytes reach the framer in buffers handed over whole (large reads) or copied (short
// ones), recycled afterwards; messages are framed from them directly or through the connection's
// buffer when they straddle reads. However the stream is cut, every message comes back whole, in
// order, and nothing of an earlier buffer's bytes leaks into a later event.
TEST_F(DispatchMgrTest, AStreamCutAnywhereGivesBackEveryMessageWholeAndInOrder) {
    Accept();
    std::vector<Bytes> messages{Handshake(true)};
    std::mt19937 gen(77);
    for (uint32_t i = 0; i < 120; ++i) {
        switch (gen() % 5) {
            case 0:
                messages.push_back(Bytes{0, 0, 0, 0});  // keep-alive
                break;
            case 1:
                messages.push_back(BuildHave(i));
                break;
            case 2:
                messages.push_back(PieceMessage(i, 65536, 65536, static_cast<uint8_t>(i)));
                break;
            default:
                messages.push_back(PieceMessage(i, 16384, 16384, static_cast<uint8_t>(i * 3)));
                break;
        }
    }
    messages.push_back(BuildHave(9999));  // something after the last keep-alive, which needs a next byte
    Bytes stream;
    for (const Bytes& m : messages) {
        stream.insert(stream.end(), m.begin(), m.end());
    }
    std::vector<MessageRecord> got;
    size_t at = 0;
    while (at < stream.size()) {
        // Cuts of every size: inside length fields, at message ends, over several messages.
        size_t cut = std::min<size_t>(stream.size() - at, gen() % 4 == 0 ? 1 + gen() % 6 : 1 + gen() % 66560);
        std::span<const uint8_t> part(stream.data() + at, cut);
        SocketEvent ev{key.addr, key.port, key.sock, SockEventKind::kData, 0};
        if (cut >= CFragmentPool::kBufferBytes / 4) {
            std::unique_ptr<uint8_t[]> buffer = q1.NewBuffer();
            ASSERT_TRUE(buffer);
            std::memcpy(buffer.get(), part.data(), cut);
            ASSERT_TRUE(q1.PostBuffer(ev, std::move(buffer), cut));
        } else {
            ASSERT_TRUE(q1.Post(ev, part));
        }
        at += cut;
        if (gen() % 3 == 0) {
            mgr.ProcessQueues();
            for (MessageRecord& r : Records()) {
                got.push_back(std::move(r));
            }
        }
    }
    mgr.ProcessQueues();
    for (MessageRecord& r : Records()) {
        got.push_back(std::move(r));
    }
    ASSERT_EQ(got.size(), messages.size());
    for (size_t i = 0; i < messages.size(); ++i) {
        ASSERT_EQ(got[i].bytes, messages[i]) << "message " << i;
        EXPECT_EQ(got[i].key, key);
    }
}

// The peer thread's passes drain each event's records before the next event: blocks framed
// straight from a handed-over receive buffer come as views into it, handled before the buffer is
// reused; every message still comes back whole and in order, however the stream is cut.
TEST_F(DispatchMgrTest, DrainedPassesHandBlocksOverInPlaceWholeAndInOrder) {
    Accept();
    std::vector<Bytes> messages{Handshake(true)};
    std::mt19937 gen(91);
    for (uint32_t i = 0; i < 150; ++i) {
        messages.push_back(gen() % 4 == 0 ? BuildHave(i)
                                          : PieceMessage(i, 16384, 16384, static_cast<uint8_t>(i)));
    }
    Bytes stream;
    for (const Bytes& m : messages) {
        stream.insert(stream.end(), m.begin(), m.end());
    }
    std::vector<Bytes> got;
    size_t views = 0;
    MessageRecord r;
    auto drain = [&] {
        while (mgr.TakeRecord(r)) {
            views += r.view.data() != nullptr ? 1 : 0;
            got.emplace_back(r.Bytes().begin(), r.Bytes().end());
        }
    };
    for (size_t at = 0; at < stream.size();) {
        size_t cut = std::min<size_t>(stream.size() - at, 1 + gen() % 66560);
        SocketEvent ev{key.addr, key.port, key.sock, SockEventKind::kData, 0};
        std::unique_ptr<uint8_t[]> buffer = q1.NewBuffer();
        ASSERT_TRUE(buffer);
        std::memcpy(buffer.get(), stream.data() + at, cut);
        ASSERT_TRUE(q1.PostBuffer(ev, std::move(buffer), cut));
        at += cut;
        if (gen() % 3 == 0) {
            mgr.ProcessQueues(drain);
            EXPECT_EQ(mgr.Pool().Size(), 0u);
        }
    }
    mgr.ProcessQueues(drain);
    ASSERT_EQ(got.size(), messages.size());
    for (size_t i = 0; i < messages.size(); ++i) {
        ASSERT_EQ(got[i], messages[i]) << "message " << i;
    }
    // Blocks inside one receive are not copied; those cut between receives, and small
    // messages, are.
    EXPECT_GT(views, 50u);
    EXPECT_LT(views, messages.size() - 10);
}

// Drained as it is framed, a flood still ends each pass at the bound: the pass's follow-up
// work (requests of the blocks handled, waiting requests) is not held off by a fast sender.
TEST_F(DispatchMgrTest, ADrainedPassStopsAtTheBoundOfRecords) {
    Accept();
    Data(Handshake(true));
    ASSERT_EQ(Records().size(), 1u);
    ASSERT_NO_FATAL_FAILURE(PostHaveFlood(100));
    uint32_t expected = 0;
    size_t inPass = 0;
    MessageRecord r;
    auto drain = [&] {
        while (mgr.TakeRecord(r)) {
            ASSERT_EQ(GetU32(r.Bytes().data() + 5), expected++);
            ++inPass;
        }
    };
    int passes = 0;
    while (q1.Size() > 0 && passes < 1000) {
        inPass = 0;
        mgr.ProcessQueues(drain);
        ++passes;
        EXPECT_LE(inPass, kMaxPendingRecords / 2 + 1000) << "one receive past the bound at most";
    }
    EXPECT_EQ(expected, 100000u);
    EXPECT_GE(passes, 100 * 1000 / static_cast<int>(kMaxPendingRecords / 2 + 1000));
}

// A broken length field after whole messages of the same read: those messages count, the
// connection is dropped at the broken one, and nothing after it is framed.
TEST_F(DispatchMgrTest, ALengthAboveTheLargestAfterWholeMessagesDropsTheConnectionThere) {
    Accept();
    Data(Handshake(true));
    ASSERT_EQ(Records().size(), 1u);
    Bytes bad = {0x00, 0x10, 0x00, 0x00, kMsgPiece};  // 1 MiB: above every legal message
    Bytes stream = Cat({PieceMessage(1, 0, 16384, 1), BuildHave(2), bad, BuildHave(3)});
    Bytes head = Cat({PieceMessage(0, 0, 16384, 9)});
    Data(std::span(head).first(100));  // a message straddling two reads first
    Data(Cat({Bytes(head.begin() + 100, head.end()), stream}));
    std::vector<MessageRecord> r = Records();
    ASSERT_EQ(r.size(), 4u);
    EXPECT_EQ(r[0].bytes, head);
    EXPECT_EQ(r[1].bytes, PieceMessage(1, 0, 16384, 1));
    EXPECT_EQ(r[2].bytes, BuildHave(2));
    EXPECT_EQ(r[3].Id(), kMsgClosed);
    Data(BuildHave(4));
    EXPECT_TRUE(Records().empty());
}

// Requests handed over together: over plain TCP one send whose bytes are the messages side by
// side; in the scrambled form each still travels in a frame of its own.
TEST(DispatchMgrSendAll, PlainTcpTakesTheRunInOneSendAndOtherFormsFrameEachMessage) {
    CFragmentPool q1;
    CFragmentPool q2;
    CSocketSender sender;
    CConnectMgr rudp{q2, sender};
    CThreadMgr sockets{q1, &rudp};
    CDispatchMgr mgr{sockets, rudp, q1, q2, [] { return 5u; }};
    int server = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(server, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(server, 5), 0);
    socklen_t alen = sizeof a;
    ::getsockname(server, reinterpret_cast<sockaddr*>(&a), &alen);
    // Everything the accepted side receives within a few seconds, until `want` bytes.
    auto receive = [](int fd, size_t want) {
        Bytes got;
        uint8_t buf[4096];
        pollfd p{fd, POLLIN, 0};
        while (got.size() < want && ::poll(&p, 1, 5000) > 0) {
            ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0) {
                break;
            }
            got.insert(got.end(), buf, buf + n);
        }
        return got;
    };
    Bytes run;
    for (auto request :
         {BuildRequest(1, 0, 16384), BuildRequest(1, 16384, 16384), BuildRequest(2, 0, 16384)}) {
        run.insert(run.end(), request.begin(), request.end());
    }
    auto connect = [&](uint8_t type) {
        core::ConnectionKey key{a.sin_addr.s_addr, a.sin_port, mgr.CreateTcp(a.sin_addr.s_addr, a.sin_port)};
        EXPECT_GE(key.sock, 0);
        EXPECT_TRUE(mgr.RegisterTcp(type, key));
        return std::make_pair(key, ::accept(server, nullptr, nullptr));
    };

    auto [plain, plainPeer] = connect(kDispatchPlain);
    EXPECT_EQ(mgr.SendAll(plain, run, kRequestBytes), 3u);
    EXPECT_EQ(receive(plainPeer, run.size()), run);

    auto [scrambled, scrambledPeer] = connect(kDispatchScrambled);
    EXPECT_EQ(mgr.SendAll(scrambled, run, kRequestBytes), 3u);
    FakeHost receiver;
    CMirtDispatch in(receiver, [] { return 0u; });
    CConnEntry r = Entry(false);
    r.handshakeSeen = true;
    pollfd p{scrambledPeer, POLLIN, 0};
    uint8_t buf[4096];
    while (receiver.messages.size() < 3 && ::poll(&p, 1, 5000) > 0) {
        ssize_t n = ::recv(scrambledPeer, buf, sizeof buf, 0);
        if (n <= 0) {
            break;
        }
        r.Append(std::span<const uint8_t>(buf, static_cast<size_t>(n)));
        in.Frame(r);
    }
    ASSERT_EQ(receiver.messages.size(), 3u);
    EXPECT_EQ(receiver.errors, 0);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(receiver.messages[i],
                  Bytes(run.begin() + i * kRequestBytes, run.begin() + (i + 1) * kRequestBytes));
    }
    // A connection without an entry takes nothing.
    core::ConnectionKey gone = plain;
    mgr.Close(plain);
    EXPECT_EQ(mgr.SendAll(gone, run, kRequestBytes), 0u);
    ::close(plainPeer);
    ::close(scrambledPeer);
    ::close(server);
    mgr.Stop();
}

TEST(MessageLengths, EachIdHasItsLengthAndItsOwnComplaint) {
    LengthRules rules;
    rules.seedLoaded = true;
    rules.bitfieldBytes = 3;
    auto check = [&](const Bytes& m) { return CheckMessageLength(m, rules); };
    EXPECT_EQ(check(BuildMessage(kMsgChoke)), nullptr);
    EXPECT_STREQ(check(BuildMessage(kMsgChoke, Bytes{0})), "choke packet check len error!!!\n");
    EXPECT_STREQ(check(BuildMessage(kMsgInterested, Bytes{0})), "interest packet check len error,%d!!!\n");
    EXPECT_EQ(check(BuildHave(4)), nullptr);
    EXPECT_STREQ(check(BuildMessage(kMsgHave, Bytes{0, 0, 1})), "have packet check len error!!!\n");
    EXPECT_EQ(check(BuildMessage(kMsgBitfield, Bytes{0, 0, 0})), nullptr);
    EXPECT_STREQ(check(BuildMessage(kMsgBitfield, Bytes{0, 0})),
                 "bitfield1 packet check len error,%d,%d!!!\n");
    rules.seedLoaded = false;
    EXPECT_EQ(check(BuildMessage(kMsgBitfield, Bytes{0, 0})), nullptr)
        << "any length 6 to 4096 before the seed";
    EXPECT_STREQ(check(BuildMessage(kMsgBitfield, Bytes(4092, 0))),
                 "bitfiled2 packet check len error,%d!!!\n");
    auto req = BuildRequest(1, 2, 3);
    EXPECT_EQ(check(Bytes(req.begin(), req.end())), nullptr);
    EXPECT_EQ(check(PieceMessage(0, 0, 16384, 0)), nullptr);
    EXPECT_STREQ(check(PieceMessage(0, 0, 16385, 0)), "piece packet check len error!!!\n");
    rules.largeBlocks = true;
    EXPECT_EQ(check(PieceMessage(0, 0, 65536, 0)), nullptr);
    EXPECT_STREQ(check(BuildMessage(kMsgPiece, Bytes(8, 0))), "piece packet check len error!!!\n");
    EXPECT_EQ(check(BuildMessage(kMsgMetaRequest, Bytes(20, 0))), nullptr);
    EXPECT_STREQ(check(BuildMessage(kMsgMetaRequest, Bytes(19, 0))),
                 "metafilereq packet check len error!!!\n");
    EXPECT_EQ(check(BuildMessage(kMsgRequestRefused, Bytes(17, 0))), nullptr);
    EXPECT_STREQ(check(BuildMessage(kMsgRequestRefused, Bytes(16, 0))),
                 "reqtimeout packet check len error!!!\n");
    auto on = BuildSynthetic(kMsgConnected);
    EXPECT_EQ(check(Bytes(on.begin(), on.end())), nullptr);
    // A record whose length field disagrees with its size is wrong even at a legal size.
    Bytes lying = PieceMessage(0, 0, 100, 0);
    PutU32(lying.data(), 50);
    EXPECT_STREQ(check(lying), "piece packet check len error!!!\n");
}

TEST(ExtensionMessages, TheNotificationIs41BytesWithOurIdAndPort) {
    std::array<uint8_t, 20> id;
    std::memcpy(id.data(), "MIRT0066AAAABBBBCCCC", 20);
    Bytes m = BuildNotifyPeers(id, 0x1F90);
    ASSERT_EQ(m.size(), 41u);
    EXPECT_EQ(GetU32(m.data()), 37u);
    EXPECT_EQ(m[4], kMsgNotifyPeers);
    EXPECT_EQ(m[12], 0x1C);
    EXPECT_EQ(0, std::memcmp(m.data() + 13, id.data(), 20));
    EXPECT_EQ(m[33], 0x51);
    EXPECT_EQ(m[38], 0x1F);
    EXPECT_EQ(m[39], 0x90);
    Bytes declare = BuildCmdDeclare();
    ASSERT_EQ(declare.size(), 17u);
    EXPECT_EQ(declare[5], 0xA0);
    EXPECT_EQ(declare[16], 0xC0);
}

}  // namespace
}  // namespace tessali::net
