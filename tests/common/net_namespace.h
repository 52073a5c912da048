// Network namespaces for integration tests that need several hosts (a router and its LAN, a
// STUN server with two addresses): created with `ip netns add` and deleted, with every process
// the test started in them, when the object goes. Names carry the test process's id; namespaces
// left behind by a test process that died are removed before new ones are made.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace tessali::test {

// Why namespaces cannot be made here, or "" when they can (tests skip with the reason).
std::string NetNamespaceUnavailableReason();

class NetNamespace {
public:
    // Creates the namespace "tsl<pid>-<tag>" with its loopback up; Ok() tells whether it worked.
    explicit NetNamespace(const std::string& tag);
    ~NetNamespace();
    NetNamespace(const NetNamespace&) = delete;
    NetNamespace& operator=(const NetNamespace&) = delete;

    bool Ok() const { return m_ok; }
    const std::string& Name() const { return m_name; }

    // Runs `command` with sh inside the namespace; true when it exits with status 0.
    bool Run(const std::string& command) const;
    // The same, returning what it printed (stdout and stderr) and its status.
    std::string Output(const std::string& command, int* status = nullptr) const;
    // Starts a long-running program inside, output to `logFile`; ended at destruction.
    pid_t Spawn(const std::vector<std::string>& argv, const std::string& logFile);
    void Stop(pid_t pid);
    // Runs `work` on a thread that has entered the namespace; sockets it opens stay there.
    // False when the namespace could not be entered.
    bool RunInside(const std::function<void()>& work) const;

private:
    std::string m_name;
    bool m_ok = false;
    std::vector<pid_t> m_children;
};

// Runs a host command (for `ip link add ... netns ...` spanning namespaces); true on status 0.
bool RunHostCommand(const std::string& command);

}  // namespace tessali::test
