// Test helpers for the mirt-tracker integration tests: the real server started as a child process
// on loopback with free ports, and small UDP and TCP clients that speak the tracker messages.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "common/child_process.h"
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

    // Its stderr goes to `stderrPath`; false when it did not come up listening.
    bool Start(const std::string& stderrPath = "/dev/null") {
        std::vector<std::string> args = {"--udp-port", "0", "--tcp-port", "0", "--bind", "127.0.0.1"};
        args.insert(args.end(), m_args.begin(), m_args.end());
        m_process.SetErrorFile(stderrPath);
        if (!m_process.Start(TESSALI_BINARY_DIR "/tools/mirt-tracker", args)) {
            return false;
        }
        std::string line = m_process.WaitLine("listening udp ", 10);
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
        if (!m_process.Running()) {
            return -1;
        }
        m_process.Signal(sig);
        int status = m_process.Wait(30);
        if (status < 0) {
            m_process.KillHard();
        }
        return status >= 0 && status < 128 ? status : -1;
    }

    uint16_t UdpPort() const { return m_udpPort; }
    uint16_t TcpPort() const { return m_tcpPort; }

private:
    std::vector<std::string> m_args;
    CChildProcess m_process;
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
