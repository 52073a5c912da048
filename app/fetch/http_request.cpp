#include "app/fetch/http_request.h"

namespace tessali::app {
namespace {

std::string RequestLine(std::string_view path) {
    std::string out = "GET /";
    out += path;
    out += " HTTP/1.1\r\nAccept: */*\r\nAccept-Language: zh-cn\r\n";
    return out;
}

void AppendHostAndConnection(std::string& out, std::string_view hostPart) {
    out += "Host: ";
    out += hostPart;
    out += "\r\nConnection: Keep-Alive\r\n";
}

}  // namespace

std::string BuildManifestRequest(std::string_view path, std::string_view hostPart,
                                 std::string_view modifiedSince) {
    std::string out = RequestLine(path);
    out += "Accept-Encoding: gzip,deflate\r\nUser-Agent: tessali\r\n";
    AppendHostAndConnection(out, hostPart);
    out += "If-Modified-Since: ";
    out += modifiedSince;
    out += "\r\n\r\n";
    return out;
}

std::string BuildPictureRequest(std::string_view path, std::string_view hostPart) {
    std::string out = RequestLine(path);
    out += "Accept-Encoding: deflate\r\n";
    AppendHostAndConnection(out, hostPart);
    out += "\r\n";
    return out;
}

std::string BuildBeaconRequest(std::string_view path, std::string_view hostPart) {
    std::string out = RequestLine(path);
    out += "Accept-Encoding: deflate\r\nUser-Agent: Tessali\r\n";
    AppendHostAndConnection(out, hostPart);
    out += "\r\n";
    return out;
}

}  // namespace tessali::app
