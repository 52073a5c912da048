// Host facts: the local-address rule and the engine folders.

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include "common/temp_dir.h"
#include "engine/core/engine_env.h"
#include "engine/platform/file.h"

namespace tessali::core {
namespace {

uint32_t A(const char* text) {
    in_addr a{};
    inet_pton(AF_INET, text, &a);
    return a.s_addr;
}

TEST(LocalAddress, SpecialRanges) {
    for (const char* s :
         {"0.1.2.3", "10.9.9.9", "127.0.0.1", "169.254.1.1", "172.16.0.1", "172.31.255.1", "192.168.1.1"}) {
        EXPECT_TRUE(IsSpecialAddress(A(s))) << s;
    }
    for (const char* s : {"172.15.0.1", "172.32.0.1", "169.253.1.1", "192.169.0.1", "8.8.8.8", "11.0.0.1"}) {
        EXPECT_FALSE(IsSpecialAddress(A(s))) << s;
    }
}

TEST(LocalAddress, FirstPublicElseFirstOfAll) {
    const uint32_t onlyPrivate[] = {A("192.168.1.5"), A("10.0.0.2"), A("127.0.0.1")};
    EXPECT_EQ(PickLocalAddress(onlyPrivate), A("192.168.1.5"));
    const uint32_t mixed[] = {A("10.0.0.2"), A("203.0.113.7"), A("198.51.100.1")};
    EXPECT_EQ(PickLocalAddress(mixed), A("203.0.113.7"));
    EXPECT_EQ(PickLocalAddress({}), 0u);
}

TEST(EngineFolders, RootAndDataFolderUnderTheDataHome) {
    test::TempDir dir;
    test::ScopedEnv data("XDG_DATA_HOME", dir.Path() + "xdg");
    ASSERT_TRUE(PrepareEngineFolders());
    EXPECT_EQ(EngineRootFolder(), dir.Path() + "xdg/Tessali/");
    EXPECT_EQ(EngineDataFolder(), dir.Path() + "xdg/Tessali/Data/");
    EXPECT_TRUE(platform::DirectoryExists(EngineDataFolder()));
}

}  // namespace
}  // namespace tessali::core
