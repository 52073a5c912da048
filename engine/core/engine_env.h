// What the whole engine shares about its surroundings: its folders (root with "MirtCfg.ini", data
// folder with seeds and resume records) and the host facts learnt at start-up (local address,
// half-open connection limit, NAT type, listen port). Written during start-up, read everywhere.
#pragma once

#include <atomic>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace tessali::core {

// Engine root: <data home>/Tessali/ ; data folder: root + "Data/". Both keep their trailing '/'.
std::string EngineRootFolder();
std::string EngineDataFolder();
// Sets both from the current $XDG_DATA_HOME and creates every missing level; false on failure.
bool PrepareEngineFolders();

struct HostFacts {
    std::atomic<uint32_t> localAddress{0};   // network order
    std::atomic<uint32_t> halfOpenLimit{0};  // 0 = no limit; never above 255
    std::atomic<uint32_t> natType{6};        // 0..7
    std::atomic<uint16_t> listenPort{0};     // host order
};

HostFacts& Host();

// Special addresses (by first and second byte): 0.x, 10.x, 127.x, 169.254.x, 172.16-31.x, 192.168.x.
bool IsSpecialAddress(uint32_t addrNetworkOrder);
// The first address that is not special, else the first; 0 for an empty list.
uint32_t PickLocalAddress(std::span<const uint32_t> addrsNetworkOrder);
// Resolves the host name and applies PickLocalAddress. When the name does not resolve, the
// interface addresses are used instead.
uint32_t DetectLocalAddress();
std::string AddressText(uint32_t addrNetworkOrder);

}  // namespace tessali::core
