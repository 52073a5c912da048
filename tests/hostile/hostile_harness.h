// What the hostile-peer and hostile-server tests share: child processes (mirt engines, the
// hostile-peer program) with their output in files and their peak memory followed, engine data
// folders with their own deployment file, and file helpers.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "common/ports.h"

namespace tessali::test {

constexpr const char* kMirtProgram = TESSALI_BINARY_DIR "/tools/mirt";
// The engine program the tests attack: this build's, or the one named by $TESSALI_TEST_MIRT (to
// see how another build, an older one say, stands up to the same attacks).
inline std::string MirtProgram() {
    const char* other = std::getenv("TESSALI_TEST_MIRT");
    return other && *other ? other : kMirtProgram;
}
constexpr const char* kHostilePeerProgram = TESSALI_BINARY_DIR "/tests/hostile-peer";

using HarnessClock = std::chrono::steady_clock;

inline std::string Sha1OfFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return "missing";
    }
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

inline void WriteRandomFile(const std::string& path, size_t bytes, uint32_t seed) {
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

inline std::string ReadWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// One child process; stdout goes to `dir`/out.N.txt, stderr to `dir`/err.txt. Its peak resident
// memory (VmHWM) is sampled whenever it is looked at, and taken from the kernel when it ends.
class CChild {
public:
    explicit CChild(std::string dir) : m_dir(std::move(dir)) { std::filesystem::create_directories(m_dir); }
    ~CChild() { Stop(); }
    CChild(const CChild&) = delete;
    CChild& operator=(const CChild&) = delete;

    void Start(const std::string& program, std::vector<std::string> args,
               const std::map<std::string, std::string>& env = {}) {
        m_out = m_dir + "out." + std::to_string(++m_runs) + ".txt";
        m_peakKb = 0;
        m_pid = fork();
        if (m_pid == 0) {
            for (const auto& [k, v] : env) {
                setenv(k.c_str(), v.c_str(), 1);
            }
            int fd = open(m_out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(fd, 1);
            int err = open((m_dir + "err.txt").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            dup2(err, 2);
            args.insert(args.begin(), program);
            std::vector<char*> argv;
            for (std::string& a : args) {
                argv.push_back(a.data());
            }
            argv.push_back(nullptr);
            execv(program.c_str(), argv.data());
            _exit(127);
        }
    }
    // The first output line containing `text`, waiting up to `seconds` ("" when none).
    std::string WaitLine(const std::string& text, int seconds) {
        auto end = HarnessClock::now() + std::chrono::seconds(seconds);
        while (true) {
            for (const std::string& line : Lines()) {
                if (line.find(text) != std::string::npos) {
                    return line;
                }
            }
            if (HarnessClock::now() >= end || Exited()) {
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
        return lines;
    }
    std::string Output() const { return ReadWhole(m_out); }
    // Exit status after waiting up to `seconds`; -1 while still running.
    int Wait(int seconds) {
        auto end = HarnessClock::now() + std::chrono::seconds(seconds);
        while (!Exited()) {
            if (HarnessClock::now() >= end) {
                return -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return m_status;
    }
    bool Running() { return !Exited(); }
    // SIGTERM, then SIGKILL when it does not end within 10 s.
    void Stop() {
        if (m_pid > 0 && !Exited()) {
            kill(m_pid, SIGTERM);
            if (Wait(10) < 0) {
                kill(m_pid, SIGKILL);
                while (!Exited()) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
                }
            }
        }
    }
    // Resident memory in KiB now (0 once it has ended).
    long RssKb() const { return StatusKb("VmRSS:"); }
    // CPU time it has used so far, user and system, in seconds (0 once it has ended).
    double CpuSeconds() const {
        std::ifstream in("/proc/" + std::to_string(m_pid) + "/stat");
        std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        size_t at = stat.rfind(')');
        if (m_pid <= 0 || at == std::string::npos) {
            return 0;
        }
        // After the name: state is field 3; utime and stime are fields 14 and 15.
        std::istringstream fields(stat.substr(at + 2));
        std::string f;
        unsigned long long utime = 0, stime = 0;
        for (int i = 3; i <= 15 && fields >> f; ++i) {
            if (i == 14) {
                utime = std::stoull(f);
            } else if (i == 15) {
                stime = std::stoull(f);
            }
        }
        return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
    }
    // Peak resident memory in KiB seen so far (also after the process ended).
    long PeakRssKb() {
        Exited();
        return m_peakKb;
    }
    const std::string& Dir() const { return m_dir; }

private:
    bool Exited() {
        if (m_pid <= 0) {
            return true;
        }
        SampleRss();
        int status = 0;
        rusage usage{};
        if (wait4(m_pid, &status, WNOHANG, &usage) == m_pid) {
            m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            m_peakKb = std::max(m_peakKb, usage.ru_maxrss);
            m_pid = -1;
            return true;
        }
        return false;
    }
    void SampleRss() { m_peakKb = std::max(m_peakKb, StatusKb("VmHWM:")); }
    long StatusKb(const std::string& key) const {
        if (m_pid <= 0) {
            return 0;
        }
        std::ifstream in("/proc/" + std::to_string(m_pid) + "/status");
        std::string line;
        while (std::getline(in, line)) {
            if (line.rfind(key, 0) == 0) {
                return std::atol(line.c_str() + key.size());
            }
        }
        return 0;
    }

    std::string m_dir;
    std::string m_out;
    int m_runs = 0;
    pid_t m_pid = -1;
    int m_status = -1;
    long m_peakKb = 0;
};

// A mirt engine with its own data folder, deployment file (NAT type fixed to 0, log lines of
// level 1 and up in engine.log) and listening port.
class CEngine : public CChild {
public:
    CEngine(const std::string& dir, uint16_t listenPort, const std::string& trackerHost = "127.0.0.1:1")
        : CChild(dir), m_listenPort(listenPort) {
        std::filesystem::create_directories(Dir() + "xdg");
        std::ofstream ini(Dir() + "deploy.ini");
        ini << "[servers]\n[engine]\ntracker_host = " << trackerHost
            << "\ntracker_ip = 127.0.0.1\nagent_host = 127.0.0.1:1\nagent_ip = 127.0.0.1\nlisten_port = "
            << listenPort << "\nnat_type = 0\nlog_file = " << Dir() << "engine.log\nlog_level = 1\n";
    }
    void Run(std::vector<std::string> args) {
        Start(MirtProgram(), std::move(args),
              {{"XDG_DATA_HOME", Dir() + "xdg"}, {"TESSALI_DEPLOY", Dir() + "deploy.ini"}});
    }
    std::string Log() const { return ReadWhole(Dir() + "engine.log"); }
    // Waits up to `seconds` for `text` in the engine log.
    bool WaitLog(const std::string& text, int seconds) const {
        auto end = HarnessClock::now() + std::chrono::seconds(seconds);
        while (Log().find(text) == std::string::npos) {
            if (HarnessClock::now() >= end) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return true;
    }
    uint16_t ListenPort() const { return m_listenPort; }
    // The seed files the engine keeps in its data folder.
    std::vector<std::string> SeedFiles() const {
        std::vector<std::string> out;
        for (const auto& e : std::filesystem::recursive_directory_iterator(Dir() + "xdg")) {
            if (e.path().extension() == ".torrent") {
                out.push_back(e.path().string());
            }
        }
        return out;
    }

private:
    uint16_t m_listenPort;
};

// What `mirt seed info` says of a seed, read with `engine`'s deployment file (the task hash
// depends on the engine tracker it names).
struct SeedFacts {
    std::string hash;
    uint32_t pieces = 0;
    uint32_t pieceLength = 0;
};
inline SeedFacts ReadSeedFacts(const std::string& dir, const std::string& seedFile, const CEngine& engine) {
    CChild info(dir);
    info.Start(MirtProgram(), {"seed", "info", seedFile}, {{"TESSALI_DEPLOY", engine.Dir() + "deploy.ini"}});
    info.Wait(30);
    SeedFacts f;
    for (const std::string& line : info.Lines()) {
        auto after = [&](const char* key) { return line.substr(std::string(key).size()); };
        if (line.rfind("hash: ", 0) == 0) {
            f.hash = after("hash: ");
        } else if (line.rfind("piece count: ", 0) == 0) {
            f.pieces = static_cast<uint32_t>(std::stoul(after("piece count: ")));
        } else if (line.rfind("piece length: ", 0) == 0) {
            f.pieceLength = static_cast<uint32_t>(std::stoul(after("piece length: ")));
        }
    }
    return f;
}

}  // namespace tessali::test
