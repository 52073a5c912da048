// The POSIX layer: clock wrap, events, files, ini files, folders, text conversion, deployment file.

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "common/temp_dir.h"
#include "engine/platform/deploy_config.h"
#include "engine/platform/event.h"
#include "engine/platform/file.h"
#include "engine/platform/folders.h"
#include "engine/platform/fs_info.h"
#include "engine/platform/ini_file.h"
#include "engine/platform/text_convert.h"
#include "engine/platform/tick.h"

namespace tessali::platform {
namespace {

using test::ScopedEnv;
using test::TempDir;

TEST(Tick, ComparisonsHoldAcrossTheWrap) {
    Tick before = 0xFFFFFF00u;
    Tick after = 0x00000100u;  // 512 ms later, past the wrap
    EXPECT_EQ(TickElapsed(after, before), 512u);
    EXPECT_TRUE(TickBefore(before, after));
    EXPECT_FALSE(TickBefore(after, before));
    EXPECT_FALSE(TickBefore(after, after));
}

TEST(Tick, FakeClockReplacesAndRestoresTheRealOne) {
    {
        FakeTick fake(0xFFFFFFF0u);
        EXPECT_EQ(GetTick(), 0xFFFFFFF0u);
        fake.Advance(0x20);
        EXPECT_EQ(GetTick(), 0x10u);
    }
    Tick a = GetTick();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_GE(TickElapsed(GetTick(), a), 4u);
}

TEST(Event, AutoResetWakesOneWaitAndClears) {
    Event e(Event::Reset::kAuto);
    EXPECT_FALSE(e.Wait(10));
    e.Set();
    EXPECT_TRUE(e.Wait(0));
    EXPECT_FALSE(e.IsSet());
    EXPECT_FALSE(e.Wait(10));
}

TEST(Event, ManualResetStaysSetForEveryWaiter) {
    Event e(Event::Reset::kManual);
    std::thread t([&] { e.Set(); });
    EXPECT_TRUE(e.Wait(2000));
    EXPECT_TRUE(e.Wait(0));
    t.join();
    e.ResetEvent();
    EXPECT_FALSE(e.Wait(5));
}

TEST(Event, WakeFdSignalsAcrossThreads) {
    WakeFd w;
    EXPECT_FALSE(w.Wait(0));
    std::thread t([&] { w.Signal(); });
    EXPECT_TRUE(w.Wait(2000));
    t.join();
    EXPECT_FALSE(w.Wait(0));  // drained by the wait
}

TEST(File, PositionedIoPreallocationAndAtomicWrite) {
    TempDir dir;
    File f;
    ASSERT_TRUE(f.Open(dir.File("a.bin"), File::kRead | File::kWrite | File::kCreate));
    ASSERT_TRUE(f.Preallocate(1 << 20));
    EXPECT_EQ(f.Size(), 1 << 20);
    const uint8_t data[] = {1, 2, 3, 4};
    EXPECT_EQ(f.WriteAt((1 << 20) - 2, data), 4);  // extends past the reserved end
    uint8_t back[8] = {};
    EXPECT_EQ(f.ReadAt((1 << 20) - 2, back), 4);  // short read at end of file
    EXPECT_EQ(back[3], 4);

    ASSERT_TRUE(WriteFileAtomically(dir.File("r.xml"), "old"));
    ASSERT_TRUE(WriteFileAtomically(dir.File("r.xml"), "new bytes"));
    EXPECT_EQ(*ReadWholeFile(dir.File("r.xml")), "new bytes");
    EXPECT_FALSE(FileExists(dir.File("r.xml.tmp")));
    EXPECT_FALSE(ReadWholeFile(dir.File("r.xml"), 3).has_value());  // over the cap
}

TEST(File, PathHelpersAndNestedFolders) {
    TempDir dir;
    EXPECT_EQ(DirName("/a/b/c.txt"), "/a/b/");
    EXPECT_EQ(BaseName("/a/b/c.txt"), "c.txt");
    EXPECT_EQ(DirName("c.txt"), "");
    EXPECT_EQ(WithTrailingSlash("/x"), "/x/");
    EXPECT_TRUE(CreateDirectories(dir.Path() + "x/y/z/"));
    EXPECT_TRUE(DirectoryExists(dir.Path() + "x/y/z"));
    EXPECT_TRUE(CreateDirectories(dir.Path() + "x/y/z/"));  // existing is fine
}

TEST(IniFile, KeysAndSectionsIgnoreCaseAndMissingKeysGiveDefaults) {
    TempDir dir;
    test::WriteFile(dir.File("c.ini"),
                    "[Servers]\r\nHost = example:80   ; comment\r\nPort=0x1F\r\n[other]\r\nhost=no\r\n");
    CIniFile ini(dir.File("c.ini"));
    EXPECT_EQ(ini.GetString("servers", "HOST"), "example:80");
    EXPECT_EQ(ini.GetInt("SERVERS", "port", 7), 31);
    EXPECT_EQ(ini.GetInt("servers", "missing", 7), 7);
    EXPECT_EQ(ini.GetString("nosuch", "host", "dflt"), "dflt");
    char small[5];
    EXPECT_EQ(ini.GetString("servers", "host", small, sizeof small), 4);
    EXPECT_STREQ(small, "exam");
    CIniFile missing(dir.File("none.ini"));
    EXPECT_EQ(missing.GetInt("a", "b", -3), -3);
}

TEST(IniFile, WriteReplacesInPlaceAndKeepsOtherLines) {
    TempDir dir;
    test::WriteFile(dir.File("c.ini"), "; head\n[Peer]\nID=old\nkeep=1\n[Other]\nx=2\n");
    CIniFile ini(dir.File("c.ini"));
    ASSERT_TRUE(ini.WriteString("peer", "id", "new"));
    ASSERT_TRUE(ini.WriteString("Peer", "added", "3"));
    ASSERT_TRUE(ini.WriteString("Fresh", "k", "v"));
    EXPECT_EQ(ini.GetString("peer", "ID"), "new");
    EXPECT_EQ(ini.GetString("peer", "keep"), "1");
    EXPECT_EQ(ini.GetString("peer", "added"), "3");
    EXPECT_EQ(ini.GetString("other", "x"), "2");
    EXPECT_EQ(ini.GetString("fresh", "k"), "v");
    std::string text = test::ReadFile(dir.File("c.ini"));
    EXPECT_EQ(text.find("; head"), 0u);
    EXPECT_LT(text.find("added=3"), text.find("[Other]"));  // stays inside its section
}

TEST(Folders, FollowTheXdgVariables) {
    TempDir dir;
    ScopedEnv home("HOME", dir.Path() + "home");
    ScopedEnv data("XDG_DATA_HOME", dir.Path() + "data");
    EXPECT_EQ(DataHome(), dir.Path() + "data/");
    ScopedEnv relative("XDG_DATA_HOME", "relative/path");  // invalid by the XDG rules
    EXPECT_EQ(DataHome(), dir.Path() + "home/.local/share/");
}

TEST(Folders, DownloadFolderFromUserDirsWithLocalisedName) {
    TempDir dir;
    ScopedEnv home("HOME", dir.Path() + "home");
    ScopedEnv config("XDG_CONFIG_HOME", dir.Path() + "cfg");
    unsetenv("XDG_DOWNLOAD_DIR");
    CreateDirectories(dir.Path() + "cfg/");
    test::WriteFile(dir.Path() + "cfg/user-dirs.dirs", "# c\nXDG_DOWNLOAD_DIR=\"$HOME/Téléchargements\"\n");
    EXPECT_EQ(UserDownloadDir(), dir.Path() + "home/Téléchargements/");
}

TEST(FsInfo, ClassifiesFilesystemsAndReportsSpace) {
    TempDir dir;
    EXPECT_GT(FreeBytes(dir.Path()), 0);
    EXPECT_GT(FreeBytes(dir.Path() + "not/yet/made/"), 0);  // nearest existing folder
    EXPECT_FALSE(IsLocalFilesystemMagic(0x6969));           // NFS
    EXPECT_FALSE(IsLocalFilesystemMagic(0xFF534D42));       // CIFS
    EXPECT_TRUE(IsLocalFilesystemMagic(0xEF53));            // ext4
    EXPECT_FALSE(CanHoldLargeFilesMagic(0x4D44));           // FAT
    EXPECT_TRUE(CanHoldLargeFilesMagic(0xEF53));
    EXPECT_TRUE(IsLocalFilesystem(dir.Path()));
}

TEST(TextConvert, GbkBig5AndUtf16RoundTrips) {
    const std::string utf8 = "下载器";
    auto gbk = ConvertText(utf8, "UTF-8", "GBK");
    ASSERT_TRUE(gbk.has_value());
    EXPECT_EQ(*gbk, "\xCF\xC2\xD4\xD8\xC6\xF7");
    EXPECT_EQ(AnsiToUtf8(*gbk), utf8);
    EXPECT_EQ(Utf8ToAnsi(utf8), *gbk);
    const std::string traditional = "下載器";  // Big5 holds traditional characters only
    auto big5 = ConvertText(traditional, "UTF-8", "BIG5");
    ASSERT_TRUE(big5.has_value());
    EXPECT_EQ(*ConvertText(*big5, "BIG5", "UTF-8"), traditional);
    EXPECT_FALSE(ConvertText(utf8, "UTF-8", "BIG5").has_value());

    std::u16string wide = Utf8ToUtf16("a下😀");
    EXPECT_EQ(wide, (std::u16string{u'a', u'\u4e0b', 0xD83D, 0xDE00}));
    EXPECT_EQ(Utf16ToUtf8(wide), "a下😀");
    EXPECT_EQ(Utf8ToUtf16("\xFF"
                          "b"),
              (std::u16string{0xFFFD, u'b'}));
    EXPECT_FALSE(ConvertText("\x81", "GBK", "UTF-8").has_value());  // truncated double byte
    EXPECT_TRUE(IsValidUtf8(utf8));
    EXPECT_FALSE(IsValidUtf8("\xC3"));
}

TEST(DeployConfig, ReadsEveryKeyAndKeepsDefaultsForMissingOnes) {
    TempDir dir;
    test::WriteFile(dir.File("d.ini"),
                    "[servers]\nmanifest_base = http://10.0.0.1:81/   ; note\nstats_host=s:1\n"
                    "[engine]\ntracker_host = tr.example:7000\nlisten_port = 6881\nnat_type = 0\n"
                    "log_file = /tmp/x.log\nlog_level = 3\nlan_search = 0\n");
    DeployConfig c = LoadDeployConfig(dir.File("d.ini"));
    EXPECT_EQ(c.path, dir.File("d.ini"));
    EXPECT_EQ(c.manifestBase, "http://10.0.0.1:81/");
    EXPECT_EQ(c.statsHost, "s:1");
    EXPECT_EQ(c.homePage, "http://127.0.0.1:8080/");  // default kept
    EXPECT_EQ(c.trackerHost, "tr.example:7000");
    EXPECT_EQ(c.listenPort, 6881);
    ASSERT_TRUE(c.natType.has_value());
    EXPECT_EQ(*c.natType, 0);
    EXPECT_EQ(c.logFile, "/tmp/x.log");
    EXPECT_EQ(c.logLevel, 3);
    EXPECT_FALSE(c.lanSearch);

    test::WriteFile(dir.File("e.ini"), "[engine]\nnat_type =\nlog_file =    ; a comment, not a path\n");
    EXPECT_FALSE(LoadDeployConfig(dir.File("e.ini")).natType.has_value());  // empty: detect
    EXPECT_EQ(LoadDeployConfig(dir.File("e.ini")).logFile, "");
    // The file the programs ship with sends no log anywhere.
    EXPECT_EQ(LoadDeployConfig(std::string(TESSALI_SOURCE_DIR) + "/resources/deploy.ini").logFile, "");
    EXPECT_TRUE(LoadDeployConfig(dir.File("missing.ini")).path.empty());
}

TEST(DeployConfig, TransferLimitsAreWholeKiBPerSecondOrNone) {
    TempDir dir;
    test::WriteFile(dir.File("d.ini"), "[engine]\nmax_upload = 500   ; KiB/s\nmax_download=2000\n");
    DeployConfig c = LoadDeployConfig(dir.File("d.ini"));
    EXPECT_EQ(c.maxUpload, 500u);
    EXPECT_EQ(c.maxDownload, 2000u);
    // Anything but a plain number leaves the engine without a limit rather than with a wrong one.
    test::WriteFile(dir.File("e.ini"), "[engine]\nmax_upload = 2M\nmax_download = -1\n");
    DeployConfig bad = LoadDeployConfig(dir.File("e.ini"));
    EXPECT_EQ(bad.maxUpload, 0u);
    EXPECT_EQ(bad.maxDownload, 0u);
    DeployConfig shipped = LoadDeployConfig(std::string(TESSALI_SOURCE_DIR) + "/resources/deploy.ini");
    EXPECT_EQ(shipped.maxUpload, 0u);
    EXPECT_EQ(shipped.maxDownload, 0u);

    EXPECT_EQ(ParseKiBPerSecond(" 64 "), 64u);
    EXPECT_EQ(ParseKiBPerSecond("0"), 0u);
    EXPECT_EQ(ParseKiBPerSecond(std::to_string(kMaxKiBPerSecond)), kMaxKiBPerSecond);
    EXPECT_FALSE(ParseKiBPerSecond(std::to_string(kMaxKiBPerSecond + 1)));
    EXPECT_FALSE(ParseKiBPerSecond("99999999999999999999999"));
    EXPECT_FALSE(ParseKiBPerSecond(""));
    EXPECT_FALSE(ParseKiBPerSecond("1.5"));
    EXPECT_FALSE(ParseKiBPerSecond("+3"));
    // Bytes per second of the largest limit still fit 32 bits.
    EXPECT_LE(uint64_t{kMaxKiBPerSecond} * 1024, uint64_t{UINT32_MAX});
}

TEST(DeployConfig, HostPortSplitting) {
    EXPECT_EQ(ParseHostPort("tracker.example").port, 80);
    EXPECT_EQ(ParseHostPort("tracker.example").host, "tracker.example");
    HostPort hp = ParseHostPort("127.0.0.1:6970");
    EXPECT_EQ(hp.host, "127.0.0.1");
    EXPECT_EQ(hp.port, 6970);
    EXPECT_EQ(ParseHostPort("h:99999").port, 80);  // out of range keeps the default
    EXPECT_EQ(ParseHostPort("h:12x").port, 80);
}

}  // namespace
}  // namespace tessali::platform
