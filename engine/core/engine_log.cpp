#include "engine/core/engine_log.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <memory>
#include <mutex>

namespace tessali::core {
namespace {

struct LogState {
    std::mutex lock;
    FILE* file = nullptr;
    int minLevel = 1;
    std::shared_ptr<std::function<void(int, const std::string&)>> sink;
};

LogState& State() {
    static LogState* state = new LogState;  // never destroyed: threads may log during exit
    return *state;
}

}  // namespace

const char* LogPrefix(int level) {
    switch (level) {
        case kLogDebug:
            return "DEBUG ";
        case kLogFail:
            return "FAIL ";
        case kLogStop:
            return "STOP ";
        case kLogError1:
            return "ERROR1 ";
        default:
            return "";
    }
}

std::string FormatLogLine(int level, std::string_view message) {
    if (level < 1) {
        return {};
    }
    char line[kLogLineBytes] = {};
    time_t now = time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    int n = snprintf(line, sizeof line, "%s%04d-%02d-%02d %02d:%02d:%02d ", LogPrefix(level),
                     local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                     local.tm_sec);
    std::string out(line, static_cast<size_t>(n));
    size_t room = kLogLineBytes - 1 - out.size();
    out.append(message.substr(0, room));
    return out;
}

void EngineLog(int level, const char* format, ...) {
    if (level < 1) {
        return;
    }
    LogState& s = State();
    char message[kLogLineBytes];
    va_list args;
    va_start(args, format);
    vsnprintf(message, sizeof message, format, args);
    va_end(args);
    std::string line = FormatLogLine(level, message);

    std::shared_ptr<std::function<void(int, const std::string&)>> sink;
    {
        std::lock_guard lock(s.lock);
        if (s.file != nullptr && level >= s.minLevel) {
            fwrite(line.data(), 1, line.size(), s.file);
            if (line.empty() || line.back() != '\n') {
                fputc('\n', s.file);
            }
            fflush(s.file);
        }
        sink = s.sink;
    }
    if (sink) {
        (*sink)(level, line);
    }
}

void SetLogFile(const std::string& path, int minLevel) {
    LogState& s = State();
    std::lock_guard lock(s.lock);
    if (s.file != nullptr) {
        fclose(s.file);
        s.file = nullptr;
    }
    s.minLevel = minLevel;
    if (!path.empty()) {
        s.file = fopen(path.c_str(), "ae");
    }
}

void SetLogSink(std::function<void(int, const std::string&)> sink) {
    LogState& s = State();
    std::lock_guard lock(s.lock);
    s.sink = sink ? std::make_shared<std::function<void(int, const std::string&)>>(std::move(sink)) : nullptr;
}

}  // namespace tessali::core
