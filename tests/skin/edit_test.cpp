// The edit controls: hot-key texts, the text windows each kind creates from the tests' own skin
// document, typing, password forms, limits, "distext" colours, the up-down range and the variants.
#include <gtest/gtest.h>

#include <QKeyEvent>
#include <QShortcut>
#include <QTest>

#include "edit_fixture.h"
#include "skin/hot_key.h"
#include "skin/system_colour.h"

namespace tessali::skin {
namespace {

using test::CEditsWindow;

QString Text(int modifiers, int vk) {
    return HotKeyText(modifiers, vk);
}

TEST(HotKeyText, ModifierWordsInOrderThenTheKeyName) {
    EXPECT_EQ(Text(kHotKeyControl | kHotKeyShift, kVkF1 + 4), "CTRL + SHIFT + F5");
    EXPECT_EQ(Text(kHotKeyShift | kHotKeyAlt | kHotKeyControl, 'A'), "ALT + CTRL + SHIFT + A");
    EXPECT_EQ(Text(kHotKeyAlt, '7'), "ALT + 7");
    EXPECT_EQ(Text(kHotKeyControl, kVkF1 + 11), "CTRL + F12");
    EXPECT_EQ(Text(kHotKeyControl, kVkReturn), "CTRL + Enter");
    EXPECT_EQ(Text(kHotKeyControl, kVkEscape), "CTRL + Esc");
    EXPECT_EQ(Text(kHotKeyControl, kVkSpace), "CTRL + Space");
    EXPECT_EQ(Text(kHotKeyControl, kVkPrior), "CTRL + PageUp");
    EXPECT_EQ(Text(kHotKeyControl, kVkNext), "CTRL + PageDown");
    EXPECT_EQ(Text(kHotKeyAlt, kVkLeft), "ALT + ←");
    EXPECT_EQ(Text(kHotKeyAlt, kVkUp), "ALT + ↑");
    EXPECT_EQ(Text(kHotKeyAlt, kVkRight), "ALT + →");
    EXPECT_EQ(Text(kHotKeyAlt, kVkDown), "ALT + ↓");
    for (int n = 0; n <= 9; ++n)
        EXPECT_EQ(Text(kHotKeyShift, kVkNumpad0 + n), QStringLiteral("SHIFT + Num %1").arg(n));
}

TEST(HotKeyText, NoModifierOrNoNameClearsTheKey) {
    int vk = kVkF1 + 4;
    EXPECT_EQ(HotKeyText(0, vk), "无");
    EXPECT_EQ(vk, 0);
    // A named key does not help without a modifier.
    vk = 'A';
    EXPECT_EQ(HotKeyText(0, vk), "无");
    EXPECT_EQ(vk, 0);
    // F13, the Tab key, a modifier key itself, a punctuation key and the numeric pad's "*" have no
    // names.
    for (int unnamed : {int(kVkF1) + 12, 0x09, int(kVkControl), 0xBA, 0x6A}) {
        vk = unnamed;
        EXPECT_EQ(HotKeyText(kHotKeyControl, vk), "CTRL + ") << unnamed;
        EXPECT_EQ(vk, 0) << unnamed;
    }
    vk = kVkNumpad0 + 3;
    EXPECT_EQ(HotKeyText(kHotKeyControl, vk), "CTRL + Num 3");
    EXPECT_EQ(vk, kVkNumpad0 + 3);
}

TEST(HotKeyText, QtKeysBecomeVirtualKeys) {
    auto vk = [](int key, Qt::KeyboardModifiers m = Qt::NoModifier) {
        QKeyEvent e(QEvent::KeyPress, key, m);
        return VirtualKeyOf(e);
    };
    EXPECT_EQ(vk(Qt::Key_5), '5');
    EXPECT_EQ(vk(Qt::Key_5, Qt::KeypadModifier), kVkNumpad0 + 5);
    EXPECT_EQ(vk(Qt::Key_Q), 'Q');
    EXPECT_EQ(vk(Qt::Key_F5), kVkF1 + 4);
    EXPECT_EQ(vk(Qt::Key_Enter, Qt::KeypadModifier), kVkReturn);
    EXPECT_EQ(vk(Qt::Key_Down), kVkDown);
    EXPECT_EQ(vk(Qt::Key_PageDown), kVkNext);
    EXPECT_EQ(vk(Qt::Key_Tab), 0);
    QKeyEvent e(QEvent::KeyPress, Qt::Key_A, Qt::AltModifier | Qt::ShiftModifier);
    EXPECT_EQ(HotKeyModifiersOf(e), kHotKeyAlt | kHotKeyShift);
}

TEST(SkinEdit, EveryKindOwnsATextWindowOverItsRectangle) {
    CEditsWindow f;
    struct Row {
        const char* id;
        int kind;
        QRect rect;
    } rows[] = {
        {"name", kKindEdit, QRect(10, 30, 150, 22)},
        {"pass", kKindEdit, QRect(10, 60, 150, 22)},
        {"login", kKindNormalEdit, QRect(10, 90, 150, 22)},
        {"account", kKindNormalEdit, QRect(10, 120, 150, 22)},
        {"count", kKindEdit, QRect(200, 30, 60, 20)},
        {"boss", kKindEdit, QRect(400 - 160 - 10, 60, 160, 22)},  // anchored right
        {"number", kKindEdit, QRect(200, 90, 100, 22)},
        {"search", kKindSearchEdit, QRect(200, 120, 150, 22)},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.id);
        CSkinEditBase* edit = f.Get(row.id);
        ASSERT_NE(edit, nullptr);
        EXPECT_EQ(edit->GetKind(), row.kind);
        ASSERT_NE(edit->Window(), nullptr);
        EXPECT_EQ(edit->Window()->parentWidget(), f.wnd.get());
        EXPECT_EQ(edit->Window()->geometry(), row.rect);
        EXPECT_TRUE(edit->Window()->isVisible());
        // The text window takes its own mouse input.
        EXPECT_FALSE(edit->HitTest(row.rect.x() + 2, row.rect.y() + 2));
    }
    // The owner was asked once per text window (the combo box's inner edit included).
    EXPECT_EQ(f.wnd->Count(kNotifyEditParent), 9);

    // Anchored edits follow the window.
    f.wnd->resize(500, 300);
    f.wnd->OnSize();
    EXPECT_EQ(f.Get("boss")->Window()->geometry(), QRect(500 - 160 - 10, 60, 160, 22));
}

TEST(SkinEdit, TypingReachesEachKind) {
    CEditsWindow f;
    for (const char* id : {"name", "pass", "login", "account", "search"}) {
        SCOPED_TRACE(id);
        CSkinEditBase* edit = f.Get(id);
        QTest::keyClicks(edit->Window(), "abc");
        EXPECT_EQ(edit->Text(), "abc");
        QTest::keyClick(edit->Window(), Qt::Key_Backspace);
        EXPECT_EQ(edit->Text(), "ab");
    }
    // The number variant refuses what is not a digit.
    CSkinEditBase* number = f.Get("number");
    QTest::keyClicks(number->Window(), "12ab3-");
    EXPECT_EQ(number->Text(), "123");
    // The up-down's buddy takes typed text too.
    CSkinEditBase* count = f.Get("count");
    count->Window()->clear();
    QTest::keyClicks(count->Window(), "5");
    EXPECT_EQ(count->Text(), "5");
}

TEST(SkinEdit, PasswordFormsLimitsAndFonts) {
    CEditsWindow f;
    EXPECT_TRUE(f.Get("pass")->IsPassword());
    EXPECT_TRUE(f.Get("login")->IsPassword());
    EXPECT_FALSE(f.Get("name")->IsPassword());
    EXPECT_FALSE(f.Get("account")->IsPassword());
    EXPECT_EQ(f.Get("pass")->Window()->echoMode(), QLineEdit::Password);
    EXPECT_EQ(f.Get("login")->Window()->echoMode(), QLineEdit::Password);
    EXPECT_EQ(f.Get("account")->Window()->echoMode(), QLineEdit::Normal);
    QTest::keyClicks(f.Get("login")->Window(), "secret");
    EXPECT_EQ(f.Get("login")->Text(), "secret");
    EXPECT_NE(f.Get("login")->Window()->displayText(), "secret");

    // "limit" 8 on the edit, 4 on the normal edit; absent leaves the system's limit.
    QTest::keyClicks(f.Get("name")->Window(), "0123456789");
    EXPECT_EQ(f.Get("name")->Text(), "01234567");
    QTest::keyClicks(f.Get("account")->Window(), "abcdef");
    EXPECT_EQ(f.Get("account")->Text(), "abcd");
    EXPECT_EQ(f.Get("pass")->Window()->maxLength(), QLineEdit().maxLength());

    // Fonts: "lfheight" in pixels; the normal edit's defaults; the search edit's points.
    EXPECT_EQ(f.Get("name")->Font().pixelSize(), 18);
    EXPECT_EQ(f.Get("pass")->Font().pixelSize(), 12);
    EXPECT_EQ(f.Get("account")->Font().pixelSize(), 14);
    EXPECT_EQ(f.Get("account")->Font().family(), "Arial");
    EXPECT_EQ(f.Get("search")->Font().pixelSize(), 13);  // 10 points at 96 dpi
    EXPECT_EQ(f.Get("name")->Window()->font().pixelSize(), 18);
}

TEST(SkinEdit, DistextShowsItsTextInTheDisabledColour) {
    CEditsWindow f;
    CSkinEditBase* name = f.Get("name");
    const QRect r = name->Window()->geometry();
    const QRect textArea(r.x() + 1, r.y() + 1, r.width() - 2, r.height() - 2);
    const QRgb bk = SystemColourPixel(0x00E0F0FF);
    const QRgb txt = SystemColourPixel(0x00000080);
    const QRgb dis = SystemColourPixel(0x00808080);
    EXPECT_EQ(bk, 0xFFFFF0E0u);  // red in the low byte of a system colour
    EXPECT_EQ(txt, 0xFF800000u);

    name->SetProperty("text", QStringLiteral("田田田田"));
    QImage shown = f.Shown();
    EXPECT_EQ(shown.pixel(r.right() - 2, r.bottom() - 2), bk);
    EXPECT_GT(test::CountPixels(shown, textArea, txt), 10);
    EXPECT_EQ(test::CountPixels(shown, textArea, dis), 0);

    name->SetProperty("distext", QStringLiteral("田田田田"));
    EXPECT_EQ(name->Text(), "田田田田");
    EXPECT_EQ(name->Window()->palette().color(QPalette::Text), SystemColour(0x00808080));
    shown = f.Shown();
    EXPECT_EQ(shown.pixel(r.right() - 2, r.bottom() - 2), bk);
    EXPECT_GT(test::CountPixels(shown, textArea, dis), 10);
    EXPECT_EQ(test::CountPixels(shown, textArea, txt), 0);

    // The normal edit has no colours of its own: "distext" only sets its text.
    CSkinEditBase* account = f.Get("account");
    const QPalette before = account->Window()->palette();
    account->SetProperty("distext", QStringLiteral("ab"));
    EXPECT_EQ(account->Text(), "ab");
    EXPECT_EQ(account->Window()->palette().color(QPalette::Text), before.color(QPalette::Text));
}

TEST(SkinEdit, UpDownStepsWithinItsRange) {
    CEditsWindow f;
    CSkinEditBase* count = f.Get("count");
    CUpDownWindow* upDown = count->UpDown();
    ASSERT_NE(upDown, nullptr);
    EXPECT_EQ(f.Get("name")->UpDown(), nullptr);
    // A square of the edit's height to its right, starting at "lower".
    EXPECT_EQ(upDown->geometry(), QRect(260, 30, 20, 20));
    EXPECT_EQ(count->Text(), "3");
    auto up = [&] { QTest::mouseClick(upDown, Qt::LeftButton, Qt::NoModifier, QPoint(10, 2)); };
    auto down = [&] { QTest::mouseClick(upDown, Qt::LeftButton, Qt::NoModifier, QPoint(10, 18)); };
    up();
    EXPECT_EQ(count->Text(), "4");
    for (int i = 0; i < 5; ++i) up();
    EXPECT_EQ(count->Text(), "6");
    EXPECT_EQ(upDown->Position(), 6);
    for (int i = 0; i < 5; ++i) down();
    EXPECT_EQ(count->Text(), "3");
    // It steps from what the buddy shows when that is in range, else from its last position.
    count->SetText("5");
    down();
    EXPECT_EQ(count->Text(), "4");
    count->SetText("99");
    down();
    EXPECT_EQ(count->Text(), "3");
    count->SetText("x");
    up();
    EXPECT_EQ(count->Text(), "4");
    // Layout moves the pair together.
    count->PlaceWindows(QRect(100, 200, 50, 30));
    EXPECT_EQ(upDown->geometry(), QRect(150, 200, 30, 30));
}

TEST(SkinEdit, ReversedUpDownRangeStepsTowardsUpper) {
    test::CAppGuard app;
    QLineEdit buddy;
    CUpDownWindow upDown(nullptr, &buddy, 10, 7);
    EXPECT_EQ(buddy.text(), "10");
    upDown.Step(1);
    EXPECT_EQ(buddy.text(), "9");
    for (int i = 0; i < 5; ++i) upDown.Step(1);
    EXPECT_EQ(buddy.text(), "7");
    upDown.Step(-1);
    EXPECT_EQ(buddy.text(), "8");
    // Large ranges are written without group separators.
    QLineEdit wide;
    CUpDownWindow big(nullptr, &wide, 12345, 99999);
    EXPECT_EQ(wide.text(), "12345");
}

TEST(SkinEdit, HotKeyFieldShowsCombinations) {
    CEditsWindow f;
    auto* boss = f.Get<CSkinEdit>("boss");
    // "bossedit" wins over "searchedit".
    EXPECT_EQ(boss->GetVariant(), CSkinEdit::kHotKey);
    EXPECT_EQ(boss->DropList(), nullptr);
    EXPECT_EQ(boss->Text(), "无");
    QLineEdit* w = boss->Window();
    QTest::keyClick(w, Qt::Key_F5, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(boss->Text(), "CTRL + SHIFT + F5");
    EXPECT_EQ(boss->HotKey(), kVkF1 + 4);
    EXPECT_EQ(boss->HotKeyModifiers(), kHotKeyControl | kHotKeyShift);
    QTest::keyClick(w, Qt::Key_A);
    EXPECT_EQ(boss->Text(), "无");
    EXPECT_EQ(boss->HotKey(), 0);
    QTest::keyClick(w, Qt::Key_Left, Qt::AltModifier);
    EXPECT_EQ(boss->Text(), "ALT + ←");
    QTest::keyClick(w, Qt::Key_Down, Qt::ControlModifier);
    EXPECT_EQ(boss->Text(), "CTRL + ↓");
    QTest::keyClick(w, Qt::Key_7, Qt::ControlModifier | Qt::KeypadModifier);
    EXPECT_EQ(boss->Text(), "CTRL + Num 7");
    EXPECT_EQ(boss->HotKey(), kVkNumpad0 + 7);
    QTest::keyClick(w, Qt::Key_Comma, Qt::ControlModifier);
    EXPECT_EQ(boss->Text(), "CTRL + ");
    EXPECT_EQ(boss->HotKey(), 0);
    // The window's shortcuts do not take the combination from the field.
    int fired = 0;
    QShortcut shortcut(QKeySequence(Qt::CTRL | Qt::Key_F6), f.wnd.get());
    QObject::connect(&shortcut, &QShortcut::activated, [&] { ++fired; });
    w->setFocus();
    QTest::keyClick(w, Qt::Key_F6, Qt::ControlModifier);
    EXPECT_EQ(boss->Text(), "CTRL + F6");
    EXPECT_EQ(fired, 0);
    QLineEdit* name = f.Get("name")->Window();
    name->setFocus();
    QTest::keyClick(name, Qt::Key_F6, Qt::ControlModifier);
    EXPECT_EQ(fired, 1);  // elsewhere it is the window's
    // Typed characters never reach the field.
    QTest::keyClicks(w, "xyz");
    EXPECT_EQ(boss->Text(), "无");
}

TEST(SkinEdit, OwnerWithoutAWindowRefusesTheEdit) {
    test::CAppGuard app;
    tinyxml2::XMLDocument doc;
    ASSERT_EQ(doc.Parse("<edit id=\"e\" x=\"1\" y=\"2\" width=\"30\" height=\"10\"/>"),
              tinyxml2::XML_SUCCESS);
    CSkinCtrl root(kKindImage);
    test::CRecordingCallBack owner;
    EXPECT_EQ(root.CreateChild(*doc.RootElement(), &owner), nullptr);
    ASSERT_EQ(owner.Count(kNotifyEditParent), 1);
    EXPECT_EQ(owner.notes[0].first, 0);
    EXPECT_EQ(owner.notes[0].second, 0);

    QWidget parent;
    owner.answer = reinterpret_cast<intptr_t>(&parent);
    CSkinCtrl* edit = root.CreateChild(*doc.RootElement(), &owner);
    ASSERT_NE(edit, nullptr);
    root.AppendChild(edit);
    QPointer<QLineEdit> window = static_cast<CSkinEditBase*>(edit)->Window();
    ASSERT_FALSE(window.isNull());
    EXPECT_EQ(window->parentWidget(), &parent);
    // Freeing the controls destroys their windows.
    root.ClearChildren();
    EXPECT_TRUE(window.isNull());
}

TEST(SkinEdit, ClosingTheWindowDestroysTheTextWindows) {
    CEditsWindow f;
    QPointer<QLineEdit> name = f.Get("name")->Window();
    QPointer<QWidget> upDown = f.Get("count")->UpDown();
    QPointer<QWidget> list = f.Combo()->ListBox();
    f.wnd->close();
    EXPECT_TRUE(f.wnd->Children().empty());
    EXPECT_TRUE(name.isNull());
    EXPECT_TRUE(upDown.isNull());
    EXPECT_TRUE(list.isNull());
}

TEST(SkinEdit, EmbeddedWindowsParentTheirOwnEdits) {
    test::CAppGuard app;
    test::CTestWnd wnd("<skin><testwnd/></skin>", kKindWindow);
    test::CRecordingCallBack outer;
    wnd.SetOwner(&outer);
    EXPECT_EQ(wnd.OnSkinNotify(kNotifyEditParent, 0, 0),
              reinterpret_cast<intptr_t>(static_cast<QWidget*>(&wnd)));
    EXPECT_EQ(outer.Count(kNotifyEditParent), 0);
    wnd.OnSkinNotify(777, 0, 0);
    EXPECT_EQ(outer.Count(777), 1);
}

}  // namespace
}  // namespace tessali::skin
