// mirt-tracker: a reference server of the engine tracker protocol, for tests, the demo and an
// operator's trial run. One thread: a poll() loop over the UDP socket, the agent relay's TCP
// listener and its connections, with all state in memory (see --help for the choices it makes).

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "engine/platform/file.h"
#include "engine/platform/tick.h"
#include "engine/sources/agent_list.h"
#include "engine/sources/tracker_messages.h"
#include "tools/mirt-tracker/tracker_state.h"

namespace tessali::mirt_tracker {
namespace {

using namespace tessali::sources;

volatile sig_atomic_t g_stop = 0;

void OnStopSignal(int) {
    g_stop = 1;
}

constexpr const char* kHelp =
    "usage: mirt-tracker [OPTIONS]\n"
    "\n"
    "A tracker server of the engine tracker protocol with its state in memory: engines log in,\n"
    "keep their login alive, share and stop sharing tasks, ask for source lists and ask to be\n"
    "relayed to peers behind NAT. The agent relay (TCP) is served by this same process.\n"
    "\n"
    "options:\n"
    "  --udp-port N         UDP port of the tracker protocol (default 6970; 0 picks a free port)\n"
    "  --tcp-port N         TCP port of the agent relay (default 6971; 0 picks a free port)\n"
    "  --bind ADDR          IPv4 address to listen on (default 0.0.0.0)\n"
    "  --expire SECONDS     forget a login silent for this long (default 180)\n"
    "  --max-sources N      entries in one source list (default 50, at most 73)\n"
    "  --max-peers N        logins held at once (default 100000)\n"
    "  --redirect ADDR[:PORT]  answer every login with \"redirect\" to ADDR (PORT in the reply's\n"
    "                       port field, 0 when absent) and record nothing\n"
    "  --agent-list PATH    write an agent list file (the /agent.cfg an update server serves)\n"
    "                       naming this server's relay address and TCP port, then run\n"
    "  -v                   log every message received and sent on stderr\n"
    "  -h, --help           this text\n"
    "\n"
    "Once both sockets listen it prints \"listening udp PORT tcp PORT\" and runs until\n"
    "SIGINT or SIGTERM.\n"
    "\n"
    "How it answers:\n"
    "  login (769)       peer ids are keyed by their last 12 characters, so a new engine version\n"
    "                    is the same peer. An id that is not \"MIRT\" + 4 digits + 12 upper-case\n"
    "                    hex digits with a valid check code gets result 2 (refused). A full peer\n"
    "                    table gets result 0. Otherwise result 1, with the sender's address and\n"
    "                    UDP port as seen (port field at offset 12; 0 over TCP). Logging in again\n"
    "                    replaces address, ports and NAT type and keeps the peer's shares.\n"
    "  keep-alive (771)  status 0 when logged in, 2 when unknown (the engine logs in again).\n"
    "  logout (770)      forgets the peer and its shares; no answer.\n"
    "  share (772)       result 0 added, 1 already shared, 2 not logged in, 3 too many shares.\n"
    "  stop share (773)  always answered with the hash.\n"
    "  sources (774)     result 2 when not logged in, else 0 with up to --max-sources other\n"
    "                    sharers: reachable ones (NAT type 0) first, rotating between askers.\n"
    "                    Each entry's port is the peer's listening port when its NAT type is 0,\n"
    "                    else the UDP port its tracker messages come from.\n"
    "  relay (785)       sends the named peer a 786 notice (sequence 0xFFFFFFFF) with the\n"
    "                    asker's id, NAT type and address; the port is its listening port when\n"
    "                    reachable, else the source port of the relay datagram itself. The notice\n"
    "                    goes over the peer's open relay connection if it has one, else by UDP.\n"
    "                    The asker gets a 785 reply: result 0 sent, 1 peer unknown, 2 asker not\n"
    "                    logged in.\n"
    "  Requests naming a logged-in id count only from the address it logged in from. Messages\n"
    "  that do not decode are dropped unanswered. A relay stream whose length field is below 8\n"
    "  or above 1600 is closed; so is one idle for 300 s.\n";

struct Options {
    uint16_t udpPort = 6970;
    uint16_t tcpPort = 6971;
    uint32_t bindAddr = INADDR_ANY;  // network order
    bool verbose = false;
    std::string agentList;
    TrackerOptions tracker;
};

bool ParseUint(const std::string& text, unsigned long max, unsigned long& out) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 10) {
        return false;
    }
    out = std::stoul(text);
    return out <= max;
}

bool ParseAddr(const std::string& text, uint32_t& out) {
    in_addr a{};
    if (inet_pton(AF_INET, text.c_str(), &a) != 1) {
        return false;
    }
    out = a.s_addr;
    return true;
}

// 0 = run, 1 = help printed, 2 = bad arguments.
int ParseArgs(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](std::string& v) {
            if (i + 1 >= argc) {
                return false;
            }
            v = argv[++i];
            return true;
        };
        std::string v;
        unsigned long n = 0;
        if (a == "-h" || a == "--help") {
            std::fputs(kHelp, stdout);
            return 1;
        } else if (a == "-v") {
            o.verbose = true;
        } else if (a == "--udp-port" && value(v) && ParseUint(v, 65535, n)) {
            o.udpPort = static_cast<uint16_t>(n);
        } else if (a == "--tcp-port" && value(v) && ParseUint(v, 65535, n)) {
            o.tcpPort = static_cast<uint16_t>(n);
        } else if (a == "--bind" && value(v) && ParseAddr(v, o.bindAddr)) {
        } else if (a == "--expire" && value(v) && ParseUint(v, 86400, n) && n > 0) {
            o.tracker.expireMs = static_cast<uint32_t>(n * 1000);
        } else if (a == "--max-sources" && value(v) && ParseUint(v, kMaxSourceEntries, n)) {
            o.tracker.maxSources = n;
        } else if (a == "--max-peers" && value(v) && ParseUint(v, 10000000, n) && n > 0) {
            o.tracker.maxPeers = n;
        } else if (a == "--agent-list" && value(v)) {
            o.agentList = v;
        } else if (a == "--redirect" && value(v)) {
            std::string host = v.substr(0, v.find(':'));
            unsigned long port = 0;
            uint32_t addr = 0;
            if (!ParseAddr(host, addr) ||
                (v.find(':') != std::string::npos && !ParseUint(v.substr(v.find(':') + 1), 65535, port))) {
                std::fprintf(stderr, "mirt-tracker: bad --redirect %s\n", v.c_str());
                return 2;
            }
            o.tracker.redirect = std::make_pair(addr, htons(static_cast<uint16_t>(port)));
        } else {
            std::fprintf(stderr, "mirt-tracker: bad argument %s (see --help)\n", a.c_str());
            return 2;
        }
    }
    return 0;
}

std::string EndpointText(uint32_t addr, uint16_t port) {
    return AddrText(addr) + ":" + std::to_string(ntohs(port));
}

void SetNonBlocking(int fd) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

int OpenSocket(int type, uint32_t addr, uint16_t port, uint16_t& boundPort) {
    int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    int one = 1;
    if (type == SOCK_STREAM) {
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    } else {
        int size = 1 << 20;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    }
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = addr;
    sa.sin_port = htons(port);
    if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
        (type == SOCK_STREAM && listen(fd, 64) != 0)) {
        close(fd);
        return -1;
    }
    socklen_t len = sizeof sa;
    getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    boundPort = ntohs(sa.sin_port);
    SetNonBlocking(fd);
    return fd;
}

// One agent relay connection.
struct Relay {
    int fd = -1;
    uint32_t addr = 0;
    uint16_t port = 0;
    CTrackerStreamReader reader;
    std::vector<uint8_t> out;
    platform::Tick lastIn = 0;
    bool closing = false;
};

constexpr size_t kMaxRelays = 1024;
constexpr size_t kMaxRelayBacklog = 256 * 1024;
constexpr uint32_t kRelayIdleMs = 300000;

class CServer {
public:
    CServer(const Options& o, int udp, int tcp) : m_opt(o), m_udp(udp), m_tcp(tcp), m_state(o.tracker) {}

    void Run() {
        platform::Tick lastExpire = platform::GetTick();
        while (!g_stop) {
            std::vector<pollfd> fds;
            fds.push_back({m_udp, POLLIN, 0});
            fds.push_back({m_tcp, POLLIN, 0});
            std::vector<int> ids;
            for (auto& [id, r] : m_relays) {
                fds.push_back({r.fd, static_cast<short>(POLLIN | (r.out.empty() ? 0 : POLLOUT)), 0});
                ids.push_back(id);
            }
            int n = poll(fds.data(), fds.size(), 500);
            if (n < 0 && errno != EINTR) {
                std::perror("mirt-tracker: poll");
                return;
            }
            platform::Tick now = platform::GetTick();
            if (n > 0) {
                if (fds[0].revents & POLLIN) {
                    ReadUdp(now);
                }
                if (fds[1].revents & POLLIN) {
                    Accept(now);
                }
                for (size_t i = 0; i < ids.size(); ++i) {
                    auto it = m_relays.find(ids[i]);
                    if (it == m_relays.end()) {
                        continue;
                    }
                    if (fds[i + 2].revents & (POLLIN | POLLHUP | POLLERR)) {
                        ReadRelay(ids[i], it->second, now);
                    }
                    if (fds[i + 2].revents & POLLOUT) {
                        Flush(it->second);
                    }
                }
            }
            for (auto it = m_relays.begin(); it != m_relays.end();) {
                Relay& r = it->second;
                if (platform::TickElapsed(now, r.lastIn) > kRelayIdleMs) {
                    r.closing = true;
                }
                if (r.closing) {
                    Log("tcp %s closed", EndpointText(r.addr, r.port).c_str());
                    close(r.fd);
                    m_state.ConnectionClosed(it->first);
                    it = m_relays.erase(it);
                } else {
                    ++it;
                }
            }
            if (platform::TickElapsed(now, lastExpire) >= 1000) {
                lastExpire = now;
                if (size_t gone = m_state.Expire(now)) {
                    Log("expired %zu login(s)", gone);
                }
            }
        }
    }

    void CloseAll() {
        for (auto& [id, r] : m_relays) {
            close(r.fd);
        }
        m_relays.clear();
    }

private:
    void Log(const char* format, auto... args) {
        if (!m_opt.verbose) {
            return;
        }
        std::fprintf(stderr, "mirt-tracker: ");
        std::fprintf(stderr, format, args...);
        std::fputc('\n', stderr);
        std::fflush(stderr);
    }

    void Dispatch(std::span<const uint8_t> message, const Origin& from, platform::Tick now) {
        Log("%s %s > %s", from.tcp ? "tcp" : "udp", EndpointText(from.addr, from.port).c_str(),
            DescribeTrackerMessage(message, TrackerDirection::kToServer).c_str());
        std::vector<Outgoing> out;
        m_state.Handle(message, from, now, out);
        for (Outgoing& o : out) {
            Send(o);
        }
    }

    void Send(const Outgoing& o) {
        std::string what = DescribeTrackerMessage(o.bytes, TrackerDirection::kFromServer);
        if (o.tcp) {
            auto it = m_relays.find(o.conn);
            if (it == m_relays.end()) {
                return;
            }
            Relay& r = it->second;
            Log("tcp %s < %s", EndpointText(r.addr, r.port).c_str(), what.c_str());
            if (r.out.size() + o.bytes.size() > kMaxRelayBacklog) {
                r.closing = true;  // a reader that stopped reading: drop it rather than grow
                return;
            }
            r.out.insert(r.out.end(), o.bytes.begin(), o.bytes.end());
            Flush(r);
            return;
        }
        Log("udp %s < %s", EndpointText(o.addr, o.port).c_str(), what.c_str());
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = o.addr;
        sa.sin_port = o.port;
        // A full send buffer drops the datagram; the engine retransmits.
        sendto(m_udp, o.bytes.data(), o.bytes.size(), MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&sa),
               sizeof sa);
    }

    void ReadUdp(platform::Tick now) {
        for (int i = 0; i < 64; ++i) {
            uint8_t buf[2048];
            sockaddr_in sa{};
            socklen_t len = sizeof sa;
            ssize_t got =
                recvfrom(m_udp, buf, sizeof buf, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&sa), &len);
            if (got < 0) {
                return;
            }
            std::span<const uint8_t> d(buf, static_cast<size_t>(got));
            if (ClassifyDatagram(d) != DatagramKind::kTracker) {
                Log("udp %s > dropped %zd bytes", EndpointText(sa.sin_addr.s_addr, sa.sin_port).c_str(), got);
                continue;
            }
            Origin from;
            from.addr = sa.sin_addr.s_addr;
            from.port = sa.sin_port;
            Dispatch(d, from, now);
        }
    }

    void Accept(platform::Tick now) {
        for (;;) {
            sockaddr_in sa{};
            socklen_t len = sizeof sa;
            int fd = accept4(m_tcp, reinterpret_cast<sockaddr*>(&sa), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) {
                return;
            }
            if (m_relays.size() >= kMaxRelays) {
                close(fd);
                continue;
            }
            Relay& r = m_relays[m_nextId++];
            r.fd = fd;
            r.addr = sa.sin_addr.s_addr;
            r.port = sa.sin_port;
            r.lastIn = now;
            Log("tcp %s connected", EndpointText(r.addr, r.port).c_str());
        }
    }

    void ReadRelay(int id, Relay& r, platform::Tick now) {
        uint8_t buf[4096];
        ssize_t got = recv(r.fd, buf, sizeof buf, 0);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
            r.closing = true;
            return;
        }
        if (got < 0) {
            return;
        }
        r.lastIn = now;
        Origin from;
        from.tcp = true;
        from.conn = id;
        from.addr = r.addr;
        from.port = r.port;
        std::vector<std::vector<uint8_t>> messages;
        bool ok =
            r.reader.Feed(std::span<const uint8_t>(buf, static_cast<size_t>(got)),
                          [&](std::span<const uint8_t> m) { messages.emplace_back(m.begin(), m.end()); });
        // Dispatch after feeding: handling may touch the relay table.
        for (const auto& m : messages) {
            Dispatch(m, from, now);
        }
        if (!ok) {
            Log("tcp %s > broken stream", EndpointText(r.addr, r.port).c_str());
            auto it = m_relays.find(id);
            if (it != m_relays.end()) {
                it->second.closing = true;
            }
        }
    }

    void Flush(Relay& r) {
        while (!r.out.empty()) {
            ssize_t sent = send(r.fd, r.out.data(), r.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (sent < 0) {
                if (errno != EAGAIN && errno != EINTR) {
                    r.closing = true;
                }
                return;
            }
            r.out.erase(r.out.begin(), r.out.begin() + sent);
        }
    }

    const Options& m_opt;
    int m_udp;
    int m_tcp;
    CTrackerState m_state;
    std::map<int, Relay> m_relays;
    int m_nextId = 1;
};

}  // namespace
}  // namespace tessali::mirt_tracker

int main(int argc, char** argv) {
    using namespace tessali::mirt_tracker;
    Options opt;
    if (int r = ParseArgs(argc, argv, opt)) {
        return r == 1 ? 0 : 2;
    }
    struct sigaction sa {};
    sa.sa_handler = OnStopSignal;  // no SA_RESTART: poll() returns at once
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    uint16_t udpPort = 0;
    uint16_t tcpPort = 0;
    int udp = OpenSocket(SOCK_DGRAM, opt.bindAddr, opt.udpPort, udpPort);
    if (udp < 0) {
        std::fprintf(stderr, "mirt-tracker: cannot listen on udp %s:%u: %s\n", AddrText(opt.bindAddr).c_str(),
                     opt.udpPort, std::strerror(errno));
        return 1;
    }
    int tcp = OpenSocket(SOCK_STREAM, opt.bindAddr, opt.tcpPort, tcpPort);
    if (tcp < 0) {
        std::fprintf(stderr, "mirt-tracker: cannot listen on tcp %s:%u: %s\n", AddrText(opt.bindAddr).c_str(),
                     opt.tcpPort, std::strerror(errno));
        close(udp);
        return 1;
    }
    if (!opt.agentList.empty()) {
        uint32_t addr = opt.bindAddr == INADDR_ANY ? htonl(INADDR_LOOPBACK) : opt.bindAddr;
        tessali::sources::AgentAddress self{addr, tcpPort};
        std::string text = tessali::sources::FormatAgentList(std::span(&self, 1));
        FILE* f = std::fopen(opt.agentList.c_str(), "wb");
        if (!f || std::fwrite(text.data(), 1, text.size(), f) != text.size() || std::fclose(f) != 0) {
            std::fprintf(stderr, "mirt-tracker: cannot write %s\n", opt.agentList.c_str());
            return 1;
        }
    }
    std::printf("listening udp %u tcp %u\n", udpPort, tcpPort);
    std::fflush(stdout);

    CServer server(opt, udp, tcp);
    server.Run();
    server.CloseAll();
    close(tcp);
    close(udp);
    return 0;
}
