#include "common/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

#include "common/wait_until.h"

namespace tessali::test {
namespace {

using Clock = std::chrono::steady_clock;

int StatusCode(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string ReadAllOf(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The child and what it started (its process group); the child alone while it has not made
// its group yet.
void SignalGroup(pid_t pid, int sig) {
    if (::kill(-pid, sig) != 0) {
        ::kill(pid, sig);
    }
}

}  // namespace

pid_t SpawnProcess(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                   const std::string& outPath, const std::string& errPath) {
    if (argv.empty()) {
        return -1;
    }
    // Everything the child needs is made before fork: only async-signal-safe calls after it.
    std::vector<std::string> args = argv;
    std::vector<char*> cargs;
    for (std::string& a : args) {
        cargs.push_back(a.data());
    }
    cargs.push_back(nullptr);
    std::vector<std::string> vars;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string var = *e;
        if (!env.contains(var.substr(0, var.find('=')))) {
            vars.push_back(std::move(var));
        }
    }
    for (const auto& [name, value] : env) {
        vars.push_back(name + "=" + value);
    }
    std::vector<char*> cvars;
    for (std::string& v : vars) {
        cvars.push_back(v.data());
    }
    cvars.push_back(nullptr);
    pid_t pid = ::fork();
    if (pid != 0) {
        return pid;
    }
    ::setpgid(0, 0);
    if (!outPath.empty()) {
        int fd = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0) {
            ::dup2(fd, 1);
            ::close(fd);
        }
    }
    if (!errPath.empty() && errPath == outPath) {
        ::dup2(1, 2);
    } else if (!errPath.empty()) {
        int fd = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (fd >= 0) {
            ::dup2(fd, 2);
            ::close(fd);
        }
    }
    ::execvpe(cargs[0], cargs.data(), cvars.data());
    ::_exit(127);
}

int StopProcess(pid_t pid, int graceSeconds) {
    if (pid <= 0) {
        return -1;
    }
    SignalGroup(pid, SIGTERM);
    int status = 0;
    pid_t reaped = 0;
    WaitUntil([&] { return (reaped = ::waitpid(pid, &status, WNOHANG)) != 0; }, graceSeconds * 1000, 10);
    if (reaped == 0) {
        SignalGroup(pid, SIGKILL);
        reaped = ::waitpid(pid, &status, 0);
    }
    return reaped == pid ? StatusCode(status) : -1;
}

CChildProcess::CChildProcess(std::string dir) : m_dir(std::move(dir)) {
    if (m_dir.empty()) {
        m_ownDir = std::make_unique<TempDir>();
        m_dir = m_ownDir->Path();
    }
    if (m_dir.back() != '/') {
        m_dir += '/';
    }
    std::filesystem::create_directories(m_dir);
    m_err = m_dir + "err.txt";
}

CChildProcess::~CChildProcess() {
    Stop();
}

bool CChildProcess::Start(const std::string& program, std::vector<std::string> args,
                          const std::map<std::string, std::string>& env) {
    KillHard();
    m_out = m_dir + "out." + std::to_string(++m_runs) + ".txt";
    m_status = -1;
    m_peakKb = 0;
    m_nextLine = 0;
    args.insert(args.begin(), program);
    m_pid = SpawnProcess(args, env, m_out, m_err);
    return m_pid > 0;
}

std::vector<std::string> CChildProcess::Lines() {
    const bool ended = Exited();
    std::string text = Output();
    std::vector<std::string> lines;
    size_t at = 0;
    for (size_t nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1) {
        lines.push_back(text.substr(at, nl - at));
    }
    if (ended && at < text.size()) {
        lines.push_back(text.substr(at));
    }
    return lines;
}

std::string CChildProcess::Output() const {
    return m_out.empty() ? std::string() : ReadAllOf(m_out);
}

std::string CChildProcess::Errors() const {
    return ReadAllOf(m_err);
}

std::string CChildProcess::WaitLine(const std::string& text, int seconds) {
    auto end = Clock::now() + std::chrono::seconds(seconds);
    while (true) {
        // Looked at before the lines are read, so that the last lines of an ended run count.
        bool over = Exited() || Clock::now() >= end;
        for (const std::string& line : Lines()) {
            if (line.find(text) != std::string::npos) {
                return line;
            }
        }
        if (over) {
            return {};
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

std::optional<std::string> CChildProcess::NextLine(int timeoutMs) {
    std::optional<std::string> next;
    WaitUntil(
        [&] {
            bool ended = Exited();
            std::vector<std::string> lines = Lines();
            if (m_nextLine < lines.size()) {
                next = lines[m_nextLine++];
                return true;
            }
            return ended;
        },
        timeoutMs, 10);
    return next;
}

int CChildProcess::Wait(int seconds) {
    WaitUntil([&] { return Exited(); }, seconds * 1000, 10);
    return Exited() ? m_status : -1;
}

bool CChildProcess::Running() {
    return !Exited();
}

void CChildProcess::Signal(int sig) {
    if (m_pid > 0) {
        ::kill(m_pid, sig);
    }
}

void CChildProcess::Stop() {
    if (m_pid > 0 && !Exited()) {
        SignalGroup(m_pid, SIGTERM);
        if (Wait(10) < 0) {
            KillHard();
        }
    }
}

void CChildProcess::KillHard() {
    if (m_pid > 0 && !Exited()) {
        SignalGroup(m_pid, SIGKILL);
        while (!Exited()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
}

bool CChildProcess::Exited() {
    if (m_pid <= 0) {
        return true;
    }
    m_peakKb = std::max(m_peakKb, StatusKb("VmHWM:"));
    int status = 0;
    rusage usage{};
    if (::wait4(m_pid, &status, WNOHANG, &usage) == m_pid) {
        m_status = StatusCode(status);
        m_peakKb = std::max(m_peakKb, usage.ru_maxrss);
        m_pid = -1;
        return true;
    }
    return false;
}

long CChildProcess::StatusKb(const std::string& key) const {
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

long CChildProcess::RssKb() const {
    return StatusKb("VmRSS:");
}

long CChildProcess::PeakRssKb() {
    Exited();
    return m_peakKb;
}

double CChildProcess::CpuSeconds() const {
    if (m_pid <= 0) {
        return 0;
    }
    std::string stat = ReadAllOf("/proc/" + std::to_string(m_pid) + "/stat");
    size_t at = stat.rfind(')');
    if (at == std::string::npos) {
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
    return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

ProgramRun RunProgram(const std::string& program, const std::vector<std::string>& args,
                      const std::map<std::string, std::string>& env, bool withErrors, int timeoutSeconds) {
    TempDir dir;
    std::vector<std::string> argv = args;
    argv.insert(argv.begin(), program);
    const std::string out = dir.File("out.txt");
    pid_t pid = SpawnProcess(argv, env, out, withErrors ? out : dir.File("err.txt"));
    ProgramRun run;
    if (pid <= 0) {
        return run;
    }
    int status = 0;
    bool ended =
        WaitUntil([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, timeoutSeconds * 1000, 10);
    if (ended) {
        run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    } else {
        StopProcess(pid, 0);
    }
    run.out = ReadAllOf(out);
    return run;
}

}  // namespace tessali::test
