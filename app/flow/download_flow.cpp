#include "app/flow/download_flow.h"

#include <algorithm>

#include "app/fetch/stats_report.h"
#include "app/records/app_folders.h"
#include "app/records/download_record.h"
#include "engine/platform/file.h"

namespace tessali::app {
namespace {

using Kind = FlowStatus::Kind;

double PercentOf(const TaskProgress& p) {
    return p.total != 0 ? static_cast<double>(p.completed) * 100.0 / static_cast<double>(p.total) : 0.0;
}

}  // namespace

bool CanHandToOpener(const SelectionItem& item) {
    return IsSafeFileName(item.name) && item.path == item.folder + item.name &&
           platform::FileExists(item.path);
}

CDownloadFlow::CDownloadFlow(IDownloadEngine& engine, IDesktopServices& desktop, IDownloadFlowView& view,
                             IFlowTimers& timers, FlowSettings settings)
    : m_engine(engine), m_desktop(desktop), m_view(view), m_timers(timers), m_settings(std::move(settings)) {}

CDownloadFlow::~CDownloadFlow() {
    Abandon();
    if (m_initThread.joinable())
        m_initThread.join();
}

void CDownloadFlow::Abandon() {
    m_abandoned = true;
    m_initHandled.Set();
}

void CDownloadFlow::Status(Kind kind, const std::string& name) {
    FlowStatus status;
    status.kind = kind;
    status.name = name;
    m_view.ShowStatus(status);
}

void CDownloadFlow::SetDownloading(bool downloading) {
    if (m_state == State::kReady || m_state == State::kDownloading)
        m_state = downloading ? State::kDownloading : State::kReady;
}

// ---- start-up ----

void CDownloadFlow::Start() {
    if (m_initThread.joinable())
        return;
    m_view.SetControl(FlowControl::kGoEnabled, false);
    m_view.SetControl(FlowControl::kModifyEnabled, false);
    m_view.ShowRoute(m_settings.downloadFolder);
    m_timers.StartTimer(kTimerStartup, 333);
    m_folder = m_settings.downloadFolder;
    m_initThread = std::thread([this] { InitialisationThread(); });
}

void CDownloadFlow::InitialisationThread() {
    const std::string cache = m_settings.appDataFolder + std::string(kManifestFileName);
    FetchOptions options;
    options.overallTimeoutMs = m_settings.manifestTimeoutMs;
    RefreshManifestCache(m_settings.manifestBase, cache, LocalNow, options);
    Manifest manifest;
    const bool read = ReadManifest(cache, manifest) == 1;
    if (!read)
        m_view.Log(true,
                   "no download manifest: " + m_settings.manifestBase + " could not be fetched or read");
    SendStartupReports(m_settings.statsHost, m_settings.appDataFolder + std::string(kRecordFileName));
    if (read)
        KeepShownItems(manifest);
    m_engine.StartNetwork();
    if (m_engine.Init() == -1) {
        m_view.Log(true, "the download engine did not start");
        m_manifest = std::move(manifest);
        SendInitEnded(false);
        return;
    }
    const std::string imageFolder = m_settings.appDataFolder + "Image";
    platform::CreateDirectories(imageFolder);
    for (ManifestImage& image : manifest.images) {
        if (m_abandoned)
            break;
        image.localFile = imageFolder + "/" + UrlHash(image.pictureUrl) + ".jpg";
        if (!platform::FileExists(image.localFile))
            FetchPicture(image.pictureUrl, image.localFile);
    }
    m_manifest = std::move(manifest);
    SendInitEnded(read);
}

void CDownloadFlow::SendInitEnded(bool success) {
    if (m_abandoned)
        return;
    // Handled synchronously: the thread waits until the owner thread has dealt with it.
    m_view.PostInitEnded(success);
    m_initHandled.Wait();
}

void CDownloadFlow::OnInitEnded(bool success) {
    m_view.Log(false, "initialisation ended: " + std::to_string(success ? 1 : 0));
    m_timers.StopTimer(kTimerStartup);
    if (!success) {
        m_state = State::kStartFailed;
        m_countdown = 5;
        m_timers.StartTimer(kTimerCountdown, 1000);
        m_initHandled.Set();
        return;
    }
    m_state = State::kReady;
    m_initSucceeded = true;
    if (m_closeRequested) {
        m_view.HideAndClose();
        m_initHandled.Set();
        return;
    }
    if (!m_manifest.images.empty())
        m_timers.StartTimer(kTimerSlides, 5000);
    m_folder = m_settings.downloadFolder;
    Status(Kind::kInitDone);
    m_view.ShowManifest(m_manifest);
    m_view.Refresh();
    m_view.SetControl(FlowControl::kGoEnabled, true);
    m_view.SetControl(FlowControl::kModifyEnabled, true);
    RestoreOrOffer();
    m_view.Refresh();
    m_initHandled.Set();
}

void CDownloadFlow::RestoreOrOffer() {
    DownloadRecord record;
    if (ReadDownloadRecord(m_settings.appDataFolder + std::string(kRecordFileName), record) == 1 &&
        !record.files.empty()) {
        m_folder = record.path;
        m_view.ShowRoute(record.path);
        const bool missing =
            record.path.empty() || !platform::DirectoryExists(record.path.substr(0, record.path.size() - 1));
        if (missing) {
            // The route shows the folder actually used, not the one that is gone.
            m_folder = m_settings.downloadFolder;
            m_view.ShowRoute(m_folder);
            return;
        }
        m_percent = record.progress;
        for (const RecordedFile& file : record.files) {
            // The record is a file anyone can edit: a name must never lead the engine outside the folder.
            if (!IsSafeFileName(file.name))
                continue;
            SelectionItem item;
            item.hash = file.hash;
            item.name = file.name;
            item.size = file.size;
            item.folder = m_folder;
            item.path = m_folder + file.name;
            m_fullClients.push_back(std::move(item));
        }
        FlowStatus status;
        if (CheckDiskSpace(status)) {
            Status(Kind::kContinue);
            m_view.SetControl(FlowControl::kGoEnabled, true);
        } else {
            m_view.SetControl(FlowControl::kGoEnabled, false);
            m_view.ShowStatus(status);
        }
        return;
    }
    if (m_manifest.entries.size() > 1) {
        SelectVersion();
    } else if (m_manifest.entries.size() == 1) {
        const ManifestEntry& e = m_manifest.entries.front();
        SelectionItem item;
        item.hash = e.hash;
        item.name = e.fileName;
        item.size = e.size;
        item.version = e.version;
        item.folder = m_settings.downloadFolder;
        item.path = item.folder + e.fileName;
        m_fullClients.push_back(std::move(item));
        ShowDiskSpace();
    }
}

void CDownloadFlow::OnInitFailedTick() {
    if (m_closeRequested) {
        m_state = State::kGivenUp;
        m_timers.StopTimer(kTimerCountdown);
        m_view.HideAndClose();
        return;
    }
    FlowStatus status;
    status.kind = Kind::kInitFailed;
    status.count = m_countdown;
    m_view.ShowStatus(status);
    m_view.Refresh();
    const bool last = m_countdown == 0;
    --m_countdown;
    if (last) {
        m_state = State::kGivenUp;
        m_timers.StopTimer(kTimerCountdown);
        m_view.RemoveTrayAndClose();
    }
}

void CDownloadFlow::OnTimer(int id) {
    switch (id) {
        case kTimerClient:
            PollFullClient();
            break;
        case kTimerCountdown:
            if (m_state == State::kStartFailed)
                OnInitFailedTick();
            break;
        case kTimerPatches:
            PollPatches();
            break;
        default:
            break;
    }
}

// ---- version selection and the disk-space check ----

bool CDownloadFlow::InFullClientList(const std::string& hash) const {
    for (const SelectionItem& item : m_fullClients) {
        if (item.hash == hash)
            return true;
    }
    return false;
}

int CDownloadFlow::EnginePercent(const std::string& hash) {
    TaskProgress p;
    if (!m_engine.QueryTask(hash, p) || p.total == 0)
        return 0;
    return static_cast<int>(p.completed * 100 / p.total);
}

void CDownloadFlow::Go() {
    if (!m_fullClients.empty() || !m_patches.empty()) {
        StartDownload();
    } else {
        SelectVersion();
    }
}

void CDownloadFlow::SelectVersion() {
    std::vector<VersionChoice> rows;
    const size_t shown = std::min(m_manifest.entries.size(), kManifestShownItems);
    for (size_t i = 0; i < shown; ++i) {
        const ManifestEntry& e = m_manifest.entries[i];
        bool inPatches = false;
        for (const SelectionItem& p : m_patches) inPatches |= p.hash == e.hash;
        VersionChoice row;
        row.checked = InFullClientList(e.hash) || inPatches;
        row.fileName = e.fileName;
        row.complete = e.complete != 0;
        row.size = e.size;
        row.progress = EnginePercent(e.hash);
        row.hash = e.hash;
        row.redshow = e.redshow;
        row.description = e.description;
        row.path = m_folder + e.fileName;
        rows.push_back(std::move(row));
    }
    m_timers.StopTimer(kTimerSlides);
    if (!IsDownloading())
        Status(Kind::kChooseTask);
    const bool accepted = m_view.RunVersionDialog(rows, m_desktop.FreeBytes(m_folder));
    if (IsClosed())
        return;  // the program was closed from the tray while the dialog was open
    if (!m_manifest.images.empty())
        m_timers.StartTimer(kTimerSlides, 5000);

    if (!accepted) {
        ShowDiskSpace();
        m_view.Refresh();
        return;
    }
    if (!m_fullClients.empty())
        m_engine.ControlTask(m_fullClients.back().hash, kTaskPause);
    for (const SelectionItem& p : m_patches) m_engine.ControlTask(p.hash, kTaskPause);
    m_fullClients.clear();
    m_patches.clear();
    for (size_t i = std::min(rows.size(), m_manifest.entries.size()); i-- > 0;) {
        if (!rows[i].checked)
            continue;
        const ManifestEntry& e = m_manifest.entries[i];
        SelectionItem item;
        item.hash = e.hash;
        item.name = e.fileName;
        item.size = e.size;
        item.version = e.version;
        item.folder = m_folder;
        item.path = m_folder + e.fileName;
        item.redshow = e.redshow;
        if (e.redshow) {
            item.httpUrl = e.httpUrl;
            m_patches.push_back(std::move(item));
        } else {
            m_fullClients.push_back(std::move(item));
        }
    }
    WriteRecord();
    if (IsDownloading()) {
        StartDownload();
        return;
    }
    m_view.SetControl(FlowControl::kModifyEnabled, true);
    m_view.SetControl(FlowControl::kGoShown, true);
    m_view.SetControl(FlowControl::kOpenShown, false);
    ShowDiskSpace();
    m_view.Refresh();
}

bool CDownloadFlow::CheckDiskSpace(FlowStatus& status) {
    int64_t required = 0;
    for (SelectionItem& item : m_fullClients) {
        item.folder = m_folder;
        item.path = item.folder + item.name;
        // An existing partial file already holds its space.
        if (!platform::FileExists(item.path + ".!mt"))
            required += item.size;
    }
    const int64_t free = m_desktop.FreeBytes(m_folder);
    status = FlowStatus{};
    status.bytes = std::max<int64_t>(free, 0);
    if (free >= required) {
        if (m_desktop.CanHoldLargeFiles(m_folder) || (static_cast<uint64_t>(required) >> 32) == 0) {
            m_view.SetControl(FlowControl::kGoEnabled, true);
            status.kind = Kind::kSpaceLeft;
            return true;
        }
        m_view.SetControl(FlowControl::kGoEnabled, false);
        status.kind = Kind::kNoLargeFiles;
        return false;
    }
    m_view.SetControl(FlowControl::kGoEnabled, false);
    status.kind = Kind::kSpaceShort;
    return false;
}

void CDownloadFlow::ShowDiskSpace() {
    FlowStatus status;
    m_view.SetControl(FlowControl::kGoEnabled, CheckDiskSpace(status));
    m_view.ShowStatus(status);
}

void CDownloadFlow::WriteRecord() {
    DownloadRecord record;
    record.progress = static_cast<int>(m_percent);
    record.path = m_folder;
    for (const SelectionItem& item : m_fullClients) record.files.push_back({item.hash, item.name, item.size});
    WriteDownloadRecord(m_settings.appDataFolder + std::string(kRecordFileName), record);
}

// ---- downloading ----

void CDownloadFlow::StartDownload() {
    m_timers.StopTimer(kTimerClient);
    if (m_fullClients.empty() && m_patches.empty()) {
        m_percent = 0;
        m_view.SetControl(FlowControl::kStopShown, false);
        m_view.SetControl(FlowControl::kGoShown, true);
        m_view.SetControl(FlowControl::kModifyEnabled, true);
        Status(Kind::kChoosePatch);
        SetDownloading(false);
        UpdateLauncherProgress();
        m_view.Refresh();
        return;
    }
    if (!m_patches.empty()) {
        for (SelectionItem& p : m_patches) {
            if (p.hash.empty())
                p.hash = UrlHash(p.httpUrl);
            if (!p.httpUrl.empty()) {
                if (!m_engine.AddSeedTask(p.httpUrl, p.hash, p.path))
                    m_engine.ControlTask(p.hash, kTaskStart);
            } else if (m_engine.AddHashTask(p.hash, p.path) == -1) {
                m_engine.ControlTask(p.hash, kTaskStart);
            }
        }
        m_view.SetControl(FlowControl::kModifyEnabled, false);
        m_view.SetControl(FlowControl::kStopShown, true);
        m_view.SetControl(FlowControl::kGoShown, false);
        m_view.SetControl(FlowControl::kOpenShown, false);
        SetDownloading(true);
        m_timers.StartTimer(kTimerPatches, 2000);
        m_view.Refresh();
    }
    if (!m_fullClients.empty()) {
        const SelectionItem& item = m_fullClients.back();
        if (m_engine.AddHashTask(item.hash, item.path) == -1)
            m_engine.ControlTask(item.hash, kTaskStart);
        if (std::find(m_started.begin(), m_started.end(), item.hash) == m_started.end())
            m_started.push_back(item.hash);
        SetDownloading(true);
        m_view.SetControl(FlowControl::kModifyEnabled, false);
        m_view.SetControl(FlowControl::kStopShown, true);
        m_view.SetControl(FlowControl::kGoShown, false);
        m_view.SetControl(FlowControl::kOpenShown, false);
        m_timers.StartTimer(kTimerClient, 1000);
    }
    m_view.Refresh();
}

void CDownloadFlow::PollFullClient() {
    if (m_fullClients.empty())
        return;
    const SelectionItem item = m_fullClients.back();
    bool complete = platform::FileExists(item.path);
    TaskProgress progress;
    bool answered = false;
    if (!complete) {
        answered = m_engine.QueryTask(item.hash, progress);
        if (answered) {
            m_percent = PercentOf(progress);
            complete = progress.completed == progress.total && progress.total != 0;
        }
    }
    if (!complete) {
        FlowStatus status;
        status.kind = Kind::kProgress;
        status.name = item.name;
        status.percent = m_percent;
        status.bytes = answered ? progress.rate : 0;
        m_view.ShowStatus(status);
        UpdateLauncherProgress();
        m_view.Refresh();
        return;
    }
    CompleteFullClient(item);
}

void CDownloadFlow::CompleteFullClient(const SelectionItem& item) {
    m_started.erase(std::remove(m_started.begin(), m_started.end(), item.hash), m_started.end());
    for (const ManifestEntry& e : m_manifest.entries) {
        if (e.hash != item.hash)
            continue;
        SendCompletionReport(kCompletionDownload);
        if (!e.complete) {
            for (const ManifestEntry& other : m_manifest.entries) {
                if (&other == &e || other.version != e.version || InFullClientList(other.hash))
                    continue;
                if (!platform::FileExists(m_folder + other.fileName))
                    m_relatedPatch = other.fileName;
                break;
            }
        }
        break;
    }
    Status(Kind::kFinished, item.name);
    m_view.SetControl(FlowControl::kStopShown, false);
    m_folder = item.folder;
    m_view.FileCompleted(item);
    m_fullClients.pop_back();
    if (!m_fullClients.empty()) {
        StartDownload();
    } else {
        m_timers.StopTimer(kTimerClient);
        m_view.SetControl(FlowControl::kOpenShown, true);
        m_percent = 100;
        SetDownloading(false);
        if (m_relatedPatch) {
            Status(Kind::kRelatedPatch, *m_relatedPatch);
            m_relatedPatch.reset();
        }
    }
    UpdateLauncherProgress();
    m_view.Refresh();
}

void CDownloadFlow::PollPatches() {
    if (m_patches.empty()) {
        m_timers.StopTimer(kTimerPatches);
        return;
    }
    const std::string firstName = m_patches.front().name;
    for (size_t i = 0; i < m_patches.size();) {
        const SelectionItem item = m_patches[i];
        TaskProgress progress;
        bool finished;
        if (m_engine.QueryTask(item.hash, progress)) {
            finished = progress.completed == progress.total && progress.total != 0;
            if (!finished && m_fullClients.empty()) {
                m_percent = PercentOf(progress);
                FlowStatus status;
                status.kind = Kind::kProgress;
                status.name = firstName;
                status.percent = m_percent;
                status.bytes = progress.rate;
                m_view.ShowStatus(status);
            }
        } else {
            if (m_fullClients.empty())
                Status(Kind::kQueryFailed, firstName);
            finished = platform::FileExists(item.path);
        }
        if (!finished) {
            ++i;
            continue;
        }
        SendCompletionReport(kCompletionPatch);
        if (m_fullClients.empty())
            m_percent = 0;
        if (CanHandToOpener(item))
            m_desktop.OpenFile(item.path);
        m_view.FileCompleted(item);
        m_patches.erase(m_patches.begin() + static_cast<std::ptrdiff_t>(i));
        if (m_patches.empty() && m_fullClients.empty()) {
            Status(Kind::kFinished, item.name);
            m_view.SetControl(FlowControl::kStopShown, false);
            m_view.SetControl(FlowControl::kGoShown, true);
            m_view.SetControl(FlowControl::kModifyEnabled, true);
            m_timers.StopTimer(kTimerPatches);
            SetDownloading(false);
        }
    }
    UpdateLauncherProgress();
    m_view.Refresh();
}

void CDownloadFlow::UpdateLauncherProgress() {
    m_view.ShowLauncherProgress(IsDownloading(), m_percent);
}

void CDownloadFlow::SendCompletionReport(int selector) const {
    std::thread([host = m_settings.statsHost, selector] {
        app::SendCompletionReport(host, selector);
    }).detach();
}

void CDownloadFlow::Pause() {
    if (!m_fullClients.empty())
        m_engine.ControlTask(m_fullClients.back().hash, kTaskPause);
    for (const SelectionItem& p : m_patches) m_engine.ControlTask(p.hash, kTaskPause);
    m_timers.StopTimer(kTimerClient);
    m_timers.StopTimer(kTimerPatches);
    m_view.SetControl(FlowControl::kStopShown, false);
    m_view.SetControl(FlowControl::kGoShown, true);
    m_view.SetControl(FlowControl::kModifyEnabled, true);
    Status(Kind::kPaused);
    SetDownloading(false);
    UpdateLauncherProgress();
    m_view.Refresh();
}

void CDownloadFlow::ChangeFolder() {
    if (IsDownloading())
        return;
    Status(Kind::kFolderChangeHint);
    m_view.Refresh();
    const std::string chosen = m_view.ChooseFolder("请选择下载目录");
    if (!chosen.empty()) {
        std::string folder = chosen;
        if (m_desktop.IsDriveRoot(chosen)) {
            folder = platform::WithTrailingSlash(chosen) + kDownloadFolderName;
            platform::CreateDirectories(folder);
        }
        folder = platform::WithTrailingSlash(folder);
        m_settings.downloadFolder = folder;
        if (folder != m_folder) {
            m_view.ShowRoute(folder);
            for (const std::string& hash : m_started) m_engine.ControlTask(hash, kTaskDelete);
            m_folder = folder;
        }
    }
    ShowDiskSpace();
    m_view.Refresh();
}

void CDownloadFlow::OpenFolder() {
    m_desktop.OpenFolder(m_folder);
}

// ---- closing ----

bool CDownloadFlow::Close() {
    if (IsClosed())
        return true;
    if (!IsInitialised()) {
        // Refused until the initialisation thread is done; its end closes the window then.
        m_closeRequested = true;
        return false;
    }
    for (int id : {kTimerStartup, kTimerSlides, kTimerClient, kTimerCountdown, kTimerPatches})
        m_timers.StopTimer(id);
    // After a failed start the lists are empty: the record of an earlier run is kept for the next one.
    if (m_initSucceeded)
        WriteRecord();
    m_engine.Uninit();
    m_state = State::kClosed;
    m_view.ShowLauncherProgress(false, m_percent);
    return true;
}

}  // namespace tessali::app
