// Test support for the downloader's windows: a QApplication on the offscreen platform, a fake
// notifier, and a fixture that serves the manifest from a loopback HTTP server and creates the
// real main window over the workflow's fake engine and desktop (app/flow/flow_fakes.h).
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
#include "app/flow/flow_fakes.h"
#include "app/window/main_wnd.h"
#include "common/qt_wait.h"
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

using tessali::test::WaitUntilWithEvents;

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

// The main window of one test, on a loopback manifest server, with fake engine and desktop.
class CWindowFixture {
public:
    explicit CWindowFixture(const std::string& manifestXml, bool serveManifest = true);
    ~CWindowFixture();

    // Creates and shows the window; waits until the initialisation ended (either way).
    bool Start();

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
    return WaitUntilWithEvents([this] { return wnd->IsInitialised() || wnd->TimerActive(kTimerCountdown); });
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
