#include "app/program.h"

#include <unistd.h>
#include <QApplication>
#include <QDBusConnection>
#include <QScreen>
#include <csignal>
#include <cstdio>

#include "app/desktop/dbus_notifier.h"
#include "app/desktop/desktop.h"
#include "app/desktop/qt_message_log.h"
#include "app/desktop/termination_signals.h"
#include "app/records/app_folders.h"
#include "app/records/download_record.h"
#include "app/records/program_log.h"
#include "app/window/engine_entry_points.h"
#include "app/window/main_wnd.h"
#include "engine/platform/deploy_config.h"
#include "engine/platform/folders.h"

namespace tessali::app {
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
    if (InstallProgramLog().empty())
        std::fprintf(stderr, "tessali: the log file in %s cannot be opened\n", platform::LogFolder().c_str());
}

}  // namespace

int RunProgram(int argc, char** argv, const PilotFactory& makePilot) {
    CInstanceGuard guard(CInstanceGuard::DefaultPath());
    if (!guard.Acquire())
        return 0;  // another instance runs; it is left alone
    std::signal(SIGPIPE, SIG_IGN);
    // Before Qt starts, so that the platform's own warnings land in the log as well.
    InstallProgramLogOrWarn();
    QApplication application(argc, argv);
    SetDesktopIdentity();
    // The window hides into the notification area; only its close handling ends the program.
    QApplication::setQuitOnLastWindowClosed(false);

    MainWndSettings settings;
    settings.appDataFolder = PrepareAppDataFolder(platform::DataHome());
    settings.downloadFolder = StartupDownloadFolder(settings.appDataFolder + std::string(kRecordFileName),
                                                    DownloadFolderCandidates(), FolderFacts::Platform());
    const platform::DeployConfig& deploy = platform::Deploy();
    settings.manifestBase = deploy.manifestBase;
    settings.statsHost = deploy.statsHost;
    settings.homePage = deploy.homePage;

    // The desktop entry named here is the one Qt was told, so a check of the installed tree sees it.
    ProgramLog().Write(CProgramLog::kInfo, "start pid " + std::to_string(::getpid()) + ", desktop entry " +
                                               QGuiApplication::desktopFileName().toStdString() +
                                               ", download folder " + settings.downloadFolder);

    CEngineEntryPoints engine;
    CDesktop desktop;
    CDBusNotifier notifier(QDBusConnection::sessionBus());
    CMainWnd wnd(engine, desktop, notifier, settings);
    notifier.SetFallback([&wnd](const CompletionNotice& notice) { wnd.ShowTrayMessage(notice); });
    // The system asking the program to end is a close, as from the tray menu.
    CTerminationSignals termination([&wnd](int number) {
        ProgramLog().Write(CProgramLog::kInfo, "signal " + std::to_string(number) + ", closing");
        wnd.close();
    });
    wnd.resize(CMainWnd::kWidth, CMainWnd::kHeight);
    wnd.Create();
    CentreInWorkArea(wnd);

    std::unique_ptr<IProgramPilot> pilot = makePilot ? makePilot(wnd) : nullptr;
    wnd.show();
    int code = application.exec();
    if (pilot)
        code = pilot->ExitCode(code);
    pilot.reset();
    ProgramLog().Write(CProgramLog::kInfo, "stop " + std::to_string(code));
    return code;
}

}  // namespace tessali::app
