// The local download record: the exact bytes written, reading it back, and that a write killed
// half-way never leaves an unreadable record.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "app/records/download_record.h"
#include "common/temp_dir.h"
#include "engine/platform/file.h"

namespace tessali::app {
namespace {

class DownloadRecordTest : public ::testing::Test {
protected:
    test::TempDir m_dir;
    std::string m_path = m_dir.File("G7DownLoadInfo.xml");
};

TEST_F(DownloadRecordTest, FirstWriteWithoutFilesIsOneEmptyDownloadElement) {
    DownloadRecord r;
    r.path = "/home/u/TessaliDownload/";
    EXPECT_EQ(WriteDownloadRecord(m_path, r), 1);
    EXPECT_EQ(test::ReadFile(m_path),
              "<?xml version='1.0' encoding='UTF-8'?>\r\n"
              "<patchinfo>\r\n"
              "\t<download path=\"/home/u/TessaliDownload/\" process=\"0\"/>\r\n"
              "</patchinfo>");
}

TEST_F(DownloadRecordTest, FilesAreIndentedWithTabsAndCrLf) {
    DownloadRecord r;
    r.path = "/d/";
    r.progress = 57;
    r.files = {{"0123456789ABCDEF0123456789ABCDEF01234567", "client1.bin", 5000000000LL},
               {"AA", "client2.bin", 0}};
    WriteDownloadRecord(m_path, r);
    const std::string expected =
        "<?xml version='1.0' encoding='UTF-8'?>\r\n"
        "<patchinfo>\r\n"
        "\t<download path=\"/d/\" process=\"57\">\r\n"
        "\t\t<down hash=\"0123456789ABCDEF0123456789ABCDEF01234567\" name=\"client1.bin\" "
        "size=\"5000000000\"/>\r\n"
        "\t\t<down hash=\"AA\" name=\"client2.bin\" size=\"0\"/>\r\n"
        "\t</download>\r\n"
        "</patchinfo>";
    EXPECT_EQ(test::ReadFile(m_path), expected);
    // A second write replaces everything under the root instead of adding to it.
    WriteDownloadRecord(m_path, r);
    EXPECT_EQ(test::ReadFile(m_path), expected);
    r.files.pop_back();
    r.progress = 100;
    WriteDownloadRecord(m_path, r);
    DownloadRecord back;
    ASSERT_EQ(ReadDownloadRecord(m_path, back), 1);
    EXPECT_EQ(back.progress, 100);
    ASSERT_EQ(back.files.size(), 1u);
    EXPECT_EQ(back.files[0].size, 5000000000LL);
}

TEST_F(DownloadRecordTest, ExistingRootIsKeptAndBrokenFilesStartOver) {
    DownloadRecord r;
    r.path = "/d/";
    EXPECT_EQ(
        RecordText(
            std::string("<?xml version=\"1.0\"?><patchinfo ver=\"2\"><old/><download path='x'/></patchinfo>"),
            r),
        "<?xml version=\"1.0\"?>\r\n<patchinfo ver=\"2\">\r\n\t<download path=\"/d/\" "
        "process=\"0\"/>\r\n</patchinfo>");
    std::string fresh = RecordText(std::nullopt, r);
    EXPECT_EQ(RecordText(std::string("<patchinfo><download"), r), fresh);
    EXPECT_EQ(RecordText(std::string(""), r), fresh);
    test::WriteFile(m_path, "garbage <<<");
    WriteDownloadRecord(m_path, r);
    EXPECT_EQ(test::ReadFile(m_path), fresh);
}

TEST_F(DownloadRecordTest, TextsSurviveTheRoundTrip) {
    DownloadRecord r;
    r.path = "/home/o'brien/a&b <\"c\">/下载/";
    r.progress = 3;
    r.files = {{"H1", "name with\ttab\r\nand newline & \"quotes\"", -1}};
    WriteDownloadRecord(m_path, r);
    DownloadRecord back;
    ASSERT_EQ(ReadDownloadRecord(m_path, back), 1);
    EXPECT_EQ(back.path, r.path);
    EXPECT_EQ(back.progress, 3);
    ASSERT_EQ(back.files.size(), 1u);
    EXPECT_EQ(back.files[0].name, r.files[0].name);
    EXPECT_EQ(back.files[0].size, -1);
}

TEST_F(DownloadRecordTest, Reading) {
    DownloadRecord r;
    EXPECT_EQ(ReadDownloadRecord(m_path, r), 0);  // missing
    test::WriteFile(m_path, std::string(kInitialRecordText));
    EXPECT_EQ(ReadDownloadRecord(m_path, r), 0);  // no "download" element
    test::WriteFile(m_path, "<patchinfo><download path='/p/'/></patchinfo>");
    ASSERT_EQ(ReadDownloadRecord(m_path, r), 1);
    EXPECT_EQ(r.path, "/p/");
    EXPECT_EQ(r.progress, 0);
    EXPECT_TRUE(r.files.empty());
    // The first "download" counts; its children are files whatever their name.
    test::WriteFile(m_path,
                    "<x><other/><download path='/q/' process='42'><down hash='A' name='n1' size='7'/>"
                    "<file hash='B' name='n2'/></download><download path='/second/'/></x>");
    ASSERT_EQ(ReadDownloadRecord(m_path, r), 1);
    EXPECT_EQ(r.path, "/q/");
    EXPECT_EQ(r.progress, 42);
    ASSERT_EQ(r.files.size(), 2u);
    EXPECT_EQ(r.files[0].hash, "A");
    EXPECT_EQ(r.files[0].size, 7);
    EXPECT_EQ(r.files[1].name, "n2");
    EXPECT_EQ(r.files[1].size, 0);
    test::WriteFile(m_path, "<patchinfo><download path='/p/'>");
    EXPECT_EQ(ReadDownloadRecord(m_path, r), 0);
}

// Kills a process that rewrites the record over and over, at many points of its writes: the
// record left behind must always read as one of the two records being written.
TEST_F(DownloadRecordTest, KilledWriterLeavesAReadableRecord) {
    DownloadRecord small;
    small.path = "/small/";
    small.files = {{"S", "s.bin", 1}};
    DownloadRecord large;
    large.path = "/large/";
    for (int i = 0; i < 3000; ++i) {
        large.files.push_back({std::string(40, 'F'), "file" + std::to_string(i) + ".bin", i});
    }
    WriteDownloadRecord(m_path, small);
    for (int round = 0; round < 20; ++round) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            for (int i = 0;; ++i) {
                WriteDownloadRecord(m_path, i % 2 ? small : large);
            }
        }
        usleep(2000 + round * 1500);
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        DownloadRecord back;
        ASSERT_EQ(ReadDownloadRecord(m_path, back), 1) << "round " << round;
        EXPECT_TRUE(back.files.size() == small.files.size() || back.files.size() == large.files.size());
    }
}

}  // namespace
}  // namespace tessali::app
