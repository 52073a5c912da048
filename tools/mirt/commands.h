// The command table of the `mirt` front-end. Each command lives in its own file and registers
// itself with a static MirtCommandRegistrar, so adding a command touches no shared list.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "tools/mirt/progress_display.h"

namespace tessali::mirt {

struct MirtCommand {
    std::string name;   // first word(s) on the command line, e.g. "status" or "seed build"
    std::string usage;  // shown by --help
    std::function<int(const std::vector<std::string>& args)> run;  // args after the name
};

std::vector<MirtCommand>& Commands();

struct MirtCommandRegistrar {
    explicit MirtCommandRegistrar(MirtCommand command) { Commands().push_back(std::move(command)); }
};

// Prints a line and flushes it at once (scripts read our output line by line).
void PrintLine(const std::string& line);
void PrintError(const std::string& line);

// How a long-running command shows progress: --progress=live|lines (or --progress MODE) and
// --quiet (no progress display; result lines still print).
struct ProgressOptions {
    std::string mode;  // empty: live on a terminal, lines elsewhere
    bool quiet = false;
};
// When args[i] is a progress option, takes it (and its value): 1 taken, 0 not one, -1 bad value
// (already reported).
int TakeProgressOption(const std::vector<std::string>& args, size_t& i, ProgressOptions& options);

// The progress display of the running command on standard output. While it exists, PrintLine and
// PrintError end its live line first, so that their text starts on a line of its own.
class CCommandProgress {
public:
    explicit CCommandProgress(const ProgressOptions& options);
    ~CCommandProgress();
    CCommandProgress(const CCommandProgress&) = delete;
    CCommandProgress& operator=(const CCommandProgress&) = delete;
    void Show(const ProgressSnapshot& s, const std::string& plainLine) { m_display.Show(s, plainLine); }
    ProgressMode Mode() const { return m_display.Mode(); }

private:
    CProgressDisplay m_display;
};

// Makes the missing folders on the way to the file `path` (mode 0777 less the user's umask), as
// wget and aria2c do; false with the reason when one cannot be made.
bool MakeFoldersFor(const std::string& path, std::string& reason);

// Absolute form of a path whose folder exists (the file itself may not); empty when it does not.
std::string AbsolutePath(const std::string& path);

// Installs SIGINT/SIGTERM handlers that set a flag instead of killing the process.
void InstallStopSignals();
bool StopRequested();
// Sleeps until a stop signal arrives or `ms` passed; true when stopping.
bool WaitForStop(int ms);

}  // namespace tessali::mirt
