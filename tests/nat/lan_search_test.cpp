// LAN search texts as they go on the wire, and the reading of received datagrams.

#include <gtest/gtest.h>

#include <random>

#include "engine/nat/lan_search.h"
#include "engine/nat/local_network.h"

namespace tessali::nat {
namespace {

using core::TaskHash;

const TaskHash kHash = TaskHash::FromText("00112233445566778899AABBCCDDEEFF01234567");

LanDatagram Parse(const std::string& text) {
    return ParseLanDatagram({reinterpret_cast<const uint8_t*>(text.data()), text.size()});
}

uint32_t Addr(const char* dotted) {
    uint32_t a = 0;
    ParseDotted(dotted, a);
    return a;
}

TEST(LanTexts, SearchAndAnswerAreFormattedExactly) {
    EXPECT_EQ(BuildLanSearch(kHash),
              "DAZIZOVORA-LAN-SEARCH * HTTP/1.1\r\nHASH:00112233445566778899AABBCCDDEEFF01234567\r\n\r\n");
    EXPECT_EQ(
        BuildLanAnswer(kHash, "MIRT0100ABCDEF012345", Addr("192.168.1.20"), 6881),
        "HTTP/1.1 200 OK\r\nHASH:00112233445566778899AABBCCDDEEFF01234567\r\nID:MIRT0100ABCDEF012345\r\n"
        "IP:192.168.1.20\r\nPORT:6881\r\n\r\n");
    // A peer id longer than 20 characters is cut, as the format's precision says.
    EXPECT_NE(BuildLanAnswer(kHash, "MIRT0100ABCDEF012345EXTRA", Addr("10.0.0.1"), 1)
                  .find("ID:MIRT0100ABCDEF012345\r\n"),
              std::string::npos);
}

TEST(LanTexts, SearchesAreReadWhateverTheCaseOfTheDigits) {
    LanDatagram d = Parse(BuildLanSearch(kHash));
    EXPECT_EQ(d.kind, LanDatagram::kSearch);
    EXPECT_EQ(d.hash, kHash);
    d = Parse("DAZIZOVORA-LAN-SEARCH * HTTP/1.1\r\nHASH:00112233445566778899aabbccddeeff01234567\r\n\r\n");
    EXPECT_EQ(d.kind, LanDatagram::kSearch);
    EXPECT_EQ(d.hash, kHash);
    // Reading stops at the first non-digit; the rest stays zero.
    d = Parse("DAZIZOVORA-LAN-SEARCH * HTTP/1.1\r\nHASH:0011Z2\r\n\r\n");
    EXPECT_EQ(d.hash, TaskHash::FromText("0011"));
    EXPECT_EQ(d.hash.bytes[2], 0);
    // A search without the HASH line, or another request line: not a search.
    EXPECT_EQ(Parse("DAZIZOVORA-LAN-SEARCH * HTTP/1.1\r\n\r\n").kind, LanDatagram::kOther);
    EXPECT_EQ(Parse("M-SEARCH * HTTP/1.1\r\nHASH:00\r\n\r\n").kind, LanDatagram::kOther);
}

TEST(LanTexts, AnswersGiveIdAddressAndPort) {
    LanDatagram d = Parse(BuildLanAnswer(kHash, "MIRT0100ABCDEF012345", Addr("192.168.1.20"), 6881));
    ASSERT_EQ(d.kind, LanDatagram::kAnswer);
    EXPECT_EQ(d.hash, kHash);
    EXPECT_EQ(std::string(d.peerId.begin(), d.peerId.end()), "MIRT0100ABCDEF012345");
    EXPECT_EQ(d.address, Addr("192.168.1.20"));
    EXPECT_EQ(d.port, 6881);

    // Without PORT the peer comes with port 0.
    d = Parse("HTTP/1.1 200 OK\r\nHASH:" + kHash.ToText() +
              "\r\nID:MIRT0100ABCDEF012345\r\nIP:10.1.1.1\r\n\r\n");
    ASSERT_EQ(d.kind, LanDatagram::kAnswer);
    EXPECT_EQ(d.port, 0);
    // A short id stops at its line end and the rest of the 20 bytes stays zero.
    d = Parse("HTTP/1.1 200 OK\r\nHASH:" + kHash.ToText() + "\r\nID:MIRT\r\nIP:10.1.1.1\r\nPORT:5\r\n\r\n");
    ASSERT_EQ(d.kind, LanDatagram::kAnswer);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(d.peerId.data())), "MIRT");
}

TEST(LanTexts, MalformedAnswersAreNotHandedOn) {
    const std::string head = "HTTP/1.1 200 OK\r\nHASH:" + kHash.ToText() + "\r\nID:MIRT0100ABCDEF012345\r\n";
    EXPECT_EQ(Parse(head + "PORT:6881\r\n\r\n").kind, LanDatagram::kOther);               // no address
    EXPECT_EQ(Parse(head + "IP:10.1.1\r\nPORT:6881\r\n\r\n").kind, LanDatagram::kOther);  // not an address
    EXPECT_EQ(Parse(head + "IP:10.1.1.1.1.1.1.1\r\n\r\n").kind, LanDatagram::kOther);  // over 15 characters
    EXPECT_EQ(Parse(head + "IP:10.1.1.1\r\nPORT:70000\r\n\r\n").kind,
              LanDatagram::kOther);  // port out of range
    EXPECT_EQ(Parse(head + "IP:10.1.1.1\r\nPORT:x\r\n\r\n").kind, LanDatagram::kOther);
    EXPECT_EQ(Parse("HTTP/1.1 404 Not Found\r\nHASH:00\r\nIP:10.1.1.1\r\n\r\n").kind, LanDatagram::kOther);
    // Everything cut at the datagram's end: each prefix reads without going past it.
    std::string full = BuildLanAnswer(kHash, "MIRT0100ABCDEF012345", Addr("192.168.1.20"), 6881);
    for (size_t n = 0; n <= full.size(); ++n) {
        std::string cut = full.substr(0, n);
        std::vector<uint8_t> exact(cut.begin(), cut.end());  // no terminator after the bytes
        LanDatagram d = ParseLanDatagram(exact);
        if (d.kind == LanDatagram::kAnswer) {
            // A cut address may still read as a shorter one ("192.168.1.2"), never as another.
            EXPECT_EQ(std::string("192.168.1.20").rfind(DottedText(d.address), 0), 0u) << n;
        }
    }
}

TEST(LanTexts, NoiseAroundTheKeysReadsWithinTheDatagram) {
    // Keys at the very end of a datagram, and random mixtures of the keys and junk: each read
    // stays inside the bytes it was given (checked by the sanitizer build) and never invents a
    // port above 65535.
    for (const char* tail : {"HASH:", "ID:", "IP:", "PORT:", "IP:1.2.3.4\r\nPORT:"}) {
        std::string text = "HTTP/1.1 200 OK\r\nHASH:00\r\n" + std::string(tail);
        std::vector<uint8_t> exact(text.begin(), text.end());
        ParseLanDatagram(exact);
    }
    const std::vector<std::string> pieces{"HTTP/1.1 200 OK",
                                          "DAZIZOVORA-LAN-SEARCH * HTTP/1.1",
                                          "HASH:",
                                          "ID:",
                                          "IP:",
                                          "PORT:",
                                          "\r\n",
                                          "10.0.0.1",
                                          "65535",
                                          "99999",
                                          "ab",
                                          "\0"};
    std::mt19937 gen(11);
    for (int i = 0; i < 3000; ++i) {
        std::string text;
        for (int k = gen() % 12; k >= 0; --k) {
            text += pieces[gen() % pieces.size()];
        }
        std::vector<uint8_t> exact(text.begin(), text.end());
        LanDatagram d = ParseLanDatagram(exact);
        if (d.kind == LanDatagram::kAnswer) {
            EXPECT_NE(d.address, 0u) << text;
        }
    }
}

TEST(LanSearch, StartOnlyOnceAndNothingBeforeIt) {
    CLanSearch::Hooks hooks;
    hooks.hasTask = [](const TaskHash&) { return true; };
    CLanSearch search(hooks);
    EXPECT_FALSE(search.Started());
    search.Search(kHash);  // before start: nothing happens, nothing breaks
    search.Step();
    // An address this host does not have cannot carry the group membership; the failed start
    // still counts as the one start.
    EXPECT_FALSE(search.Start(Addr("203.0.113.77")));
    EXPECT_FALSE(search.Started());
    EXPECT_FALSE(search.Start(Addr("127.0.0.1")));
}

}  // namespace
}  // namespace tessali::nat
