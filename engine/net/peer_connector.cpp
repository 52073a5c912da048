#include "engine/net/peer_connector.h"

#include <atomic>

namespace tessali::net {
namespace {
std::atomic<IPeerConnector*> g_connector{nullptr};
}

void SetPeerConnector(IPeerConnector* connector) { g_connector.store(connector); }

bool ConnectToSource(const core::TaskHash& hash, const SourcePeer& peer) {
    IPeerConnector* c = g_connector.load();
    return c != nullptr && c->ConnectToSource(hash, peer);
}

}  // namespace tessali::net
