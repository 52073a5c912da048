// CProgramLog: the downloader's own log file, "TessaliDL.log" in the maker's log folder
// ($XDG_STATE_HOME/Tessali/): the program's start and stop and every warning of the program and
// of Qt. A line is "<YYYY-MM-DD hh:mm:ss> <LEVEL> <text>". The file stays below kMaxBytes: once
// full it moves to "<name>.1" (replacing the older one) and a new file begins.
// Safe from any thread; each line is written whole with one write.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

namespace tessali::app {

inline constexpr const char* kProgramLogName = "TessaliDL.log";

class CProgramLog {
public:
    enum Level { kInfo, kWarning, kCritical, kFatal };
    static constexpr int64_t kMaxBytes = int64_t{1} << 20;
    static constexpr size_t kMaxLineBytes = 2048;

    CProgramLog() = default;
    ~CProgramLog();
    CProgramLog(const CProgramLog&) = delete;
    CProgramLog& operator=(const CProgramLog&) = delete;

    // Appends to `path` from now on; false when it cannot be opened (lines are then dropped).
    bool Open(const std::string& path);
    void Close();
    bool IsOpen() const;
    std::string Path() const;
    // Newlines inside `text` become spaces, so one call is one line; long texts are cut.
    void Write(Level level, std::string_view text);

private:
    bool OpenLocked();

    mutable std::mutex m_lock;
    std::string m_path;
    int m_fd = -1;
    int64_t m_size = 0;
};

// The process-wide log of the program (closed until the process entry opens it).
CProgramLog& ProgramLog();
// A warning of the program's own, for the plain parts that do not go through Qt.
void ProgramWarning(std::string_view text);

const char* LevelName(CProgramLog::Level level);

}  // namespace tessali::app
