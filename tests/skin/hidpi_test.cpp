// Scaled screens: the 2x pictures are found and checked, controls draw from them on surfaces of
// two device pixels per logical pixel (frames, tiles, stretches and cuts in the right place), and
// the windows' buffers take the screen's ratio. The "SkinScaled" cases hold at any ratio; ctest
// also runs them with QT_SCALE_FACTOR=2 and 1.5.
#include <gtest/gtest.h>

#include <QGuiApplication>

#include "common/temp_dir.h"
#include "skin/skin_image.h"
#include "skin/skin_reader.h"
#include "skin_harness.h"

namespace tessali::skin {
namespace {

using test::CBuiltinDialog;
using test::CBuiltinMainWnd;

// A canvas of w x h logical pixels at the given ratio, filled with opaque black.
QImage Canvas(int w, int h, qreal ratio) {
    QImage canvas(qCeil(w * ratio), qCeil(h * ratio), QImage::Format_ARGB32);
    canvas.setDevicePixelRatio(ratio);
    canvas.fill(0xFF000000u);
    return canvas;
}

// Every device pixel of the control's rectangle on a 2x canvas is the 2x strip's frame k.
void Expect2xFrame(const QImage& canvas, const CSkinCtrl* c, int frames, int k) {
    ASSERT_NE(c, nullptr);
    const QImage& art = c->Image2x();
    ASSERT_FALSE(art.isNull()) << c->Id().toStdString();
    const QRect r = c->GetRect();
    const int frameWidth = art.width() / frames;
    ASSERT_EQ(frameWidth, 2 * r.width());
    for (int y = 0; y < 2 * r.height(); ++y) {
        for (int x = 0; x < 2 * r.width(); ++x) {
            ASSERT_EQ(canvas.pixel(2 * r.x() + x, 2 * r.y() + y), art.pixel(k * frameWidth + x, y))
                << c->Id().toStdString() << " frame " << k << " at " << x << "," << y;
        }
    }
}

// Whether the 2x picture holds detail that an enlargement of the 1x one cannot: some 2 x 2 block
// whose pixels differ from each other.
bool HasFinerDetail(const QImage& art2x) {
    for (int y = 0; y + 1 < art2x.height(); y += 2) {
        for (int x = 0; x + 1 < art2x.width(); x += 2) {
            const QRgb a = art2x.pixel(x, y);
            if (art2x.pixel(x + 1, y) != a || art2x.pixel(x, y + 1) != a || art2x.pixel(x + 1, y + 1) != a)
                return true;
        }
    }
    return false;
}

TEST(SkinArt, EveryBuiltinPictureHasItsTwiceAsLargeTwinDrawnAtThatResolution) {
    test::App();
    const char* names[] = {
        "BG",          "IMG01",    "MENU01",       "MENU03",      "MENU04",         "MENU05",
        "MENU06",      "GOBTN",    "OPENBTN",      "STOPBTN",     "MODIFYBTN",      "MIN",
        "CLOSE",       "PAGE",     "BAR",          "LIST_BOX_BG", "LIST_BOX_CLOSE", "CHECK",
        "LIST_BOX_OK", "menuexit", "menuselected", "ICON"};
    for (const char* name : names) {
        const QImage base = LoadPngResource(name);
        ASSERT_FALSE(base.isNull()) << name;
        const QImage art = LoadPngResource2x(name, base);
        ASSERT_EQ(art.size(), base.size() * 2) << name;
        EXPECT_TRUE(HasFinerDetail(art)) << name << " is only an enlargement";
    }
    // A twin is only taken for the picture it was drawn for.
    EXPECT_TRUE(LoadPngResource2x("GOBTN", LoadPngResource("MIN")).isNull());
    EXPECT_TRUE(LoadPngResource2x("NOSUCH", LoadPngResource("MIN")).isNull());
    EXPECT_TRUE(LoadPngResource2x("GOBTN", QImage()).isNull());
}

TEST(SkinArt, PictureFilesFindTheirTwinBesideThemOnlyAtTwiceTheSize) {
    test::App();
    tessali::test::TempDir dir;
    QImage one(4, 3, QImage::Format_ARGB32);
    one.fill(0xFF102030u);
    QImage two(8, 6, QImage::Format_ARGB32);
    two.fill(0xFF405060u);
    ASSERT_TRUE(one.save(QString::fromStdString(dir.File("slide.png"))));
    ASSERT_TRUE(two.save(QString::fromStdString(dir.File("slide@2x.png"))));
    const QString path = QString::fromStdString(dir.File("slide.png"));
    EXPECT_EQ(LoadImageFile2x(path, LoadImageFile(path)).pixel(7, 5), 0xFF405060u);
    // Wrong size: refused; no twin: nothing.
    ASSERT_TRUE(two.copy(0, 0, 7, 6).save(QString::fromStdString(dir.File("odd@2x.png"))));
    ASSERT_TRUE(one.save(QString::fromStdString(dir.File("odd.png"))));
    const QString odd = QString::fromStdString(dir.File("odd.png"));
    EXPECT_TRUE(LoadImageFile2x(odd, LoadImageFile(odd)).isNull());
    ASSERT_TRUE(one.save(QString::fromStdString(dir.File("alone.png"))));
    const QString alone = QString::fromStdString(dir.File("alone.png"));
    EXPECT_TRUE(LoadImageFile2x(alone, LoadImageFile(alone)).isNull());
}

TEST(SkinHiDpi, ButtonsDrawTheirStatesFramesFromThe2xStripAtTheirLogicalPlaces) {
    test::App();
    CBuiltinMainWnd wnd;
    test::Realise(wnd, 590, 530);
    CSkinCtrl* go = wnd.FindChild("gobtn");
    CSkinCtrl* close = wnd.FindChild("close");
    // Layout is in logical pixels whatever the surface.
    ASSERT_EQ(go->GetRect(), QRect(471, 478, 106, 29));
    ASSERT_EQ(close->GetRect(), QRect(563, 4, 21, 21));
    QImage canvas = Canvas(590, 530, 2.0);
    {
        QPainter p(&canvas);
        for (CSkinCtrl* c : wnd.Children()) c->Draw(p);
    }
    Expect2xFrame(canvas, go, 4, 0);
    Expect2xFrame(canvas, close, 2, 0);
    Expect2xFrame(canvas, wnd.FindChild("menu4"), 2, 0);
    // The background comes from BG@2x too, down to its odd device pixels.
    const QImage& bg2x = wnd.FindChild("bg")->Image2x();
    EXPECT_EQ(canvas.pixel(601, 841), bg2x.pixel(601, 841));
    EXPECT_EQ(canvas.pixel(1, 1001), bg2x.pixel(1, 1001));

    go->SetProperty("enable", 0);
    close->OnMouseEnter();
    {
        QPainter p(&canvas);
        go->Draw(p);
        close->Draw(p);
    }
    Expect2xFrame(canvas, go, 4, 3);
    Expect2xFrame(canvas, close, 2, 1);
}

// A 4 x 2 picture and its 8 x 4 twin whose every pixel has its own colour, as files.
struct TwinFiles {
    TwinFiles() {
        QImage one(4, 2, QImage::Format_ARGB32);
        one.fill(0xFF808080u);
        QImage two(8, 4, QImage::Format_ARGB32);
        for (int y = 0; y < 4; ++y)
            for (int x = 0; x < 8; ++x) two.setPixel(x, y, qRgba(20 + x * 25, 30 + y * 50, 99, 255));
        path = QString::fromStdString(dir.File("tile.png"));
        EXPECT_TRUE(one.save(path));
        EXPECT_TRUE(two.save(QString::fromStdString(dir.File("tile@2x.png"))));
        art = two;
    }
    tessali::test::TempDir dir;
    QString path;
    QImage art;
};

TEST(SkinHiDpi, TiledStretchedAndCutPicturesTakeTheirSourceFromThe2xPixels) {
    test::App();
    TwinFiles files;
    test::CRecordingCallBack owner;
    auto load = [&](const char* attributes) {
        tinyxml2::XMLDocument doc;
        doc.Parse((std::string("<pic id=\"p\" x=\"1\" y=\"1\" ") + attributes + "/>").c_str());
        auto pic = std::make_unique<CSkinImage>();
        pic->LoadFromNode(*doc.RootElement(), &owner);
        pic->SetProperty("imagepath", files.path);
        pic->Layout(20, 10);
        return pic;
    };
    auto draw = [](CSkinCtrl& c) {
        QImage canvas = Canvas(20, 10, 2.0);
        QPainter p(&canvas);
        c.Draw(p);
        return canvas;
    };
    // Tiled across: the second tile starts again at the twin's first column.
    auto tiled = load("width=\"10\" height=\"2\" horizontal=\"tiled\"");
    ASSERT_FALSE(tiled->Image2x().isNull());
    QImage c = draw(*tiled);
    for (int x = 0; x < 8; ++x) {
        EXPECT_EQ(c.pixel(2 + x, 3), files.art.pixel(x, 1)) << x;
        EXPECT_EQ(c.pixel(2 + 8 + x, 3), files.art.pixel(x, 1)) << x;
    }
    // Drawn at its own size: one device pixel for each of the twin's.
    auto plain = load("width=\"4\" height=\"2\"");
    c = draw(*plain);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 8; ++x) EXPECT_EQ(c.pixel(2 + x, 2 + y), files.art.pixel(x, y)) << x << "," << y;
    // Cut to half: the left half of the twin, and nothing right of it.
    plain->SetProperty("percent", 50);
    c = draw(*plain);
    EXPECT_EQ(c.pixel(2 + 3, 2 + 1), files.art.pixel(3, 1));
    EXPECT_EQ(c.pixel(2 + 4, 2 + 1), 0xFF000000u);
}

TEST(SkinScaled, TheMainWindowsBufferHasTheScreensRatioAndItsArt) {
    test::App();
    CBuiltinMainWnd wnd;
    test::Realise(wnd, 590, 530);
    wnd.show();
    const qreal ratio = wnd.devicePixelRatioF();
    const QImage& b = wnd.Buffer();
    ASSERT_EQ(b.devicePixelRatio(), ratio);
    ASSERT_EQ(b.size(), QSize(qCeil(590 * ratio), qCeil(530 * ratio)));
    CSkinCtrl* go = wnd.FindChild("gobtn");
    EXPECT_EQ(go->GetRect(), QRect(471, 478, 106, 29));
    if (ratio == 1.0) {
        EXPECT_EQ(b.pixel(471 + 50, 478 + 10), test::FramePixel(go->Image(), 4, 0, 50, 10));
    } else if (ratio == 2.0) {
        Expect2xFrame(b, go, 4, 0);
    } else {
        // Between the two the 2x picture is scaled down smoothly: close to it, never to the 1x one
        // alone, checked on the button's sharp label edges.
        int near2x = 0;
        for (int x = 0; x < 106; ++x) {
            const QRgb got = b.pixel(qFloor((471 + x + 0.5) * ratio), qFloor((478 + 14.5) * ratio));
            const QRgb want = go->Image2x().pixel(2 * x + 1, 29);
            near2x += std::abs(qGray(got) - qGray(want)) < 60;
        }
        EXPECT_GT(near2x, 80);
    }
    // The window shows the buffer one to one.
    const QImage shown = wnd.grab().toImage().convertToFormat(QImage::Format_ARGB32);
    ASSERT_EQ(shown.size(), b.size());
    EXPECT_EQ(shown.pixel(b.width() * 9 / 10, b.height() * 19 / 20),
              b.pixel(b.width() * 9 / 10, b.height() * 19 / 20));
}

TEST(SkinScaled, TheDialogsBufferHasTheScreensRatio) {
    test::App();
    CBuiltinDialog dlg;
    test::Realise(dlg, 520, 260);
    dlg.show();
    const qreal ratio = dlg.devicePixelRatioF();
    ASSERT_EQ(dlg.Buffer().devicePixelRatio(), ratio);
    ASSERT_EQ(dlg.Buffer().size(), QSize(qCeil(520 * ratio), qCeil(260 * ratio)));
    CSkinCtrl* ok = dlg.FindChild("ok");
    EXPECT_EQ(ok->GetRect(), QRect(520 - 132, 260 - 43, 106, 29));
    if (ratio == 2.0)
        Expect2xFrame(dlg.Buffer(), ok, 4, 0);
    dlg.hide();
}

}  // namespace
}  // namespace tessali::skin
