// The engine log call. Levels: 0 INFO (never written), 1 DEBUG, 2 FAIL, 3 STOP, 4 (no prefix),
// 5 ERROR1, 6 and above (no prefix). A line is "<prefix><YYYY-MM-DD hh:mm:ss> <message>", at
// most 1023 bytes. Lines at or above the configured level go to the configured file; tests can
// also install a capture sink. Safe from any thread; lines are written whole.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace tessali::core {

enum LogLevel : int {
    kLogInfo = 0,
    kLogDebug = 1,
    kLogFail = 2,
    kLogStop = 3,
    kLogPlain = 4,
    kLogError1 = 5,
    kLogPlain6 = 6,
};

constexpr size_t kLogLineBytes = 1024;

void EngineLog(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// The formatted line for `level` and `message` at the current local time ("" for level < 1).
std::string FormatLogLine(int level, std::string_view message);
// The prefix of a level: "DEBUG ", "FAIL ", "STOP ", "ERROR1 " or "".
const char* LogPrefix(int level);

// Sends lines at or above `minLevel` to `path` (appended); an empty path turns the file off.
void SetLogFile(const std::string& path, int minLevel);
// Every line that is built (any level >= 1) is also given to `sink`; empty removes it.
void SetLogSink(std::function<void(int level, const std::string& line)> sink);

}  // namespace tessali::core
