// Small helpers around std::thread for the engine's worker loops: naming a thread (seen in
// debuggers and top) and sleeping in milliseconds. Threads themselves are std::jthread.
#pragma once

#include <cstdint>

namespace tessali::platform {

void SetCurrentThreadName(const char* name);  // at most 15 characters are kept
void SleepMs(uint32_t ms);

}  // namespace tessali::platform
