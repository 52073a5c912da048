#include "engine/core/tracker_url.h"

#include <mutex>

#include "engine/core/engine_config.h"

namespace tessali::core {
namespace {

std::mutex g_sourceLock;
std::function<uint32_t()> g_engineTrackerSource;

}  // namespace

std::optional<TrackerUrlParts> SplitTrackerUrl(std::string_view url) {
    TrackerUrlParts parts;
    size_t start;
    if (size_t http = url.find("http://"); http != std::string_view::npos) {
        start = http + 7;
        parts.port = 80;
    } else if (size_t udp = url.find("udp://"); udp != std::string_view::npos) {
        start = udp + 6;
        parts.port = 8080;
        parts.udp = true;
    } else {
        return std::nullopt;
    }
    std::string_view rest = url.substr(start);
    rest = rest.substr(0, rest.find('/'));
    size_t colon = rest.find(':');
    parts.host = std::string(rest.substr(0, colon));
    if (parts.host.empty()) {
        return std::nullopt;
    }
    if (colon != std::string_view::npos) {
        std::string_view digits = rest.substr(colon + 1);
        if (digits.empty() || digits.size() > 5) {
            return std::nullopt;
        }
        uint32_t port = 0;
        for (char c : digits) {
            if (c < '0' || c > '9') {
                return std::nullopt;
            }
            port = port * 10 + static_cast<uint32_t>(c - '0');
        }
        if (port == 0 || port > 65535) {
            return std::nullopt;
        }
        parts.port = static_cast<uint16_t>(port);
    }
    return parts;
}

void SetEngineTrackerAddressSource(std::function<uint32_t()> source) {
    std::lock_guard lock(g_sourceLock);
    g_engineTrackerSource = std::move(source);
}

int TrackerAddressFromUrl(std::string_view url, TrackerAddress& out) {
    auto parts = SplitTrackerUrl(url);
    if (!parts) {
        return -1;
    }
    uint32_t address = 0;
    if (!Config().trackerName.empty() && parts->host == Config().trackerName) {
        std::function<uint32_t()> source;
        {
            std::lock_guard lock(g_sourceLock);
            source = g_engineTrackerSource;
        }
        address = source ? source() : Config().trackerAddr;
    } else {
        address = ResolveIPv4(parts->host);
    }
    if (address == 0) {
        return -1;
    }
    out.address = address;
    out.port = parts->port;
    out.udp = parts->udp;
    return 0;
}

std::string HashUrlForm(std::span<const uint8_t> bytes) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size() * 3);
    for (uint8_t b : bytes) {
        bool plain = (b >= '0' && b <= '9') || (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z');
        if (plain) {
            out.push_back(static_cast<char>(b));
        } else {
            out.push_back('%');
            out.push_back(kHex[b >> 4]);
            out.push_back(kHex[b & 0x0F]);
        }
    }
    return out;
}

}  // namespace tessali::core
