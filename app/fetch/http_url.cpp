#include "app/fetch/http_url.h"

#include <netdb.h>
#include <sys/socket.h>

#include <cstring>

#include "engine/platform/text_convert.h"

namespace tessali::app {
namespace {

constexpr std::string_view kScheme = "http://";

std::optional<uint16_t> ParsePort(std::string_view text) {
    if (text.empty() || text.size() > 5) {
        return std::nullopt;
    }
    uint32_t port = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        port = port * 10 + static_cast<uint32_t>(c - '0');
    }
    if (port == 0 || port > 65535) {
        return std::nullopt;
    }
    return static_cast<uint16_t>(port);
}

}  // namespace

std::optional<HttpUrl> SplitHttpUrl(std::string_view url) {
    size_t scheme = url.find(kScheme);
    if (scheme == std::string_view::npos) {
        return std::nullopt;
    }
    std::string_view rest = url.substr(scheme + kScheme.size());
    HttpUrl out;
    size_t slash = rest.find('/');
    if (slash == 0) {
        return std::nullopt;  // "http:///..." names no host
    }
    if (slash == std::string_view::npos) {
        out.hostPart = std::string(rest);
    } else {
        out.hostPart = std::string(rest.substr(0, slash));
        out.path = std::string(rest.substr(slash + 1));
    }
    size_t colon = out.hostPart.rfind(':');
    if (colon == std::string::npos) {
        out.host = out.hostPart;
    } else {
        auto port = ParsePort(std::string_view(out.hostPart).substr(colon + 1));
        if (!port) {
            return std::nullopt;
        }
        out.port = *port;
        out.host = out.hostPart.substr(0, colon);
    }
    if (out.host.empty()) {
        return std::nullopt;
    }
    return out;
}

std::optional<HttpAddress> ResolveHttpHost(const HttpUrl& url) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    std::string name = platform::Utf8ToAnsi(url.host);
    if (getaddrinfo(name.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
        return std::nullopt;
    }
    HttpAddress address;
    sockaddr_in sin{};
    std::memcpy(&sin, found->ai_addr, sizeof(sin));
    address.address = sin.sin_addr.s_addr;
    address.port = htons(url.port);
    freeaddrinfo(found);
    return address;
}

std::optional<HttpAddress> ResolveHttpUrl(std::string_view url) {
    auto split = SplitHttpUrl(url);
    if (!split) {
        return std::nullopt;
    }
    return ResolveHttpHost(*split);
}

std::string RedirectPath(std::string_view location) {
    if (location.starts_with(kScheme)) {
        std::string_view rest = location.substr(kScheme.size());
        size_t slash = rest.find('/');
        return slash == std::string_view::npos ? std::string() : std::string(rest.substr(slash + 1));
    }
    if (location.starts_with('/')) {
        return std::string(location.substr(1));
    }
    return std::string(location);
}

}  // namespace tessali::app
