// The live status line of `mirt`: sizes people read, a bar that fits the terminal, an ETA that
// never lies about being done, and the plain line format left exactly as scripts read it.

#include "tools/mirt/progress_display.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace tessali::mirt {
namespace {

TEST(HumanUnits, SizesUseBinaryUnitsAndNeverRoundUpToTheNextUnit) {
    EXPECT_EQ(HumanSize(0), "0 B");
    EXPECT_EQ(HumanSize(1023), "1023 B");
    EXPECT_EQ(HumanSize(1024), "1.00 KiB");
    EXPECT_EQ(HumanSize(1536), "1.50 KiB");
    EXPECT_EQ(HumanSize(30000000), "28.6 MiB");
    EXPECT_EQ(HumanSize(1024LL * 1024 * 1024 - 1), "1023 MiB");
    EXPECT_EQ(HumanSize(5LL * 1024 * 1024 * 1024 + 512LL * 1024 * 1024), "5.50 GiB");
    EXPECT_EQ(HumanSize(-5), "0 B");
    EXPECT_EQ(HumanRate(3002570), "2.86 MiB/s");
}

TEST(HumanUnits, DurationsShowTheTwoLargestUnits) {
    EXPECT_EQ(HumanDuration(-1), "--");
    EXPECT_EQ(HumanDuration(0), "0s");
    EXPECT_EQ(HumanDuration(59), "59s");
    EXPECT_EQ(HumanDuration(187), "3m07s");
    EXPECT_EQ(HumanDuration(7500), "2h05m");
    EXPECT_EQ(HumanDuration(4 * 86400 + 3 * 3600 + 59), "4d03h");
}

TEST(ProgressModeChoice, TerminalsGetTheLiveLineAndPipesThePlainLines) {
    ProgressMode mode{};
    ASSERT_TRUE(ChooseProgressMode("", false, true, mode));
    EXPECT_EQ(mode, ProgressMode::kLive);
    ASSERT_TRUE(ChooseProgressMode("", false, false, mode));
    EXPECT_EQ(mode, ProgressMode::kLines);
    ASSERT_TRUE(ChooseProgressMode("lines", false, true, mode));
    EXPECT_EQ(mode, ProgressMode::kLines);
    ASSERT_TRUE(ChooseProgressMode("live", false, false, mode));
    EXPECT_EQ(mode, ProgressMode::kLive);
    ASSERT_TRUE(ChooseProgressMode("", true, true, mode));
    EXPECT_EQ(mode, ProgressMode::kQuiet);
    EXPECT_FALSE(ChooseProgressMode("fancy", false, true, mode));
}

TEST(LiveLine, ShowsBarPercentSizesSpeedEtaAndPeersWithinTheWidth) {
    ProgressSnapshot s;
    s.have = 64LL * 1024 * 1024;
    s.total = 256LL * 1024 * 1024;
    s.downRate = 8LL * 1024 * 1024;
    s.peers = 3;
    std::string line = LiveLine(s, 100, false);
    EXPECT_NE(line.find(" 25.0%"), std::string::npos) << line;
    EXPECT_NE(line.find("64.0 MiB/256 MiB"), std::string::npos) << line;
    EXPECT_NE(line.find("8.00 MiB/s"), std::string::npos) << line;
    EXPECT_NE(line.find("ETA 24s"), std::string::npos) << line;
    EXPECT_NE(line.find("peers 3"), std::string::npos) << line;
    ASSERT_EQ(line.front(), '[');
    size_t close = line.find(']');
    std::string bar = line.substr(1, close - 1);
    EXPECT_EQ(std::count(bar.begin(), bar.end(), '#') * 4, static_cast<long>(bar.size())) << bar;
    EXPECT_LT(static_cast<int>(line.size()), 100);
    for (int width : {20, 40, 60, 200}) {
        std::string l = LiveLine(s, width, false);
        // Too narrow for a bar: the numbers stay; wide: the bar stops at 40 cells.
        EXPECT_NE(l.find("25.0%"), std::string::npos) << width;
        if (width >= 60) {
            EXPECT_LT(static_cast<int>(l.size()), width) << width;
        }
        EXPECT_LE(l.find(']') == std::string::npos ? 0 : l.find(']') - 1, 40u) << width;
    }
}

TEST(LiveLine, NeverShowsDoneBeforeTheLastByteAndCopesWithUnknownSizes) {
    ProgressSnapshot s;
    s.total = 1000000;
    s.have = 999999;
    s.downRate = 0;
    std::string line = LiveLine(s, 100, false);
    EXPECT_NE(line.find(" 99.9%"), std::string::npos) << line;
    EXPECT_NE(line.find("ETA --"), std::string::npos) << line;
    s.have = s.total;
    EXPECT_NE(LiveLine(s, 100, false).find("100.0%"), std::string::npos);
    EXPECT_NE(LiveLine(s, 100, false).find("ETA 0s"), std::string::npos);
    ProgressSnapshot unknown;
    line = LiveLine(unknown, 100, false);
    EXPECT_NE(line.find("--.-%"), std::string::npos) << line;
    EXPECT_NE(line.find("0 B/?"), std::string::npos) << line;
}

TEST(LiveLine, ColourOnlyWhenAskedAndASeederShowsItsUploads) {
    ProgressSnapshot s;
    s.have = 50;
    s.total = 100;
    EXPECT_NE(LiveLine(s, 100, true).find("\033[32m"), std::string::npos);
    EXPECT_EQ(LiveLine(s, 100, false).find('\033'), std::string::npos);
    ProgressSnapshot share;
    share.sharing = true;
    share.files = 2;
    share.upRate = 2 * 1024 * 1024;
    share.peers = 5;
    EXPECT_EQ(LiveLine(share, 100, false), "sharing 2 files  up 2.00 MiB/s  down 0 B/s  peers 5");
}

TEST(ColourChoice, NoColorAndDumbTerminalsTurnItOff) {
    setenv("TERM", "xterm", 1);
    unsetenv("NO_COLOR");
    EXPECT_TRUE(ColorWanted(true));
    EXPECT_FALSE(ColorWanted(false));
    setenv("NO_COLOR", "1", 1);
    EXPECT_FALSE(ColorWanted(true));
    setenv("NO_COLOR", "", 1);
    EXPECT_TRUE(ColorWanted(true));
    setenv("TERM", "dumb", 1);
    EXPECT_FALSE(ColorWanted(true));
    unsetenv("NO_COLOR");
}

std::string Written(std::FILE* f, char*& buf, size_t& len) {
    std::fflush(f);
    return std::string(buf, len);
}

TEST(ProgressDisplay, LinesModeWritesThePlainLineUnchangedAndLiveModeRedrawsInPlace) {
    char* buf = nullptr;
    size_t len = 0;
    std::FILE* f = open_memstream(&buf, &len);
    ProgressSnapshot s;
    s.have = 1;
    s.total = 2;
    {
        CProgressDisplay lines(ProgressMode::kLines, f, 80, false);
        lines.Show(s, "progress 1/2 bytes 50.0% down 0 B/s peers 0 received 1");
        lines.Break();
        EXPECT_EQ(Written(f, buf, len), "progress 1/2 bytes 50.0% down 0 B/s peers 0 received 1\n");
    }
    std::fclose(f);
    free(buf);

    buf = nullptr;
    len = 0;
    f = open_memstream(&buf, &len);
    CProgressDisplay live(ProgressMode::kLive, f, 80, false);
    live.Show(s, "ignored");
    s.have = 2;
    live.Show(s, "ignored");
    live.Break();
    live.Break();  // a second break adds nothing
    std::string out = Written(f, buf, len);
    EXPECT_EQ(out.find("ignored"), std::string::npos);
    EXPECT_EQ(std::count(out.begin(), out.end(), '\r'), 2);
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1);
    EXPECT_EQ(out.back(), '\n');
    EXPECT_NE(out.find("100.0%"), std::string::npos);
    std::fclose(f);
    free(buf);

    buf = nullptr;
    len = 0;
    f = open_memstream(&buf, &len);
    CProgressDisplay quiet(ProgressMode::kQuiet, f, 80, false);
    quiet.Show(s, "progress");
    quiet.Break();
    EXPECT_EQ(Written(f, buf, len), "");
    std::fclose(f);
    free(buf);
}

}  // namespace
}  // namespace tessali::mirt
