// The downloader's process entry: one instance per user, the program log, the folders, the
// desktop identity and notifier, the main window centred in the work area, the event loop.
// SIGTERM/SIGINT/SIGHUP close the window as the tray menu's exit does. The main window stops the
// engine and writes the local record before it ends the loop, so nothing of the engine runs past it.
//
// Demo switch (scripts/demo.sh only; nothing else reads the environment here):
//   TESSALI_DEMO_SHOTS=DIR     run without a user: confirm the dialog, press "gobtn", write a
//                              screenshot of each stage into DIR, exit when done (code 0), when
//                              no progress comes in time (code 3) or when start-up failed (code 4)
//   TESSALI_DEMO_TIMEOUT=SEC   how long the demo waits for a stage, or for the download to move
//                              (default 60)

#include <unistd.h>
#include <QApplication>
#include <QDBusConnection>
#include <QScreen>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "app/app_folders.h"
#include "app/download_record.h"
#include "app/main_demo.h"
#include "app/main_desktop.h"
#include "app/main_engine.h"
#include "app/main_log.h"
#include "app/main_signals.h"
#include "app/main_wnd.h"
#include "app/program_log.h"
#include "app/qt_dbus_notifier.h"
#include "engine/platform/deploy_config.h"
#include "engine/platform/folders.h"

using namespace tessali;

namespace {

// Centred in the work area and kept inside it.
void CentreInWorkArea(QWidget& wnd) {
    QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen)
        return;
    const QRect area = screen->availableGeometry();
    int x = area.x() + (area.width() - wnd.width()) / 2;
    int y = area.y() + (area.height() - wnd.height()) / 2;
    x = std::max(area.x(), std::min(x, area.right() + 1 - wnd.width()));
    y = std::max(area.y(), std::min(y, area.bottom() + 1 - wnd.height()));
    wnd.move(std::max(x, area.x()), std::max(y, area.y()));
}

void InstallProgramLogOrWarn() {
    if (app::InstallProgramLog().empty())
        std::fprintf(stderr, "tessali: the log file in %s cannot be opened\n", platform::LogFolder().c_str());
}

}  // namespace

int main(int argc, char** argv) {
    app::CInstanceGuard guard(app::CInstanceGuard::DefaultPath());
    if (!guard.Acquire())
        return 0;  // another instance runs; it is left alone
    std::signal(SIGPIPE, SIG_IGN);
    // Before Qt starts, so that the platform's own warnings land in the log as well.
    InstallProgramLogOrWarn();
    QApplication application(argc, argv);
    app::SetDesktopIdentity();
    // The window hides into the notification area; only its close handling ends the program.
    QApplication::setQuitOnLastWindowClosed(false);

    app::MainWndSettings settings;
    settings.appDataFolder = app::PrepareAppDataFolder(platform::DataHome());
    settings.downloadFolder =
        app::StartupDownloadFolder(settings.appDataFolder + std::string(app::kRecordFileName),
                                   app::DownloadFolderCandidates(), app::FolderFacts::Platform());
    const platform::DeployConfig& deploy = platform::Deploy();
    settings.manifestBase = deploy.manifestBase;
    settings.statsHost = deploy.statsHost;
    settings.homePage = deploy.homePage;

    // The desktop entry named here is the one Qt was told, so a check of the installed tree sees it.
    app::ProgramLog().Write(app::CProgramLog::kInfo, "start pid " + std::to_string(::getpid()) +
                                                         ", desktop entry " +
                                                         QGuiApplication::desktopFileName().toStdString() +
                                                         ", download folder " + settings.downloadFolder);

    app::CEngineEntryPoints engine;
    app::CDesktop desktop;
    app::CDBusNotifier notifier(QDBusConnection::sessionBus());
    app::CMainWnd wnd(engine, desktop, notifier, settings);
    notifier.SetFallback([&wnd](const app::CompletionNotice& notice) { wnd.ShowTrayMessage(notice); });
    // The system asking the program to end is a close, as from the tray menu.
    app::CTerminationSignals termination([&wnd](int number) {
        app::ProgramLog().Write(app::CProgramLog::kInfo, "signal " + std::to_string(number) + ", closing");
        wnd.close();
    });
    wnd.resize(app::CMainWnd::kWidth, app::CMainWnd::kHeight);
    wnd.Create();
    CentreInWorkArea(wnd);

    std::unique_ptr<app::CDemoPilot> pilot;
    if (const char* shots = std::getenv("TESSALI_DEMO_SHOTS"); shots != nullptr && *shots != '\0') {
        const char* timeout = std::getenv("TESSALI_DEMO_TIMEOUT");
        const int seconds = timeout != nullptr && std::atoi(timeout) > 0 ? std::atoi(timeout) : 60;
        pilot = std::make_unique<app::CDemoPilot>(wnd, QString::fromLocal8Bit(shots), seconds);
    }
    wnd.show();
    int code = application.exec();
    if (pilot)
        code = pilot->ExitCode();
    app::ProgramLog().Write(app::CProgramLog::kInfo, "stop " + std::to_string(code));
    return code;
}
