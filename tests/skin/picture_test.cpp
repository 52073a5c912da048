// Pictures and texts: how much of an image is drawn where, and the text properties.
#include <gtest/gtest.h>

#include <QDir>

#include "common/temp_dir.h"
#include "skin/skin_image.h"
#include "skin/skin_reader.h"
#include "skin/skin_text.h"
#include "skin_harness.h"

namespace tessali::skin {
namespace {

using test::Element;

// A 40 x 10 image whose every column has its own colour.
QImage Columns(int w = 40, int h = 10) {
    QImage image(w, h, QImage::Format_ARGB32);
    for (int x = 0; x < w; ++x) {
        for (int y = 0; y < h; ++y) image.setPixel(x, y, qRgba(10 + x * 5, 200 - y * 10, 7 * x % 256, 255));
    }
    return image;
}

QImage Canvas(int w, int h) {
    QImage canvas(w, h, QImage::Format_ARGB32);
    canvas.fill(0xFF000000u);
    return canvas;
}

QImage Draw(CSkinCtrl& c, int w, int h) {
    QImage canvas = Canvas(w, h);
    QPainter p(&canvas);
    c.Draw(p);
    return canvas;
}

struct Pic {
    explicit Pic(const std::string& xml, int pw = 100, int ph = 40) {
        test::App();
        pic.LoadFromNode(*Element(xml), nullptr);
        pic.SetProperty("HBITMAP", Columns());
        pic.Layout(pw, ph);
    }
    CSkinImage pic;
};

TEST(SkinPicture, PercentCutsTheImageAndTheRectangleAlike) {
    Pic p("<pic id=\"bar\" x=\"10\" y=\"5\" width=\"40\" height=\"10\"/>");
    const QImage image = Columns();
    QImage full = Draw(p.pic, 100, 40);
    EXPECT_EQ(full.pixel(10 + 39, 5 + 9), image.pixel(39, 9));
    p.pic.SetProperty("percent", 50);
    QImage half = Draw(p.pic, 100, 40);
    EXPECT_EQ(half.pixel(10, 5), image.pixel(0, 0));
    EXPECT_EQ(half.pixel(10 + 19, 5 + 3), image.pixel(19, 3));
    EXPECT_EQ(half.pixel(10 + 20, 5 + 3), 0xFF000000u);
    p.pic.SetProperty("percent", 0);
    EXPECT_EQ(Draw(p.pic, 100, 40), Canvas(100, 40));
    p.pic.SetProperty("percent", 100);
    p.pic.SetProperty("show", 0);
    EXPECT_EQ(Draw(p.pic, 100, 40), Canvas(100, 40));
}

TEST(SkinPicture, OffsetIsAPercentOfTheParentWidth) {
    Pic p("<pic id=\"bar\" width=\"40\" height=\"10\"/>", 200, 40);
    p.pic.SetProperty("posx_percent", 25);
    EXPECT_EQ(p.pic.Offset(), 50);
    QImage out = Draw(p.pic, 200, 40);
    EXPECT_EQ(out.pixel(50, 0), Columns().pixel(0, 0));
    EXPECT_EQ(out.pixel(49, 0), 0xFF000000u);
    EXPECT_EQ(p.pic.SetProperty("getwidth", 0), 40);
}

TEST(SkinPicture, HorizontalTilingRepeatsTheImageUnscaledAcross) {
    Pic p("<pic id=\"t\" width=\"0\" height=\"10\" horizontal=\"tiled\"/>", 100, 40);
    ASSERT_EQ(p.pic.GetRect(), QRect(0, 0, 100, 10));
    QImage out = Draw(p.pic, 100, 40);
    const QImage image = Columns();
    EXPECT_EQ(out.pixel(3, 2), image.pixel(3, 2));
    EXPECT_EQ(out.pixel(40 + 3, 2), image.pixel(3, 2));
    EXPECT_EQ(out.pixel(80 + 19, 2), image.pixel(19, 2));  // the last copy is cut at 20
}

TEST(SkinPicture, TilingBothWaysFillsTheRectangle) {
    Pic p("<pic id=\"t\" horizontal=\"tiled\" vertical=\"tiled\"/>", 100, 25);
    QImage out = Draw(p.pic, 100, 25);
    const QImage image = Columns();
    EXPECT_EQ(out.pixel(41, 11), image.pixel(1, 1));
    EXPECT_EQ(out.pixel(99, 24), image.pixel(19, 4));
}

TEST(SkinPicture, WithoutAnImageOnlyTheChildrenAreDrawn) {
    test::App();
    CSkinImage pic;
    pic.LoadFromNode(
        *Element("<pic x=\"10\" y=\"10\" width=\"50\" height=\"20\"><pic id=\"c\" x=\"2\" y=\"3\" "
                 "width=\"40\" height=\"10\"/></pic>"),
        nullptr);
    pic.Children().front()->SetProperty("HBITMAP", Columns());
    pic.Layout(100, 100);
    QImage out = Draw(pic, 100, 100);
    EXPECT_EQ(out.pixel(12, 13), Columns().pixel(0, 0));
    EXPECT_EQ(out.pixel(11, 12), 0xFF000000u);
}

// A 1 x 1 animated GIF of two frames: red, then blue.
QByteArray TwoFrameGif() {
    const unsigned char bytes[] = {
        'G',  'I',  'F', '8', '9', 'a',  1, 0, 1, 0, 0x80, 0, 0,           // screen 1 x 1, two global colours
        0xFF, 0,    0,   0,   0,   0xFF,                                   // red, blue
        0x21, 0xF9, 4,   0,   10,  0,    0, 0,                             // frame delay
        0x2C, 0,    0,   0,   0,   1,    0, 1, 0, 0, 2,    2, 0x44, 1, 0,  // frame 1: colour 0
        0x21, 0xF9, 4,   0,   10,  0,    0, 0,                             //
        0x2C, 0,    0,   0,   0,   1,    0, 1, 0, 0, 2,    2, 0x4C, 1, 0,  // frame 2: colour 1
        0x3B};
    return QByteArray(reinterpret_cast<const char*>(bytes), sizeof bytes);
}

TEST(SkinGif, AdvancesOneFramePerRepaintFromTheSkinFolder) {
    test::App();
    tessali::test::TempDir dir;
    CSkinPaths::Instance().SetAppFolder(QString::fromStdString(dir.Path()));
    QDir().mkpath(QString::fromStdString(dir.Path()) + "skin/DefaultSkin");
    tessali::test::WriteFile(dir.Path() + "skin/DefaultSkin/dots.gif", TwoFrameGif().toStdString());
    CSkinGif gif;
    gif.LoadFromNode(*Element("<gif id=\"g\" x=\"1\" y=\"1\" width=\"1\" height=\"1\" gif=\"dots.gif\"/>"),
                     nullptr);
    CSkinPaths::Instance().SetAppFolder(QString());
    ASSERT_EQ(gif.FrameCount(), 2);
    gif.Layout(10, 10);
    // Each repaint draws the frame selected by the previous one, then selects the next.
    std::vector<QRgb> shown;
    for (int i = 0; i < 5; ++i) shown.push_back(Draw(gif, 4, 4).pixel(1, 1));
    EXPECT_EQ(shown, (std::vector<QRgb>{0xFFFF0000u, 0xFFFF0000u, 0xFF0000FFu, 0xFFFF0000u, 0xFF0000FFu}));
    gif.SetProperty("show", 0);
    EXPECT_EQ(Draw(gif, 4, 4), Canvas(4, 4));
}

TEST(SkinGif, MissingFileGivesAnEmptyAnimation) {
    test::App();
    CSkinGif gif;
    EXPECT_EQ(
        gif.LoadFromNode(*Element("<gif id=\"g\" width=\"4\" height=\"4\" gif=\"nowhere.gif\"/>"), nullptr),
        1);
    EXPECT_EQ(gif.FrameCount(), 0);
    gif.Layout(10, 10);
    EXPECT_EQ(Draw(gif, 4, 4), Canvas(4, 4));
}

TEST(SkinText, WidthIsLimitedByTheLaidOutWidth) {
    test::App();
    CSkinText narrow;
    narrow.LoadFromNode(*Element("<txt id=\"t\" width=\"30\" height=\"12\" face=\"宋体\" size=\"9\"/>"),
                        nullptr);
    narrow.Layout(300, 100);
    narrow.SetProperty("text", QStringLiteral("a rather long line of text for thirty pixels"));
    EXPECT_EQ(narrow.SetProperty("getwidth", 0), 30);
    EXPECT_EQ(narrow.SetProperty("rectwidth", 0), 30);

    CSkinText unlaid;
    unlaid.LoadFromNode(*Element("<txt id=\"t\" width=\"30\" face=\"宋体\" size=\"9\"/>"), nullptr);
    unlaid.SetProperty("text", QStringLiteral("a rather long line of text for thirty pixels"));
    EXPECT_EQ(unlaid.SetProperty("getwidth", 0), 30);  // skin width when not laid out

    CSkinText free;
    free.LoadFromNode(*Element("<txt id=\"t\" face=\"宋体\" size=\"9\"/>"), nullptr);
    free.SetProperty("text", QStringLiteral("a rather long line of text for thirty pixels"));
    EXPECT_GT(free.SetProperty("getwidth", 0), 100);
}

TEST(SkinText, DrawsInItsColourAndAlertColourAndNothingWhenEmpty) {
    test::App();
    CSkinText t;
    t.LoadFromNode(
        *Element("<txt id=\"t\" x=\"2\" y=\"2\" face=\"宋体\" size=\"9\" color=\"0xffffC000\" bold=\"1\" "
                 "underline=\"1\"/>"),
        nullptr);
    t.Layout(120, 30);
    EXPECT_TRUE(t.Font().bold());
    EXPECT_FALSE(t.Font().underline());  // underline is read only without bold
    EXPECT_EQ(Draw(t, 120, 30), Canvas(120, 30));
    t.SetProperty("text", QStringLiteral("正在初始化"));
    auto count = [](const QImage& img, QRgb colour) {
        int n = 0;
        for (int y = 0; y < img.height(); ++y)
            for (int x = 0; x < img.width(); ++x) n += img.pixel(x, y) == colour;
        return n;
    };
    QImage normal = Draw(t, 120, 30);
    EXPECT_GT(count(normal, 0xFFFFC000u), 5);
    t.SetProperty("redshow", 1);
    QImage alert = Draw(t, 120, 30);
    EXPECT_EQ(count(alert, 0xFFFFC000u), 0);
    EXPECT_GT(count(alert, 0xFFFF0000u), 5);
    t.SetProperty("show", 0);
    EXPECT_EQ(Draw(t, 120, 30), Canvas(120, 30));
}

}  // namespace
}  // namespace tessali::skin
