#include "engine/platform/thread.h"

#include <pthread.h>

#include <chrono>
#include <cstring>
#include <thread>

namespace tessali::platform {

void SetCurrentThreadName(const char* name) {
    char shortName[16];
    std::strncpy(shortName, name, sizeof shortName - 1);
    shortName[sizeof shortName - 1] = '\0';
    pthread_setname_np(pthread_self(), shortName);
}

void SleepMs(uint32_t ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace tessali::platform
