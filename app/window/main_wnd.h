// CMainWnd: the downloader's one top-level window. It draws the branded window (slide show,
// progress bar, dimming, rounded corners, notification-area icon and its menu), forwards clicks
// and timer ticks to the download's workflow (CDownloadFlow, app/flow/download_flow.h) and shows
// what the workflow reports: status texts, buttons, the version dialog, completion notices and
// the launcher's progress (IDesktopNotifier).
// Threading: GUI thread only; the workflow's initialisation thread reaches it through one posted
// "initialisation ended" event.
#pragma once

#include <QEvent>
#include <QImage>
#include <QMenu>
#include <QString>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/desktop/desktop_notifier.h"
#include "app/flow/desktop_services.h"
#include "app/flow/download_engine.h"
#include "app/flow/download_flow.h"
#include "app/records/manifest.h"
#include "app/window/select_version_dlg.h"
#include "skin/skin_menu.h"
#include "skin/skin_wnd.h"

class QSystemTrayIcon;

namespace tessali::app {

// The window's own messages: initialisation ended (first parameter 1 success, 0 failure), and
// the notification-area icon's callback (the mouse message as the second parameter).
inline constexpr QEvent::Type kMsgInitEnded = static_cast<QEvent::Type>(QEvent::User + 100);
inline constexpr int kMsgTray = 1125;
inline constexpr int kMouseLButtonUp = 0x0202;
inline constexpr int kMouseRButtonUp = 0x0205;
// Commands of the tray menu.
inline constexpr int kCmdOpenWindow = 32772;
inline constexpr int kCmdExit = 32773;

// What the window needs from the process shell and the deployment file.
using MainWndSettings = FlowSettings;

class CMainWnd : public skin::CSkinWnd, private IDownloadFlowView, private IFlowTimers {
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
    void SelectVersion() { m_flow.SelectVersion(); }
    void StartDownload() { m_flow.StartDownload(); }
    void Pause() { m_flow.Pause(); }
    void ChangeFolder() { m_flow.ChangeFolder(); }
    void OpenFolder() { m_flow.OpenFolder(); }
    void WriteRecord() { m_flow.WriteRecord(); }

    // State, for the shell, the demo pilot and tests.
    const CDownloadFlow& Flow() const { return m_flow; }
    QString StateText() const;
    QString TitleText() const;
    QString RouteText() const;
    bool IsInitialised() const { return m_flow.IsInitialised(); }
    bool IsDownloading() const { return m_flow.IsDownloading(); }
    bool InitSucceeded() const { return m_flow.InitSucceeded(); }
    bool IsClosed() const { return m_flow.IsClosed(); }
    double Percent() const { return m_flow.Percent(); }
    void SetPercent(double percent) { m_flow.SetPercent(percent); }
    const Manifest& GetManifest() const { return m_flow.GetManifest(); }
    const std::vector<SelectionItem>& FullClients() const { return m_flow.FullClients(); }
    const std::vector<SelectionItem>& Patches() const { return m_flow.Patches(); }
    const std::vector<std::string>& Started() const { return m_flow.Started(); }
    const std::string& WorkingFolder() const { return m_flow.WorkingFolder(); }
    const std::string& DownloadFolder() const { return m_flow.Settings().downloadFolder; }
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
    // IFlowTimers
    void StartTimer(int id, int ms) override;
    void StopTimer(int id) override;
    // IDownloadFlowView
    void PostInitEnded(bool success) override;
    void Log(bool warning, const std::string& text) override;
    void ShowStatus(const FlowStatus& status) override;
    void ShowRoute(const std::string& folder) override;
    void SetControl(FlowControl control, bool on) override;
    void ShowManifest(const Manifest& manifest) override;
    void Refresh() override;
    bool RunVersionDialog(std::vector<VersionChoice>& rows, int64_t freeBytes) override;
    std::string ChooseFolder(const std::string& title) override;
    void FileCompleted(const SelectionItem& item) override;
    void ShowLauncherProgress(bool downloading, double percent) override;
    void HideAndClose() override;
    void RemoveTrayAndClose() override;

    void Repaint();
    // The progress bar is drawn by the window itself; this control only shows it to assistive
    // technology.
    void AddProgressPart();
    void SetText(skin::CSkinCtrl* control, const QString& text);
    void SetProp(const char* id, const char* name, int value);
    void StartupAnimationTick();
    void SlideTick();
    void ShowPage(int page);
    void OpenLink(int code);
    void CloseByUser();
    void HandleClose();
    void PostClose();
    void CreateTray();
    void RemoveTray();

    IDesktopServices& m_desktop;
    IDesktopNotifier& m_notifier;

    skin::CSkinCtrl* m_title = nullptr;
    skin::CSkinCtrl* m_route = nullptr;
    skin::CSkinCtrl* m_state = nullptr;
    skin::CSkinCtrl* m_picture = nullptr;
    skin::CSkinCtrl* m_pages[4] = {};
    QString m_dots;
    QImage m_bar;
    QImage m_bar2x;
    int m_imageCount = 0;
    int m_currentImage = 0;
    bool m_dimmed = false;
    QImage m_dimPicture;
    std::unique_ptr<QSystemTrayIcon> m_tray;
    std::function<void()> m_balloonAction;

    QImage m_menuExit;
    QImage m_menuSelected;
    skin::CSkinMenu m_skinMenu;  // before the menu it styles, so the menu goes first
    QMenu m_trayMenu;
    std::map<int, int> m_activeTimers;
    // Last: destroyed first, so its initialisation thread ends before the window's parts go.
    CDownloadFlow m_flow;
};

}  // namespace tessali::app
