// The three request texts of the downloader's HTTP client, built from fixed templates: the manifest
// fetch (with If-Modified-Since and gzip), the picture fetch and the statistics beacon. Each line
// ends with CR LF and an empty line ends the request. Pure functions.
#pragma once

#include <string>
#include <string_view>

namespace tessali::app {

// The date sent until a server has given a Last-Modified value of its own.
inline constexpr std::string_view kInitialModifiedSince = "Wed, 08 Jun 2011 16:30:02 GMT";

// `path` is the request path without its leading '/'; `hostPart` the Host value as it stands in
// the URL (with ":port" when the URL has one).
std::string BuildManifestRequest(std::string_view path, std::string_view hostPart,
                                 std::string_view modifiedSince);
std::string BuildPictureRequest(std::string_view path, std::string_view hostPart);
std::string BuildBeaconRequest(std::string_view path, std::string_view hostPart);

}  // namespace tessali::app
