// The combo box (drawing, hit test, drop button, properties) and the drop lists: entries and
// filtering, the list window hiding itself when an entry is chosen and telling the owner the
// chosen text, the search edit's keys and the combo list's delete marks.
#include <gtest/gtest.h>

#include <cstdlib>

#include <QTemporaryDir>
#include <QDir>
#include <QMouseEvent>
#include <QTest>

#include "edit_fixture.h"
#include "skin/hot_key.h"
#include "skin/system_colour.h"

namespace tessali::skin {
namespace {

using test::CEditsWindow;
using test::kComboId;

QRgb MinFrame(int frame, int dx, int dy) {
    return test::FramePixel(LoadPngResource("MIN"), 2, frame, dx, dy);
}

// The last list choice the window heard of.
QString LastChosen(const test::CEditsTestWnd& wnd, CSkinCtrl** sender = nullptr) {
    if (wnd.chosen.empty())
        return QStringLiteral("<none>");
    if (sender)
        *sender = wnd.chosen.back().sender;
    return wnd.chosen.back().text;
}

// A plain move over a list window, sent straight to it (the offscreen platform does not route
// button-less moves to a second top-level window).
void MoveMouse(QWidget* w, const QPoint& p) {
    QMouseEvent move(QEvent::MouseMove, QPointF(p), QPointF(w->mapToGlobal(p)), Qt::NoButton, Qt::NoButton,
                     Qt::NoModifier);
    QCoreApplication::sendEvent(w, &move);
}

TEST(DropList, EntriesFilterAndHover) {
    CDropList list;
    list.SetItems({"Tessali", "tactics", "Arena", "Tessali"});
    EXPECT_EQ(list.Items(), QStringList({"Tessali", "tactics", "Arena"}));
    list.AddItem("arena");
    list.AddItem("Arena");
    EXPECT_EQ(list.Items().size(), 4);
    EXPECT_EQ(list.Count(), 4);

    list.SetFilter("TA");
    ASSERT_EQ(list.Count(), 1);
    EXPECT_EQ(list.At(0), "tactics");
    EXPECT_EQ(list.ItemIndex(0), 1);
    list.SetFilter("a");
    ASSERT_EQ(list.Count(), 2);
    EXPECT_EQ(list.At(1), "arena");
    EXPECT_EQ(list.At(2), QString());
    EXPECT_EQ(list.ItemIndex(-1), -1);

    // Hover starts at an end and stays on the shown rows.
    EXPECT_EQ(list.Hover(), -1);
    list.MoveHover(-1);
    EXPECT_EQ(list.Hover(), 1);
    list.MoveHover(5);
    EXPECT_EQ(list.Hover(), 1);
    list.MoveHover(-5);
    EXPECT_EQ(list.Hover(), 0);
    list.SetHover(9);
    EXPECT_EQ(list.Hover(), 1);
    // A new filter or a removed entry forgets the hover.
    list.SetFilter("");
    EXPECT_EQ(list.Hover(), -1);
    list.SetHover(3);
    EXPECT_TRUE(list.RemoveItem("arena"));
    EXPECT_FALSE(list.RemoveItem("arena"));
    EXPECT_EQ(list.Hover(), -1);
    EXPECT_EQ(list.Count(), 3);
    list.Clear();
    list.MoveHover(1);
    EXPECT_EQ(list.Hover(), -1);
}

TEST(DropList, WindowHidesItselfAndNotifiesTheChosenText) {
    test::CAppGuard app;
    QWidget parent;
    parent.resize(200, 200);
    CWinDropList list(&parent);
    // Keeps the text, which is only valid while the notification runs.
    struct COwner : test::CRecordingCallBack {
        intptr_t OnSkinNotify(int code, intptr_t first, intptr_t second) override {
            if (code == kNotifyListChosen)
                text = *reinterpret_cast<const QString*>(first);
            return CRecordingCallBack::OnSkinNotify(code, first, second);
        }
        QString text;
    } owner;
    CSkinCtrl sender(kKindEdit);
    list.SetOwner(&owner, &sender);
    QString seen;
    list.SetOnChosen([&](const QString& text) {
        seen = text;
        // The control hears of the choice after the list has gone.
        EXPECT_FALSE(list.isVisible());
        EXPECT_EQ(owner.Count(kNotifyListChosen), 0);
    });
    // Without entries the list does not show.
    list.ShowBelow(QRect(10, 10, 100, 20), 100);
    EXPECT_FALSE(list.isVisible());

    for (int i = 0; i < 12; ++i) list.List().AddItem(QStringLiteral("entry %1").arg(i));
    list.ShowBelow(QRect(10, 10, 100, 20), 120);
    ASSERT_TRUE(list.isVisible());
    EXPECT_EQ(list.width(), 120);
    EXPECT_EQ(list.height(), CWinDropList::kMaxRows * list.ItemHeight() + 2);
    EXPECT_EQ(list.pos(), parent.mapToGlobal(QPoint(10, 30)));

    // Moving the hover past the last shown row scrolls.
    list.MoveHover(1);
    for (int i = 0; i < 9; ++i) list.MoveHover(1);
    EXPECT_EQ(list.List().Hover(), 9);
    EXPECT_EQ(list.FirstRow(), 2);
    const int h = list.ItemHeight();
    EXPECT_EQ(list.RowAt(QPoint(5, 1 + h / 2)), 2);
    EXPECT_EQ(list.RowAt(QPoint(5, 1 + 7 * h + h / 2)), 9);
    EXPECT_EQ(list.RowAt(QPoint(0, 5)), -1);

    QTest::mouseClick(&list, Qt::LeftButton, Qt::NoModifier, QPoint(20, 1 + 3 * h + h / 2));
    EXPECT_FALSE(list.isVisible());
    EXPECT_EQ(seen, "entry 5");
    ASSERT_EQ(owner.Count(kNotifyListChosen), 1);
    EXPECT_EQ(owner.notes.back().second, reinterpret_cast<intptr_t>(&sender));
    EXPECT_EQ(owner.text, "entry 5");
    EXPECT_FALSE(list.Choose(12));
    EXPECT_EQ(owner.Count(kNotifyListChosen), 1);
}

TEST(SkinComboBox, DrawsItsButtonAndTheDisabledFill) {
    CEditsWindow f;
    CSkinComboBox* combo = f.Combo();
    ASSERT_NE(combo, nullptr);
    EXPECT_EQ(combo->GetKind(), kKindComboBox);
    EXPECT_EQ(combo->ImageNum(), 2);
    // One frame of MIN (21 x 21) at the right end of the 180-wide rectangle.
    EXPECT_EQ(combo->ButtonRect(), QRect(10 + 180 - 21, 170, 21, 21));
    const QImage bg = LoadPngResource("BG");

    f.wnd->Paint();
    QImage buffer = f.wnd->Buffer();
    for (int d : {1, 10, 19}) {
        EXPECT_EQ(buffer.pixel(169 + d, 170 + d), MinFrame(0, d, d)) << d;
    }
    EXPECT_EQ(buffer.pixel(20, 175), bg.pixel(20, 175));  // nothing filled while enabled

    combo->SetProperty("enable", 0);
    EXPECT_FALSE(combo->IsEnabled());
    EXPECT_FALSE(combo->Edit()->Window()->isEnabled());
    f.wnd->Paint();
    buffer = f.wnd->Buffer();
    EXPECT_EQ(buffer.pixel(10, 170), CSkinComboBox::kDisabledFill);
    EXPECT_EQ(buffer.pixel(100, 190), 0xFFECE9D8u);
    for (int d : {1, 10, 19}) {
        EXPECT_EQ(buffer.pixel(169 + d, 170 + d), MinFrame(1, d, d)) << d;
    }
    EXPECT_EQ(buffer.pixel(195, 175), bg.pixel(195, 175));  // only its rectangle
    // The disabled edit shows the same fill, also after its text changed.
    combo->SetProperty("text", QStringLiteral("x"));
    const QImage shown = f.Shown();
    EXPECT_EQ(shown.pixel(150, 175), CSkinComboBox::kDisabledFill);
    EXPECT_EQ(shown.pixel(180, 180), MinFrame(1, 11, 10));

    combo->SetProperty("enable", 1);
    EXPECT_TRUE(combo->Edit()->Window()->isEnabled());
    EXPECT_EQ(f.Shown().pixel(150, 175), SystemColourPixel(0x00FFFFFF));
}

TEST(SkinComboBox, HitTestIsTheButton) {
    CEditsWindow f;
    CSkinComboBox* combo = f.Combo();
    EXPECT_TRUE(combo->HitTest(170, 171));
    EXPECT_TRUE(combo->HitTest(189, 190));
    EXPECT_FALSE(combo->HitTest(168, 175));  // the edit's part
    EXPECT_FALSE(combo->HitTest(190, 175));
    EXPECT_FALSE(combo->HitTest(175, 191));
    EXPECT_TRUE(combo->HitTest(175 + 65536, 175));  // 16-bit coordinates
    combo->SetProperty("enable", 0);
    EXPECT_FALSE(combo->HitTest(175, 175));
    combo->SetProperty("enable", 1);
    combo->SetProperty("show", 0);
    EXPECT_FALSE(combo->HitTest(175, 175));
}

TEST(SkinComboBox, InnerEditTakesTheOtherProperties) {
    CEditsWindow f;
    CSkinComboBox* combo = f.Combo();
    CSkinEdit* edit = combo->Edit();
    ASSERT_NE(edit, nullptr);
    EXPECT_EQ(edit->Id(), "versionedit");
    EXPECT_EQ(f.wnd->FindChild("versionedit"), edit);
    // Beside the button, over the rest of the rectangle.
    EXPECT_EQ(edit->Window()->geometry(), QRect(10, 170, 180 - 21, 21));
    combo->SetProperty("distext", QStringLiteral("选择版本"));
    EXPECT_EQ(edit->Text(), "选择版本");
    EXPECT_EQ(edit->Window()->palette().color(QPalette::Text), SystemColour(0x00808080));
    QTest::keyClicks(edit->Window(), "x");
    EXPECT_EQ(edit->Text(), "选择版本x");
}

TEST(SkinComboBox, ButtonTogglesTheListAndAChoiceFillsTheEdit) {
    CEditsWindow f;
    CSkinComboBox* combo = f.Combo();
    CSkinComboBoxListBox* list = combo->ListBox();
    ASSERT_NE(list, nullptr);
    list->List().SetItems({"完整客户端", "补丁 1.0.4", "登录器"});
    combo->SetProperty("text", QStringLiteral("补丁 1.0.4"));

    // A click notifies the command id; the owner's handler shows the list.
    QTest::mouseClick(f.wnd.get(), Qt::LeftButton, Qt::NoModifier, QPoint(180, 180));
    EXPECT_EQ(f.wnd->Count(kComboId), 1);
    ASSERT_TRUE(list->isVisible());
    EXPECT_EQ(list->Current(), "补丁 1.0.4");
    EXPECT_EQ(list->List().Count(), 3);
    // "listy" 2 below the control, as wide as the control.
    EXPECT_EQ(list->pos(), f.wnd->mapToGlobal(QPoint(10, 170 + 2 + 21)));
    EXPECT_EQ(list->width(), 180);

    // A second click hides it without a notification.
    QTest::mouseClick(f.wnd.get(), Qt::LeftButton, Qt::NoModifier, QPoint(180, 180));
    EXPECT_FALSE(list->isVisible());
    EXPECT_EQ(f.wnd->Count(kComboId), 1);
    // Pressed, dragged off and released: no click.
    QTest::mousePress(f.wnd.get(), Qt::LeftButton, Qt::NoModifier, QPoint(180, 180));
    QTest::mouseMove(f.wnd.get(), QPoint(300, 280));
    QTest::mouseRelease(f.wnd.get(), Qt::LeftButton, Qt::NoModifier, QPoint(300, 280));
    EXPECT_EQ(f.wnd->Count(kComboId), 1);

    QTest::mouseClick(f.wnd.get(), Qt::LeftButton, Qt::NoModifier, QPoint(180, 180));
    ASSERT_TRUE(list->isVisible());
    const int h = list->ItemHeight();
    QTest::mouseClick(list, Qt::LeftButton, Qt::NoModifier, QPoint(20, 1 + 2 * h + h / 2));
    EXPECT_FALSE(list->isVisible());
    EXPECT_EQ(combo->Edit()->Text(), "登录器");
    CSkinCtrl* sender = nullptr;
    EXPECT_EQ(LastChosen(*f.wnd, &sender), "登录器");
    EXPECT_EQ(sender, combo);
    // The chosen text is shown in the text colour.
    EXPECT_EQ(combo->Edit()->Window()->palette().color(QPalette::Text), SystemColour(0));

    // Disabling hides an open list.
    combo->ShowList();
    ASSERT_TRUE(list->isVisible());
    combo->SetProperty("enable", 0);
    EXPECT_FALSE(list->isVisible());
}

TEST(SkinComboBox, DeleteMarkRemovesAnEntry) {
    CEditsWindow f;
    CSkinComboBox* combo = f.Combo();
    CSkinComboBoxListBox* list = combo->ListBox();
    ASSERT_FALSE(list->Look().listImage.isNull());
    EXPECT_GE(list->ItemHeight(), 10 + 4);
    list->List().SetItems({"one", "two", "three"});
    combo->ShowList();
    const int h = list->ItemHeight();
    const QRect row1(1, 1 + h, list->width() - 2, h);
    const QRect mark = list->DeleteMark(row1);
    EXPECT_EQ(mark.size(), QSize(10, 10));
    EXPECT_EQ(mark.right(), row1.right() - 4);

    // Hovering the row shows the mark; hovering the mark shows its second frame.
    MoveMouse(list, QPoint(20, row1.center().y()));
    EXPECT_EQ(list->List().Hover(), 1);
    QImage shown = list->grab().toImage().convertToFormat(QImage::Format_ARGB32);
    EXPECT_EQ(shown.pixel(mark.center()), test::kMarkNormal);
    EXPECT_EQ(shown.pixel(20, row1.y() + 1), SystemColourPixel(0x00804000));
    MoveMouse(list, mark.center());
    shown = list->grab().toImage().convertToFormat(QImage::Format_ARGB32);
    EXPECT_EQ(shown.pixel(mark.center()), test::kMarkHover);

    QTest::mouseClick(list, Qt::LeftButton, Qt::NoModifier, mark.center());
    EXPECT_EQ(list->List().Items(), QStringList({"one", "three"}));
    EXPECT_TRUE(list->isVisible());
    EXPECT_EQ(LastChosen(*f.wnd), "<none>");
    EXPECT_EQ(combo->Edit()->Text(), "");
    EXPECT_EQ(list->height(), 2 * h + 2);
}

TEST(SkinSearchEdit, TypingOpensTheMatchingEntriesAndKeysChoose) {
    CEditsWindow f;
    auto* search = f.Get<CSkinEdit>("search");
    EXPECT_EQ(search->GetVariant(), CSkinEdit::kSearch);
    CWinDropList* list = search->DropList();
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->Look().itemHover, 0x00C06000u);
    EXPECT_EQ(list->Look().frame, 0x00808080u);
    for (const char* item : {"Tessali", "tactics", "arena", "Tessali 2"})
        search->SetProperty("additem", QString::fromUtf8(item));
    QLineEdit* w = search->Window();

    QTest::keyClicks(w, "te");
    ASSERT_TRUE(list->isVisible());
    EXPECT_EQ(list->List().Count(), 2);
    EXPECT_EQ(list->pos(), f.wnd->mapToGlobal(QPoint(200, 142)));
    // Nothing matches: the list goes.
    QTest::keyClicks(w, "q");
    EXPECT_FALSE(list->isVisible());
    QTest::keyClick(w, Qt::Key_Backspace);
    ASSERT_TRUE(list->isVisible());
    QTest::keyClick(w, Qt::Key_Escape);
    EXPECT_FALSE(list->isVisible());
    EXPECT_EQ(search->Text(), "te");

    // Down opens the list and walks it; Enter chooses.
    QTest::keyClick(w, Qt::Key_Down);
    ASSERT_TRUE(list->isVisible());
    EXPECT_EQ(list->List().Hover(), 0);
    QTest::keyClick(w, Qt::Key_Down);
    QTest::keyClick(w, Qt::Key_Down);
    QTest::keyClick(w, Qt::Key_Up);
    EXPECT_EQ(list->List().Hover(), 0);
    QTest::keyClick(w, Qt::Key_Down);
    QTest::keyClick(w, Qt::Key_Return);
    EXPECT_FALSE(list->isVisible());
    EXPECT_EQ(search->Text(), "Tessali 2");
    CSkinCtrl* sender = nullptr;
    EXPECT_EQ(LastChosen(*f.wnd, &sender), "Tessali 2");
    EXPECT_EQ(sender, search);
    // Enter with the list closed is the field's own.
    QTest::keyClick(w, Qt::Key_Return);
    EXPECT_EQ(f.wnd->Count(kNotifyListChosen), 1);

    // Focus moving to another field closes the list; the window losing activation does not.
    QTest::keyClick(w, Qt::Key_Down);
    ASSERT_TRUE(list->isVisible());
    QFocusEvent deactivated(QEvent::FocusOut, Qt::ActiveWindowFocusReason);
    QCoreApplication::sendEvent(w, &deactivated);
    EXPECT_TRUE(list->isVisible());
    QFocusEvent tabbed(QEvent::FocusOut, Qt::TabFocusReason);
    QCoreApplication::sendEvent(w, &tabbed);
    EXPECT_FALSE(list->isVisible());

    search->SetProperty("clearitems", 0);
    QTest::keyClick(w, Qt::Key_Down);
    EXPECT_FALSE(list->isVisible());
}

TEST(SkinEditsWindow, RendersTheSkinWithItsTextWindows) {
    CEditsWindow f;
    f.Get("name")->SetProperty("distext", QStringLiteral("名字"));
    f.Get<CSkinEdit>("boss")->SetHotKey(kHotKeyControl | kHotKeyShift, kVkF1 + 4);
    const QImage shown = f.Shown();
    const QImage bg = LoadPngResource("BG");
    ASSERT_EQ(shown.size(), QSize(400, 300));
    // The skin under and around the text windows.
    EXPECT_EQ(shown.pixel(5, 250), bg.pixel(5, 250));
    EXPECT_EQ(shown.pixel(370 + 5, 4 + 5), test::FramePixel(LoadPngResource("MIN"), 2, 0, 5, 5));
    EXPECT_EQ(shown.pixel(170 + 10, 170 + 10), MinFrame(0, 10, 10));
    // Each text window shows its background colour at its right end (no text reaches there).
    struct Row {
        const char* id;
        Colour bk;
    } rows[] = {{"name", 0x00E0F0FF},   {"pass", 0x00FFFFFF},   {"boss", 0x00FFFFFF},
                {"number", 0x00FFFFFF}, {"search", 0x00FFFFFF}, {"versionedit", 0x00FFFFFF}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.id);
        const QRect r = f.Get(row.id)->Window()->geometry();
        EXPECT_EQ(shown.pixel(r.right() - 2, r.center().y()), SystemColourPixel(row.bk));
    }
    // The hot-key text is drawn in black in its field.
    const QRect boss = f.Get("boss")->Window()->geometry();
    EXPECT_GT(test::CountPixels(shown, boss.adjusted(1, 1, -1, -1), 0xFF000000), 10);
    // The up-down control sits beside its buddy.
    EXPECT_NE(shown.pixel(270, 40), bg.pixel(270, 40));
}

}  // namespace
}  // namespace tessali::skin

namespace tessali::skin {
namespace {

// Pictures for people to look at (scripts/screenshot-skin.sh), not a check.
TEST(SkinEditsWindow, WriteScreenshotsWhenAsked) {
    // Without TESSALI_SKIN_SHOTS the pictures go to a scratch folder: every grab and save still
    // has to succeed, so the run checks the windows render whole.
    QTemporaryDir scratch;
    const char* asked = std::getenv("TESSALI_SKIN_SHOTS");
    const QByteArray path = asked && *asked ? QByteArray(asked) : scratch.path().toUtf8();
    const char* folder = path.constData();
    CEditsWindow f;
    QDir().mkpath(folder);
    f.Get("name")->SetProperty("distext", QStringLiteral("请输入名字"));
    QTest::keyClicks(f.Get("pass")->Window(), "secret");
    QTest::keyClicks(f.Get("login")->Window(), "secret");
    f.Get("account")->SetProperty("text", QStringLiteral("user"));
    f.Get<CSkinEdit>("boss")->SetHotKey(kHotKeyControl | kHotKeyShift, kVkF1 + 4);
    f.Get("number")->SetProperty("text", QStringLiteral("8080"));
    auto* search = f.Get<CSkinEdit>("search");
    for (const char* item : {"Tessali", "Tessali 2", "tactics"})
        search->SetProperty("additem", QString::fromUtf8(item));
    CSkinComboBox* combo = f.Combo();
    combo->ListBox()->List().SetItems({"完整客户端(推荐)", "补丁 1.0.3 → 1.0.4", "登录器更新"});
    combo->SetProperty("text", QStringLiteral("完整客户端(推荐)"));
    f.wnd->Paint();
    ASSERT_TRUE(f.wnd->grab().save(QString(folder) + "/edits-window.png"));
    combo->ShowList();
    MoveMouse(combo->ListBox(), QPoint(30, 1 + combo->ListBox()->ItemHeight() + 5));
    ASSERT_TRUE(combo->ListBox()->grab().save(QString(folder) + "/edits-combo-list.png"));
    combo->ListBox()->hide();
    QTest::keyClicks(search->Window(), "te");
    search->DropList()->MoveHover(1);
    ASSERT_TRUE(search->DropList()->grab().save(QString(folder) + "/edits-search-list.png"));
    combo->SetProperty("enable", 0);
    f.wnd->Paint();
    ASSERT_TRUE(f.wnd->grab().save(QString(folder) + "/edits-window-disabled-combo.png"));
}

}  // namespace
}  // namespace tessali::skin
