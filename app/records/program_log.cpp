#include "app/records/program_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>

namespace tessali::app {

CProgramLog::~CProgramLog() {
    Close();
}

bool CProgramLog::Open(const std::string& path) {
    std::lock_guard lock(m_lock);
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_path = path;
    return OpenLocked();
}

bool CProgramLog::OpenLocked() {
    m_fd = ::open(m_path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    struct stat st {};
    m_size = m_fd >= 0 && ::fstat(m_fd, &st) == 0 ? st.st_size : 0;
    return m_fd >= 0;
}

void CProgramLog::Close() {
    std::lock_guard lock(m_lock);
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

bool CProgramLog::IsOpen() const {
    std::lock_guard lock(m_lock);
    return m_fd >= 0;
}

std::string CProgramLog::Path() const {
    std::lock_guard lock(m_lock);
    return m_path;
}

const char* LevelName(CProgramLog::Level level) {
    switch (level) {
        case CProgramLog::kInfo:
            return "INFO";
        case CProgramLog::kWarning:
            return "WARNING";
        case CProgramLog::kCritical:
            return "CRITICAL";
        case CProgramLog::kFatal:
            return "FATAL";
    }
    return "?";
}

void CProgramLog::Write(Level level, std::string_view text) {
    char stamp[32];
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    std::string line = std::string(stamp) + " " + LevelName(level) + " ";
    size_t keep = std::min(text.size(), kMaxLineBytes);
    // Cut before a UTF-8 continuation byte, so a shortened Chinese text stays valid.
    while (keep < text.size() && keep > 0 && (static_cast<unsigned char>(text[keep]) & 0xC0) == 0x80) --keep;
    for (char c : text.substr(0, keep)) line += c == '\n' || c == '\r' ? ' ' : c;
    while (line.back() == ' ') line.pop_back();
    line += '\n';

    std::lock_guard lock(m_lock);
    if (m_fd < 0)
        return;
    if (m_size > 0 && m_size + static_cast<int64_t>(line.size()) > kMaxBytes) {
        // Full: the current file becomes the old one and a fresh one begins.
        ::close(m_fd);
        ::rename(m_path.c_str(), (m_path + ".1").c_str());
        if (!OpenLocked())
            return;
    }
    const ssize_t n = ::write(m_fd, line.data(), line.size());
    if (n > 0)
        m_size += n;
}

CProgramLog& ProgramLog() {
    // Never destroyed: Qt may still report warnings while static objects go away.
    static CProgramLog* log = new CProgramLog;
    return *log;
}

void ProgramWarning(std::string_view text) {
    ProgramLog().Write(CProgramLog::kWarning, text);
}

}  // namespace tessali::app
