// Pixels of the main window: the progress bar at (24, 486), the dimming while the version dialog
// is open, and the rounded top corners.

#include <gtest/gtest.h>

#include "app_harness.h"
#include "skin/skin_reader.h"

namespace tessali::app::test {
namespace {

const EntrySpec kClient{"TessaliClient.rar", Hash('A'), 3000, 1, 0, "1", "", "The whole game"};
const EntrySpec kPatch{"Patch103.rar", Hash('B'), 2000, 0, 0, "2", "", ""};

TEST(MainWndPaint, PercentZeroDrawsNoBarAndHundredTheWholeBar) {
    CWindowFixture f(ManifestXml({kClient}));
    ASSERT_TRUE(f.Start());
    CMainWnd& w = *f.wnd;
    const QImage bar = w.BarPicture();
    ASSERT_EQ(bar.size(), QSize(430, 17));
    const QImage bg = skin::LoadPngResource(QStringLiteral("BG"));
    w.SetPercent(0);
    w.Paint();
    for (int x = 0; x < bar.width(); x += 7)
        for (int y = 0; y < 17; y += 4)
            ASSERT_EQ(w.Buffer().pixel(24 + x, 486 + y), bg.pixel(24 + x, 486 + y));
    w.SetPercent(100);
    w.Paint();
    for (int x = 0; x < bar.width(); ++x)
        for (int y = 0; y < 17; ++y)
            ASSERT_EQ(w.Buffer().pixel(24 + x, 486 + y), bar.pixel(x, y)) << x << "," << y;
    // Nothing beyond its 430 x 17 pixels.
    EXPECT_EQ(w.Buffer().pixel(24 + 430, 486 + 8), bg.pixel(24 + 430, 486 + 8));
    EXPECT_EQ(w.Buffer().pixel(24 + 100, 486 + 17), bg.pixel(24 + 100, 486 + 17));
    // Half: the left half of the picture, unstretched.
    w.SetPercent(50.9);
    w.Paint();
    EXPECT_EQ(w.Buffer().pixel(24 + 200, 486 + 8), bar.pixel(200, 8));
    EXPECT_EQ(w.Buffer().pixel(24 + 300, 486 + 8), bg.pixel(24 + 300, 486 + 8));
}

TEST(MainWndPaint, TheDialogDimsTheWindowByHalfPlus45) {
    CWindowFixture f(ManifestXml({kClient, kPatch}));
    QImage dimmed;
    f.onDialog = [&](CSkinSelectVersionDlg&) {
        dimmed = f.wnd->Buffer().copy();
        EXPECT_EQ(f.wnd->DimPicture().size(), QSize(590 - 9, 530 - 34));
        return 0;
    };
    f.desktop.freeBytes = 0;
    ASSERT_TRUE(f.Start());
    ASSERT_FALSE(dimmed.isNull());
    CMainWnd& w = *f.wnd;
    EXPECT_FALSE(w.IsDimmed());
    w.Paint();
    const QImage plain = w.Buffer();
    // Away from the state line, whose text changed after the dialog.
    const QPoint inside[] = {{4, 29}, {585, 525}, {300, 200}, {100, 480}, {520, 470}, {30, 100}};
    for (QPoint p : inside) {
        const QRgb c = plain.pixel(p);
        EXPECT_EQ(dimmed.pixel(p), qRgba(qRed(c) / 2 + 45, qGreen(c) / 2 + 45, qBlue(c) / 2 + 45, 255))
            << p.x() << "," << p.y();
    }
    const QPoint outside[] = {{3, 100}, {586, 100}, {300, 28}, {300, 526}, {20, 10}};
    for (QPoint p : outside) EXPECT_EQ(dimmed.pixel(p), plain.pixel(p)) << p.x() << "," << p.y();
}

TEST(MainWndPaint, TheTopCornersAreCutWhereTheBackgroundShows) {
    CWindowFixture f(ManifestXml({kClient}));
    ASSERT_TRUE(f.Start());
    CMainWnd& w = *f.wnd;
    w.Paint();
    const QRegion mask = w.mask();
    ASSERT_FALSE(mask.isEmpty());
    EXPECT_FALSE(mask.contains(QPoint(0, 0)));
    EXPECT_FALSE(mask.contains(QPoint(589, 0)));
    EXPECT_TRUE(mask.contains(QPoint(9, 9)));
    EXPECT_TRUE(mask.contains(QPoint(300, 0)));
    EXPECT_TRUE(mask.contains(QPoint(0, 529)));  // the bottom stays square
    EXPECT_TRUE(mask.contains(QPoint(589, 529)));
}

TEST(MainWndPaint, TheStartupAnimationCyclesItsDots) {
    CWindowFixture f(ManifestXml({kClient}));
    f.engine.holdInit = true;
    QTimer::singleShot(0, [&] {
        std::vector<QString> texts;
        for (int i = 0; i < 5; ++i) {
            f.wnd->OnTimer(kTimerStartup);
            texts.push_back(f.wnd->StateText());
        }
        const QString base = QStringLiteral("正在初始化，请稍候");
        EXPECT_EQ(texts, (std::vector<QString>{base + "·", base + "··", base + "···", base, base + "·"}));
        EXPECT_EQ(f.wnd->TitleText(), QStringLiteral("Tessali下载器启动中"));
        EXPECT_FALSE(f.wnd->Control("gobtn")->IsEnabled());
        EXPECT_FALSE(f.wnd->Control("modifybtn")->IsEnabled());
        EXPECT_TRUE(f.wnd->TimerActive(kTimerStartup));
        f.engine.initGate.Set();
    });
    ASSERT_TRUE(f.Start());
}

}  // namespace
}  // namespace tessali::app::test

namespace tessali::app::test {
namespace {

// At whatever ratio the screen has (ctest also runs these scaled by 2 and 1.5): the bar comes from
// the picture of that density, the dimming covers the same logical area and the corners stay cut.
TEST(MainWndScaled, BarDimmingAndCornersFollowTheBuffersRatio) {
    CWindowFixture f(ManifestXml({kClient, kPatch}));
    QImage dimmed;
    f.onDialog = [&](CSkinSelectVersionDlg&) {
        dimmed = f.wnd->Buffer().copy();
        return 0;
    };
    ASSERT_TRUE(f.Start());
    CMainWnd& w = *f.wnd;
    w.Paint();
    const QImage plain = w.Buffer();
    const qreal r = plain.devicePixelRatio();
    ASSERT_EQ(r, w.devicePixelRatioF());
    ASSERT_EQ(dimmed.size(), plain.size());
    const auto at = [r](int x, int y) { return QPoint(static_cast<int>(x * r), static_cast<int>(y * r)); };
    const QPoint inside[] = {at(4, 29), at(300, 200), at(30, 100), at(585, 525)};
    for (QPoint p : inside) {
        const QRgb c = plain.pixel(p);
        EXPECT_EQ(dimmed.pixel(p), qRgba(qRed(c) / 2 + 45, qGreen(c) / 2 + 45, qBlue(c) / 2 + 45, 255))
            << p.x() << "," << p.y();
    }
    const QPoint outside[] = {at(3, 100), at(300, 28), at(300, 526)};
    for (QPoint p : outside) EXPECT_EQ(dimmed.pixel(p), plain.pixel(p)) << p.x() << "," << p.y();

    w.SetPercent(50);
    w.Paint();
    const QImage bar = skin::LoadPngResource(QStringLiteral("BAR"));
    const QImage bar2x = skin::LoadPngResource2x(QStringLiteral("BAR"), bar);
    const QImage bg = skin::LoadPngResource(QStringLiteral("BG"));
    if (r == 1.0) {
        EXPECT_EQ(w.Buffer().pixel(24 + 100, 486 + 8), bar.pixel(100, 8));
    } else if (r == 2.0) {
        for (int x = 0; x < 2 * 215; x += 3)
            for (int y = 0; y < 34; ++y)
                ASSERT_EQ(w.Buffer().pixel(48 + x, 972 + y), bar2x.pixel(x, y)) << x << "," << y;
    }
    // Beyond half the bar the trough shows, at any ratio.
    const QRgb past = w.Buffer().pixel(at(24 + 300, 486 + 8));
    EXPECT_LT(std::abs(qGray(past) - qGray(bg.pixel(24 + 300, 486 + 8))), 8);
    EXPECT_GT(std::abs(qGray(past) - qGray(bar.pixel(300, 8))), 40);
    const QRegion mask = w.mask();
    EXPECT_FALSE(mask.contains(QPoint(0, 0)));
    EXPECT_FALSE(mask.contains(QPoint(589, 0)));
    EXPECT_TRUE(mask.contains(QPoint(9, 9)));
    EXPECT_TRUE(mask.contains(QPoint(589, 529)));
}

}  // namespace
}  // namespace tessali::app::test
