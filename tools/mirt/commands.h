// The command table of the `mirt` front-end. Each command lives in its own file and registers
// itself with a static MirtCommandRegistrar, so adding a command touches no shared list.
#pragma once

#include <functional>
#include <string>
#include <vector>

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

// Absolute form of a path whose folder exists (the file itself may not); empty when it does not.
std::string AbsolutePath(const std::string& path);

// Installs SIGINT/SIGTERM handlers that set a flag instead of killing the process.
void InstallStopSignals();
bool StopRequested();
// Sleeps until a stop signal arrives or `ms` passed; true when stopping.
bool WaitForStop(int ms);

}  // namespace tessali::mirt
