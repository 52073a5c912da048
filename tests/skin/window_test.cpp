// Skinned windows and dialogs: the first-paint rule, the buffer, the region from corner images,
// mouse routing (hover, press, drag-off, code 102), tooltips and the close handling.
#include <gtest/gtest.h>

#include <QDir>
#include <QTest>

#include "common/temp_dir.h"
#include "skin/skin_button.h"
#include "skin/skin_reader.h"
#include "skin_harness.h"

// Fontconfig keeps its caches for the life of the process (the test application is never
// destroyed); the leak checker would report them on every run that draws text.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}

namespace tessali::skin {
namespace {

using test::CTestWnd;

// Two overlapping buttons, a hidden one and a disabled one over a background picture.
const char* kButtons =
    "<skin><testwnd bgcolor=\"0xff203040\">"
    "<pic id=\"bg\" image=\"BG\"/>"
    "<btn id=\"hidden\" x=\"0\" y=\"0\" width=\"60\" height=\"60\" show=\"0\" image=\"GOBTN\" "
    "imagenum=\"4\"/>"
    "<btn id=\"gobtn\" x=\"10\" y=\"10\" width=\"106\" height=\"29\" image=\"GOBTN\" imagenum=\"4\"/>"
    "<btn id=\"stopbtn\" x=\"50\" y=\"20\" width=\"106\" height=\"29\" image=\"STOPBTN\" imagenum=\"2\"/>"
    "<btn id=\"min\" x=\"200\" y=\"10\" width=\"21\" height=\"21\" image=\"MIN\" imagenum=\"2\"/>"
    "</testwnd></skin>";

struct Fixture {
    explicit Fixture(const char* xml = kButtons, int kind = kKindMainWindow) : wnd(xml, kind) {
        test::App();
        CSkinIdTable::Instance().FillProgramRows();
        CSkinTooltipTable::Instance().FillProgramRows();
        test::Realise(wnd, 300, 200);
    }
    test::CAppGuard app;
    CTestWnd wnd;
};

TEST(SkinWindow, FirstPaintOfTheProcessDrawsNothing) {
    Fixture f;
    CSkinState::Instance().firstPaintDone = false;
    // The size message lays out (dropping the buffer) and paints: the first paint is swallowed.
    f.wnd.resize(301, 200);
    f.wnd.OnSize();
    EXPECT_TRUE(CSkinState::Instance().firstPaintDone);
    EXPECT_TRUE(f.wnd.Buffer().isNull());
    f.wnd.Paint();
    ASSERT_FALSE(f.wnd.Buffer().isNull());
    EXPECT_EQ(f.wnd.Buffer().size(), QSize(301, 200));
    EXPECT_EQ(f.wnd.Buffer().pixel(5, 5), LoadPngResource("BG").pixel(5, 5));
}

TEST(SkinWindow, SuspendedPaintingAndEmptyWindowsDrawNothing) {
    Fixture f;
    CSkinState::Instance().paintingSuspended = true;
    f.wnd.Layout(310, 200);
    f.wnd.Paint();
    EXPECT_TRUE(f.wnd.Buffer().isNull());
    CSkinState::Instance().paintingSuspended = false;
    CTestWnd empty("<skin><testwnd bgcolor=\"0xff00ff00\"/></skin>");
    test::Realise(empty, 50, 50);
    EXPECT_TRUE(empty.Buffer().isNull());
}

TEST(SkinWindow, BufferIsClearedWithTheBackgroundAndHoldsTheControls) {
    Fixture f(
        "<skin><testwnd bgcolor=\"0x80203040\"><btn id=\"gobtn\" x=\"10\" y=\"10\" width=\"106\" "
        "height=\"29\" image=\"GOBTN\" imagenum=\"4\"/></testwnd></skin>");
    const QImage& buffer = f.wnd.Buffer();
    ASSERT_EQ(buffer.format(), QImage::Format_ARGB32);
    EXPECT_EQ(buffer.pixel(200, 100), 0x80203040u);
    const QImage go = LoadPngResource("GOBTN");
    EXPECT_EQ(buffer.pixel(10 + 50, 10 + 14), test::FramePixel(go, 4, 0, 50, 14));
}

TEST(SkinWindow, FirstListedOfOverlappingButtonsTakesTheMouse) {
    Fixture f;
    // (60, 25) lies in gobtn and stopbtn; gobtn is listed first. The hidden one covers it too.
    f.wnd.OnMouseMove(0, 60, 25);
    EXPECT_EQ(f.wnd.HoverControl(), f.wnd.FindChild("gobtn"));
    f.wnd.OnMouseMove(0, 140, 25);
    EXPECT_EQ(f.wnd.HoverControl(), f.wnd.FindChild("stopbtn"));
    EXPECT_FALSE(f.wnd.FindChild("gobtn")->IsHover());
    EXPECT_TRUE(f.wnd.FindChild("stopbtn")->IsHover());
    // Disabled: never the hover or pressed control.
    f.wnd.FindChild("gobtn")->SetProperty("enable", 0);
    f.wnd.OnMouseMove(0, 20, 15);
    EXPECT_EQ(f.wnd.HoverControl(), nullptr);
    f.wnd.OnLButtonDown(kKeyLButton, 20, 15);
    EXPECT_EQ(f.wnd.PressedControl(), nullptr);
    EXPECT_FALSE(f.wnd.FindChild("hidden")->IsHover());
}

TEST(SkinWindow, HoverRedrawsTheControlWithItsHoverFrame) {
    Fixture f;
    const QImage go = LoadPngResource("GOBTN");
    EXPECT_EQ(f.wnd.Buffer().pixel(10 + 30, 10 + 5), test::FramePixel(go, 4, 0, 30, 5));
    f.wnd.OnMouseMove(0, 30, 15);
    EXPECT_EQ(f.wnd.Buffer().pixel(10 + 30, 10 + 5), test::FramePixel(go, 4, 1, 30, 5));
    f.wnd.OnLButtonDown(kKeyLButton, 30, 15);
    EXPECT_EQ(f.wnd.Buffer().pixel(10 + 30, 10 + 5), test::FramePixel(go, 4, 2, 30, 5));
    f.wnd.OnMouseLeave(nullptr);
    EXPECT_EQ(f.wnd.Buffer().pixel(10 + 30, 10 + 5), test::FramePixel(go, 4, 0, 30, 5));
}

TEST(SkinWindow, ReleaseOverTheButtonClicksAndDraggingOffCancels) {
    Fixture f;
    f.wnd.OnMouseMove(0, 30, 15);
    f.wnd.OnLButtonDown(kKeyLButton, 30, 15);
    f.wnd.OnLButtonUp(0, 30, 15);
    EXPECT_EQ(f.wnd.Count(107), 1);
    EXPECT_EQ(f.wnd.PressedControl(), nullptr);

    f.wnd.OnLButtonDown(kKeyLButton, 30, 15);
    f.wnd.OnMouseMove(kKeyLButton, 250, 150);  // off the button, over the background
    f.wnd.OnLButtonUp(0, 250, 150);
    EXPECT_EQ(f.wnd.Count(107), 1);
    CSkinCtrl* go = f.wnd.FindChild("gobtn");
    EXPECT_FALSE(go->IsPressed());
    EXPECT_EQ(dynamic_cast<CSkinButton*>(go)->CurrentFrame(), 0);
}

TEST(SkinWindow, DragNotificationOnlyOverTheBackgroundWithAKeyHeld) {
    Fixture f;
    f.wnd.OnMouseMove(kKeyLButton, 250, 150);
    f.wnd.OnMouseMove(kKeyLButton, 251, 152);
    ASSERT_EQ(f.wnd.Count(kNotifyDrag), 2);
    EXPECT_EQ(f.wnd.notes.back().first, reinterpret_cast<intptr_t>(static_cast<QWidget*>(&f.wnd)));
    EXPECT_EQ(f.wnd.notes.back().second, CSkinRoot::PositionWord(251, 152));
    EXPECT_EQ(CSkinRoot::PositionWord(251, 152), (152 << 16) | 251);
    f.wnd.OnMouseMove(0, 252, 152);          // no button: no drag
    f.wnd.OnMouseMove(kKeyLButton, 30, 15);  // over a control
    EXPECT_EQ(f.wnd.Count(kNotifyDrag), 2);
    // While a control is pressed the background does not drag.
    f.wnd.OnLButtonDown(kKeyLButton, 30, 15);
    f.wnd.OnMouseMove(kKeyLButton, 250, 150);
    EXPECT_EQ(f.wnd.Count(kNotifyDrag), 2);
    f.wnd.OnLButtonUp(0, 250, 150);
    f.wnd.OnMouseMove(kKeyShift, 250, 150);
    EXPECT_EQ(f.wnd.Count(kNotifyDrag), 3);
}

TEST(SkinWindow, MinimizedWindowDoesNotLayOut) {
    Fixture f;
    ASSERT_EQ(f.wnd.GetRect().width(), 300);
    f.wnd.setWindowState(Qt::WindowMinimized);
    f.wnd.resize(400, 200);
    f.wnd.OnSize();
    EXPECT_EQ(f.wnd.GetRect().width(), 300);
    EXPECT_FALSE(f.wnd.Buffer().isNull());  // the old picture stays
    f.wnd.setWindowState(Qt::WindowNoState);
    f.wnd.OnSize();
    EXPECT_EQ(f.wnd.GetRect().width(), 400);
    EXPECT_EQ(f.wnd.Buffer().width(), 400);
}

TEST(SkinWindow, PlainWindowsDoNotDrag) {
    Fixture f(kButtons, kKindWindow);
    f.wnd.OnMouseMove(kKeyLButton, 250, 150);
    EXPECT_EQ(f.wnd.Count(kNotifyDrag), 0);
}

TEST(SkinWindow, HoveringAButtonWithATooltipRowRegistersItsTool) {
    Fixture f;
    f.wnd.OnMouseMove(0, 205, 15);
    EXPECT_TRUE(f.wnd.Tool().active);
    EXPECT_EQ(f.wnd.Tool().text, QStringLiteral("最小化"));
    EXPECT_EQ(f.wnd.Tool().rect, QRect(200, 10, 21, 21));
    f.wnd.OnMouseMove(0, 30, 15);  // gobtn has no row
    EXPECT_FALSE(f.wnd.Tool().active);
}

TEST(SkinWindow, RightButtonPressesAndReleasesTheControl) {
    Fixture f;
    f.wnd.OnRButtonDown(kKeyRButton, 30, 15);
    EXPECT_EQ(f.wnd.PressedControl(), f.wnd.FindChild("gobtn"));
    EXPECT_TRUE(f.wnd.FindChild("gobtn")->IsPressed());
    EXPECT_FALSE(f.wnd.IsButtonHeld());
    f.wnd.OnRButtonUp(0, 30, 15);
    EXPECT_EQ(f.wnd.PressedControl(), nullptr);
    EXPECT_FALSE(f.wnd.FindChild("gobtn")->IsPressed());
    EXPECT_EQ(f.wnd.Count(107), 0);  // only the left button clicks
}

TEST(SkinWindow, ClosingFromAButtonsOwnNotificationIsSafe) {
    Fixture f;
    f.wnd.onNotify = [&](int code) {
        if (code == 107)
            f.wnd.OnClose();
    };
    f.wnd.OnMouseMove(0, 30, 15);
    f.wnd.OnLButtonDown(kKeyLButton, 30, 15);
    f.wnd.OnLButtonUp(0, 30, 15);
    EXPECT_EQ(f.wnd.Count(107), 1);
    EXPECT_TRUE(f.wnd.Children().empty());
    EXPECT_EQ(f.wnd.HoverControl(), nullptr);
    EXPECT_EQ(f.wnd.PressedControl(), nullptr);
    EXPECT_TRUE(f.wnd.Buffer().isNull());
}

TEST(SkinWindow, QtMouseEventsReachTheControls) {
    Fixture f;
    f.wnd.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&f.wnd));
    QTest::mouseMove(&f.wnd, QPoint(30, 15));
    EXPECT_EQ(f.wnd.HoverControl(), f.wnd.FindChild("gobtn"));
    QTest::mouseClick(&f.wnd, Qt::LeftButton, Qt::NoModifier, QPoint(30, 15));
    EXPECT_EQ(f.wnd.Count(107), 1);
    // What the window shows is its buffer.
    const QImage shown = f.wnd.grab().toImage().convertToFormat(QImage::Format_ARGB32);
    EXPECT_EQ(shown.pixel(10 + 30, 10 + 5), f.wnd.Buffer().pixel(10 + 30, 10 + 5));
    f.wnd.close();
    EXPECT_TRUE(f.wnd.Children().empty());
}

// Writes corner images into a skin folder and loads a window that names them.
struct Corners {
    Corners() {
        test::App();
        CSkinPaths::Instance().SetAppFolder(QString::fromStdString(dir.Path()));
        QDir().mkpath(QString::fromStdString(dir.Path()) + "skin/DefaultSkin");
    }
    ~Corners() { CSkinPaths::Instance().SetAppFolder(QString()); }
    void Write(const char* name, QImage image) {
        ASSERT_TRUE(image.save(QString::fromStdString(dir.Path()) + "skin/DefaultSkin/" + name, "PNG"));
    }
    static QImage Side(int w, int h, const std::vector<QPoint>& keyed, QRgb key = 0xFFFF00FF) {
        QImage image(w, h, QImage::Format_ARGB32);
        image.fill(0xFF102030u);
        for (const QPoint& p : keyed) image.setPixel(p, key);
        return image;
    }
    tessali::test::TempDir dir;
};

TEST(SkinWindow, KeyColourPixelsOfTheSideImagesCutBothCorners) {
    Corners c;
    c.Write("top.png", Corners::Side(4, 3, {{0, 0}, {1, 0}, {0, 1}}));
    c.Write("bottom.png", Corners::Side(4, 2, {{0, 1}}));
    CTestWnd wnd(
        "<skin><testwnd topside=\"top.png\" bottomside=\"bottom.png\"><pic id=\"bg\" image=\"BG\"/>"
        "</testwnd></skin>");
    test::Realise(wnd, 100, 50);
    ASSERT_FALSE(wnd.TopSide().isNull());
    const QRegion mask = wnd.mask();
    EXPECT_FALSE(mask.contains(QPoint(0, 0)));
    EXPECT_FALSE(mask.contains(QPoint(99, 0)));
    EXPECT_FALSE(mask.contains(QPoint(1, 0)));
    EXPECT_FALSE(mask.contains(QPoint(98, 0)));
    EXPECT_FALSE(mask.contains(QPoint(0, 1)));
    EXPECT_FALSE(mask.contains(QPoint(99, 1)));
    EXPECT_TRUE(mask.contains(QPoint(1, 1)));
    EXPECT_TRUE(mask.contains(QPoint(2, 0)));
    // The bottom image is aligned to the bottom edge: its row 1 is the window's last row.
    EXPECT_FALSE(mask.contains(QPoint(0, 49)));
    EXPECT_FALSE(mask.contains(QPoint(99, 49)));
    EXPECT_TRUE(mask.contains(QPoint(0, 48)));
    EXPECT_TRUE(mask.contains(QPoint(50, 25)));
}

TEST(SkinWindow, OneSideImageAloneLeavesTheWindowRectangular) {
    Corners c;
    c.Write("top.png", Corners::Side(4, 3, {{0, 0}}));
    CTestWnd wnd(
        "<skin><testwnd topside=\"top.png\" bottomside=\"missing.png\"><pic id=\"bg\" image=\"BG\"/>"
        "</testwnd></skin>");
    test::Realise(wnd, 100, 50);
    EXPECT_TRUE(wnd.mask().isEmpty());
}

class CTestDialog : public CSkinDialog {
public:
    explicit CTestDialog(std::string xml) : CSkinDialog("testdlg"), m_xml(std::move(xml)) {}
    void LoadSkin() override { test::ApplyText(*this, m_xml); }
    intptr_t OnSkinNotify(int code, intptr_t first, intptr_t second) override {
        codes.push_back(code);
        if (code == 104)
            EndDialog(0);
        if (code == 122)
            EndDialog(1);
        return 0;
    }
    std::vector<int> codes;

private:
    std::string m_xml;
};

TEST(SkinDialog, UsesItsSideColourAndHasNoFirstPaintRule) {
    Corners c;
    c.Write("top.png", Corners::Side(3, 2, {{0, 0}}, 0xFF00FF00));
    c.Write("bottom.png", Corners::Side(3, 2, {}, 0xFF00FF00));
    CTestDialog dlg(
        "<skin><testdlg topside=\"top.png\" bottomside=\"bottom.png\" sidecolor=\"0xff00ff00\">"
        "<btn id=\"ok\" x=\"5\" y=\"5\" width=\"20\" height=\"20\"/></testdlg></skin>");
    CSkinState::Instance().firstPaintDone = false;
    dlg.InitDialog();
    dlg.resize(80, 40);
    dlg.OnSize();
    ASSERT_FALSE(dlg.Buffer().isNull());  // painted at once
    EXPECT_FALSE(CSkinState::Instance().firstPaintDone);
    EXPECT_EQ(dlg.Buffer().pixel(60, 30), 0xFFFFFFFFu);  // default dialog background
    EXPECT_FALSE(dlg.mask().contains(QPoint(0, 0)));
    EXPECT_FALSE(dlg.mask().contains(QPoint(79, 0)));
    EXPECT_TRUE(dlg.mask().contains(QPoint(1, 0)));
    CSkinState::Instance().firstPaintDone = true;
}

TEST(SkinDialog, ButtonNotificationsEndTheModalLoopWithTheirResult) {
    test::App();
    CSkinIdTable::Instance().FillProgramRows();
    CTestDialog dlg(
        "<skin><testdlg><btn id=\"ok\" x=\"5\" y=\"5\" width=\"20\" height=\"20\"/>"
        "<btn id=\"close\" x=\"40\" y=\"5\" width=\"20\" height=\"20\"/></testdlg></skin>");
    dlg.resize(80, 40);
    QTimer::singleShot(0, &dlg, [&] {
        dlg.OnMouseMove(0, 10, 10);
        dlg.OnLButtonDown(kKeyLButton, 10, 10);
        dlg.OnLButtonUp(0, 10, 10);
    });
    EXPECT_EQ(dlg.exec(), 1);
    EXPECT_EQ(dlg.codes, std::vector<int>{122});
    EXPECT_TRUE(dlg.Children().empty());  // the close handling freed the controls
    // A dialog drags from its background like the main window.
    CTestDialog drag(
        "<skin><testdlg><btn id=\"ok\" x=\"5\" y=\"5\" width=\"20\" height=\"20\"/></testdlg></skin>");
    drag.InitDialog();
    drag.resize(80, 40);
    drag.OnSize();
    drag.OnMouseMove(kKeyLButton, 70, 30);
    EXPECT_EQ(drag.codes, std::vector<int>{kNotifyDrag});
}

}  // namespace
}  // namespace tessali::skin
