// The download workflow without a window: a fake engine and desktop, a fake view that records what
// the workflow shows and answers the version dialog and the folder chooser, and a fake clock whose
// timers the test ticks by hand. The manifest comes from a loopback HTTP server.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>

#include "app/flow/download_flow.h"
#include "app/flow/flow_fakes.h"
#include "app/records/download_record.h"
#include "common/scripted_http_server.h"
#include "common/temp_dir.h"
#include "engine/platform/file.h"

namespace tessali::app::test {
namespace {

using Kind = FlowStatus::Kind;
using State = CDownloadFlow::State;
using tessali::test::ReadFile;
using tessali::test::WriteFile;

const EntrySpec kClient{"TessaliClient.rar", Hash('A'), 3000, 1, 0, "1", "", "The whole game"};
const EntrySpec kPatch{"Patch103.rar", Hash('B'), 2000, 0, 0, "2", "", "Patch 1.0.3"};
const EntrySpec kWebPatch{"Patch104.exe", Hash('C'), 1500, 0, 1, "2", "http://files.example/Patch104.exe",
                          "Patch 1.0.4"};

class CFakeView : public IDownloadFlowView {
public:
    void PostInitEnded(bool success) override {
        initResult = success;
        initPosted.Set();
    }
    void Log(bool warning, const std::string& text) override {
        logs.push_back((warning ? "W " : "I ") + text);
    }
    void ShowStatus(const FlowStatus& status) override { statuses.push_back(status); }
    void ShowRoute(const std::string& folder) override { route = folder; }
    void SetControl(FlowControl control, bool on) override { controls[control] = on; }
    void ShowManifest(const Manifest& manifest) override { shownTitle = manifest.title; }
    void Refresh() override {}
    bool RunVersionDialog(std::vector<VersionChoice>& rows, int64_t freeBytes) override {
        ++dialogs;
        dialogFreeBytes = freeBytes;
        return onDialog ? onDialog(rows) : false;
    }
    std::string ChooseFolder(const std::string& title) override {
        chooserTitles.push_back(title);
        return chosenFolder;
    }
    void FileCompleted(const SelectionItem& item) override { completed.push_back(item.path); }
    void ShowLauncherProgress(bool downloading, double percent) override {
        launcher.push_back(downloading ? percent : -1);
    }
    void HideAndClose() override { closes.push_back("hide"); }
    void RemoveTrayAndClose() override { closes.push_back("tray"); }

    const FlowStatus& Last() const { return statuses.back(); }
    bool On(FlowControl control) const {
        auto it = controls.find(control);
        return it != controls.end() && it->second;
    }

    platform::Event initPosted{platform::Event::Reset::kManual, false};
    bool initResult = false;
    std::vector<std::string> logs;
    std::vector<FlowStatus> statuses;
    std::string route;
    std::map<FlowControl, bool> controls;
    std::string shownTitle;
    int dialogs = 0;
    int64_t dialogFreeBytes = -1;
    std::function<bool(std::vector<VersionChoice>&)> onDialog;
    std::string chosenFolder;
    std::vector<std::string> chooserTitles;
    std::vector<std::string> completed;
    std::vector<double> launcher;  // -1: cleared
    std::vector<std::string> closes;
};

// Timers that run only when the test ticks them.
class CFakeClock : public IFlowTimers {
public:
    void StartTimer(int id, int periodMs) override { active[id] = periodMs; }
    void StopTimer(int id) override { active.erase(id); }
    bool Active(int id) const { return active.count(id) != 0; }
    // One period of timer `id` passes: the flow hears of it when the timer runs.
    bool Tick(CDownloadFlow& flow, int id) {
        if (!Active(id))
            return false;
        flow.OnTimer(id);
        return true;
    }
    std::map<int, int> active;
};

class CFlowFixture {
public:
    explicit CFlowFixture(const std::string& manifestXml, bool serveManifest = true) {
        manifestServer.SetDefaultReply(tessali::test::ScriptedReply{
            {serveManifest ? tessali::test::HttpAnswer("200 OK", "", manifestXml)
                           : tessali::test::HttpAnswer("404 Not Found", "", "gone")}});
        statsServer.SetDefaultReply(
            tessali::test::ScriptedReply{{tessali::test::HttpAnswer("200 OK", "", "")}});
        platform::CreateDirectories(AppData());
        settings.appDataFolder = AppData();
        settings.downloadFolder = downloads.Path();
        settings.manifestBase = manifestServer.Url("/");
        settings.statsHost = "127.0.0.1:" + std::to_string(statsServer.Port());
        settings.manifestTimeoutMs = 5000;
    }

    std::string AppData() const { return appData.Path() + "TessaliDL/"; }
    std::string RecordPath() const { return AppData() + std::string(kRecordFileName); }

    // Starts the flow and hands the end of its initialisation over, as the window's event does.
    CDownloadFlow& Start() {
        flow = std::make_unique<CDownloadFlow>(engine, desktop, view, clock, settings);
        flow->Start();
        EXPECT_TRUE(clock.Active(kTimerStartup));
        EXPECT_TRUE(view.initPosted.Wait(20000));
        flow->OnInitEnded(view.initResult);
        return *flow;
    }

    tessali::test::TempDir appData;
    tessali::test::TempDir downloads;
    tessali::test::CScriptedHttpServer manifestServer;
    tessali::test::CScriptedHttpServer statsServer;
    FlowSettings settings;
    CFakeEngine engine;
    CFakeDesktop desktop;
    CFakeView view;
    CFakeClock clock;
    std::unique_ptr<CDownloadFlow> flow;
};

DownloadRecord ReadRecord(const std::string& path) {
    DownloadRecord record;
    EXPECT_EQ(ReadDownloadRecord(path, record), 1) << path;
    return record;
}

// ---- start-up ----

TEST(DownloadFlowStart, TheOnlyEntryIsDownloadedFromGoToItsEndAndClosingWritesTheRecord) {
    CFlowFixture f(ManifestXml({kClient}));
    f.desktop.freeBytes = int64_t{3} << 30;
    CDownloadFlow& flow = f.Start();
    EXPECT_EQ(flow.GetState(), State::kReady);
    EXPECT_TRUE(flow.InitSucceeded());
    EXPECT_FALSE(f.clock.Active(kTimerStartup));
    EXPECT_FALSE(f.clock.Active(kTimerSlides));  // no pictures
    EXPECT_EQ(f.view.shownTitle, "Tessali Online");
    EXPECT_EQ(f.view.logs.back(), "I initialisation ended: 1");
    EXPECT_EQ(f.view.dialogs, 0);
    ASSERT_EQ(flow.FullClients().size(), 1u);
    EXPECT_EQ(flow.FullClients()[0].path, f.downloads.Path() + "TessaliClient.rar");
    EXPECT_EQ(f.view.Last().kind, Kind::kSpaceLeft);
    EXPECT_EQ(f.view.Last().bytes, int64_t{3} << 30);
    EXPECT_TRUE(f.view.On(FlowControl::kGoEnabled));
    EXPECT_EQ(f.engine.CountPrefix("add"), 0);  // nothing starts by itself

    flow.Go();
    EXPECT_EQ(flow.GetState(), State::kDownloading);
    EXPECT_EQ(f.engine.Calls().back(), "add " + Hash('A') + " " + f.downloads.Path() + "TessaliClient.rar");
    EXPECT_EQ(f.clock.active[kTimerClient], 1000);
    EXPECT_TRUE(f.view.On(FlowControl::kStopShown));
    EXPECT_FALSE(f.view.On(FlowControl::kGoShown));
    EXPECT_FALSE(f.view.On(FlowControl::kModifyEnabled));

    f.engine.SetProgress(Hash('A'), 3000, 1500, 2048);
    ASSERT_TRUE(f.clock.Tick(flow, kTimerClient));
    EXPECT_EQ(f.view.Last().kind, Kind::kProgress);
    EXPECT_EQ(f.view.Last().name, "TessaliClient.rar");
    EXPECT_EQ(f.view.Last().percent, 50);
    EXPECT_EQ(f.view.Last().bytes, 2048);
    EXPECT_EQ(f.view.launcher.back(), 50);

    f.engine.SetProgress(Hash('A'), 3000, 3000);
    ASSERT_TRUE(f.clock.Tick(flow, kTimerClient));
    EXPECT_EQ(f.view.completed, std::vector<std::string>{f.downloads.Path() + "TessaliClient.rar"});
    EXPECT_EQ(f.view.Last().kind, Kind::kFinished);
    EXPECT_EQ(flow.GetState(), State::kReady);
    EXPECT_EQ(flow.Percent(), 100);
    EXPECT_FALSE(f.clock.Active(kTimerClient));
    EXPECT_TRUE(f.view.On(FlowControl::kOpenShown));
    EXPECT_EQ(f.view.launcher.back(), -1);
    EXPECT_TRUE(flow.Started().empty());

    EXPECT_TRUE(flow.Close());
    EXPECT_TRUE(flow.IsClosed());
    EXPECT_TRUE(f.clock.active.empty());
    EXPECT_EQ(f.engine.Count("uninit"), 1);
    const DownloadRecord record = ReadRecord(f.RecordPath());
    EXPECT_EQ(record.path, f.downloads.Path());
    EXPECT_EQ(record.progress, 100);
    EXPECT_TRUE(record.files.empty());
}

TEST(DownloadFlowStart, AFailedStartCountsDownFromFiveAndKeepsTheOldRecord) {
    CFlowFixture f("", false);
    WriteFile(f.RecordPath(), "kept as it is");
    CDownloadFlow& flow = f.Start();
    EXPECT_FALSE(flow.InitSucceeded());
    EXPECT_EQ(flow.GetState(), State::kStartFailed);
    EXPECT_EQ(f.view.logs.front().rfind("W no download manifest: ", 0), 0u);
    std::vector<int> counts;
    while (f.clock.Tick(flow, kTimerCountdown)) counts.push_back(f.view.Last().count);
    EXPECT_EQ(counts, (std::vector<int>{5, 4, 3, 2, 1, 0}));
    EXPECT_EQ(f.view.Last().kind, Kind::kInitFailed);
    EXPECT_EQ(f.view.closes, std::vector<std::string>{"tray"});
    EXPECT_EQ(flow.GetState(), State::kGivenUp);
    EXPECT_TRUE(flow.IsInitialised());
    EXPECT_TRUE(flow.Close());
    EXPECT_EQ(ReadFile(f.RecordPath()), "kept as it is");
}

TEST(DownloadFlowStart, ACloseDuringStartUpIsRefusedAndDoneWhenStartUpEnds) {
    // During a failed start: the next countdown tick closes, hidden, without counting.
    {
        CFlowFixture f("", false);
        CDownloadFlow& flow = f.Start();
        EXPECT_FALSE(flow.Close());
        EXPECT_FALSE(flow.IsClosed());
        ASSERT_TRUE(f.clock.Tick(flow, kTimerCountdown));
        EXPECT_EQ(f.view.closes, std::vector<std::string>{"hide"});
        EXPECT_FALSE(f.clock.Active(kTimerCountdown));
        EXPECT_TRUE(f.view.statuses.empty());
        EXPECT_TRUE(flow.Close());
        EXPECT_EQ(f.engine.Count("uninit"), 1);
    }
    // While the engine is still starting: nothing is offered, the window closes at once after.
    {
        CFlowFixture f(ManifestXml({kClient, kPatch}));
        f.engine.holdInit = true;
        f.flow = std::make_unique<CDownloadFlow>(f.engine, f.desktop, f.view, f.clock, f.settings);
        f.flow->Start();
        EXPECT_FALSE(f.flow->Close());
        EXPECT_EQ(f.flow->GetState(), State::kStarting);
        f.engine.initGate.Set();
        ASSERT_TRUE(f.view.initPosted.Wait(20000));
        f.flow->OnInitEnded(f.view.initResult);
        EXPECT_EQ(f.view.closes, std::vector<std::string>{"hide"});
        EXPECT_EQ(f.view.dialogs, 0);
        EXPECT_TRUE(f.flow->Close());
    }
}

TEST(DownloadFlowStart, ARecordIsOfferedToContinueWithoutNamesThatLeaveItsFolder) {
    CFlowFixture f(ManifestXml({kClient, kPatch}));
    tessali::test::TempDir other;
    DownloadRecord record;
    record.path = other.Path();
    record.progress = 40;
    record.files = {{Hash('A'), "../../.profile", 10}, {Hash('B'), "TessaliClient.rar", 3000}};
    WriteDownloadRecord(f.RecordPath(), record);
    CDownloadFlow& flow = f.Start();
    EXPECT_EQ(f.view.dialogs, 0);
    EXPECT_EQ(flow.WorkingFolder(), other.Path());
    EXPECT_EQ(f.view.route, other.Path());
    EXPECT_EQ(flow.Percent(), 40);
    ASSERT_EQ(flow.FullClients().size(), 1u);
    EXPECT_EQ(flow.FullClients()[0].path, other.Path() + "TessaliClient.rar");
    EXPECT_EQ(f.view.Last().kind, Kind::kContinue);
    EXPECT_TRUE(f.view.On(FlowControl::kGoEnabled));
}

TEST(DownloadFlowStart, ARecordNamingAMissingFolderFallsBackToTheDownloadFolder) {
    CFlowFixture f(ManifestXml({kClient}));
    DownloadRecord record;
    record.path = f.downloads.Path() + "gone/";
    record.files = {{Hash('A'), "TessaliClient.rar", 3000}};
    WriteDownloadRecord(f.RecordPath(), record);
    CDownloadFlow& flow = f.Start();
    EXPECT_EQ(flow.WorkingFolder(), f.downloads.Path());
    EXPECT_EQ(f.view.route, f.downloads.Path());
    EXPECT_TRUE(flow.FullClients().empty());
}

// ---- the free space ----

TEST(DownloadFlowSpace, TooLittleSpaceOrNoLargeFilesDisableGoAndAPartialFileHoldsItsSpace) {
    {
        CFlowFixture f(ManifestXml({kClient}));
        f.desktop.freeBytes = 2999;
        f.Start();
        EXPECT_FALSE(f.view.On(FlowControl::kGoEnabled));
        EXPECT_EQ(f.view.Last().kind, Kind::kSpaceShort);
        EXPECT_EQ(f.view.Last().bytes, 2999);
    }
    {
        EntrySpec big = kClient;
        big.size = int64_t{5} << 30;
        CFlowFixture f(ManifestXml({big}));
        f.desktop.largeFiles = false;
        f.Start();
        EXPECT_FALSE(f.view.On(FlowControl::kGoEnabled));
        EXPECT_EQ(f.view.Last().kind, Kind::kNoLargeFiles);
    }
    {
        CFlowFixture f(ManifestXml({kClient}));
        f.desktop.freeBytes = 10;
        WriteFile(f.downloads.File("TessaliClient.rar.!mt"), "partial");
        f.Start();
        EXPECT_TRUE(f.view.On(FlowControl::kGoEnabled));
        EXPECT_EQ(f.view.Last().kind, Kind::kSpaceLeft);
    }
}

// ---- the version dialog ----

TEST(DownloadFlowSelection, TheDialogsTicksBecomeTheDownloadAndAChangeWhileDownloadingRestartsIt) {
    CFlowFixture f(ManifestXml({kClient, kPatch, kWebPatch}, {}, "Tessali Online"));
    std::vector<VersionChoice> seen;
    f.view.onDialog = [&](std::vector<VersionChoice>& rows) {
        seen = rows;
        rows[0].checked = true;
        rows[2].checked = true;
        return true;
    };
    CDownloadFlow& flow = f.Start();
    ASSERT_EQ(f.view.dialogs, 1);
    ASSERT_EQ(seen.size(), 3u);
    for (const VersionChoice& row : seen) EXPECT_FALSE(row.checked);
    EXPECT_EQ(seen[0].fileName, "TessaliClient.rar");
    EXPECT_TRUE(seen[0].complete);
    EXPECT_EQ(seen[2].path, f.downloads.Path() + "Patch104.exe");
    EXPECT_EQ(f.view.dialogFreeBytes, f.desktop.freeBytes);
    EXPECT_EQ(f.view.statuses[1].kind, Kind::kChooseTask);
    ASSERT_EQ(flow.FullClients().size(), 1u);
    EXPECT_EQ(flow.FullClients()[0].hash, Hash('A'));
    ASSERT_EQ(flow.Patches().size(), 1u);
    EXPECT_EQ(flow.Patches()[0].httpUrl, "http://files.example/Patch104.exe");
    EXPECT_EQ(ReadRecord(f.RecordPath()).files.size(), 1u);
    EXPECT_EQ(f.view.Last().kind, Kind::kSpaceLeft);

    flow.Go();
    EXPECT_EQ(f.engine.CountPrefix("seed http://files.example/Patch104.exe " + Hash('C')), 1);
    EXPECT_EQ(f.engine.CountPrefix("add " + Hash('A')), 1);
    EXPECT_TRUE(f.clock.Active(kTimerPatches));
    EXPECT_TRUE(f.clock.Active(kTimerClient));

    // Open again while downloading: the rows show the selection and the engine's progress; the
    // patch is unticked, so both tasks pause and the client alone goes on.
    f.engine.SetProgress(Hash('A'), 3000, 750);
    f.view.onDialog = [&](std::vector<VersionChoice>& rows) {
        seen = rows;
        rows[2].checked = false;
        return true;
    };
    flow.SelectVersion();
    EXPECT_TRUE(seen[0].checked);
    EXPECT_FALSE(seen[1].checked);
    EXPECT_TRUE(seen[2].checked);
    EXPECT_EQ(seen[0].progress, 25);
    EXPECT_EQ(f.engine.Count("control " + Hash('A') + " 2"), 1);
    EXPECT_EQ(f.engine.Count("control " + Hash('C') + " 2"), 1);
    EXPECT_EQ(f.engine.Count("control " + Hash('A') + " 1"), 1);  // the task exists: started again
    EXPECT_TRUE(flow.Patches().empty());
    EXPECT_TRUE(flow.IsDownloading());
}

TEST(DownloadFlowSelection, ACancelledDialogChangesNothingAndAProgramClosedMeanwhileStopsThere) {
    CFlowFixture f(ManifestXml({kClient, kPatch}, {"http://127.0.0.1:1/p1.jpg"}));
    CDownloadFlow& flow = f.Start();
    ASSERT_EQ(f.view.dialogs, 1);  // offered at start, cancelled
    EXPECT_TRUE(flow.FullClients().empty());
    EXPECT_EQ(f.view.Last().kind, Kind::kSpaceLeft);
    EXPECT_TRUE(f.clock.Active(kTimerSlides));  // the slide show goes on after the dialog
    EXPECT_FALSE(platform::FileExists(f.RecordPath()));

    f.view.onDialog = [&](std::vector<VersionChoice>& rows) {
        EXPECT_FALSE(f.clock.Active(kTimerSlides));  // held while the dialog is open
        rows[0].checked = true;
        EXPECT_TRUE(flow.Close());  // the tray menu's exit
        return true;
    };
    flow.SelectVersion();
    EXPECT_TRUE(flow.IsClosed());
    EXPECT_TRUE(flow.FullClients().empty());
    EXPECT_FALSE(f.clock.Active(kTimerSlides));
    EXPECT_EQ(f.engine.CountPrefix("control"), 0);
}

// ---- patches, pausing, folders ----

TEST(DownloadFlowPatches, AFinishedPatchIsOpenedAndAnnouncedAndAFailedQueryWaitsForTheFile) {
    CFlowFixture f(ManifestXml({kPatch, kWebPatch}));
    f.view.onDialog = [](std::vector<VersionChoice>& rows) {
        rows[1].checked = true;
        return true;
    };
    CDownloadFlow& flow = f.Start();
    ASSERT_EQ(flow.Patches().size(), 1u);
    flow.Go();
    const std::string path = f.downloads.Path() + "Patch104.exe";
    // The engine lost the task: the name is shown, the file decides.
    f.engine.tasks.clear();
    ASSERT_TRUE(f.clock.Tick(flow, kTimerPatches));
    EXPECT_EQ(f.view.Last().kind, Kind::kQueryFailed);
    EXPECT_EQ(f.view.Last().name, "Patch104.exe");
    EXPECT_TRUE(f.view.completed.empty());
    EXPECT_TRUE(flow.IsDownloading());

    WriteFile(path, "MZ");
    ASSERT_TRUE(f.clock.Tick(flow, kTimerPatches));
    EXPECT_EQ(f.desktop.openedFiles, std::vector<std::string>{path});
    EXPECT_EQ(f.view.completed, std::vector<std::string>{path});
    EXPECT_EQ(f.view.Last().kind, Kind::kFinished);
    EXPECT_FALSE(flow.IsDownloading());
    EXPECT_FALSE(f.clock.Active(kTimerPatches));
    EXPECT_TRUE(f.view.On(FlowControl::kGoShown));
    EXPECT_EQ(f.view.launcher.back(), -1);
}

TEST(DownloadFlowPatches, ARelatedPatchIsNamedWhenTheLastDownloadEnds) {
    EntrySpec client = kClient;
    client.complete = 0;
    client.version = "2";
    CFlowFixture f(ManifestXml({client, kPatch}));
    f.view.onDialog = [](std::vector<VersionChoice>& rows) {
        rows[0].checked = true;
        return true;
    };
    CDownloadFlow& flow = f.Start();
    flow.Go();
    f.engine.SetProgress(Hash('A'), 3000, 3000);
    ASSERT_TRUE(f.clock.Tick(flow, kTimerClient));
    EXPECT_EQ(f.view.Last().kind, Kind::kRelatedPatch);
    EXPECT_EQ(f.view.Last().name, "Patch103.rar");
}

TEST(DownloadFlowFolder, PauseThenANewFolderDeletesOnlyThisRunsTasksAndARootGetsItsOwnFolder) {
    CFlowFixture f(ManifestXml({kClient}));
    CDownloadFlow& flow = f.Start();
    flow.Go();
    // Not while downloading.
    flow.ChangeFolder();
    EXPECT_TRUE(f.view.chooserTitles.empty());
    flow.Pause();
    EXPECT_EQ(f.view.Last().kind, Kind::kPaused);
    EXPECT_EQ(f.engine.Count("control " + Hash('A') + " 2"), 1);
    EXPECT_FALSE(f.clock.Active(kTimerClient));
    EXPECT_EQ(f.view.launcher.back(), -1);

    tessali::test::TempDir root;
    f.desktop.driveRoots.insert(root.Path());
    f.view.chosenFolder = root.Path();
    flow.ChangeFolder();
    const std::string folder = root.Path() + "TessaliDownload/";
    EXPECT_EQ(f.view.chooserTitles, std::vector<std::string>{"请选择下载目录"});
    EXPECT_TRUE(platform::DirectoryExists(root.Path() + "TessaliDownload"));
    EXPECT_EQ(f.view.route, folder);
    EXPECT_EQ(flow.WorkingFolder(), folder);
    EXPECT_EQ(flow.Settings().downloadFolder, folder);
    EXPECT_EQ(f.engine.Count("control " + Hash('A') + " 3"), 1);
    EXPECT_EQ(f.view.Last().kind, Kind::kSpaceLeft);
    // The same folder again deletes nothing more.
    f.desktop.driveRoots.clear();
    f.view.chosenFolder = folder;
    flow.ChangeFolder();
    EXPECT_EQ(f.engine.CountPrefix("control " + Hash('A') + " 3"), 1);
    // Go goes on in the new folder.
    flow.Go();
    EXPECT_EQ(f.engine.Calls().back(), "add " + Hash('A') + " " + folder + "TessaliClient.rar");
}

}  // namespace
}  // namespace tessali::app::test
