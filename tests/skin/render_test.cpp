// The two application windows rendered from the built-in skin: pixels at the controls' places are
// the expected frames of their pictures. With TESSALI_SKIN_SHOTS set to a folder, the rendered
// windows and the tray menu are also written there as PNG files (scripts/screenshot-skin.sh).
#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <QDir>
#include <QMenu>

#include "skin/skin_button.h"
#include "skin/skin_menu.h"
#include "skin/skin_reader.h"
#include "skin_harness.h"

namespace tessali::skin {
namespace {

using test::CBuiltinDialog;
using test::CBuiltinMainWnd;
using test::FramePixel;

// Checks that the control's rectangle in the buffer shows frame k of its strip, on a grid of points.
void ExpectFrame(const QImage& buffer, const CSkinCtrl* c, const char* png, int frames, int k) {
    ASSERT_NE(c, nullptr) << png;
    const QImage strip = LoadPngResource(png);
    ASSERT_FALSE(strip.isNull()) << png;
    const QRect r = c->GetRect();
    ASSERT_EQ(r.size(), QSize(strip.width() / frames, strip.height())) << png;
    int checked = 0;
    for (int dy = 0; dy < r.height(); dy += 3) {
        for (int dx = 0; dx < r.width(); dx += 3) {
            ASSERT_EQ(buffer.pixel(r.x() + dx, r.y() + dy), FramePixel(strip, frames, k, dx, dy))
                << png << " frame " << k << " at " << dx << "," << dy;
            ++checked;
        }
    }
    EXPECT_GT(checked, 10);
}

// The main window as the application paints it: the skin, then the progress bar at (24, 486).
class CMainLook : public CBuiltinMainWnd {
public:
    void Paint() override {
        CSkinState& state = CSkinState::Instance();
        if (!state.firstPaintDone) {
            state.firstPaintDone = true;
            return;
        }
        if (state.paintingSuspended || Children().empty() || !EnsureBuffer())
            return;
        DrawChildrenToBuffer();
        if (percent > 0 && !m_bar.isNull()) {
            QPainter p(&m_image);
            const int w = percent * m_bar.width() / 100;
            p.drawImage(QRect(24, 486, w, 17), m_bar, QRect(0, 0, w, m_bar.height()));
        }
        CopyToWindow();
    }
    int percent = 0;

private:
    QImage m_bar = LoadPngResource("BAR");
};

void FillMain(CSkinWnd& wnd) {
    wnd.FindChild("title")->SetProperty("text", QStringLiteral("Tessali下载器"));
    wnd.FindChild("state")->SetProperty("text", QStringLiteral("初始化完成，请选择下载任务"));
    wnd.FindChild("route")->SetProperty("text", QStringLiteral("/home/player/TessaliDownload/"));
    wnd.FindChild("image")->SetProperty("source", CImageSource{"IMG01", "", ""});
    for (int i = 1; i <= 3; ++i) wnd.FindChild(QString("page%1").arg(i))->SetProperty("show", 1);
    wnd.FindChild("page3")->SetProperty("down", 1);
}

TEST(SkinRender, MainWindowShowsEachControlsNormalFrame) {
    test::App();
    CMainLook wnd;
    test::Realise(wnd, 590, 530);
    const QImage& b = wnd.Buffer();
    ASSERT_EQ(b.size(), QSize(590, 530));
    ExpectFrame(b, wnd.FindChild("gobtn"), "GOBTN", 4, 0);
    ExpectFrame(b, wnd.FindChild("modifybtn"), "MODIFYBTN", 4, 0);
    ExpectFrame(b, wnd.FindChild("close"), "CLOSE", 2, 0);
    ExpectFrame(b, wnd.FindChild("min"), "MIN", 2, 0);
    ExpectFrame(b, wnd.FindChild("menu1"), "MENU01", 2, 0);
    ExpectFrame(b, wnd.FindChild("menu6"), "MENU06", 2, 0);
    // Nothing else is drawn over the background picture away from the controls.
    const QImage bg = LoadPngResource("BG");
    EXPECT_EQ(b.pixel(300, 420), bg.pixel(300, 420));
    EXPECT_EQ(b.pixel(10, 520), bg.pixel(10, 520));
    // The picture's transparent top corners show the window's background colour, which the main
    // window cuts out of its region.
    EXPECT_EQ(b.pixel(0, 0), 0xFFC8C8C8u);
    EXPECT_EQ(b.pixel(589, 0), 0xFFC8C8C8u);
    EXPECT_NE(b.pixel(9, 9), 0xFFC8C8C8u);
    EXPECT_NE(b.pixel(0, 20), 0xFFC8C8C8u);
}

TEST(SkinRender, MainWindowStatesShowTheirFrames) {
    test::App();
    CMainLook wnd;
    test::Realise(wnd, 590, 530);
    FillMain(wnd);
    wnd.FindChild("gobtn")->SetProperty("enable", 0);
    wnd.percent = 50;
    wnd.Paint();
    const QImage& b = wnd.Buffer();
    ExpectFrame(b, wnd.FindChild("gobtn"), "GOBTN", 4, 3);
    ExpectFrame(b, wnd.FindChild("page3"), "PAGE", 2, 1);
    ExpectFrame(b, wnd.FindChild("page1"), "PAGE", 2, 0);
    const QImage img = LoadPngResource("IMG01");
    EXPECT_EQ(b.pixel(18 + 100, 71 + 100), img.pixel(100, 100));
    EXPECT_EQ(b.pixel(18 + 552, 71 + 304), img.pixel(552, 304));
    // Half of the bar, 17 pixels high.
    const QImage bar = LoadPngResource("BAR");
    EXPECT_EQ(b.pixel(24 + 100, 486 + 8), bar.pixel(100, 8));
    EXPECT_EQ(b.pixel(24 + 214, 486 + 8), bar.pixel(214, 8));
    EXPECT_NE(b.pixel(24 + 300, 486 + 8), bar.pixel(300, 8));
    // The title is white, bold text.
    int white = 0;
    for (int y = 10; y < 26; ++y)
        for (int x = 30; x < 160; ++x) white += b.pixel(x, y) == 0xFFFFFFFFu;
    EXPECT_GT(white, 20);
    // Hovering a link menu redraws it with its second frame; the pressed control follows the mouse.
    wnd.OnMouseMove(0, 71 + 20, 30 + 9);
    ExpectFrame(wnd.Buffer(), wnd.FindChild("menu3"), "MENU03", 2, 1);
    wnd.OnMouseMove(0, 300, 420);
    ExpectFrame(wnd.Buffer(), wnd.FindChild("menu3"), "MENU03", 2, 0);
    wnd.FindChild("gobtn")->SetProperty("enable", 1);
    wnd.OnMouseMove(0, 471 + 50, 478 + 10);
    wnd.OnLButtonDown(kKeyLButton, 471 + 50, 478 + 10);
    ExpectFrame(wnd.Buffer(), wnd.FindChild("gobtn"), "GOBTN", 4, 2);
    wnd.OnLButtonUp(0, 471 + 50, 478 + 10);
    ExpectFrame(wnd.Buffer(), wnd.FindChild("gobtn"), "GOBTN", 4, 1);
    ASSERT_FALSE(wnd.notes.empty());
}

void FillDialog(CSkinDialog& dlg) {
    const char* names[] = {"完整客户端(推荐)", "补丁 1.0.3 → 1.0.4", "登录器更新"};
    const char* sizes[] = {"3.42GB", "215.6MB", "1.2MB"};
    const char* progress[] = {"37%", "0%", "100%"};
    for (int i = 1; i <= 3; ++i) {
        CSkinCtrl* box = dlg.FindChild(QString("check%1").arg(i));
        box->SetProperty("show", 1);
        box->SetProperty("text", QString::fromUtf8(names[i - 1]));
        box->SetProperty("change", i != 2);
        box->SetProperty("redshow", i == 3);
        dlg.FindChild(QString("size%1").arg(i))->SetProperty("show", 1);
        dlg.FindChild(QString("size%1").arg(i))->SetProperty("text", QString::fromUtf8(sizes[i - 1]));
        dlg.FindChild(QString("progress%1").arg(i))->SetProperty("show", 1);
        dlg.FindChild(QString("progress%1").arg(i))->SetProperty("text", QString::fromUtf8(progress[i - 1]));
    }
    dlg.FindChild("state")->SetProperty("text", QStringLiteral("包含游戏全部内容，无需再下载补丁"));
}

TEST(SkinRender, VersionDialogShowsItsBackgroundButtonsAndCheckBoxes) {
    test::App();
    CSkinIdTable::Instance().FillProgramRows();
    CBuiltinDialog dlg;
    const QImage bg = LoadPngResource("LIST_BOX_BG");
    test::Realise(dlg, bg.width(), bg.height());
    const QImage& b = dlg.Buffer();
    ASSERT_EQ(b.size(), bg.size());
    EXPECT_EQ(b.pixel(100, 20), bg.pixel(100, 20));
    EXPECT_EQ(b.pixel(25, 73), bg.pixel(25, 73));  // check boxes start hidden
    ExpectFrame(b, dlg.FindChild("ok"), "LIST_BOX_OK", 4, 0);
    ExpectFrame(b, dlg.FindChild("close"), "LIST_BOX_CLOSE", 2, 0);
    EXPECT_EQ(dlg.FindChild("ok")->GetRect(), QRect(bg.width() - 132, bg.height() - 43, 106, 29));

    FillDialog(dlg);
    dlg.FindChild("ok")->SetProperty("enable", 0);
    dlg.Paint();
    ExpectFrame(dlg.Buffer(), dlg.FindChild("check1"), "CHECK", 6, 3);
    ExpectFrame(dlg.Buffer(), dlg.FindChild("check2"), "CHECK", 6, 0);
    ExpectFrame(dlg.Buffer(), dlg.FindChild("ok"), "LIST_BOX_OK", 4, 3);
    // Hover and click a check box through the dialog's mouse handling.
    dlg.OnMouseMove(0, 25, 105);
    ExpectFrame(dlg.Buffer(), dlg.FindChild("check2"), "CHECK", 6, 1);
    dlg.OnLButtonDown(kKeyLButton, 25, 105);
    dlg.OnLButtonUp(0, 25, 105);
    ExpectFrame(dlg.Buffer(), dlg.FindChild("check2"), "CHECK", 6, 4);
    ASSERT_EQ(dlg.notes.size(), 1u);
    EXPECT_EQ(dlg.notes[0].code, 119);
}

TEST(SkinRender, WriteScreenshotsWhenAsked) {
    // Without TESSALI_SKIN_SHOTS the pictures go to a scratch folder: every grab and save still
    // has to succeed, so the run checks the windows render whole.
    QTemporaryDir scratch;
    const char* asked = std::getenv("TESSALI_SKIN_SHOTS");
    const QByteArray path = asked && *asked ? QByteArray(asked) : scratch.path().toUtf8();
    const char* folder = path.constData();
    test::App();
    QDir().mkpath(folder);
    CSkinIdTable::Instance().FillProgramRows();
    {
        CMainLook wnd;
        test::Realise(wnd, 590, 530);
        FillMain(wnd);
        wnd.percent = 62;
        wnd.show();
        wnd.Paint();
        ASSERT_TRUE(wnd.grab().save(QString(folder) + "/main-window.png"));
        wnd.OnMouseMove(0, 471 + 50, 478 + 10);
        wnd.FindChild("state")->SetProperty("text", QStringLiteral("正在下载：完整客户端  62%  1.8MB/s"));
        wnd.FindChild("gobtn")->SetProperty("show", 0);
        wnd.FindChild("stopbtn")->SetProperty("show", 1);
        wnd.FindChild("modifybtn")->SetProperty("enable", 0);
        wnd.Paint();
        ASSERT_TRUE(wnd.grab().save(QString(folder) + "/main-window-downloading.png"));
    }
    {
        CBuiltinDialog dlg;
        const QImage bg = LoadPngResource("LIST_BOX_BG");
        test::Realise(dlg, bg.width(), bg.height());
        FillDialog(dlg);
        dlg.show();
        dlg.Paint();
        ASSERT_TRUE(dlg.grab().save(QString(folder) + "/version-dialog.png"));
        dlg.hide();
    }
    {
        QMenu tray;
        QMenu* file = tray.addMenu(QStringLiteral("文件(&F)"));
        CSkinMenu::AddCommand(file, QStringLiteral("打开下载器"), 32772);
        file->addSeparator();
        CSkinMenu::AddCommand(file, QStringLiteral("退出下载器"), 32773);
        CSkinMenu menu;
        menu.SetImages(LoadPngResource("menuselected"), LoadPngResource("menuexit"));
        menu.Load(&tray);
        file->setActiveAction(file->actions().front());
        file->resize(file->sizeHint());
        ASSERT_TRUE(file->grab().save(QString(folder) + "/tray-menu.png"));
    }
}

}  // namespace
}  // namespace tessali::skin
