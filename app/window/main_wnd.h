// CMainWnd: the downloader's one top-level window and the controller of the whole download. It
// runs the initialisation thread (manifest, launch reports, engine start, pictures), offers what
// to download when that ends, runs the version dialog, checks the free space, starts, polls,
// pauses and finishes engine tasks, and draws the branded window (slide show, progress bar,
// dimming, rounded corners, notification-area icon and its menu). Completed files and the
// download's progress also go to the desktop (IDesktopNotifier).
// Threading: everything runs on the GUI thread except the initialisation thread, which fills the
// manifest and hands it over once, through the "initialisation ended" event it waits on.
#pragma once

#include <QEvent>
#include <QImage>
#include <QMenu>
#include <QString>
#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/desktop/desktop_notifier.h"
#include "app/flow/desktop_services.h"
#include "app/flow/download_engine.h"
#include "app/records/manifest.h"
#include "app/window/select_version_dlg.h"
#include "engine/platform/event.h"
#include "skin/skin_menu.h"
#include "skin/skin_wnd.h"

class QSystemTrayIcon;

namespace tessali::app {

// Fixed ids and periods of the window's timers.
inline constexpr int kTimerStartup = 375;    // 333 ms, start-up animation
inline constexpr int kTimerSlides = 376;     // 5000 ms, slide show
inline constexpr int kTimerClient = 377;     // 1000 ms, full-client poll
inline constexpr int kTimerCountdown = 379;  // 1000 ms, failure countdown
inline constexpr int kTimerPatches = 380;    // 2000 ms, patch poll

// The window's own messages: initialisation ended (first parameter 1 success, 0 failure), and
// the notification-area icon's callback (the mouse message as the second parameter).
inline constexpr QEvent::Type kMsgInitEnded = static_cast<QEvent::Type>(QEvent::User + 100);
inline constexpr int kMsgTray = 1125;
inline constexpr int kMouseLButtonUp = 0x0202;
inline constexpr int kMouseRButtonUp = 0x0205;
// Commands of the tray menu.
inline constexpr int kCmdOpenWindow = 32772;
inline constexpr int kCmdExit = 32773;

// One selected manifest entry (or restored record file).
struct SelectionItem {
    std::string hash;
    std::string httpUrl;  // patch items only
    std::string path;     // folder + name: the final file
    std::string name;
    int64_t size = 0;
    std::string folder;  // the working folder at the time of selection
    std::string version;
    int redshow = 0;
};

// What the window needs from the process shell and the deployment file.
struct MainWndSettings {
    std::string appDataFolder;   // "…/TessaliDL/"
    std::string downloadFolder;  // the process-wide download folder, trailing '/'
    std::string manifestBase;
    std::string statsHost;
    std::string homePage;
    // Cap on one manifest refresh during initialisation (a silent server must not hold start-up).
    int64_t manifestTimeoutMs = 60000;
};

class CMainWnd : public skin::CSkinWnd {
public:
    static constexpr int kWidth = 590;
    static constexpr int kHeight = 530;

    CMainWnd(IDownloadEngine& engine, IDesktopServices& desktop, IDesktopNotifier& notifier,
             MainWndSettings settings);
    ~CMainWnd() override;

    // How the version dialog is run (modally by default); tests drive the real dialog through it.
    std::function<int(CSkinSelectVersionDlg&)> runDialog;
    // How the quit message is posted (QCoreApplication::exit by default).
    std::function<void(int)> postQuit;

    // CSkinWnd overrides.
    void OnCreate() override;
    void LoadSkin() override;
    void OnSkinLoaded() override;
    void Paint() override;
    void UpdateRegion() override;
    void OnTimer(int timerId) override;
    intptr_t OnSkinNotify(int code, intptr_t first, intptr_t second) override;

    // The tray icon's callback and the tray menu's commands.
    void OnTrayMessage(int mouseMessage);
    void OnCommand(int id);
    // The completion notice as a notification-area balloon (where desktop notifications are
    // missing); a click on it runs the notice's first action. False when there is no balloon.
    bool ShowTrayMessage(const CompletionNotice& notice);

    // Operations of the workflow (the buttons call them).
    void SelectVersion();
    void StartDownload();
    void Pause();
    void ChangeFolder();
    void OpenFolder();
    // Runs the disk-space check: enables "gobtn" when it passes; the message for "state".
    bool CheckDiskSpace(QString& message);
    void WriteRecord();

    // State, for the shell, the demo pilot and tests.
    QString StateText() const;
    QString TitleText() const;
    QString RouteText() const;
    bool IsInitialised() const { return m_initialised; }
    bool IsDownloading() const { return m_downloading; }
    bool InitSucceeded() const { return m_initSucceeded; }
    bool IsClosed() const { return m_closed; }
    double Percent() const { return m_percent; }
    void SetPercent(double percent) { m_percent = percent; }
    const Manifest& GetManifest() const { return m_manifest; }
    const std::vector<SelectionItem>& FullClients() const { return m_fullClients; }
    const std::vector<SelectionItem>& Patches() const { return m_patches; }
    const std::vector<std::string>& Started() const { return m_started; }
    const std::string& WorkingFolder() const { return m_folder; }
    const std::string& DownloadFolder() const { return m_settings.downloadFolder; }
    bool IsDimmed() const { return m_dimmed; }
    const QImage& DimPicture() const { return m_dimPicture; }
    int CurrentImage() const { return m_currentImage; }
    bool TimerActive(int id) const;
    QMenu* TrayMenu() { return &m_trayMenu; }
    QSystemTrayIcon* Tray() const { return m_tray.get(); }
    const QImage& BarPicture() const { return m_bar; }
    skin::CSkinCtrl* Control(const char* id);

protected:
    bool event(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void StartTimer(int id, int ms);
    void StopTimer(int id);
    void Repaint();
    // The progress bar is drawn by the window itself; this control only shows it to assistive
    // technology.
    void AddProgressPart();
    void SetText(skin::CSkinCtrl* control, const QString& text);
    void SetProp(const char* id, const char* name, int value);
    void InitialisationThread();
    void SendInitEnded(int success);
    void OnInitEnded(int success);
    void OnInitFailedTick();
    void RestoreOrOffer();
    void StartupAnimationTick();
    void SlideTick();
    void ShowPage(int page);
    void PollFullClient();
    void PollPatches();
    void CompleteFullClient(const SelectionItem& item);
    void NotifyCompleted(const SelectionItem& item);
    void UpdateLauncherProgress();
    void OpenLink(int code);
    void CloseByUser();
    void HandleClose();
    void PostClose();
    void CreateTray();
    void RemoveTray();
    bool InFullClientList(const std::string& hash) const;
    void SendCompletionReport(int selector) const;
    int EnginePercent(const std::string& hash);
    std::string ImageFolder() const;

    IDownloadEngine& m_engine;
    IDesktopServices& m_desktop;
    IDesktopNotifier& m_notifier;
    MainWndSettings m_settings;

    skin::CSkinCtrl* m_title = nullptr;
    skin::CSkinCtrl* m_route = nullptr;
    skin::CSkinCtrl* m_state = nullptr;
    skin::CSkinCtrl* m_picture = nullptr;
    skin::CSkinCtrl* m_pages[4] = {};
    Manifest m_manifest;
    bool m_initialised = false;
    bool m_downloading = false;
    QString m_dots;
    QImage m_bar;
    QImage m_bar2x;
    double m_percent = 0;
    std::vector<SelectionItem> m_fullClients;  // the back one is in progress
    std::vector<std::string> m_started;        // full-client tasks created or resumed in this run
    std::string m_folder;
    int m_imageCount = 0;
    int m_currentImage = 0;
    bool m_dimmed = false;
    QImage m_dimPicture;
    bool m_relatedPending = false;
    std::string m_relatedName;
    bool m_closeRequested = false;
    std::unique_ptr<QSystemTrayIcon> m_tray;
    std::function<void()> m_balloonAction;
    std::vector<SelectionItem> m_patches;
    bool m_patchesRunning = false;

    QImage m_menuExit;
    QImage m_menuSelected;
    skin::CSkinMenu m_skinMenu;  // before the menu it styles, so the menu goes first
    QMenu m_trayMenu;
    std::map<int, int> m_activeTimers;
    int m_countdown = 5;
    bool m_initSucceeded = false;
    bool m_closed = false;
    std::thread m_initThread;
    platform::Event m_initHandled{platform::Event::Reset::kManual, false};
    std::atomic<bool> m_abandoned{false};
};

}  // namespace tessali::app
