// End to end through the engine tracker: mirt-tracker, a seeder (`mirt share`) and a downloader
// (`mirt get HASH DEST` with no --peer), each engine in its own data folder with its own
// deployment file. The downloader can only find the seeder through the tracker.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/temp_dir.h"
#include "engine/platform/file.h"
#include "tools/tracker_process.h"

namespace tessali {
namespace {

// A `mirt` child with its own environment; its stdout is read line by line.
class CMirtProcess {
public:
    CMirtProcess(std::vector<std::string> args, const std::string& dataHome, const std::string& deploy) {
        int out[2];
        if (pipe(out) != 0) {
            return;
        }
        args.insert(args.begin(), TESSALI_BINARY_DIR "/tools/mirt");
        m_pid = fork();
        if (m_pid == 0) {
            setenv("XDG_DATA_HOME", dataHome.c_str(), 1);
            setenv("TESSALI_DEPLOY", deploy.c_str(), 1);
            dup2(out[1], 1);
            int null = open("/dev/null", O_WRONLY);
            dup2(null, 2);
            close(out[0]);
            std::vector<char*> argv;
            for (std::string& a : args) {
                argv.push_back(a.data());
            }
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        m_out = out[0];
    }
    ~CMirtProcess() {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        if (m_out >= 0) {
            close(m_out);
        }
    }

    // The next line of output, or nothing after `timeoutMs` or at the end.
    std::optional<std::string> Line(int timeoutMs) {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (true) {
            if (size_t nl = m_buffer.find('\n'); nl != std::string::npos) {
                std::string line = m_buffer.substr(0, nl);
                m_buffer.erase(0, nl + 1);
                return line;
            }
            int left = static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now())
                    .count());
            pollfd p{m_out, POLLIN, 0};
            if (left <= 0 || poll(&p, 1, left) <= 0) {
                return std::nullopt;
            }
            char buf[512];
            ssize_t n = read(m_out, buf, sizeof buf);
            if (n <= 0) {
                return std::nullopt;
            }
            m_buffer.append(buf, static_cast<size_t>(n));
        }
    }
    // Waits for the exit; its status, or -1 after `timeoutMs` or a signal.
    int Wait(int timeoutMs) {
        for (int waited = 0; waited < timeoutMs; waited += 50) {
            int status = 0;
            if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_pid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            usleep(50000);
        }
        return -1;
    }
    void Stop() {
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            Wait(10000);
        }
    }

private:
    pid_t m_pid = -1;
    int m_out = -1;
    std::string m_buffer;
};

std::string WriteDeploy(const test::TempDir& dir, const std::string& name,
                        const test::CTrackerProcess& tracker, uint16_t listenPort) {
    std::string path = dir.File(name + ".ini");
    std::ofstream f(path);
    f << "[engine]\n"
      << "tracker_host = 127.0.0.1:" << tracker.UdpPort() << "\n"
      << "tracker_ip = 127.0.0.1\n"
      << "update_host = 127.0.0.1:1\n"
      << "agent_host = 127.0.0.1:" << tracker.TcpPort() << "\n"
      << "listen_port = " << listenPort << "\n"
      << "nat_type = 0\n"
      // Only the tracker may lead the downloader to the seeder here.
      << "lan_search = 0\n"
      << "log_file = " << dir.File(name + ".log") << "\n"
      << "log_level = 1\n";
    return path;
}

bool LogHas(const std::string& path, const std::string& text) {
    std::optional<std::string> log = platform::ReadWholeFile(path);
    return log && log->find(text) != std::string::npos;
}

TEST(TrackerTransfer, ADownloaderFindsTheSeederThroughTheTrackerAndFinishesByteIdentical) {
    test::TempDir dir;
    test::CTrackerProcess tracker;
    ASSERT_TRUE(tracker.Start());

    std::string content;
    for (int i = 0; i < 300000; ++i) {
        content += static_cast<char>((i * 131 + i / 977) & 0xFF);
    }
    const std::string source = dir.File("payload.bin");
    ASSERT_TRUE(platform::WriteFileAtomically(source, content));
    const uint16_t seedPort = static_cast<uint16_t>(20000 + getpid() % 20000);
    CMirtProcess seeder({"share", source}, dir.File("seed-home"),
                        WriteDeploy(dir, "seeder", tracker, seedPort));
    std::optional<std::string> line = seeder.Line(30000);
    ASSERT_TRUE(line);
    const std::string hash = line->substr(0, line->find(' '));
    ASSERT_EQ(hash.size(), 40u) << *line;
    // Shared at the tracker before the downloader asks.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (!LogHas(dir.File("seeder.log"), "share file successful!!!") &&
           std::chrono::steady_clock::now() < deadline) {
        usleep(50000);
    }
    ASSERT_TRUE(LogHas(dir.File("seeder.log"), "share file successful!!!"));

    const std::string dest = dir.File("got.bin");
    CMirtProcess getter({"get", hash, dest}, dir.File("get-home"),
                        WriteDeploy(dir, "getter", tracker, static_cast<uint16_t>(seedPort + 1)));
    const std::string getterLog = dir.File("getter.log");
    const std::string sourceLine = "source 127.0.0.1:" + std::to_string(seedPort);
    // Waits for the download; gives up early when the only connect attempt was refused.
    int exitCode = -1;
    int refusedFor = 0;
    for (int waited = 0; waited < 45000 && exitCode < 0; waited += 250) {
        exitCode = getter.Wait(250);
        bool refused = LogHas(getterLog, sourceLine + " not connected") &&
                       !LogHas(getterLog, sourceLine + " connecting");
        refusedFor = refused ? refusedFor + 250 : 0;
        if (refusedFor >= 3000) {
            break;
        }
    }
    seeder.Stop();
    // The tracker part: the source list named the seeder.
    ASSERT_TRUE(LogHas(getterLog, sourceLine)) << "the tracker never named the seeder";
    EXPECT_TRUE(LogHas(getterLog, sourceLine + " connecting")) << "the seeder was found but never connected";
    ASSERT_EQ(exitCode, 0);
    EXPECT_EQ(platform::ReadWholeFile(dest), content);
}

}  // namespace
}  // namespace tessali
