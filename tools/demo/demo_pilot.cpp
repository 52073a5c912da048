#include "tools/demo/demo_pilot.h"

#include <QApplication>
#include <QCursor>
#include <QDir>
#include <QGuiApplication>
#include <QPixmap>
#include <QRegularExpression>
#include <QScreen>
#include <cstdio>

#include "app/window/main_wnd.h"

namespace tessali::app {
namespace {

constexpr int kTickMs = 100;
constexpr int kCodeGo = 107;
constexpr int kCodeOk = 122;

// "…进度：NN% 速度：X.XXKB/s" well on its way (20 to 80 %, the bar plain to see) and moving: the
// picture of a download on its way. The state text is what a person reads, so that is checked.
bool ShowsPartWay(const QString& state) {
    static const QRegularExpression progress(QStringLiteral("进度：(\\d+)% 速度：([0-9.]+)"));
    const QRegularExpressionMatch m = progress.match(state);
    if (!m.hasMatch())
        return false;
    const int percent = m.captured(1).toInt();
    return percent >= 20 && percent <= 80 && m.captured(2).toDouble() > 0.0;
}

}  // namespace

CDemoPilot::CDemoPilot(CMainWnd& wnd, QString shotsFolder, int timeoutSeconds)
    : m_wnd(wnd), m_folder(std::move(shotsFolder)), m_timeoutTicks(timeoutSeconds * 1000 / kTickMs) {
    QDir().mkpath(m_folder);
    // Nobody's pointer rests on the slide show (it would stop it).
    QCursor::setPos(0, 0);
    QObject::connect(&m_timer, &QTimer::timeout, [this] { Tick(); });
    m_timer.start(kTickMs);
}

void CDemoPilot::Shot(const QString& stage) {
    if (!m_taken.insert(stage).second)
        return;
    // The whole screen around the window, so the modal dialog shows too.
    QScreen* screen = QGuiApplication::primaryScreen();
    const QRect r = m_wnd.frameGeometry();
    const QPixmap picture = screen ? screen->grabWindow(0, r.x(), r.y(), r.width(), r.height()) : QPixmap();
    const QString path = m_folder + QStringLiteral("/") + stage + QStringLiteral(".png");
    const bool saved = !picture.isNull() && picture.save(path);
    std::printf("demo: %s %s (%s)\n", saved ? "wrote" : "could not write", qPrintable(path),
                qPrintable(m_wnd.StateText()));
    std::fflush(stdout);
}

void CDemoPilot::Finish(int code, const QString& message) {
    m_done = true;
    m_exitCode = code;
    std::printf("demo: %s\n", qPrintable(message));
    std::fflush(stdout);
    // Through the tray menu's exit, as a user would: the close handling stops the engine.
    QTimer::singleShot(500, [this] { m_wnd.OnCommand(kCmdExit); });
}

void CDemoPilot::Tick() {
    if (m_done)
        return;
    ++m_ticks;
    // The start-up animation once it shows its dots, or whatever shows first.
    if (m_wnd.StateText().startsWith(QStringLiteral("正在初始化")) && m_wnd.StateText().size() > 10)
        Shot(QStringLiteral("1-startup"));
    if (m_wnd.IsInitialised())
        Shot(QStringLiteral("1-startup"));
    if (auto* dlg = dynamic_cast<CSkinSelectVersionDlg*>(QApplication::activeModalWidget())) {
        if (!m_taken.count(QStringLiteral("2-dialog"))) {
            // Let it paint once before the picture.
            if (m_taken.count(QStringLiteral("dialog-seen"))) {
                Shot(QStringLiteral("2-dialog"));
                dlg->OnSkinNotify(kCodeOk, 0, 0);
            }
            m_taken.insert(QStringLiteral("dialog-seen"));
        }
        return;
    }
    if (m_wnd.IsInitialised() && !m_wnd.InitSucceeded()) {
        Shot(QStringLiteral("3-ready"));
        Finish(kInitFailed, QStringLiteral("initialisation failed: ") + m_wnd.StateText());
        return;
    }
    if (!m_wnd.IsInitialised())
        return;
    skin::CSkinCtrl* go = m_wnd.Control("gobtn");
    skin::CSkinCtrl* open = m_wnd.Control("openbtn");
    if (!m_pressed) {
        if (go && go->IsShown() && go->IsEnabled() && !m_wnd.FullClients().empty()) {
            Shot(QStringLiteral("3-ready"));
            m_pressed = true;
            m_wnd.OnSkinNotify(kCodeGo, 0, 0);
        } else if (m_ticks > m_timeoutTicks) {
            Shot(QStringLiteral("3-ready"));
            Finish(kTimedOut, QStringLiteral("nothing to download: ") + m_wnd.StateText());
        }
        return;
    }
    ++m_downloadTicks;
    if (m_wnd.IsDownloading() && ShowsPartWay(m_wnd.StateText())) {
        // The screen holds what was last painted, one pass behind the state: the picture is taken
        // on the next tick, once the window has painted a state already part-way.
        if (m_partWaySeen) {
            Shot(QStringLiteral("4-downloading"));
        } else {
            m_partWaySeen = true;
            m_wnd.update();
        }
    }
    if (open && open->IsShown() && !m_wnd.IsDownloading()) {
        if (!m_finishSeen && !m_taken.count(QStringLiteral("4-downloading"))) {
            // A finished bar is no picture of a download on its way: none is written.
            std::printf(
                "demo: the download finished before it was seen part-way; no 4-downloading picture\n");
            std::fflush(stdout);
        }
        // The window paints the new state on the way back to the event loop; the screen has it
        // only after that, so the picture is taken on the next tick.
        if (!m_finishSeen) {
            m_finishSeen = true;
            m_wnd.update();
            return;
        }
        Shot(QStringLiteral("5-finished"));
        Finish(kFinished, QStringLiteral("download finished: ") + m_wnd.StateText());
        return;
    }
    if (m_wnd.Percent() != m_lastPercent) {
        m_lastPercent = m_wnd.Percent();
        m_stillTicks = 0;
    }
    // A slow transfer may take its time; one that stopped moving ends the demo.
    if (++m_stillTicks > m_timeoutTicks) {
        Shot(QStringLiteral("4-downloading"));
        Finish(kTimedOut,
               QStringLiteral("no progress for %1 s while downloading (%2 %); the engine found no source "
                              "for the client. State: ")
                       .arg(m_timeoutTicks * kTickMs / 1000)
                       .arg(static_cast<int>(m_wnd.Percent())) +
                   m_wnd.StateText());
    }
}

}  // namespace tessali::app
