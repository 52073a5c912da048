#include "engine/nat/upnp_messages.h"

#include <tinyxml2.h>

#include <charconv>
#include <cstring>
#include <optional>

#include "engine/platform/http_head.h"

namespace tessali::nat {
namespace {

constexpr const char* kIgdType = "urn:schemas-upnp-org:device:InternetGatewayDevice:1";
constexpr const char* kWanDeviceType = "urn:schemas-upnp-org:device:WANDevice:1";
constexpr const char* kWanConnectionDeviceType = "urn:schemas-upnp-org:device:WANConnectionDevice:1";

char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) {
        return false;
    }
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (Lower(text[i]) != Lower(prefix[i])) {
            return false;
        }
    }
    return true;
}

const char* ChildText(const tinyxml2::XMLElement* e, const char* name) {
    const tinyxml2::XMLElement* c = e ? e->FirstChildElement(name) : nullptr;
    const char* text = c ? c->GetText() : nullptr;
    return text ? text : "";
}

// The first "device" child of `list` whose deviceType is `type`.
const tinyxml2::XMLElement* DeviceOfType(const tinyxml2::XMLElement* list, const char* type) {
    for (const tinyxml2::XMLElement* d = list ? list->FirstChildElement("device") : nullptr; d;
         d = d->NextSiblingElement("device")) {
        if (std::strcmp(ChildText(d, "deviceType"), type) == 0) {
            return d;
        }
    }
    return nullptr;
}

}  // namespace

std::string BuildSsdpSearch(std::string_view serviceType) {
    std::string s =
        "M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nMAN: \"ssdp:discover\"\r\nMX: 6\r\nST: ";
    s += serviceType;
    s += "\r\n\r\n";
    return s;
}

bool FindHeaderValue(std::string_view text, std::string_view name, std::string& value) {
    // Routers end lines with CR LF or LF alone, and a datagram may stop without its empty line.
    platform::HttpHeadOptions options;
    options.firstLine = platform::HttpFirstLine::kNone;
    options.bareLf = true;
    options.maxHeadBytes = kDescriptionBytes;
    if (name.ends_with(':')) {
        name.remove_suffix(1);
    }
    std::optional<platform::CHttpHead> head = platform::ReadHttpHead(text, options);
    std::optional<std::string_view> found = head ? head->Find(name) : std::nullopt;
    if (!found) {
        return false;
    }
    value.assign(found->substr(0, kMaxHeaderValue));
    return true;
}

bool ParseSsdpAnswer(std::string_view datagram, SsdpAnswer& out) {
    if (datagram.find("200 OK") == std::string_view::npos ||
        (datagram.find(kWanPppService) == std::string_view::npos &&
         datagram.find(kWanIpService) == std::string_view::npos)) {
        return false;
    }
    std::string location;
    if (!FindHeaderValue(datagram, "LOCATION:", location) || !StartsWithNoCase(location, "http://")) {
        return false;
    }
    std::string_view rest = std::string_view(location).substr(7);
    size_t slash = rest.find('/');
    std::string_view authority = rest.substr(0, slash);
    out.path = slash == std::string_view::npos ? "/" : std::string(rest.substr(slash));
    out.hostHeader = std::string(authority);
    size_t colon = authority.find(':');
    out.host = std::string(authority.substr(0, colon));
    out.port = 80;
    if (colon != std::string_view::npos) {
        std::string_view portText = authority.substr(colon + 1);
        unsigned port = 0;
        auto [end, ec] = std::from_chars(portText.data(), portText.data() + portText.size(), port);
        if (ec != std::errc() || end != portText.data() + portText.size() || port == 0 || port > 65535) {
            return false;
        }
        out.port = static_cast<uint16_t>(port);
    }
    if (out.host.empty() || !FindHeaderValue(datagram, "ST:", out.serviceType) || out.serviceType.empty()) {
        return false;
    }
    return true;
}

std::string BuildDescriptionRequest(std::string_view path, std::string_view hostHeader) {
    std::string s = "GET ";
    s += path;
    s += " HTTP/1.1\r\nHost: ";
    s += hostHeader;
    s += "\r\n\r\n";
    return s;
}

std::string_view HttpBody(std::string_view answer) {
    platform::HttpHeadOptions options;
    options.maxHeadBytes = kDescriptionBytes;
    platform::HttpHeadEnd end = platform::FindHttpHeadEnd(answer, options);
    return end.kind == platform::HttpHeadEnd::kFound ? answer.substr(end.bodyOffset) : std::string_view();
}

bool FindControlUrl(std::string_view xml, std::string& controlUrl) {
    tinyxml2::XMLDocument doc;
    if (doc.Parse(xml.data(), xml.size()) != tinyxml2::XML_SUCCESS) {
        return false;
    }
    const tinyxml2::XMLElement* igd = DeviceOfType(doc.RootElement(), kIgdType);
    const tinyxml2::XMLElement* wan =
        DeviceOfType(igd ? igd->FirstChildElement("deviceList") : nullptr, kWanDeviceType);
    const tinyxml2::XMLElement* conns = wan ? wan->FirstChildElement("deviceList") : nullptr;
    const tinyxml2::XMLElement* services = nullptr;
    for (const tinyxml2::XMLElement* d = conns ? conns->FirstChildElement("device") : nullptr; d && !services;
         d = d->NextSiblingElement("device")) {
        if (std::strcmp(ChildText(d, "deviceType"), kWanConnectionDeviceType) == 0) {
            services = d->FirstChildElement("serviceList");
        }
    }
    if (!services) {
        return false;
    }
    const tinyxml2::XMLElement* chosen = nullptr;
    for (const char* wanted : {kWanIpService, kWanPppService}) {
        for (const tinyxml2::XMLElement* s = services->FirstChildElement("service"); s && !chosen;
             s = s->NextSiblingElement("service")) {
            if (std::strcmp(ChildText(s, "serviceType"), wanted) == 0) {
                chosen = s;
            }
        }
        if (chosen) {
            break;
        }
    }
    std::string url = chosen ? ChildText(chosen, "controlURL") : "";
    if (StartsWithNoCase(url, "http://")) {
        size_t slash = url.find('/', 7);
        url = slash == std::string::npos ? "/" : url.substr(slash);
    }
    if (url.empty() || url.size() > kMaxHeaderValue) {
        return false;
    }
    controlUrl = url;
    return true;
}

const char* SoapActionName(SoapAction action) {
    switch (action) {
        case SoapAction::kGetSpecificPortMappingEntry:
            return "GetSpecificPortMappingEntry";
        case SoapAction::kDeletePortMapping:
            return "DeletePortMapping";
        case SoapAction::kAddPortMapping:
            return "AddPortMapping";
    }
    return "";
}

std::string BuildSoapArguments(SoapAction action, const SoapMapping& m) {
    std::string s = "<NewRemoteHost></NewRemoteHost>\r\n";
    s += "<NewExternalPort>" + std::to_string(m.externalPort) + "</NewExternalPort>\r\n";
    s += "<NewProtocol>" + m.protocol + "</NewProtocol>\r\n";
    if (action == SoapAction::kAddPortMapping) {
        s += "<NewInternalPort>" + std::to_string(m.internalPort) + "</NewInternalPort>\r\n";
        s += "<NewInternalClient>" + m.internalClient + "</NewInternalClient>\r\n";
        s += "<NewEnabled>1</NewEnabled>\r\n";
        s += "<NewPortMappingDescription>" + m.description + "</NewPortMappingDescription>\r\n";
        s += "<NewLeaseDuration>0</NewLeaseDuration>\r\n";
    }
    return s;
}

std::string BuildSoapRequest(SoapAction action, std::string_view controlUrl, std::string_view routerAddress,
                             uint16_t routerPort, std::string_view serviceType, const SoapMapping& m) {
    const std::string name = SoapActionName(action);
    std::string body = "<?xml version=\"1.0\"?>\r\n";
    body +=
        "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
        "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\">\r\n";
    body += "<s:Body>\r\n";
    body += "<u:" + name + " xmlns:u=\"" + std::string(serviceType) + "\">\r\n";
    body += BuildSoapArguments(action, m);
    body += "</u:" + name + ">\r\n";
    body += "</s:Body>\r\n";
    body += "</s:Envelope>\r\n\r\n";

    std::string s = "POST ";
    s += controlUrl;
    s += " HTTP/1.1\r\n";
    s += "HOST: " + std::string(routerAddress) + ":" + std::to_string(routerPort) + "\r\n";
    s += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    s += "CONTENT-TYPE: text/xml;charset=\"utf-8\"\r\n";
    s += "SOAPACTION: \"" + std::string(serviceType) + "#" + name + "\"\r\n\r\n";
    return s + body;
}

bool FindElementText(std::string_view text, std::string_view name, std::string& value) {
    std::string open = "<" + std::string(name) + ">";
    std::string close = "</" + std::string(name) + ">";
    size_t start = text.find(open);
    if (start == std::string_view::npos) {
        return false;
    }
    start += open.size();
    size_t end = text.find(close, start);
    if (end == std::string_view::npos || end - start > kMaxHeaderValue) {
        return false;
    }
    value.assign(text.substr(start, end - start));
    return true;
}

}  // namespace tessali::nat
