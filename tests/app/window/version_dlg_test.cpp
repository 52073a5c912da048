// The version dialog on its own: construction rules, what its rows show, the toggles' texts and
// the disk-space refusal, and the modal loop ending with the button's result.

#include <gtest/gtest.h>

#include <QTimer>

#include "app/window/select_version_dlg.h"
#include "app/window/texts.h"
#include "app_harness.h"
#include "skin/skin_button.h"
#include "skin/skin_tables.h"
#include "skin/skin_text.h"

namespace tessali::app::test {
namespace {

VersionRow Row(const char* name, int64_t size, int complete, int redshow, const QString& path = {}) {
    VersionRow r;
    r.displayName = QString::fromUtf8(name);
    r.size = size;
    r.complete = complete;
    r.redshow = redshow;
    r.description = complete ? QStringLiteral("包含游戏全部内容") : QString();
    r.path = path.isEmpty() ? QStringLiteral("/nonexistent/") + r.displayName : path;
    return r;
}

QString TextOf(CSkinSelectVersionDlg& dlg, const char* id) {
    auto* t = dynamic_cast<skin::CSkinText*>(dlg.FindChild(QString::fromLatin1(id)));
    return t ? t->Text() : QStringLiteral("<none>");
}

bool Ticked(CSkinSelectVersionDlg& dlg, int i) {
    auto* b = dynamic_cast<skin::CSkinButtonEx*>(dlg.FindChild(QStringLiteral("check%1").arg(i)));
    return b && b->IsTicked();
}

struct DialogTest : ::testing::Test {
    DialogTest() {
        App();
        skin::CSkinIdTable::Instance().FillProgramRows();
        skin::CSkinState::Instance().firstPaintDone = true;
        skin::CSkinState::Instance().paintingSuspended = false;
    }
};

TEST_F(DialogTest, FirstSelectionTicksTheClientAndTheRedFilesAndShowsTheDescription) {
    CSkinSelectVersionDlg dlg({Row("Client(推荐)", int64_t{3} << 30, 1, 0), Row("Patch", 5 << 20, 0, 0),
                               Row("Launcher", 1500, 0, 1)},
                              int64_t{10} << 30);
    Realise(dlg);
    EXPECT_TRUE(dlg.FirstSelection());
    EXPECT_EQ(dlg.OpeningStates(), (std::vector<int>{1, 0, 1}));
    EXPECT_TRUE(Ticked(dlg, 1));
    EXPECT_FALSE(Ticked(dlg, 2));
    EXPECT_TRUE(Ticked(dlg, 3));
    EXPECT_EQ(TextOf(dlg, "state"), QStringLiteral("包含游戏全部内容"));
    EXPECT_EQ(TextOf(dlg, "size1"), QStringLiteral("3.00GB"));
    EXPECT_EQ(TextOf(dlg, "size2"), QStringLiteral("5.0MB"));
    EXPECT_EQ(TextOf(dlg, "size3"), QStringLiteral("1.5KB"));
    EXPECT_EQ(TextOf(dlg, "progress1"), QStringLiteral("0%"));
    EXPECT_FALSE(dlg.FindChild(QStringLiteral("check4"))->IsShown());
    auto* red = dynamic_cast<skin::CSkinText*>(dlg.FindChild(QStringLiteral("size3")));
    EXPECT_EQ(red->TextColour(), 0xFFFF0000u);
}

TEST_F(DialogTest, TickingAPatchWithTheClientWarnsAndUntickingTheClientClearsTheLine) {
    CSkinSelectVersionDlg dlg({Row("Client", 1000, 1, 0), Row("Patch", 1000, 0, 0)}, 1 << 20);
    Realise(dlg);
    Click(dlg, dlg.FindChild(QStringLiteral("check2")));
    EXPECT_TRUE(Ticked(dlg, 2));
    EXPECT_EQ(dlg.Rows()[1].checked, 1);
    EXPECT_EQ(TextOf(dlg, "state"), QStringLiteral("已选择完整客户端，不建议再下载补丁"));
    EXPECT_TRUE(dlg.FindChild(QStringLiteral("ok"))->IsEnabled());
    Click(dlg, dlg.FindChild(QStringLiteral("check1")));
    EXPECT_FALSE(dlg.FullClientTicked());
    EXPECT_EQ(TextOf(dlg, "state"), QString());
}

TEST_F(DialogTest, TooLittleSpaceDisablesOkUntilTheSelectionFits) {
    tessali::test::TempDir dir;
    const QString partial = QString::fromStdString(dir.Path() + "Patch.rar");
    tessali::test::WriteFile(dir.Path() + "Patch.rar.!mt", "x");
    CSkinSelectVersionDlg dlg(
        {Row("Client", 3000, 1, 0), Row("Patch", 5000, 0, 0, partial), Row("Other", 2000, 0, 0)}, 4000);
    Realise(dlg);
    // The partly downloaded patch needs no more space.
    Click(dlg, dlg.FindChild(QStringLiteral("check2")));
    EXPECT_TRUE(dlg.FindChild(QStringLiteral("ok"))->IsEnabled());
    Click(dlg, dlg.FindChild(QStringLiteral("check3")));
    EXPECT_FALSE(dlg.FindChild(QStringLiteral("ok"))->IsEnabled());
    EXPECT_EQ(TextOf(dlg, "state"), QStringLiteral("磁盘空间不足"));
    Click(dlg, dlg.FindChild(QStringLiteral("check1")));
    EXPECT_TRUE(dlg.FindChild(QStringLiteral("ok"))->IsEnabled());
    EXPECT_EQ(TextOf(dlg, "state"), QString());
}

TEST_F(DialogTest, OnlyFourOfFiveRowsAreShownAndToggled) {
    std::vector<VersionRow> rows;
    for (int i = 0; i < 5; ++i) rows.push_back(Row("P", 10, 0, 0));
    rows[0].checked = 1;
    CSkinSelectVersionDlg dlg(rows, 1000);
    Realise(dlg);
    EXPECT_FALSE(dlg.FirstSelection());
    EXPECT_TRUE(dlg.FindChild(QStringLiteral("check4"))->IsShown());
    dlg.OnSkinNotify(121, 0, 0);  // "check4"
    EXPECT_EQ(dlg.Rows()[3].checked, 1);
    dlg.Toggle(5);
    EXPECT_EQ(dlg.Rows()[4].checked, 0);
}

TEST_F(DialogTest, TheModalLoopEndsWithTheButtonsResult) {
    CSkinSelectVersionDlg ok({Row("Client", 10, 1, 0)}, 1000);
    QTimer::singleShot(50, [&] {
        ok.OnSize();
        Click(ok, ok.FindChild(QStringLiteral("ok")));
    });
    EXPECT_EQ(ok.exec(), 1);
    CSkinSelectVersionDlg closed({Row("Client", 10, 1, 0)}, 1000);
    QTimer::singleShot(50, [&] {
        closed.OnSize();
        Click(closed, closed.FindChild(QStringLiteral("close")));
    });
    EXPECT_EQ(closed.exec(), 0);
}

TEST(AppTexts, SizesNamesAndShortening) {
    EXPECT_EQ(FormatSize(0), QStringLiteral("0.00Byte"));
    EXPECT_EQ(FormatSize(1023), QStringLiteral("1023.00Byte"));
    EXPECT_EQ(FormatSize(1024), QStringLiteral("1.00KB"));
    EXPECT_EQ(FormatSize((int64_t{1} << 20) * 3 / 2), QStringLiteral("1.50MB"));
    EXPECT_EQ(FormatSize(int64_t{5} << 40), QStringLiteral("5120.00GB"));
    EXPECT_EQ(FormatDialogSize(1023), QStringLiteral("1023.0B"));
    EXPECT_EQ(FormatDialogSize(1024), QStringLiteral("1.0KB"));
    EXPECT_EQ(FormatDialogSize((int64_t{1} << 30) - 1), QStringLiteral("1024.0MB"));
    EXPECT_EQ(FormatDialogSize(int64_t{1} << 30), QStringLiteral("1.00GB"));
    EXPECT_EQ(DisplayName(QStringLiteral("Client.rar"), true), QStringLiteral("Client(推荐)"));
    EXPECT_EQ(DisplayName(QStringLiteral("Setup.exe"), false), QStringLiteral("Setup"));
    // Only a final ending is cut, and a ".rar" anywhere hides the ".exe" rule.
    EXPECT_EQ(DisplayName(QStringLiteral("a.rar.exe"), true), QStringLiteral("a.rar.exe"));
    EXPECT_EQ(DisplayName(QStringLiteral("Client.zip"), true), QStringLiteral("Client.zip"));
    EXPECT_EQ(Shorten(QStringLiteral("123456789012345"), 15, 12), QStringLiteral("123456789012345"));
    EXPECT_EQ(Shorten(QStringLiteral("完整客户端完整客户端完整客户端完"), 15, 12),
              QStringLiteral("完整客户端完整客户端完整..."));
}

}  // namespace
}  // namespace tessali::app::test
