#include "engine/platform/ini_file.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <sstream>
#include <vector>

#include "engine/platform/file.h"

namespace tessali::platform {
namespace {

std::string_view Trim(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) {
        s.remove_prefix(1);
    }
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) {
        s.remove_suffix(1);
    }
    return s;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::string line;
    std::istringstream in(text);
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(line);
    }
    return lines;
}

// "[name]" -> name; nullopt-like empty flag for other lines.
bool SectionName(std::string_view line, std::string_view& name) {
    line = Trim(line);
    if (line.size() < 2 || line.front() != '[') {
        return false;
    }
    size_t close = line.find(']');
    if (close == std::string_view::npos) {
        return false;
    }
    name = Trim(line.substr(1, close - 1));
    return true;
}

bool KeyValue(std::string_view line, std::string_view& key, std::string_view& value) {
    std::string_view t = Trim(line);
    if (t.empty() || t.front() == ';' || t.front() == '#') {
        return false;
    }
    size_t eq = t.find('=');
    if (eq == std::string_view::npos) {
        return false;
    }
    key = Trim(t.substr(0, eq));
    value = Trim(t.substr(eq + 1));
    return true;
}

std::string CleanValue(std::string_view value) {
    // The value was trimmed, so a comment right after "key =" starts at 0.
    for (size_t i = 0; i < value.size(); ++i) {
        if (value[i] == ';' && (i == 0 || std::isspace(static_cast<unsigned char>(value[i - 1])))) {
            value = Trim(value.substr(0, i));
            break;
        }
    }
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
        value = value.substr(1, value.size() - 2);
    }
    return std::string(value);
}

}  // namespace

CIniFile::CIniFile(std::string path) : m_path(std::move(path)) {}

std::string CIniFile::GetString(std::string_view section, std::string_view key, std::string_view def) const {
    auto text = ReadWholeFile(m_path, 16 << 20);
    if (!text) {
        return std::string(def);
    }
    bool inSection = false;
    for (const std::string& line : SplitLines(*text)) {
        std::string_view name, k, v;
        if (SectionName(line, name)) {
            inSection = EqualsNoCase(name, section);
        } else if (inSection && KeyValue(line, k, v) && EqualsNoCase(k, key)) {
            return CleanValue(v);
        }
    }
    return std::string(def);
}

int CIniFile::GetString(std::string_view section, std::string_view key, char* out, int size) const {
    if (out == nullptr || size <= 0) {
        return 0;
    }
    std::string v = GetString(section, key, {});
    size_t n = std::min(v.size(), static_cast<size_t>(size - 1));
    std::memcpy(out, v.data(), n);
    out[n] = '\0';
    return static_cast<int>(n);
}

int CIniFile::GetInt(std::string_view section, std::string_view key, int def) const {
    std::string v = GetString(section, key, {});
    bool hex = v.size() > 2 && v[0] == '0' && (v[1] == 'x' || v[1] == 'X');
    const char* digits = v.c_str() + (hex ? 2 : 0);
    char* end = nullptr;
    long value = std::strtol(digits, &end, hex ? 16 : 10);
    return end == digits ? def : static_cast<int>(value);
}

bool CIniFile::WriteString(std::string_view section, std::string_view key, std::string_view value) const {
    std::vector<std::string> lines;
    if (auto text = ReadWholeFile(m_path, 16 << 20)) {
        lines = SplitLines(*text);
    }
    const std::string newLine = std::string(key) + "=" + std::string(value);
    bool inSection = false;
    size_t sectionEnd = std::string::npos;  // index after the last line of the matching section
    bool written = false;
    for (size_t i = 0; i < lines.size() && !written; ++i) {
        std::string_view name, k, v;
        if (SectionName(lines[i], name)) {
            if (inSection) {
                break;
            }
            inSection = EqualsNoCase(name, section);
            if (inSection) {
                sectionEnd = i + 1;
            }
        } else if (inSection) {
            if (KeyValue(lines[i], k, v) && EqualsNoCase(k, key)) {
                lines[i] = newLine;
                written = true;
            } else if (!Trim(lines[i]).empty()) {
                sectionEnd = i + 1;
            }
        }
    }
    if (!written) {
        if (sectionEnd == std::string::npos) {
            lines.push_back("[" + std::string(section) + "]");
            lines.push_back(newLine);
        } else {
            lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(sectionEnd), newLine);
        }
    }
    std::string out;
    for (const std::string& l : lines) {
        out += l;
        out += "\r\n";
    }
    return WriteFileAtomically(m_path, out);
}

}  // namespace tessali::platform
