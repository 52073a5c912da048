// The skinned menu: conversion of a menu's items, measuring, and the pictures of items.
#include <gtest/gtest.h>

#include <QFontMetrics>
#include <QMenu>
#include <QPainter>

#include "skin/skin_menu.h"
#include "skin/skin_reader.h"
#include "skin_harness.h"

namespace tessali::skin {
namespace {

struct Tray {
    Tray() {
        test::App();
        file = root.addMenu(QStringLiteral("文件(&F)"));
        open = CSkinMenu::AddCommand(file, QStringLiteral("打开下载器(&O)"), 32772);
        separator = file->addSeparator();
        exit = CSkinMenu::AddCommand(file, QStringLiteral("退出下载器"), 32773);
        keyed = CSkinMenu::AddCommand(file, QStringLiteral("设置\tCtrl+S"), 40001);
        longText = CSkinMenu::AddCommand(file, QString(80, QChar(u'长')), 40002);
        help = file->addMenu(QStringLiteral("帮助(&H)"));
        CSkinMenu::AddCommand(help, QStringLiteral("关于"), 40003);
        other = file->addMenu(QStringLiteral("其他"));
        selection = QImage(8, 24, QImage::Format_ARGB32);
        selection.fill(0xFF604020u);
        icon = QImage(16, 16, QImage::Format_ARGB32);
        icon.fill(0xFFC04030u);
        menu.SetImages(selection, icon);
        menu.Load(&root, {{QStringLiteral("帮助(&H)"), true}, {QStringLiteral("工具"), false}});
    }
    QImage Draw(const QAction* action, bool selected, int w = 160) {
        const int h = menu.MeasureItem(action).height();
        QImage out(w, h, QImage::Format_ARGB32);
        out.fill(0xFF000000u);
        QPainter p(&out);
        menu.DrawItem(p, QRect(0, 0, w, h), action, selected);
        return out;
    }
    test::CAppGuard app;
    QMenu root;
    QMenu* file;
    QMenu* help;
    QMenu* other;
    QAction *open, *separator, *exit, *keyed, *longText;
    QImage selection, icon;
    CSkinMenu menu;
};

TEST(SkinMenu, ConversionKeepsTextWithoutItsFirstAmpersandAndTheCommandId) {
    Tray t;
    ASSERT_NE(t.menu.ItemOf(t.open), nullptr);
    EXPECT_EQ(t.menu.ItemOf(t.open)->text, QStringLiteral("打开下载器(O)"));
    EXPECT_EQ(t.menu.ItemOf(t.open)->id, 32772);
    EXPECT_EQ(t.menu.ItemOf(t.exit)->id, 32773);
    EXPECT_EQ(t.menu.ItemOf(t.separator), nullptr);
    EXPECT_TRUE(t.menu.IsSeparator(t.separator));
    EXPECT_EQ(t.menu.ItemOf(t.longText)->text.size(), 80);
    // Popups: a row of the table gives a record (and may gray the entry); others get none.
    EXPECT_NE(t.menu.ItemOf(t.help->menuAction()), nullptr);
    EXPECT_FALSE(t.help->menuAction()->isEnabled());
    EXPECT_EQ(t.menu.ItemOf(t.other->menuAction()), nullptr);
    EXPECT_TRUE(t.other->menuAction()->isEnabled());
    // Submenus are converted too.
    EXPECT_EQ(t.menu.ItemOf(t.help->actions().front())->id, 40003);
    EXPECT_EQ(t.file->style(), t.root.style());
}

TEST(SkinMenu, MeasuringFollowsTheMenuLook) {
    Tray t;
    const CSkinMenuLook& look = CSkinMenuLook::Instance();
    EXPECT_EQ(t.menu.MeasureItem(t.separator).height(), 10);
    const QSize exit = t.menu.MeasureItem(t.exit);
    EXPECT_EQ(exit.height(), 24);
    EXPECT_EQ(exit.width(),
              QFontMetrics(look.Font()).horizontalAdvance(QStringLiteral("退出下载器")) + 2 + 24);
    EXPECT_EQ(t.menu.MeasureItem(t.keyed).width(), 24 + 85 + 50);
    EXPECT_EQ(t.menu.MeasureItem(t.longText).width(), 300);
}

TEST(SkinMenu, MenuWidgetSizesItsItemsThroughTheLook) {
    Tray t;
    // The widest item is the 300 limit; seven items: five commands/popups of 24 and one separator.
    const QSize hint = t.file->sizeHint();
    EXPECT_GE(hint.width(), 300);
    EXPECT_EQ(hint.height(), 6 * 24 + 10);
    // A short menu is as wide as its widest label measures, plus the desktop's check-mark room, so
    // the label drawn from 24 + 8 fits.
    QMenu small;
    QAction* exit = CSkinMenu::AddCommand(&small, QStringLiteral("退出下载器"), 32773);
    t.menu.Load(&small);
    const int measured = t.menu.MeasureItem(exit).width();
    EXPECT_GE(small.sizeHint().width(), measured);
    EXPECT_GE(
        small.sizeHint().width(),
        24 + 8 +
            QFontMetrics(CSkinMenuLook::Instance().Font()).horizontalAdvance(QStringLiteral("退出下载器")));
    EXPECT_EQ(small.sizeHint().height(), 24);
}

TEST(SkinMenu, ItemPicturesUseTheStripSelectionAndIcon) {
    Tray t;
    const CSkinMenuLook& look = CSkinMenuLook::Instance();
    const QImage plain = t.Draw(t.open, false);
    EXPECT_EQ(plain.pixel(2, 2), look.stripColour);
    EXPECT_EQ(plain.pixel(150, 2), look.background);
    EXPECT_EQ(plain.pixel(150, 22), look.background);
    const QImage selected = t.Draw(t.open, true);
    EXPECT_EQ(selected.pixel(2, 2), 0xFF604020u);
    EXPECT_EQ(selected.pixel(157, 21), 0xFF604020u);
    // The exit item carries the icon centred in the strip.
    const QImage exit = t.Draw(t.exit, false);
    EXPECT_EQ(exit.pixel(4, 4), 0xFFC04030u);
    EXPECT_EQ(exit.pixel(19, 19), 0xFFC04030u);
    EXPECT_EQ(exit.pixel(2, 2), look.stripColour);
    EXPECT_EQ(plain.pixel(12, 12), look.stripColour);
    t.exit->setCheckable(true);
    t.exit->setChecked(true);
    EXPECT_EQ(t.Draw(t.exit, false).pixel(12, 12), look.stripColour);
}

TEST(SkinMenu, TextColourFollowsTheItemState) {
    Tray t;
    const CSkinMenuLook& look = CSkinMenuLook::Instance();
    // Text is antialiased: some pixel of the label comes close to the state's colour.
    auto has = [](const QImage& img, QRgb colour) {
        for (int y = 0; y < img.height(); ++y) {
            for (int x = 24; x < img.width(); ++x) {
                const QRgb p = img.pixel(x, y);
                if (std::abs(qRed(p) - qRed(colour)) < 16 && std::abs(qGreen(p) - qGreen(colour)) < 16 &&
                    std::abs(qBlue(p) - qBlue(colour)) < 16)
                    return true;
            }
        }
        return false;
    };
    EXPECT_TRUE(has(t.Draw(t.open, false), look.textColour));
    EXPECT_TRUE(has(t.Draw(t.open, true), look.selectedTextColour));
    EXPECT_FALSE(has(t.Draw(t.open, true), look.textColour));
    EXPECT_TRUE(has(t.Draw(t.help->menuAction(), false), look.grayedTextColour));
}

TEST(SkinMenu, SeparatorIsALineAcrossTheMiddle) {
    Tray t;
    const CSkinMenuLook& look = CSkinMenuLook::Instance();
    const QImage sep = t.Draw(t.separator, false);
    ASSERT_EQ(sep.height(), 10);
    EXPECT_EQ(sep.pixel(24 + 2, 5), look.separatorColour);
    EXPECT_EQ(sep.pixel(157, 5), look.separatorColour);
    EXPECT_EQ(sep.pixel(159, 5), look.background);
    EXPECT_EQ(sep.pixel(24 + 1, 5), look.background);
    EXPECT_EQ(sep.pixel(60, 2), look.background);
    EXPECT_EQ(sep.pixel(5, 5), look.stripColour);
}

}  // namespace
}  // namespace tessali::skin
