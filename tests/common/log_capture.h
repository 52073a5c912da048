// Collects the engine log lines built while the object lives, for tests that check log texts.
#pragma once

#include <mutex>
#include <string>
#include <vector>

namespace tessali::test {

class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> Lines() const;
    // True when some line ends with `text` (the time stamp makes lines differ in front).
    bool Contains(const std::string& text) const;
    void Clear();

private:
    mutable std::mutex m_lock;
    std::vector<std::string> m_lines;
};

}  // namespace tessali::test
