// The program's own log: where it lives ($XDG_STATE_HOME/Tessali/), what Qt's messages become in
// it, one line per message, and the size bound.

#include <gtest/gtest.h>

#include <QtGlobal>
#include <regex>
#include <sstream>

#include "app/main_log.h"
#include "app/program_log.h"
#include "app_harness.h"
#include "common/temp_dir.h"
#include "engine/platform/file.h"

namespace tessali::app::test {
namespace {

using tessali::test::ReadFile;
using tessali::test::ScopedEnv;
using tessali::test::TempDir;

std::vector<std::string> Lines(const std::string& path) {
    std::vector<std::string> out;
    std::istringstream in(ReadFile(path));
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

TEST(ProgramLog, QtWarningsGoIntoTheStateFolderAndDebugOutputDoesNot) {
    TempDir state;
    ScopedEnv env("XDG_STATE_HOME", state.Path());
    const std::string path = InstallProgramLog();
    ASSERT_EQ(path, state.Path() + "Tessali/TessaliDL.log");
    qDebug("chatter");
    qInfo("started %d", 1);
    qWarning("the record %s could not be written", "/x/G7DownLoadInfo.xml");
    qCritical("two\nlines");
    ProgramWarning("from the plain parts");
    RemoveProgramLog();
    qWarning("after removal");

    const std::vector<std::string> lines = Lines(path);
    ASSERT_EQ(lines.size(), 4u) << ReadFile(path);
    const std::regex stamp(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d [A-Z]+ .*)");
    for (const std::string& line : lines) EXPECT_TRUE(std::regex_match(line, stamp)) << line;
    EXPECT_EQ(lines[0].substr(20), "INFO started 1");
    EXPECT_EQ(lines[1].substr(20), "WARNING the record /x/G7DownLoadInfo.xml could not be written");
    EXPECT_EQ(lines[2].substr(20), "CRITICAL two lines");
    EXPECT_EQ(lines[3].substr(20), "WARNING from the plain parts");
}

TEST(ProgramLog, WithoutXdgStateHomeTheLogIsUnderTheHomeFolder) {
    TempDir home;
    ScopedEnv h("HOME", home.Path());
    ScopedEnv s("XDG_STATE_HOME", "");  // unset in effect: only absolute values count
    const std::string path = InstallProgramLog();
    qWarning("hello");
    RemoveProgramLog();
    EXPECT_EQ(path, home.Path() + ".local/state/Tessali/TessaliDL.log");
    EXPECT_NE(ReadFile(path).find("WARNING hello"), std::string::npos);
}

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
    const std::vector<std::string> kept = Lines(dir.File("p.log"));
    ASSERT_FALSE(kept.empty());
    EXPECT_EQ(kept.back().substr(20), "INFO last");
    EXPECT_EQ(kept.front().size(), 20 + std::string("WARNING ").size() + CProgramLog::kMaxLineBytes);
    // A long Chinese text is cut between characters, never inside one.
    ASSERT_TRUE(log.Open(dir.File("cjk.log")));
    std::string cjk;
    while (cjk.size() < CProgramLog::kMaxLineBytes + 10) cjk += "下载";
    log.Write(CProgramLog::kInfo, "x" + cjk);  // one ASCII byte first: the cut falls mid-character
    const std::string line = Lines(dir.File("cjk.log")).at(0).substr(26);  // after stamp, level, "x"
    EXPECT_EQ(line.size() % 3, 0u);
    EXPECT_EQ(line.substr(line.size() - 3), "载");
    EXPECT_LE(line.size() + 1, CProgramLog::kMaxLineBytes);
    log.Close();
    // A closed log drops lines instead of failing.
    log.Write(CProgramLog::kWarning, "dropped");
    EXPECT_EQ(Lines(dir.File("p.log")).back().substr(20), "INFO last");
}

}  // namespace
}  // namespace tessali::app::test
