// The presentation half of CMainWnd: painting (progress bar, dimming), the window's rounded top
// corners, the start-up animation, the slide show and the notification-area icon with its menu.
// The buffer may have more than one device pixel per logical pixel (scaled screens); positions
// here are logical and pixel loops run over the buffer's own pixels.

#include <QCursor>
#include <QPainter>
#include <QRegion>
#include <QSystemTrayIcon>

#include "app/window/main_wnd.h"
#include "skin/skin_reader.h"

namespace tessali::app {

using skin::CImageSource;
using skin::CSkinState;

namespace {

constexpr int kBarX = 24;
constexpr int kBarY = 486;
constexpr int kBarHeight = 17;
constexpr int kDimLeft = 4;
constexpr int kDimTop = 29;
constexpr int kCornerSize = 10;

// The window's progress bar as assistive technology sees it.
class CProgressPart : public skin::CSkinCtrl {
public:
    explicit CProgressPart(const CMainWnd& wnd) : CSkinCtrl(skin::kKindImage), m_wnd(wnd) {}
    bool Layout(int, int) override {
        m_x = kBarX;
        m_y = kBarY;
        m_width = m_wnd.BarPicture().isNull() ? 0 : m_wnd.BarPicture().width();
        m_height = kBarHeight;
        return true;
    }
    QAccessible::Role AccessibleRole() const override { return QAccessible::ProgressBar; }
    QString AccessibleName() const override { return QStringLiteral("下载进度"); }
    double AccessibleValue() const override { return std::clamp(m_wnd.Percent(), 0.0, 100.0); }

private:
    const CMainWnd& m_wnd;
};

}  // namespace

void CMainWnd::AddProgressPart() {
    auto* part = new CProgressPart(*this);
    part->SetOwner(this);
    AppendChild(part);
}

void CMainWnd::Paint() {
    CSkinState& state = CSkinState::Instance();
    if (!state.firstPaintDone) {
        state.firstPaintDone = true;
        return;
    }
    if (state.paintingSuspended || Children().empty())
        return;
    const bool created = m_image.isNull();
    if (!EnsureBuffer())
        return;
    DrawChildrenToBuffer();
    {
        QPainter p(&m_image);
        const double percent = std::clamp(m_flow.Percent(), 0.0, 100.0);
        const int w = static_cast<int>(percent * m_bar.width() / 100);
        if (w > 0 && !m_bar.isNull()) {
            const skin::CArt bar = skin::PickArt(m_bar, m_bar2x, p);
            p.drawImage(QRect(kBarX, kBarY, w, kBarHeight), bar.image,
                        QRect(0, 0, w * bar.scale, bar.image.height()));
        }
        // A dimmed picture kept from a screen of another density is composed again.
        if (!m_dimPicture.isNull() && m_dimPicture.devicePixelRatio() != m_image.devicePixelRatio())
            m_dimPicture = QImage();
        if (m_dimmed && !m_dimPicture.isNull())
            p.drawImage(QPoint(kDimLeft, kDimTop), m_dimPicture);
    }
    if (m_dimmed && m_dimPicture.isNull()) {
        const qreal r = m_image.devicePixelRatio();
        const auto px = [r](int logical) { return static_cast<int>(logical * r); };
        const int width = m_image.width();
        const int height = m_image.height();
        for (int y = px(kDimTop); y <= height - 1 - px(4); ++y) {
            QRgb* line = reinterpret_cast<QRgb*>(m_image.scanLine(y));
            for (int x = px(kDimLeft); x <= width - 1 - px(4); ++x) {
                const QRgb c = line[x];
                line[x] = qRgba(qRed(c) / 2 + 45, qGreen(c) / 2 + 45, qBlue(c) / 2 + 45, 255);
            }
        }
        m_dimPicture = m_image.copy(px(kDimLeft), px(kDimTop), width - px(9), height - px(34));
        m_dimPicture.setDevicePixelRatio(r);
    }
    CopyToWindow();
    if (created)
        UpdateRegion();
}

void CMainWnd::UpdateRegion() {
    if (m_image.isNull())
        return;
    const int w = width();
    const int h = height();
    QRegion region(0, 0, w, h);
    // The region is in logical pixels; each one is judged by the first buffer pixel it covers.
    const qreal r = m_image.devicePixelRatio();
    const int logicalWidth = static_cast<int>(m_image.width() / r);
    const int rows = std::min(kCornerSize, static_cast<int>(m_image.height() / r));
    for (int y = 0; y < rows; ++y) {
        const QRgb* line = reinterpret_cast<const QRgb*>(m_image.constScanLine(static_cast<int>(y * r)));
        for (int x = 0; x < logicalWidth; ++x) {
            if (x >= kCornerSize && x < logicalWidth - kCornerSize)
                continue;
            if (line[static_cast<int>(x * r)] == m_bgColour)
                region -= QRegion(x, y, 1, 1);
        }
    }
    setMask(region);
}

void CMainWnd::StartupAnimationTick() {
    m_dots += QChar(0x00B7);
    if (m_dots.size() >= 4)
        m_dots.clear();
    SetText(m_title, QStringLiteral("Tessali下载器启动中"));
    SetText(m_state, QStringLiteral("正在初始化，请稍候") + m_dots);
    Repaint();
}

void CMainWnd::SlideTick() {
    if (m_imageCount <= 0 || !m_picture)
        return;
    if (m_currentImage > m_imageCount - 1)
        m_currentImage = 0;
    const ManifestImage& image = m_flow.GetManifest().images[m_currentImage];
    m_picture->SetProperty(
        QStringLiteral("imagepath"),
        CImageSource{QString::fromStdString(image.localFile), QString::fromStdString(image.linkUrl),
                     QString::fromStdString(image.description)});
    RedrawControl(m_picture);
    for (auto* page : m_pages) {
        if (page)
            page->SetProperty(QStringLiteral("down"), 0);
    }
    // The marks run the other way round: the last page button marks the first picture.
    const int mark = m_imageCount - m_currentImage;
    if (mark >= 1 && mark <= 4 && m_pages[mark - 1])
        m_pages[mark - 1]->SetProperty(QStringLiteral("down"), 1);
    for (auto* page : m_pages) RedrawControl(page);
    ++m_currentImage;
}

void CMainWnd::ShowPage(int page) {
    if (page < 1 || page > 4 || page > m_imageCount)
        return;
    for (auto* p : m_pages) {
        if (p)
            p->SetProperty(QStringLiteral("down"), 0);
    }
    if (m_pages[page - 1])
        m_pages[page - 1]->SetProperty(QStringLiteral("down"), 1);
    for (auto* p : m_pages) RedrawControl(p);
    m_currentImage = m_imageCount - page;
    const ManifestImage& image = m_flow.GetManifest().images[m_currentImage];
    if (m_picture) {
        m_picture->SetProperty(
            QStringLiteral("imagepath"),
            CImageSource{QString::fromStdString(image.localFile), QString::fromStdString(image.linkUrl),
                         QString::fromStdString(image.description)});
        RedrawControl(m_picture);
    }
}

// ---- notification area ----

void CMainWnd::CreateTray() {
    m_trayMenu.clear();
    QMenu* popup = m_trayMenu.addMenu(QStringLiteral("文件(&F)"));
    skin::CSkinMenu::AddCommand(popup, QStringLiteral("打开下载器"), kCmdOpenWindow);
    popup->addSeparator();
    skin::CSkinMenu::AddCommand(popup, QStringLiteral("退出下载器"), kCmdExit);
    m_skinMenu.SetImages(m_menuSelected, m_menuExit);
    m_skinMenu.Load(popup);
    QObject::connect(popup, &QMenu::triggered, this,
                     [this](QAction* action) { OnCommand(action->data().toInt()); });

    m_tray = std::make_unique<QSystemTrayIcon>(windowIcon(), this);
    m_tray->setToolTip(QStringLiteral("Tessali下载器"));
    // The desktop's own right-click handling shows the menu on every kind of notification area.
    m_tray->setContextMenu(popup);
    QObject::connect(m_tray.get(), &QSystemTrayIcon::activated, this,
                     [this](QSystemTrayIcon::ActivationReason why) {
                         if (why == QSystemTrayIcon::Trigger)
                             OnTrayMessage(kMouseLButtonUp);
                     });
    QObject::connect(m_tray.get(), &QSystemTrayIcon::messageClicked, this, [this] {
        if (m_balloonAction)
            m_balloonAction();
    });
    // Shown even when the desktop has no notification area yet: the icon appears once one does.
    m_tray->show();
}

bool CMainWnd::ShowTrayMessage(const CompletionNotice& notice) {
    if (!m_tray || m_flow.IsClosed() || !m_desktop.TrayAvailable() || !QSystemTrayIcon::supportsMessages())
        return false;
    m_balloonAction = notice.actions.empty() ? std::function<void()>() : notice.actions.front().run;
    m_tray->showMessage(notice.summary, notice.body, QSystemTrayIcon::Information, 10000);
    return true;
}

void CMainWnd::RemoveTray() {
    if (m_tray)
        m_tray->hide();
}

void CMainWnd::OnTrayMessage(int mouseMessage) {
    if (mouseMessage == kMouseLButtonUp) {
        if (isVisible() && !isMinimized()) {
            showMinimized();
            hide();
        } else {
            showNormal();
            raise();
            activateWindow();
        }
    } else if (mouseMessage == kMouseRButtonUp) {
        raise();
        activateWindow();
        if (QMenu* popup = m_trayMenu.actions().isEmpty() ? nullptr : m_trayMenu.actions().front()->menu())
            popup->popup(QCursor::pos());
    }
}

void CMainWnd::OnCommand(int id) {
    if (id == kCmdOpenWindow) {
        showNormal();
        raise();
        activateWindow();
    } else if (id == kCmdExit) {
        RemoveTray();
        hide();
        PostClose();
    }
}

}  // namespace tessali::app
