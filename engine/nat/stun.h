// NAT-type detection with the classic STUN procedure: two local UDP sockets A and B on adjacent
// ports send Binding Requests (tests 1, 2, 3, 10 and the hairpin test 11) to one server, and the
// answers seen classify the host from 0 (open Internet) to 7 (failure). A test blocks the calling
// thread for about 2 to 4.5 seconds; a CStunTester may be used by one thread at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <iostream>
#include <string>
#include <string_view>

namespace tessali::nat {

enum NatType : int {
    kNatOpen = 0,
    kNatFullCone = 1,
    kNatRestrictedCone = 2,
    kNatPortRestrictedCone = 3,
    kNatSymmetric = 4,
    kNatSymmetricFirewall = 5,
    kNatUdpBlocked = 6,
    kNatFailure = 7,
};

// Bits of the result word of one server besides the class in its low three bits.
constexpr int kStunNoHairpin = 0x08;
constexpr int kStunPortPreserved = 0x10;
constexpr int kStunFailed = -1;

constexpr uint16_t kStunDefaultPort = 3478;

struct StunServerAddress {
    bool valid = false;
    uint32_t address = 0;  // network order
    uint16_t port = 0;     // host order
};

// "name[:port]": the port defaults to 3478 (also when its text has trailing characters); a port
// outside 1024..65534 makes the name invalid. A leading digit means a dotted address, else the
// name is resolved. Resolution does not happen here: `valid` tells only whether the text is usable.
struct StunServerName {
    bool valid = false;
    std::string host;
    uint16_t port = kStunDefaultPort;
};
StunServerName ParseStunServerName(std::string_view name);
// Parses and resolves; an unusable or unresolvable name gives 127.0.0.1:65535, where nothing answers.
StunServerAddress ResolveStunServer(std::string_view name);

// What one run of the procedure saw.
struct StunObservations {
    bool test1 = false;          // test I answered (with a mapped address)
    bool test2 = false;          // test II answered (change IP and port)
    bool test3 = false;          // test III answered (change port)
    bool sameMapping = true;     // test 10's mapping equals test 1's (true while unanswered)
    bool hairpin = false;        // test 11 came back
    bool portPreserved = false;  // the mapped port equals socket A's port
    bool behindNat = true;       // the mapped address is not one of this host's
};

// The result word for what was seen: class in the low byte, plus kStunNoHairpin / kStunPortPreserved.
int ClassifyStun(const StunObservations& seen);

// Opens a UDP socket bound to `port` on `address` (network order; 0 or 127.0.0.1 mean any).
// The descriptor, or -1 with the reason written to `diag`.
int OpenStunSocket(uint16_t port, uint32_t address, std::ostream& diag);

class CStunTester {
public:
    // `choosePort` gives the port of socket A (B uses the next one); by default random in 4096..8191.
    explicit CStunTester(std::function<uint16_t()> choosePort = {}, std::ostream& diag = std::cerr);

    // Runs the procedure against `serverName`: the result word, or kStunFailed.
    int TestServer(const std::string& serverName);
    int TestServer(const StunServerAddress& server);
    // What the last TestServer saw.
    const StunObservations& LastObservations() const { return m_seen; }

private:
    std::function<uint16_t()> m_choosePort;
    std::ostream& m_diag;
    StunObservations m_seen;
};

// Tests `primary`; when its class is 6 or 7, tests `fallback`. Stores the class (low three bits
// of the word) as the host's NAT type and returns it.
int DetectNatType(const std::string& primary, const std::string& fallback,
                  const std::function<int(const std::string&)>& testServer);
// The same with the configured STUN servers and a real tester.
int DetectNatType();

}  // namespace tessali::nat
