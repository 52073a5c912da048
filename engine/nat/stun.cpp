#include "engine/nat/stun.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <random>

#include "engine/core/engine_config.h"
#include "engine/core/engine_env.h"
#include "engine/core/engine_log.h"
#include "engine/nat/stun_message.h"
#include "engine/platform/thread.h"

namespace tessali::nat {
namespace {

constexpr int kMaxTimeouts = 7;
constexpr int kWaitMs = 300;
constexpr uint32_t kAfterSendMs = 10;

enum TestId : uint8_t { kTest1 = 1, kTest2 = 2, kTest3 = 3, kTest10 = 10, kTest11 = 11 };

std::mt19937& Random() {
    thread_local std::mt19937 gen{std::random_device{}()};
    return gen;
}

uint16_t RandomPort() {
    return static_cast<uint16_t>(std::uniform_int_distribution<int>(4096, 8191)(Random()));
}

StunTransactionId NewId(uint8_t test) {
    StunTransactionId id;
    for (uint8_t& b : id) {
        b = static_cast<uint8_t>(Random()());
    }
    id[0] = test;
    return id;
}

class Fd {
public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    ~Fd() {
        if (m_fd >= 0) {
            close(m_fd);
        }
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return m_fd; }

private:
    int m_fd;
};

void SendTo(int fd, const std::vector<uint8_t>& msg, uint32_t addr, uint16_t port) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = addr;
    to.sin_port = htons(port);
    // A lost request is the same as an unanswered one; the next time-out sends it again.
    sendto(fd, msg.data(), msg.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof(to));
    platform::SleepMs(kAfterSendMs);
}

// True when `addr` belongs to this host: a socket can be bound to it.
bool IsOwnAddress(uint32_t addr) {
    Fd fd(socket(AF_INET, SOCK_DGRAM, 0));
    if (fd.get() < 0) {
        return false;
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = addr;
    return bind(fd.get(), reinterpret_cast<const sockaddr*>(&a), sizeof(a)) == 0;
}

}  // namespace

StunServerName ParseStunServerName(std::string_view name) {
    StunServerName out;
    size_t colon = name.find(':');
    out.host = std::string(name.substr(0, colon));
    if (colon != std::string_view::npos) {
        std::string_view portText = name.substr(colon + 1);
        unsigned value = 0;
        auto [end, ec] = std::from_chars(portText.data(), portText.data() + portText.size(), value);
        if (ec == std::errc() && end == portText.data() + portText.size()) {
            if (value < 1024 || value > 65534) {
                return out;  // invalid
            }
            out.port = static_cast<uint16_t>(value);
        }
    }
    out.valid = !out.host.empty();
    return out;
}

StunServerAddress ResolveStunServer(std::string_view name) {
    StunServerName parsed = ParseStunServerName(name);
    StunServerAddress out;
    if (parsed.valid) {
        in_addr a{};
        if (parsed.host[0] >= '0' && parsed.host[0] <= '9') {
            if (inet_pton(AF_INET, parsed.host.c_str(), &a) == 1) {
                out = {true, a.s_addr, parsed.port};
            }
        } else if (uint32_t addr = core::ResolveIPv4(parsed.host); addr != 0) {
            out = {true, addr, parsed.port};
        }
    }
    if (!out.valid) {
        out = {false, htonl(INADDR_LOOPBACK), 65535};
    }
    return out;
}

int ClassifyStun(const StunObservations& seen) {
    int type;
    if (!seen.test1) {
        type = kNatUdpBlocked;
    } else if (!seen.behindNat) {
        type = seen.test2 ? kNatOpen : kNatSymmetricFirewall;
    } else if (seen.test2) {
        type = kNatFullCone;
    } else if (!seen.sameMapping) {
        type = kNatSymmetric;
    } else {
        type = seen.test3 ? kNatRestrictedCone : kNatPortRestrictedCone;
    }
    if (!seen.hairpin) {
        type |= kStunNoHairpin;
    }
    if (seen.portPreserved) {
        type |= kStunPortPreserved;
    }
    return type;
}

int OpenStunSocket(uint16_t port, uint32_t address, std::ostream& diag) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) {
        diag << "Could not create a UDP socket:" << errno << '\n';
        return -1;
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = (address == 0 || address == htonl(INADDR_LOOPBACK)) ? htonl(INADDR_ANY) : address;
    if (bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof(a)) != 0) {
        int e = errno;
        if (e == EADDRINUSE) {
            diag << "Port " << port << " for receiving UDP is in use" << '\n';
        } else if (e != EADDRNOTAVAIL) {
            diag << "Could not bind UDP receive port"
                 << "Error=" << e << " " << std::strerror(e) << '\n';
        }
        close(fd);
        return -1;
    }
    return fd;
}

CStunTester::CStunTester(std::function<uint16_t()> choosePort, std::ostream& diag)
    : m_choosePort(choosePort ? std::move(choosePort) : RandomPort), m_diag(diag) {}

int CStunTester::TestServer(const std::string& serverName) {
    return TestServer(ResolveStunServer(serverName));
}

int CStunTester::TestServer(const StunServerAddress& server) {
    m_seen = StunObservations{};
    const uint16_t port = m_choosePort();
    Fd a(OpenStunSocket(port, 0, m_diag));
    Fd b(a.get() >= 0 ? OpenStunSocket(static_cast<uint16_t>(port + 1), 0, m_diag) : -1);
    if (a.get() < 0 || b.get() < 0) {
        core::EngineLog(core::kLogDebug, "Some problem opening port/interface to send on\n");
        return kStunFailed;
    }

    // Each test keeps one transaction ID for all its retransmissions; an answer counts only when
    // it echoes that whole ID, so a stray datagram that merely starts with a test number is not
    // taken for an answer.
    const StunTransactionId id1 = NewId(kTest1), id2 = NewId(kTest2), id3 = NewId(kTest3),
                            id10 = NewId(kTest10), id11 = NewId(kTest11);
    bool answered10 = false;
    uint32_t mappedAddr = 0, changedAddr = 0;
    uint16_t mappedPort = 0;

    pollfd fds[2] = {{a.get(), POLLIN, 0}, {b.get(), POLLIN, 0}};
    int timeouts = 0;
    bool first = true;
    while (timeouts < kMaxTimeouts) {
        int r = poll(fds, 2, first ? 0 : kWaitMs);
        first = false;
        if (r < 0) {
            if (errno == EINTR) {
                continue;
            }
            int e = errno;
            core::EngineLog(core::kLogDebug, "Error %d %s in select\n", e, std::strerror(e));
            return kStunFailed;
        }
        if (r == 0) {
            ++timeouts;
            if (!m_seen.test1) {
                SendTo(a.get(), EncodeBindingRequest(id1, 0), server.address, server.port);
            }
            if (m_seen.test1 && !answered10 && changedAddr != 0) {
                SendTo(a.get(), EncodeBindingRequest(id10, 0), changedAddr, server.port);
            }
            if (!m_seen.test2) {
                SendTo(b.get(), EncodeBindingRequest(id2, kChangeIpFlag | kChangePortFlag), server.address,
                       server.port);
            }
            if (!m_seen.test3) {
                SendTo(b.get(), EncodeBindingRequest(id3, kChangePortFlag), server.address, server.port);
            }
            if (m_seen.test1 && !m_seen.hairpin) {
                SendTo(a.get(), EncodeBindingRequest(id11, 0), mappedAddr, mappedPort);
            }
            continue;
        }
        for (pollfd& p : fds) {
            if (!(p.revents & POLLIN)) {
                continue;
            }
            uint8_t buf[2048];
            ssize_t n = recv(p.fd, buf, sizeof(buf), 0);
            StunMessage msg;
            if (n <= 0 || !ParseStunMessage({buf, static_cast<size_t>(n)}, msg, m_diag)) {
                continue;
            }
            if (msg.id == id1 && !m_seen.test1 && msg.mapped.present) {
                // Without a mapped address there is nothing to classify, so such an answer is ignored.
                m_seen.test1 = true;
                mappedAddr = msg.mapped.address;
                mappedPort = msg.mapped.port;
                m_seen.portPreserved = mappedPort == port;
                changedAddr = msg.changed.present ? msg.changed.address : 0;
                timeouts = 0;
            } else if (msg.id == id2) {
                m_seen.test2 = true;
            } else if (msg.id == id3) {
                m_seen.test3 = true;
            } else if (msg.id == id10 && !answered10 && msg.mapped.present) {
                answered10 = true;
                m_seen.sameMapping = msg.mapped.address == mappedAddr && msg.mapped.port == mappedPort;
            } else if (msg.id == id11) {
                m_seen.hairpin = true;
            }
        }
    }
    m_seen.behindNat = !(m_seen.test1 && IsOwnAddress(mappedAddr));
    return ClassifyStun(m_seen);
}

int DetectNatType(const std::string& primary, const std::string& fallback,
                  const std::function<int(const std::string&)>& testServer) {
    int type = testServer(primary) & 7;
    if (type == kNatUdpBlocked || type == kNatFailure) {
        type = testServer(fallback) & 7;
    }
    core::Host().natType = static_cast<uint32_t>(type);
    return type;
}

int DetectNatType() {
    CStunTester tester;
    return DetectNatType(core::Config().stunPrimary, core::Config().stunFallback,
                         [&tester](const std::string& name) { return tester.TestServer(name); });
}

}  // namespace tessali::nat
