// Feeds arbitrary bytes, cut into arbitrary segments, to each wire form's framer and to the form
// detection, then checks that every record produced is a whole message of a legal size and that
// no connection holds more unframed bytes than its bound.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "engine/net/dispatch.h"
#include "engine/net/dispatch_mgr.h"
#include "engine/net/peer_wire.h"

namespace {

using namespace tessali::net;

class Host : public IDispatchHost {
public:
    void Emit(const CConnEntry& entry, std::span<const uint8_t> m) override {
        bool handshake = m.size() == kHandshakeBytes && m[0] == 19;
        if (!handshake && (m.size() < 4 || m.size() > kMaxMessageBytes || GetU32(m.data()) + 4 != m.size())) {
            std::abort();
        }
    }
    void PostSynthetic(const CConnEntry&, uint8_t) override {}
    int SendRaw(const tessali::core::ConnectionKey&, uint8_t, std::span<const uint8_t> b) override {
        return static_cast<int>(b.size());
    }
    void FramingError(CConnEntry& entry) override {
        entry.closing = true;
        entry.buffer.clear();
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) {
        return 0;
    }
    Host host;
    CBtDispatch plain(host);
    CMirtHttpDispatch http(host);
    CMirtDispatch scrambled(host, [] { return 7u; });
    CDispatch* forms[] = {&plain, &http, &scrambled};
    CDispatch* form = forms[data[0] % 3];
    CConnEntry entry;
    entry.handshakeSeen = (data[0] & 4) != 0;
    entry.transport = (data[0] & 8) ? 3 : 1;
    size_t step = 1 + data[1] % 64;
    std::span<const uint8_t> rest(data + 2, size - 2);
    DetectForm(rest, entry.transport);
    DetectFallbackForm(rest, entry.transport);
    for (size_t at = 0; at < rest.size() && !entry.closing; at += step) {
        entry.Append(rest.subspan(at, std::min(step, rest.size() - at)));
        form->Frame(entry);
        if (entry.buffer.size() > kMaxBufferedBytes + step) {
            std::abort();
        }
    }
    return 0;
}
