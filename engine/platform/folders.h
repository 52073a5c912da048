// The user's folders by the XDG base-directory rules. Every result is an absolute UTF-8 path
// with a trailing '/'. Environment variables are read on each call, so tests can redirect them.
#pragma once

#include <string>

namespace tessali::platform {

std::string HomeDir();
std::string DataHome();    // $XDG_DATA_HOME, else ~/.local/share/
std::string StateHome();   // $XDG_STATE_HOME, else ~/.local/state/
std::string ConfigHome();  // $XDG_CONFIG_HOME, else ~/.config/
std::string RuntimeDir();  // $XDG_RUNTIME_DIR, else DataHome()
// The user's download folder: $XDG_DOWNLOAD_DIR, else XDG_DOWNLOAD_DIR of user-dirs.dirs
// (localised names included), else empty.
std::string UserDownloadDir();
// The maker's log folder, StateHome() + "Tessali/" (log files are state: kept, not precious).
std::string LogFolder();
// Where a configured log file goes: "" stays "" (no log), an absolute path is kept, any other
// name is placed in LogFolder(), which is created.
std::string LogFilePath(const std::string& configured);

}  // namespace tessali::platform
