// What the main window tells the desktop besides its own window: the completion notice with its
// actions (open the folder; run an installer) and the launcher icon's progress, against a fake
// notifier. The actions must do what the window's buttons do, for the file that finished.

#include <gtest/gtest.h>

#include <QSystemTrayIcon>

#include "app/window/texts.h"
#include "app_harness.h"

namespace tessali::app::test {
namespace {

using tessali::test::WriteFile;

constexpr double kCleared = CFakeNotifier::kCleared;

const EntrySpec kArchive{"TessaliClient.rar", Hash('A'), 3000, 1, 0, "1", "", ""};
const EntrySpec kInstaller{"TessaliSetup.exe", Hash('D'), 3000, 1, 0, "1", "", ""};

TEST(MainWndNotify, AFinishedArchiveOffersItsFolderOnlyAndTheLauncherFollowsTheDownload) {
    CWindowFixture f(ManifestXml({kArchive}));
    ASSERT_TRUE(f.Start());
    CMainWnd& w = *f.wnd;
    Click(w, w.Control("gobtn"));
    f.engine.SetProgress(Hash('A'), 3000, 750, 10);
    w.OnTimer(kTimerClient);
    f.engine.SetProgress(Hash('A'), 3000, 1500, 10);
    w.OnTimer(kTimerClient);
    EXPECT_TRUE(f.notifier.notices.empty());
    f.engine.SetProgress(Hash('A'), 3000, 3000);
    WriteFile(f.Downloads() + "TessaliClient.rar", "Rar!");  // there to be run, but not a program
    w.OnTimer(kTimerClient);
    EXPECT_EQ(f.notifier.progress, (std::vector<double>{0.25, 0.5, kCleared}));

    ASSERT_EQ(f.notifier.notices.size(), 1u);
    const CompletionNotice& notice = f.notifier.notices[0];
    EXPECT_EQ(notice.summary, QStringLiteral("任务：TessaliClient.rar下载完成"));
    EXPECT_EQ(notice.body, QString::fromStdString(f.Downloads() + "TessaliClient.rar"));
    EXPECT_EQ(f.notifier.Keys(0), std::vector<std::string>{kActionOpenFolder});
    EXPECT_EQ(notice.actions[0].label, QStringLiteral("打开目录"));

    // The action opens what "openbtn" opens, and keeps opening the finished file's folder after
    // the user has moved the window to another one.
    ASSERT_TRUE(f.notifier.Invoke(0, kActionOpenFolder));
    Click(w, w.Control("openbtn"));
    EXPECT_EQ(f.desktop.openedFolders, (std::vector<std::string>{f.Downloads(), f.Downloads()}));
    tessali::test::TempDir other;
    f.desktop.chosenFolder = other.Path();
    w.ChangeFolder();  // "modifybtn" stays disabled once finished; a new selection enables it
    ASSERT_EQ(w.WorkingFolder(), other.Path());
    f.notifier.Invoke(0, kActionOpenFolder);
    EXPECT_EQ(f.desktop.openedFolders.back(), f.Downloads());
    EXPECT_TRUE(f.desktop.openedFiles.empty());
}

TEST(MainWndNotify, AFinishedInstallerCanBeRunFromTheNoticeWhileItIsThere) {
    CWindowFixture f(ManifestXml({kInstaller}));
    ASSERT_TRUE(f.Start());
    CMainWnd& w = *f.wnd;
    Click(w, w.Control("gobtn"));
    const std::string path = f.Downloads() + "TessaliSetup.exe";
    WriteFile(path, "MZ");  // the final name exists: complete
    w.OnTimer(kTimerClient);
    ASSERT_EQ(f.notifier.notices.size(), 1u);
    EXPECT_EQ(f.notifier.Keys(0), (std::vector<std::string>{kActionOpenFolder, kActionRun}));
    EXPECT_EQ(f.notifier.notices[0].actions[1].label, QStringLiteral("运行"));
    EXPECT_TRUE(f.desktop.openedFiles.empty());  // a full client is not started by itself
    f.notifier.Invoke(0, kActionRun);
    EXPECT_EQ(f.desktop.openedFiles, std::vector<std::string>{path});
    // Gone from the folder: nothing is handed to the opener any more.
    platform::RemoveFile(path);
    f.notifier.Invoke(0, kActionRun);
    EXPECT_EQ(f.desktop.openedFiles.size(), 1u);
}

TEST(MainWndNotify, EachFileOfAQueueIsAnnouncedAndTheLauncherClearsOnlyAtTheEnd) {
    const EntrySpec second{"Patch103.rar", Hash('B'), 2000, 0, 0, "2", "", ""};
    CWindowFixture f(ManifestXml({kArchive, second}));
    f.onDialog = [](CSkinSelectVersionDlg& dlg) {
        Click(dlg, dlg.FindChild(QStringLiteral("check2")));
        return 1;
    };
    ASSERT_TRUE(f.Start());
    CMainWnd& w = *f.wnd;
    ASSERT_EQ(w.FullClients().size(), 2u);
    Click(w, w.Control("gobtn"));
    f.engine.SetProgress(Hash('A'), 3000, 3000);
    w.OnTimer(kTimerClient);
    ASSERT_EQ(f.notifier.notices.size(), 1u);
    EXPECT_EQ(std::count(f.notifier.progress.begin(), f.notifier.progress.end(), kCleared), 0);
    f.engine.SetProgress(Hash('B'), 2000, 500);
    w.OnTimer(kTimerClient);
    EXPECT_EQ(f.notifier.progress.back(), 0.25);
    f.engine.SetProgress(Hash('B'), 2000, 2000);
    w.OnTimer(kTimerClient);
    ASSERT_EQ(f.notifier.notices.size(), 2u);
    EXPECT_EQ(f.notifier.notices[1].summary, QStringLiteral("任务：Patch103.rar下载完成"));
    EXPECT_EQ(f.notifier.progress.back(), kCleared);
}

TEST(MainWndNotify, APatchIsAnnouncedAfterItIsOpenedAndPausingClearsTheLauncher) {
    const EntrySpec small{"Launcher.exe", "", 100, 0, 1, "1", "http://files.example/Launcher.exe", ""};
    CWindowFixture f(ManifestXml({kArchive, small}));
    f.onDialog = [](CSkinSelectVersionDlg& dlg) {
        Click(dlg, dlg.FindChild(QStringLiteral("check1")));  // only the red file
        return 1;
    };
    ASSERT_TRUE(f.Start());
    CMainWnd& w = *f.wnd;
    const std::string hash = UrlHash("http://files.example/Launcher.exe");
    const std::string path = f.Downloads() + "Launcher.exe";
    Click(w, w.Control("gobtn"));
    f.engine.SetProgress(hash, 100, 40);
    w.OnTimer(kTimerPatches);
    Click(w, w.Control("stopbtn"));
    EXPECT_EQ(f.notifier.progress, (std::vector<double>{0.4, kCleared}));
    Click(w, w.Control("gobtn"));
    f.engine.SetProgress(hash, 100, 100);
    WriteFile(path, "MZ");
    w.OnTimer(kTimerPatches);
    EXPECT_EQ(f.notifier.progress.back(), kCleared);
    ASSERT_EQ(f.notifier.notices.size(), 1u);
    EXPECT_EQ(f.notifier.notices[0].summary, QStringLiteral("任务：Launcher.exe下载完成"));
    EXPECT_EQ(f.notifier.Keys(0), (std::vector<std::string>{kActionOpenFolder, kActionRun}));
    EXPECT_EQ(f.desktop.openedFiles, std::vector<std::string>{path});  // the window ran it itself
    f.notifier.Invoke(0, kActionRun);
    EXPECT_EQ(f.desktop.openedFiles, (std::vector<std::string>{path, path}));
}

TEST(MainWndNotify, ActionsDoNothingOnceTheProgramHasClosedAndTheBalloonNeedsATray) {
    CWindowFixture f(ManifestXml({kArchive}));
    ASSERT_TRUE(f.Start());
    CMainWnd& w = *f.wnd;
    Click(w, w.Control("gobtn"));
    f.engine.SetProgress(Hash('A'), 3000, 3000);
    w.OnTimer(kTimerClient);
    ASSERT_EQ(f.notifier.notices.size(), 1u);

    f.desktop.trayAvailable = false;
    EXPECT_FALSE(w.ShowTrayMessage(f.notifier.notices[0]));
    f.desktop.trayAvailable = true;
    if (QSystemTrayIcon::supportsMessages()) {
        // A click on the balloon does what the notice's first action does.
        ASSERT_TRUE(w.ShowTrayMessage(f.notifier.notices[0]));
        emit w.Tray()->messageClicked();
        EXPECT_EQ(f.desktop.openedFolders, std::vector<std::string>{f.Downloads()});
    }
    const size_t opened = f.desktop.openedFolders.size();
    w.OnCommand(kCmdExit);
    WaitUntilWithEvents([&] { return w.IsClosed(); });
    ASSERT_TRUE(w.IsClosed());
    EXPECT_EQ(f.notifier.progress.back(), kCleared);
    f.notifier.Invoke(0, kActionOpenFolder);
    EXPECT_EQ(f.desktop.openedFolders.size(), opened);
    EXPECT_FALSE(w.ShowTrayMessage(f.notifier.notices[0]));
}

}  // namespace
}  // namespace tessali::app::test
