#include "engine/sources/tracker_messages.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <random>

namespace tessali::sources {
namespace {

using Bytes = std::vector<uint8_t>;

core::PeerId IdA() {
    return core::GeneratePeerId(core::kEngineVersion, 0x0123456789ABull);
}
core::PeerId IdB() {
    return core::GeneratePeerId(57, 0xA1B2C3D4E5F6ull);
}
core::TaskHash Hash(uint8_t seed) {
    core::TaskHash h;
    for (size_t i = 0; i < h.bytes.size(); ++i) {
        h.bytes[i] = static_cast<uint8_t>(seed + i * 7);
    }
    return h;
}
uint32_t Addr(const char* text) {
    return inet_addr(text);
}

SourceListReply ThreeSources() {
    SourceListReply m{0x01020304, Hash(9), kSourcesOk, {}};
    for (int i = 0; i < 3; ++i) {
        SourceEntry e;
        e.peerIdTail = core::GeneratePeerId(core::kEngineVersion, 1000 + i).Tail();
        e.addr = Addr("10.0.0.1") + htonl(i);
        e.port = htons(static_cast<uint16_t>(5000 + i));
        e.natType = static_cast<uint8_t>(i);
        e.versionType = static_cast<uint8_t>(1 + i);
        m.entries.push_back(e);
    }
    return m;
}

// One sample of every message, encoded, with a decoder for its own type.
struct Sample {
    const char* name;
    Bytes bytes;
    std::function<bool(std::span<const uint8_t>)> decodesAsItself;
};

template <typename T>
Sample Make(const char* name, const T& m) {
    return Sample{name, Encode(m), [m](std::span<const uint8_t> b) {
                      T out;
                      return Decode(b, out) && out == m;
                  }};
}

std::vector<Sample> AllSamples() {
    return {
        Make("login", LoginRequest{7, IdA(), Addr("192.168.1.20"), htons(6881), 3}),
        Make("login reply", LoginReply{7, Addr("203.0.113.5"), htons(40000), kLoginAccepted}),
        Make("logout", LogoutRequest{11, IdA()}),
        Make("keep-alive", KeepAliveRequest{12, IdA()}),
        Make("keep-alive reply", KeepAliveReply{12, kKeepAliveNotLoggedIn}),
        Make("share", ShareRequest{13, IdA(), Hash(1)}),
        Make("share reply", ShareReply{13, Hash(1), kShareAlreadyShared}),
        Make("stop share", StopShareRequest{14, IdA(), Hash(2)}),
        Make("stop share reply", StopShareReply{14, Hash(2)}),
        Make("sources", SourceListRequest{15, IdA(), Hash(3)}),
        Make("sources reply", ThreeSources()),
        Make("sources reply empty", SourceListReply{16, Hash(4), kSourcesNotLoggedIn, {}}),
        Make("relay", RelayRequest{17, IdA(), IdB(), Hash(5)}),
        Make("relay reply", RelayReply{17, kRelayRemoteUnknown}),
        Make("relay notice",
             RelayNotice{kNoticeSequence, Hash(6), IdB(), Addr("198.51.100.7"), htons(7000), 2}),
    };
}

TEST(TrackerMessages, EveryMessageRoundTripsAndNamesItsLength) {
    for (const Sample& s : AllSamples()) {
        SCOPED_TRACE(s.name);
        EXPECT_TRUE(s.decodesAsItself(s.bytes));
        std::optional<TrackerHeader> h = PeekHeader(s.bytes);
        ASSERT_TRUE(h);
        EXPECT_EQ(h->length, s.bytes.size());
        EXPECT_EQ(ClassifyDatagram(s.bytes), DatagramKind::kTracker);
    }
}

TEST(TrackerMessages, TruncatedOrPaddedBytesAreRejected) {
    for (const Sample& s : AllSamples()) {
        SCOPED_TRACE(s.name);
        for (size_t n = 0; n < s.bytes.size(); ++n) {
            // Cut short, length field as sent: never decodes.
            Bytes cut(s.bytes.begin(), s.bytes.begin() + n);
            EXPECT_FALSE(s.decodesAsItself(cut)) << n;
        }
        // One byte more than the length field says.
        Bytes longer = s.bytes;
        longer.push_back(0);
        EXPECT_FALSE(s.decodesAsItself(longer));
    }
}

TEST(TrackerMessages, RequestsNeedTheirExactLength) {
    // Length field rewritten to agree with a shorter or longer buffer: still not a request.
    for (Bytes b :
         {Encode(LoginRequest{1, IdA(), 0, 0, 0}), Encode(LogoutRequest{1, IdA()}),
          Encode(ShareRequest{1, IdA(), Hash(1)}), Encode(RelayRequest{1, IdA(), IdB(), Hash(1)})}) {
        for (int delta : {-1, +1, +4}) {
            Bytes c = b;
            c.resize(b.size() + delta, 0);
            c[0] = static_cast<uint8_t>(c.size() >> 8);
            c[1] = static_cast<uint8_t>(c.size());
            LoginRequest l;
            LogoutRequest lo;
            ShareRequest s;
            RelayRequest r;
            EXPECT_FALSE(Decode(c, l) || Decode(c, lo) || Decode(c, s) || Decode(c, r)) << b.size() << delta;
        }
    }
}

TEST(TrackerMessages, RepliesMayCarryMoreThanTheyUse) {
    Bytes b = Encode(ShareReply{3, Hash(1), kShareAdded});
    b.resize(40, 0xEE);
    b[1] = 40;
    ShareReply out;
    ASSERT_TRUE(Decode(b, out));
    EXPECT_EQ(out.hash, Hash(1));
    EXPECT_EQ(out.result, kShareAdded);
    // ... but a reply whose fields are cut is refused: 28 bytes end before the share result.
    Bytes cut(b.begin(), b.begin() + 28);
    cut[1] = 28;
    EXPECT_FALSE(Decode(cut, out));
}

TEST(TrackerMessages, CommandsAreNotConfused) {
    Bytes login = Encode(LoginRequest{1, IdA(), 0, 0, 0});
    LoginReply reply;
    EXPECT_FALSE(Decode(login, reply));  // a request is no reply, even with room for its fields
    Bytes keep = Encode(KeepAliveRequest{1, IdA()});
    LogoutRequest logout;
    KeepAliveReply keepReply;
    EXPECT_FALSE(Decode(keep, logout));
    EXPECT_FALSE(Decode(keep, keepReply));
    Bytes share = Encode(ShareRequest{1, IdA(), Hash(1)});
    StopShareRequest stop;
    SourceListRequest sources;
    SourceListReply sourcesReply;
    EXPECT_FALSE(Decode(share, stop));
    EXPECT_FALSE(Decode(share, sources));
    EXPECT_FALSE(Decode(Encode(SourceListRequest{1, IdA(), Hash(1)}), sourcesReply));
    RelayReply relayReply;
    EXPECT_FALSE(Decode(Encode(RelayRequest{1, IdA(), IdB(), Hash(1)}), relayReply));
}

TEST(TrackerMessages, LoginRequestLayout) {
    Bytes b = Encode(LoginRequest{0x0A0B0C0D, IdA(), Addr("192.168.1.20"), htons(6881), 3});
    ASSERT_EQ(b.size(), 36u);
    EXPECT_EQ(b[0], 0x00);
    EXPECT_EQ(b[1], 36);
    EXPECT_EQ(b[2], 0x03);  // 769
    EXPECT_EQ(b[3], 0x01);
    EXPECT_EQ(b[4], 0x0A);
    EXPECT_EQ(b[7], 0x0D);
    EXPECT_EQ(std::string(b.begin() + 8, b.begin() + 28), IdA().Text());
    EXPECT_EQ(b[28], 192);
    EXPECT_EQ(b[31], 20);
    EXPECT_EQ(b[32], 6881 >> 8);
    EXPECT_EQ(b[33], 6881 & 0xFF);
    EXPECT_EQ(b[34], 3);
    EXPECT_EQ(b[35], 0);
}

TEST(TrackerMessages, SourceReplyWithThreeEntriesIsNinetyTwoBytes) {
    Bytes b = Encode(ThreeSources());
    ASSERT_EQ(b.size(), 92u);
    EXPECT_EQ(b[1], 92);
    EXPECT_EQ(b[28], kSourcesOk);
    // Second entry at 52: tail, address, port (network order), NAT type, version type.
    const uint8_t* e = b.data() + 32 + 20;
    EXPECT_EQ(std::string(e, e + 12),
              std::string(core::GeneratePeerId(core::kEngineVersion, 1001).Text().substr(8)));
    EXPECT_EQ(e[12], 10);
    EXPECT_EQ(e[15], 2);
    EXPECT_EQ((e[16] << 8) | e[17], 5001);
    EXPECT_EQ(e[18], 1);
    EXPECT_EQ(e[19], 2);
    // A body that is not whole entries is refused.
    for (size_t len : {33u, 51u, 53u, 91u}) {
        Bytes c(b.begin(), b.begin() + std::min(len, b.size()));
        c.resize(len, 0);
        c[1] = static_cast<uint8_t>(len);
        SourceListReply out;
        EXPECT_FALSE(Decode(c, out)) << len;
    }
}

TEST(TrackerMessages, SourceReplyFitsTheEnginesDatagram) {
    SourceListReply m{1, Hash(1), kSourcesOk, {}};
    m.entries.resize(200);
    Bytes b = Encode(m);
    EXPECT_EQ(b.size(), 32 + 20 * kMaxSourceEntries);
    EXPECT_LE(b.size(), 1500u);
    SourceListReply out;
    ASSERT_TRUE(Decode(b, out));
    EXPECT_EQ(out.entries.size(), kMaxSourceEntries);
}

TEST(TrackerMessages, RelayRequestAndNoticeLayout) {
    Bytes r = Encode(RelayRequest{0, IdA(), IdB(), Hash(5)});
    ASSERT_EQ(r.size(), 68u);
    EXPECT_EQ((r[2] << 8) | r[3], 785);
    EXPECT_EQ(std::string(r.begin() + 8, r.begin() + 28), IdA().Text());
    EXPECT_EQ(std::string(r.begin() + 28, r.begin() + 48), IdB().Text());
    EXPECT_TRUE(std::equal(r.begin() + 48, r.end(), Hash(5).bytes.begin()));

    Bytes n = Encode(RelayNotice{kNoticeSequence, Hash(6), IdB(), Addr("198.51.100.7"), htons(7000), 2});
    EXPECT_EQ((n[2] << 8) | n[3], 786);
    EXPECT_TRUE(std::equal(n.begin() + 8, n.begin() + 28, Hash(6).bytes.begin()));
    EXPECT_EQ(std::string(n.begin() + 28, n.begin() + 48), IdB().Text());
    EXPECT_EQ(n[48], 198);
    EXPECT_EQ(n[51], 7);
    EXPECT_EQ((n[52] << 8) | n[53], 7000);
    EXPECT_EQ(n[54], 2);
}

TEST(TrackerMessages, QueueEditsSequenceAndPeerIdInPlace) {
    Bytes b = Encode(SourceListRequest{0, core::PeerId{}, Hash(3)});
    SetSequence(b, 0xDEADBEEF);
    SetRequestPeerId(b, IdA());
    SourceListRequest out;
    ASSERT_TRUE(Decode(b, out));
    EXPECT_EQ(out.sequence, 0xDEADBEEFu);
    EXPECT_EQ(out.peerId, IdA());
    EXPECT_EQ(out.hash, Hash(3));
    Bytes tiny(4, 0);
    SetSequence(tiny, 1);  // too short to hold a header: left alone
    SetRequestPeerId(tiny, IdA());
    EXPECT_EQ(tiny, Bytes(4, 0));
}

TEST(DatagramClassification, SixteenAndThirtyTwoBitLengthFields) {
    Bytes tracker(36, 0);
    tracker[1] = 0x24;
    EXPECT_EQ(ClassifyDatagram(tracker), DatagramKind::kTracker);
    Bytes rudp(36, 0);
    rudp[3] = 0x24;
    EXPECT_EQ(ClassifyDatagram(rudp), DatagramKind::kReliableUdp);
    Bytes neither(36, 0);
    neither[1] = 0x23;
    EXPECT_EQ(ClassifyDatagram(neither), DatagramKind::kOther);
    EXPECT_EQ(ClassifyDatagram(Bytes{'0'}), DatagramKind::kOther);  // the one-byte NAT opener
    EXPECT_EQ(ClassifyDatagram(Bytes{}), DatagramKind::kOther);
    // Too short for a tracker header even though the field matches.
    EXPECT_EQ(ClassifyDatagram(Bytes{0x00, 0x04, 0x03, 0x01}), DatagramKind::kOther);
    Bytes big(1601, 0);
    big[0] = 1601 >> 8;
    big[1] = 1601 & 0xFF;
    EXPECT_EQ(ClassifyDatagram(big), DatagramKind::kOther);
    big.pop_back();
    big[1] = 1600 & 0xFF;
    EXPECT_EQ(ClassifyDatagram(big), DatagramKind::kTracker);
}

TEST(TrackerMessages, RandomBytesNeverDecodeOutOfBounds) {
    // Meaningful under the sanitizer builds: decoders only ever read inside their span.
    std::mt19937 rng(1234);
    for (int i = 0; i < 20000; ++i) {
        Bytes b(rng() % 120);
        for (uint8_t& x : b) {
            x = static_cast<uint8_t>(rng());
        }
        if (b.size() >= 4) {
            b[0] = static_cast<uint8_t>(b.size() >> 8);
            b[1] = static_cast<uint8_t>(b.size());
            b[2] = 0x03;
            b[3] = static_cast<uint8_t>(0x01 + rng() % 18);
        }
        LoginRequest a;
        LoginReply c;
        KeepAliveReply d;
        ShareReply e;
        StopShareReply f;
        SourceListReply g;
        RelayReply h;
        RelayNotice k;
        (void)(Decode(b, a) + Decode(b, c) + Decode(b, d) + Decode(b, e) + Decode(b, f) + Decode(b, g) +
               Decode(b, h) + Decode(b, k));
        DescribeTrackerMessage(b, TrackerDirection::kToServer);
        DescribeTrackerMessage(b, TrackerDirection::kFromServer);
    }
}

TEST(TrackerMessages, DescribeNamesTheMessageOrSaysBad) {
    std::string login = DescribeTrackerMessage(Encode(LoginRequest{5, IdA(), Addr("10.1.2.3"), htons(80), 1}),
                                               TrackerDirection::kToServer);
    EXPECT_NE(login.find("login seq=5"), std::string::npos) << login;
    EXPECT_NE(login.find("10.1.2.3"), std::string::npos) << login;
    std::string reply = DescribeTrackerMessage(Encode(ThreeSources()), TrackerDirection::kFromServer);
    EXPECT_NE(reply.find("n=3"), std::string::npos) << reply;
    Bytes broken = Encode(LogoutRequest{1, IdA()});
    broken.pop_back();
    EXPECT_EQ(DescribeTrackerMessage(broken, TrackerDirection::kToServer).rfind("bad 770", 0), 0u);
}

std::vector<Bytes> FeedAll(CTrackerStreamReader& r, const Bytes& stream, size_t chunk, bool* ok = nullptr) {
    std::vector<Bytes> got;
    bool good = true;
    for (size_t at = 0; at < stream.size() && good; at += chunk) {
        size_t n = std::min(chunk, stream.size() - at);
        good = r.Feed(std::span<const uint8_t>(stream.data() + at, n),
                      [&](std::span<const uint8_t> m) { got.emplace_back(m.begin(), m.end()); });
        EXPECT_LT(r.Buffered(), kMaxTrackerMessageBytes);
    }
    if (ok) {
        *ok = good;
    }
    return got;
}

TEST(TrackerStreamReader, CutsMessagesAtAnyChunking) {
    std::vector<Bytes> messages;
    for (const Sample& s : AllSamples()) {
        messages.push_back(s.bytes);
    }
    SourceListReply big{1, Hash(1), kSourcesOk, {}};
    big.entries.resize(kMaxSourceEntries);
    messages.push_back(Encode(big));
    Bytes stream;
    for (const Bytes& m : messages) {
        stream.insert(stream.end(), m.begin(), m.end());
    }
    for (size_t chunk : {1u, 2u, 3u, 7u, 36u, 100u, 4096u}) {
        CTrackerStreamReader r;
        bool ok = false;
        EXPECT_EQ(FeedAll(r, stream, chunk, &ok), messages) << chunk;
        EXPECT_TRUE(ok);
        EXPECT_EQ(r.Buffered(), 0u);
    }
}

TEST(TrackerStreamReader, ImpossibleLengthBreaksTheStream) {
    for (Bytes bad : {Bytes{0x00, 0x00, 0x03, 0x01}, Bytes{0x00, 0x07}, Bytes{0x06, 0x41}}) {
        Bytes stream = Encode(KeepAliveReply{1, 0});
        stream.insert(stream.end(), bad.begin(), bad.end());
        stream.resize(stream.size() + 64, 0xAB);
        CTrackerStreamReader r;
        bool ok = true;
        std::vector<Bytes> got = FeedAll(r, stream, 5, &ok);
        EXPECT_FALSE(ok);
        EXPECT_TRUE(r.Broken());
        ASSERT_EQ(got.size(), 1u);  // the good message before the bad length still arrives
        EXPECT_FALSE(r.Feed(Encode(KeepAliveReply{2, 0}), [](std::span<const uint8_t>) { FAIL(); }));
    }
}

}  // namespace
}  // namespace tessali::sources
