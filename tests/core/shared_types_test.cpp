// Hash text, bitfields, counted objects, text holders and connection keys.

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include "engine/core/bitfield.h"
#include "engine/core/connection_key.h"
#include "engine/core/ref_counted.h"
#include "engine/core/string_convert.h"
#include "engine/core/task_hash.h"

namespace tessali::core {
namespace {

TEST(TaskHash, NonHexPairStopsConversionAndLeavesTheRestZero) {
    std::string text = "0123456789abcdefABCD0123456789ABCDEF0123";
    for (size_t k = 0; k < 20; ++k) {
        std::string broken = text;
        broken[2 * k + (k % 2)] = 'g';  // either nibble of pair k
        TaskHash h = TaskHash::FromText(broken);
        TaskHash whole = TaskHash::FromText(text);
        for (size_t i = 0; i < 20; ++i) {
            EXPECT_EQ(h.bytes[i], i < k ? whole.bytes[i] : 0) << "pair " << k << " byte " << i;
        }
    }
}

TEST(TaskHash, ShortTextFillsLeadingBytesAndOutputIsUpperCase) {
    TaskHash h = TaskHash::FromText("d41d8cd98f00b204e9800998ecf8427e");  // 32 digits
    EXPECT_EQ(h.bytes[0], 0xD4);
    EXPECT_EQ(h.bytes[15], 0x7E);
    for (size_t i = 16; i < 20; ++i) {
        EXPECT_EQ(h.bytes[i], 0);
    }
    EXPECT_EQ(h.ToText(), "D41D8CD98F00B204E9800998ECF8427E00000000");
    EXPECT_EQ(TaskHash::FromText(h.ToText()), h);
    uint8_t out[3] = {9, 9, 9};
    EXPECT_EQ(HashTextToBytes("ab1", out), 1u);  // a lone last digit is not a pair
    EXPECT_EQ(out[1], 9);                        // untouched, as the caller left it
}

TEST(Bitfield, LayoutCountsAndSpareBits) {
    Bitfield b(10);
    EXPECT_EQ(b.Size(), 2u);
    b.Set(0);
    b.Set(9);
    b.Set(10);  // past the end: ignored
    EXPECT_EQ(b.Bytes()[0], 0x80);
    EXPECT_EQ(b.Bytes()[1], 0x40);
    EXPECT_EQ(b.Count(), 2u);
    EXPECT_FALSE(b.Test(10));
    b.SetAll();
    EXPECT_EQ(b.Bytes()[1], 0xC0);  // spare bits stay clear
    EXPECT_TRUE(b.All());
    const uint8_t wrongLength[3] = {};
    EXPECT_FALSE(b.Assign(wrongLength));
    const uint8_t withSpare[2] = {0x00, 0xFF};
    EXPECT_TRUE(b.Assign(withSpare));
    EXPECT_EQ(b.Count(), 2u);
}

class Counted : public RefCountedObject {
public:
    explicit Counted(bool* gone) : m_gone(gone) {}

private:
    ~Counted() override { *m_gone = true; }
    bool* m_gone;
};

TEST(RefCounted, DeletesItselfAtZeroAndRefsBalance) {
    bool gone = false;
    {
        Ref<Counted> a = Ref<Counted>::Make(&gone);
        EXPECT_EQ(a->RefCount(), 1);
        {
            Ref<Counted> b = a;
            EXPECT_EQ(a->RefCount(), 2);
            Ref<Counted> c = std::move(b);
            EXPECT_EQ(a->RefCount(), 2);
        }
        EXPECT_EQ(a->RefCount(), 1);
        EXPECT_FALSE(gone);
    }
    EXPECT_TRUE(gone);
}

TEST(StringConvert, HoldsBothForms) {
    Ref<CStringConvert> gbk = CStringConvert::FromWideToAnsi(u"下载");
    EXPECT_EQ(gbk->Narrow(), "\xCF\xC2\xD4\xD8");
    Ref<CStringConvert> utf8 = CStringConvert::FromWideToUtf8(u"下载");
    EXPECT_EQ(utf8->Narrow(), "下载");
    Ref<CStringConvert> wide = CStringConvert::FromAnsi("\xCF\xC2\xD4\xD8");
    EXPECT_EQ(wide->Wide(), u"下载");
}

TEST(ConnectionKey, OrderedByAddressThenPortThenSocket) {
    ConnectionKey a{htonl(0x0A000001), htons(80), 5};
    ConnectionKey b{htonl(0x0A000001), htons(80), 6};
    ConnectionKey c{htonl(0x0A000001), htons(81), 1};
    ConnectionKey d{htonl(0x0A000002), htons(1), 1};
    EXPECT_LT(a, b);
    EXPECT_LT(b, c);
    EXPECT_LT(a, d);
    EXPECT_EQ(a.Text(), "10.0.0.1:80/5");
}

}  // namespace
}  // namespace tessali::core
