#include "app/window/main_wnd.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QCursor>
#include <QPainter>
#include <QPointer>
#include <QRegion>
#include <QSystemTrayIcon>
#include <QWindow>

#include "app/records/app_folders.h"
#include "app/records/download_record.h"
#include "app/window/texts.h"
#include "app/fetch/stats_report.h"
#include "engine/platform/file.h"
#include "skin/skin_reader.h"
#include "skin/skin_tables.h"
#include "skin/skin_text.h"

namespace tessali::app {
namespace {

using skin::CImageSource;
using skin::CSkinCtrl;
using skin::CSkinState;

// Notification codes of the program's id table.
enum : int {
    kCodeDrag = 102,
    kCodeMin = 103,
    kCodeClose = 104,
    kCodeGo = 107,
    kCodeStop = 108,
    kCodeOpen = 109,
    kCodeModify = 110,
    kCodeMenu1 = 111,
    kCodeMenu3 = 113,
    kCodeMenu6 = 116,
    kCodePage = 117,
    kCodeLinkEnter = 123,
    kCodeLinkLeave = 124,
};

class CInitEndedEvent : public QEvent {
public:
    explicit CInitEndedEvent(int success) : QEvent(kMsgInitEnded), success(success) {}
    const int success;
};

QString Q(const std::string& text) {
    return QString::fromStdString(text);
}

// The progress line of a running download.
QString ProgressLine(const std::string& name, double percent, int64_t rate) {
    return QStringLiteral("当前下载版本：") + Shorten(Q(name), 15, 12) + QStringLiteral(" 进度：") +
           QString::number(static_cast<int>(percent)) + QStringLiteral("% 速度：") + FormatSize(rate) +
           QStringLiteral("/s");
}

QString FinishedLine(const std::string& name) {
    return QStringLiteral("任务：") + Shorten(Q(name), 20, 17) + QStringLiteral("下载完成");
}

double PercentOf(const TaskProgress& p) {
    return p.total != 0 ? static_cast<double>(p.completed) * 100.0 / static_cast<double>(p.total) : 0.0;
}

// Only a plain file name inside the folder it was chosen for is handed to the opener: the name
// comes from the server, and the opener runs what it is given.
bool CanHandToOpener(const SelectionItem& item) {
    return IsSafeFileName(item.name) && item.path == item.folder + item.name &&
           platform::FileExists(item.path);
}

// Files the opener starts as programs (the game's installers and patches are Windows programs).
bool IsInstallerName(const std::string& name) {
    const QString n = Q(name);
    return n.endsWith(QStringLiteral(".exe"), Qt::CaseInsensitive) ||
           n.endsWith(QStringLiteral(".msi"), Qt::CaseInsensitive);
}

}  // namespace

CMainWnd::CMainWnd(IDownloadEngine& engine, IDesktopServices& desktop, IDesktopNotifier& notifier,
                   MainWndSettings settings)
    : CSkinWnd(QStringLiteral("pyxdlmain")),
      m_engine(engine),
      m_desktop(desktop),
      m_notifier(notifier),
      m_settings(std::move(settings)) {
    SetKind(skin::kKindMainWindow);
    setWindowTitle(QStringLiteral("Tessali下载器"));
    resize(kWidth, kHeight);
}

CMainWnd::~CMainWnd() {
    m_abandoned = true;
    m_initHandled.Set();
    if (m_initThread.joinable()) {
        m_initThread.join();
    }
}

// ---- creation and initialisation ----

void CMainWnd::OnCreate() {
    CSkinState::Instance().paintingSuspended = false;
    skin::CSkinIdTable::Instance().FillProgramRows();
    skin::CSkinTooltipTable::Instance().FillProgramRows();
    const QImage icon = skin::LoadPngResource(QStringLiteral("ICON"));
    if (!icon.isNull())
        setWindowIcon(QIcon(QPixmap::fromImage(icon)));
    CSkinWnd::OnCreate();  // loads the skin and finds the controls
    SetProp("gobtn", "enable", 0);
    SetProp("modifybtn", "enable", 0);
    SetText(m_route, Q(m_settings.downloadFolder));
    if (m_picture)
        m_picture->SetProperty(QStringLiteral("source"), CImageSource{QStringLiteral("IMG01"), {}, {}});
    StartTimer(kTimerStartup, 333);
    m_initThread = std::thread([this] { InitialisationThread(); });
    m_bar = skin::LoadPngResource(QStringLiteral("BAR"));
    m_bar2x = skin::LoadPngResource2x(QStringLiteral("BAR"), m_bar);
    m_menuExit = skin::LoadPngResource(QStringLiteral("menuexit"));
    m_menuSelected = skin::LoadPngResource(QStringLiteral("menuselected"));
    m_folder = m_settings.downloadFolder;
    CreateTray();
}

void CMainWnd::LoadSkin() {
    LoadBuiltinSkin();
}

void CMainWnd::OnSkinLoaded() {
    m_title = FindChild(QStringLiteral("title"));
    m_route = FindChild(QStringLiteral("route"));
    m_state = FindChild(QStringLiteral("state"));
    m_picture = FindChild(QStringLiteral("image"));
    for (int i = 0; i < 4; ++i) m_pages[i] = FindChild(QStringLiteral("page%1").arg(i + 1));
    AddProgressPart();
}

std::string CMainWnd::ImageFolder() const {
    return m_settings.appDataFolder + "Image";
}

void CMainWnd::InitialisationThread() {
    const std::string cache = m_settings.appDataFolder + std::string(kManifestFileName);
    FetchOptions options;
    options.overallTimeoutMs = m_settings.manifestTimeoutMs;
    RefreshManifestCache(m_settings.manifestBase, cache, LocalNow, options);
    Manifest manifest;
    const bool read = ReadManifest(cache, manifest) == 1;
    if (!read)
        qWarning("no download manifest: %s could not be fetched or read", m_settings.manifestBase.c_str());
    SendStartupReports(m_settings.statsHost, m_settings.appDataFolder + std::string(kRecordFileName));
    if (read)
        KeepShownItems(manifest);
    m_engine.StartNetwork();
    if (m_engine.Init() == -1) {
        qWarning("the download engine did not start");
        m_manifest = std::move(manifest);
        SendInitEnded(0);
        return;
    }
    platform::CreateDirectories(ImageFolder());
    for (ManifestImage& image : manifest.images) {
        if (m_abandoned)
            break;
        image.localFile = ImageFolder() + "/" + UrlHash(image.pictureUrl) + ".jpg";
        if (!platform::FileExists(image.localFile))
            FetchPicture(image.pictureUrl, image.localFile);
    }
    m_manifest = std::move(manifest);
    SendInitEnded(read ? 1 : 0);
}

void CMainWnd::SendInitEnded(int success) {
    if (m_abandoned)
        return;
    // Handled synchronously: the thread waits until the GUI thread has dealt with it.
    QCoreApplication::postEvent(this, new CInitEndedEvent(success));
    m_initHandled.Wait();
}

bool CMainWnd::event(QEvent* e) {
    if (e->type() == kMsgInitEnded) {
        OnInitEnded(static_cast<CInitEndedEvent*>(e)->success);
        m_initHandled.Set();
        return true;
    }
    return CSkinWnd::event(e);
}

void CMainWnd::OnInitEnded(int success) {
    qInfo("initialisation ended: %d", success);
    StopTimer(kTimerStartup);
    if (!success) {
        m_countdown = 5;
        StartTimer(kTimerCountdown, 1000);
        return;
    }
    m_initialised = true;
    m_initSucceeded = true;
    if (m_closeRequested) {
        hide();
        PostClose();
        return;
    }
    if (!m_manifest.images.empty())
        StartTimer(kTimerSlides, 5000);
    m_folder = m_settings.downloadFolder;
    SetText(m_state, QStringLiteral("初始化完成，请选择下载任务"));
    SetText(m_title, Q(m_manifest.title));
    setWindowTitle(Q(m_manifest.title));
    if (m_tray)
        m_tray->setToolTip(Q(m_manifest.title));
    Repaint();
    SetProp("gobtn", "enable", 1);
    SetProp("modifybtn", "enable", 1);
    m_imageCount = static_cast<int>(m_manifest.images.size());
    m_currentImage = 0;
    for (int i = 0; i < m_imageCount && i < 4; ++i) {
        if (m_pages[i])
            m_pages[i]->SetProperty(QStringLiteral("show"), 1);
    }
    RestoreOrOffer();
    Repaint();
}

void CMainWnd::RestoreOrOffer() {
    DownloadRecord record;
    if (ReadDownloadRecord(m_settings.appDataFolder + std::string(kRecordFileName), record) == 1 &&
        !record.files.empty()) {
        m_folder = record.path;
        SetText(m_route, Q(record.path));
        const bool missing =
            record.path.empty() || !platform::DirectoryExists(record.path.substr(0, record.path.size() - 1));
        if (missing) {
            // The route shows the folder actually used, not the one that is gone.
            m_folder = m_settings.downloadFolder;
            SetText(m_route, Q(m_folder));
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
        QString message;
        if (CheckDiskSpace(message)) {
            SetText(m_state, QStringLiteral("初始化完成，请点击“开始”按钮继续上一次未完成的下载"));
            SetProp("gobtn", "enable", 1);
        } else {
            SetProp("gobtn", "enable", 0);
            SetText(m_state, message);
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
        QString message;
        SetProp("gobtn", "enable", CheckDiskSpace(message) ? 1 : 0);
        SetText(m_state, message);
    }
}

void CMainWnd::OnInitFailedTick() {
    if (m_closeRequested) {
        m_initialised = true;
        StopTimer(kTimerCountdown);
        hide();
        PostClose();
        return;
    }
    SetText(m_state,
            QStringLiteral("初始化失败，下载器将在%1秒后关闭，请检查您的网络是否正常").arg(m_countdown));
    Repaint();
    const bool last = m_countdown == 0;
    --m_countdown;
    if (last) {
        m_initialised = true;
        StopTimer(kTimerCountdown);
        RemoveTray();
        PostClose();
    }
}

// ---- timers ----

void CMainWnd::StartTimer(int id, int ms) {
    SetTimer(id, ms);
    m_activeTimers[id] = ms;
}

void CMainWnd::StopTimer(int id) {
    KillTimer(id);
    m_activeTimers.erase(id);
}

bool CMainWnd::TimerActive(int id) const {
    return m_activeTimers.count(id) != 0;
}

void CMainWnd::OnTimer(int timerId) {
    switch (timerId) {
        case kTimerStartup:
            StartupAnimationTick();
            break;
        case kTimerSlides:
            SlideTick();
            break;
        case kTimerClient:
            PollFullClient();
            break;
        case kTimerCountdown:
            OnInitFailedTick();
            break;
        case kTimerPatches:
            PollPatches();
            break;
        default:
            break;
    }
}

// ---- controls ----

CSkinCtrl* CMainWnd::Control(const char* id) {
    return FindChild(QString::fromLatin1(id));
}

void CMainWnd::SetText(CSkinCtrl* control, const QString& text) {
    if (control)
        control->SetProperty(QStringLiteral("text"), text);
}

void CMainWnd::SetProp(const char* id, const char* name, int value) {
    if (CSkinCtrl* c = Control(id))
        c->SetProperty(QString::fromLatin1(name), value);
}

QString CMainWnd::StateText() const {
    auto* t = dynamic_cast<skin::CSkinText*>(m_state);
    return t ? t->Text() : QString();
}

QString CMainWnd::TitleText() const {
    auto* t = dynamic_cast<skin::CSkinText*>(m_title);
    return t ? t->Text() : QString();
}

QString CMainWnd::RouteText() const {
    auto* t = dynamic_cast<skin::CSkinText*>(m_route);
    return t ? t->Text() : QString();
}

void CMainWnd::Repaint() {
    Paint();
}

intptr_t CMainWnd::OnSkinNotify(int code, intptr_t first, intptr_t second) {
    switch (code) {
        case kCodeDrag:
            if (QWindow* w = windowHandle())
                w->startSystemMove();
            break;
        case kCodeMin:
            showMinimized();
            break;
        case kCodeClose:
            CloseByUser();
            break;
        case kCodeGo:
            if (!m_fullClients.empty() || !m_patches.empty()) {
                StartDownload();
            } else {
                SelectVersion();
            }
            break;
        case kCodeStop:
            Pause();
            break;
        case kCodeOpen:
            OpenFolder();
            break;
        case kCodeModify:
            ChangeFolder();
            break;
        case kCodeMenu1:
            if (m_initialised)
                SelectVersion();
            break;
        case kCodePage:
            ShowPage(static_cast<int>(first));
            break;
        case kCodeLinkEnter:
            if (m_initialised)
                StopTimer(kTimerSlides);
            break;
        case kCodeLinkLeave:
            if (m_initialised && m_imageCount > 0)
                StartTimer(kTimerSlides, 5000);
            break;
        default:
            if (code >= kCodeMenu3 && code <= kCodeMenu6)
                OpenLink(code);
            break;
    }
    return 0;
}

void CMainWnd::CloseByUser() {
    // Hidden, the program is reached through its notification-area icon; without a notification
    // area that icon is nowhere, so the window only minimises.
    if (m_desktop.TrayAvailable()) {
        hide();
    } else {
        showMinimized();
    }
}

void CMainWnd::OpenLink(int code) {
    std::string url;
    if (code == kCodeMenu3) {
        url = m_settings.homePage.empty() ? std::string() : m_settings.homePage + "?from=verdo7";
    } else if (code == kCodeMenu3 + 1) {
        url = m_manifest.gameLink;
    } else if (code == kCodeMenu3 + 2) {
        url = m_manifest.purchaseLink;
    } else if (code == kCodeMenu3 + 3) {
        url = m_manifest.guideLink;
    }
    if (!url.empty())
        m_desktop.OpenUrl(url);
}

// ---- version selection and the disk-space check ----

bool CMainWnd::InFullClientList(const std::string& hash) const {
    for (const SelectionItem& item : m_fullClients) {
        if (item.hash == hash)
            return true;
    }
    return false;
}

int CMainWnd::EnginePercent(const std::string& hash) {
    TaskProgress p;
    if (!m_engine.QueryTask(hash, p) || p.total == 0)
        return 0;
    return static_cast<int>(p.completed * 100 / p.total);
}

void CMainWnd::SelectVersion() {
    std::vector<VersionRow> rows;
    const size_t shown = std::min(m_manifest.entries.size(), kManifestShownItems);
    for (size_t i = 0; i < shown; ++i) {
        const ManifestEntry& e = m_manifest.entries[i];
        bool inPatches = false;
        for (const SelectionItem& p : m_patches) inPatches |= p.hash == e.hash;
        VersionRow row;
        row.checked = InFullClientList(e.hash) || inPatches ? 1 : 0;
        row.displayName = DisplayName(Q(e.fileName), e.complete != 0);
        row.size = e.size;
        row.progress = EnginePercent(e.hash);
        row.hash = Q(e.hash);
        row.complete = e.complete;
        row.redshow = e.redshow;
        row.description = Q(e.description);
        row.path = Q(m_folder + e.fileName);
        rows.push_back(std::move(row));
    }
    StopTimer(kTimerSlides);
    if (!m_downloading)
        SetText(m_state, QStringLiteral("请选择要下载的任务"));
    m_dimmed = true;
    m_dimPicture = QImage();
    Repaint();
    if (isMinimized() || !isVisible())
        showNormal();
    activateWindow();

    int result;
    {
        CSkinSelectVersionDlg dlg(std::move(rows), m_desktop.FreeBytes(m_folder), this);
        result = runDialog ? runDialog(dlg) : dlg.exec();
        rows = dlg.Rows();
    }
    if (m_closed)
        return;  // the program was closed from the tray while the dialog was open
    m_dimmed = false;
    Repaint();
    if (m_imageCount > 0)
        StartTimer(kTimerSlides, 5000);

    QString message;
    if (result != 1) {
        SetProp("gobtn", "enable", CheckDiskSpace(message) ? 1 : 0);
        SetText(m_state, message);
        Repaint();
        return;
    }
    if (!m_fullClients.empty())
        m_engine.ControlTask(m_fullClients.back().hash, kTaskPause);
    for (const SelectionItem& p : m_patches) m_engine.ControlTask(p.hash, kTaskPause);
    m_fullClients.clear();
    m_patches.clear();
    for (size_t i = rows.size(); i-- > 0;) {
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
    if (m_downloading) {
        StartDownload();
        return;
    }
    SetProp("modifybtn", "enable", 1);
    SetProp("gobtn", "show", 1);
    SetProp("openbtn", "show", 0);
    SetProp("gobtn", "enable", CheckDiskSpace(message) ? 1 : 0);
    SetText(m_state, message);
    Repaint();
}

bool CMainWnd::CheckDiskSpace(QString& message) {
    int64_t required = 0;
    for (SelectionItem& item : m_fullClients) {
        item.folder = m_folder;
        item.path = item.folder + item.name;
        // An existing partial file already holds its space.
        if (!platform::FileExists(item.path + ".!mt"))
            required += item.size;
    }
    const int64_t free = m_desktop.FreeBytes(m_folder);
    const QString freeText = FormatSize(std::max<int64_t>(free, 0));
    if (free >= required) {
        if (m_desktop.CanHoldLargeFiles(m_folder) || (static_cast<uint64_t>(required) >> 32) == 0) {
            SetProp("gobtn", "enable", 1);
            message = QStringLiteral("空间剩余%1").arg(freeText);
            return true;
        }
        SetProp("gobtn", "enable", 0);
        message =
            QStringLiteral("目标目录空间%1，还剩余%2").arg(QStringLiteral("不支持4G以上文件"), freeText);
        return false;
    }
    SetProp("gobtn", "enable", 0);
    message = QStringLiteral("目标目录空间%1，还剩余%2").arg(QStringLiteral("不足"), freeText);
    return false;
}

void CMainWnd::WriteRecord() {
    DownloadRecord record;
    record.progress = static_cast<int>(m_percent);
    record.path = m_folder;
    for (const SelectionItem& item : m_fullClients) record.files.push_back({item.hash, item.name, item.size});
    WriteDownloadRecord(m_settings.appDataFolder + std::string(kRecordFileName), record);
}

// ---- downloading ----

void CMainWnd::StartDownload() {
    StopTimer(kTimerClient);
    if (m_fullClients.empty() && m_patches.empty()) {
        m_percent = 0;
        SetProp("stopbtn", "show", 0);
        SetProp("gobtn", "show", 1);
        SetProp("modifybtn", "enable", 1);
        SetText(m_state, QStringLiteral("请选择要下载的补丁并开始下载"));
        m_downloading = false;
        StopTimer(kTimerClient);
        UpdateLauncherProgress();
        Repaint();
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
        m_patchesRunning = true;
        SetProp("modifybtn", "enable", 0);
        SetProp("stopbtn", "show", 1);
        SetProp("gobtn", "show", 0);
        SetProp("openbtn", "show", 0);
        m_downloading = true;
        StartTimer(kTimerPatches, 2000);
        Repaint();
    }
    if (!m_fullClients.empty()) {
        const SelectionItem& item = m_fullClients.back();
        if (m_engine.AddHashTask(item.hash, item.path) == -1)
            m_engine.ControlTask(item.hash, kTaskStart);
        if (std::find(m_started.begin(), m_started.end(), item.hash) == m_started.end())
            m_started.push_back(item.hash);
        m_downloading = true;
        SetProp("modifybtn", "enable", 0);
        SetProp("stopbtn", "show", 1);
        SetProp("gobtn", "show", 0);
        SetProp("openbtn", "show", 0);
        StartTimer(kTimerClient, 1000);
    }
    Repaint();
}

void CMainWnd::PollFullClient() {
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
        SetText(m_state, ProgressLine(item.name, m_percent, answered ? progress.rate : 0));
        UpdateLauncherProgress();
        Repaint();
        return;
    }
    CompleteFullClient(item);
}

void CMainWnd::CompleteFullClient(const SelectionItem& item) {
    m_started.erase(std::remove(m_started.begin(), m_started.end(), item.hash), m_started.end());
    for (const ManifestEntry& e : m_manifest.entries) {
        if (e.hash != item.hash)
            continue;
        SendCompletionReport(kCompletionDownload);
        if (!e.complete) {
            for (const ManifestEntry& other : m_manifest.entries) {
                if (&other == &e || other.version != e.version || InFullClientList(other.hash))
                    continue;
                if (!platform::FileExists(m_folder + other.fileName)) {
                    m_relatedPending = true;
                    m_relatedName = other.fileName;
                }
                break;
            }
        }
        break;
    }
    SetText(m_state, FinishedLine(item.name));
    SetProp("stopbtn", "show", 0);
    m_folder = item.folder;
    NotifyCompleted(item);
    m_fullClients.pop_back();
    if (!m_fullClients.empty()) {
        StartDownload();
    } else {
        StopTimer(kTimerClient);
        SetProp("openbtn", "show", 1);
        m_percent = 100;
        m_downloading = false;
        if (m_relatedPending) {
            SetText(m_state, QStringLiteral("有一个相关的补丁需要下载：%1").arg(Q(m_relatedName)));
            m_relatedPending = false;
        }
    }
    UpdateLauncherProgress();
    Repaint();
}

void CMainWnd::PollPatches() {
    if (m_patches.empty()) {
        StopTimer(kTimerPatches);
        m_patchesRunning = false;
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
                SetText(m_state, ProgressLine(firstName, m_percent, progress.rate));
            }
        } else {
            if (m_fullClients.empty())
                SetText(m_state, QStringLiteral("当前下载版本：") + Shorten(Q(firstName), 15, 12) +
                                     QStringLiteral("进度查询失败"));
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
        NotifyCompleted(item);
        m_patches.erase(m_patches.begin() + static_cast<std::ptrdiff_t>(i));
        if (m_patches.empty() && m_fullClients.empty()) {
            SetText(m_state, FinishedLine(item.name));
            SetProp("stopbtn", "show", 0);
            SetProp("gobtn", "show", 1);
            SetProp("modifybtn", "enable", 1);
            m_patchesRunning = false;
            StopTimer(kTimerPatches);
            m_downloading = false;
        }
    }
    UpdateLauncherProgress();
    Repaint();
}

void CMainWnd::NotifyCompleted(const SelectionItem& item) {
    CompletionNotice notice;
    notice.summary = FinishedLine(item.name);
    notice.body = Q(item.path);
    // The actions do what the window's buttons do, for this file, whatever the window shows later.
    QPointer<CMainWnd> self(this);
    notice.actions.push_back({kActionOpenFolder, QStringLiteral("打开目录"), [self, folder = item.folder] {
                                  if (self && !self->m_closed)
                                      self->m_desktop.OpenFolder(folder);
                              }});
    if (IsInstallerName(item.name) && CanHandToOpener(item)) {
        notice.actions.push_back({kActionRun, QStringLiteral("运行"), [self, item] {
                                      if (self && !self->m_closed && CanHandToOpener(item))
                                          self->m_desktop.OpenFile(item.path);
                                  }});
    }
    m_notifier.NotifyCompleted(std::move(notice));
}

void CMainWnd::UpdateLauncherProgress() {
    if (m_downloading) {
        m_notifier.ShowProgress(m_percent / 100.0);
    } else {
        m_notifier.ClearProgress();
    }
}

void CMainWnd::SendCompletionReport(int selector) const {
    std::thread([host = m_settings.statsHost, selector] {
        app::SendCompletionReport(host, selector);
    }).detach();
}

void CMainWnd::Pause() {
    if (!m_fullClients.empty())
        m_engine.ControlTask(m_fullClients.back().hash, kTaskPause);
    for (const SelectionItem& p : m_patches) m_engine.ControlTask(p.hash, kTaskPause);
    StopTimer(kTimerClient);
    StopTimer(kTimerPatches);
    SetProp("stopbtn", "show", 0);
    SetProp("gobtn", "show", 1);
    SetProp("modifybtn", "enable", 1);
    SetText(m_state, QStringLiteral("任务被暂停"));
    m_downloading = false;
    UpdateLauncherProgress();
    Repaint();
}

void CMainWnd::ChangeFolder() {
    if (m_downloading)
        return;
    SetText(m_state, QStringLiteral("提示：更改下载目录后正在下载的任务进度将被取消"));
    Repaint();
    const std::string chosen = m_desktop.ChooseFolder(this, "请选择下载目录");
    if (!chosen.empty()) {
        std::string folder = chosen;
        if (m_desktop.IsDriveRoot(chosen)) {
            folder = platform::WithTrailingSlash(chosen) + kDownloadFolderName;
            platform::CreateDirectories(folder);
        }
        folder = platform::WithTrailingSlash(folder);
        m_settings.downloadFolder = folder;
        if (folder != m_folder) {
            SetText(m_route, Q(folder));
            for (const std::string& hash : m_started) m_engine.ControlTask(hash, kTaskDelete);
            m_folder = folder;
        }
    }
    QString message;
    SetProp("gobtn", "enable", CheckDiskSpace(message) ? 1 : 0);
    SetText(m_state, message);
    Repaint();
}

void CMainWnd::OpenFolder() {
    m_desktop.OpenFolder(m_folder);
}

// ---- closing ----

void CMainWnd::PostClose() {
    QMetaObject::invokeMethod(
        this, [this] { close(); }, Qt::QueuedConnection);
}

void CMainWnd::closeEvent(QCloseEvent* e) {
    if (m_closed) {
        e->accept();
        return;
    }
    if (!m_initialised) {
        // Refused until the initialisation thread is done; its end closes the window then.
        m_closeRequested = true;
        e->ignore();
        return;
    }
    HandleClose();
    e->accept();
}

void CMainWnd::HandleClose() {
    for (int id : {kTimerStartup, kTimerSlides, kTimerClient, kTimerCountdown, kTimerPatches}) StopTimer(id);
    // After a failed start the lists are empty: the record of an earlier run is kept for the next one.
    if (m_initSucceeded)
        WriteRecord();
    m_engine.Uninit();
    m_notifier.ClearProgress();
    ClearChildren();
    m_title = m_route = m_state = m_picture = nullptr;
    for (auto& page : m_pages) page = nullptr;
    CSkinState::Instance().paintingSuspended = true;
    m_closed = true;
    RemoveTray();
    hide();
    if (postQuit) {
        postQuit(0);
    } else {
        QMetaObject::invokeMethod(
            QCoreApplication::instance(), [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
    }
    m_bar = QImage();
    m_menuExit = QImage();
    m_menuSelected = QImage();
}

}  // namespace tessali::app
