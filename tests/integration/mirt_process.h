// Helpers for tests that run real `mirt` processes: free loopback ports, random content files,
// file digests, one mirt process with its own data folder and deployment file (stdout to a
// file, read line by line), and a reader of the engine's resume records. Used from the test
// thread only.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/ports.h"
#include "common/temp_dir.h"

namespace tessali::test {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

inline constexpr const char* kMirt = TESSALI_BINARY_DIR "/tools/mirt";

inline std::string HexOf(const unsigned char* md, unsigned len) {
    std::string hex;
    char two[3];
    for (unsigned i = 0; i < len; ++i) {
        std::snprintf(two, sizeof two, "%02x", md[i]);
        hex += two;
    }
    return hex;
}

// SHA-1 of `length` bytes of a file from `offset` (the whole file by default), as hex.
inline std::string Sha1Of(const std::string& path, int64_t offset = 0, int64_t length = -1) {
    std::ifstream in(path, std::ios::binary);
    in.seekg(offset);
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    EVP_DigestInit_ex(ctx, EVP_sha1(), nullptr);
    std::vector<char> buf(1 << 20);
    int64_t left = length < 0 ? INT64_MAX : length;
    while (in && left > 0) {
        in.read(buf.data(),
                static_cast<std::streamsize>(std::min<int64_t>(left, static_cast<int64_t>(buf.size()))));
        EVP_DigestUpdate(ctx, buf.data(), static_cast<size_t>(in.gcount()));
        left -= in.gcount();
    }
    unsigned char md[20];
    unsigned len = 0;
    EVP_DigestFinal_ex(ctx, md, &len);
    EVP_MD_CTX_free(ctx);
    return HexOf(md, len);
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

inline int64_t NumberAfter(const std::string& line, const std::string& word) {
    size_t at = line.find(word);
    return at == std::string::npos ? -1 : std::atoll(line.c_str() + at + word.size());
}

inline std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Piece bytes a finished `mirt get` run reports in its closing "received N bytes" line; -1 when
// the run has no such line (it was killed).
inline int64_t ClosingReceived(const std::vector<std::string>& lines) {
    for (const std::string& line : lines) {
        if (line.rfind("received ", 0) == 0) {
            return NumberAfter(line, "received ");
        }
    }
    return -1;
}

// One mirt process with its own data folder and deployment file; stdout goes to a file per run.
class CMirt {
public:
    // `xdgDir` (default: dir + "xdg/") holds the engine's folders; the log and outputs stay in `dir`.
    CMirt(const std::string& dir, uint16_t listenPort, const std::string& xdgDir = {})
        : m_dir(dir), m_xdg(xdgDir.empty() ? dir + "xdg/" : xdgDir) {
        fs::create_directories(m_dir);
        fs::create_directories(m_xdg);
        std::ofstream ini(m_dir + "deploy.ini");
        ini << "[servers]\n[engine]\ntracker_host = 127.0.0.1:1\ntracker_ip = 127.0.0.1\nlisten_port = "
            << listenPort << "\nnat_type = 0\nlan_search = 0\nlog_file = " << m_dir
            << "engine.log\nlog_level = 1\n";
    }
    ~CMirt() { Kill(); }
    CMirt(const CMirt&) = delete;
    CMirt& operator=(const CMirt&) = delete;

    // Starts a run; a previous run still going is killed first, so none is ever left behind.
    void Start(std::vector<std::string> args) {
        KillHard();
        m_out = m_dir + "out." + std::to_string(++m_runs) + ".txt";
        m_status = -1;
        m_pid = fork();
        if (m_pid == 0) {
            setenv("XDG_DATA_HOME", m_xdg.c_str(), 1);
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
    // The first output line of this run containing `text`, waiting up to `seconds`.
    std::string WaitLine(const std::string& text, int seconds) {
        auto end = Clock::now() + std::chrono::seconds(seconds);
        while (true) {
            bool exited = Exited();
            for (const std::string& line : Lines()) {
                if (line.find(text) != std::string::npos) {
                    return line;
                }
            }
            if (exited || Clock::now() >= end) {
                return {};
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    // Complete output lines of this run so far.
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
    // Exit status after waiting up to `seconds` (128 + signal for a killed process); -1 when
    // still running.
    int Wait(int seconds) {
        auto end = Clock::now() + std::chrono::milliseconds(seconds * 1000);
        while (true) {
            if (Exited()) {
                return m_status;
            }
            if (Clock::now() >= end) {
                return -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    bool Running() { return !Exited(); }
    void Signal(int sig) {
        if (m_pid > 0) {
            kill(m_pid, sig);
        }
    }
    // SIGKILL and reap.
    void KillHard() {
        if (m_pid > 0 && !Exited()) {
            kill(m_pid, SIGKILL);
            Wait(10);
        }
    }
    void Kill() {
        if (m_pid > 0 && !Exited()) {
            kill(m_pid, SIGTERM);
            if (Wait(10) < 0) {
                kill(m_pid, SIGKILL);
                Wait(10);
            }
        }
    }
    const std::string& Dir() const { return m_dir; }
    std::string DataFolder() const { return m_xdg + "Tessali/Data/"; }
    std::string Xdg() const { return m_xdg; }
    std::string Log() const { return ReadAll(m_dir + "engine.log"); }
    std::string Errors() const { return ReadAll(m_dir + "err.txt"); }
    // The last `bytes` of the engine log, for failure messages.
    std::string LogTail(size_t bytes = 4000) const {
        std::string log = Log();
        return log.size() > bytes ? log.substr(log.size() - bytes) : log;
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
    std::string m_xdg;
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

inline Seeder StartSeeder(const TempDir& tmp, const std::string& name, const std::string& file) {
    Seeder s;
    s.port = FreeTcpUdpPort();
    s.mirt = std::make_unique<CMirt>(tmp.Path() + name + "/", s.port);
    s.mirt->Start({"share", file});
    std::string line = s.mirt->WaitLine(file, 60);
    s.hash = line.substr(0, line.find(' '));
    return s;
}

// A resume record as the engine stores it: content size (8 bytes, little-endian), the piece
// bitfield, verified bytes (8 bytes). `valid` is false when the file is absent or of another size.
struct ResumeRecordFile {
    bool valid = false;
    int64_t size = 0;
    std::vector<uint8_t> bits;
    int64_t verified = 0;

    bool Has(uint32_t piece) const {
        return piece / 8 < bits.size() && (bits[piece / 8] & (0x80 >> (piece % 8))) != 0;
    }
    uint32_t Count() const {
        uint32_t n = 0;
        for (uint8_t b : bits) {
            n += static_cast<uint32_t>(__builtin_popcount(b));
        }
        return n;
    }
};

inline int64_t Le64(const std::string& bytes, size_t at) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) {
        v = (v << 8) | static_cast<uint8_t>(bytes[at + static_cast<size_t>(i)]);
    }
    return static_cast<int64_t>(v);
}

inline ResumeRecordFile ReadResumeRecord(const std::string& path, uint32_t pieceCount) {
    ResumeRecordFile r;
    std::string bytes = ReadAll(path);
    const size_t bitBytes = (pieceCount + 7) / 8;
    if (!fs::exists(path) || bytes.size() != bitBytes + 16) {
        return r;
    }
    r.valid = true;
    r.size = Le64(bytes, 0);
    r.bits.assign(bytes.begin() + 8, bytes.begin() + 8 + static_cast<std::ptrdiff_t>(bitBytes));
    r.verified = Le64(bytes, 8 + bitBytes);
    return r;
}

// The engine's file name for a destination path: every '/' (and ':' and '\') becomes '_'.
inline std::string TaskKeyOf(const std::string& destination) {
    std::string key = destination;
    std::replace_if(
        key.begin(), key.end(), [](char c) { return c == '/' || c == ':' || c == '\\'; }, '_');
    return key;
}

}  // namespace tessali::test
