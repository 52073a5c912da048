// A real opentracker on loopback for tests: HTTP and UDP on one port, a whitelist of info hashes,
// started as "nobody" in a chroot folder of its own, stopped when the object goes away.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "common/temp_dir.h"
#include "sources/http_source_test_util.h"

namespace tessali::test {

inline uint16_t FreeTcpUdpPort() {
    for (int attempt = 0; attempt < 20; ++attempt) {
        int t = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(t, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        socklen_t len = sizeof sa;
        ::getsockname(t, reinterpret_cast<sockaddr*>(&sa), &len);
        int u = ::socket(AF_INET, SOCK_DGRAM, 0);
        bool udpFree = ::bind(u, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
        ::close(t);
        ::close(u);
        if (udpFree) {
            return ntohs(sa.sin_port);
        }
    }
    return 0;
}

// opentracker refuses to run as root and chroots into its folder: it gets a folder readable by
// "nobody" with the whitelist inside.
class COpentracker {
public:
    COpentracker(uint16_t port, const std::string& whitelistHex) : m_port(port) {
        ::chmod(m_dir.Path().c_str(), 0755);
        test::WriteFile(m_dir.File("whitelist"), whitelistHex + "\n");
        ::chmod(m_dir.File("whitelist").c_str(), 0644);
        std::string portText = std::to_string(m_port);
        m_pid = ::fork();
        if (m_pid == 0) {
            ::execlp("opentracker", "opentracker", "-i", "127.0.0.1", "-p", portText.c_str(), "-P",
                     portText.c_str(), "-d", m_dir.Path().c_str(), "-u", "nobody", "-w", "whitelist",
                     static_cast<char*>(nullptr));
            ::_exit(127);
        }
    }
    ~COpentracker() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGTERM);
            ::waitpid(m_pid, nullptr, 0);
        }
    }
    static bool Available() { return ::system("command -v opentracker >/dev/null 2>&1") == 0; }
    bool WaitReady() {
        return test::WaitUntil([&] {
            int s = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in sa{};
            sa.sin_family = AF_INET;
            sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            sa.sin_port = htons(m_port);
            bool ok = ::connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
            ::close(s);
            return ok;
        });
    }
    std::string HttpUrl() const { return "http://127.0.0.1:" + std::to_string(m_port) + "/announce"; }
    std::string UdpUrl() const { return "udp://127.0.0.1:" + std::to_string(m_port) + "/announce"; }

private:
    test::TempDir m_dir;
    uint16_t m_port = 0;
    pid_t m_pid = -1;
};

}  // namespace tessali::test
