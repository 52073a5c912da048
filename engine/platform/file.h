// Files for the engine: an owning descriptor with positioned reads and writes, preallocation,
// and the path helpers the storage code needs. Paths are UTF-8; folders keep a trailing '/'.
// A File is used by one owner at a time; positioned I/O on one File may run on several threads.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace tessali::platform {

class File {
public:
    enum Mode : unsigned {
        kRead = 1,
        kWrite = 2,
        kCreate = 4,    // create when missing
        kTruncate = 8,  // empty on open
    };

    File() = default;
    ~File();
    File(File&& other) noexcept;
    File& operator=(File&& other) noexcept;
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    // Opens `path`; false (and errno set) on failure.
    bool Open(const std::string& path, unsigned mode);
    void Close();
    bool IsOpen() const { return m_fd >= 0; }
    int Fd() const { return m_fd; }

    // Whole-range positioned I/O: the number of bytes moved, short only at end of file (read)
    // or on error; -1 when nothing could be moved because of an error.
    int64_t ReadAt(int64_t position, std::span<uint8_t> out) const;
    int64_t WriteAt(int64_t position, std::span<const uint8_t> data) const;

    int64_t Size() const;  // -1 on error
    bool Truncate(int64_t length) const;
    // Reserves blocks for [0, length) so later writes cannot fail for lack of space.
    bool Preallocate(int64_t length) const;
    bool Sync() const;

private:
    int m_fd = -1;
};

bool FileExists(const std::string& path);
bool DirectoryExists(const std::string& path);
int64_t FileSize(const std::string& path);  // -1 when missing
bool RemoveFile(const std::string& path);   // true when gone afterwards
bool RenameFile(const std::string& from, const std::string& to);
// Creates every missing level of `path` (a folder, with or without trailing '/').
bool CreateDirectories(const std::string& path);

std::optional<std::string> ReadWholeFile(const std::string& path, int64_t maxBytes = INT64_MAX);
// Writes through a temporary file, fsync and rename, so a reader sees the old or the new bytes,
// never a torn file.
bool WriteFileAtomically(const std::string& path, std::string_view bytes);

// "/a/b/c.txt" -> "/a/b/"; "c.txt" -> "".
std::string DirName(std::string_view path);
// "/a/b/c.txt" -> "c.txt".
std::string BaseName(std::string_view path);
// Appends '/' when missing (empty stays empty).
std::string WithTrailingSlash(std::string path);
// The folder holding the running program, with trailing '/'.
std::string ProgramDir();

}  // namespace tessali::platform
