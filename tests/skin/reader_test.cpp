// Attribute readers, keyword anchoring and element kinds, read through real skin elements.
#include <gtest/gtest.h>

#include <tinyxml2.h>

#include "skin/skin_button.h"
#include "skin/skin_reader.h"
#include "skin_harness.h"

namespace tessali::skin {
namespace {

// Parses one element given as text.
using test::Element;

TEST(SkinReader, ShowTrimsBlanksAndOnlyPositiveNumbersShow) {
    EXPECT_FALSE(ReadShow(*Element("<btn show=\"0\"/>")));
    EXPECT_TRUE(ReadShow(*Element("<btn show=\" 1 \"/>")));
    EXPECT_FALSE(ReadShow(*Element("<btn show=\"yes\"/>")));
    EXPECT_FALSE(ReadShow(*Element("<btn show=\"-2\"/>")));
    EXPECT_TRUE(ReadShow(*Element("<btn show=\"3\"/>")));
    EXPECT_TRUE(ReadShow(*Element("<btn/>")));
}

TEST(SkinReader, ColoursReadWithOrWithoutPrefixInAnyCase) {
    EXPECT_EQ(ReadColour("c", *Element("<t c=\"0xffEfC9A0\"/>")), 0xFFEFC9A0u);
    EXPECT_EQ(ReadColour("c", *Element("<t c=\"FFEFC9A0\"/>")), 0xFFEFC9A0u);
    EXPECT_EQ(ReadColour("c", *Element("<t c=\"0XC8c8C8\"/>")), 0x00C8C8C8u);
    // Reading stops at the first character that is not a hexadecimal digit.
    EXPECT_EQ(ReadColour("c", *Element("<t c=\"0xffzz\"/>")), 0xFFu);
    EXPECT_EQ(ReadColour("c", *Element("<t/>"), 0x12345678u), 0x12345678u);
    // A value too large for 32 bits saturates instead of wrapping.
    EXPECT_EQ(ReadColour("c", *Element("<t c=\"0x1FFFFFFFF\"/>")), 0xFFFFFFFFu);
}

TEST(SkinReader, CheckBoxColoursDefaultWhenAbsent) {
    test::App();
    CSkinButtonEx box;
    ASSERT_EQ(box.LoadFromNode(*Element("<btnex id=\"c\"/>"), nullptr), 1);
    EXPECT_EQ(box.LabelColour(), 0xFF000000u);
    box.SetProperty("redshow", 1);
    EXPECT_EQ(box.LabelColour(), 0xFFFF0000u);
    box.SetProperty("enable", 0);
    EXPECT_EQ(box.LabelColour(), 0xFF808080u);
}

TEST(SkinReader, IntegersAndRealsStopAtTheFirstForeignCharacter) {
    EXPECT_EQ(ReadInt("n", *Element("<t n=\"12px\"/>")), 12);
    EXPECT_EQ(ReadInt("n", *Element("<t n=\"px\"/>")), 0);
    EXPECT_EQ(ReadInt("n", *Element("<t n=\"  -7\"/>")), -7);
    EXPECT_EQ(ReadInt("n", *Element("<t/>"), 3), 3);
    EXPECT_EQ(ReadInt("n", *Element("<t n=\"99999999999\"/>")), 2147483647);
    EXPECT_DOUBLE_EQ(ReadReal("r", *Element("<t r=\"12.75pt\"/>")), 12.75);
    EXPECT_DOUBLE_EQ(ReadReal("r", *Element("<t r=\" -3.5\"/>")), -3.5);
    EXPECT_DOUBLE_EQ(ReadReal("r", *Element("<t r=\"abc\"/>")), 0.0);
}

TEST(SkinReader, PositionsAreRealsTruncatedTowardZero) {
    test::App();
    CSkinButton b;
    ASSERT_EQ(b.LoadFromNode(*Element("<btn x=\"12.9\" y=\"-3.7\" width=\"1e3\" height=\"20.5\"/>"), nullptr),
              1);
    EXPECT_EQ(b.SkinRect(), QRect(12, -3, 1000, 20));
}

TEST(SkinReader, AnchoringKeywordsIgnoreCaseAndUnknownWordsAnchorLeft) {
    EXPECT_EQ(HorizontalFlags("RIGHT"), kAnchorRight);
    EXPECT_EQ(HorizontalFlags("left"), 0);
    EXPECT_EQ(HorizontalFlags("middle"), 0);
    EXPECT_EQ(HorizontalFlags("Stretch"), kAnchorHStretch);
    EXPECT_EQ(HorizontalFlags("tiled"), kAnchorHTile);
    EXPECT_EQ(HorizontalFlags("center"), kAnchorHCenter);
    EXPECT_EQ(VerticalFlags("Bottom"), kAnchorBottom);
    EXPECT_EQ(VerticalFlags("right"), 0);
    EXPECT_EQ(VerticalFlags("CENTER"), kAnchorVCenter);

    test::App();
    CSkinButton b;
    b.LoadFromNode(*Element("<btn horizontal=\"RIGHT\" vertical=\"tiled\" cursor=\"hand\"/>"), nullptr);
    EXPECT_EQ(b.Anchor(), kAnchorRight | kAnchorVTile);
    EXPECT_TRUE(b.WantsHandCursor());
}

TEST(SkinReader, ElementNamesChooseTheKind) {
    EXPECT_EQ(KindOfElement("pic"), kKindImage);
    EXPECT_EQ(KindOfElement("GIF"), kKindGif);
    EXPECT_EQ(KindOfElement("Txt"), kKindText);
    EXPECT_EQ(KindOfElement("pressbtn"), kKindButton);
    EXPECT_EQ(KindOfElement("coincideimage"), kKindButton);
    EXPECT_EQ(KindOfElement("txtbtn"), kKindTxtBtn);
    EXPECT_EQ(KindOfElement("pagebtn"), kKindPageBtn);
    EXPECT_EQ(KindOfElement("combobox"), kKindComboBox);
    EXPECT_EQ(KindOfElement("subview"), kKindWindow);
    // The check box kind is its own: not a window kind and not the picture kind.
    const int boxKind = KindOfElement("btnex");
    EXPECT_FALSE(IsEmbeddedWindowKind(boxKind));
    EXPECT_NE(boxKind, kKindImage);
    EXPECT_NE(boxKind, kKindNone);
    EXPECT_EQ(KindOfElement("button"), kKindNone);
}

TEST(SkinReader, PngResourcesResolveWithoutRegardToCase) {
    test::App();
    const QImage upper = LoadPngResource("GOBTN");
    ASSERT_FALSE(upper.isNull());
    EXPECT_EQ(upper.size(), QSize(4 * 106, 29));
    EXPECT_EQ(LoadPngResource("gobtn"), upper);
    EXPECT_EQ(upper.format(), QImage::Format_ARGB32);
    EXPECT_TRUE(LoadPngResource("NO_SUCH_PICTURE").isNull());
    EXPECT_TRUE(LoadPngResource("").isNull());
}

}  // namespace
}  // namespace tessali::skin
