#include "engine/core/engine_env.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <unistd.h>

#include <mutex>

#include "engine/platform/file.h"
#include "engine/platform/folders.h"

namespace tessali::core {
namespace {

std::mutex g_folderLock;
std::string g_root;
std::string g_data;

void EnsureFolders() {
    if (g_root.empty()) {
        g_root = platform::DataHome() + "Tessali/";
        g_data = g_root + "Data/";
    }
}

}  // namespace

std::string EngineRootFolder() {
    std::lock_guard lock(g_folderLock);
    EnsureFolders();
    return g_root;
}

std::string EngineDataFolder() {
    std::lock_guard lock(g_folderLock);
    EnsureFolders();
    return g_data;
}

bool PrepareEngineFolders() {
    std::lock_guard lock(g_folderLock);
    g_root.clear();
    EnsureFolders();
    return platform::CreateDirectories(g_data);
}

HostFacts& Host() {
    static HostFacts facts;
    return facts;
}

bool IsSpecialAddress(uint32_t addr) {
    uint32_t h = ntohl(addr);
    uint8_t a = static_cast<uint8_t>(h >> 24);
    uint8_t b = static_cast<uint8_t>(h >> 16);
    return a == 0 || a == 10 || a == 127 || (a == 169 && b == 254) || (a == 172 && b >= 16 && b <= 31) ||
           (a == 192 && b == 168);
}

uint32_t PickLocalAddress(std::span<const uint32_t> addrs) {
    for (uint32_t a : addrs) {
        if (!IsSpecialAddress(a)) {
            return a;
        }
    }
    return addrs.empty() ? 0 : addrs.front();
}

uint32_t DetectLocalAddress() {
    std::vector<uint32_t> addrs;
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) == 0) {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* res = nullptr;
        if (getaddrinfo(name, nullptr, &hints, &res) == 0) {
            for (addrinfo* p = res; p != nullptr; p = p->ai_next) {
                addrs.push_back(reinterpret_cast<sockaddr_in*>(p->ai_addr)->sin_addr.s_addr);
            }
            freeaddrinfo(res);
        }
    }
    if (addrs.empty()) {
        ifaddrs* list = nullptr;
        if (getifaddrs(&list) == 0) {
            for (ifaddrs* p = list; p != nullptr; p = p->ifa_next) {
                if (p->ifa_addr != nullptr && p->ifa_addr->sa_family == AF_INET) {
                    addrs.push_back(reinterpret_cast<sockaddr_in*>(p->ifa_addr)->sin_addr.s_addr);
                }
            }
            freeifaddrs(list);
        }
    }
    return PickLocalAddress(addrs);
}

std::string AddressText(uint32_t addr) {
    in_addr a{addr};
    char buf[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &a, buf, sizeof buf);
    return buf;
}

}  // namespace tessali::core
