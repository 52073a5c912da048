// The main window against a fake engine and desktop, with its manifest served by a loopback HTTP
// server: what initialisation offers, the download workflow and closing.

#include <gtest/gtest.h>

#include "app/records/download_record.h"
#include "app/window/texts.h"
#include "app_harness.h"
#include "skin/skin_button.h"
#include "skin/skin_text.h"

#include <QSystemTrayIcon>

namespace tessali::app::test {
namespace {

using tessali::test::ReadFile;
using tessali::test::WriteFile;

const EntrySpec kClient{"TessaliClient.rar", Hash('A'), 3000, 1, 0, "1", "", "The whole game"};
const EntrySpec kPatch{"Patch103.rar", Hash('B'), 2000, 0, 0, "2", "", "Patch 1.0.3"};
const EntrySpec kPatch2{"Patch104.rar", Hash('C'), 1500, 0, 0, "2", "", "Patch 1.0.4"};

void WriteRecordFile(CWindowFixture& f, const std::string& folder, const std::vector<RecordedFile>& files,
                     int progress = 40) {
    DownloadRecord record;
    record.path = folder;
    record.progress = progress;
    record.files = files;
    WriteDownloadRecord(f.RecordPath(), record);
}

TEST(MainWndInit, OneEntryWithoutRecordIsPreselectedAndShowsTheSpaceMessage) {
    CWindowFixture f(ManifestXml({kClient}));
    f.desktop.freeBytes = int64_t{3} << 30;
    ASSERT_TRUE(f.Start());
    CMainWnd& w = *f.wnd;
    EXPECT_TRUE(w.InitSucceeded());
    ASSERT_EQ(w.FullClients().size(), 1u);
    EXPECT_EQ(w.FullClients()[0].hash, Hash('A'));
    EXPECT_EQ(w.FullClients()[0].path, f.Downloads() + "TessaliClient.rar");
    EXPECT_EQ(w.StateText(), QStringLiteral("空间剩余3.00GB"));
    EXPECT_TRUE(w.Control("gobtn")->IsEnabled());
    EXPECT_EQ(f.dialogs, 0);
    // Nothing starts by itself; the engine was started once from the initialisation thread.
    EXPECT_EQ(f.engine.CountPrefix("add"), 0);
    EXPECT_EQ(f.engine.Count("init"), 1);
    EXPECT_EQ(w.TitleText(), QStringLiteral("Tessali Online"));
    EXPECT_EQ(w.windowTitle(), QStringLiteral("Tessali Online"));
    EXPECT_FALSE(w.TimerActive(kTimerStartup));
    EXPECT_FALSE(w.TimerActive(kTimerSlides));  // no pictures, no slide show
    for (const char* page : {"page1", "page2", "page3", "page4"}) EXPECT_FALSE(w.Control(page)->IsShown());
    // A first start reports "launch" and "firstlaunch".
    WaitUntilWithEvents([&] { return f.Beacons().size() >= 2; });
    EXPECT_EQ(f.Beacons(), (std::vector<std::string>{"launch", "firstlaunch"}));
}

TEST(MainWndInit, TooLittleSpaceForTheOnlyEntryDisablesGo) {
    CWindowFixture f(ManifestXml({kClient}));
    f.desktop.freeBytes = 2999;
    ASSERT_TRUE(f.Start());
    EXPECT_FALSE(f.wnd->Control("gobtn")->IsEnabled());
    EXPECT_EQ(f.wnd->StateText(), QStringLiteral("目标目录空间不足，还剩余2.93KB"));
}

TEST(MainWndInit, FourGigabytesOnAFilesystemWithoutLargeFilesIsRefused) {
    EntrySpec big = kClient;
    big.size = int64_t{5} << 30;
    CWindowFixture f(ManifestXml({big}));
    f.desktop.largeFiles = false;
    ASSERT_TRUE(f.Start());
    EXPECT_FALSE(f.wnd->Control("gobtn")->IsEnabled());
    EXPECT_EQ(f.wnd->StateText(), QStringLiteral("目标目录空间不支持4G以上文件，还剩余50.00GB"));
}

TEST(MainWndInit, TwoEntriesOpenTheDialogByThemselves) {
    CWindowFixture f(ManifestXml({kClient, kPatch}));
    std::vector<VersionRow> seen;
    bool dimmed = false;
    f.onDialog = [&](CSkinSelectVersionDlg& dlg) {
        seen = dlg.Rows();
        dimmed = f.wnd->IsDimmed();
        return 0;
    };
    ASSERT_TRUE(f.Start());
    EXPECT_EQ(f.dialogs, 1);
    ASSERT_EQ(seen.size(), 2u);
    // First selection: the full client is ticked, the patch is not.
    EXPECT_EQ(seen[0].checked, 1);
    EXPECT_EQ(seen[1].checked, 0);
    EXPECT_EQ(seen[0].displayName, QStringLiteral("TessaliClient(推荐)"));
    EXPECT_EQ(seen[1].displayName, QStringLiteral("Patch103"));
    EXPECT_EQ(seen[0].path, QString::fromStdString(f.Downloads() + "TessaliClient.rar"));
    EXPECT_TRUE(dimmed);
    EXPECT_FALSE(f.wnd->IsDimmed());
    // Cancelled: nothing selected, the space check's message.
    EXPECT_TRUE(f.wnd->FullClients().empty());
    EXPECT_EQ(f.wnd->StateText(), QStringLiteral("空间剩余50.00GB"));
}

TEST(MainWndInit, ARecordWithFilesAndAnExistingFolderOffersToContinue) {
    CWindowFixture f(ManifestXml({kClient, kPatch}));
    tessali::test::TempDir other;
    WriteRecordFile(f, other.Path(), {{Hash('A'), "TessaliClient.rar", 3000}});
    ASSERT_TRUE(f.Start());
    CMainWnd& w = *f.wnd;
    EXPECT_EQ(f.dialogs, 0);
    EXPECT_EQ(w.WorkingFolder(), other.Path());
    EXPECT_EQ(w.RouteText(), QString::fromStdString(other.Path()));
    EXPECT_EQ(w.Percent(), 40);
    EXPECT_EQ(w.StateText(), QStringLiteral("初始化完成，请点击“开始”按钮继续上一次未完成的下载"));
    ASSERT_TRUE(w.Control("gobtn")->IsEnabled());
    // One click continues the last file of the record.
    Click(w, w.Control("gobtn"));
    EXPECT_EQ(f.engine.Calls().back(), "add " + Hash('A') + " " + other.Path() + "TessaliClient.rar");
    EXPECT_TRUE(w.IsDownloading());
    EXPECT_TRUE(w.TimerActive(kTimerClient));
    EXPECT_FALSE(w.Control("gobtn")->IsShown());
    EXPECT_TRUE(w.Control("stopbtn")->IsShown());
    EXPECT_FALSE(w.Control("modifybtn")->IsEnabled());
    // Not a first start any more.
    WaitUntilWithEvents([&] { return !f.Beacons().empty(); });
    EXPECT_EQ(f.Beacons(), std::vector<std::string>{"launch"});
}

TEST(MainWndInit, ARecordNamingAMissingFolderFallsBack) {
    CWindowFixture f(ManifestXml({kClient, kPatch}));
    WriteRecordFile(f, f.Downloads() + "gone/", {{Hash('A'), "TessaliClient.rar", 3000}});
    ASSERT_TRUE(f.Start());
    CMainWnd& w = *f.wnd;
    EXPECT_EQ(w.WorkingFolder(), f.Downloads());
    EXPECT_EQ(w.RouteText(), QString::fromStdString(f.Downloads()));
    EXPECT_TRUE(w.FullClients().empty());
    EXPECT_EQ(f.dialogs, 0);  // nothing is asked until "gobtn"
    EXPECT_TRUE(w.Control("gobtn")->IsEnabled());
    EXPECT_EQ(w.StateText(), QStringLiteral("初始化完成，请选择下载任务"));
    Click(w, w.Control("gobtn"));
    EXPECT_EQ(f.dialogs, 1);
}

TEST(MainWndInit, RecordedNamesThatLeaveTheFolderAreNotRestored) {
    CWindowFixture f(ManifestXml({kClient}));
    WriteRecordFile(f, f.Downloads(), {{Hash('A'), "../../.profile", 10}, {Hash('B'), "ok.rar", 10}});
    ASSERT_TRUE(f.Start());
    ASSERT_EQ(f.wnd->FullClients().size(), 1u);
    EXPECT_EQ(f.wnd->FullClients()[0].name, "ok.rar");
}

TEST(MainWndInit, FailureCountsDownFromFiveAndClosesKeepingTheOldRecord) {
    CWindowFixture f("", false);  // 404 and no cache: the manifest cannot be read
    WriteRecordFile(f, f.Downloads(), {{Hash('A'), "TessaliClient.rar", 3000}});
    const std::string before = ReadFile(f.RecordPath());
    ASSERT_TRUE(f.Start());
    CMainWnd& w = *f.wnd;
    EXPECT_FALSE(w.InitSucceeded());
    EXPECT_TRUE(w.TimerActive(kTimerCountdown));
    for (int count = 5; count >= 0; --count) {
        EXPECT_FALSE(w.IsInitialised());
        w.OnTimer(kTimerCountdown);
        EXPECT_EQ(w.StateText(),
                  QStringLiteral("初始化失败，下载器将在%1秒后关闭，请检查您的网络是否正常").arg(count));
    }
    EXPECT_TRUE(w.IsInitialised());
    EXPECT_FALSE(w.TimerActive(kTimerCountdown));
    WaitUntilWithEvents([&] { return w.IsClosed(); });
    EXPECT_TRUE(w.IsClosed());
    EXPECT_EQ(f.engine.Count("uninit"), 1);
    EXPECT_EQ(f.quits, std::vector<int>{0});
    EXPECT_EQ(ReadFile(f.RecordPath()), before);
}

TEST(MainWndInit, EngineStartFailureCountsDownToo) {
    CWindowFixture f(ManifestXml({kClient}));
    f.engine.initResult = -1;
    ASSERT_TRUE(f.Start());
    EXPECT_TRUE(f.wnd->TimerActive(kTimerCountdown));
    EXPECT_FALSE(f.wnd->IsInitialised());
}

TEST(MainWndInit, ClosingDuringInitialisationWaitsForItsEnd) {
    CWindowFixture f(ManifestXml({kClient}));
    f.engine.holdInit = true;
    // Start() waits for the end of the initialisation, so close from inside the wait.
    QTimer::singleShot(200, [&] {
        f.wnd->close();
        QTimer::singleShot(200, [&] {
            EXPECT_TRUE(f.wnd->isVisible());
            EXPECT_FALSE(f.wnd->IsClosed());
            EXPECT_EQ(f.engine.Count("uninit"), 0);
            f.engine.initGate.Set();
        });
    });
    ASSERT_TRUE(f.Start());
    WaitUntilWithEvents([&] { return f.wnd->IsClosed(); });
    EXPECT_TRUE(f.wnd->IsClosed());
    EXPECT_FALSE(f.wnd->isVisible());
    EXPECT_EQ(f.engine.Count("uninit"), 1);
    EXPECT_EQ(f.quits, std::vector<int>{0});
}

TEST(MainWndInit, PicturesAreCachedByTheirUrlsHashAndShownInReverseMarks) {
    tessali::test::CScriptedHttpServer pictures;
    pictures.SetDefaultReply(tessali::test::ScriptedReply{{tessali::test::HttpAnswer("200 OK", "", "JPEG")}});
    std::vector<std::string> urls{pictures.Url("/1.jpg"), pictures.Url("/2.jpg"), pictures.Url("/3.jpg")};
    CWindowFixture f(ManifestXml({kClient}, urls));
    ASSERT_TRUE(f.Start());
    CMainWnd& w = *f.wnd;
    for (const std::string& url : urls)
        EXPECT_EQ(ReadFile(f.AppData() + "Image/" + UrlHash(url) + ".jpg"), "JPEG");
    EXPECT_TRUE(w.TimerActive(kTimerSlides));
    EXPECT_TRUE(w.Control("page3")->IsShown());
    EXPECT_FALSE(w.Control("page4")->IsShown());
    auto marked = [&] {
        std::string out;
        for (const char* p : {"page1", "page2", "page3", "page4"}) {
            auto* b = dynamic_cast<skin::CSkinSelectButton*>(w.Control(p));
            if (b && b->IsSelected())
                out += p;
        }
        return out;
    };
    std::vector<std::string> marks;
    for (int i = 0; i < 4; ++i) {
        w.OnTimer(kTimerSlides);
        marks.push_back(marked());
    }
    EXPECT_EQ(marks, (std::vector<std::string>{"page3", "page2", "page1", "page3"}));
    // The pointer on the picture stops the show, leaving restarts it.
    w.OnSkinNotify(123, 0, 0);
    EXPECT_FALSE(w.TimerActive(kTimerSlides));
    w.OnSkinNotify(124, 0, 0);
    EXPECT_TRUE(w.TimerActive(kTimerSlides));
}

// ---- the workflow ----

// Starts with the client and the patch ticked through the real dialog's check boxes.
std::unique_ptr<CWindowFixture> TwoRowsSelected(const std::vector<EntrySpec>& entries) {
    auto f = std::make_unique<CWindowFixture>(ManifestXml(entries));
    CWindowFixture* raw = f.get();
    raw->onDialog = [raw](CSkinSelectVersionDlg& dlg) {
        Click(dlg, dlg.FindChild(QStringLiteral("check2")));
        return 1;
    };
    EXPECT_TRUE(f->Start());
    return f;
}

TEST(MainWndDownload, TwoFullClientRowsDownloadOneAfterTheOther) {
    auto f = TwoRowsSelected({kClient, kPatch});
    CMainWnd& w = *f->wnd;
    ASSERT_EQ(w.FullClients().size(), 2u);
    EXPECT_EQ(w.FullClients().back().hash, Hash('A'));  // the upper row first
    Click(w, w.Control("gobtn"));
    EXPECT_EQ(f->engine.CountPrefix("add " + Hash('A')), 1);
    EXPECT_EQ(f->engine.CountPrefix("add " + Hash('B')), 0);
    f->engine.SetProgress(Hash('A'), 3000, 1500, 2048);
    w.OnTimer(kTimerClient);
    EXPECT_EQ(w.StateText(), QStringLiteral("当前下载版本：TessaliClien... 进度：50% 速度：2.00KB/s"));
    f->engine.SetProgress(Hash('A'), 3000, 3000);
    w.OnTimer(kTimerClient);
    // The second starts at once; the first one's completion text stays until the next poll.
    EXPECT_EQ(f->engine.CountPrefix("add " + Hash('B')), 1);
    EXPECT_EQ(w.StateText(), QStringLiteral("任务：TessaliClient.rar下载完成"));
    EXPECT_TRUE(w.IsDownloading());
    f->engine.SetProgress(Hash('B'), 2000, 500, 0);
    w.OnTimer(kTimerClient);
    EXPECT_EQ(w.StateText(), QStringLiteral("当前下载版本：Patch103.rar 进度：25% 速度：0.00Byte/s"));
    f->engine.SetProgress(Hash('B'), 2000, 2000);
    w.OnTimer(kTimerClient);
    EXPECT_FALSE(w.IsDownloading());
    EXPECT_FALSE(w.TimerActive(kTimerClient));
    EXPECT_TRUE(w.Control("openbtn")->IsShown());
    EXPECT_EQ(w.Percent(), 100);
    EXPECT_TRUE(w.Started().empty());
    WaitUntilWithEvents([&] {
        auto b = f->Beacons();
        return std::count(b.begin(), b.end(), "download") == 2;
    });
    auto b = f->Beacons();
    EXPECT_EQ(std::count(b.begin(), b.end(), "download"), 2);
    Click(w, w.Control("openbtn"));
    EXPECT_EQ(f->desktop.openedFolders, std::vector<std::string>{f->Downloads()});
}

TEST(MainWndDownload, PauseThenGoRestartsTheSameTasks) {
    auto f = TwoRowsSelected({kClient, kPatch});
    CMainWnd& w = *f->wnd;
    Click(w, w.Control("gobtn"));
    Click(w, w.Control("stopbtn"));
    EXPECT_EQ(f->engine.Calls().back(), "control " + Hash('A') + " 2");
    EXPECT_EQ(w.StateText(), QStringLiteral("任务被暂停"));
    EXPECT_FALSE(w.IsDownloading());
    EXPECT_FALSE(w.TimerActive(kTimerClient));
    EXPECT_TRUE(w.Control("gobtn")->IsShown());
    EXPECT_TRUE(w.Control("modifybtn")->IsEnabled());
    const int dialogs = f->dialogs;
    Click(w, w.Control("gobtn"));
    const auto calls = f->engine.Calls();
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(calls[calls.size() - 2], "add " + Hash('A') + " " + f->Downloads() + "TessaliClient.rar");
    EXPECT_EQ(calls.back(), "control " + Hash('A') + " 1");
    EXPECT_EQ(f->dialogs, dialogs);
    EXPECT_EQ(w.Started(), std::vector<std::string>{Hash('A')});
}

TEST(MainWndDownload, ChangingTheFolderDeletesOnlyTasksStartedInThisRun) {
    auto f = TwoRowsSelected({kClient, kPatch});
    CMainWnd& w = *f->wnd;
    Click(w, w.Control("gobtn"));
    Click(w, w.Control("stopbtn"));
    tessali::test::TempDir other;
    f->desktop.chosenFolder = other.Path().substr(0, other.Path().size() - 1);
    Click(w, w.Control("modifybtn"));
    EXPECT_EQ(f->desktop.chooserTitles, std::vector<std::string>{"请选择下载目录"});
    EXPECT_EQ(f->engine.Count("control " + Hash('A') + " 3"), 1);
    EXPECT_EQ(f->engine.CountPrefix("control " + Hash('B') + " 3"), 0);
    EXPECT_EQ(w.WorkingFolder(), other.Path());
    EXPECT_EQ(w.DownloadFolder(), other.Path());
    EXPECT_EQ(w.RouteText(), QString::fromStdString(other.Path()));
    EXPECT_EQ(w.FullClients().back().path, other.Path() + "TessaliClient.rar");
    EXPECT_EQ(w.StateText(), QStringLiteral("空间剩余50.00GB"));
}

TEST(MainWndDownload, ChoosingAFilesystemRootDownloadsIntoItsTessaliDownloadFolder) {
    CWindowFixture f(ManifestXml({kClient}));
    ASSERT_TRUE(f.Start());
    tessali::test::TempDir root;
    f.desktop.chosenFolder = root.Path();
    f.desktop.driveRoots.insert(root.Path());
    Click(*f.wnd, f.wnd->Control("modifybtn"));
    EXPECT_EQ(f.wnd->WorkingFolder(), root.Path() + "TessaliDownload/");
    EXPECT_TRUE(platform::DirectoryExists(root.Path() + "TessaliDownload"));
    // A cancelled chooser keeps the folder.
    f.desktop.chosenFolder.clear();
    Click(*f.wnd, f.wnd->Control("modifybtn"));
    EXPECT_EQ(f.wnd->WorkingFolder(), root.Path() + "TessaliDownload/");
    EXPECT_EQ(f.wnd->StateText(), QStringLiteral("空间剩余50.00GB"));
}

TEST(MainWndDownload, AFinishedPatchIsHandedToTheOpener) {
    const EntrySpec small{"Launcher.exe", "", 100, 0, 1, "1", "http://files.example/Launcher.exe", ""};
    CWindowFixture f(ManifestXml({kClient, small}));
    f.onDialog = [&](CSkinSelectVersionDlg& dlg) {
        Click(dlg, dlg.FindChild(QStringLiteral("check1")));  // untick the client, keep the red file
        return 1;
    };
    ASSERT_TRUE(f.Start());
    CMainWnd& w = *f.wnd;
    ASSERT_EQ(w.Patches().size(), 1u);
    EXPECT_TRUE(w.FullClients().empty());
    Click(w, w.Control("gobtn"));
    const std::string hash = UrlHash("http://files.example/Launcher.exe");
    const std::string path = f.Downloads() + "Launcher.exe";
    EXPECT_EQ(f.engine.Calls().back(), "seed http://files.example/Launcher.exe " + hash + " " + path);
    EXPECT_TRUE(w.TimerActive(kTimerPatches));
    f.engine.SetProgress(hash, 100, 40, 10);
    w.OnTimer(kTimerPatches);
    EXPECT_EQ(w.StateText(), QStringLiteral("当前下载版本：Launcher.exe 进度：40% 速度：10.00Byte/s"));
    EXPECT_TRUE(f.desktop.openedFiles.empty());
    f.engine.SetProgress(hash, 100, 100);
    WriteFile(path, std::string(100, 'x'));
    w.OnTimer(kTimerPatches);
    EXPECT_EQ(f.desktop.openedFiles, std::vector<std::string>{path});
    EXPECT_EQ(w.StateText(), QStringLiteral("任务：Launcher.exe下载完成"));
    EXPECT_FALSE(w.TimerActive(kTimerPatches));
    EXPECT_TRUE(w.Control("gobtn")->IsShown());
    EXPECT_FALSE(w.IsDownloading());
    WaitUntilWithEvents([&] {
        auto b = f.Beacons();
        return std::find(b.begin(), b.end(), "tsdownload") != b.end();
    });
    auto b = f.Beacons();
    EXPECT_NE(std::find(b.begin(), b.end(), "tsdownload"), b.end());
}

TEST(MainWndDownload, ServerNamesWithPathsNeverReachTheOpener) {
    const EntrySpec evil{"../../evil.exe", "", 100, 0, 1, "1", "http://files.example/evil.exe", ""};
    const EntrySpec nested{"bin/run.exe", "", 100, 0, 1, "1", "http://files.example/run.exe", ""};
    const EntrySpec good{"Launcher.exe", "", 100, 0, 1, "1", "http://files.example/Launcher.exe", ""};
    CWindowFixture f(ManifestXml({evil, nested, good}));
    std::vector<QString> names;
    f.onDialog = [&](CSkinSelectVersionDlg& dlg) {
        for (const VersionRow& row : dlg.Rows()) names.push_back(row.displayName);
        return 1;
    };
    ASSERT_TRUE(f.Start());
    // With one safe entry left it is simply pre-selected; nothing unsafe is offered.
    EXPECT_TRUE(names.empty());
    ASSERT_EQ(f.wnd->GetManifest().entries.size(), 1u);
    ASSERT_EQ(f.wnd->FullClients().size(), 1u);
    f.wnd->OnSkinNotify(111, 0, 0);
    EXPECT_EQ(names, std::vector<QString>{QStringLiteral("Launcher")});
    ASSERT_EQ(f.wnd->Patches().size(), 1u);
    Click(*f.wnd, f.wnd->Control("gobtn"));
    WriteFile(f.Downloads() + "Launcher.exe", "x");
    f.engine.tasks.clear();
    f.wnd->OnTimer(kTimerPatches);
    EXPECT_EQ(f.desktop.openedFiles, std::vector<std::string>{f.Downloads() + "Launcher.exe"});
}

TEST(MainWndDownload, AFailedPatchQueryWaitsForTheFile) {
    const EntrySpec small{"Launcher.exe", "", 100, 0, 1, "1", "http://files.example/Launcher.exe", ""};
    CWindowFixture f(ManifestXml({kClient, small}));
    f.onDialog = [&](CSkinSelectVersionDlg& dlg) {
        Click(dlg, dlg.FindChild(QStringLiteral("check1")));
        return 1;
    };
    ASSERT_TRUE(f.Start());
    Click(*f.wnd, f.wnd->Control("gobtn"));
    f.engine.tasks.clear();
    f.wnd->OnTimer(kTimerPatches);
    EXPECT_EQ(f.wnd->StateText(), QStringLiteral("当前下载版本：Launcher.exe进度查询失败"));
    EXPECT_EQ(f.wnd->Patches().size(), 1u);
    WriteFile(f.Downloads() + "Launcher.exe", "x");
    f.wnd->OnTimer(kTimerPatches);
    EXPECT_TRUE(f.wnd->Patches().empty());
    EXPECT_EQ(f.desktop.openedFiles.size(), 1u);
}

TEST(MainWndDownload, ARelatedPatchIsHintedWhenTheLastDownloadEnds) {
    CWindowFixture f(ManifestXml({kClient, kPatch, kPatch2}));
    f.onDialog = [&](CSkinSelectVersionDlg& dlg) {
        Click(dlg, dlg.FindChild(QStringLiteral("check1")));  // untick the client
        Click(dlg, dlg.FindChild(QStringLiteral("check2")));  // tick the first patch only
        return 1;
    };
    ASSERT_TRUE(f.Start());
    CMainWnd& w = *f.wnd;
    ASSERT_EQ(w.FullClients().size(), 1u);
    Click(w, w.Control("gobtn"));
    f.engine.SetProgress(Hash('B'), 2000, 2000);
    w.OnTimer(kTimerClient);
    EXPECT_EQ(w.StateText(), QStringLiteral("有一个相关的补丁需要下载：Patch104.rar"));
    // Once the related file is in the folder there is nothing to hint.
    WriteFile(f.Downloads() + "Patch104.rar", "x");
    w.OnSkinNotify(111, 0, 0);
    Click(w, w.Control("gobtn"));
    f.engine.tasks.clear();
    f.engine.SetProgress(Hash('B'), 2000, 2000);
    w.OnTimer(kTimerClient);
    EXPECT_EQ(w.StateText(), QStringLiteral("任务：Patch103.rar下载完成"));
}

TEST(MainWndDownload, ALocalRecordIsWrittenAfterASelectionAndAtClose) {
    auto f = TwoRowsSelected({kClient, kPatch});
    DownloadRecord record;
    ASSERT_EQ(ReadDownloadRecord(f->RecordPath(), record), 1);
    ASSERT_EQ(record.files.size(), 2u);
    EXPECT_EQ(record.files[0].name, "Patch103.rar");  // front of the list first
    EXPECT_EQ(record.files[1].name, "TessaliClient.rar");
    EXPECT_EQ(record.path, f->Downloads());
    f->wnd->SetPercent(37.9);
    f->wnd->OnCommand(kCmdExit);
    WaitUntilWithEvents([&] { return f->wnd->IsClosed(); });
    ASSERT_EQ(ReadDownloadRecord(f->RecordPath(), record), 1);
    EXPECT_EQ(record.progress, 37);
    EXPECT_EQ(f->engine.Count("uninit"), 1);
}

// ---- window buttons and the notification area ----

TEST(MainWndShell, CloseHidesWithANotificationAreaAndMinimisesWithout) {
    CWindowFixture f(ManifestXml({kClient}));
    ASSERT_TRUE(f.Start());
    CMainWnd& w = *f.wnd;
    f.desktop.trayAvailable = false;
    Click(w, w.Control("close"));
    EXPECT_TRUE(w.isVisible());
    EXPECT_TRUE(w.isMinimized());
    EXPECT_FALSE(w.IsClosed());
    w.showNormal();
    f.desktop.trayAvailable = true;
    Click(w, w.Control("close"));
    EXPECT_FALSE(w.isVisible());
    EXPECT_FALSE(w.IsClosed());
    // The tray icon's click brings it back, a second click hides it again.
    w.OnTrayMessage(kMouseLButtonUp);
    EXPECT_TRUE(w.isVisible());
    w.OnTrayMessage(kMouseLButtonUp);
    EXPECT_FALSE(w.isVisible());
    w.OnCommand(kCmdOpenWindow);
    EXPECT_TRUE(w.isVisible());
    EXPECT_EQ(f.engine.Count("uninit"), 0);
}

TEST(MainWndShell, TrayMenuAndLinks) {
    CWindowFixture f(ManifestXml({kClient}));
    ASSERT_TRUE(f.Start());
    CMainWnd& w = *f.wnd;
    ASSERT_FALSE(w.TrayMenu()->actions().isEmpty());
    QMenu* popup = w.TrayMenu()->actions().front()->menu();
    ASSERT_NE(popup, nullptr);
    EXPECT_EQ(popup->title(), QStringLiteral("文件(&F)"));
    std::vector<int> ids;
    for (QAction* a : popup->actions())
        if (!a->isSeparator())
            ids.push_back(a->data().toInt());
    EXPECT_EQ(ids, (std::vector<int>{kCmdOpenWindow, kCmdExit}));
    EXPECT_EQ(w.Tray()->toolTip(), QStringLiteral("Tessali Online"));
    Click(w, w.Control("menu3"));
    Click(w, w.Control("menu4"));
    Click(w, w.Control("menu5"));  // empty purchase link: nothing
    Click(w, w.Control("menu6"));
    EXPECT_EQ(f.desktop.openedUrls,
              (std::vector<std::string>{"http://home.example/?from=verdo7", "http://game.example/",
                                        "http://guide.example/"}));
}

}  // namespace
}  // namespace tessali::app::test
