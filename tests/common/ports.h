// A loopback TCP port that was free a moment ago: bound, read back and closed. Good for servers a
// test starts, and as a port where nothing listens.
#pragma once

#include <cstdint>

namespace tessali::test {

uint16_t FreeLoopbackPort();
// A port free for both TCP and UDP (an engine listens on both); the kernel picks it, 0 if none.
uint16_t FreeTcpUdpPort();

}  // namespace tessali::test
