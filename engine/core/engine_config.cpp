#include "engine/core/engine_config.h"

#include <arpa/inet.h>
#include <netdb.h>

namespace tessali::core {

EngineConfig& Config() {
    static EngineConfig config;
    return config;
}

uint32_t ResolveIPv4(const std::string& host) {
    in_addr a{};
    if (inet_pton(AF_INET, host.c_str(), &a) == 1) {
        return a.s_addr;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* res = nullptr;
    if (host.empty() || getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0) {
        return 0;
    }
    uint32_t addr = reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr.s_addr;
    freeaddrinfo(res);
    return addr;
}

}  // namespace tessali::core
