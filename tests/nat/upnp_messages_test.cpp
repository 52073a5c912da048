// SSDP and SOAP texts, the reading of SSDP answers and the device-description walk.

#include <gtest/gtest.h>

#include <random>

#include "engine/nat/upnp_messages.h"

namespace tessali::nat {
namespace {

std::string Answer(const std::string& location, const std::string& st = kWanIpService) {
    return "HTTP/1.1 200 OK\r\nCACHE-CONTROL: max-age=120\r\nST: " + st +
           "\r\nUSN: uuid:1::x\r\nEXT:\r\nLOCATION: " + location + "\r\n\r\n";
}

TEST(SsdpTexts, SearchRequestIsExact) {
    EXPECT_EQ(BuildSsdpSearch(kWanPppService),
              "M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nMAN: \"ssdp:discover\"\r\nMX: 6\r\n"
              "ST: urn:schemas-upnp-org:service:WANPPPConnection:1\r\n\r\n");
}

TEST(SsdpTexts, HeadersAreFoundAtLineStartsWithoutRegardToCase) {
    std::string v;
    std::string text = "HTTP/1.1 200 OK\r\nHOST: 1.2.3.4\r\nlocation:http://a/\r\nSt: x\r\n";
    ASSERT_TRUE(FindHeaderValue(text, "LOCATION:", v));
    EXPECT_EQ(v, "http://a/");  // no blank to skip
    ASSERT_TRUE(FindHeaderValue(text, "ST:", v));
    EXPECT_EQ(v, "x");  // "HOST:" does not count as "ST:"
    EXPECT_FALSE(FindHeaderValue("HOST: 1.2.3.4\r\n", "ST:", v));
    // A value without a line end ends with the text; an endless one is bounded.
    ASSERT_TRUE(FindHeaderValue("ST: tail", "ST:", v));
    EXPECT_EQ(v, "tail");
    ASSERT_TRUE(FindHeaderValue("ST: " + std::string(5000, 'x'), "ST:", v));
    EXPECT_EQ(v.size(), kMaxHeaderValue);
}

TEST(SsdpTexts, AnswersGiveLocationPartsAndServiceType) {
    SsdpAnswer a;
    ASSERT_TRUE(ParseSsdpAnswer(Answer("http://192.168.1.1:5000/rootDesc.xml"), a));
    EXPECT_EQ(a.host, "192.168.1.1");
    EXPECT_EQ(a.port, 5000);
    EXPECT_EQ(a.path, "/rootDesc.xml");
    EXPECT_EQ(a.hostHeader, "192.168.1.1:5000");
    EXPECT_EQ(a.serviceType, kWanIpService);

    ASSERT_TRUE(ParseSsdpAnswer(Answer("http://10.0.0.1/desc", kWanPppService), a));
    EXPECT_EQ(a.port, 80);
    EXPECT_EQ(a.serviceType, kWanPppService);

    EXPECT_FALSE(ParseSsdpAnswer("HTTP/1.1 404 Not Found\r\nST: " + std::string(kWanIpService) +
                                     "\r\nLOCATION: http://1.1.1.1:1/\r\n\r\n",
                                 a));
    EXPECT_FALSE(ParseSsdpAnswer(Answer("http://1.1.1.1:1/", "upnp:rootdevice"), a));  // another service
    EXPECT_FALSE(ParseSsdpAnswer(Answer("https://1.1.1.1:1/"), a));
    EXPECT_FALSE(ParseSsdpAnswer(Answer("http://1.1.1.1:99999/"), a));
    EXPECT_FALSE(ParseSsdpAnswer(Answer("http://1.1.1.1:12ab/"), a));
    EXPECT_FALSE(ParseSsdpAnswer(Answer("http://:5000/"), a));
    EXPECT_FALSE(ParseSsdpAnswer("HTTP/1.1 200 OK\r\nST: " + std::string(kWanIpService) + "\r\n\r\n", a));
    EXPECT_FALSE(ParseSsdpAnswer(
        "HTTP/1.1 200 OK\r\nLOCATION: http://1.1.1.1:1/\r\n" + std::string(kWanIpService), a));
}

TEST(SoapTexts, AddPortMappingRequestIsExact) {
    SoapMapping m{6881, 6881, "TCP", "192.168.1.20", "Zorvanteque4.0"};
    std::string body =
        "<?xml version=\"1.0\"?>\r\n"
        "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
        "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\">\r\n"
        "<s:Body>\r\n"
        "<u:AddPortMapping xmlns:u=\"urn:schemas-upnp-org:service:WANIPConnection:1\">\r\n"
        "<NewRemoteHost></NewRemoteHost>\r\n<NewExternalPort>6881</NewExternalPort>\r\n"
        "<NewProtocol>TCP</NewProtocol>\r\n<NewInternalPort>6881</NewInternalPort>\r\n"
        "<NewInternalClient>192.168.1.20</NewInternalClient>\r\n<NewEnabled>1</NewEnabled>\r\n"
        "<NewPortMappingDescription>Zorvanteque4.0</NewPortMappingDescription>\r\n"
        "<NewLeaseDuration>0</NewLeaseDuration>\r\n"
        "</u:AddPortMapping>\r\n</s:Body>\r\n</s:Envelope>\r\n\r\n";
    std::string expected =
        "POST /ctl/IPConn HTTP/1.1\r\nHOST: 192.168.1.1:5000\r\nContent-Length: " +
        std::to_string(body.size()) +
        "\r\nCONTENT-TYPE: text/xml;charset=\"utf-8\"\r\n"
        "SOAPACTION: \"urn:schemas-upnp-org:service:WANIPConnection:1#AddPortMapping\"\r\n\r\n" +
        body;
    EXPECT_EQ(
        BuildSoapRequest(SoapAction::kAddPortMapping, "/ctl/IPConn", "192.168.1.1", 5000, kWanIpService, m),
        expected);
}

TEST(SoapTexts, DeleteAndGetCarryTheThreeKeyArguments) {
    SoapMapping m{7000, 7000, "UDP", "10.0.0.2", "d"};
    const std::string args =
        "<NewRemoteHost></NewRemoteHost>\r\n<NewExternalPort>7000</NewExternalPort>\r\n<NewProtocol>UDP</"
        "NewProtocol>\r\n";
    for (SoapAction action : {SoapAction::kDeletePortMapping, SoapAction::kGetSpecificPortMappingEntry}) {
        std::string name = SoapActionName(action);
        std::string req = BuildSoapRequest(action, "/c", "10.0.0.1", 80, kWanPppService, m);
        EXPECT_NE(req.find("SOAPACTION: \"" + std::string(kWanPppService) + "#" + name + "\"\r\n\r\n"),
                  std::string::npos);
        EXPECT_NE(req.find("<u:" + name + " xmlns:u=\"" + kWanPppService + "\">\r\n" + args + "</u:" + name +
                           ">\r\n"),
                  std::string::npos)
            << req;
        EXPECT_EQ(req.find("NewInternalClient"), std::string::npos);
        // The announced length is the body's.
        size_t bodyAt = req.find("\r\n\r\n") + 4;
        EXPECT_NE(req.find("Content-Length: " + std::to_string(req.size() - bodyAt) + "\r\n"),
                  std::string::npos);
    }
}

TEST(SoapTexts, ElementTextIsTakenBetweenItsTagsWithinBounds) {
    std::string v;
    std::string answer =
        "HTTP/1.1 200 OK\r\n\r\n<u:R><NewInternalClient>10.0.0.2</NewInternalClient>"
        "<NewPortMappingDescription></NewPortMappingDescription></u:R>";
    ASSERT_TRUE(FindElementText(answer, "NewInternalClient", v));
    EXPECT_EQ(v, "10.0.0.2");
    ASSERT_TRUE(FindElementText(answer, "NewPortMappingDescription", v));
    EXPECT_EQ(v, "");
    EXPECT_FALSE(FindElementText("<NewInternalClient>10.0.0.2", "NewInternalClient", v));  // cut answer
    EXPECT_FALSE(FindElementText("<A>" + std::string(3000, 'x') + "</A>", "A", v));
}

std::string Description(const std::string& wanConnections, const std::string& wanType = "WANDevice:1") {
    return "<?xml version=\"1.0\"?><root "
           "xmlns=\"urn:schemas-upnp-org:device-1-0\"><URLBase>http://x/</URLBase>"
           "<device><deviceType>urn:schemas-upnp-org:device:InternetGatewayDevice:1</deviceType><deviceList>"
           "<device><deviceType>urn:schemas-upnp-org:device:" +
           wanType + "</deviceType><deviceList>" + wanConnections +
           "</deviceList></device></deviceList></device></root>";
}

std::string ConnectionDevice(const std::string& services) {
    return "<device><deviceType>urn:schemas-upnp-org:device:WANConnectionDevice:1</deviceType>" + services +
           "</device>";
}

std::string Service(const char* type, const char* url) {
    return std::string("<service><serviceType>") + type + "</serviceType><controlURL>" + url +
           "</controlURL></service>";
}

TEST(DeviceDescription, WalksToTheWanConnectionControlUrl) {
    std::string url;
    // WANIPConnection is preferred even when PPP comes first.
    ASSERT_TRUE(
        FindControlUrl(Description(ConnectionDevice("<serviceList>" + Service(kWanPppService, "/ppp") +
                                                    Service(kWanIpService, "/ip") + "</serviceList>")),
                       url));
    EXPECT_EQ(url, "/ip");
    ASSERT_TRUE(FindControlUrl(
        Description(ConnectionDevice("<serviceList>" + Service(kWanPppService, "/ppp") + "</serviceList>")),
        url));
    EXPECT_EQ(url, "/ppp");
    // The first connection device without a service list is passed over.
    ASSERT_TRUE(FindControlUrl(
        Description(ConnectionDevice("") +
                    ConnectionDevice("<serviceList>" + Service(kWanIpService, "/second") + "</serviceList>")),
        url));
    EXPECT_EQ(url, "/second");
    // An absolute control URL is used by its path.
    ASSERT_TRUE(FindControlUrl(
        Description(ConnectionDevice(
            "<serviceList>" + Service(kWanIpService, "http://192.168.1.1:5000/ctl/IP") + "</serviceList>")),
        url));
    EXPECT_EQ(url, "/ctl/IP");
}

TEST(DeviceDescription, DescriptionsWithoutTheDevicesGiveNoUrl) {
    std::string url = "unchanged";
    EXPECT_FALSE(FindControlUrl(
        Description(ConnectionDevice("<serviceList>" + Service(kWanIpService, "/ip") + "</serviceList>"),
                    "LANDevice:1"),
        url));
    EXPECT_FALSE(FindControlUrl(
        Description(ConnectionDevice("<serviceList>" + Service("urn:schemas-upnp-org:service:Other:1", "/o") +
                                     "</serviceList>")),
        url));
    EXPECT_FALSE(FindControlUrl(
        Description(ConnectionDevice("<serviceList>" + Service(kWanIpService, "") + "</serviceList>")), url));
    EXPECT_FALSE(FindControlUrl("<root><device>", url));  // cut short
    EXPECT_FALSE(FindControlUrl("", url));
    EXPECT_EQ(url, "unchanged");
    EXPECT_EQ(HttpBody("HTTP/1.1 200 OK\r\nA: b\r\n\r\n<root/>"), "<root/>");
    EXPECT_EQ(HttpBody("HTTP/1.1 200 OK\r\nA: b\r\n"), "");
}

// The read bound keeps a router's description to a few KiB, but the walk must not lean on it: a
// whole document nested a million deep (closed properly, with a real control URL at the bottom)
// is refused by the parser's depth limit instead of overflowing the stack.
TEST(DeviceDescription, ADescriptionNestedAMillionDeepGivesNoUrlAndNoCrash) {
    std::string doc = "<?xml version=\"1.0\"?><root>";
    for (int i = 0; i < 1'000'000; ++i) {
        doc += "<device>";
    }
    doc += ConnectionDevice("<serviceList>" + Service(kWanIpService, "/deep") + "</serviceList>");
    for (int i = 0; i < 1'000'000; ++i) {
        doc += "</device>";
    }
    doc += "</root>";
    std::string url = "unchanged";
    EXPECT_FALSE(FindControlUrl(doc, url));
    EXPECT_EQ(url, "unchanged");
}

TEST(SsdpTexts, NoiseAroundTheHeadersReadsWithinTheDatagram) {
    // Random mixtures of the pieces an answer is made of, each read from a buffer of exactly
    // its size (the sanitizer build checks every access).
    const std::vector<std::string> pieces{"HTTP/1.1 200 OK", "\r\n", "LOCATION:", " ",    "http://",
                                          "1.2.3.4",         ":",    "5000",      "/",    "ST:",
                                          kWanIpService,     "x",    "\n",        "99999"};
    std::mt19937 gen(5);
    for (int i = 0; i < 3000; ++i) {
        std::string text;
        for (int k = gen() % 16; k >= 0; --k) {
            text += pieces[gen() % pieces.size()];
        }
        std::vector<char> exact(text.begin(), text.end());
        SsdpAnswer a;
        if (ParseSsdpAnswer(std::string_view(exact.data(), exact.size()), a)) {
            EXPECT_FALSE(a.host.empty()) << text;
            EXPECT_NE(a.port, 0) << text;
            EXPECT_LE(a.serviceType.size(), kMaxHeaderValue);
        }
    }
}

}  // namespace
}  // namespace tessali::nat
