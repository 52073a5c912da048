// The program's own log file: one line per message, the size bound and the cut of long lines.

#include <gtest/gtest.h>

#include <regex>

#include "app/records/program_log.h"
#include "common/temp_dir.h"
#include "engine/platform/file.h"

namespace tessali::app::test {
namespace {

using tessali::test::ReadLines;
using tessali::test::TempDir;

TEST(ProgramLog, TheFileStaysBoundedAndTheNewestLinesAreKept) {
    TempDir dir;
    CProgramLog log;
    ASSERT_TRUE(log.Open(dir.File("p.log")));
    const std::string text(CProgramLog::kMaxLineBytes + 500, 'x');  // cut to kMaxLineBytes
    const int lines = static_cast<int>(3 * CProgramLog::kMaxBytes / CProgramLog::kMaxLineBytes);
    for (int i = 0; i < lines; ++i) log.Write(CProgramLog::kWarning, text);
    log.Write(CProgramLog::kInfo, "last");
    log.Close();
    const int64_t current = platform::FileSize(dir.File("p.log"));
    const int64_t old = platform::FileSize(dir.File("p.log.1"));
    EXPECT_GT(current, 0);
    EXPECT_LE(current, CProgramLog::kMaxBytes);
    EXPECT_GT(old, CProgramLog::kMaxBytes / 2);
    EXPECT_LE(old, CProgramLog::kMaxBytes);
    const std::vector<std::string> kept = ReadLines(dir.File("p.log"));
    ASSERT_FALSE(kept.empty());
    EXPECT_EQ(kept.back().substr(20), "INFO last");
    EXPECT_EQ(kept.front().size(), 20 + std::string("WARNING ").size() + CProgramLog::kMaxLineBytes);
    // A long Chinese text is cut between characters, never inside one.
    ASSERT_TRUE(log.Open(dir.File("cjk.log")));
    std::string cjk;
    while (cjk.size() < CProgramLog::kMaxLineBytes + 10) cjk += "下载";
    log.Write(CProgramLog::kInfo, "x" + cjk);  // one ASCII byte first: the cut falls mid-character
    const std::string line = ReadLines(dir.File("cjk.log")).at(0).substr(26);  // after stamp, level, "x"
    EXPECT_EQ(line.size() % 3, 0u);
    EXPECT_EQ(line.substr(line.size() - 3), "载");
    EXPECT_LE(line.size() + 1, CProgramLog::kMaxLineBytes);
    log.Close();
    // A closed log drops lines instead of failing.
    log.Write(CProgramLog::kWarning, "dropped");
    EXPECT_EQ(ReadLines(dir.File("p.log")).back().substr(20), "INFO last");
}

}  // namespace
}  // namespace tessali::app::test
