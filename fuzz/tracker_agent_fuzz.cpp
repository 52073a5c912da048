// Input: a script for one tracker agent (not started: no sockets, no threads) whose tracker sits
// at a fixed address. Each step is one byte of operation and its operands: queue a request,
// hand in a datagram from the tracker, from another sender or over the relay, let time pass,
// take what would be sent, take what was passed on. Checked after every step: nothing from
// another sender changes anything; a reply is acted on only when it answers an awaiting request;
// the tracker moves only on an accepted redirect; the queue and the received messages stay
// within their bounds.
#include <arpa/inet.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine/net/fragment_pool.h"
#include "engine/platform/tick.h"
#include "engine/sources/tracker_agent.h"

using namespace tessali;
using namespace tessali::sources;

namespace {

const uint32_t kTrackerAddr = htonl(0x7F000001);
constexpr uint16_t kTrackerPort = 6970;

class CDropTudp : public net::CTudpInterface {
public:
    bool Start() override { return true; }
    void Stop() override {}
    bool Connect(uint32_t, uint16_t, int) override { return false; }
    bool Close(uint32_t, uint16_t, int) override { return false; }
    void OnDatagram(uint32_t, uint16_t, int, const uint8_t*, size_t) override {}
    int Send(uint32_t, uint16_t, int, const uint8_t*, size_t) override { return -1; }
    net::TakeResult TakeEvent(net::SocketEvent& out, std::span<uint8_t> buffer) override {
        return m_queue.Take(out, buffer);
    }
    net::CFragmentPool& EventQueue() override { return m_queue; }
    bool ConnectThroughNat(int, uint32_t, uint16_t, uint32_t, std::span<const uint8_t, 20>,
                           std::span<const uint8_t, 20>) override {
        return false;
    }

private:
    net::CFragmentPool m_queue;
};

const std::string& Folder() {
    static std::string folder = [] {
        char pattern[] = "/tmp/tracker_agent_fuzz.XXXXXX";
        const char* made = mkdtemp(pattern);
        return std::string(made != nullptr ? made : "/tmp") + "/";
    }();
    return folder;
}

struct Reader {
    const uint8_t* p;
    size_t left;
    uint8_t Byte() {
        if (left == 0) {
            return 0;
        }
        --left;
        return *p++;
    }
    uint16_t U16() { return static_cast<uint16_t>(Byte() << 8 | Byte()); }
    uint32_t U32() { return static_cast<uint32_t>(U16()) << 16 | U16(); }
    std::vector<uint8_t> Bytes(size_t n) {
        n = std::min(n, left);
        std::vector<uint8_t> out(p, p + n);
        p += n;
        left -= n;
        return out;
    }
};

constexpr uint16_t kCommands[] = {kCmdLogin,     kCmdKeepAlive,  kCmdShare,
                                  kCmdStopShare, kCmdSourceList, kCmdRelay};

std::vector<uint8_t> Request(uint16_t command, uint8_t fill) {
    core::TaskHash h;
    h.bytes.fill(fill);
    switch (command) {
        case kCmdLogin:
            return Encode(LoginRequest{0, {}, htonl(0x0A000002), htons(7000), 0});
        case kCmdKeepAlive:
            return Encode(KeepAliveRequest{});
        case kCmdShare:
            return Encode(ShareRequest{0, {}, h});
        case kCmdStopShare:
            return Encode(StopShareRequest{0, {}, h});
        case kCmdSourceList:
            return Encode(SourceListRequest{0, {}, h});
        default: {
            RelayRequest r;
            r.hash = h;
            return Encode(r);
        }
    }
}

// A datagram built from the input: raw bytes, or a header over a body with the length right
// and the sequence value of a request the agent sent (so replies get past the matching).
std::vector<uint8_t> Message(Reader& in, const std::vector<uint32_t>& sequences) {
    uint8_t shape = in.Byte();
    size_t n = in.Byte() % 96;
    if ((shape & 1) == 0) {
        return in.Bytes(n);
    }
    std::vector<uint8_t> m(8 + n);
    std::vector<uint8_t> body = in.Bytes(n);
    std::copy(body.begin(), body.end(), m.begin() + 8);
    m[0] = static_cast<uint8_t>(m.size() >> 8);
    m[1] = static_cast<uint8_t>(m.size());
    uint16_t command = (shape & 2) != 0 ? kCmdRelayNotice : kCommands[(shape >> 2) % 6];
    m[2] = static_cast<uint8_t>(command >> 8);
    m[3] = static_cast<uint8_t>(command);
    uint32_t seq =
        sequences.empty() || (shape & 0x80) != 0 ? in.U32() : sequences[in.Byte() % sequences.size()];
    for (int i = 0; i < 4; ++i) {
        m[4 + i] = static_cast<uint8_t>(seq >> (24 - 8 * i));
    }
    return m;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    platform::FakeTick clock(1000);
    CDropTudp rudp;
    TrackerAgentSettings s;
    s.rootFolder = Folder();
    s.trackerAddr = kTrackerAddr;
    s.trackerPort = kTrackerPort;
    s.facts = [] { return LoginFacts{htonl(0x0A000002), 7000, 0}; };
    uint64_t counter = 0x1234;
    s.counter = [&counter] { return counter++; };
    s.resolve = [](const std::string&) { return 0u; };
    s.rudp = &rudp;
    CTrackerAgent agent(std::move(s));

    Reader in{data, size};
    std::vector<uint32_t> sequences;  // of the requests queued
    bool loggedIn = false;
    for (int step = 0; step < 256 && in.left > 0; ++step) {
        uint8_t op = in.Byte() % 7;
        uint32_t trackerBefore = agent.TrackerServerAddress();
        size_t awaitingBefore = agent.Queue().AwaitingCount();
        size_t pendingBefore = agent.Queue().PendingCount();
        bool loggedBefore = agent.LoggedIn();
        uint64_t droppedBefore = agent.DroppedMessages();
        switch (op) {
            case 0: {
                // Requests as the engine queues them: shares normal, source lists and relays
                // urgent, logins and keep-alives one at a time at the front.
                uint8_t pick = in.Byte();
                uint16_t command = kCommands[pick % 6];
                if (command == kCmdLogin) {
                    agent.Login();
                } else if (command == kCmdKeepAlive) {
                    if (!agent.Queue().LoginOrKeepAliveAtFront()) {
                        agent.QueueMessage(Request(command, 0), true);
                    }
                } else {
                    agent.QueueMessage(Request(command, in.Byte()),
                                       command == kCmdSourceList || command == kCmdRelay);
                }
                break;
            }
            case 1:
            case 2: {
                std::vector<uint8_t> m = Message(in, sequences);
                uint32_t addr = kTrackerAddr;
                uint16_t port = htons(kTrackerPort);
                if (op == 2) {
                    // Someone else: another port, or another address on the tracker's port.
                    if (in.Byte() & 1) {
                        port = htons(static_cast<uint16_t>(kTrackerPort + 1 + in.Byte()));
                    } else {
                        addr = htonl(0x7F000002 + in.Byte());
                    }
                }
                bool fromTracker =
                    addr == agent.TrackerServerAddress() && port == htons(agent.TrackerServerPort());
                bool accepted = agent.HandleDatagram(m, addr, port);
                if (!fromTracker) {
                    if (accepted || agent.TrackerServerAddress() != trackerBefore ||
                        agent.LoggedIn() != loggedBefore || agent.Queue().AwaitingCount() != awaitingBefore ||
                        agent.Queue().PendingCount() != pendingBefore) {
                        std::abort();
                    }
                }
                if (accepted) {
                    std::optional<TrackerHeader> h = PeekHeader(m);
                    if (!h || (h->command != kCmdRelayNotice && awaitingBefore == 0)) {
                        std::abort();  // a reply to nothing was acted on
                    }
                } else if (agent.TrackerServerAddress() != trackerBefore) {
                    std::abort();
                }
                break;
            }
            case 3: {
                std::vector<uint8_t> m = Message(in, sequences);
                bool accepted = agent.HandleIncoming(m, true);
                if (!accepted &&
                    (agent.TrackerServerAddress() != trackerBefore || agent.LoggedIn() != loggedBefore)) {
                    std::abort();
                }
                break;
            }
            case 4:
                clock.Advance(in.U16());
                break;
            case 5: {
                std::vector<std::vector<uint8_t>> sent =
                    (in.Byte() & 1) != 0 ? agent.Queue().TakeUdpSends(platform::GetTick(), loggedIn)
                                         : agent.Queue().TakeRelaySends(platform::GetTick());
                for (const std::vector<uint8_t>& m : sent) {
                    if (std::optional<TrackerHeader> h = PeekHeader(m)) {
                        sequences.push_back(h->sequence);
                    }
                }
                if (sequences.size() > 64) {
                    sequences.erase(sequences.begin(), sequences.begin() + 32);
                }
                loggedIn = agent.LoggedIn();
                break;
            }
            default: {
                uint8_t buf[kMaxTrackerMessageBytes];
                size_t n = 0;
                while (agent.TakeReceived(buf, n)) {
                    if (n > kMaxTrackerMessageBytes) {
                        std::abort();
                    }
                }
                break;
            }
        }
        if (agent.DroppedMessages() < droppedBefore ||
            agent.Queue().AwaitingCount() > kMaxAwaitingNormal + kMaxAwaitingUrgent + 8 ||
            agent.Queue().PendingCount() > kMaxQueuedRequests) {
            std::abort();
        }
    }
    return 0;
}
