#include "engine/core/mirt_file.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "engine/core/engine_log.h"
#include "engine/core/task_key.h"

namespace tessali::core {
namespace {

using Clock = std::chrono::steady_clock;

int64_t MillisSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

bool DeletePath(const std::string& path) {
    if (::unlink(path.c_str()) == 0 || errno == ENOENT) {
        return true;
    }
    EngineLog(kLogPlain6, "Delete File Failed!!!File: %s,Error Code:%d\n", path.c_str(), errno);
    return false;
}

// rename(2) that fails instead of replacing an existing file, as the final name may belong to
// a file the user put there meanwhile.
bool RenameNoReplace(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
        return true;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return false;
    }
    // Filesystems without the flag: a hard link fails on an existing target, too.
    if (::link(from.c_str(), to.c_str()) != 0) {
        return false;
    }
    ::unlink(from.c_str());
    return true;
}

}  // namespace

CMirtFile::CMirtFile(std::string path, int64_t size, bool complete)
    : m_path(std::move(path)), m_size(std::max<int64_t>(size, 0)) {
    if (!complete) {
        m_path += kUnfinishedSuffix;
    }
    EngineLog(kLogDebug, "$$$$$$$$$$$$$File size:%lld\n", static_cast<long long>(m_size));
}

CMirtFile::~CMirtFile() {
    CloseLocked();
}

bool CMirtFile::Open() {
    std::lock_guard lock(m_lock);
    return OpenLocked();
}

bool CMirtFile::OpenLocked() {
    if (m_file.IsOpen()) {
        return true;
    }
    if (m_lost) {
        return false;  // a fresh file would hide that the bytes written so far are gone
    }
    std::string folder = platform::DirName(m_path);
    if (!folder.empty() && !platform::CreateDirectories(folder)) {
        m_lastError = errno;
        m_lastStep = "made";
        return false;
    }
    bool existed = platform::FileExists(m_path);
    if (!m_file.Open(m_path, platform::File::kRead | platform::File::kWrite | platform::File::kCreate)) {
        m_lastError = errno;
        m_lastStep = existed ? "opened" : "made";
        return false;
    }
    int64_t have = m_file.Size();
    if (have < m_size) {
        auto start = Clock::now();
        EngineLog(kLogError1, "###SetFilePointerEx %lld\n", static_cast<long long>(m_size));
        if (!m_file.Preallocate(m_size)) {
            m_lastError = errno;
            m_lastStep = existed ? "extended" : "made";
            EngineLog(kLogPlain, "###SetEndOfFile Err %d\n", m_lastError);
            m_file.Close();
            if (!existed) {
                ::unlink(m_path.c_str());  // never leave a half-made file behind
            }
            return false;
        }
        EngineLog(kLogError1, "###SetFileValidData %lld\n", static_cast<long long>(m_size));
        if (int64_t ms = MillisSince(start); ms > 999) {
            EngineLog(kLogError1, "++++++++++++++++AllocateSize Total Time:%d\n", static_cast<int>(ms));
        }
    }
    struct stat st {};
    if (::fstat(m_file.Fd(), &st) != 0) {
        m_lastError = errno;
        m_lastStep = "opened";
        m_file.Close();
        return false;
    }
    m_device = st.st_dev;
    m_inode = st.st_ino;
    return true;
}

void CMirtFile::CloseLocked() {
    m_file.Close();
    m_readFile.Close();
}

bool CMirtFile::CheckStillThereLocked() {
    struct stat st {};
    if (::stat(m_path.c_str(), &st) == 0 && st.st_dev == m_device && st.st_ino == m_inode &&
        st.st_size >= m_size) {
        return true;
    }
    EngineLog(kLogPlain, "content file %s vanished or shrank under the engine\n", m_path.c_str());
    CloseLocked();
    m_lost = true;
    return false;
}

bool CMirtFile::FinishedLocked() const {
    return UnfinishedSuffixPos(m_path) == std::string::npos;
}

int64_t CMirtFile::Size() const {
    return m_size;
}

int64_t CMirtFile::WriteAt(int64_t position, std::span<const uint8_t> data) {
    std::lock_guard lock(m_lock);
    if (m_lost || position < 0 || position > m_size) {
        return -1;
    }
    auto start = Clock::now();
    if (!OpenLocked()) {
        return -1;
    }
    auto length =
        static_cast<int64_t>(std::min<uint64_t>(data.size(), static_cast<uint64_t>(m_size - position)));
    if (!CheckStillThereLocked()) {
        return -1;
    }
    if (length > 0 && m_file.WriteAt(position, data.first(static_cast<size_t>(length))) != length) {
        return -1;
    }
    if (int64_t ms = MillisSince(start); ms > 999) {
        EngineLog(kLogError1, "%d ++++++++++++++++++++WriteFile File len:%lld,Pos:%lld, time:%d\n",
                  static_cast<int>(::gettid()), static_cast<long long>(m_size),
                  static_cast<long long>(position), static_cast<int>(ms));
    }
    m_written += static_cast<uint64_t>(length);
    return length;
}

int64_t CMirtFile::ReadAt(int64_t position, std::span<uint8_t> out) {
    std::lock_guard lock(m_lock);
    if (m_lost || position < 0 || position > m_size) {
        return -1;
    }
    auto length =
        static_cast<int64_t>(std::min<uint64_t>(out.size(), static_cast<uint64_t>(m_size - position)));
    auto target = out.first(static_cast<size_t>(length));
    if (FinishedLocked()) {
        errno = 0;
        // Served block by block: the descriptor stays open while the file it reads is still
        // linked; once the file is deleted or replaced it is opened again by name (and fails
        // when nothing is there), as a fresh open for every read would.
        struct stat st {};
        if (m_readFile.IsOpen() && (::fstat(m_readFile.Fd(), &st) != 0 || st.st_nlink == 0)) {
            m_readFile.Close();
        }
        bool ok = (m_readFile.IsOpen() || m_readFile.Open(m_path, platform::File::kRead)) &&
                  (length == 0 || m_readFile.ReadAt(position, target) == length);
        // A shared file deleted or cut short under us: said once, not for every request.
        if (!ok && !m_readFailLogged) {
            EngineLog(kLogFail, "content file %s cannot be read at %lld (%s)\n", m_path.c_str(),
                      static_cast<long long>(position),
                      errno != 0 ? std::strerror(errno) : "shorter than its size");
        }
        m_readFailLogged = !ok;
        return ok ? length : -1;
    }
    auto start = Clock::now();
    if (!OpenLocked() || !CheckStillThereLocked()) {
        return -1;
    }
    if (length > 0 && m_file.ReadAt(position, target) != length) {
        return -1;
    }
    if (int64_t ms = MillisSince(start); ms > 999) {
        EngineLog(kLogError1, "++++++++++++++++++++Read time:%d\n", static_cast<int>(ms));
    }
    return length;
}

bool CMirtFile::DeleteTemporary() {
    std::lock_guard lock(m_lock);
    CloseLocked();
    m_lost = false;
    if (FinishedLocked()) {
        return true;  // a finished file is never deleted here
    }
    return DeletePath(m_path);
}

bool CMirtFile::DeleteContent() {
    std::lock_guard lock(m_lock);
    CloseLocked();
    m_lost = false;
    return DeletePath(m_path);
}

bool CMirtFile::Finish() {
    std::lock_guard lock(m_lock);
    CloseLocked();
    size_t cut = UnfinishedSuffixPos(m_path);
    if (cut == std::string::npos) {
        return true;
    }
    std::string finalPath = m_path.substr(0, cut);
    if (m_lost) {
        return false;
    }
    // A file no byte was ever written to (an empty file of a multi-file task) is made now, so
    // the finished content holds every file.
    if (!platform::FileExists(m_path)) {
        if (!OpenLocked()) {
            return false;
        }
        CloseLocked();
    }
    if (!RenameNoReplace(m_path, finalPath)) {
        return false;
    }
    m_path = std::move(finalPath);
    return true;
}

bool CMirtFile::Flush() {
    std::lock_guard lock(m_lock);
    return !m_file.IsOpen() || m_file.Sync();
}

std::string CMirtFile::Path() const {
    std::lock_guard lock(m_lock);
    return m_path;
}

bool CMirtFile::IsFinished() const {
    std::lock_guard lock(m_lock);
    return FinishedLocked();
}

bool CMirtFile::IsOpen() const {
    std::lock_guard lock(m_lock);
    return m_file.IsOpen();
}

int CMirtFile::LastError() const {
    std::lock_guard lock(m_lock);
    return m_lastError;
}

const char* CMirtFile::LastFailedStep() const {
    std::lock_guard lock(m_lock);
    return m_lastStep;
}

uint64_t CMirtFile::BytesWritten() const {
    std::lock_guard lock(m_lock);
    return m_written;
}

namespace {

int64_t ClampHead(int64_t contentSize, int64_t headLength) {
    return std::clamp<int64_t>(headLength, 0, std::max<int64_t>(contentSize, 0));
}

}  // namespace

CTmpMirtFile::CTmpMirtFile(std::string path, int64_t contentSize, int64_t headLength)
    : CMirtFile(std::move(path), std::max<int64_t>(contentSize, 0) - ClampHead(contentSize, headLength),
                false),
      m_headLength(ClampHead(contentSize, headLength)),
      m_head(static_cast<size_t>(m_headLength), 0) {}

int64_t CTmpMirtFile::Size() const {
    return m_headLength + CMirtFile::Size();
}

int64_t CTmpMirtFile::WriteAt(int64_t position, std::span<const uint8_t> data) {
    if (position < 0 || position > Size()) {
        return -1;
    }
    auto length =
        static_cast<size_t>(std::min<uint64_t>(data.size(), static_cast<uint64_t>(Size() - position)));
    size_t inHead =
        position < m_headLength ? std::min<size_t>(length, static_cast<size_t>(m_headLength - position)) : 0;
    if (inHead > 0) {
        std::lock_guard lock(m_headLock);
        std::memcpy(m_head.data() + position, data.data(), inHead);
    }
    if (inHead == length) {
        return static_cast<int64_t>(length);
    }
    int64_t filePosition = position + static_cast<int64_t>(inHead) - m_headLength;
    int64_t n = CMirtFile::WriteAt(filePosition, data.subspan(inHead, length - inHead));
    return n < 0 ? -1 : static_cast<int64_t>(inHead) + n;
}

int64_t CTmpMirtFile::ReadAt(int64_t position, std::span<uint8_t> out) {
    if (position < 0 || position > Size()) {
        return -1;
    }
    auto length =
        static_cast<size_t>(std::min<uint64_t>(out.size(), static_cast<uint64_t>(Size() - position)));
    size_t inHead =
        position < m_headLength ? std::min<size_t>(length, static_cast<size_t>(m_headLength - position)) : 0;
    if (inHead > 0) {
        std::lock_guard lock(m_headLock);
        std::memcpy(out.data(), m_head.data() + position, inHead);
    }
    if (inHead == length) {
        return static_cast<int64_t>(length);
    }
    int64_t filePosition = position + static_cast<int64_t>(inHead) - m_headLength;
    int64_t n = CMirtFile::ReadAt(filePosition, out.subspan(inHead, length - inHead));
    return n < 0 ? -1 : static_cast<int64_t>(inHead) + n;
}

}  // namespace tessali::core
