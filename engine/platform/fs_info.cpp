#include "engine/platform/fs_info.h"

#include <sys/statfs.h>
#include <sys/statvfs.h>

#include "engine/platform/file.h"

namespace tessali::platform {
namespace {

constexpr uint64_t kNfsMagic = 0x6969;
constexpr uint64_t kSmbMagic = 0x517B;
constexpr uint64_t kCifsMagic = 0xFF534D42;
constexpr uint64_t kSmb2Magic = 0xFE534D42;
constexpr uint64_t kV9fsMagic = 0x01021997;
constexpr uint64_t kFuseMagic = 0x65735546;
constexpr uint64_t kCodaMagic = 0x73757245;
constexpr uint64_t kAfsMagic = 0x5346414F;
constexpr uint64_t kCephMagic = 0x00C36400;
constexpr uint64_t kMsdosMagic = 0x4D44;

// The nearest existing folder: a download folder may not exist yet when its space is checked.
std::string ExistingAncestor(std::string path) {
    while (!path.empty() && !DirectoryExists(path) && !FileExists(path)) {
        if (path.back() == '/') {
            path.pop_back();
        }
        path = DirName(path);
    }
    return path.empty() ? std::string("/") : path;
}

}  // namespace

int64_t FreeBytes(const std::string& path) {
    struct statvfs st {};
    if (::statvfs(ExistingAncestor(path).c_str(), &st) != 0) {
        return -1;
    }
    return static_cast<int64_t>(st.f_bavail) * static_cast<int64_t>(st.f_frsize);
}

uint64_t FilesystemMagic(const std::string& path) {
    struct statfs st {};
    if (::statfs(ExistingAncestor(path).c_str(), &st) != 0) {
        return 0;
    }
    return static_cast<uint64_t>(st.f_type) & 0xFFFFFFFFu;
}

bool IsLocalFilesystemMagic(uint64_t magic) {
    switch (magic) {
        case 0:
        case kNfsMagic:
        case kSmbMagic:
        case kCifsMagic:
        case kSmb2Magic:
        case kV9fsMagic:
        case kFuseMagic:  // sshfs and friends; local FUSE filesystems are rare for downloads
        case kCodaMagic:
        case kAfsMagic:
        case kCephMagic:
            return false;
        default:
            return true;
    }
}

bool CanHoldLargeFilesMagic(uint64_t magic) {
    return magic != kMsdosMagic && magic != 0;
}

bool IsLocalFilesystem(const std::string& path) {
    return IsLocalFilesystemMagic(FilesystemMagic(path));
}

bool CanHoldLargeFiles(const std::string& path) {
    return CanHoldLargeFilesMagic(FilesystemMagic(path));
}

}  // namespace tessali::platform
