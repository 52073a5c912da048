#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "common/child_process.h"
#include "common/engine_process.h"
#include "common/temp_dir.h"

namespace tessali::test {
namespace {

// `mirt ARGS` (words split at blanks, as a shell would), its stderr left out.
ProgramRun Mirt(const std::string& args) {
    std::vector<std::string> words;
    std::istringstream in(args);
    for (std::string w; in >> w;) {
        words.push_back(w);
    }
    return RunProgram(MirtProgram(), words);
}

TEST(MirtSeedCommands, BuildPrintsTheHashAndInfoReadsTheSeedBack) {
    TempDir dir;
    std::string data(40000, '\0');
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<char>((i * 7 + 3) % 251);
    }
    WriteFile(dir.File("pack.data"), data);
    ScopedEnv deploy("TESSALI_DEPLOY", dir.File("none.ini"));  // built-in defaults: 127.0.0.1:6970

    // The hash is SHA-1 over the piece hashes, computed with Python's hashlib for this content.
    ProgramRun build = Mirt("seed build " + dir.File("pack.data") +
                            " --date 1700000000 --adurl ads.cfg --out " + dir.File("p.torrent"));
    ASSERT_EQ(build.exitCode, 0);
    EXPECT_EQ(build.out, "4321716A47049FDE55F1880EFD3744CCB8A9C9C1 " + dir.File("p.torrent") + "\n");
    std::string seed = ReadFile(dir.File("p.torrent"));
    EXPECT_EQ(seed.rfind("d8:encoding3:GBK4:infod6:lengthi40000e4:name9:pack.data12:piece lengthi16384e", 0),
              0u);

    ProgramRun info = Mirt("seed info " + dir.File("p.torrent"));
    ASSERT_EQ(info.exitCode, 0);
    for (const char* line : {"name: pack.data\n", "length: 40000\n", "piece length: 16384\n",
                             "piece count: 3\n", "hash: 4321716A47049FDE55F1880EFD3744CCB8A9C9C1\n",
                             "tracker: http://127.0.0.1:6970\n", "creation date: 1700000000\n"}) {
        EXPECT_NE(info.out.find(line), std::string::npos) << line << " missing from\n" << info.out;
    }

    // A seed for another tracker is foreign: its hash is the info hash, not the pieces hash.
    ProgramRun other = Mirt("seed build " + dir.File("pack.data") + " --tracker http://elsewhere:1/ --out " +
                            dir.File("r.torrent"));
    ASSERT_EQ(other.exitCode, 0);
    EXPECT_NE(other.out.substr(0, 40), "4321716A47049FDE55F1880EFD3744CCB8A9C9C1");

    EXPECT_EQ(Mirt("seed build " + dir.File("missing.data")).exitCode, 1);
    EXPECT_EQ(Mirt("seed build").exitCode, 2);
    EXPECT_EQ(Mirt("seed build " + dir.File("pack.data") + " --date soon").exitCode, 2);
    WriteFile(dir.File("bad.torrent"), "d4:spam4:eggse");
    EXPECT_EQ(Mirt("seed info " + dir.File("bad.torrent")).exitCode, 1);
}

}  // namespace
}  // namespace tessali::test
