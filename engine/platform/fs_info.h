// Facts about the filesystem that holds a path: free space for the caller, whether it is a
// local disk (the engine only stores content on local filesystems) and whether it can hold
// files of 4 GiB and more.
#pragma once

#include <cstdint>
#include <string>

namespace tessali::platform {

// Bytes available to an unprivileged caller (statvfs f_bavail * f_frsize); -1 on error.
int64_t FreeBytes(const std::string& path);

// True for a local filesystem; false for network ones (NFS, CIFS/SMB, 9p, network FUSE) and on error.
bool IsLocalFilesystem(const std::string& path);

// False for FAT-family filesystems (4 GiB file size limit); true otherwise.
bool CanHoldLargeFiles(const std::string& path);

// The statfs magic of the filesystem of `path` (0 on error); exposed for tests and logs.
uint64_t FilesystemMagic(const std::string& path);

// The classification rules themselves, by magic number.
bool IsLocalFilesystemMagic(uint64_t magic);
bool CanHoldLargeFilesMagic(uint64_t magic);

}  // namespace tessali::platform
