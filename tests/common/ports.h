// A loopback TCP port that was free a moment ago: bound, read back and closed. Good for servers a
// test starts, and as a port where nothing listens.
#pragma once

#include <cstdint>

namespace tessali::test {

uint16_t FreeLoopbackPort();

}  // namespace tessali::test
