// The program's log set-up: opens the process-wide program log in the maker's log folder and
// routes Qt's messages into it. Called once by the process entry, on the GUI thread, before
// anything can warn; the message handler itself may run on any thread.
#pragma once

#include <string>

namespace tessali::app {

// Opens ProgramLog() on LogFilePath("TessaliDL.log") and installs the message handler: info,
// warnings and worse are written there (debug output is not), and every message still reaches
// the previous handler (standard error). Returns the log file's path ("" when it cannot open).
std::string InstallProgramLog();
// Removes the handler again (tests).
void RemoveProgramLog();

}  // namespace tessali::app
