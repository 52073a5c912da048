#include "log_capture.h"

#include "engine/core/engine_log.h"

namespace tessali::test {

LogCapture::LogCapture() {
    core::SetLogSink([this](int, const std::string& line) {
        std::lock_guard lock(m_lock);
        m_lines.push_back(line);
    });
}

LogCapture::~LogCapture() {
    core::SetLogSink({});
}

std::vector<std::string> LogCapture::Lines() const {
    std::lock_guard lock(m_lock);
    return m_lines;
}

bool LogCapture::Contains(const std::string& text) const {
    std::lock_guard lock(m_lock);
    for (const std::string& l : m_lines) {
        if (l.size() >= text.size() && l.compare(l.size() - text.size(), text.size(), text) == 0) {
            return true;
        }
    }
    return false;
}

void LogCapture::Clear() {
    std::lock_guard lock(m_lock);
    m_lines.clear();
}

}  // namespace tessali::test
