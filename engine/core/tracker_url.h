// Tracker addresses taken from the URLs a seed lists, and the URL form of a 20-byte hash that
// BitTorrent tracker announces carry. Pure functions apart from name resolution; any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace tessali::core {

struct TrackerUrlParts {
    std::string host;
    uint16_t port = 80;  // host order; 80 for http, 8080 for udp when the URL names none
    bool udp = false;
};

struct TrackerAddress {
    uint32_t address = 0;  // network order
    uint16_t port = 0;     // host order
    bool udp = false;
};

// Host, port and kind from a URL holding "http://" or "udp://"; nullopt when neither is there,
// the host is empty, or the port is not a decimal number in 1..65535.
std::optional<TrackerUrlParts> SplitTrackerUrl(std::string_view url);

// The address the engine tracker is reached at right now (the tracker agent installs its own;
// by default the configured tracker address).
void SetEngineTrackerAddressSource(std::function<uint32_t()> source);

// 0 and `out` filled, or -1 (not a tracker URL, or the host does not resolve). The engine tracker's
// host name maps to the address the engine currently uses for it instead of a lookup.
int TrackerAddressFromUrl(std::string_view url, TrackerAddress& out);

// Digits and ASCII letters as they are, every other byte as "%XX" (upper-case hex).
std::string HashUrlForm(std::span<const uint8_t> bytes);

}  // namespace tessali::core
