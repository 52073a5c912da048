#include "engine/sources/agent_list.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "common/temp_dir.h"

namespace tessali::sources {
namespace {

TEST(AgentList, ReadsEntriesUntilAKeyIsMissingAndSkipsBadOnes) {
    test::TempDir dir;
    test::WriteFile(dir.File("Agent.ini"),
                    "[AGENTLIST]\r\nip0=10.0.0.1\r\nport0=80\r\nip1=bogus\r\nport1=81\r\nip2=10.0.0.3\r\n"
                    "port2=70000\r\nip3=10.0.0.4\r\nport3=8004\r\nip5=10.0.0.6\r\nport5=8006\r\n");
    platform::CIniFile ini(dir.File("Agent.ini"));
    std::vector<AgentAddress> list = ReadAgentList(ini);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0], (AgentAddress{inet_addr("10.0.0.1"), 80}));
    EXPECT_EQ(list[1], (AgentAddress{inet_addr("10.0.0.4"), 8004}));  // ip4 is missing: 5 is never read
    EXPECT_FALSE(ReadLastAgent(ini).has_value());
}

TEST(AgentList, EmptyOrMissingFileGivesNoAgents) {
    test::TempDir dir;
    EXPECT_TRUE(ReadAgentList(platform::CIniFile(dir.File("none.ini"))).empty());
    test::WriteFile(dir.File("Agent.ini"), "");
    EXPECT_TRUE(ReadAgentList(platform::CIniFile(dir.File("Agent.ini"))).empty());
}

TEST(AgentList, PublishedListReadsBackAndLastAgentIsKeptBesideIt) {
    test::TempDir dir;
    std::vector<AgentAddress> agents{{inet_addr("127.0.0.1"), 6971}, {inet_addr("192.0.2.200"), 80}};
    test::WriteFile(dir.File("Agent.ini"), FormatAgentList(agents));
    platform::CIniFile ini(dir.File("Agent.ini"));
    EXPECT_EQ(ReadAgentList(ini), agents);
    ASSERT_TRUE(WriteLastAgent(ini, agents[1]));
    EXPECT_EQ(ini.GetString(kAgentListSection, "ip"), "192.0.2.200");
    EXPECT_EQ(ini.GetString(kAgentListSection, "port"), "80");
    EXPECT_EQ(ReadLastAgent(ini), agents[1]);
    EXPECT_EQ(ReadAgentList(ini), agents);  // the list survives the write
}

}  // namespace
}  // namespace tessali::sources
