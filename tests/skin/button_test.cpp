// The button family: frame choice for each state, what a click notifies, and the properties.
#include <gtest/gtest.h>

#include "skin/skin_button.h"
#include "skin/skin_reader.h"
#include "skin/skin_text.h"
#include "skin_harness.h"

namespace tessali::skin {
namespace {

using test::CRecordingCallBack;
using test::Element;

// Loads one control of type T from its element, owned by a recording callback, laid out in 300 x 100.
template <class T>
struct Loaded {
    explicit Loaded(const std::string& xml) {
        test::App();
        CSkinIdTable::Instance().FillProgramRows();
        ctrl.SetOwner(&owner);
        EXPECT_EQ(ctrl.LoadFromNode(*Element(xml), &owner), 1);
        ctrl.Layout(300, 100);
    }
    // A click as the window delivers it: enter, down, up.
    void Click() {
        ctrl.OnMouseEnter();
        ctrl.OnLButtonDown();
        ctrl.OnLButtonUp();
    }
    CRecordingCallBack owner;
    T ctrl;
};

TEST(SkinButton, FourFrameStripShowsNormalHoverPressedAndDisabled) {
    Loaded<CSkinButton> b("<btn id=\"gobtn\" width=\"10\" height=\"10\" imagenum=\"4\"/>");
    EXPECT_EQ(b.ctrl.CurrentFrame(), 0);
    b.ctrl.OnMouseEnter();
    EXPECT_EQ(b.ctrl.CurrentFrame(), 1);
    b.ctrl.OnLButtonDown();
    EXPECT_EQ(b.ctrl.CurrentFrame(), 2);
    b.ctrl.SetProperty("enable", 0);
    EXPECT_EQ(b.ctrl.CurrentFrame(), 3);
}

TEST(SkinButton, PressedFrameDependsOnTheFrameCount) {
    Loaded<CSkinButton> two("<btn id=\"a\" imagenum=\"2\"/>");
    Loaded<CSkinButton> one("<btn id=\"a\" imagenum=\"1\"/>");
    Loaded<CSkinButton> dflt("<btn id=\"a\" imagenum=\"0\"/>");
    EXPECT_EQ(dflt.ctrl.Frames(), 3);
    for (auto* b : {&two.ctrl, &one.ctrl, &dflt.ctrl}) {
        b->OnMouseEnter();
        b->OnLButtonDown();
    }
    EXPECT_EQ(two.ctrl.CurrentFrame(), 1);
    EXPECT_EQ(one.ctrl.CurrentFrame(), 0);
    EXPECT_EQ(dflt.ctrl.CurrentFrame(), 2);
    two.ctrl.SetProperty("enable", 0);
    EXPECT_EQ(two.ctrl.CurrentFrame(), 0);
}

TEST(SkinButton, ClickNotifiesTheCommandIdOnlyWhenReleasedOverTheButton) {
    Loaded<CSkinButton> b("<btn id=\"gobtn\"/>");
    b.Click();
    ASSERT_EQ(b.owner.notes.size(), 1u);
    EXPECT_EQ(b.owner.notes[0].code, 107);
    EXPECT_EQ(b.owner.notes[0].first, 0);
    b.ctrl.OnMouseEnter();
    b.ctrl.OnLButtonDown();
    b.ctrl.OnMouseLeave();
    b.ctrl.OnLButtonUp();
    EXPECT_EQ(b.owner.notes.size(), 1u);
    EXPECT_EQ(b.ctrl.CurrentFrame(), 0);
}

TEST(SkinButton, UnknownIdsJoinTheTableWithNumberZero) {
    Loaded<CSkinButton> b("<btn id=\"brand_new_button\"/>");
    b.Click();
    ASSERT_EQ(b.owner.notes.size(), 1u);
    EXPECT_EQ(b.owner.notes[0].code, 0);
    EXPECT_EQ(CSkinIdTable::Instance().Lookup("brand_new_button"), 0);
    EXPECT_EQ(CSkinIdTable::Instance().Lookup("ok"), 122);
}

TEST(SkinButton, HiddenOrDisabledButtonsRefuseTheMouse) {
    Loaded<CSkinButton> b("<btn id=\"a\" x=\"10\" y=\"10\" width=\"20\" height=\"20\"/>");
    EXPECT_TRUE(b.ctrl.HitTest(10, 10));
    EXPECT_TRUE(b.ctrl.HitTest(29, 29));
    EXPECT_FALSE(b.ctrl.HitTest(30, 29));
    EXPECT_FALSE(b.ctrl.HitTest(9, 15));
    // Coordinates are 16-bit values: 65546 is 10.
    EXPECT_TRUE(b.ctrl.HitTest(65536 + 10, 10));
    b.ctrl.SetProperty("show", 0);
    EXPECT_FALSE(b.ctrl.HitTest(15, 15));
    b.ctrl.SetProperty("show", 1);
    b.ctrl.SetProperty("enable", 0);
    EXPECT_FALSE(b.ctrl.HitTest(15, 15));
}

TEST(SkinButton, PressButtonLatchesAndSendsItself) {
    Loaded<CSkinPressBtn> b("<pressbtn id=\"menubtn\" imagenum=\"5\" show=\"0\"/>");
    b.Click();
    ASSERT_EQ(b.owner.notes.size(), 1u);
    EXPECT_EQ(b.owner.notes[0].code, 105);
    EXPECT_EQ(b.owner.notes[0].first, reinterpret_cast<intptr_t>(static_cast<CSkinCtrl*>(&b.ctrl)));
    EXPECT_EQ(b.ctrl.CurrentFrame(), 1);  // released: hover only
    b.ctrl.SetProperty("down", 1);
    b.ctrl.OnLButtonDown();
    b.ctrl.OnLButtonUp();
    EXPECT_EQ(b.ctrl.CurrentFrame(), 2);  // latched down
    b.ctrl.SetProperty("enable", 0);
    EXPECT_EQ(b.ctrl.CurrentFrame(), 2);  // no disabled frame
}

TEST(SkinButton, SelectButtonSendsThePageNumberAndStaysSelected) {
    Loaded<CSkinSelectButton> b("<selectbtn id=\"page4\" imagenum=\"4\"/>");
    EXPECT_EQ(b.ctrl.CurrentFrame(), 0);
    b.ctrl.OnMouseEnter();
    EXPECT_EQ(b.ctrl.CurrentFrame(), 0);  // hover is not shown
    b.ctrl.OnLButtonDown();
    b.ctrl.OnLButtonUp();
    ASSERT_EQ(b.owner.notes.size(), 1u);
    EXPECT_EQ(b.owner.notes[0].code, kNotifySelectPage);
    EXPECT_EQ(b.owner.notes[0].first, 4);
    EXPECT_TRUE(b.ctrl.IsSelected());
    EXPECT_EQ(b.ctrl.CurrentFrame(), 1);
    b.ctrl.SetProperty("down", 0);
    EXPECT_EQ(b.ctrl.CurrentFrame(), 0);
}

TEST(SkinButton, SelectButtonAlwaysDrawsFromTwoFrames) {
    // The skin gives "imagenum" 4 for a 2-frame strip; the kind ignores it.
    Loaded<CSkinSelectButton> b(
        "<selectbtn id=\"page1\" width=\"12\" height=\"12\" image=\"PAGE\" imagenum=\"4\"/>");
    b.ctrl.SetProperty("down", 1);
    QImage out(12, 12, QImage::Format_ARGB32);
    out.fill(0u);
    QPainter p(&out);
    b.ctrl.Draw(p);
    p.end();
    const QImage strip = LoadPngResource("PAGE");
    EXPECT_EQ(out.pixel(6, 6), test::FramePixel(strip, 2, 1, 6, 6));
    EXPECT_EQ(out.pixel(11, 2), test::FramePixel(strip, 2, 1, 11, 2));
}

TEST(SkinButton, CheckBoxTogglesOnEachClickAndUsesTheTickedFrames) {
    Loaded<CSkinButtonEx> b("<btnex id=\"check2\" width=\"13\" height=\"13\"/>");
    EXPECT_EQ(b.ctrl.CurrentFrame(), 0);
    b.ctrl.OnMouseEnter();
    EXPECT_EQ(b.ctrl.CurrentFrame(), 1);
    b.ctrl.OnLButtonDown();
    EXPECT_EQ(b.ctrl.CurrentFrame(), 2);
    b.ctrl.OnLButtonUp();
    EXPECT_TRUE(b.ctrl.IsTicked());
    EXPECT_EQ(b.ctrl.CurrentFrame(), 4);
    b.ctrl.OnMouseLeave();
    EXPECT_EQ(b.ctrl.CurrentFrame(), 3);
    b.Click();
    EXPECT_FALSE(b.ctrl.IsTicked());
    ASSERT_EQ(b.owner.notes.size(), 2u);
    EXPECT_EQ(b.owner.notes[0].code, 119);
    EXPECT_EQ(b.owner.notes[1].code, 119);
    // Dragged off before the release: no toggle, no notification.
    b.ctrl.OnLButtonDown();
    b.ctrl.OnMouseLeave();
    b.ctrl.OnLButtonUp();
    EXPECT_FALSE(b.ctrl.IsTicked());
    EXPECT_EQ(b.owner.notes.size(), 2u);
    // Disabled: the last frame, and clicks do nothing.
    b.ctrl.SetProperty("enable", 0);
    EXPECT_EQ(b.ctrl.CurrentFrame(), 5);
    b.Click();
    EXPECT_EQ(b.owner.notes.size(), 2u);
    b.ctrl.SetProperty("change", 1);
    EXPECT_TRUE(b.ctrl.IsTicked());
}

TEST(SkinButton, CheckBoxWithFewStatesNotifiesWithoutToggling) {
    Loaded<CSkinButtonEx> b("<btnex id=\"check1\" statenum=\"3\"/>");
    b.Click();
    EXPECT_FALSE(b.ctrl.IsTicked());
    EXPECT_EQ(b.owner.Count(118), 1);
}

TEST(SkinButton, CheckBoxLabelSitsRightOfTheBox) {
    Loaded<CSkinButtonEx> b("<btnex id=\"check1\" x=\"21\" y=\"69\" width=\"13\" height=\"13\"/>");
    b.ctrl.SetProperty("text", QStringLiteral("完整客户端(推荐)"));
    EXPECT_EQ(b.ctrl.Label(), QStringLiteral("完整客户端(推荐)"));
    const QRect label = b.ctrl.LabelRect();
    EXPECT_EQ(label.topLeft(), QPoint(21 + 13 + 1, 69));
    EXPECT_GT(label.width(), 40);
}

TEST(SkinButton, LinkPictureReportsEnterAndLeaveAndOpensItsLink) {
    std::vector<QString> opened;
    CSkinCoincideImage::SetLinkOpener([&](const QString& link) { opened.push_back(link); });
    Loaded<CSkinCoincideImage> b("<coincideimage id=\"image\" width=\"553\" height=\"305\"/>");
    b.Click();
    EXPECT_TRUE(opened.empty());  // no link yet
    b.ctrl.SetProperty("source", CImageSource{"IMG01", "http://127.0.0.1:8080/news", "news"});
    EXPECT_EQ(b.ctrl.Image().size(), QSize(553, 305));
    b.Click();
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(opened[0], "http://127.0.0.1:8080/news");
    b.ctrl.OnMouseLeave();
    EXPECT_EQ(b.owner.Count(kNotifyLinkEnter), 2);
    EXPECT_EQ(b.owner.Count(kNotifyLinkLeave), 1);
    // An empty path changes nothing.
    b.ctrl.SetProperty("imagepath", CImageSource{"", "http://elsewhere/", ""});
    EXPECT_EQ(b.ctrl.Source().link, "http://127.0.0.1:8080/news");
    CSkinCoincideImage::SetLinkOpener(nullptr);
}

TEST(SkinButton, TextButtonHitAreaIsItsMeasuredText) {
    Loaded<CSkinTxtBtn> b("<txtbtn id=\"logo\" x=\"10\" y=\"5\" face=\"宋体\" size=\"9\"/>");
    EXPECT_FALSE(b.ctrl.HitTest(12, 7));  // no text yet: nothing to hit
    b.ctrl.SetProperty("text", QStringLiteral("Tessali"));
    const QRect rect = b.ctrl.GetRect();
    EXPECT_EQ(rect.topLeft(), QPoint(10, 5));
    EXPECT_GT(rect.width(), 10);
    EXPECT_LT(rect.width(), 100);
    EXPECT_TRUE(b.ctrl.HitTest(11, 6));
    EXPECT_FALSE(b.ctrl.HitTest(10 + rect.width(), 6));
    // Enabled is not tested; a relayout keeps the measured size.
    b.ctrl.SetProperty("enable", 0);
    EXPECT_TRUE(b.ctrl.HitTest(11, 6));
    b.ctrl.Layout(200, 50);
    EXPECT_EQ(b.ctrl.GetRect().size(), rect.size());
    b.Click();
    EXPECT_EQ(b.owner.Count(106), 1);
}

TEST(SkinButton, PageButtonPagesAndTooltip) {
    Loaded<CSkinPageBtn> b("<pagebtn id=\"min\" x=\"0\" y=\"0\" width=\"20\" height=\"10\"/>");
    b.ctrl.SetProperty("show", 1, 3);
    EXPECT_EQ(b.ctrl.SetProperty("getpage", 0), 3);
    b.ctrl.SetProperty("changepage", 2);
    EXPECT_EQ(b.ctrl.Page(), 5);
    b.ctrl.SetProperty("active", 1, 0);
    EXPECT_EQ(b.ctrl.Page(), 5);
    EXPECT_EQ(b.ctrl.CurrentFrame(), 1);
    b.ctrl.SetRealProperty("posx", 0.5);
    EXPECT_EQ(b.ctrl.ShiftedRect(), QRect(10, 0, 20, 10));
    EXPECT_FALSE(b.ctrl.HitTest(5, 5));
    EXPECT_TRUE(b.ctrl.HitTest(25, 5));
    CSkinTool tool;
    b.ctrl.AddTooltip(tool);
    EXPECT_EQ(tool.text, QStringLiteral("第5页"));
    b.Click();
    ASSERT_EQ(b.owner.notes.size(), 1u);
    EXPECT_EQ(b.owner.notes[0].first, 5);
    // "show" 0 hides, deactivates and keeps the page.
    b.ctrl.SetProperty("show", 0, 9);
    EXPECT_FALSE(b.ctrl.IsShown());
    EXPECT_FALSE(b.ctrl.IsActive());
    EXPECT_EQ(b.ctrl.Page(), 5);
}

TEST(SkinButton, TooltipTextComesFromTheTable) {
    CSkinTooltipTable::Instance().FillProgramRows();
    Loaded<CSkinButton> min(
        "<btn id=\"min\" x=\"29\" y=\"4\" width=\"21\" height=\"21\" horizontal=\"right\"/>");
    CSkinTool tool;
    min.ctrl.AddTooltip(tool);
    EXPECT_TRUE(tool.active);
    EXPECT_EQ(tool.text, QStringLiteral("最小化"));
    EXPECT_EQ(tool.rect, QRect(300 - 21 - 29, 4, 21, 21));
    Loaded<CSkinButton> go("<btn id=\"gobtn\"/>");
    CSkinTool none;
    go.ctrl.AddTooltip(none);
    EXPECT_FALSE(none.active);
}

}  // namespace
}  // namespace tessali::skin
