// The manifest cache: its stamp and 24-hour rule, reading entries and pictures, derived hashes,
// unsafe file names, and the refresh against a scripted server.
#include <gtest/gtest.h>

#include <ctime>
#include <string>

#include <tinyxml2.h>
#include "app/records/manifest.h"
#include "common/scripted_http_server.h"
#include "common/temp_dir.h"
#include "engine/platform/file.h"

namespace tessali::app {
namespace {

using test::CScriptedHttpServer;
using test::HttpAnswer;

TEST(CacheStamp, FormatPadsTheHourWithASpace) {
    EXPECT_EQ(FormatCacheStamp({2026, 12, 8, 9, 5, 7}), "2026-12-08  9:05:07");
    EXPECT_EQ(FormatCacheStamp({2026, 1, 31, 23, 59, 0}), "2026-01-31 23:59:00");
    for (StampTime t : {StampTime{2026, 12, 8, 9, 5, 7}, StampTime{1999, 2, 28, 0, 0, 59}}) {
        auto back = ParseCacheStamp(FormatCacheStamp(t));
        ASSERT_TRUE(back);
        EXPECT_EQ(FormatCacheStamp(*back), FormatCacheStamp(t));
    }
    for (const char* bad : {"", "yesterday", "2026-13-01 10:00:00", "2026-12-08 24:00:00", "2026-12-08 10:00",
                            "2026-12-08 10:00:00 extra"}) {
        EXPECT_FALSE(ParseCacheStamp(bad)) << bad;
        EXPECT_TRUE(StampNeedsRefresh(bad, {2026, 12, 8, 10, 0, 0})) << bad;
    }
}

TEST(CacheStamp, GregorianDaysAgreeWithTheCLibrary) {
    for (int year : {1970, 1999, 2000, 2023, 2024, 2100, 2400}) {
        for (int month : {1, 2, 3, 12}) {
            std::tm tm{};
            tm.tm_year = year - 1900;
            tm.tm_mon = month - 1;
            tm.tm_mday = month == 2 ? 28 : 1;
            EXPECT_EQ(GregorianDayNumber(year, month, tm.tm_mday), timegm(&tm) / 86400)
                << year << "-" << month;
        }
    }
    EXPECT_EQ(GregorianDayNumber(1900, 3, 1) - GregorianDayNumber(1900, 2, 28), 1);  // not a leap year
    EXPECT_EQ(GregorianDayNumber(2000, 3, 1) - GregorianDayNumber(2000, 2, 28), 2);  // leap year
}

TEST(CacheStamp, TwentyFourHourRule) {
    StampTime now{2026, 12, 8, 10, 0, 0};
    EXPECT_FALSE(StampNeedsRefresh(FormatCacheStamp({2026, 12, 7, 10, 1, 0}), now));  // 23 h 59 min
    EXPECT_TRUE(StampNeedsRefresh(FormatCacheStamp({2026, 12, 7, 10, 0, 0}), now));   // exactly 24 h
    EXPECT_FALSE(StampNeedsRefresh(FormatCacheStamp({2026, 12, 7, 10, 0, 0}), {2026, 12, 8, 9, 59, 59}));
    // Seconds do not count.
    EXPECT_TRUE(StampNeedsRefresh(FormatCacheStamp({2026, 12, 7, 10, 0, 59}), {2026, 12, 8, 10, 0, 0}));
    // Across the year boundary on 1 January.
    StampTime newYear{2026, 1, 1, 9, 0, 0};
    EXPECT_FALSE(StampNeedsRefresh(FormatCacheStamp({2025, 12, 31, 9, 1, 0}), newYear));
    EXPECT_TRUE(StampNeedsRefresh(FormatCacheStamp({2025, 12, 31, 9, 0, 0}), newYear));
    EXPECT_DOUBLE_EQ(StampAgeHours({2025, 1, 1, 9, 0, 0}, newYear), 365 * 24.0);
    EXPECT_DOUBLE_EQ(StampAgeHours({2024, 1, 1, 9, 0, 0}, {2025, 1, 1, 9, 0, 0}), 366 * 24.0);
    EXPECT_DOUBLE_EQ(StampAgeHours({2026, 12, 7, 22, 30, 0}, {2026, 12, 8, 1, 15, 0}), 2.75);
}

const char* kManifestXml = R"(<?xml version="1.0" encoding="UTF-8"?>
<verdo title="游戏" floder="G7" g7_url="http://g/" buygame_url="http://b/" gameraider_url="http://r/" update="x">
  <download filename="client1.bin" hash="0123456789ABCDEF0123456789ABCDEF01234567" size="5000000000"
            version="7.0" description="full" complete="1" http_url=""/>
  <other filename="ignored.bin"/>
  <image>
    <a image_url="http://p/1.png" http_url="http://l/1" description="one"/>
    <anything image_url="http://p/2.png"/>
  </image>
  <download filename="p1.exe" size="12" version="7.1" redshow="1" http_url="http://127.0.0.1:8080/patch/p1.exe"/>
  <download filename="补丁.exe" http_url="http://127.0.0.1/补丁.exe"/>
  <download filename="" http_url="http://x/empty"/>
  <download http_url="http://x/missing"/>
  <download filename="." />
  <download filename=".." />
  <download filename="../../.bashrc" />
  <download filename="sub/dir.bin" />
  <download filename="c:\evil.exe" />
  <download filename="..ok" size="-3" complete="x"/>
</verdo>)";

TEST(ManifestRead, ReadsRootEntriesAndPictures) {
    test::TempDir dir;
    test::WriteFile(dir.File("m.xml"), kManifestXml);
    Manifest m;
    ASSERT_EQ(ReadManifest(dir.File("m.xml"), m), 1);
    EXPECT_EQ(m.title, "游戏");
    EXPECT_EQ(m.folderName, "G7");
    EXPECT_EQ(m.gameLink, "http://g/");
    EXPECT_EQ(m.purchaseLink, "http://b/");
    EXPECT_EQ(m.guideLink, "http://r/");
    ASSERT_EQ(m.images.size(), 2u);
    EXPECT_EQ(m.images[0].pictureUrl, "http://p/1.png");
    EXPECT_EQ(m.images[0].linkUrl, "http://l/1");
    EXPECT_EQ(m.images[0].description, "one");
    EXPECT_EQ(m.images[1].pictureUrl, "http://p/2.png");
    EXPECT_EQ(m.images[1].linkUrl, "");

    ASSERT_EQ(m.entries.size(), 4u);  // the unsafe names are skipped
    const ManifestEntry& full = m.entries[0];
    EXPECT_EQ(full.fileName, "client1.bin");
    EXPECT_EQ(full.hash, "0123456789ABCDEF0123456789ABCDEF01234567");
    EXPECT_EQ(full.size, 5000000000LL);
    EXPECT_EQ(full.version, "7.0");
    EXPECT_EQ(full.description, "full");
    EXPECT_EQ(full.complete, 1);
    EXPECT_EQ(full.redshow, 0);
    const ManifestEntry& patch = m.entries[1];
    EXPECT_EQ(patch.redshow, 1);
    EXPECT_EQ(patch.size, 12);
    // Derived hashes: MD5 of the URL's ANSI (GBK) bytes, upper case (values from an independent MD5).
    EXPECT_EQ(patch.hash, "CA55663C210080D55C9094E99903978B");
    EXPECT_EQ(m.entries[2].fileName, "补丁.exe");
    EXPECT_EQ(m.entries[2].hash, "135D78A83D93AE2C0D631CD051083FF3");
    EXPECT_EQ(m.entries[3].fileName, "..ok");
    EXPECT_EQ(m.entries[3].size, -3);
    EXPECT_EQ(m.entries[3].complete, 0);
    EXPECT_EQ(m.entries[3].description, "");
}

TEST(ManifestRead, SafeNamesAndHashes) {
    for (const char* bad : {"", ".", "..", "../x", "a/b", "a\\b", "/etc/passwd"}) {
        EXPECT_FALSE(IsSafeFileName(bad)) << bad;
    }
    for (const char* good : {"a", "..a", "a..b", "client 1.bin", "补丁.exe"}) {
        EXPECT_TRUE(IsSafeFileName(good)) << good;
    }
    EXPECT_EQ(UrlHash("abc"), "900150983CD24FB0D6963F7D28E17F72");  // RFC 1321 test vector
    EXPECT_EQ(UrlHash(""), "D41D8CD98F00B204E9800998ECF8427E");
}

TEST(ManifestRead, UnreadableCacheGivesAnEmptyManifest) {
    test::TempDir dir;
    Manifest m;
    m.title = "stale";
    m.entries.resize(2);
    EXPECT_EQ(ReadManifest(dir.File("missing.xml"), m), 0);
    EXPECT_TRUE(m.title.empty());
    EXPECT_TRUE(m.entries.empty());
    test::WriteFile(dir.File("bad.xml"), "<verdo><download filename='a'></verdo>");
    EXPECT_EQ(ReadManifest(dir.File("bad.xml"), m), 0);
    EXPECT_TRUE(m.entries.empty());
}

TEST(ManifestRead, OnlyTheFirstFourAreShown) {
    test::TempDir dir;
    std::string xml = "<v><image>";
    for (int i = 0; i < 6; ++i) {
        xml += "<i image_url='http://p/" + std::to_string(i) + "'/>";
    }
    xml += "</image>";
    for (int i = 0; i < 6; ++i) {
        xml += "<download filename='f" + std::to_string(i) + "' hash='H" + std::to_string(i) + "'/>";
    }
    test::WriteFile(dir.File("m.xml"), xml + "</v>");
    Manifest m;
    ASSERT_EQ(ReadManifest(dir.File("m.xml"), m), 1);
    EXPECT_EQ(m.entries.size(), 6u);
    KeepShownItems(m);
    ASSERT_EQ(m.entries.size(), 4u);
    ASSERT_EQ(m.images.size(), 4u);
    EXPECT_EQ(m.entries[3].fileName, "f3");
    EXPECT_EQ(m.images[3].pictureUrl, "http://p/3");
}

class ManifestRefreshTest : public ::testing::Test {
protected:
    std::string Base() const { return m_server.Url("/sub/"); }
    bool Refresh() {
        return RefreshManifestCache(Base(), m_cache, [this] { return m_now; });
    }
    std::string Stamp() const {
        tinyxml2::XMLDocument doc;
        std::string bytes = test::ReadFile(m_cache);
        doc.Parse(bytes.data(), bytes.size());
        const char* v = doc.RootElement() ? doc.RootElement()->Attribute("update") : nullptr;
        return v ? v : "";
    }

    CScriptedHttpServer m_server;
    test::TempDir m_dir;
    std::string m_cache = m_dir.File("verdomarkelbane.xml");
    StampTime m_now{2026, 12, 8, 9, 30, 0};
};

TEST_F(ManifestRefreshTest, MissingCacheIsFetchedAndStamped) {
    m_server.AddReply(HttpAnswer("200 OK", "", "<v title='t'><download filename='a.bin' hash='AA'/></v>"));
    EXPECT_TRUE(ManifestNeedsRefresh(m_cache, m_now));
    ASSERT_TRUE(Refresh());
    auto requests = m_server.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].substr(0, 42), "GET /sub/verdomarkelbane.xml HTTP/1.1\r\nAcc");
    EXPECT_EQ(Stamp(), "2026-12-08  9:30:00");
    Manifest m;
    ASSERT_EQ(ReadManifest(m_cache, m), 1);
    EXPECT_EQ(m.title, "t");
    ASSERT_EQ(m.entries.size(), 1u);
    EXPECT_FALSE(ManifestNeedsRefresh(m_cache, m_now));
}

TEST_F(ManifestRefreshTest, YoungCacheIsNotFetched) {
    test::WriteFile(m_cache, "<v update='" + FormatCacheStamp({2026, 12, 7, 9, 31, 0}) + "'/>");
    EXPECT_TRUE(Refresh());
    EXPECT_TRUE(m_server.Requests().empty());
    // An empty or missing stamp asks for a refresh whatever the file's age.
    for (const char* doc : {"<v update=''/>", "<v/>", "<v update='soon'/>"}) {
        test::WriteFile(m_cache, doc);
        EXPECT_TRUE(ManifestNeedsRefresh(m_cache, m_now)) << doc;
    }
}

TEST_F(ManifestRefreshTest, NotModifiedRestampsTheOldCache) {
    test::WriteFile(m_cache, "<v title='kept' update='" + FormatCacheStamp({2026, 12, 7, 9, 30, 0}) + "'/>");
    m_server.AddReply("HTTP/1.1 304 Not Modified\r\n\r\n");
    ASSERT_TRUE(Refresh());
    EXPECT_EQ(m_server.Requests().size(), 1u);
    EXPECT_EQ(Stamp(), "2026-12-08  9:30:00");
    Manifest m;
    ASSERT_EQ(ReadManifest(m_cache, m), 1);
    EXPECT_EQ(m.title, "kept");
}

TEST_F(ManifestRefreshTest, FailedFetchKeepsTheOldCacheByteForByte) {
    const std::string old = "<v title='old'   update='2026-12-01 10:00:00'/>";
    test::WriteFile(m_cache, old);
    m_server.AddReply(HttpAnswer("500 Internal Server Error", "", "<v title='broken'/>"));
    EXPECT_FALSE(Refresh());
    EXPECT_EQ(test::ReadFile(m_cache), old);
    m_server.AddReply("HTTP/1.1 200 OK\r\nContent-Length: 500\r\n\r\n<v title='half");
    EXPECT_FALSE(Refresh());
    EXPECT_EQ(test::ReadFile(m_cache), old);
    // A whole answer that is not a document does not replace the working copy either.
    for (const char* body : {"", "<html><body>Service unavailable", "<v title='cut'><download"}) {
        m_server.AddReply(HttpAnswer("200 OK", "", body));
        EXPECT_FALSE(Refresh()) << body;
        EXPECT_EQ(test::ReadFile(m_cache), old) << body;
    }
    EXPECT_FALSE(platform::FileExists(m_cache + ".new"));
    // The old cache is still used.
    Manifest m;
    EXPECT_EQ(ReadManifest(m_cache, m), 1);
    EXPECT_EQ(m.title, "old");
}

}  // namespace
}  // namespace tessali::app

namespace tessali::app {
namespace {

// A server that accepts and never answers must not hold the refresh (and the program's start-up)
// beyond the cap; the cache it had stays as it was.
TEST(ManifestRefreshCap, ASilentServerEndsTheRefreshAtTheCapAndKeepsTheCache) {
    tessali::test::CScriptedHttpServer server;
    server.SetDefaultReply(tessali::test::ScriptedReply{{"HTTP/1.1 200 OK\r\n"}, true});
    tessali::test::TempDir dir;
    const std::string cache = dir.Path() + std::string(kManifestFileName);
    const std::string old = "<patchlist title=\"old\"/>";
    tessali::test::WriteFile(cache, old);
    FetchOptions options;
    options.receiveTimeoutMs = 100;
    options.overallTimeoutMs = 300;
    EXPECT_FALSE(RefreshManifestCache(server.Url("/"), cache, LocalNow, options));
    EXPECT_EQ(tessali::test::ReadFile(cache), old);
    EXPECT_FALSE(platform::FileExists(cache + ".new"));
}

}  // namespace
}  // namespace tessali::app
