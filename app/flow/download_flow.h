// CDownloadFlow: the workflow of the downloader's main window, without the window. It runs the
// initialisation (manifest, launch reports, engine start, pictures) on its own thread, offers
// what to download when that ends, asks its view to run the version dialog, checks the free
// space, starts, polls, pauses and finishes engine tasks, writes the local record and closes the
// engine. It draws nothing: what the user should see goes to an IDownloadFlowView (the status
// line as a FlowStatus, the buttons, the route), its periodic work is driven by IFlowTimers.
// Threading: everything runs on the owner (GUI) thread except the initialisation thread, which
// fills the manifest and hands it over once through IDownloadFlowView::PostInitEnded; it waits
// until the owner thread has called OnInitEnded.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/flow/desktop_services.h"
#include "app/flow/download_engine.h"
#include "app/records/manifest.h"
#include "engine/platform/event.h"

namespace tessali::app {

// Fixed ids and periods of the workflow's timers.
inline constexpr int kTimerStartup = 375;    // 333 ms, start-up animation
inline constexpr int kTimerSlides = 376;     // 5000 ms, slide show
inline constexpr int kTimerClient = 377;     // 1000 ms, full-client poll
inline constexpr int kTimerCountdown = 379;  // 1000 ms, failure countdown
inline constexpr int kTimerPatches = 380;    // 2000 ms, patch poll

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

// What the workflow needs from the process shell and the deployment file.
struct FlowSettings {
    std::string appDataFolder;   // "…/TessaliDL/"
    std::string downloadFolder;  // the process-wide download folder, trailing '/'
    std::string manifestBase;
    std::string statsHost;
    std::string homePage;
    // Cap on one manifest refresh during initialisation (a silent server must not hold start-up).
    int64_t manifestTimeoutMs = 60000;
};

// What the status line says; the view turns it into text.
struct FlowStatus {
    enum class Kind {
        kInitDone,      // initialisation ended, choose a task
        kContinue,      // initialisation ended, a recorded download can go on
        kInitFailed,    // the program closes in `count` seconds
        kSpaceLeft,     // the disk-space check passed, `bytes` free
        kSpaceShort,    // not enough space, `bytes` free
        kNoLargeFiles,  // the filesystem takes no file of 4 GiB, `bytes` free
        kChooseTask,    // the version dialog is open
        kProgress,      // `name` at `percent`, `bytes` per second
        kQueryFailed,   // the engine did not answer for `name`
        kFinished,      // `name` downloaded
        kRelatedPatch,  // a patch of the same version, `name`, is still to download
        kChoosePatch,   // nothing selected any more
        kPaused,
        kFolderChangeHint,  // the folder chooser is open
    };
    Kind kind = Kind::kInitDone;
    std::string name;
    double percent = 0;
    int64_t bytes = 0;
    int count = 0;
};

// The window's controls the workflow switches.
enum class FlowControl { kGoEnabled, kGoShown, kModifyEnabled, kStopShown, kOpenShown };

// One row of the version dialog: a manifest entry, whether it is ticked, how far it got.
struct VersionChoice {
    bool checked = false;
    std::string fileName;
    bool complete = false;
    int64_t size = 0;
    int progress = 0;  // percent already downloaded
    std::string hash;
    int redshow = 0;
    std::string description;
    std::string path;  // the final file in the working folder
};

// What the workflow shows and asks of its window. Owner thread only, except PostInitEnded.
class IDownloadFlowView {
public:
    virtual ~IDownloadFlowView() = default;
    // From the initialisation thread: arrange for OnInitEnded(success) on the owner thread.
    virtual void PostInitEnded(bool success) = 0;
    // A line for the program log (info, or a warning).
    virtual void Log(bool warning, const std::string& text) = 0;
    virtual void ShowStatus(const FlowStatus& status) = 0;
    virtual void ShowRoute(const std::string& folder) = 0;
    virtual void SetControl(FlowControl control, bool on) = 0;
    // The manifest arrived: its title and pictures can be shown.
    virtual void ShowManifest(const Manifest& manifest) = 0;
    virtual void Refresh() = 0;
    // Runs the version dialog over `rows` (ticks updated in place); true when it was confirmed.
    virtual bool RunVersionDialog(std::vector<VersionChoice>& rows, int64_t freeBytes) = 0;
    // The folder chooser: the chosen folder, or empty when cancelled.
    virtual std::string ChooseFolder(const std::string& title) = 0;
    // A selected file finished downloading.
    virtual void FileCompleted(const SelectionItem& item) = 0;
    // The launcher icon's progress: shown while downloading (0 … 100), cleared otherwise.
    virtual void ShowLauncherProgress(bool downloading, double percent) = 0;
    // The window ends after start-up: hidden first (a close came during start-up), or with its
    // notification-area icon removed (the failure countdown ran out).
    virtual void HideAndClose() = 0;
    virtual void RemoveTrayAndClose() = 0;
};

// The workflow's timers (the window's in the program, a fake clock in tests).
class IFlowTimers {
public:
    virtual ~IFlowTimers() = default;
    virtual void StartTimer(int id, int periodMs) = 0;
    virtual void StopTimer(int id) = 0;
};

// Only a plain file name inside the folder it was chosen for is handed to the opener: the name
// comes from the server, and the opener runs what it is given.
bool CanHandToOpener(const SelectionItem& item);

class CDownloadFlow {
public:
    enum class State {
        kStarting,     // the initialisation thread runs; a close waits for its end
        kStartFailed,  // counting down to the close; a close waits for the next tick
        kGivenUp,      // start-up failed and the window is closing
        kReady,        // initialised, nothing downloading
        kDownloading,
        kClosed,
    };

    CDownloadFlow(IDownloadEngine& engine, IDesktopServices& desktop, IDownloadFlowView& view,
                  IFlowTimers& timers, FlowSettings settings);
    // Abandons a running initialisation and waits for its thread.
    ~CDownloadFlow();
    CDownloadFlow(const CDownloadFlow&) = delete;
    CDownloadFlow& operator=(const CDownloadFlow&) = delete;

    // Starts the initialisation thread (once).
    void Start();
    // On the owner thread, after PostInitEnded; lets the initialisation thread end.
    void OnInitEnded(bool success);
    // A tick of kTimerClient, kTimerCountdown or kTimerPatches (others are ignored).
    void OnTimer(int id);
    // Makes the initialisation thread give up early (before the owner goes away).
    void Abandon();

    // The user's operations.
    void Go();  // starts what is selected, or offers the dialog when nothing is
    void SelectVersion();
    void StartDownload();
    void Pause();
    void ChangeFolder();
    void OpenFolder();
    // A close of the window: false while start-up still runs (the close is remembered and done
    // when it ends); true once the workflow is closed (record written, engine stopped).
    bool Close();
    void WriteRecord();

    State GetState() const { return m_state; }
    bool IsInitialised() const { return m_state != State::kStarting && m_state != State::kStartFailed; }
    bool IsDownloading() const { return m_state == State::kDownloading; }
    bool IsClosed() const { return m_state == State::kClosed; }
    bool InitSucceeded() const { return m_initSucceeded; }
    double Percent() const { return m_percent; }
    void SetPercent(double percent) { m_percent = percent; }
    const Manifest& GetManifest() const { return m_manifest; }
    const FlowSettings& Settings() const { return m_settings; }
    const std::vector<SelectionItem>& FullClients() const { return m_fullClients; }
    const std::vector<SelectionItem>& Patches() const { return m_patches; }
    const std::vector<std::string>& Started() const { return m_started; }
    const std::string& WorkingFolder() const { return m_folder; }

private:
    void InitialisationThread();
    void SendInitEnded(bool success);
    void OnInitFailedTick();
    void RestoreOrOffer();
    bool CheckDiskSpace(FlowStatus& status);
    void ShowDiskSpace();
    void PollFullClient();
    void PollPatches();
    void CompleteFullClient(const SelectionItem& item);
    void UpdateLauncherProgress();
    void SendCompletionReport(int selector) const;
    bool InFullClientList(const std::string& hash) const;
    int EnginePercent(const std::string& hash);
    void Status(FlowStatus::Kind kind, const std::string& name = {});
    void SetDownloading(bool downloading);

    IDownloadEngine& m_engine;
    IDesktopServices& m_desktop;
    IDownloadFlowView& m_view;
    IFlowTimers& m_timers;
    FlowSettings m_settings;

    State m_state = State::kStarting;
    bool m_initSucceeded = false;
    bool m_closeRequested = false;  // a close came while start-up ran
    int m_countdown = 5;
    Manifest m_manifest;
    double m_percent = 0;
    std::vector<SelectionItem> m_fullClients;  // the back one is in progress
    std::vector<SelectionItem> m_patches;
    std::vector<std::string> m_started;  // full-client tasks created or resumed in this run
    std::string m_folder;
    std::optional<std::string> m_relatedPatch;  // named once the last full-client item is done

    std::thread m_initThread;
    platform::Event m_initHandled{platform::Event::Reset::kManual, false};
    std::atomic<bool> m_abandoned{false};
};

}  // namespace tessali::app
