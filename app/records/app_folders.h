// The process shell's ground work: the single-instance guard and the folders the program uses (its
// own data folder, the engine's maker-wide folder, the download folder). Called on the GUI thread
// during start-up; the guard lives for the whole run.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tessali::app {

inline constexpr const char* kInstanceName = "TSG7DownLoad";
inline constexpr const char* kMakerFolderName = "Tessali";
inline constexpr const char* kAppFolderName = "TessaliDL";
inline constexpr const char* kDownloadFolderName = "TessaliDownload";

// An exclusive lock on a file named "TSG7DownLoad" in the runtime folder: only one holder per user
// at a time. The lock goes with the process, so a crashed instance never blocks the next start.
class CInstanceGuard {
public:
    explicit CInstanceGuard(std::string lockPath);
    ~CInstanceGuard();
    CInstanceGuard(const CInstanceGuard&) = delete;
    CInstanceGuard& operator=(const CInstanceGuard&) = delete;

    // False when another instance holds the lock (or the lock file cannot be opened).
    bool Acquire();
    bool Held() const { return m_fd >= 0; }
    // "$XDG_RUNTIME_DIR/TSG7DownLoad", else the data folder.
    static std::string DefaultPath();

private:
    std::string m_path;
    int m_fd = -1;
};

// Creates "Tessali" and "TessaliDL" under the data home and returns the latter with a trailing '/'.
std::string PrepareAppDataFolder(const std::string& dataHome);

// Facts about candidate folders, replaceable in tests.
struct FolderFacts {
    std::function<int64_t(const std::string&)> freeBytes;  // -1 when the folder does not answer
    std::function<bool(const std::string&)> isLocal;       // local and writable by the user
    static FolderFacts Platform();
};

// The default download folder: "TessaliDownload" in the local candidate with most free space
// (first wins ties), created, with a trailing '/'; "TessaliDownload/" (relative) when none answers.
std::string DefaultDownloadFolder(const std::vector<std::string>& candidates, const FolderFacts& facts);
// The candidates of a Linux user: the XDG download folder (user-dirs.dirs, localised names
// included) when it has one, then the home folder.
std::vector<std::string> DownloadFolderCandidates();

// The start-up download folder: the local record's "path" when the record holds a "download"
// element (taken as stored), else the default folder.
std::string StartupDownloadFolder(const std::string& recordPath, const std::vector<std::string>& candidates,
                                  const FolderFacts& facts);

// The nearest existing folder of `path` (itself or an ancestor), with trailing '/'; "/" at worst.
std::string ExistingAncestor(const std::string& path);

// True when `path` is the root of a local filesystem (a mount point such as "/" or "/mnt/data").
bool IsLocalFilesystemRoot(const std::string& path);

}  // namespace tessali::app
