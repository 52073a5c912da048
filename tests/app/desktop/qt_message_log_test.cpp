// The program's log as the process sets it up: where it lives ($XDG_STATE_HOME/Tessali/) and what
// Qt's messages become in it.

#include <gtest/gtest.h>

#include <QtGlobal>
#include <regex>

#include "app/desktop/qt_message_log.h"
#include "app/records/program_log.h"
#include "common/temp_dir.h"
#include "engine/platform/file.h"

namespace tessali::app::test {
namespace {

using tessali::test::ReadFile;
using tessali::test::ReadLines;
using tessali::test::ScopedEnv;
using tessali::test::TempDir;

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

    const std::vector<std::string> lines = ReadLines(path);
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

}  // namespace
}  // namespace tessali::app::test
