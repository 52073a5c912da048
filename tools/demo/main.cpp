// tessali-demo: the downloader program with the demo's pilot, for scripts/demo.sh's unattended
// run under Xvfb. It runs the program exactly as the shipped one does; the pilot confirms the
// version dialog, presses "gobtn", writes a screenshot of each stage and closes the program.
//   TESSALI_DEMO_SHOTS=DIR     the screenshots' folder; without it the program runs without a pilot
//   TESSALI_DEMO_TIMEOUT=SEC   how long the pilot waits for a stage, or for the download to move
//                              (default 60)
// Exit code: 0 when the download finished, 3 when no progress came in time, 4 when start-up failed.

#include <cstdlib>
#include <memory>

#include "app/program.h"
#include "tools/demo/demo_pilot.h"

int main(int argc, char** argv) {
    using namespace tessali::app;
    const char* shots = std::getenv("TESSALI_DEMO_SHOTS");
    if (shots == nullptr || *shots == '\0')
        return RunProgram(argc, argv);
    const char* timeout = std::getenv("TESSALI_DEMO_TIMEOUT");
    const int seconds = timeout != nullptr && std::atoi(timeout) > 0 ? std::atoi(timeout) : 60;
    const QString folder = QString::fromLocal8Bit(shots);
    return RunProgram(argc, argv, [&](CMainWnd& wnd) -> std::unique_ptr<IProgramPilot> {
        return std::make_unique<CDemoPilot>(wnd, folder, seconds);
    });
}
