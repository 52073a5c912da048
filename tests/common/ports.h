// A loopback TCP port that was free a moment ago: bound, read back and closed. Good for servers a
// test starts, and as a port where nothing listens.
#pragma once

#include <cstdint>

namespace tessali::test {

uint16_t FreeLoopbackPort();
// A port free for both TCP and UDP (an engine listens on both); the kernel picks it, 0 if none.
uint16_t FreeTcpUdpPort();
// A TCP socket listening on a loopback port the kernel picks (written to `port`); -1 on failure.
int ListenLoopbackTcp(uint16_t& port);
// A blocking TCP connection to `port` on loopback; -1 when it is refused.
int ConnectLoopbackTcp(uint16_t port);
// A UDP socket bound to a loopback port the kernel picks (written to `port`), made with the extra
// socket `flags` (SOCK_NONBLOCK, SOCK_CLOEXEC); -1 on failure.
int BindLoopbackUdp(uint16_t& port, int flags = 0);

}  // namespace tessali::test
