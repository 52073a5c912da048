// Keyboard focus in a skinned window of buttons and edits: the order, what is skipped, edits
// taking the focus in their text windows and handing it back, pressing, and the focus dropped with
// the controls.
#include <gtest/gtest.h>

#include <QTest>

#include "skin/skin_edit.h"
#include "skin_harness.h"

inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

namespace tessali::skin {
namespace {

// Ids out of document order on purpose: the focus follows the places, not the document.
const char kSkin[] = R"(<skin><keywnd>
  <btn id="third" x="10" y="70" width="20" height="20" image="MIN" imagenum="2"/>
  <btn id="first" x="40" y="10" width="20" height="20" image="MIN" imagenum="2"/>
  <btn id="left" x="10" y="10" width="20" height="20" image="MIN" imagenum="2"/>
  <edit id="field" x="10" y="40" width="80" height="20" bk_col="0x00FFFFFF" txt_col="0x00000000"/>
  <btn id="hidden" x="10" y="100" width="20" height="20" image="MIN" imagenum="2" show="0"/>
  <btn id="off" x="40" y="100" width="20" height="20" image="MIN" imagenum="2"/>
  <txt id="label" x="10" y="130" face="宋体" size="9" color="0xffffffff"/>
</keywnd></skin>)";

struct KeyWindow {
    KeyWindow() : wnd(kSkin, kKindMainWindow, QStringLiteral("keywnd")) {
        CSkinIdTable::Instance().Add(QStringLiteral("third"), 140);
        test::Realise(wnd, 200, 160);
        wnd.FindChild("off")->SetProperty("enable", 0);
        wnd.show();
        wnd.activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(&wnd));
    }
    QString Focus() {
        if (QWidget* w = QApplication::focusWidget(); w && w != &wnd)
            return QStringLiteral("edit:") + (w == Edit()->Window() ? "field" : "?");
        return wnd.FocusControl() ? wnd.FocusControl()->Id() : QStringLiteral("-");
    }
    CSkinEditBase* Edit() { return dynamic_cast<CSkinEditBase*>(wnd.FindChild("field")); }
    void Tab(bool back = false) {
        QWidget* target = QApplication::focusWidget() ? QApplication::focusWidget() : &wnd;
        QTest::keyClick(target, Qt::Key_Tab, back ? Qt::ShiftModifier : Qt::NoModifier);
    }
    test::CAppGuard guard;
    test::CTestWnd wnd;
};

TEST(SkinKeyboard, TabFollowsReadingOrderThroughButtonsAndEditsSkippingUnavailableOnes) {
    KeyWindow k;
    // Activated, the window gives its text field the focus, as any window does.
    EXPECT_EQ(k.Focus(), QStringLiteral("edit:field"));
    std::vector<QString> seen;
    for (int i = 0; i < 5; ++i) {
        k.Tab();
        seen.push_back(k.Focus());
    }
    EXPECT_EQ(seen, (std::vector<QString>{"third", "left", "first", "edit:field", "third"}));
    // Shift+Tab from the button after the edit goes back into the edit, and on out of it.
    k.Tab(true);
    EXPECT_EQ(k.Focus(), QStringLiteral("edit:field"));
    // Keys typed while the edit has the focus are text, not presses.
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_X);
    EXPECT_EQ(k.Edit()->Text(), QStringLiteral(" x"));
    k.Tab(true);
    EXPECT_EQ(k.Focus(), QStringLiteral("first"));
    EXPECT_EQ(k.wnd.Count(140), 0);
    // Enabled again, a button joins the walk in its place.
    k.wnd.FindChild("off")->SetProperty("enable", 1);
    k.wnd.SetFocusControl(k.wnd.FindChild("third"));
    k.Tab();
    EXPECT_EQ(k.Focus(), QStringLiteral("off"));
}

TEST(SkinKeyboard, EnterAndSpacePressTheFocusedButtonOnceAndNotADisabledOne) {
    KeyWindow k;
    k.wnd.SetFocusControl(k.wnd.FindChild("third"));
    QTest::keyClick(&k.wnd, Qt::Key_Return);
    QTest::keyClick(&k.wnd, Qt::Key_Space);
    EXPECT_EQ(k.wnd.Count(140), 2);
    // The press leaves the button as it was: not hovered, not pressed.
    EXPECT_FALSE(k.wnd.FindChild("third")->IsPressed());
    EXPECT_FALSE(k.wnd.FindChild("third")->IsHover());
    k.wnd.FindChild("third")->SetProperty("enable", 0);
    QTest::keyClick(&k.wnd, Qt::Key_Return);
    EXPECT_EQ(k.wnd.Count(140), 2);
    // A focus request for a control of another window is refused.
    test::CTestWnd other(kSkin, kKindMainWindow, QStringLiteral("keywnd"));
    test::Realise(other, 200, 160);
    k.wnd.SetFocusControl(other.FindChild("left"));
    EXPECT_EQ(k.wnd.FocusControl(), k.wnd.FindChild("third"));
}

TEST(SkinKeyboard, ClearingTheControlsDropsTheFocus) {
    KeyWindow k;
    k.Tab();
    ASSERT_NE(k.wnd.FocusControl(), nullptr);
    k.wnd.ClearChildren();
    EXPECT_EQ(k.wnd.FocusControl(), nullptr);
    EXPECT_FALSE(k.wnd.MoveFocus(true));
    QTest::keyClick(&k.wnd, Qt::Key_Return);  // nothing to press, nothing freed touched
}

}  // namespace
}  // namespace tessali::skin
