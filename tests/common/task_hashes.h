// Task hashes for tests: one whose twenty bytes are all `b`, so that cases tell their tasks apart
// by one small number.
#pragma once

#include <cstdint>

#include "engine/core/task_hash.h"

namespace tessali::test {

inline core::TaskHash HashOf(uint8_t b) {
    core::TaskHash h;
    h.bytes.fill(b);
    return h;
}

}  // namespace tessali::test
