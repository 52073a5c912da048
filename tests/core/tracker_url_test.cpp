#include "engine/core/tracker_url.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "engine/core/engine_config.h"

namespace tessali::core {
namespace {

TEST(TrackerUrl, SplitsHostPortAndKind) {
    auto http = SplitTrackerUrl("http://tracker.local/announce");
    ASSERT_TRUE(http);
    EXPECT_EQ(http->host, "tracker.local");
    EXPECT_EQ(http->port, 80);
    EXPECT_FALSE(http->udp);
    auto udp = SplitTrackerUrl("udp://10.1.2.3");
    ASSERT_TRUE(udp);
    EXPECT_EQ(udp->host, "10.1.2.3");
    EXPECT_EQ(udp->port, 8080);
    EXPECT_TRUE(udp->udp);
    auto port = SplitTrackerUrl("http://h:6970/x:1");
    ASSERT_TRUE(port);
    EXPECT_EQ(port->host, "h");
    EXPECT_EQ(port->port, 6970);

    for (const char* bad : {"ftp://h/", "http:/h", "http:///x", "http://h:/", "http://h:0/",
                            "http://h:65536/", "http://h:12a/", "udp://:80"}) {
        EXPECT_FALSE(SplitTrackerUrl(bad)) << bad;
    }
}

TEST(TrackerUrl, ResolvesAddressesAndMapsTheEngineTracker) {
    TrackerAddress out;
    ASSERT_EQ(TrackerAddressFromUrl("udp://127.0.0.9:1234/announce", out), 0);
    EXPECT_EQ(out.address, inet_addr("127.0.0.9"));
    EXPECT_EQ(out.port, 1234);
    EXPECT_TRUE(out.udp);
    EXPECT_EQ(TrackerAddressFromUrl("gopher://127.0.0.1", out), -1);

    std::string savedName = Config().trackerName;
    uint32_t savedAddr = Config().trackerAddr;
    Config().trackerName = "engine-tracker.invalid";
    Config().trackerAddr = inet_addr("127.0.0.44");
    ASSERT_EQ(TrackerAddressFromUrl("http://engine-tracker.invalid:6970/", out), 0);
    EXPECT_EQ(out.address, inet_addr("127.0.0.44"));
    SetEngineTrackerAddressSource([] { return inet_addr("127.0.0.55"); });
    ASSERT_EQ(TrackerAddressFromUrl("http://engine-tracker.invalid/", out), 0);
    EXPECT_EQ(out.address, inet_addr("127.0.0.55"));
    EXPECT_EQ(out.port, 80);
    SetEngineTrackerAddressSource(nullptr);
    Config().trackerName = savedName;
    Config().trackerAddr = savedAddr;
}

TEST(HashUrlForm, EscapesEverythingButDigitsAndLetters) {
    const uint8_t twoBytes[] = {0x41, 0x2F};
    EXPECT_EQ(HashUrlForm(twoBytes), "A%2F");
    const uint8_t mixed[] = {'z', '0', '9', 'Z', 0x00, 0xFF, '-', '.', 0x7E};
    EXPECT_EQ(HashUrlForm(mixed), "z09Z%00%FF%2D%2E%7E");
}

}  // namespace
}  // namespace tessali::core
