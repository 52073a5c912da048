// Layout arithmetic of controls and windows, with the built-in skin's worked examples.
#include <gtest/gtest.h>

#include "skin/skin_reader.h"
#include "skin_harness.h"

namespace tessali::skin {
namespace {

using test::CBuiltinDialog;
using test::CBuiltinMainWnd;
using test::CTestWnd;

std::string Window(const std::string& controls) {
    return "<skin><testwnd>" + controls + "</testwnd></skin>";
}

// Loads the controls into a hidden window and lays them out in a parent area of w x h.
struct Laid {
    Laid(const std::string& controls, int w, int h) : wnd(Window(controls), kKindWindow) {
        test::App();
        wnd.Create();
        wnd.Layout(w, h);
    }
    QRect Rect(const char* id) {
        CSkinCtrl* c = wnd.FindChild(id);
        return c ? c->GetRect() : QRect(-999, -999, 0, 0);
    }
    test::CAppGuard app;
    CTestWnd wnd;
};

TEST(SkinLayout, BuiltinMainWindowPlacesItsButtonsFromTheRightAndBottom) {
    test::App();
    CBuiltinMainWnd wnd;
    test::Realise(wnd, 590, 530);
    EXPECT_EQ(wnd.FindChild("close")->GetRect(), QRect(563, 4, 21, 21));
    EXPECT_EQ(wnd.FindChild("min")->GetRect(), QRect(540, 4, 21, 21));
    EXPECT_EQ(wnd.FindChild("gobtn")->GetRect(), QRect(471, 478, 106, 29));
    EXPECT_EQ(wnd.FindChild("modifybtn")->GetRect(), QRect(508, 441, 67, 24));
    EXPECT_EQ(wnd.FindChild("page1")->GetRect(), QRect(548, 390, 12, 12));
    EXPECT_EQ(wnd.FindChild("page4")->GetRect(), QRect(494, 390, 12, 12));
    EXPECT_EQ(wnd.FindChild("image")->GetRect(), QRect(18, 71, 553, 305));
    // A text without size fills its parent from its offsets.
    EXPECT_EQ(wnd.FindChild("state")->GetRect(), QRect(65, 390, 590, 530));
}

TEST(SkinLayout, BuiltinDialogBackgroundTakesItsImageSizeOnTheBottomEdge) {
    test::App();
    CBuiltinDialog dlg;
    const QImage bg = LoadPngResource("LIST_BOX_BG");
    ASSERT_FALSE(bg.isNull());
    test::Realise(dlg, bg.width(), bg.height() + 40);
    EXPECT_EQ(dlg.FindChild("bg")->GetRect(), QRect(0, 40, bg.width(), bg.height()));
    EXPECT_EQ(dlg.FindChild("close")->GetRect(), QRect(bg.width() - 28, 0, 28, 28));
    EXPECT_EQ(dlg.FindChild("ok")->GetRect(), QRect(bg.width() - 132, bg.height() + 40 - 43, 106, 29));
}

TEST(SkinLayout, StretchedPictureKeepsItsMarginsAndNegativeWidthsCountFromTheRight) {
    Laid laid(
        "<pic id=\"s\" x=\"10\" width=\"20\" height=\"5\" horizontal=\"stretch\"/>"
        "<btn id=\"n50\" width=\"-50\" height=\"5\"/>"
        "<btn id=\"n1\" width=\"-1\" height=\"5\"/>"
        "<btn id=\"vs\" y=\"7\" width=\"5\" height=\"3\" vertical=\"stretch\"/>",
        300, 100);
    EXPECT_EQ(laid.Rect("s"), QRect(10, 0, 270, 5));
    EXPECT_EQ(laid.Rect("n50"), QRect(0, 0, 250, 5));
    EXPECT_EQ(laid.Rect("n1").width(), -1);
    // Heights have no negative rule; stretch makes "height" the bottom margin.
    EXPECT_EQ(laid.Rect("vs"), QRect(0, 7, 5, 90));
}

TEST(SkinLayout, CentredRightAndBottomAnchoring) {
    Laid laid(
        "<btn id=\"c\" x=\"3\" y=\"-2\" width=\"41\" height=\"21\" horizontal=\"center\" "
        "vertical=\"center\"/>"
        "<btn id=\"rb\" x=\"5\" y=\"6\" width=\"10\" height=\"20\" horizontal=\"right\" vertical=\"bottom\"/>"
        "<btn id=\"fill\" x=\"4\" y=\"9\"/>",
        300, 100);
    EXPECT_EQ(laid.Rect("c"), QRect((300 - 41) / 2 + 3, (100 - 21) / 2 - 2, 41, 21));
    EXPECT_EQ(laid.Rect("rb"), QRect(285, 74, 10, 20));
    // No size: fills the parent and stays at its offsets.
    EXPECT_EQ(laid.Rect("fill"), QRect(4, 9, 300, 100));
}

TEST(SkinLayout, ChildrenAreLaidOutInTheirParentsRectangle) {
    Laid laid(
        "<pic id=\"panel\" x=\"20\" y=\"30\" width=\"100\" height=\"50\">"
        "  <btn id=\"inner\" x=\"5\" y=\"5\" width=\"10\" height=\"10\" horizontal=\"right\"/>"
        "</pic>",
        300, 100);
    EXPECT_EQ(laid.Rect("panel"), QRect(20, 30, 100, 50));
    EXPECT_EQ(laid.Rect("inner"), QRect(85, 5, 10, 10));
}

TEST(SkinLayout, SameParentSizeReportsNoChange) {
    Laid laid("<btn id=\"b\" x=\"5\" width=\"-50\" height=\"5\"/>", 300, 100);
    CSkinCtrl* b = laid.wnd.FindChild("b");
    EXPECT_FALSE(b->Layout(300, 100));
    EXPECT_EQ(b->GetRect(), QRect(5, 0, 250, 5));
    EXPECT_TRUE(b->Layout(200, 100));
    EXPECT_EQ(b->GetRect(), QRect(5, 0, 150, 5));
}

TEST(SkinLayout, ParentSizesAreSixteenBitValues) {
    Laid laid("<btn id=\"b\" width=\"-50\" height=\"5\"/>", 65536 + 300, 100);
    EXPECT_EQ(laid.Rect("b").width(), 250);
}

TEST(SkinLayout, MainWindowRootTakesTheWindowRectangleAndAlwaysRelayouts) {
    test::App();
    CBuiltinMainWnd wnd;
    test::Realise(wnd, 590, 530);
    EXPECT_EQ(wnd.GetRect().size(), QSize(590, 530));
    // Kind 0 reports a change every time, so a size message always repaints.
    EXPECT_TRUE(wnd.Layout(590, 530));
    CTestWnd plain("<skin><testwnd><btn id=\"b\"/></testwnd></skin>", kKindWindow);
    plain.Create();
    EXPECT_TRUE(plain.Layout(100, 100));
    EXPECT_FALSE(plain.Layout(100, 100));
}

}  // namespace
}  // namespace tessali::skin
