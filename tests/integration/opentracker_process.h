// A real opentracker on loopback for tests: HTTP and UDP on one port, a whitelist of info hashes,
// started as "nobody" in a chroot folder of its own, stopped when the object goes away.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "common/child_process.h"
#include "common/ports.h"
#include "common/temp_dir.h"
#include "common/wait_until.h"

namespace tessali::test {

// opentracker refuses to run as root and chroots into its folder: it gets a folder readable by
// "nobody" with the whitelist inside.
class COpentracker {
public:
    COpentracker(uint16_t port, const std::string& whitelistHex) : m_port(port), m_hashHex(whitelistHex) {
        ::chmod(m_dir.Path().c_str(), 0755);
        test::WriteFile(m_dir.File("whitelist"), whitelistHex + "\n");
        ::chmod(m_dir.File("whitelist").c_str(), 0644);
        std::string portText = std::to_string(m_port);
        m_process.Start("opentracker", {"-i", "127.0.0.1", "-p", portText, "-P", portText, "-d", m_dir.Path(),
                                        "-u", "nobody", "-w", "whitelist"});
    }
    static bool Available() { return ::system("command -v opentracker >/dev/null 2>&1") == 0; }
    // Listening is not readiness: opentracker opens its ports before its whitelist is loaded, and
    // until then it refuses every announce. Ready means an announce of the whitelisted hash is
    // accepted; the probe peer then leaves (event=stopped) so no test sees it in a peer list.
    // False at once when opentracker exited (its port was taken between choosing and binding).
    bool WaitReady() {
        return test::WaitUntil(
                   [&] {
                       if (!m_process.Running()) {
                           m_exited = true;
                           return true;
                       }
                       return Get(kProbe) && Get(std::string(kProbe) + "&event=stopped");
                   },
                   30000) &&
               !m_exited;
    }
    std::string HttpUrl() const { return "http://127.0.0.1:" + std::to_string(m_port) + "/announce"; }
    std::string UdpUrl() const { return "udp://127.0.0.1:" + std::to_string(m_port) + "/announce"; }

private:
    static constexpr const char* kProbe =
        "peer_id=-PROBE0-readiness000&port=1&uploaded=0&downloaded=0&left=1&compact=1";

    // One announce of the whitelisted hash; true when opentracker accepted it.
    bool Get(const std::string& query) {
        int s = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sa.sin_port = htons(m_port);
        timeval limit{2, 0};
        ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        std::string reply;
        if (::connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) {
            std::string hash;
            for (size_t i = 0; i + 1 < m_hashHex.size(); i += 2) {
                hash += "%" + m_hashHex.substr(i, 2);
            }
            std::string request = "GET /announce?info_hash=" + hash + "&" + query +
                                  " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
            if (::send(s, request.data(), request.size(), MSG_NOSIGNAL) ==
                static_cast<ssize_t>(request.size())) {
                char buf[1024];
                ssize_t n;
                while ((n = ::recv(s, buf, sizeof buf, 0)) > 0 && reply.size() < 4096) {
                    reply.append(buf, static_cast<size_t>(n));
                }
            }
        }
        ::close(s);
        return reply.starts_with("HTTP/1.1 200") && reply.find("failure reason") == std::string::npos;
    }

    test::TempDir m_dir;
    uint16_t m_port = 0;
    std::string m_hashHex;
    CChildProcess m_process;  // after m_dir: stopped before its folder goes
    bool m_exited = false;
};

}  // namespace tessali::test
