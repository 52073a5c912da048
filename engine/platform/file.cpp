#include "engine/platform/file.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

#include "engine/platform/file_faults.h"

namespace tessali::platform {

std::atomic<IFileFaults*> detail::g_fileFaults{nullptr};

void SetFileFaults(IFileFaults* faults) {
    detail::g_fileFaults.store(faults, std::memory_order_release);
}

File::~File() {
    Close();
}

File::File(File&& other) noexcept : m_fd(other.m_fd) {
    other.m_fd = -1;
}

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        Close();
        m_fd = other.m_fd;
        other.m_fd = -1;
    }
    return *this;
}

bool File::Open(const std::string& path, unsigned mode) {
    Close();
    int flags = O_CLOEXEC;
    if ((mode & kRead) && (mode & kWrite)) {
        flags |= O_RDWR;
    } else if (mode & kWrite) {
        flags |= O_WRONLY;
    } else {
        flags |= O_RDONLY;
    }
    if (mode & kCreate) {
        flags |= O_CREAT;
    }
    if (mode & kTruncate) {
        flags |= O_TRUNC;
    }
    if (int fault = FileFaultFor({.op = FileOp::kOpen, .path = &path, .mode = mode})) {
        errno = fault;
        return false;
    }
    do {
        m_fd = ::open(path.c_str(), flags, 0644);
    } while (m_fd < 0 && errno == EINTR);
    return m_fd >= 0;
}

void File::Close() {
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

int64_t File::ReadAt(int64_t position, std::span<uint8_t> out) const {
    size_t done = 0;
    while (done < out.size()) {
        ssize_t n =
            ::pread(m_fd, out.data() + done, out.size() - done, position + static_cast<int64_t>(done));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return done > 0 ? static_cast<int64_t>(done) : -1;
        }
        if (n == 0) {
            break;
        }
        done += static_cast<size_t>(n);
    }
    return static_cast<int64_t>(done);
}

int64_t File::WriteAt(int64_t position, std::span<const uint8_t> data) const {
    if (int fault = FileFaultFor({.op = FileOp::kWrite,
                                  .fd = m_fd,
                                  .position = position,
                                  .length = static_cast<int64_t>(data.size())})) {
        errno = fault;
        return -1;
    }
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n =
            ::pwrite(m_fd, data.data() + done, data.size() - done, position + static_cast<int64_t>(done));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return done > 0 ? static_cast<int64_t>(done) : -1;
        }
        done += static_cast<size_t>(n);
    }
    return static_cast<int64_t>(done);
}

int64_t File::Size() const {
    struct stat st {};
    if (::fstat(m_fd, &st) != 0) {
        return -1;
    }
    return st.st_size;
}

bool File::Truncate(int64_t length) const {
    return ::ftruncate(m_fd, length) == 0;
}

bool File::Preallocate(int64_t length) const {
    if (length <= 0) {
        return true;
    }
    if (int fault = FileFaultFor({.op = FileOp::kExtend, .fd = m_fd, .length = length})) {
        errno = fault;
        return false;
    }
    int r = ::posix_fallocate(m_fd, 0, length);
    if (r == 0) {
        return true;
    }
    // Filesystems without fallocate support still get the right length (sparse).
    if (r == EOPNOTSUPP || r == EINVAL) {
        return Size() >= length || Truncate(length);
    }
    errno = r;
    return false;
}

bool File::Sync() const {
    if (int fault = FileFaultFor({.op = FileOp::kSync, .fd = m_fd})) {
        errno = fault;
        return false;
    }
    return ::fdatasync(m_fd) == 0;
}

bool FileExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool DirectoryExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

int64_t FileSize(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        return -1;
    }
    return st.st_size;
}

bool RemoveFile(const std::string& path) {
    return ::unlink(path.c_str()) == 0 || errno == ENOENT;
}

bool RenameFile(const std::string& from, const std::string& to) {
    return ::rename(from.c_str(), to.c_str()) == 0;
}

bool CreateDirectories(const std::string& path) {
    if (path.empty()) {
        return false;
    }
    std::string current;
    size_t pos = 0;
    while (pos <= path.size()) {
        size_t next = path.find('/', pos);
        if (next == std::string::npos) {
            next = path.size();
        }
        current = path.substr(0, next);
        if (!current.empty() && ::mkdir(current.c_str(), 0755) != 0 && errno != EEXIST) {
            return false;
        }
        pos = next + 1;
    }
    return DirectoryExists(path);
}

std::optional<std::string> ReadWholeFile(const std::string& path, int64_t maxBytes) {
    File f;
    if (!f.Open(path, File::kRead)) {
        return std::nullopt;
    }
    int64_t size = f.Size();
    if (size < 0 || size > maxBytes) {
        return std::nullopt;
    }
    std::string bytes(static_cast<size_t>(size), '\0');
    int64_t n = f.ReadAt(0, {reinterpret_cast<uint8_t*>(bytes.data()), bytes.size()});
    if (n < 0) {
        return std::nullopt;
    }
    bytes.resize(static_cast<size_t>(n));
    return bytes;
}

bool WriteFileAtomically(const std::string& path, std::string_view bytes) {
    std::string tmp = path + ".tmp";
    {
        File f;
        if (!f.Open(tmp, File::kWrite | File::kCreate | File::kTruncate)) {
            return false;
        }
        std::span<const uint8_t> data{reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()};
        if (f.WriteAt(0, data) != static_cast<int64_t>(bytes.size()) || !f.Sync()) {
            f.Close();
            RemoveFile(tmp);
            return false;
        }
    }
    if (!RenameFile(tmp, path)) {
        RemoveFile(tmp);
        return false;
    }
    return true;
}

std::string DirName(std::string_view path) {
    size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? std::string() : std::string(path.substr(0, slash + 1));
}

std::string BaseName(std::string_view path) {
    size_t slash = path.rfind('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string WithTrailingSlash(std::string path) {
    if (!path.empty() && path.back() != '/') {
        path.push_back('/');
    }
    return path;
}

std::string ProgramDir() {
    std::vector<char> buf(PATH_MAX + 1);
    ssize_t n = ::readlink("/proc/self/exe", buf.data(), PATH_MAX);
    if (n <= 0) {
        return "./";
    }
    return DirName(std::string_view(buf.data(), static_cast<size_t>(n)));
}

}  // namespace tessali::platform
