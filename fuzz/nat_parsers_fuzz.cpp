// Input: arbitrary bytes, taken as each kind of text the NAT components read from the network:
// a STUN answer, a LAN search datagram, an SSDP answer, a router's device description and a
// SOAP answer. Every reader must stay within the bytes and bound what it keeps; a STUN answer
// that parses must carry only the addresses and strings its attributes allow.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string_view>
#include <vector>

#include "engine/nat/lan_search.h"
#include "engine/nat/stun_message.h"
#include "engine/nat/upnp_messages.h"

using namespace tessali::nat;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Copies of exactly `size` bytes, so any read past the end is caught.
    std::vector<uint8_t> bytes(data, data + size);
    std::ostringstream diag;
    StunMessage m;
    if (ParseStunMessage(bytes, m, diag)) {
        if (m.username.size() >= kStunMaxString || m.password.size() >= kStunMaxString ||
            m.errorReason.size() >= kStunMaxString || m.unknownAttributes.size() > 8) {
            std::abort();
        }
    }

    LanDatagram d = ParseLanDatagram(bytes);
    if (d.kind == LanDatagram::kAnswer && d.address == 0) {
        std::abort();
    }

    std::vector<char> text(data, data + size);
    std::string_view view(text.data(), text.size());
    SsdpAnswer a;
    if (ParseSsdpAnswer(view, a) &&
        (a.host.empty() || a.port == 0 || a.serviceType.size() > kMaxHeaderValue)) {
        std::abort();
    }
    std::string url;
    if (FindControlUrl(HttpBody(view), url) && (url.empty() || url.size() > kMaxHeaderValue)) {
        std::abort();
    }
    std::string value;
    if (FindElementText(view, "NewInternalClient", value) && value.size() > kMaxHeaderValue) {
        std::abort();
    }
    return 0;
}
