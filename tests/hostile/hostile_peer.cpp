// hostile-peer: a misbehaving engine peer for the hostile-peer tests. It speaks the peer wire
// protocol from its own byte layouts (not the engine's builders, so a framing fault on our side
// cannot hide one on the engine's), and in each mode breaks it in one way. Attack modes connect
// to an engine; seeder modes listen and let a downloading engine connect. Every line it prints
// is flushed; the last one is "<mode>: ..." with what it saw, which the tests check.
//
//   hostile-peer MODE HASH [--connect ADDR:PORT | --listen PORT] [--pieces N]
//                [--piece-length L] [--seed FILE] [--count N] [--seconds S] [--rate R]
//
// Attack modes (--connect): huge-length, stop-length, junk, silent, bad-bitfield,
// have-past-end, request-past-end, unrequested, unrequested-tiny, no-read. Seeder modes (--listen):
// wrong-data, bogus-seed. Not an attack, a load: burst (--count honest handshakes at --rate a
// second, each of which must be answered).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

struct Options {
    std::string mode;
    uint8_t hash[20] = {};
    sockaddr_in target{};
    uint16_t listenPort = 0;
    uint32_t pieces = 0;
    uint32_t pieceLength = 0;
    std::string seedFile;
    int count = 1;
    int seconds = 30;
    int rate = 200;
};

std::mutex g_printLock;
void Say(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Say(const char* format, ...) {
    std::lock_guard lock(g_printLock);
    va_list args;
    va_start(args, format);
    std::vfprintf(stdout, format, args);
    va_end(args);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void Put32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}
uint32_t Get32(const uint8_t* p) {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

std::mt19937_64& Rng() {
    static thread_local std::mt19937_64 rng(std::random_device{}());
    return rng;
}

Bytes Junk(size_t n) {
    Bytes b(n);
    for (auto& c : b) {
        c = static_cast<uint8_t>(Rng()());
    }
    return b;
}

// Length prefix, id, payload.
Bytes Message(uint8_t id, const Bytes& payload = {}) {
    Bytes m(5 + payload.size());
    Put32(m.data(), static_cast<uint32_t>(1 + payload.size()));
    m[4] = id;
    std::memcpy(m.data() + 5, payload.data(), payload.size());
    return m;
}

Bytes Words(std::initializer_list<uint32_t> words) {
    Bytes b(words.size() * 4);
    size_t at = 0;
    for (uint32_t w : words) {
        Put32(b.data() + at, w);
        at += 4;
    }
    return b;
}

// 19, "MIRT protocol", zero reserved bytes, the task hash, an engine peer id of our own.
Bytes Handshake(const Options& o) {
    Bytes h(68, 0);
    h[0] = 19;
    std::memcpy(h.data() + 1, "MIRT protocol", 13);
    std::memcpy(h.data() + 28, o.hash, 20);
    char id[21];
    std::snprintf(id, sizeof id, "MIRT0066%012llX",
                  static_cast<unsigned long long>(Rng()() & 0xFFFFFFFFFFFFull));
    std::memcpy(h.data() + 48, id, 20);
    return h;
}

// Every piece the task has: ceil(pieces / 8) bytes, spare bits clear.
Bytes FullBitfield(uint32_t pieces) {
    Bytes b((pieces + 7) / 8, 0);
    for (uint32_t i = 0; i < pieces; ++i) {
        b[i / 8] |= static_cast<uint8_t>(0x80u >> (i % 8));
    }
    return b;
}

bool SendAll(int fd, const uint8_t* data, size_t n) {
    while (n > 0) {
        ssize_t r = ::send(fd, data, n, MSG_NOSIGNAL);
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r <= 0) {
            return false;
        }
        data += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}
bool SendAll(int fd, const Bytes& b) {
    return SendAll(fd, b.data(), b.size());
}

// A stream reader: the handshake first, then length-prefixed messages.
class CReader {
public:
    explicit CReader(int fd) : m_fd(fd) {}
    // The next record within `ms`; nothing on time-out; `closed` says the engine closed.
    std::optional<Bytes> Next(int ms) {
        auto end = Clock::now() + std::chrono::milliseconds(ms);
        while (true) {
            if (std::optional<Bytes> r = Cut()) {
                return r;
            }
            int left = static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count());
            if (left <= 0 || closed) {
                return std::nullopt;
            }
            pollfd p{m_fd, POLLIN, 0};
            if (poll(&p, 1, left) <= 0) {
                continue;
            }
            uint8_t buf[65536];
            ssize_t n = ::recv(m_fd, buf, sizeof buf, 0);
            if (n <= 0) {
                if (n < 0 && errno == EINTR) {
                    continue;
                }
                closed = true;
                continue;
            }
            m_buf.insert(m_buf.end(), buf, buf + n);
        }
    }
    // Whether the engine closes the connection within `ms` (messages meanwhile are skipped).
    bool ClosedWithin(int ms) {
        auto end = Clock::now() + std::chrono::milliseconds(ms);
        while (!closed && Clock::now() < end) {
            Next(50);
        }
        return closed;
    }
    bool closed = false;

private:
    std::optional<Bytes> Cut() {
        size_t need = 0;
        if (!m_handshake) {
            need = 68;
        } else if (m_buf.size() >= 4) {
            need = size_t{Get32(m_buf.data())} + 4;
        } else {
            return std::nullopt;
        }
        if (m_buf.size() < need) {
            return std::nullopt;
        }
        m_handshake = true;
        Bytes r(m_buf.begin(), m_buf.begin() + static_cast<std::ptrdiff_t>(need));
        m_buf.erase(m_buf.begin(), m_buf.begin() + static_cast<std::ptrdiff_t>(need));
        return r;
    }
    int m_fd;
    bool m_handshake = false;
    Bytes m_buf;
};

int Connect(const Options& o) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        return -1;
    }
    if (connect(fd, reinterpret_cast<const sockaddr*>(&o.target), sizeof o.target) != 0) {
        close(fd);
        return -1;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

// Connects and exchanges handshakes; the engine's own handshake has been read from `reader`.
struct Link {
    int fd = -1;
    std::optional<CReader> reader;
    ~Link() {
        if (fd >= 0) {
            close(fd);
        }
    }
};
bool OpenLinkOnce(const Options& o, Link& link) {
    link.fd = Connect(o);
    if (link.fd < 0) {
        return false;
    }
    link.reader.emplace(link.fd);
    if (!SendAll(link.fd, Handshake(o))) {
        return false;
    }
    std::optional<Bytes> hs = link.reader->Next(30000);
    return hs && hs->size() == 68 && (*hs)[0] == 19;
}

// While 200 silent connections fill the engine's short listen backlog a connection can be turned
// away before its handshake; like any peer, try again a few times.
bool OpenLink(const Options& o, Link& link) {
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (attempt > 0) {
            if (link.fd >= 0) {
                close(link.fd);
                link.fd = -1;
            }
            link.reader.reset();
            std::this_thread::sleep_for(std::chrono::seconds(1));
        }
        if (OpenLinkOnce(o, link)) {
            return true;
        }
    }
    return false;
}

// Streams `head` and then junk until the engine stops taking it (or `limit` bytes went out).
uint64_t Flood(int fd, const Bytes& head, uint64_t limit) {
    if (!SendAll(fd, head)) {
        return 0;
    }
    uint64_t sent = head.size();
    Bytes chunk = Junk(65536);
    timeval tv{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    while (sent < limit && SendAll(fd, chunk)) {
        sent += chunk.size();
    }
    return sent;
}

constexpr uint64_t kFloodLimit = 256ull << 20;

// A length prefix no message has, followed by endless bytes.
int RunFloodAfterLength(const Options& o, uint32_t length) {
    Link link;
    if (!OpenLink(o, link)) {
        Say("%s: no handshake from the engine", o.mode.c_str());
        return 2;
    }
    Bytes head(5);
    Put32(head.data(), length);
    head[4] = 7;
    uint64_t sent = Flood(link.fd, head, kFloodLimit);
    bool closed = link.reader->ClosedWithin(10000);
    Say("%s: %s after %llu bytes", o.mode.c_str(), closed ? "closed by the engine" : "still open",
        static_cast<unsigned long long>(sent));
    return 0;
}

int RunJunk(const Options& o) {
    int fd = Connect(o);
    if (fd < 0) {
        Say("junk: connect failed");
        return 2;
    }
    CReader reader(fd);
    uint64_t sent = Flood(fd, Junk(1), kFloodLimit);
    bool closed = reader.ClosedWithin(10000);
    close(fd);
    Say("junk: %s after %llu bytes", closed ? "closed by the engine" : "still open",
        static_cast<unsigned long long>(sent));
    return 0;
}

// Many connections that never send a byte, held until the engine closes them all or --seconds
// have passed since the last one opened.
int RunSilent(const Options& o) {
    std::vector<int> fds;
    for (int i = 0; i < o.count; ++i) {
        int fd = Connect(o);
        if (fd >= 0) {
            fds.push_back(fd);
        }
    }
    Say("silent: %zu of %d connections open", fds.size(), o.count);
    std::vector<bool> closed(fds.size(), false);
    size_t closedCount = 0;
    auto end = Clock::now() + std::chrono::seconds(o.seconds);
    while (closedCount < fds.size() && Clock::now() < end) {
        std::vector<pollfd> p;
        for (size_t i = 0; i < fds.size(); ++i) {
            p.push_back({closed[i] ? -1 : fds[i], POLLIN, 0});
        }
        if (poll(p.data(), p.size(), 200) <= 0) {
            continue;
        }
        for (size_t i = 0; i < fds.size(); ++i) {
            uint8_t buf[256];
            if (!closed[i] && p[i].revents && ::recv(fds[i], buf, sizeof buf, MSG_DONTWAIT) <= 0) {
                closed[i] = true;
                ++closedCount;
            }
        }
    }
    for (int fd : fds) {
        close(fd);
    }
    Say("silent: %zu connections opened, %zu closed by the engine", fds.size(), closedCount);
    return 0;
}

// Each message on a fresh connection must make the engine close it.
int RunEachDropped(const Options& o, const std::vector<std::pair<const char*, Bytes>>& cases) {
    int dropped = 0;
    for (const auto& [name, message] : cases) {
        Link link;
        if (!OpenLink(o, link)) {
            Say("%s: no handshake from the engine", o.mode.c_str());
            return 2;
        }
        // The engine's opening messages (its bitfield) come first.
        link.reader->Next(300);
        SendAll(link.fd, message);
        bool closed = link.reader->ClosedWithin(10000);
        Say("%s %s: %s", o.mode.c_str(), name, closed ? "closed by the engine" : "still open");
        dropped += closed ? 1 : 0;
    }
    Say("%s: %d of %zu dropped", o.mode.c_str(), dropped, cases.size());
    return 0;
}

int RunBadBitfield(const Options& o) {
    uint32_t bytes = (o.pieces + 7) / 8;
    std::vector<std::pair<const char*, Bytes>> cases;
    cases.push_back({"long", Message(5, Bytes(bytes + 3, 0xFF))});
    if (bytes > 1) {
        cases.push_back({"short", Message(5, Bytes(bytes - 1, 0xFF))});
    }
    if (o.pieces % 8 != 0) {
        // The right length, with the spare bits after the last piece set.
        cases.push_back({"spare-bits", Message(5, Bytes(bytes, 0xFF))});
    }
    return RunEachDropped(o, cases);
}

int RunHavePastEnd(const Options& o) {
    return RunEachDropped(
        o, {{"one-past", Message(4, Words({o.pieces}))}, {"far-past", Message(4, Words({0xFFFFFFFFu}))}});
}

// Requests outside the content must be refused; a good one after them is still served.
int RunRequestPastEnd(const Options& o) {
    Link link;
    if (!OpenLink(o, link)) {
        Say("request-past-end: no handshake from the engine");
        return 2;
    }
    const uint32_t pl = o.pieceLength;
    const std::vector<Bytes> bad = {
        Words({o.pieces, 0, 16384}),
        Words({0xFFFFFFFFu, 0, 16384}),
        Words({0, pl, 16384}),
        Words({0, pl - 8192, 16384}),
        Words({0, 0xFFFFC000u, 16384}),
        Words({o.pieces - 1, pl, 16384}),
        Words({0x7FFFFFFFu, 0x7FFFC000u, 16384}),
    };
    for (const Bytes& r : bad) {
        SendAll(link.fd, Message(6, r));
    }
    size_t refused = 0, served = 0, goodServed = 0;
    auto readAnswers = [&](size_t want, bool good) {
        auto end = Clock::now() + std::chrono::seconds(10);
        size_t got = 0;
        while (got < want && Clock::now() < end) {
            std::optional<Bytes> m = link.reader->Next(200);
            if (!m || m->size() < 5) {
                continue;
            }
            if ((*m)[4] == 11) {
                ++refused;
                ++got;
            } else if ((*m)[4] == 7) {
                (good ? goodServed : served) += 1;
                ++got;
            }
        }
    };
    readAnswers(bad.size(), false);
    SendAll(link.fd, Message(6, Words({0, 0, 16384})));
    readAnswers(1, true);
    Say("request-past-end: %zu of %zu refused, %zu served past the end, good request %s", refused, bad.size(),
        served, goodServed == 1 ? "served" : "not served");
    return 0;
}

// Blocks nobody asked for, of pieces in and past the content, while the engine downloads; then
// the connection is held (requests the engine sends are never answered) for --seconds. With
// `tiny`, each block is one byte at a random offset: the smallest message that makes the engine
// look at a block.
int RunUnrequested(const Options& o, bool tiny) {
    Link link;
    if (!OpenLink(o, link)) {
        Say("%s: no handshake from the engine", o.mode.c_str());
        return 2;
    }
    SendAll(link.fd, Message(5, FullBitfield(o.pieces)));
    Bytes block = Junk(tiny ? 1 : 16384);
    int sent = 0;
    Bytes batch;
    for (int i = 0; i < o.count; ++i) {
        uint32_t piece = static_cast<uint32_t>(Rng()() % (o.pieces + 64));
        uint32_t begin = static_cast<uint32_t>(Rng()() % (o.pieceLength / 16384 + 4)) * 16384;
        if (tiny) {
            piece = static_cast<uint32_t>(Rng()() % o.pieces);
            begin = static_cast<uint32_t>(Rng()());
        } else if (i % 16 == 15) {
            begin = 0xFFFFC000u;
        }
        Bytes payload = Words({piece, begin});
        payload.insert(payload.end(), block.begin(), block.end());
        Bytes m = Message(7, payload);
        batch.insert(batch.end(), m.begin(), m.end());
        if (batch.size() < 65536 && i + 1 < o.count) {
            continue;
        }
        if (!SendAll(link.fd, batch)) {
            break;
        }
        batch.clear();
        sent = i + 1;
        // Whatever the engine says meanwhile (requests we never answer) is read and dropped.
        while (link.reader->Next(0)) {
        }
    }
    Say("%s: sent %d blocks", o.mode.c_str(), sent);
    bool closed = link.reader->ClosedWithin(o.seconds * 1000);
    Say("%s: %s", o.mode.c_str(), closed ? "closed by the engine" : "connection kept");
    return 0;
}

// Seeder modes: an engine connects; we answer as a seeder would, but lie.
void ServeOne(const Options& o, int fd, const Bytes& seed, std::atomic<int>& junkBlocks,
              std::atomic<int>& seedsSent) {
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    CReader reader(fd);
    std::optional<Bytes> hs = reader.Next(10000);
    if (!hs || hs->size() != 68) {
        close(fd);
        return;
    }
    SendAll(fd, Handshake(o));
    SendAll(fd, Message(5, FullBitfield(o.pieces)));
    auto end = Clock::now() + std::chrono::seconds(o.seconds);
    while (!reader.closed && Clock::now() < end) {
        std::optional<Bytes> m = reader.Next(200);
        if (!m || m->size() < 5) {
            continue;
        }
        switch ((*m)[4]) {
            case 2:  // interested
                SendAll(fd, Message(1));
                break;
            case 9:  // metafile request
                if (SendAll(fd, Message(10, seed))) {
                    Say("%s: sent seed of %zu bytes", o.mode.c_str(), seed.size());
                    ++seedsSent;
                }
                break;
            case 6: {  // request: the right length of the wrong bytes
                if (m->size() != 17) {
                    break;
                }
                uint32_t length = Get32(m->data() + 13);
                if (length > 65536) {
                    break;
                }
                Bytes payload(m->begin() + 5, m->begin() + 13);
                Bytes data = Junk(length);
                payload.insert(payload.end(), data.begin(), data.end());
                if (SendAll(fd, Message(7, payload))) {
                    ++junkBlocks;
                }
                break;
            }
            default:
                break;
        }
    }
    close(fd);
}

int RunSeeder(const Options& o) {
    std::ifstream in(o.seedFile, std::ios::binary);
    Bytes seed((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (seed.empty()) {
        Say("%s: no seed file", o.mode.c_str());
        return 2;
    }
    int ls = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(ls, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(o.listenPort);
    if (bind(ls, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(ls, 16) != 0) {
        Say("%s: cannot listen on %u", o.mode.c_str(), o.listenPort);
        return 2;
    }
    Say("%s: listening on %u", o.mode.c_str(), o.listenPort);
    std::atomic<int> junkBlocks{0}, seedsSent{0}, connections{0};
    std::vector<std::thread> threads;
    auto end = Clock::now() + std::chrono::seconds(o.seconds);
    while (Clock::now() < end) {
        pollfd p{ls, POLLIN, 0};
        if (poll(&p, 1, 200) <= 0) {
            continue;
        }
        int fd = accept(ls, nullptr, nullptr);
        if (fd < 0) {
            continue;
        }
        ++connections;
        threads.emplace_back(ServeOne, std::cref(o), fd, std::cref(seed), std::ref(junkBlocks),
                             std::ref(seedsSent));
    }
    close(ls);
    for (auto& t : threads) {
        t.join();
    }
    Say("%s: %d connections, %d seeds sent, %d wrong blocks sent", o.mode.c_str(), connections.load(),
        seedsSent.load(), junkBlocks.load());
    return 0;
}

// Honest peers arriving fast: --count connections opened at --rate a second, each sending its
// handshake as soon as it is connected, all held open. Each must get the engine's handshake back.
int RunBurst(const Options& o) {
    struct Conn {
        int fd = -1;
        Bytes got;
        bool answered = false;
        bool closed = false;
    };
    std::vector<Conn> conns(static_cast<size_t>(o.count));
    std::atomic<int> opened{0};
    std::atomic<int> failed{0};
    std::thread opener([&] {
        auto start = Clock::now();
        for (int i = 0; i < o.count; ++i) {
            std::this_thread::sleep_until(start + std::chrono::microseconds(int64_t{1000000} * i / o.rate));
            int fd = Connect(o);
            if (fd < 0 || !SendAll(fd, Handshake(o))) {
                if (fd >= 0) {
                    close(fd);
                }
                ++failed;
                continue;
            }
            conns[static_cast<size_t>(i)].fd = fd;
            opened.fetch_add(1, std::memory_order_release);
        }
    });
    opener.join();
    Say("burst: %d of %d connections open, %d failed to connect", opened.load(), o.count, failed.load());
    auto end = Clock::now() + std::chrono::seconds(o.seconds);
    int answered = 0, closedUnanswered = 0;
    while (answered + closedUnanswered < opened && Clock::now() < end) {
        std::vector<pollfd> p;
        std::vector<Conn*> who;
        for (Conn& c : conns) {
            if (c.fd >= 0 && !c.answered && !c.closed) {
                p.push_back({c.fd, POLLIN, 0});
                who.push_back(&c);
            }
        }
        if (poll(p.data(), p.size(), 200) <= 0) {
            continue;
        }
        for (size_t i = 0; i < p.size(); ++i) {
            if (!p[i].revents) {
                continue;
            }
            Conn& c = *who[i];
            uint8_t buf[4096];
            ssize_t n = ::recv(c.fd, buf, sizeof buf, MSG_DONTWAIT);
            if (n <= 0) {
                c.closed = true;
                ++closedUnanswered;
                continue;
            }
            c.got.insert(c.got.end(), buf, buf + n);
            if (c.got.size() >= 68) {
                c.answered = c.got[0] == 19;
                if (c.answered) {
                    ++answered;
                } else {
                    c.closed = true;
                    ++closedUnanswered;
                }
            }
        }
    }
    for (Conn& c : conns) {
        if (c.fd >= 0) {
            close(c.fd);
        }
    }
    Say("burst: %d connections, %d answered, %d closed unanswered, %d unanswered", opened.load(), answered,
        closedUnanswered, opened.load() - answered - closedUnanswered);
    return 0;
}

// Downloaders that ask for blocks and never read an answer: --count connections, each with a
// small receive buffer, asking for every block of the content over and over for --seconds, then
// leaving. What the engine queues for them can only pile up on its side.
int RunNoRead(const Options& o) {
    std::vector<int> fds;
    for (int i = 0; i < o.count; ++i) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        int small = 4096;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        if (connect(fd, reinterpret_cast<const sockaddr*>(&o.target), sizeof o.target) != 0 ||
            !SendAll(fd, Handshake(o))) {
            close(fd);
            continue;
        }
        // Its handshake and bitfield are read; nothing after that.
        CReader reader(fd);
        if (!reader.Next(10000)) {
            close(fd);
            continue;
        }
        reader.Next(300);
        SendAll(fd, Message(2));
        fds.push_back(fd);
    }
    Say("no-read: %zu of %d connections open", fds.size(), o.count);
    const uint32_t blocksPerPiece = std::max(1u, o.pieceLength / 16384);
    std::vector<uint64_t> next(fds.size(), 0);
    std::vector<bool> closed(fds.size(), false);
    uint64_t requests = 0;
    auto end = Clock::now() + std::chrono::seconds(o.seconds);
    while (Clock::now() < end) {
        bool any = false;
        for (size_t i = 0; i < fds.size(); ++i) {
            if (closed[i]) {
                continue;
            }
            // A batch of requests, as much of it as the engine takes in without waiting.
            Bytes batch;
            for (int k = 0; k < 32; ++k, ++next[i]) {
                uint64_t block = next[i] % (uint64_t{o.pieces} * blocksPerPiece);
                Bytes r = Message(6, Words({static_cast<uint32_t>(block / blocksPerPiece),
                                            static_cast<uint32_t>(block % blocksPerPiece) * 16384, 16384}));
                batch.insert(batch.end(), r.begin(), r.end());
            }
            ssize_t n = ::send(fds[i], batch.data(), batch.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
                closed[i] = true;
                continue;
            }
            if (n > 0) {
                any = true;
                requests += static_cast<uint64_t>(n) / 17;
            }
            // A request cut by a full buffer is finished, so that the stream stays whole.
            if (n > 0 && n % 17 != 0) {
                size_t rest = 17 - static_cast<size_t>(n) % 17;
                timeval tv{2, 0};
                setsockopt(fds[i], SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
                if (!SendAll(fds[i], batch.data() + n, rest)) {
                    closed[i] = true;
                }
            }
        }
        if (!any) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    size_t closedCount = 0;
    for (size_t i = 0; i < fds.size(); ++i) {
        // The engine closed it if the stream ended or was reset (what it sent is left unread).
        pollfd p{fds[i], POLLIN, 0};
        if (!closed[i] && poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR))) {
            closed[i] = true;
        }
        closedCount += closed[i] ? 1 : 0;
        close(fds[i]);
    }
    Say("no-read: %zu connections, %llu requests sent, %zu closed by the engine", fds.size(),
        static_cast<unsigned long long>(requests), closedCount);
    return 0;
}

bool ParseAddress(const std::string& text, sockaddr_in& out) {
    size_t colon = text.rfind(':');
    if (colon == std::string::npos) {
        return false;
    }
    out = sockaddr_in{};
    out.sin_family = AF_INET;
    out.sin_port = htons(static_cast<uint16_t>(std::atoi(text.c_str() + colon + 1)));
    return inet_pton(AF_INET, text.substr(0, colon).c_str(), &out.sin_addr) == 1;
}

bool ParseHash(const std::string& hex, uint8_t out[20]) {
    if (hex.size() != 40) {
        return false;
    }
    for (int i = 0; i < 20; ++i) {
        out[i] = static_cast<uint8_t>(std::stoul(hex.substr(static_cast<size_t>(i) * 2, 2), nullptr, 16));
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    // A thousand connections at once need more descriptors than a default soft limit may give.
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }
    Options o;
    if (argc < 3 || !ParseHash(argv[2], o.hash)) {
        std::fprintf(stderr, "usage: hostile-peer MODE HASH [--connect ADDR:PORT | --listen PORT] ...\n");
        return 2;
    }
    o.mode = argv[1];
    for (int i = 3; i + 1 < argc; i += 2) {
        std::string k = argv[i], v = argv[i + 1];
        if (k == "--connect" && !ParseAddress(v, o.target)) {
            return 2;
        }
        if (k == "--listen") {
            o.listenPort = static_cast<uint16_t>(std::atoi(v.c_str()));
        } else if (k == "--pieces") {
            o.pieces = static_cast<uint32_t>(std::stoul(v));
        } else if (k == "--piece-length") {
            o.pieceLength = static_cast<uint32_t>(std::stoul(v));
        } else if (k == "--seed") {
            o.seedFile = v;
        } else if (k == "--count") {
            o.count = std::atoi(v.c_str());
        } else if (k == "--seconds") {
            o.seconds = std::atoi(v.c_str());
        } else if (k == "--rate") {
            o.rate = std::max(1, std::atoi(v.c_str()));
        }
    }
    if (o.mode == "huge-length") {
        return RunFloodAfterLength(o, 0x7FFFFFF0u);
    }
    if (o.mode == "stop-length") {
        return RunFloodAfterLength(o, 0xFFFFFFFCu);
    }
    if (o.mode == "junk") {
        return RunJunk(o);
    }
    if (o.mode == "silent") {
        return RunSilent(o);
    }
    if (o.mode == "bad-bitfield") {
        return RunBadBitfield(o);
    }
    if (o.mode == "have-past-end") {
        return RunHavePastEnd(o);
    }
    if (o.mode == "request-past-end") {
        return RunRequestPastEnd(o);
    }
    if (o.mode == "unrequested" || o.mode == "unrequested-tiny") {
        return RunUnrequested(o, o.mode == "unrequested-tiny");
    }
    if (o.mode == "wrong-data" || o.mode == "bogus-seed") {
        return RunSeeder(o);
    }
    if (o.mode == "burst") {
        return RunBurst(o);
    }
    if (o.mode == "no-read") {
        return RunNoRead(o);
    }
    std::fprintf(stderr, "hostile-peer: unknown mode %s\n", o.mode.c_str());
    return 2;
}
