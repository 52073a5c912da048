// The command-line front-end reaches the engine only through its entry functions: an include of
// an engine internal in tools/mirt would let it bypass them again unnoticed.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>

namespace tessali::test {
namespace {

TEST(MirtLayering, SourcesIncludeOnlyTheEntryHeaderAndGenericPlatformHelpers) {
    const std::set<std::string> allowed = {
        "engine/core/engine_api.h",  // the entry functions
        "engine/platform/deploy_config.h",
        "engine/platform/file.h",
        "engine/platform/tick.h",
    };
    const std::filesystem::path folder = std::filesystem::path(TESSALI_SOURCE_DIR) / "tools" / "mirt";
    size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        const std::string ext = entry.path().extension().string();
        if (ext != ".cpp" && ext != ".h") {
            continue;
        }
        ++files;
        std::ifstream in(entry.path());
        std::string line;
        while (std::getline(in, line)) {
            const std::string prefix = "#include \"";
            if (line.rfind(prefix, 0) != 0) {
                continue;
            }
            const std::string header =
                line.substr(prefix.size(), line.find('"', prefix.size()) - prefix.size());
            if (header.rfind("engine/", 0) == 0) {
                EXPECT_TRUE(allowed.count(header)) << entry.path().filename() << " includes " << header;
            } else {
                EXPECT_EQ(header.rfind("tools/mirt/", 0), 0u)
                    << entry.path().filename() << " includes " << header;
            }
        }
    }
    EXPECT_GE(files, 5u) << "the front-end's sources were not found in " << folder;
}

}  // namespace
}  // namespace tessali::test
