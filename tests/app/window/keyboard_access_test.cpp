// The main window and the version dialog without a mouse: Tab and Shift+Tab walk the buttons and
// check boxes that are shown and enabled, the skin marks the focused one, Enter and Space press it
// as a click does and Escape closes the dialog. And what a screen reader reads of them: roles,
// names, states, places and values of the drawn controls, and the focus moving.

#include <gtest/gtest.h>

#include <QAccessible>
#include <QTimer>

#include "app_harness.h"
#include "skin/skin_button.h"
#include "skin/skin_reader.h"
#include "skin/skin_tables.h"

namespace tessali::app::test {
namespace {

const EntrySpec kClient{"TessaliClient.rar", Hash('A'), 3000, 1, 0, "1", "", "The whole game"};

QString FocusId(skin::CSkinRoot& root) {
    return root.FocusControl() ? root.FocusControl()->Id() : QStringLiteral("-");
}

// The ids the focus visits on n presses of Tab (or Shift+Tab).
std::vector<QString> Walk(QWidget& w, skin::CSkinRoot& root, int n, bool back = false) {
    std::vector<QString> ids;
    for (int i = 0; i < n; ++i) {
        QTest::keyClick(&w, Qt::Key_Tab, back ? Qt::ShiftModifier : Qt::NoModifier);
        ids.push_back(FocusId(root));
    }
    return ids;
}

std::vector<QString> Ids(std::initializer_list<const char*> ids) {
    std::vector<QString> out;
    for (const char* id : ids) out.push_back(QString::fromLatin1(id));
    return out;
}

// Pixels of the focus colour along the inside of a control's rectangle.
int MarkPixels(const QImage& buffer, const QRect& r, QRgb colour) {
    // Rows and columns in the window's units, read where they land in a scaled buffer.
    const double dpr = buffer.devicePixelRatio();
    auto at = [&](int x, int y) {
        return buffer.pixel(static_cast<int>((x + 0.5) * dpr), static_cast<int>((y + 0.5) * dpr));
    };
    int n = 0;
    for (int x = r.left(); x <= r.right(); ++x) {
        n += at(x, r.top() + 2) == colour;
        n += at(x, r.bottom() - 2) == colour;
    }
    return n;
}

// The drawn controls of a window's accessible interface, by name.
std::map<QString, QAccessibleInterface*> Children(QAccessibleInterface* window) {
    std::map<QString, QAccessibleInterface*> out;
    for (int i = 0; i < window->childCount(); ++i) {
        QAccessibleInterface* c = window->child(i);
        if (c)
            out[c->text(QAccessible::Name)] = c;
    }
    return out;
}

TEST(MainWndKeyboard, TabWalksTheShownEnabledButtonsInReadingOrderAndEnterPressesGo) {
    CWindowFixture f(ManifestXml({kClient}));
    ASSERT_TRUE(f.Start());
    CMainWnd& w = *f.wnd;
    ASSERT_TRUE(w.Control("gobtn")->IsEnabled());
    const auto cycle =
        Ids({"min", "close", "menu1", "menu3", "menu4", "menu5", "menu6", "modifybtn", "gobtn"});
    auto twice = cycle;
    twice.insert(twice.end(), cycle.begin(), cycle.end());
    EXPECT_EQ(Walk(w, w, 18), twice);  // hidden buttons and the linkless picture are skipped; it wraps
    // Backwards from "min" wraps to the last.
    EXPECT_EQ(Walk(w, w, 3, true), Ids({"modifybtn", "menu6", "menu5"}));
    EXPECT_EQ(Walk(w, w, 3), Ids({"menu6", "modifybtn", "gobtn"}));

    // Enter presses "gobtn" as a click does: the download starts, and the focus passes to the
    // pause button that took its place.
    QTest::keyClick(&w, Qt::Key_Return);
    EXPECT_EQ(f.engine.CountPrefix("add " + Hash('A')), 1);
    EXPECT_TRUE(w.IsDownloading());
    EXPECT_EQ(FocusId(w), QStringLiteral("stopbtn"));
    // While it downloads, "modifybtn" is disabled and "gobtn" hidden: neither is reached.
    EXPECT_EQ(Walk(w, w, 9),
              Ids({"min", "close", "menu1", "menu3", "menu4", "menu5", "menu6", "stopbtn", "min"}));
    // Space on the pause button pauses.
    EXPECT_EQ(Walk(w, w, 1, true), Ids({"stopbtn"}));
    QTest::keyClick(&w, Qt::Key_Space);
    EXPECT_FALSE(w.IsDownloading());
    EXPECT_TRUE(w.Control("gobtn")->IsShown());
}

TEST(MainWndKeyboard, SpaceOnALinkButtonOpensItsPageAndTheMarkFollowsTheFocus) {
    CWindowFixture f(ManifestXml({kClient}));
    ASSERT_TRUE(f.Start());
    CMainWnd& w = *f.wnd;
    while (FocusId(w) != QStringLiteral("menu3")) QTest::keyClick(&w, Qt::Key_Tab);
    QTest::keyClick(&w, Qt::Key_Space);
    ASSERT_EQ(f.desktop.openedUrls, (std::vector<std::string>{"http://home.example/?from=verdo7"}));
    // Other keys press nothing.
    QTest::keyClick(&w, Qt::Key_A);
    QTest::keyClick(&w, Qt::Key_Return, Qt::ControlModifier);
    EXPECT_EQ(f.desktop.openedUrls.size(), 1u);

    // The mark is drawn on the focused button only, and goes with the focus.
    w.Paint();
    const QRect go = w.Control("gobtn")->GetRect();
    const QRect menu3 = w.Control("menu3")->GetRect();
    const QRgb mark = w.FocusColour();
    EXPECT_GT(MarkPixels(w.Buffer(), menu3, mark), 10);
    EXPECT_EQ(MarkPixels(w.Buffer(), go, mark), 0);
    while (FocusId(w) != QStringLiteral("gobtn")) QTest::keyClick(&w, Qt::Key_Tab);
    EXPECT_GT(MarkPixels(w.Buffer(), go, mark), 40);
    EXPECT_EQ(MarkPixels(w.Buffer(), menu3, mark), 0);
    // Hovering the focused button redraws it with the mark still on.
    w.OnMouseMove(0, go.center().x(), go.center().y());
    EXPECT_GT(MarkPixels(w.Buffer(), go, mark), 40);
    // A click hands over to the mouse: the mark goes.
    w.OnLButtonDown(skin::kKeyLButton, 300, 420);
    w.OnLButtonUp(0, 300, 420);
    EXPECT_EQ(w.FocusControl(), nullptr);
    EXPECT_EQ(MarkPixels(w.Buffer(), go, mark), 0);
}

struct DialogKeys : ::testing::Test {
    DialogKeys() {
        App();
        skin::CSkinIdTable::Instance().FillProgramRows();
        skin::CSkinState::Instance().firstPaintDone = true;
        skin::CSkinState::Instance().paintingSuspended = false;
    }
    static std::vector<VersionRow> Rows() {
        VersionRow client;
        client.displayName = QStringLiteral("TessaliClient(推荐)");
        client.size = 3000;
        client.complete = 1;
        client.path = QStringLiteral("/nonexistent/TessaliClient.rar");
        VersionRow patch;
        patch.displayName = QStringLiteral("Patch103");
        patch.size = 2000;
        patch.path = QStringLiteral("/nonexistent/Patch103.rar");
        return {client, patch};
    }
};

TEST_F(DialogKeys, TabReachesCloseTheShownCheckBoxesAndOkAndSpaceTicks) {
    CSkinSelectVersionDlg dlg(Rows(), 1 << 20);
    Realise(dlg);
    EXPECT_EQ(Walk(dlg, dlg, 5), Ids({"close", "check1", "check2", "ok", "close"}));
    EXPECT_EQ(Walk(dlg, dlg, 2, true), Ids({"ok", "check2"}));
    ASSERT_FALSE(dlg.Rows()[1].checked);
    QTest::keyClick(&dlg, Qt::Key_Space);
    EXPECT_TRUE(dlg.Rows()[1].checked);
    QTest::keyClick(&dlg, Qt::Key_Enter);  // the keypad's Enter too
    EXPECT_FALSE(dlg.Rows()[1].checked);
}

TEST_F(DialogKeys, ADisabledOkIsSkipped) {
    CSkinSelectVersionDlg dlg(Rows(), 3500);  // the client fits, both do not
    Realise(dlg);
    dlg.Toggle(2);
    ASSERT_FALSE(dlg.FindChild(QStringLiteral("ok"))->IsEnabled());
    EXPECT_EQ(Walk(dlg, dlg, 4), Ids({"close", "check1", "check2", "close"}));
}

TEST_F(DialogKeys, EnterOnOkAcceptsAndEscapeClosesAsTheCloseButtonDoes) {
    CSkinSelectVersionDlg ok(Rows(), 1 << 20);
    QTimer::singleShot(50, [&] {
        ok.OnSize();
        while (FocusId(ok) != QStringLiteral("ok")) QTest::keyClick(&ok, Qt::Key_Tab);
        QTest::keyClick(&ok, Qt::Key_Return);
    });
    EXPECT_EQ(ok.exec(), 1);
    CSkinSelectVersionDlg escaped(Rows(), 1 << 20);
    QTimer::singleShot(50, [&] {
        escaped.OnSize();
        QTest::keyClick(&escaped, Qt::Key_Tab);
        QTest::keyClick(&escaped, Qt::Key_Tab);
        QTest::keyClick(&escaped, Qt::Key_Escape);
    });
    EXPECT_EQ(escaped.exec(), 0);
    EXPECT_FALSE(escaped.isVisible());
    // Enter on the close button is the close button's click.
    CSkinSelectVersionDlg closed(Rows(), 1 << 20);
    QTimer::singleShot(50, [&] {
        closed.OnSize();
        QTest::keyClick(&closed, Qt::Key_Tab);
        ASSERT_EQ(FocusId(closed), QStringLiteral("close"));
        QTest::keyClick(&closed, Qt::Key_Return);
    });
    EXPECT_EQ(closed.exec(), 0);
}

TEST(MainWndAccessible, TheWindowListsItsButtonsTextsAndProgressWithTheirStates) {
    CWindowFixture f(ManifestXml({kClient}));
    f.desktop.freeBytes = 2999;  // too little: "gobtn" is disabled
    ASSERT_TRUE(f.Start());
    CMainWnd& w = *f.wnd;
    QAccessibleInterface* window = QAccessible::queryAccessibleInterface(&w);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window->role(), QAccessible::Window);
    EXPECT_EQ(window->text(QAccessible::Name), QStringLiteral("Tessali Online"));
    auto children = Children(window);
    for (const char* name : {"开始下载", "更改目录", "选择版本", "官方网站", "最小化", "关闭", "下载进度"})
        ASSERT_EQ(children.count(QString::fromUtf8(name)), 1u) << name;
    // Hidden buttons are not there.
    EXPECT_EQ(children.count(QStringLiteral("暂停下载")), 0u);
    EXPECT_EQ(children.count(QStringLiteral("打开目录")), 0u);

    QAccessibleInterface* go = children[QStringLiteral("开始下载")];
    EXPECT_EQ(go->role(), QAccessible::PushButton);
    EXPECT_TRUE(go->state().disabled);
    EXPECT_FALSE(go->state().focusable);
    EXPECT_EQ(go->rect(), QRect(w.mapToGlobal(QPoint(471, 478)), QSize(106, 29)));
    EXPECT_EQ(go->parent(), window);
    EXPECT_FALSE(children[QStringLiteral("最小化")]->state().disabled);
    // The state line reads as text.
    auto state = children.find(w.StateText());
    ASSERT_NE(state, children.end());
    EXPECT_EQ(state->second->role(), QAccessible::StaticText);
    // The progress bar carries its percentage.
    QAccessibleInterface* progress = children[QStringLiteral("下载进度")];
    EXPECT_EQ(progress->role(), QAccessible::ProgressBar);
    ASSERT_NE(progress->valueInterface(), nullptr);
    w.SetPercent(37);
    EXPECT_DOUBLE_EQ(progress->valueInterface()->currentValue().toDouble(), 37.0);
    EXPECT_EQ(progress->text(QAccessible::Value), QStringLiteral("37%"));
    EXPECT_EQ(progress->rect(), QRect(w.mapToGlobal(QPoint(24, 486)), QSize(430, 17)));
    // The list is consistent both ways, and a point finds its control.
    for (int i = 0; i < window->childCount(); ++i) EXPECT_EQ(window->indexOfChild(window->child(i)), i);
    const QPoint inMin = w.mapToGlobal(w.Control("min")->GetRect().center());
    ASSERT_NE(window->childAt(inMin.x(), inMin.y()), nullptr);
    EXPECT_EQ(window->childAt(inMin.x(), inMin.y())->text(QAccessible::Name), QStringLiteral("最小化"));
}

TEST(MainWndAccessible, TheFocusFollowsTheKeyboardAndAButtonsPressActionClicksIt) {
    CWindowFixture f(ManifestXml({kClient}));
    ASSERT_TRUE(f.Start());
    CMainWnd& w = *f.wnd;
    QAccessibleInterface* window = QAccessible::queryAccessibleInterface(&w);
    ASSERT_NE(window, nullptr);
    // The focus the keyboard moves is the focus a screen reader asks for. (The focus events
    // themselves need a platform accessibility bridge, which the offscreen platform lacks.)
    QTest::keyClick(&w, Qt::Key_Tab);
    ASSERT_NE(window->focusChild(), nullptr);
    EXPECT_EQ(window->focusChild()->text(QAccessible::Name), QStringLiteral("最小化"));
    QTest::keyClick(&w, Qt::Key_Tab);
    ASSERT_NE(window->focusChild(), nullptr);
    EXPECT_EQ(window->focusChild()->text(QAccessible::Name), QStringLiteral("关闭"));
    EXPECT_TRUE(window->focusChild()->state().focused);
    auto children = Children(window);
    EXPECT_FALSE(children[QStringLiteral("最小化")]->state().focused);
    // A screen reader's press on "官方网站" is its click.
    QAccessibleActionInterface* actions = children[QStringLiteral("官方网站")]->actionInterface();
    ASSERT_NE(actions, nullptr);
    EXPECT_EQ(actions->actionNames(), QStringList{QAccessibleActionInterface::pressAction()});
    actions->doAction(QAccessibleActionInterface::pressAction());
    EXPECT_EQ(f.desktop.openedUrls, (std::vector<std::string>{"http://home.example/?from=verdo7"}));
}

TEST_F(DialogKeys, TheDialogListsItsCheckBoxesWithTheirTicksAndItsButtons) {
    CSkinSelectVersionDlg dlg(Rows(), 3500);
    Realise(dlg);
    QAccessibleInterface* window = QAccessible::queryAccessibleInterface(&dlg);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window->role(), QAccessible::Dialog);
    EXPECT_EQ(window->text(QAccessible::Name), QStringLiteral("选择下载内容"));
    auto children = Children(window);
    ASSERT_EQ(children.count(QStringLiteral("TessaliClient(推荐)")), 1u);
    ASSERT_EQ(children.count(QStringLiteral("Patch103")), 1u);
    ASSERT_EQ(children.count(QStringLiteral("确定")), 1u);
    ASSERT_EQ(children.count(QStringLiteral("关闭")), 1u);
    QAccessibleInterface* client = children[QStringLiteral("TessaliClient(推荐)")];
    QAccessibleInterface* patch = children[QStringLiteral("Patch103")];
    EXPECT_EQ(client->role(), QAccessible::CheckBox);
    EXPECT_TRUE(client->state().checkable);
    EXPECT_TRUE(client->state().checked);  // a first selection ticks the client
    EXPECT_FALSE(patch->state().checked);
    // The box and its label are one place.
    EXPECT_GT(patch->rect().width(), 13);
    // Toggling through the accessible action is a click: the row, the tick and "ok" follow.
    QAccessibleActionInterface* actions = patch->actionInterface();
    ASSERT_NE(actions, nullptr);
    EXPECT_EQ(actions->actionNames(), QStringList{QAccessibleActionInterface::toggleAction()});
    actions->doAction(QAccessibleActionInterface::toggleAction());
    EXPECT_TRUE(dlg.Rows()[1].checked);
    EXPECT_TRUE(patch->state().checked);
    EXPECT_TRUE(children[QStringLiteral("确定")]->state().disabled);  // both do not fit
    // Sizes and percentages read as texts; the hidden rows are not there.
    EXPECT_EQ(children.count(QStringLiteral("0%")), 1u);
    int texts = 0;
    for (const auto& [name, c] : children) texts += c->role() == QAccessible::StaticText;
    EXPECT_GE(texts, 4);
    // Closing the dialog drops its controls' interfaces.
    const QAccessible::Id clientId = QAccessible::uniqueId(client);
    QTest::keyClick(&dlg, Qt::Key_Escape);
    EXPECT_EQ(QAccessible::accessibleInterface(clientId), nullptr);
    EXPECT_EQ(window->childCount(), 0);
}

}  // namespace
}  // namespace tessali::app::test
