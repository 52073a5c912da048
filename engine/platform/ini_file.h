// CIniFile: reads and writes one ini file the way the Win32 profile functions do: sections and
// keys case-insensitive, a missing key gives the caller's default, a write keeps every other line.
// Values may carry a trailing "; comment" (after whitespace), which reads drop. Each call opens the
// file anew, so separate objects on one path see each other's writes; not for concurrent writers.
#pragma once

#include <string>
#include <string_view>

namespace tessali::platform {

class CIniFile {
public:
    explicit CIniFile(std::string path);
    virtual ~CIniFile() = default;

    const std::string& Path() const { return m_path; }

    // The value, or `def` when the section or key is missing.
    std::string GetString(std::string_view section, std::string_view key, std::string_view def = {}) const;
    // Copies at most size-1 characters and a terminator into `out`; the number of characters copied.
    int GetString(std::string_view section, std::string_view key, char* out, int size) const;
    // Leading optional sign and decimal digits (or 0x hex); `def` when missing or not a number.
    int GetInt(std::string_view section, std::string_view key, int def) const;
    bool WriteString(std::string_view section, std::string_view key, std::string_view value) const;

private:
    std::string m_path;
};

}  // namespace tessali::platform
