#include "net_namespace.h"

#include "common/child_process.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <thread>

namespace tessali::test {
namespace {

constexpr const char* kPrefix = "tsl";

std::string Capture(const std::string& command, int* status) {
    ProgramRun run = RunProgram("/bin/sh", {"-c", command}, {}, true);
    if (status) {
        *status = run.exitCode;
    }
    return run.out;
}

void KillAndReap(pid_t pid) {
    StopProcess(pid, 1);
}

// Namespaces named after a test process that no longer runs, with what still runs in them.
void RemoveStaleNamespaces() {
    std::istringstream list(Capture("ip netns list", nullptr));
    std::string line;
    while (std::getline(list, line)) {
        std::string name = line.substr(0, line.find(' '));
        if (name.rfind(kPrefix, 0) != 0) {
            continue;
        }
        pid_t owner = static_cast<pid_t>(std::atoi(name.c_str() + 3));
        if (owner <= 0 || kill(owner, 0) == 0 || errno != ESRCH) {
            continue;
        }
        std::istringstream pids(Capture("ip netns pids " + name, nullptr));
        pid_t pid;
        while (pids >> pid) {
            kill(pid, SIGKILL);
        }
        Capture("ip netns del " + name, nullptr);
    }
}

}  // namespace

std::string NetNamespaceUnavailableReason() {
    if (geteuid() != 0) {
        return "network namespaces need root";
    }
    int status = 0;
    std::string probe = std::string(kPrefix) + std::to_string(getpid()) + "-probe";
    std::string out = Capture("ip netns add " + probe, &status);
    if (status != 0) {
        return "ip netns add failed: " + out;
    }
    Capture("ip netns del " + probe, nullptr);
    return "";
}

NetNamespace::NetNamespace(const std::string& tag) {
    RemoveStaleNamespaces();
    m_name = std::string(kPrefix) + std::to_string(getpid()) + "-" + tag;
    Capture("ip netns del " + m_name, nullptr);
    int status = 0;
    Capture("ip netns add " + m_name, &status);
    m_ok = status == 0 && Run("ip link set lo up");
}

NetNamespace::~NetNamespace() {
    for (pid_t pid : m_children) {
        KillAndReap(pid);
    }
    if (m_ok) {
        Capture("ip netns del " + m_name, nullptr);
    }
}

bool NetNamespace::Run(const std::string& command) const {
    int status = 0;
    Output(command, &status);
    return status == 0;
}

std::string NetNamespace::Output(const std::string& command, int* status) const {
    std::string quoted;
    for (char c : command) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    return Capture("ip netns exec " + m_name + " sh -c '" + quoted + "'", status);
}

pid_t NetNamespace::Spawn(const std::vector<std::string>& argv, const std::string& logFile) {
    std::vector<std::string> inside = {"ip", "netns", "exec", m_name};
    inside.insert(inside.end(), argv.begin(), argv.end());
    pid_t pid = SpawnProcess(inside, {}, logFile, logFile);
    if (pid > 0) {
        m_children.push_back(pid);
    }
    return pid;
}

void NetNamespace::Stop(pid_t pid) {
    for (auto it = m_children.begin(); it != m_children.end(); ++it) {
        if (*it == pid) {
            KillAndReap(pid);
            m_children.erase(it);
            return;
        }
    }
}

bool NetNamespace::RunInside(const std::function<void()>& work) const {
    bool entered = false;
    std::string nsPath = "/var/run/netns/" + m_name;
    std::thread t([&] {
        int ns = open(nsPath.c_str(), O_RDONLY);
        if (ns < 0) {
            return;
        }
        entered = setns(ns, CLONE_NEWNET) == 0;
        close(ns);
        if (entered) {
            work();
        }
    });
    t.join();
    return entered;
}

bool RunHostCommand(const std::string& command) {
    int status = 0;
    Capture(command, &status);
    return status == 0;
}

}  // namespace tessali::test
