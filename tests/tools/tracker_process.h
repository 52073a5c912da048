// Test helpers for the mirt-tracker integration tests: the real server started as a child process
// on loopback with free ports, and small UDP and TCP clients that speak the tracker messages.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "engine/sources/tracker_messages.h"

namespace tessali::test {

using Bytes = std::vector<uint8_t>;

inline uint32_t Loopback(int last = 1) {
    return htonl(0x7F000000u | static_cast<uint32_t>(last));
}

// The server process. Start() waits for its "listening udp PORT tcp PORT" line.
class CTrackerProcess {
public:
    explicit CTrackerProcess(std::vector<std::string> extraArgs = {}) : m_args(std::move(extraArgs)) {}
    ~CTrackerProcess() { Stop(SIGKILL); }

    bool Start(const std::string& stderrPath = "/dev/null") {
        int out[2];
        if (pipe(out) != 0) {
            return false;
        }
        std::vector<std::string> args = {TESSALI_BINARY_DIR "/tools/mirt-tracker",
                                         "--udp-port",
                                         "0",
                                         "--tcp-port",
                                         "0",
                                         "--bind",
                                         "127.0.0.1"};
        args.insert(args.end(), m_args.begin(), m_args.end());
        m_pid = fork();
        if (m_pid == 0) {
            dup2(out[1], 1);
            int err = open(stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (err >= 0) {
                dup2(err, 2);
            }
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
        std::string line;
        char c;
        pollfd p{out[0], POLLIN, 0};
        while (poll(&p, 1, 10000) > 0 && read(out[0], &c, 1) == 1 && c != '\n') {
            line.push_back(c);
        }
        close(out[0]);
        unsigned udp = 0;
        unsigned tcp = 0;
        if (std::sscanf(line.c_str(), "listening udp %u tcp %u", &udp, &tcp) != 2 || udp == 0 || tcp == 0) {
            return false;
        }
        m_udpPort = static_cast<uint16_t>(udp);
        m_tcpPort = static_cast<uint16_t>(tcp);
        return true;
    }

    // Sends `sig` and waits for the process; its exit status (-1 when it died by a signal).
    int Stop(int sig = SIGTERM) {
        if (m_pid <= 0) {
            return -1;
        }
        kill(m_pid, sig);
        int status = 0;
        waitpid(m_pid, &status, 0);
        m_pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    uint16_t UdpPort() const { return m_udpPort; }
    uint16_t TcpPort() const { return m_tcpPort; }

private:
    std::vector<std::string> m_args;
    pid_t m_pid = -1;
    uint16_t m_udpPort = 0;
    uint16_t m_tcpPort = 0;
};

// A UDP client on 127.0.0.<last>, as an engine's tracker socket would be.
class CUdpClient {
public:
    explicit CUdpClient(uint16_t serverPort, int last = 1) : m_serverPort(serverPort) {
        m_fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = Loopback(last);
        bind(m_fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        socklen_t len = sizeof sa;
        getsockname(m_fd, reinterpret_cast<sockaddr*>(&sa), &len);
        m_port = sa.sin_port;
    }
    ~CUdpClient() { close(m_fd); }
    CUdpClient(const CUdpClient&) = delete;
    CUdpClient& operator=(const CUdpClient&) = delete;

    uint16_t Port() const { return m_port; }  // network order

    void Send(const Bytes& b) const {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = Loopback();
        sa.sin_port = htons(m_serverPort);
        sendto(m_fd, b.data(), b.size(), 0, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    }

    std::optional<Bytes> Receive(int timeoutMs = 3000) const {
        pollfd p{m_fd, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0) {
            return std::nullopt;
        }
        Bytes b(2048);
        ssize_t n = recv(m_fd, b.data(), b.size(), 0);
        if (n < 0) {
            return std::nullopt;
        }
        b.resize(static_cast<size_t>(n));
        return b;
    }

    // Sends `request` and decodes the next datagram as `T`.
    template <typename T>
    std::optional<T> Ask(const Bytes& request) const {
        Send(request);
        return Next<T>();
    }

    template <typename T>
    std::optional<T> Next(int timeoutMs = 3000) const {
        std::optional<Bytes> b = Receive(timeoutMs);
        T out;
        if (!b || !sources::Decode(*b, out)) {
            return std::nullopt;
        }
        return out;
    }

private:
    int m_fd = -1;
    uint16_t m_port = 0;
    uint16_t m_serverPort;
};

// An agent relay client over TCP.
class CTcpClient {
public:
    explicit CTcpClient(uint16_t serverPort) {
        m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = Loopback();
        sa.sin_port = htons(serverPort);
        m_connected = connect(m_fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
    }
    ~CTcpClient() { close(m_fd); }
    CTcpClient(const CTcpClient&) = delete;
    CTcpClient& operator=(const CTcpClient&) = delete;

    bool Connected() const { return m_connected; }
    void Send(const Bytes& b) const { send(m_fd, b.data(), b.size(), MSG_NOSIGNAL); }

    // The next whole message from the stream; nothing on time-out, close or a broken stream.
    std::optional<Bytes> Receive(int timeoutMs = 3000) {
        while (m_ready.empty()) {
            pollfd p{m_fd, POLLIN, 0};
            if (poll(&p, 1, timeoutMs) <= 0) {
                return std::nullopt;
            }
            uint8_t buf[1024];
            ssize_t n = recv(m_fd, buf, sizeof buf, 0);
            if (n <= 0) {
                m_closed = true;
                return std::nullopt;
            }
            if (!m_reader.Feed(
                    std::span<const uint8_t>(buf, static_cast<size_t>(n)),
                    [&](std::span<const uint8_t> m) { m_ready.emplace_back(m.begin(), m.end()); })) {
                return std::nullopt;
            }
        }
        Bytes b = m_ready.front();
        m_ready.erase(m_ready.begin());
        return b;
    }

    template <typename T>
    std::optional<T> Next(int timeoutMs = 3000) {
        std::optional<Bytes> b = Receive(timeoutMs);
        T out;
        if (!b || !sources::Decode(*b, out)) {
            return std::nullopt;
        }
        return out;
    }

    // True when the server closes the connection within the time-out.
    bool ClosedByServer(int timeoutMs = 3000) {
        while (!m_closed && Receive(timeoutMs)) {
        }
        return m_closed;
    }

private:
    int m_fd = -1;
    bool m_connected = false;
    bool m_closed = false;
    sources::CTrackerStreamReader m_reader;
    std::vector<Bytes> m_ready;
};

}  // namespace tessali::test
