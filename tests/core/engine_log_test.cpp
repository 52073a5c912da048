// The engine log: prefixes, time stamp, level 0, line limit and the file sink.

#include <gtest/gtest.h>

#include <regex>

#include "common/log_capture.h"
#include "common/temp_dir.h"
#include "engine/core/engine_log.h"

namespace tessali::core {
namespace {

TEST(EngineLog, PrefixesPerLevelThenTimeStampThenMessage) {
    const std::regex stamp(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2} msg)");
    struct Case {
        int level;
        const char* prefix;
    } cases[] = {{1, "DEBUG "}, {2, "FAIL "}, {3, "STOP "}, {4, ""}, {5, "ERROR1 "}, {6, ""}, {9, ""}};
    for (const Case& c : cases) {
        std::string line = FormatLogLine(c.level, "msg");
        ASSERT_EQ(line.rfind(c.prefix, 0), 0u) << c.level;
        EXPECT_TRUE(std::regex_match(line.substr(std::string(c.prefix).size()), stamp)) << line;
    }
}

TEST(EngineLog, LevelZeroProducesNothingAndLongLinesAreCut) {
    test::LogCapture capture;
    EngineLog(0, "never %d\n", 1);
    EXPECT_TRUE(capture.Lines().empty());
    EngineLog(4, "%s", std::string(5000, 'x').c_str());
    ASSERT_EQ(capture.Lines().size(), 1u);
    EXPECT_EQ(capture.Lines()[0].size(), kLogLineBytes - 1);
}

TEST(EngineLog, FileSinkKeepsLinesAtOrAboveItsLevel) {
    test::TempDir dir;
    SetLogFile(dir.File("engine.log"), 3);
    EngineLog(1, "debug line\n");
    EngineLog(3, "stop line %d\n", 7);
    EngineLog(5, "error line\n");
    SetLogFile("", 1);
    std::string text = test::ReadFile(dir.File("engine.log"));
    EXPECT_EQ(text.find("debug line"), std::string::npos);
    EXPECT_NE(text.find("STOP "), std::string::npos);
    EXPECT_NE(text.find("stop line 7\n"), std::string::npos);
    EXPECT_NE(text.find("ERROR1 "), std::string::npos);
}

}  // namespace
}  // namespace tessali::core
