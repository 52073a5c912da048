// UPnP port mapping: finds the home router by SSDP, reads its device description and asks it,
// by SOAP, to forward the engine's listen port for TCP and UDP to this host. One process-wide
// instance. A search blocks the calling thread for up to about 4.1 s and runs a receiver thread
// of its own while it lasts; searches never overlap (a second one is refused). Prepare and
// Shutdown are called from the engine's start-up and shut-down thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "engine/nat/local_network.h"
#include "engine/nat/upnp_messages.h"

namespace tessali::nat {

// A router that answered the search: where its control URL is and which service it offers.
struct UpnpRouter {
    uint32_t address = 0;  // network order
    uint16_t port = 0;
    std::string controlUrl;
    std::string serviceType;
};

class CUpnp {
public:
    CUpnp() = default;
    ~CUpnp();
    CUpnp(const CUpnp&) = delete;
    CUpnp& operator=(const CUpnp&) = delete;

    static CUpnp& Instance();
    static void Destroy();

    // Stores the description and `localAddress` (network order) as internal client, collects
    // the default gateways from `routeFile` and opens the SSDP socket. False when a search runs,
    // no gateway is known or the socket cannot be opened.
    bool Prepare(uint32_t localAddress, const std::string& routeFile = kRouteFile);
    // Searches and maps `listenPort` for TCP and UDP: 0 when TCP is mapped at the end, -1
    // otherwise (also when a search runs or Prepare did not succeed).
    int SearchAndMap(uint16_t listenPort);
    // Ends any search, forgets the gateways and closes the socket.
    void Shutdown();

    bool TcpMapped() const { return m_tcpMapped; }
    bool UdpMapped() const { return m_udpMapped; }
    std::set<std::string> Gateways() const;

    // Maps the protocols not yet mapped through `router` (one SSDP answer's worth of work).
    // Public so that the SOAP exchange can be tested against a router on loopback.
    void MapWithRouter(const UpnpRouter& router);
    // Sets the ports and internal client as a search would (tests of MapWithRouter).
    void SetMappingTarget(uint32_t localAddress, uint16_t port);

private:
    void ReceiverThread(int fd);
    void HandleAnswer(const char* data, size_t size, uint32_t from);
    bool MapProtocol(const UpnpRouter& router, const char* protocol, std::atomic<bool>& mapped);
    bool SendSearches(int fd, const std::set<std::string>& gateways);

    mutable std::mutex m_lock;  // socket, gateways, internal client
    std::atomic<bool> m_idle{true};
    int m_socket = -1;
    std::set<std::string> m_gateways;
    std::string m_internalClient;
    std::string m_description;
    std::atomic<bool> m_tcpMapped{false}, m_udpMapped{false};
    std::atomic<uint16_t> m_internalPort{0}, m_externalPort{0};
};

// One HTTP exchange with a router: connects to `address:port` (blocking, with a time-out so a
// silent router cannot hold the search), sends `request` and reads the answer until the router
// closes the connection, the body named by Content-Length is complete, or `maxBytes` are read.
// False when the connection or the sending failed or nothing was answered.
bool RouterExchange(uint32_t address, uint16_t port, const std::string& request, size_t maxBytes,
                    std::string& answer);

}  // namespace tessali::nat
