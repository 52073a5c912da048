// The URL splitter and host resolver shared by every HTTP job of the downloader (manifest fetch,
// picture fetch, statistics beacon). Only "http://host[:port]/path" URLs are understood; texts are
// UTF-8 here and go on the wire in the ANSI code page. Pure functions, safe from any thread.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tessali::app {

struct HttpUrl {
    std::string hostPart;  // host exactly as written, with ":port" when the URL has one (the Host header)
    std::string host;      // host name without the port
    uint16_t port = 80;
    std::string path;  // the text after the first '/' following the host, without that '/'; may be empty
};

// Splits `url`; nullopt when it holds no "http://", an empty host or a port that is not 1..65535.
std::optional<HttpUrl> SplitHttpUrl(std::string_view url);

// An IPv4 address and port, both in network byte order, ready for connect().
struct HttpAddress {
    in_addr_t address = 0;
    in_port_t port = 0;
};

// Resolves the host of `url` (converted to the ANSI code page) to its first IPv4 address.
std::optional<HttpAddress> ResolveHttpUrl(std::string_view url);
std::optional<HttpAddress> ResolveHttpHost(const HttpUrl& url);

// The request path for a redirect's Location value: an absolute "http://" URL gives its path, a
// leading '/' is dropped (the request templates add it back), anything else is used as it is.
std::string RedirectPath(std::string_view location);

}  // namespace tessali::app
