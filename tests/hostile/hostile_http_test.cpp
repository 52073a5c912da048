// Hostile web servers against the downloader's manifest fetch, served by a real nginx on
// loopback: a pre-compressed manifest that inflates to 2 GiB, one whose compressed body alone is
// above the body cap, and a redirect loop. Each fetch must end with a failure that says why,
// without holding more memory than the cap allows, and the working manifest cache stays as it was.
#include <gtest/gtest.h>
#include <zlib.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include "app/fetch/http_fetch.h"
#include "app/records/manifest.h"
#include "common/nginx_server.h"
#include "common/temp_dir.h"
#include "engine/platform/file.h"

namespace tessali::app {
namespace {

using test::CNginxServer;

// Writes deflate bits least significant first, as the format wants.
class CBitWriter {
public:
    explicit CBitWriter(std::ofstream& out) : m_out(out) {}
    void Bits(uint32_t value, int count) {
        for (int i = 0; i < count; ++i) {
            m_acc |= ((value >> i) & 1u) << m_used;
            if (++m_used == 8) {
                m_buf.push_back(static_cast<char>(m_acc));
                m_acc = 0;
                m_used = 0;
                if (m_buf.size() >= (1 << 20)) {
                    Flush();
                }
            }
        }
    }
    // A Huffman code goes out most significant bit first.
    void Code(uint32_t code, int count) {
        for (int i = count - 1; i >= 0; --i) {
            Bits((code >> i) & 1u, 1);
        }
    }
    void Finish() {
        if (m_used > 0) {
            m_buf.push_back(static_cast<char>(m_acc));
            m_acc = 0;
            m_used = 0;
        }
        Flush();
    }

private:
    void Flush() {
        m_out.write(m_buf.data(), static_cast<std::streamsize>(m_buf.size()));
        m_buf.clear();
    }
    std::ofstream& m_out;
    std::string m_buf;
    uint32_t m_acc = 0;
    int m_used = 0;
};

// A gzip file of `runs` * 258 + 1 zero bytes in one fixed-Huffman block: a literal zero, then
// (length 258, distance 1) over and over, 13 bits per 258 bytes. A real gzip tool inflates it
// whole; it is written in well under a second, where compressing the zeros would take long.
uint64_t WriteZeroBomb(const std::string& path, uint64_t runs) {
    std::ofstream out(path, std::ios::binary);
    const unsigned char head[10] = {0x1f, 0x8b, 8, 0, 0, 0, 0, 0, 0, 3};
    out.write(reinterpret_cast<const char*>(head), sizeof head);
    CBitWriter w(out);
    w.Bits(1, 1);     // last block
    w.Bits(1, 2);     // fixed Huffman codes
    w.Code(0x30, 8);  // literal 0
    for (uint64_t i = 0; i < runs; ++i) {
        w.Code(0xC5, 8);  // length code 285: 258 bytes
        w.Code(0, 5);     // distance code 0: distance 1
    }
    w.Code(0, 7);  // end of block
    w.Finish();
    const uint64_t total = runs * 258 + 1;
    // CRC-32 of that many zeros, combined from 1 MiB pieces.
    std::string zeros(1 << 20, '\0');
    uLong mib = crc32(0, reinterpret_cast<const Bytef*>(zeros.data()), static_cast<uInt>(zeros.size()));
    uLong crc = 0;
    uint64_t left = total;
    for (; left >= zeros.size(); left -= zeros.size()) {
        crc = crc32_combine(crc, mib, static_cast<z_off_t>(zeros.size()));
    }
    crc = crc32_combine(crc, crc32(0, reinterpret_cast<const Bytef*>(zeros.data()), static_cast<uInt>(left)),
                        static_cast<z_off_t>(left));
    unsigned char tail[8];
    for (int i = 0; i < 4; ++i) {
        tail[i] = static_cast<unsigned char>(crc >> (8 * i));
        tail[4 + i] = static_cast<unsigned char>(total >> (8 * i));
    }
    out.write(reinterpret_cast<const char*>(tail), sizeof tail);
    return total;
}

// Peak resident memory of this process since the last reset, in KiB.
long PeakRssKb() {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VmHWM:", 0) == 0) {
            return std::atol(line.c_str() + 6);
        }
    }
    return -1;
}
void ResetPeakRss() {
    std::ofstream("/proc/self/clear_refs") << "5";
}

const char* kServerConfig = R"(
    location /bomb/ { gzip_static on; }
    location /huge/ { gzip_static on; }
    location = /loop/a/verdomarkelbane.xml { absolute_redirect off; return 302 /loop/b/verdomarkelbane.xml; }
    location = /loop/b/verdomarkelbane.xml { absolute_redirect off; return 302 /loop/a/verdomarkelbane.xml; }
)";

class HostileHttp : public ::testing::Test {
protected:
    void SetUp() override {
        if (!CNginxServer::Available()) {
            GTEST_SKIP() << "nginx is not installed";
        }
        m_nginx = std::make_unique<CNginxServer>(kServerConfig);
        std::string www = m_nginx->DocRoot();
        for (const char* dir : {"bomb", "huge", "loop"}) {
            std::filesystem::create_directories(www + dir);
        }
        // 2 GiB of zeros in about 13.5 MB: under the 16 MiB body cap, so only inflating shows it.
        m_bombBytes = WriteZeroBomb(www + "bomb/verdomarkelbane.xml.gz", (2ull << 30) / 258 + 1);
        test::WriteFile(www + "bomb/verdomarkelbane.xml", "uncompressed copy");
        // 4 GiB: its compressed body alone (27 MB) is above the cap.
        WriteZeroBomb(www + "huge/verdomarkelbane.xml.gz", (4ull << 30) / 258);
        test::WriteFile(www + "huge/verdomarkelbane.xml", "uncompressed copy");
        ASSERT_TRUE(m_nginx->Start()) << m_nginx->ErrorLog();
        test::WriteFile(m_cache, m_good);
    }

    // One refresh of the (stale) cache from `base`; the fetch's own failure reason is returned.
    std::string RefreshFails(const std::string& base) {
        ResetPeakRss();
        EXPECT_FALSE(RefreshManifestCache(
            m_nginx->Url(base), m_cache, [] { return StampTime{2026, 12, 8, 9, 30, 0}; }, m_options));
        m_peakKb = PeakRssKb();
        EXPECT_EQ(test::ReadFile(m_cache), m_good);
        EXPECT_FALSE(platform::FileExists(m_cache + ".new"));
        CManifestFetch fetch("hostile");
        fetch.SetOptions(m_options);
        fetch.Prepare(m_nginx->Url(base + "verdomarkelbane.xml"), m_dir.File("other.xml"));
        fetch.Start();
        EXPECT_TRUE(fetch.Wait(60000));
        EXPECT_FALSE(fetch.Succeeded());
        EXPECT_FALSE(platform::FileExists(m_dir.File("other.xml")));
        std::string error = fetch.Error();
        fetch.Stop();
        return error;
    }

    std::unique_ptr<CNginxServer> m_nginx;
    test::TempDir m_dir;
    std::string m_cache = m_dir.File("verdomarkelbane.xml");
    const std::string m_good =
        "<verdo title='good' update='2026-12-01 10:00:00'><download filename='a.bin' "
        "hash='AA'/></verdo>";
    FetchOptions m_options;
    uint64_t m_bombBytes = 0;
    long m_peakKb = 0;
};

// The bomb maker makes real gzip: a small one inflates whole, to the zeros and length it names.
TEST(ZeroBomb, ASmallOneInflatesToItsZerosWithAGoodTrailer) {
    test::TempDir dir;
    const uint64_t total = WriteZeroBomb(dir.File("small.gz"), 1000);
    ASSERT_EQ(total, 258001u);
    std::string coded = test::ReadFile(dir.File("small.gz"));
    z_stream zs{};
    ASSERT_EQ(inflateInit2(&zs, 15 + 32), Z_OK);
    std::string out(total + 16, 'x');
    zs.next_in = reinterpret_cast<Bytef*>(coded.data());
    zs.avail_in = static_cast<uInt>(coded.size());
    zs.next_out = reinterpret_cast<Bytef*>(out.data());
    zs.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(inflate(&zs, Z_FINISH), Z_STREAM_END) << "the CRC and length trailer check out";
    EXPECT_EQ(zs.total_out, total);
    EXPECT_EQ(zs.avail_in, 0u);
    inflateEnd(&zs);
    out.resize(total);
    EXPECT_EQ(out, std::string(total, '\0'));
}

TEST_F(HostileHttp, AManifestThatInflatesToGigabytesStopsAtTheBodyCap) {
    ASSERT_GE(m_bombBytes, 2ull << 30);
    const long before = PeakRssKb();
    std::string error = RefreshFails("/bomb/");
    EXPECT_EQ(error, "gzip body does not inflate within the " + std::to_string(kMaxBodyBytes) + "-byte cap");
    ASSERT_TRUE(m_nginx->WaitForAccessLog("GET /bomb/verdomarkelbane.xml HTTP/1.1 200"));
    // The compressed body and at most the cap of inflated bytes, with room to spare; the 2 GiB
    // never existed here.
    std::printf("peak RSS %ld KiB while refusing a 2 GiB manifest (before: %ld KiB)\n", m_peakKb, before);
    RecordProperty("bomb_peak_rss_kb", std::to_string(m_peakKb));
    EXPECT_LT(m_peakKb, before + 96 * 1024);
}

TEST_F(HostileHttp, ACompressedBodyAboveTheCapIsRefusedByItsLength) {
    std::string error = RefreshFails("/huge/");
    EXPECT_NE(error.find("is above the " + std::to_string(kMaxBodyBytes) + "-byte cap"), std::string::npos)
        << error;
}

TEST_F(HostileHttp, ARedirectLoopEndsAfterTheHopCap) {
    std::string error = RefreshFails("/loop/a/");
    EXPECT_EQ(error, "more than " + std::to_string(kMaxRedirects) + " redirects");
    // Each refresh asked exactly the first request and the allowed hops, then stopped.
    ASSERT_TRUE(m_nginx->WaitForAccessLog("302"));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::string log = m_nginx->AccessLog();
    size_t hops = 0;
    for (size_t at = log.find(" 302"); at != std::string::npos; at = log.find(" 302", at + 1)) {
        ++hops;
    }
    EXPECT_EQ(hops, 2u * (kMaxRedirects + 1)) << log;
}

}  // namespace
}  // namespace tessali::app
