// How `mirt get`, `fetch` and `share` show progress. On a terminal: one status line redrawn in
// place (bar, percent, sizes people read, speed, ETA, peers). Elsewhere, or with
// --progress=lines: the plain one-line-per-interval format that scripts and tests read, unchanged.
// Used from the command's own thread only.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace tessali::mirt {

enum class ProgressMode { kLive, kLines, kQuiet };

// "--progress=live|lines" (empty = choose), --quiet, and whether the output is a terminal.
// Answers false for an unknown mode name.
bool ChooseProgressMode(const std::string& option, bool quiet, bool isTerminal, ProgressMode& out);

// 1023 B, 1.5 KiB, 12.0 MiB, 3.25 GiB: binary units, three significant digits or so.
std::string HumanSize(int64_t bytes);
std::string HumanRate(int64_t bytesPerSecond);
// 45s, 3m07s, 2h05m, 4d03h; "--" when unknown.
std::string HumanDuration(int64_t seconds);

struct ProgressSnapshot {
    int64_t have = 0;
    int64_t total = 0;       // 0 = not known yet (no seed, no HTTP head)
    int64_t downRate = 0;    // bytes per second
    int64_t upRate = 0;      // bytes per second
    uint32_t peers = 0;
    bool sharing = false;    // a seeder's line: upload speed and peers instead of a bar
    int files = 0;           // files shared, for a seeder's line
};

// The live status line for a terminal `width` columns wide, never wider than width - 1 so the
// cursor stays on it. `color` paints the bar (off with NO_COLOR or a dumb terminal).
std::string LiveLine(const ProgressSnapshot& s, int width, bool color);

class CProgressDisplay {
public:
    CProgressDisplay(ProgressMode mode, std::FILE* out, int width, bool color);
    // Shows one interval's progress: the live line redrawn, or `plainLine` printed as a line.
    void Show(const ProgressSnapshot& s, const std::string& plainLine);
    // Ends the live line (it stays on screen) so that the next text starts on a line of its own.
    void Break();

    ProgressMode Mode() const { return m_mode; }

private:
    ProgressMode m_mode;
    std::FILE* m_out;
    int m_width;
    bool m_color;
    bool m_lineOpen = false;
};

// The display of this process, set up by the command that runs; PrintLine breaks its live line.
CProgressDisplay*& ActiveProgressDisplay();

// The terminal's width in columns (TIOCGWINSZ, then $COLUMNS, then 80).
int TerminalWidth(int fd);
// Colour is wanted: a terminal, NO_COLOR unset or empty, TERM not "dumb".
bool ColorWanted(bool isTerminal);

}  // namespace tessali::mirt
