// Test support for the downloader's windows: a QApplication on the offscreen platform, a fake
// engine and a fake desktop that record what the window asks of them, a manifest builder and a
// fixture that serves the manifest from a loopback HTTP server and creates the real main window.
#pragma once

#include <QApplication>
#include <QtTest/QTest>
#include <cstdlib>
#include <map>
#include <mutex>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include "app/desktop/desktop_notifier.h"
#include "app/flow/desktop_services.h"
#include "app/flow/download_engine.h"
#include "app/window/main_wnd.h"
#include "common/scripted_http_server.h"
#include "common/temp_dir.h"
#include "engine/platform/event.h"
#include "engine/platform/file.h"
#include "skin/skin_root.h"

// Readable failure messages for texts.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

namespace tessali::app::test {

inline QApplication& App() {
    static int argc = 1;
    static char name[] = "test_app";
    static char* argv[] = {name, nullptr};
    static QApplication* app = [] {
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
        return new QApplication(argc, argv);
    }();
    return *app;
}

class CFakeEngine : public IDownloadEngine {
public:
    struct Task {
        std::string path;
        std::string url;
        TaskProgress progress;
    };

    bool StartNetwork() override {
        std::lock_guard lock(m_lock);
        calls.push_back("network");
        return true;
    }
    int Init() override {
        if (holdInit)
            initGate.Wait();
        std::lock_guard lock(m_lock);
        calls.push_back("init");
        return initResult;
    }
    void Uninit() override {
        std::lock_guard lock(m_lock);
        calls.push_back("uninit");
    }
    int AddHashTask(const std::string& hash, const std::string& path) override {
        std::lock_guard lock(m_lock);
        calls.push_back("add " + hash + " " + path);
        if (tasks.count(hash))
            return -1;
        tasks[hash] = Task{path, {}, {}};
        return 0;
    }
    bool AddSeedTask(const std::string& url, const std::string& hash, const std::string& path) override {
        std::lock_guard lock(m_lock);
        calls.push_back("seed " + url + " " + hash + " " + path);
        if (tasks.count(hash))
            return true;
        tasks[hash] = Task{path, url, {}};
        return true;
    }
    bool QueryTask(const std::string& hash, TaskProgress& out) override {
        std::lock_guard lock(m_lock);
        auto it = tasks.find(hash);
        if (it == tasks.end())
            return false;
        out = it->second.progress;
        return true;
    }
    void ControlTask(const std::string& hash, int code) override {
        std::lock_guard lock(m_lock);
        calls.push_back("control " + hash + " " + std::to_string(code));
        if (code == kTaskDelete)
            tasks.erase(hash);
    }

    void SetProgress(const std::string& hash, int64_t total, int64_t completed, int64_t rate = 0) {
        std::lock_guard lock(m_lock);
        tasks[hash].progress = TaskProgress{total, completed, rate};
    }
    std::vector<std::string> Calls() {
        std::lock_guard lock(m_lock);
        return calls;
    }
    int Count(const std::string& call) {
        int n = 0;
        for (const std::string& c : Calls()) n += c == call;
        return n;
    }
    int CountPrefix(const std::string& prefix) {
        int n = 0;
        for (const std::string& c : Calls()) n += c.rfind(prefix, 0) == 0;
        return n;
    }

    int initResult = 0;
    bool holdInit = false;
    platform::Event initGate{platform::Event::Reset::kManual, false};
    std::map<std::string, Task> tasks;
    std::vector<std::string> calls;

private:
    std::mutex m_lock;
};

class CFakeDesktop : public IDesktopServices {
public:
    int64_t FreeBytes(const std::string&) override { return freeBytes; }
    bool CanHoldLargeFiles(const std::string&) override { return largeFiles; }
    bool IsDriveRoot(const std::string& folder) override { return driveRoots.count(folder) != 0; }
    std::string ChooseFolder(QWidget*, const std::string& title) override {
        chooserTitles.push_back(title);
        return chosenFolder;
    }
    void OpenFile(const std::string& path) override { openedFiles.push_back(path); }
    void OpenFolder(const std::string& folder) override { openedFolders.push_back(folder); }
    void OpenUrl(const std::string& url) override { openedUrls.push_back(url); }
    bool TrayAvailable() override { return trayAvailable; }

    int64_t freeBytes = int64_t{50} << 30;
    bool largeFiles = true;
    std::set<std::string> driveRoots;
    std::string chosenFolder;
    bool trayAvailable = true;
    std::vector<std::string> chooserTitles, openedFiles, openedFolders, openedUrls;
};

// Records completion notices and launcher progress; a clearing is recorded as -1.
class CFakeNotifier : public IDesktopNotifier {
public:
    void NotifyCompleted(CompletionNotice notice) override { notices.push_back(std::move(notice)); }
    void ShowProgress(double fraction) override { progress.push_back(fraction); }
    void ClearProgress() override { progress.push_back(kCleared); }

    std::vector<std::string> Keys(size_t notice) const {
        std::vector<std::string> keys;
        for (const NotificationAction& a : notices.at(notice).actions) keys.push_back(a.key);
        return keys;
    }
    // Runs an action as a click in the notification would; false when the notice has no such key.
    bool Invoke(size_t notice, const std::string& key) {
        for (const NotificationAction& a : notices.at(notice).actions) {
            if (a.key == key) {
                a.run();
                return true;
            }
        }
        return false;
    }

    static constexpr double kCleared = -1;
    std::vector<CompletionNotice> notices;
    std::vector<double> progress;
};

struct EntrySpec {
    std::string fileName;
    std::string hash;
    int64_t size = 1000;
    int complete = 0;
    int redshow = 0;
    std::string version = "1";
    std::string httpUrl;
    std::string description;
};

// A manifest document with the given entries and pictures.
inline std::string ManifestXml(const std::vector<EntrySpec>& entries,
                               const std::vector<std::string>& pictureUrls = {},
                               const std::string& title = "Tessali Online") {
    std::string xml =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<patchlist title=\"" + title +
        "\" g7_url=\"http://game.example/\" buygame_url=\"\" gameraider_url=\"http://guide.example/\">\n";
    for (const EntrySpec& e : entries) {
        xml += "<download filename=\"" + e.fileName + "\" hash=\"" + e.hash + "\" size=\"" +
               std::to_string(e.size) + "\" complete=\"" + std::to_string(e.complete) + "\" redshow=\"" +
               std::to_string(e.redshow) + "\" version=\"" + e.version + "\" http_url=\"" + e.httpUrl +
               "\" description=\"" + e.description + "\"/>\n";
    }
    if (!pictureUrls.empty()) {
        xml += "<image>\n";
        for (const std::string& url : pictureUrls)
            xml += "<img image_url=\"" + url + "\" http_url=\"http://link.example/\" description=\"pic\"/>\n";
        xml += "</image>\n";
    }
    return xml + "</patchlist>\n";
}

// 40 hex digits made of one repeated digit ("A" -> "AAAA…").
inline std::string Hash(char digit) {
    return std::string(40, digit);
}

// The main window of one test, on a loopback manifest server, with fake engine and desktop.
class CWindowFixture {
public:
    explicit CWindowFixture(const std::string& manifestXml, bool serveManifest = true);
    ~CWindowFixture();

    // Creates and shows the window; waits until the initialisation ended (either way).
    bool Start();
    void WaitUntil(const std::function<bool()>& done, int timeoutMs = 10000);

    std::string RecordPath() const { return appData.Path() + "TessaliDL/G7DownLoadInfo.xml"; }
    std::string AppData() const { return appData.Path() + "TessaliDL/"; }
    std::string Downloads() const { return downloads.Path(); }
    std::vector<std::string> Beacons() const;

    tessali::test::TempDir appData;
    tessali::test::TempDir downloads;
    tessali::test::CScriptedHttpServer manifestServer;
    tessali::test::CScriptedHttpServer statsServer;
    CFakeEngine engine;
    CFakeDesktop desktop;
    CFakeNotifier notifier;
    std::unique_ptr<CMainWnd> wnd;
    std::function<int(CSkinSelectVersionDlg&)> onDialog;
    int dialogs = 0;
    std::vector<int> quits;
};

// A left click on a control, through the window's own mouse handling.
inline void Click(skin::CSkinRoot& root, skin::CSkinCtrl* control) {
    ASSERT_NE(control, nullptr);
    const QPoint c = control->GetRect().center();
    root.OnMouseMove(0, c.x(), c.y());
    root.OnLButtonDown(skin::kKeyLButton, c.x(), c.y());
    root.OnLButtonUp(0, c.x(), c.y());
}

// Lays a dialog out at its size so its controls can be clicked.
inline void Realise(CSkinSelectVersionDlg& dlg) {
    dlg.InitDialog();
    dlg.resize(CSkinSelectVersionDlg::kWidth, CSkinSelectVersionDlg::kHeight);
    dlg.OnSize();
    dlg.Paint();
}

inline CWindowFixture::CWindowFixture(const std::string& manifestXml, bool serveManifest) {
    App();
    if (serveManifest) {
        manifestServer.SetDefaultReply(
            tessali::test::ScriptedReply{{tessali::test::HttpAnswer("200 OK", "", manifestXml)}});
    } else {
        manifestServer.SetDefaultReply(
            tessali::test::ScriptedReply{{tessali::test::HttpAnswer("404 Not Found", "", "gone")}});
    }
    statsServer.SetDefaultReply(tessali::test::ScriptedReply{{tessali::test::HttpAnswer("200 OK", "", "")}});
    skin::CSkinState::Instance().firstPaintDone = true;
    skin::CSkinState::Instance().paintingSuspended = false;
    platform::CreateDirectories(AppData());
}

inline CWindowFixture::~CWindowFixture() {
    wnd.reset();
    skin::CSkinState::Instance().paintingSuspended = false;
}

inline bool CWindowFixture::Start() {
    MainWndSettings settings;
    settings.appDataFolder = AppData();
    settings.downloadFolder = Downloads();
    settings.manifestBase = manifestServer.Url("/");
    settings.statsHost = "127.0.0.1:" + std::to_string(statsServer.Port());
    settings.homePage = "http://home.example/";
    settings.manifestTimeoutMs = 5000;
    wnd = std::make_unique<CMainWnd>(engine, desktop, notifier, settings);
    wnd->runDialog = [this](CSkinSelectVersionDlg& dlg) {
        ++dialogs;
        Realise(dlg);
        return onDialog ? onDialog(dlg) : 0;
    };
    wnd->postQuit = [this](int code) { quits.push_back(code); };
    wnd->Create();
    wnd->show();
    wnd->OnSize();
    WaitUntil([this] { return wnd->IsInitialised() || wnd->TimerActive(kTimerCountdown); });
    return wnd->IsInitialised() || wnd->TimerActive(kTimerCountdown);
}

inline void CWindowFixture::WaitUntil(const std::function<bool()>& done, int timeoutMs) {
    QTest::qWaitFor(done, timeoutMs);
}

inline std::vector<std::string> CWindowFixture::Beacons() const {
    std::vector<std::string> out;
    for (const std::string& head : statsServer.Requests()) {
        const size_t at = head.find("data=");
        if (at != std::string::npos)
            out.push_back(head.substr(at + 5, head.find_first_of(" &", at + 5) - at - 5));
    }
    return out;
}

}  // namespace tessali::app::test
