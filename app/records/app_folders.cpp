#include "app/records/app_folders.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/records/download_record.h"
#include "engine/platform/file.h"
#include "engine/platform/folders.h"
#include "engine/platform/fs_info.h"

namespace tessali::app {

CInstanceGuard::CInstanceGuard(std::string lockPath) : m_path(std::move(lockPath)) {}

CInstanceGuard::~CInstanceGuard() {
    if (m_fd >= 0) {
        ::close(m_fd);  // releases the lock; the file stays for the next start
    }
}

bool CInstanceGuard::Acquire() {
    if (m_fd >= 0) {
        return true;
    }
    int fd = ::open(m_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        return false;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return false;
    }
    m_fd = fd;
    return true;
}

std::string CInstanceGuard::DefaultPath() {
    std::string folder = platform::RuntimeDir();
    platform::CreateDirectories(folder);
    return folder + kInstanceName;
}

std::string PrepareAppDataFolder(const std::string& dataHome) {
    const std::string home = platform::WithTrailingSlash(dataHome);
    platform::CreateDirectories(home + kMakerFolderName);
    platform::CreateDirectories(home + kAppFolderName);
    return home + kAppFolderName + "/";
}

FolderFacts FolderFacts::Platform() {
    return {[](const std::string& p) { return platform::FreeBytes(p); },
            [](const std::string& p) {
                return platform::IsLocalFilesystem(p) && ::access(p.c_str(), W_OK) == 0;
            }};
}

std::string DefaultDownloadFolder(const std::vector<std::string>& candidates, const FolderFacts& facts) {
    std::string root;
    int64_t best = -1;
    for (const std::string& candidate : candidates) {
        if (candidate.empty() || !facts.isLocal(candidate)) {
            continue;
        }
        const int64_t free = facts.freeBytes(candidate);
        if (free > best) {  // only a strictly larger value replaces: the first of equals wins
            best = free;
            root = platform::WithTrailingSlash(candidate);
        }
    }
    const std::string folder = root + kDownloadFolderName;
    platform::CreateDirectories(folder);
    return folder + "/";
}

std::vector<std::string> DownloadFolderCandidates() {
    // The user's own download folder comes first, so it wins whenever home has no more room
    // (the usual case: both on one filesystem).
    std::vector<std::string> out;
    const std::string downloads = platform::UserDownloadDir();
    const std::string home = platform::HomeDir();
    if (!downloads.empty() && downloads != home)
        out.push_back(downloads);
    out.push_back(home);
    return out;
}

std::string StartupDownloadFolder(const std::string& recordPath, const std::vector<std::string>& candidates,
                                  const FolderFacts& facts) {
    DownloadRecord record;
    if (ReadDownloadRecord(recordPath, record) == 1) {
        return record.path;
    }
    return DefaultDownloadFolder(candidates, facts);
}

std::string ExistingAncestor(const std::string& path) {
    std::string p = path;
    while (!p.empty() && p.back() == '/') p.pop_back();
    while (!p.empty()) {
        if (platform::DirectoryExists(p)) {
            return p + "/";
        }
        const size_t cut = p.find_last_of('/');
        if (cut == std::string::npos) {
            break;
        }
        p.resize(cut);
    }
    if (!path.empty() && path.front() != '/') {
        return "./";  // a relative folder lives in the current directory
    }
    return "/";
}

bool IsLocalFilesystemRoot(const std::string& path) {
    std::string p = path;
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    struct stat self {};
    if (p.empty() || ::stat(p.c_str(), &self) != 0 || !S_ISDIR(self.st_mode)) {
        return false;
    }
    bool root = p == "/";
    if (!root) {
        struct stat parent {};
        const std::string up = p + "/..";
        root = ::stat(up.c_str(), &parent) == 0 &&
               (parent.st_dev != self.st_dev || parent.st_ino == self.st_ino);
    }
    return root && platform::IsLocalFilesystem(p);
}

}  // namespace tessali::app
