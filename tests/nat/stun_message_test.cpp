// STUN message layout and the answer parser with its diagnostics.

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <random>
#include <sstream>

#include "engine/nat/stun_message.h"

namespace tessali::nat {
namespace {

StunTransactionId Id(uint8_t first) {
    StunTransactionId id;
    for (size_t i = 0; i < id.size(); ++i) {
        id[i] = static_cast<uint8_t>(0x40 + i);
    }
    id[0] = first;
    return id;
}

std::vector<uint8_t> Message(uint16_t type, const std::vector<uint8_t>& body) {
    std::vector<uint8_t> m{static_cast<uint8_t>(type >> 8), static_cast<uint8_t>(type),
                           static_cast<uint8_t>(body.size() >> 8), static_cast<uint8_t>(body.size())};
    StunTransactionId id = Id(1);
    m.insert(m.end(), id.begin(), id.end());
    m.insert(m.end(), body.begin(), body.end());
    return m;
}

std::vector<uint8_t> Attr(uint16_t type, const std::vector<uint8_t>& value) {
    std::vector<uint8_t> a{static_cast<uint8_t>(type >> 8), static_cast<uint8_t>(type),
                           static_cast<uint8_t>(value.size() >> 8), static_cast<uint8_t>(value.size())};
    a.insert(a.end(), value.begin(), value.end());
    return a;
}

std::string ParseDiag(const std::vector<uint8_t>& bytes, bool expectOk = false) {
    std::ostringstream diag;
    StunMessage m;
    EXPECT_EQ(ParseStunMessage(bytes, m, diag), expectOk);
    return diag.str();
}

TEST(StunMessage, BindingRequestLayout) {
    std::vector<uint8_t> req = EncodeBindingRequest(Id(3), kChangePortFlag);
    std::vector<uint8_t> expected = Message(0x0001, Attr(0x0003, {0, 0, 0, 2}));
    expected[4] = 3;  // the test number in the ID's first byte
    EXPECT_EQ(req, expected);
}

TEST(StunMessage, ResponseRoundTripsItsAddresses) {
    StunMessage out;
    out.id = Id(10);
    out.mapped = {true, 4567, htonl(0xC6336407)};   // 198.51.100.7
    out.changed = {true, 3479, htonl(0x0B000002)};  // 11.0.0.2
    out.source = {true, 3478, htonl(0x0B000001)};
    std::vector<uint8_t> bytes = EncodeBindingResponse(out);
    std::ostringstream diag;
    StunMessage in;
    ASSERT_TRUE(ParseStunMessage(bytes, in, diag)) << diag.str();
    EXPECT_EQ(in.type, kStunBindingResponse);
    EXPECT_EQ(in.id, out.id);
    EXPECT_EQ(in.mapped.port, 4567);
    EXPECT_EQ(in.mapped.address, out.mapped.address);
    EXPECT_EQ(in.changed.address, out.changed.address);
    EXPECT_EQ(in.source.port, 3478);
    EXPECT_FALSE(in.xorMapped.present);
}

TEST(StunMessage, ReadsTheOtherAttributes) {
    std::vector<uint8_t> body;
    auto add = [&](const std::vector<uint8_t>& a) { body.insert(body.end(), a.begin(), a.end()); };
    add(Attr(kAttrUsername, {'a', 'b', 'c', 'd'}));
    add(Attr(kAttrErrorCode, {0, 0, 4, 20, 'B', 'a', 'd', '!'}));
    add(Attr(kAttrUnknownAttributes, {0x00, 0x2A, 0x80, 0x01}));
    add(Attr(kAttrMessageIntegrity, std::vector<uint8_t>(20, 7)));
    add(Attr(0x7777, {1, 2, 3, 4}));  // not known here: skipped
    std::vector<uint8_t> xorValue{0, 1, 0, 0, 0, 0, 0, 0};
    add(Attr(kAttrXorMappedAddress, xorValue));
    std::ostringstream diag;
    StunMessage m;
    ASSERT_TRUE(ParseStunMessage(Message(0x0111, body), m, diag)) << diag.str();
    EXPECT_EQ(m.username, "abcd");
    EXPECT_EQ(m.errorCode, 420);
    EXPECT_EQ(m.errorReason, "Bad!");
    EXPECT_EQ(m.unknownAttributes, (std::vector<uint16_t>{0x2A, 0x8001}));
    EXPECT_TRUE(m.hasIntegrity);
    // The xor form undoes the ID's first bytes (0x01, 0x41 ...).
    ASSERT_TRUE(m.xorMapped.present);
    EXPECT_EQ(m.xorMapped.port, 0x0141);
}

// Found by fuzzing: each attribute was within its bound, but repeats added up without limit.
TEST(StunMessage, RepeatedUnknownAttributesListsReplaceEachOther) {
    std::vector<uint8_t> body;
    for (int i = 0; i < 100; ++i) {
        auto a = Attr(kAttrUnknownAttributes, {0, 1, 0, 2, 0, 3, 0, 4, 0, 5, 0, static_cast<uint8_t>(i)});
        body.insert(body.end(), a.begin(), a.end());
    }
    std::ostringstream diag;
    StunMessage m;
    ASSERT_TRUE(ParseStunMessage(Message(0x0111, body), m, diag)) << diag.str();
    EXPECT_EQ(m.unknownAttributes, (std::vector<uint16_t>{1, 2, 3, 4, 5, 99}));
}

TEST(StunMessage, MalformedAnswersAreRefusedWithTheirDiagnostics) {
    std::vector<uint8_t> ok = Message(0x0101, Attr(kAttrMappedAddress, {0, 1, 0, 80, 1, 2, 3, 4}));
    std::vector<uint8_t> longer = ok;
    longer.push_back(0);
    EXPECT_NE(ParseDiag(longer).find("Message header length doesn't match message size: "),
              std::string::npos);

    // An attribute claiming more bytes than the message has.
    std::vector<uint8_t> big = Message(0x0101, {0x00, 0x01, 0x01, 0x00, 0, 1, 0, 80});
    std::string d = ParseDiag(big);
    EXPECT_NE(d.find("claims attribute is larger than size of message "), std::string::npos);
    EXPECT_NE(d.find("(attribute type=1)"), std::string::npos);
    // A fragment too short to hold an attribute header.
    EXPECT_NE(ParseDiag(Message(0x0101, {0x00, 0x01})).find("claims attribute is larger"), std::string::npos);

    EXPECT_NE(ParseDiag(Message(0x0101, Attr(kAttrMappedAddress, {0, 1, 0, 80, 1, 2, 3})))
                  .find("hdrLen wrong for Address"),
              std::string::npos);
    EXPECT_NE(ParseDiag(Message(0x0101, Attr(kAttrMappedAddress, {0, 2, 0, 80, 1, 2, 3, 4})))
                  .find("ipv6 not supported"),
              std::string::npos);
    EXPECT_NE(ParseDiag(Message(0x0101, Attr(kAttrMappedAddress, {0, 9, 0, 80, 1, 2, 3, 4})))
                  .find("bad address family: 9"),
              std::string::npos);

    d = ParseDiag(Message(0x0101, Attr(kAttrChangedAddress, {0, 9, 0, 80, 1, 2, 3, 4})));
    EXPECT_NE(d.find("problem parsing ChangedAddress"), std::string::npos);
    EXPECT_NE(
        ParseDiag(Message(0x0101, Attr(kAttrSourceAddress, {0, 1}))).find("problem parsing SourceAddress"),
        std::string::npos);
    d = ParseDiag(Message(0x0101, Attr(kAttrChangeRequest, {0, 0, 4})));
    EXPECT_NE(d.find("Incorrect size for ChangeRequest"), std::string::npos);
    EXPECT_NE(d.find("problem parsing ChangeRequest"), std::string::npos);
    d = ParseDiag(Message(0x0101, Attr(kAttrUsername, {'a', 'b', 'c'})));
    EXPECT_NE(d.find("Bad length string 3"), std::string::npos);
    EXPECT_NE(d.find("problem parsing Username"), std::string::npos);
    d = ParseDiag(Message(0x0101, Attr(kAttrMessageIntegrity, std::vector<uint8_t>(16, 0))));
    EXPECT_NE(d.find("MessageIntegrity must be 20 bytes"), std::string::npos);
    EXPECT_NE(ParseDiag(Message(0x0101, Attr(kAttrErrorCode, {0, 0}))).find("problem parsing ErrorCode"),
              std::string::npos);
    EXPECT_NE(ParseDiag(Message(0x0101, Attr(kAttrUnknownAttributes, {0, 1, 2})))
                  .find("problem parsing UnknownAttribute"),
              std::string::npos);
    EXPECT_NE(ParseDiag(Message(0x0101, Attr(kAttrXorMappedAddress, {0, 1, 0})))
                  .find("problem parsing XorMappedAddress"),
              std::string::npos);
    EXPECT_NE(ParseDiag(Message(0x0101, Attr(kAttrSecondaryAddress, {0, 3, 0, 1, 1, 1, 1, 1})))
                  .find("problem parsing secondaryAddress"),
              std::string::npos);
    // An over-long string is refused rather than copied.
    EXPECT_NE(ParseDiag(Message(0x0101, Attr(kAttrPassword, std::vector<uint8_t>(300, 'p'))))
                  .find("Bad length string 300"),
              std::string::npos);
    // Shorter than a header: silently not a message.
    EXPECT_EQ(ParseDiag({1, 1, 0, 0}), "");
}

TEST(StunMessage, TruncationsAndNoiseNeverReadPastTheBuffer) {
    // Every prefix of a valid answer, and random bytes with a consistent length field: the
    // parser must answer without touching memory it was not given (the sanitizer build checks).
    StunMessage out;
    out.id = Id(1);
    out.mapped = {true, 1, 2};
    out.changed = {true, 3, 4};
    std::vector<uint8_t> full = EncodeBindingResponse(out);
    std::ostringstream diag;
    for (size_t n = 0; n < full.size(); ++n) {
        std::vector<uint8_t> cut(full.begin(), full.begin() + n);
        StunMessage m;
        EXPECT_FALSE(ParseStunMessage(cut, m, diag)) << n;
    }
    std::mt19937 gen(7);
    int parsed = 0;
    for (int i = 0; i < 2000; ++i) {
        std::vector<uint8_t> noise(20 + gen() % 60);
        for (uint8_t& b : noise) {
            b = static_cast<uint8_t>(gen());
        }
        noise[2] = 0;
        noise[3] = static_cast<uint8_t>(noise.size() - 20);
        StunMessage m;
        parsed += ParseStunMessage(noise, m, diag) ? 1 : 0;
    }
    EXPECT_LT(parsed, 2000);
}

}  // namespace
}  // namespace tessali::nat
