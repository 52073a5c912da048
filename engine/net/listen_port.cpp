#include "engine/net/listen_port.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <random>

#include "engine/core/engine_env.h"
#include "engine/core/engine_log.h"
#include "engine/net/thread_mgr.h"

namespace tessali::net {

uint16_t RandomListenPort(uint32_t random) {
    return static_cast<uint16_t>((random & 0xFFF) | 0x1000);
}

uint16_t SelectListenPort(uint32_t natType, uint16_t configuredPort, uint32_t localAddr,
                          const std::function<bool(uint16_t)>& tryListen,
                          const std::function<uint32_t()>& random) {
    if (natType == 0) {
        // No configured port (0) is not a port to try: the system would bind some port of its
        // own that the engine would then not know. A random one takes its attempt.
        uint16_t port = configuredPort != 0 ? configuredPort : RandomListenPort(random());
        for (int i = 0; i < kListenAttempts; ++i) {
            if (tryListen(port)) {
                return port;
            }
            port = RandomListenPort(random());
        }
    }
    uint16_t b = ntohl(localAddr) & 0xFF;
    for (uint16_t base : {20000, 25000, 24000, 23000, 22000, 21000, 20000}) {
        if (tryListen(base + b)) {
            return base + b;
        }
    }
    for (int i = 0; i < kListenAttempts; ++i) {
        uint16_t port;
        do {
            port = RandomListenPort(random());
        } while (port == 80 || port == 8031 || port == 8081);
        if (tryListen(port)) {
            return port;
        }
    }
    return 0;
}

bool UdpPortFree(uint16_t port) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    bool free = bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
    close(fd);
    return free;
}

uint16_t OpenListenPort(CThreadMgr& mgr, uint16_t configuredPort,
                        const std::function<bool(uint16_t)>& udpUsable,
                        const std::function<void(uint16_t)>& onChosen) {
    std::random_device seed;
    std::mt19937 rng(seed());
    core::HostFacts& host = core::Host();
    uint16_t port = SelectListenPort(
        host.natType.load(), configuredPort, host.localAddress.load(),
        [&mgr, &udpUsable](uint16_t p) {
            if (p == 0 || (udpUsable && !udpUsable(p))) {
                return false;
            }
            int sock = mgr.CreateTcpListen(p);
            if (sock < 0) {
                return false;
            }
            if (!mgr.Start(sock)) {
                mgr.Close(sock);
                return false;
            }
            return true;
        },
        [&rng] { return static_cast<uint32_t>(rng()); });
    if (port == 0) {
        core::EngineLog(core::kLogError1, "WARRING:Listen port be occupyed,listen fail!!!\n");
        return 0;
    }
    if (onChosen) {
        onChosen(port);
    }
    host.listenPort = port;
    core::EngineLog(core::kLogError1, "Listenport: %d,Nattype: %d\n", port,
                    static_cast<int>(host.natType.load()));
    return port;
}

}  // namespace tessali::net
