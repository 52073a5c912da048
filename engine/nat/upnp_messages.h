// The texts of UPnP port mapping: the SSDP search, the reading of SSDP answers (LOCATION and ST),
// the device-description request and its walk to the WAN connection's control URL, and the
// SOAP requests for GetSpecificPortMappingEntry, DeletePortMapping and AddPortMapping. Every
// reader works within the text it is given and bounds what it takes. Stateless.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tessali::nat {

constexpr const char* kSsdpAddress = "239.255.255.250";
constexpr uint16_t kSsdpPort = 1900;
constexpr const char* kWanPppService = "urn:schemas-upnp-org:service:WANPPPConnection:1";
constexpr const char* kWanIpService = "urn:schemas-upnp-org:service:WANIPConnection:1";
constexpr const char* kMappingDescription = "Zorvanteque4.0";
constexpr size_t kSsdpDatagramBytes = 1024;
constexpr size_t kDescriptionBytes = 8192;
constexpr size_t kSoapAnswerBytes = 2048;
// Longest header value taken from an SSDP answer.
constexpr size_t kMaxHeaderValue = 256;

std::string BuildSsdpSearch(std::string_view serviceType);

// The value of header `name` (case-insensitive, at the start of a line): one blank after the
// colon skipped, up to the line end, at most kMaxHeaderValue characters. False when absent.
bool FindHeaderValue(std::string_view text, std::string_view name, std::string& value);

struct SsdpAnswer {
    std::string host;         // LOCATION host, dotted
    uint16_t port = 80;       // LOCATION port
    std::string path;         // from the first '/' after the host
    std::string hostHeader;   // "host:port" as written in LOCATION
    std::string serviceType;  // ST
};

// A "200 OK" answer naming one of the two WAN connection services, with a LOCATION of the form
// "http://host:port/path" and an ST header. False for anything else.
bool ParseSsdpAnswer(std::string_view datagram, SsdpAnswer& out);

std::string BuildDescriptionRequest(std::string_view path, std::string_view hostHeader);

// The body of an HTTP answer: the text after the first empty line (empty when there is none).
std::string_view HttpBody(std::string_view answer);

// Walks a device description to the control URL of the WAN connection service (WANIPConnection
// preferred over WANPPPConnection in the first WAN connection device that lists services).
// An absolute URL is reduced to its path. False when the description lacks the devices.
bool FindControlUrl(std::string_view xml, std::string& controlUrl);

enum class SoapAction { kGetSpecificPortMappingEntry, kDeletePortMapping, kAddPortMapping };

struct SoapMapping {
    uint16_t externalPort = 0;
    uint16_t internalPort = 0;
    std::string protocol;        // "TCP" or "UDP"
    std::string internalClient;  // dotted
    std::string description;
};

const char* SoapActionName(SoapAction action);
std::string BuildSoapArguments(SoapAction action, const SoapMapping& m);
std::string BuildSoapRequest(SoapAction action, std::string_view controlUrl, std::string_view routerAddress,
                             uint16_t routerPort, std::string_view serviceType, const SoapMapping& m);

// The text between <name> and </name> (the first such pair, at most kMaxHeaderValue
// characters); false when absent.
bool FindElementText(std::string_view text, std::string_view name, std::string& value);

}  // namespace tessali::nat
