#include "app/window/main_wnd.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QCursor>
#include <QPainter>
#include <QPointer>
#include <QRegion>
#include <QSystemTrayIcon>
#include <QWindow>

#include "app/window/texts.h"
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
      m_desktop(desktop),
      m_notifier(notifier),
      m_flow(engine, desktop, *this, *this, std::move(settings)) {
    SetKind(skin::kKindMainWindow);
    setWindowTitle(QStringLiteral("Tessali下载器"));
    resize(kWidth, kHeight);
}

CMainWnd::~CMainWnd() {
    // The initialisation thread must not post to a window on its way out.
    m_flow.Abandon();
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
    if (m_picture)
        m_picture->SetProperty(QStringLiteral("source"), CImageSource{QStringLiteral("IMG01"), {}, {}});
    m_flow.Start();
    m_bar = skin::LoadPngResource(QStringLiteral("BAR"));
    m_bar2x = skin::LoadPngResource2x(QStringLiteral("BAR"), m_bar);
    m_menuExit = skin::LoadPngResource(QStringLiteral("menuexit"));
    m_menuSelected = skin::LoadPngResource(QStringLiteral("menuselected"));
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

// ---- what the workflow shows ----

void CMainWnd::PostInitEnded(bool success) {
    QCoreApplication::postEvent(this, new CInitEndedEvent(success ? 1 : 0));
}

bool CMainWnd::event(QEvent* e) {
    if (e->type() == kMsgInitEnded) {
        m_flow.OnInitEnded(static_cast<CInitEndedEvent*>(e)->success != 0);
        return true;
    }
    return CSkinWnd::event(e);
}

void CMainWnd::Log(bool warning, const std::string& text) {
    if (warning) {
        qWarning("%s", text.c_str());
    } else {
        qInfo("%s", text.c_str());
    }
}

void CMainWnd::ShowStatus(const FlowStatus& status) {
    SetText(m_state, StatusText(status));
}

void CMainWnd::ShowRoute(const std::string& folder) {
    SetText(m_route, Q(folder));
}

void CMainWnd::SetControl(FlowControl control, bool on) {
    switch (control) {
        case FlowControl::kGoEnabled:
            SetProp("gobtn", "enable", on ? 1 : 0);
            break;
        case FlowControl::kGoShown:
            SetProp("gobtn", "show", on ? 1 : 0);
            break;
        case FlowControl::kModifyEnabled:
            SetProp("modifybtn", "enable", on ? 1 : 0);
            break;
        case FlowControl::kStopShown:
            SetProp("stopbtn", "show", on ? 1 : 0);
            break;
        case FlowControl::kOpenShown:
            SetProp("openbtn", "show", on ? 1 : 0);
            break;
    }
}

void CMainWnd::ShowManifest(const Manifest& manifest) {
    SetText(m_title, Q(manifest.title));
    setWindowTitle(Q(manifest.title));
    if (m_tray)
        m_tray->setToolTip(Q(manifest.title));
    m_imageCount = static_cast<int>(manifest.images.size());
    m_currentImage = 0;
    for (int i = 0; i < m_imageCount && i < 4; ++i) {
        if (m_pages[i])
            m_pages[i]->SetProperty(QStringLiteral("show"), 1);
    }
}

void CMainWnd::Refresh() {
    Repaint();
}

bool CMainWnd::RunVersionDialog(std::vector<VersionChoice>& choices, int64_t freeBytes) {
    std::vector<VersionRow> rows;
    for (const VersionChoice& c : choices) {
        VersionRow row;
        row.checked = c.checked ? 1 : 0;
        row.displayName = DisplayName(Q(c.fileName), c.complete);
        row.size = c.size;
        row.progress = c.progress;
        row.hash = Q(c.hash);
        row.complete = c.complete ? 1 : 0;
        row.redshow = c.redshow;
        row.description = Q(c.description);
        row.path = Q(c.path);
        rows.push_back(std::move(row));
    }
    m_dimmed = true;
    m_dimPicture = QImage();
    Repaint();
    if (isMinimized() || !isVisible())
        showNormal();
    activateWindow();

    int result;
    {
        CSkinSelectVersionDlg dlg(std::move(rows), freeBytes, this);
        result = runDialog ? runDialog(dlg) : dlg.exec();
        rows = dlg.Rows();
    }
    if (m_flow.IsClosed())
        return false;  // the program was closed from the tray while the dialog was open
    for (size_t i = 0; i < choices.size() && i < rows.size(); ++i) choices[i].checked = rows[i].checked != 0;
    m_dimmed = false;
    Repaint();
    return result == 1;
}

std::string CMainWnd::ChooseFolder(const std::string& title) {
    return m_desktop.ChooseFolder(this, title);
}

void CMainWnd::HideAndClose() {
    hide();
    PostClose();
}

void CMainWnd::RemoveTrayAndClose() {
    RemoveTray();
    PostClose();
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
        case kTimerCountdown:
        case kTimerPatches:
            m_flow.OnTimer(timerId);
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
            m_flow.Go();
            break;
        case kCodeStop:
            m_flow.Pause();
            break;
        case kCodeOpen:
            m_flow.OpenFolder();
            break;
        case kCodeModify:
            m_flow.ChangeFolder();
            break;
        case kCodeMenu1:
            if (m_flow.IsInitialised())
                m_flow.SelectVersion();
            break;
        case kCodePage:
            ShowPage(static_cast<int>(first));
            break;
        case kCodeLinkEnter:
            if (m_flow.IsInitialised())
                StopTimer(kTimerSlides);
            break;
        case kCodeLinkLeave:
            if (m_flow.IsInitialised() && m_imageCount > 0)
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
        const std::string& home = m_flow.Settings().homePage;
        url = home.empty() ? std::string() : home + "?from=verdo7";
    } else if (code == kCodeMenu3 + 1) {
        url = m_flow.GetManifest().gameLink;
    } else if (code == kCodeMenu3 + 2) {
        url = m_flow.GetManifest().purchaseLink;
    } else if (code == kCodeMenu3 + 3) {
        url = m_flow.GetManifest().guideLink;
    }
    if (!url.empty())
        m_desktop.OpenUrl(url);
}

// ---- completion and progress on the desktop ----

void CMainWnd::FileCompleted(const SelectionItem& item) {
    CompletionNotice notice;
    notice.summary = FinishedLine(item.name);
    notice.body = Q(item.path);
    // The actions do what the window's buttons do, for this file, whatever the window shows later.
    QPointer<CMainWnd> self(this);
    notice.actions.push_back({kActionOpenFolder, QStringLiteral("打开目录"), [self, folder = item.folder] {
                                  if (self && !self->m_flow.IsClosed())
                                      self->m_desktop.OpenFolder(folder);
                              }});
    if (IsInstallerName(item.name) && CanHandToOpener(item)) {
        notice.actions.push_back({kActionRun, QStringLiteral("运行"), [self, item] {
                                      if (self && !self->m_flow.IsClosed() && CanHandToOpener(item))
                                          self->m_desktop.OpenFile(item.path);
                                  }});
    }
    m_notifier.NotifyCompleted(std::move(notice));
}

void CMainWnd::ShowLauncherProgress(bool downloading, double percent) {
    if (downloading) {
        m_notifier.ShowProgress(percent / 100.0);
    } else {
        m_notifier.ClearProgress();
    }
}

// ---- closing ----

void CMainWnd::PostClose() {
    QMetaObject::invokeMethod(
        this, [this] { close(); }, Qt::QueuedConnection);
}

void CMainWnd::closeEvent(QCloseEvent* e) {
    if (m_flow.IsClosed()) {
        e->accept();
        return;
    }
    // Refused until the initialisation thread is done; its end closes the window then.
    if (!m_flow.Close()) {
        e->ignore();
        return;
    }
    HandleClose();
    e->accept();
}

// After the workflow closed (timers stopped, record written, engine stopped, launcher cleared).
void CMainWnd::HandleClose() {
    ClearChildren();
    m_title = m_route = m_state = m_picture = nullptr;
    for (auto& page : m_pages) page = nullptr;
    CSkinState::Instance().paintingSuspended = true;
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
