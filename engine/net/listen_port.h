// Choosing the engine's listening TCP port at start-up: the configured port when the host is
// reachable, else ports derived from the local address, else random ones (4096-8191). Run once,
// from the engine's start-up thread.
#pragma once

#include <cstdint>
#include <functional>

namespace tessali::net {

class CThreadMgr;

constexpr int kListenAttempts = 6;

// A random listening port: (random & 0xFFF) | 0x1000.
uint16_t RandomListenPort(uint32_t random);

// Tries ports with `tryListen` in the order of the rules; the port that worked, or 0.
uint16_t SelectListenPort(uint32_t natType, uint16_t configuredPort, uint32_t localAddr,
                          const std::function<bool(uint16_t)>& tryListen,
                          const std::function<uint32_t()>& random);

// True when a UDP socket could bind `port` (host order) on every interface now.
bool UdpPortFree(uint16_t port);

// Opens and starts the TCP listener through `mgr`, stores the port in the host facts and logs
// the outcome. A port counts as taken unless `udpUsable` (when given) accepts it too. `onChosen`
// (when given) runs before the port is stored, so whatever must be on that port (the UDP socket
// that logins leave from) is there before a login can announce it. The port, or 0 when every
// attempt failed.
uint16_t OpenListenPort(CThreadMgr& mgr, uint16_t configuredPort,
                        const std::function<bool(uint16_t)>& udpUsable = nullptr,
                        const std::function<void(uint16_t)>& onChosen = nullptr);

}  // namespace tessali::net
