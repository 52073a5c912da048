#include "engine/core/peer_id.h"

#include <gtest/gtest.h>

#include <cstring>

namespace tessali::core {
namespace {

PeerId Id(std::string_view text) {
    return *PeerId::FromText(text);
}

// Vectors worked out by hand from the MD5 step definitions, independently of this code.
TEST(PeerIdCheckCode, MatchesWorkedVectors) {
    EXPECT_EQ(PeerIdCheckCode(0x00000000), 0x75B2);
    EXPECT_EQ(PeerIdCheckCode(0x12345678), 0x25C1);
    EXPECT_EQ(PeerIdCheckCode(0xFFFFFFFF), 0xF2B3);
}

TEST(PeerIdGenerate, FormatsVersionCounterAndCheckCode) {
    PeerId id = GeneratePeerId(kEngineVersion, 0x0123456789ABull);
    EXPECT_EQ(id.Text(), "MIRT00662181456789AB");
    EXPECT_TRUE(id.IsWellFormed());
    EXPECT_EQ(id.Version(), 66);
    // Counters wider than twelve digits keep their low 48 bits instead of overflowing the id.
    PeerId wide = GeneratePeerId(kEngineVersion, 0xFFFF0123456789ABull);
    EXPECT_EQ(wide.Text(), id.Text());
}

TEST(PeerIdGenerate, EveryGeneratedIdCarriesAValidCode) {
    uint64_t counter = 0x9E3779B97F4A7C15ull;
    for (int i = 0; i < 2000; ++i) {
        counter = counter * 6364136223846793005ull + 1442695040888963407ull;
        PeerId id = GeneratePeerId(kEngineVersion, counter);
        ASSERT_TRUE(id.IsWellFormed()) << id.Text();
        ASSERT_EQ(id.Text().substr(0, 8), "MIRT0066");
    }
}

TEST(PeerIdWellFormed, RejectsDamagedIds) {
    const std::string good = "MIRT00662181456789AB";
    ASSERT_TRUE(Id(good).IsWellFormed());
    // Any changed character of the covered digits breaks the code.
    for (size_t i = 8; i < 20; ++i) {
        std::string bad = good;
        bad[i] = bad[i] == '0' ? '1' : '0';
        EXPECT_FALSE(Id(bad).IsWellFormed()) << bad;
    }
    EXPECT_FALSE(Id("MIRX00662181456789AB").IsWellFormed());
    EXPECT_FALSE(Id("MIRT0a662181456789AB").IsWellFormed());
    EXPECT_FALSE(Id("MIRT00662181456789ab").IsWellFormed());  // lower case is not the format
    EXPECT_FALSE(PeerId{}.IsWellFormed());
}

TEST(PeerIdText, FromTextNeedsExactlyTwentyCharacters) {
    EXPECT_FALSE(PeerId::FromText("MIRT0066").has_value());
    EXPECT_FALSE(PeerId::FromText("MIRT00662181456789AB0").has_value());
    EXPECT_TRUE(PeerId::FromText("MIRT00662181456789AB").has_value());
    PeerId raw;
    raw.bytes[0] = 0x01;
    EXPECT_EQ(raw.Printable().substr(0, 2), "??");
}

TEST(PeerIdVersion, StoredIdTakesTheCurrentVersionAndStaysValid) {
    PeerId stored = Id("MIRT00542181456789AB");
    PeerId now = WithVersion(stored, kEngineVersion);
    EXPECT_EQ(now.Text(), "MIRT00662181456789AB");
    EXPECT_TRUE(now.IsWellFormed());
    EXPECT_EQ(now.Tail(), stored.Tail());
    EXPECT_EQ(Id("MIRTxx662181456789AB").Version(), -1);
}

TEST(PeerIdVersion, VersionTypeAndRebuiltIds) {
    EXPECT_EQ(VersionType(54), 1);
    EXPECT_EQ(VersionType(56), 1);
    EXPECT_EQ(VersionType(57), 2);
    EXPECT_EQ(VersionType(58), 3);
    EXPECT_EQ(VersionType(66), 3);
    PeerIdTail tail = Id("MIRT00662181456789AB").Tail();
    EXPECT_EQ(PeerIdFromTail(tail, 1).Text(), "MIRT00542181456789AB");
    EXPECT_EQ(PeerIdFromTail(tail, 2).Text(), "MIRT00572181456789AB");
    EXPECT_EQ(PeerIdFromTail(tail, 3).Text(), "MIRT00582181456789AB");
    // A rebuilt id keeps the version type it was built from; an unknown type is taken as 3.
    for (uint8_t type : {1, 2, 3}) {
        EXPECT_EQ(VersionType(PeerIdFromTail(tail, type).Version()), type);
    }
    EXPECT_EQ(PeerIdFromTail(tail, 0).Text(), "MIRT00582181456789AB");
    EXPECT_EQ(PeerIdFromTail(tail, 9).Text(), "MIRT00582181456789AB");
}

TEST(PeerIdVersion, PlaceholderCarriesTheVersionAndNoPeer) {
    EXPECT_EQ(PlaceholderPeerId(66).Text(), "MIRT0066000000000000");
    EXPECT_EQ(PlaceholderPeerId(57).Text(), "MIRT0057000000000000");
    EXPECT_EQ(PlaceholderPeerId(kEngineVersion).Version(), kEngineVersion);
    EXPECT_FALSE(PlaceholderPeerId(kEngineVersion).IsWellFormed()) << "its check code is not valid";
}

}  // namespace
}  // namespace tessali::core
