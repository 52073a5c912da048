// CDemoPilot: the demo's hands when it runs without anyone at the screen (scripts/demo.sh under
// Xvfb). It watches the main window, writes a screenshot of each stage (start-up, dialog, ready,
// downloading, finished) into a folder, confirms the version dialog, presses "gobtn", and closes
// the program when the download finished or when it timed out. Enabled only by the environment
// (TESSALI_DEMO_SHOTS, TESSALI_DEMO_TIMEOUT) of the demo's own program, tessali-demo; the shipped
// program has no pilot. GUI thread only.
#pragma once

#include <QString>
#include <QTimer>
#include <set>

#include "app/program.h"

namespace tessali::app {

class CMainWnd;

class CDemoPilot : public IProgramPilot {
public:
    // Exit codes of a demo run.
    static constexpr int kFinished = 0;
    static constexpr int kTimedOut = 3;
    static constexpr int kInitFailed = 4;

    CDemoPilot(CMainWnd& wnd, QString shotsFolder, int timeoutSeconds);
    // Its own verdict, whatever the event loop ended with.
    int ExitCode(int) const override { return m_exitCode; }

private:
    void Tick();
    void Shot(const QString& stage);
    void Finish(int code, const QString& message);

    CMainWnd& m_wnd;
    QString m_folder;
    int m_timeoutTicks;
    int m_ticks = 0;
    int m_downloadTicks = 0;
    int m_stillTicks = 0;  // polls since the percent last moved
    double m_lastPercent = -1;
    bool m_pressed = false;
    bool m_finishSeen = false;   // the finished state is shown; the picture waits one tick for its paint
    bool m_partWaySeen = false;  // a part-way state is shown; the picture waits one tick for its paint
    bool m_done = false;
    int m_exitCode = kTimedOut;
    std::set<QString> m_taken;
    QTimer m_timer;
};

}  // namespace tessali::app
