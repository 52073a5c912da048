// RunProgram: the downloader as a process: one instance per user, the program log, the folders,
// the desktop identity and notifier, the main window centred in the work area, the event loop.
// SIGTERM/SIGINT/SIGHUP close the window as the tray menu's exit does. The main window stops the
// engine and writes the local record before it ends the loop, so nothing of the engine runs past
// it. The shipped program (main.cpp) runs it as it is; the demo's program adds a pilot that
// drives the window instead of a user. GUI thread only.
#pragma once

#include <functional>
#include <memory>

namespace tessali::app {

class CMainWnd;

// Drives the window instead of a user; created once the window is, destroyed before it.
class IProgramPilot {
public:
    virtual ~IProgramPilot() = default;
    // The process's exit code, given the event loop's.
    virtual int ExitCode(int loopCode) const = 0;
};

using PilotFactory = std::function<std::unique_ptr<IProgramPilot>(CMainWnd&)>;

// The process's exit code. `makePilot` may be empty (no pilot).
int RunProgram(int argc, char** argv, const PilotFactory& makePilot = {});

}  // namespace tessali::app
