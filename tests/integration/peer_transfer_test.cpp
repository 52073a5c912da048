// Engines downloading from each other: several mirt processes on loopback, each with its own
// data folder and a deployment file that fixes the NAT type to 0. One shares a file, another
// fetches it by hash with --peer over each wire form and over reliable UDP; a killed download
// resumes without fetching verified pieces again; two seeders are both used while a third,
// whose file went bad after it was shared, has its pieces rejected.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/temp_dir.h"

namespace tessali::test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr const char* kMirt = TESSALI_BINARY_DIR "/tools/mirt";

// A port free for both TCP and UDP (an engine listens on both); the kernel picks it.
uint16_t FreePort() {
    for (int attempt = 0; attempt < 50; ++attempt) {
        int tcp = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(tcp, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t len = sizeof a;
        getsockname(tcp, reinterpret_cast<sockaddr*>(&a), &len);
        a.sin_addr.s_addr = htonl(INADDR_ANY);
        int udp = socket(AF_INET, SOCK_DGRAM, 0);
        bool free = bind(udp, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        close(udp);
        close(tcp);
        if (free) {
            return ntohs(a.sin_port);
        }
    }
    return 0;
}

std::string Sha1Of(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    EVP_DigestInit_ex(ctx, EVP_sha1(), nullptr);
    std::vector<char> buf(1 << 20);
    while (in) {
        in.read(buf.data(), static_cast<std::streamsize>(buf.size()));
        EVP_DigestUpdate(ctx, buf.data(), static_cast<size_t>(in.gcount()));
    }
    unsigned char md[20];
    unsigned len = 0;
    EVP_DigestFinal_ex(ctx, md, &len);
    EVP_MD_CTX_free(ctx);
    std::string hex;
    char two[3];
    for (unsigned i = 0; i < len; ++i) {
        std::snprintf(two, sizeof two, "%02x", md[i]);
        hex += two;
    }
    return hex;
}

void WriteRandomFile(const std::string& path, size_t bytes, uint32_t seed) {
    std::mt19937_64 rng(seed);
    std::ofstream out(path, std::ios::binary);
    std::vector<uint64_t> chunk(1 << 17);
    for (size_t done = 0; done < bytes;) {
        for (auto& w : chunk) {
            w = rng();
        }
        size_t n = std::min(bytes - done, chunk.size() * 8);
        out.write(reinterpret_cast<const char*>(chunk.data()), static_cast<std::streamsize>(n));
        done += n;
    }
}

// One mirt process with its own data folder and deployment file; stdout goes to a file.
class CMirt {
public:
    CMirt(const std::string& dir, uint16_t listenPort) : m_dir(dir) {
        fs::create_directories(m_dir + "xdg");
        std::ofstream ini(m_dir + "deploy.ini");
        ini << "[servers]\n[engine]\ntracker_host = 127.0.0.1:1\ntracker_ip = 127.0.0.1\nlisten_port = "
            << listenPort << "\nnat_type = 0\nlog_file = " << m_dir << "engine.log\nlog_level = 1\n";
    }
    ~CMirt() { Kill(); }

    void Start(std::vector<std::string> args) {
        m_out = m_dir + "out." + std::to_string(++m_runs) + ".txt";
        m_pid = fork();
        if (m_pid == 0) {
            setenv("XDG_DATA_HOME", (m_dir + "xdg").c_str(), 1);
            setenv("TESSALI_DEPLOY", (m_dir + "deploy.ini").c_str(), 1);
            int fd = open(m_out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(fd, 1);
            int err = open((m_dir + "err.txt").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            dup2(err, 2);
            args.insert(args.begin(), kMirt);
            std::vector<char*> argv;
            for (std::string& a : args) {
                argv.push_back(a.data());
            }
            argv.push_back(nullptr);
            execv(kMirt, argv.data());
            _exit(127);
        }
    }
    // The first output line containing `text`, waiting up to `seconds`.
    std::string WaitLine(const std::string& text, int seconds) {
        auto end = Clock::now() + std::chrono::seconds(seconds);
        while (Clock::now() < end) {
            for (const std::string& line : Lines()) {
                if (line.find(text) != std::string::npos) {
                    return line;
                }
            }
            if (Exited()) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        for (const std::string& line : Lines()) {
            if (line.find(text) != std::string::npos) {
                return line;
            }
        }
        return {};
    }
    std::vector<std::string> Lines() const {
        std::ifstream in(m_out);
        std::vector<std::string> lines;
        std::string line;
        while (std::getline(in, line)) {
            lines.push_back(line);
        }
        if (!lines.empty() && !in.eof()) {
            lines.pop_back();
        }
        return lines;
    }
    // Exit status after waiting up to `seconds`; -1 when still running.
    int Wait(int seconds) {
        auto end = Clock::now() + std::chrono::seconds(seconds);
        while (Clock::now() < end) {
            if (Exited()) {
                return m_status;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return -1;
    }
    void Signal(int sig) {
        if (m_pid > 0) {
            kill(m_pid, sig);
        }
    }
    void Kill() {
        if (m_pid > 0 && !Exited()) {
            kill(m_pid, SIGTERM);
            if (Wait(10) < 0) {
                kill(m_pid, SIGKILL);
                waitpid(m_pid, nullptr, 0);
            }
        }
        m_pid = -1;
    }
    const std::string& Dir() const { return m_dir; }
    std::string Log() const {
        std::ifstream in(m_dir + "engine.log");
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

private:
    bool Exited() {
        if (m_pid <= 0) {
            return true;
        }
        int status = 0;
        if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            m_pid = -1;
            return true;
        }
        return false;
    }

    std::string m_dir;
    std::string m_out;
    int m_runs = 0;
    pid_t m_pid = -1;
    int m_status = -1;
};

// A seeder of `file`: started, and its hash read from its first line.
struct Seeder {
    std::unique_ptr<CMirt> mirt;
    uint16_t port = 0;
    std::string hash;
};

Seeder StartSeeder(const TempDir& tmp, const std::string& name, const std::string& file) {
    Seeder s;
    s.port = FreePort();
    s.mirt = std::make_unique<CMirt>(tmp.Path() + name + "/", s.port);
    s.mirt->Start({"share", file});
    std::string line = s.mirt->WaitLine(file, 60);
    s.hash = line.substr(0, line.find(' '));
    return s;
}

int64_t NumberAfter(const std::string& line, const std::string& word) {
    size_t at = line.find(word);
    return at == std::string::npos ? -1 : std::atoll(line.c_str() + at + word.size());
}

// Received piece bytes reported at the end of a run ("received N bytes").
int64_t ReceivedBytes(CMirt& m) {
    return NumberAfter(m.WaitLine("received ", 1), "received ");
}

class PeerTransfer : public ::testing::Test {
protected:
    void ExpectFinished(const std::string& source, const std::string& dest, CMirt& getter) {
        EXPECT_EQ(Sha1Of(source), Sha1Of(dest));
        EXPECT_FALSE(fs::exists(dest + ".!mt"));
        // The resume record sits in the engine's data folder; complete means no piece missing.
        bool sawRecord = false;
        for (const auto& e : fs::recursive_directory_iterator(getter.Dir() + "xdg")) {
            if (e.path().extension() == ".mem") {
                sawRecord = true;
            }
        }
        EXPECT_TRUE(sawRecord);
    }
    TempDir m_tmp;
};

// Sizes: the TCP forms move 256 MiB; reliable UDP (about 7 MB/s by its rules) a small file.
constexpr size_t kBigFile = 256u << 20;
constexpr size_t kUdpFile = 6u << 20;

TEST_F(PeerTransfer, EachWireFormAndReliableUdpDeliverTheFileByteIdentical) {
    const std::string big = m_tmp.File("big.bin");
    const std::string small = m_tmp.File("small.bin");
    WriteRandomFile(big, kBigFile, 1);
    WriteRandomFile(small, kUdpFile, 2);
    Seeder seeder = StartSeeder(m_tmp, "seed", big);
    ASSERT_EQ(seeder.hash.size(), 40u);
    Seeder udpSeeder = StartSeeder(m_tmp, "seedudp", small);
    ASSERT_EQ(udpSeeder.hash.size(), 40u);

    struct Case {
        const char* framing;
        const Seeder* seeder;
        const std::string* source;
    };
    for (const Case& c : {Case{"plain", &seeder, &big}, Case{"http", &seeder, &big},
                          Case{"scrambled", &seeder, &big}, Case{"udp", &udpSeeder, &small}}) {
        SCOPED_TRACE(c.framing);
        CMirt getter(m_tmp.Path() + "get-" + c.framing + "/", FreePort());
        const std::string dest = getter.Dir() + "out.bin";
        getter.Start({"get", c.seeder->hash, dest, "--peer", "127.0.0.1:" + std::to_string(c.seeder->port),
                      "--framing", c.framing});
        ASSERT_EQ(getter.Wait(180), 0) << getter.Log().substr(0, 2000);
        ExpectFinished(*c.source, dest, getter);
        // Every byte came over the wire (nothing was there before).
        EXPECT_GE(ReceivedBytes(getter), static_cast<int64_t>(fs::file_size(*c.source)));
    }
    // The seeder recognised each form from the first bytes of its incoming streams.
    std::string log = seeder.mirt->Log();
    for (const char* form : {"framed as plain", "framed as http", "framed as scrambled"}) {
        EXPECT_NE(log.find(form), std::string::npos) << form;
    }
    EXPECT_NE(udpSeeder.mirt->Log().find("framed as plain"), std::string::npos);
}

TEST_F(PeerTransfer, AKilledDownloadResumesWithoutFetchingVerifiedPiecesAgain) {
    const std::string big = m_tmp.File("big.bin");
    WriteRandomFile(big, kBigFile, 3);
    Seeder seeder = StartSeeder(m_tmp, "seed", big);
    ASSERT_EQ(seeder.hash.size(), 40u);
    CMirt getter(m_tmp.Path() + "get/", FreePort());
    const std::string dest = getter.Dir() + "out.bin";
    const std::vector<std::string> args = {
        "get",           seeder.hash, dest, "--peer", "127.0.0.1:" + std::to_string(seeder.port),
        "--progress-ms", "20"};
    getter.Start(args);
    // Kill it hard once between 30 % and 70 % of the pieces are verified.
    int64_t haveAtKill = -1;
    auto end = Clock::now() + std::chrono::seconds(60);
    while (Clock::now() < end && haveAtKill < 0) {
        std::vector<std::string> lines = getter.Lines();
        if (!lines.empty()) {
            int64_t have = NumberAfter(lines.back(), "progress ");
            if (have > static_cast<int64_t>(kBigFile) * 3 / 10) {
                getter.Signal(SIGKILL);
                haveAtKill = have;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ASSERT_GT(haveAtKill, 0);
    ASSERT_NE(getter.Wait(10), 0);
    ASSERT_LT(haveAtKill, static_cast<int64_t>(kBigFile)) << "killed too late to show a resume";
    ASSERT_TRUE(fs::exists(dest + ".!mt"));

    getter.Start(args);
    ASSERT_EQ(getter.Wait(180), 0) << getter.Log().substr(0, 2000);
    ExpectFinished(big, dest, getter);
    // The second run starts from what the record kept and fetches only the rest.
    int64_t resumed = NumberAfter(getter.Lines().front(), "progress ");
    int64_t received = ReceivedBytes(getter);
    EXPECT_GT(resumed, 0);
    EXPECT_GT(received, 0);
    EXPECT_LE(received, static_cast<int64_t>(kBigFile) - resumed + (1 << 20));
}

TEST_F(PeerTransfer, TwoSeedersAreBothUsedAndALyingSeedersPiecesAreRejected) {
    const std::string file = m_tmp.File("content.bin");
    WriteRandomFile(file, 64u << 20, 4);
    Seeder a = StartSeeder(m_tmp, "a", file);
    Seeder b = StartSeeder(m_tmp, "b", file);
    // The liar shares its own good copy, which then goes bad on disk: every block it serves
    // from now on is wrong.
    const std::string bad = m_tmp.File("liar.bin");
    fs::copy_file(file, bad);
    Seeder liar = StartSeeder(m_tmp, "liar", bad);
    ASSERT_EQ(a.hash.size(), 40u);
    ASSERT_EQ(a.hash, b.hash);
    ASSERT_EQ(a.hash, liar.hash);
    {
        std::fstream f(bad, std::ios::in | std::ios::out | std::ios::binary);
        std::vector<char> junk(1 << 20, '\x5A');
        for (int i = 0; i < 64; ++i) {
            f.write(junk.data(), static_cast<std::streamsize>(junk.size()));
        }
    }
    CMirt getter(m_tmp.Path() + "get/", FreePort());
    const std::string dest = getter.Dir() + "out.bin";
    getter.Start({"get", a.hash, dest, "--peer", "127.0.0.1:" + std::to_string(a.port), "--peer",
                  "127.0.0.1:" + std::to_string(b.port), "--peer", "127.0.0.1:" + std::to_string(liar.port)});
    int rc = getter.Wait(180);
    // The end of the log tells why a download stopped.
    std::string excerpt = getter.Log();
    ASSERT_EQ(rc, 0) << excerpt.substr(excerpt.size() > 6000 ? excerpt.size() - 6000 : 0);
    ExpectFinished(file, dest, getter);
    std::string fromA_line = getter.WaitLine("from 127.0.0.1:" + std::to_string(a.port) + " ", 1);
    std::string fromB_line = getter.WaitLine("from 127.0.0.1:" + std::to_string(b.port) + " ", 1);
    EXPECT_GT(NumberAfter(fromA_line, std::to_string(a.port) + " "), 0) << fromA_line;
    EXPECT_GT(NumberAfter(fromB_line, std::to_string(b.port) + " "), 0) << fromB_line;
    std::string log = getter.Log();
    EXPECT_NE(log.find("Write file hash error"), std::string::npos) << "the liar's pieces were checked";
    EXPECT_NE(log.find("peer 127.0.0.1:" + std::to_string(liar.port) + " sent wrong blocks"),
              std::string::npos);
    EXPECT_EQ(log.find("peer 127.0.0.1:" + std::to_string(a.port) + " sent wrong blocks"), std::string::npos);
    EXPECT_EQ(log.find("peer 127.0.0.1:" + std::to_string(b.port) + " sent wrong blocks"), std::string::npos);
}

}  // namespace
}  // namespace tessali::test
