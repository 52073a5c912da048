#include "tools/mirt/progress_display.h"

#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>

namespace tessali::mirt {

bool ChooseProgressMode(const std::string& option, bool quiet, bool isTerminal, ProgressMode& out) {
    if (option != "" && option != "live" && option != "lines") {
        return false;
    }
    if (quiet) {
        out = ProgressMode::kQuiet;
    } else if (option == "lines" || (option.empty() && !isTerminal)) {
        out = ProgressMode::kLines;
    } else {
        out = ProgressMode::kLive;
    }
    return true;
}

std::string HumanSize(int64_t bytes) {
    static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB"};
    if (bytes < 1024) {
        return std::to_string(std::max<int64_t>(bytes, 0)) + " B";
    }
    double v = static_cast<double>(bytes) / 1024.0;
    size_t unit = 0;
    while (v >= 1024.0 && unit + 1 < std::size(kUnits)) {
        v /= 1024.0;
        ++unit;
    }
    char text[32];
    // Three significant digits, as people read sizes; 1023.9 must not print as "1024.0".
    if (v >= 100.0) {
        std::snprintf(text, sizeof text, "%.0f %s", std::floor(v), kUnits[unit]);
    } else if (v >= 10.0) {
        std::snprintf(text, sizeof text, "%.1f %s", std::floor(v * 10.0) / 10.0, kUnits[unit]);
    } else {
        std::snprintf(text, sizeof text, "%.2f %s", std::floor(v * 100.0) / 100.0, kUnits[unit]);
    }
    return text;
}

std::string HumanRate(int64_t bytesPerSecond) {
    return HumanSize(bytesPerSecond) + "/s";
}

std::string HumanDuration(int64_t seconds) {
    if (seconds < 0) {
        return "--";
    }
    char text[32];
    if (seconds < 60) {
        std::snprintf(text, sizeof text, "%llds", static_cast<long long>(seconds));
    } else if (seconds < 3600) {
        std::snprintf(text, sizeof text, "%lldm%02llds", static_cast<long long>(seconds / 60),
                      static_cast<long long>(seconds % 60));
    } else if (seconds < 86400) {
        std::snprintf(text, sizeof text, "%lldh%02lldm", static_cast<long long>(seconds / 3600),
                      static_cast<long long>(seconds % 3600 / 60));
    } else {
        std::snprintf(text, sizeof text, "%lldd%02lldh", static_cast<long long>(seconds / 86400),
                      static_cast<long long>(seconds % 86400 / 3600));
    }
    return text;
}

std::string LiveLine(const ProgressSnapshot& s, int width, bool color) {
    width = std::max(width, 20);
    if (s.sharing) {
        std::string line = "sharing " + std::to_string(s.files) + (s.files == 1 ? " file" : " files") +
                           "  up " + HumanRate(s.upRate) + "  down " + HumanRate(s.downRate) +
                           "  peers " + std::to_string(s.peers);
        if (static_cast<int>(line.size()) > width - 1) {
            line.resize(static_cast<size_t>(width - 1));
        }
        return line;
    }
    std::string pct = "  --.-%";
    int64_t eta = -1;
    double fraction = 0.0;
    if (s.total > 0) {
        fraction = std::clamp(static_cast<double>(s.have) / static_cast<double>(s.total), 0.0, 1.0);
        char text[16];
        // Never round up to 100.0 % before the last byte is there.
        std::snprintf(text, sizeof text, " %5.1f%%", std::floor(fraction * 1000.0) / 10.0);
        pct = text;
        if (s.have >= s.total) {
            eta = 0;
        } else if (s.downRate > 0) {
            eta = (s.total - s.have + s.downRate - 1) / s.downRate;
        }
    }
    std::string sizes = HumanSize(s.have) + "/" + (s.total > 0 ? HumanSize(s.total) : std::string("?"));
    std::string tail = pct + "  " + sizes + "  " + HumanRate(s.downRate) + "  ETA " + HumanDuration(eta) +
                       "  peers " + std::to_string(s.peers);
    // The bar takes what the numbers leave, between 10 and 40 cells; a narrow terminal drops it.
    int barCells = std::min(40, width - 1 - static_cast<int>(tail.size()) - 2);
    std::string line;
    if (barCells >= 10) {
        int filled = static_cast<int>(fraction * barCells);
        line += "[";
        if (color) {
            line += "\033[32m";
        }
        line += std::string(static_cast<size_t>(filled), '#');
        if (color) {
            line += "\033[0m";
        }
        line += std::string(static_cast<size_t>(barCells - filled), '.');
        line += "]";
    }
    line += tail;
    return line;
}

CProgressDisplay::CProgressDisplay(ProgressMode mode, std::FILE* out, int width, bool color)
    : m_mode(mode), m_out(out), m_width(width), m_color(color) {}

void CProgressDisplay::Show(const ProgressSnapshot& s, const std::string& plainLine) {
    switch (m_mode) {
        case ProgressMode::kQuiet:
            return;
        case ProgressMode::kLines:
            std::fprintf(m_out, "%s\n", plainLine.c_str());
            break;
        case ProgressMode::kLive:
            // Back to the start of the line, the new text, and the rest of the old one erased.
            std::fprintf(m_out, "\r%s\033[K", LiveLine(s, m_width, m_color).c_str());
            m_lineOpen = true;
            break;
    }
    std::fflush(m_out);
}

void CProgressDisplay::Break() {
    if (m_lineOpen) {
        std::fputc('\n', m_out);
        std::fflush(m_out);
        m_lineOpen = false;
    }
}

CProgressDisplay*& ActiveProgressDisplay() {
    static CProgressDisplay* display = nullptr;
    return display;
}

int TerminalWidth(int fd) {
    winsize ws{};
    if (ioctl(fd, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) {
        return ws.ws_col;
    }
    if (const char* columns = getenv("COLUMNS")) {
        int n = std::atoi(columns);
        if (n > 0) {
            return n;
        }
    }
    return 80;
}

bool ColorWanted(bool isTerminal) {
    const char* noColor = getenv("NO_COLOR");
    const char* term = getenv("TERM");
    return isTerminal && (noColor == nullptr || noColor[0] == '\0') &&
           (term == nullptr || std::string(term) != "dumb");
}

}  // namespace tessali::mirt
