// URL splitting, request texts and the answer reader of the downloader's HTTP client.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <zlib.h>

#include <string>

#include "app/fetch/http_answer.h"
#include "app/fetch/http_request.h"
#include "app/fetch/http_url.h"
#include "common/gzip_text.h"

namespace tessali::app {
namespace {

using test::GzipText;

TEST(HttpUrl, SplitsHostPortAndPath) {
    auto u = SplitHttpUrl("http://example.test:8080/a/b.xml?x=1");
    ASSERT_TRUE(u);
    EXPECT_EQ(u->hostPart, "example.test:8080");
    EXPECT_EQ(u->host, "example.test");
    EXPECT_EQ(u->port, 8080);
    EXPECT_EQ(u->path, "a/b.xml?x=1");

    auto bare = SplitHttpUrl("http://example.test");
    ASSERT_TRUE(bare);
    EXPECT_EQ(bare->hostPart, "example.test");
    EXPECT_EQ(bare->port, 80);
    EXPECT_EQ(bare->path, "");

    auto root = SplitHttpUrl("http://example.test/");
    ASSERT_TRUE(root);
    EXPECT_EQ(root->path, "");
}

TEST(HttpUrl, RefusesWhatItCannotReach) {
    EXPECT_FALSE(SplitHttpUrl("ftp://example.test/a"));
    EXPECT_FALSE(SplitHttpUrl("example.test/a"));
    EXPECT_FALSE(SplitHttpUrl("http:///a"));
    EXPECT_FALSE(SplitHttpUrl("http://:80/a"));
    EXPECT_FALSE(SplitHttpUrl("http://h:0/a"));
    EXPECT_FALSE(SplitHttpUrl("http://h:65536/a"));
    EXPECT_FALSE(SplitHttpUrl("http://h:8x/a"));
    EXPECT_FALSE(SplitHttpUrl("http://h:/a"));
    EXPECT_FALSE(ResolveHttpUrl("no scheme at all"));
}

TEST(HttpRequest, TemplatesAreExact) {
    EXPECT_EQ(BuildManifestRequest("verdomarkelbane.xml", "h:81", kInitialModifiedSince),
              "GET /verdomarkelbane.xml HTTP/1.1\r\n"
              "Accept: */*\r\n"
              "Accept-Language: zh-cn\r\n"
              "Accept-Encoding: gzip,deflate\r\n"
              "User-Agent: tessali\r\n"
              "Host: h:81\r\n"
              "Connection: Keep-Alive\r\n"
              "If-Modified-Since: Wed, 08 Jun 2011 16:30:02 GMT\r\n"
              "\r\n");
    EXPECT_EQ(BuildPictureRequest("p/1.png", "h"),
              "GET /p/1.png HTTP/1.1\r\nAccept: */*\r\nAccept-Language: zh-cn\r\nAccept-Encoding: deflate\r\n"
              "Host: h\r\nConnection: Keep-Alive\r\n\r\n");
    EXPECT_EQ(
        BuildBeaconRequest("c/box/downloader/?name=verdo7&data=launch", "s:8081"),
        "GET /c/box/downloader/?name=verdo7&data=launch HTTP/1.1\r\nAccept: */*\r\nAccept-Language: zh-cn\r\n"
        "Accept-Encoding: deflate\r\nUser-Agent: Tessali\r\nHost: s:8081\r\nConnection: Keep-Alive\r\n\r\n");
    EXPECT_EQ(BuildPictureRequest("", "h").substr(0, 16), "GET / HTTP/1.1\r\n");
}

TEST(HttpAnswer, StatusIsItsCodeWhateverTheReason) {
    for (const char* line :
         {"HTTP/1.1 302 Object moved", "HTTP/1.1 302 Found", "HTTP/1.0 302 Moved Temporarily",
          "HTTP/1.1 301 Moved Permanently", "HTTP/1.1 307 Temporary Redirect"}) {
        auto h = ParseAnswerHead(line);
        ASSERT_TRUE(h) << line;
        EXPECT_TRUE(h->IsRedirect()) << line;
    }
    auto ok = ParseAnswerHead("HTTP/1.1 200 Everything fine");
    ASSERT_TRUE(ok);
    EXPECT_EQ(ok->status, 200);
    EXPECT_FALSE(ok->IsRedirect());
    auto noReason = ParseAnswerHead("HTTP/1.1 304");
    ASSERT_TRUE(noReason);
    EXPECT_EQ(noReason->status, 304);
    // A reason phrase that merely contains a code is not a status.
    auto notFound = ParseAnswerHead("HTTP/1.1 404 not 200 OK");
    ASSERT_TRUE(notFound);
    EXPECT_EQ(notFound->status, 404);
    EXPECT_FALSE(ParseAnswerHead("ICY 200 OK"));
    EXPECT_FALSE(ParseAnswerHead("HTTP/1.1 20 OK"));
    EXPECT_FALSE(ParseAnswerHead("HTTP/1.1 2000 OK"));
    EXPECT_FALSE(ParseAnswerHead("HTTP/1.1 2x0 OK"));
}

TEST(HttpAnswer, HeadersAreFoundByNameNotByText) {
    auto h = ParseAnswerHead(
        "HTTP/1.1 200 OK\r\nX-Content-Length: 5\r\ncontent-length:  12 \r\nLast-Modified: Tue, 01 Dec 2026 "
        "10:00:00 GMT\r\nbroken line\r\nTransfer-Encoding: Chunked");
    ASSERT_TRUE(h);
    ASSERT_NE(h->Find("Content-Length"), nullptr);
    EXPECT_EQ(*h->Find("Content-Length"), "12");
    EXPECT_EQ(*h->Find("Last-Modified"), "Tue, 01 Dec 2026 10:00:00 GMT");
    EXPECT_TRUE(ValueStartsWith(*h->Find("Transfer-Encoding"), "chunked"));
    EXPECT_EQ(h->Find("Location"), nullptr);
    const std::string answer = "HTTP/1.1 200 OK\r\nA: b\r\n\r\nbody";
    EXPECT_EQ(FindHeadEnd(answer), answer.find("body"));
    EXPECT_EQ(FindHeadEnd("HTTP/1.1 200 OK\r\nA: b\r\n"), std::string::npos);
}

TEST(HttpAnswer, InflatesGzipAndZlibAndRefusesBadStreams) {
    std::string plain;
    for (int i = 0; i < 5000; ++i) {
        plain += "<download filename=\"f" + std::to_string(i) + "\"/>\n";
    }
    std::string out;
    ASSERT_TRUE(InflateBody(GzipText(plain), kMaxBodyBytes, out));
    EXPECT_EQ(out, plain);

    uLongf zlen = compressBound(plain.size());
    std::string z(zlen, '\0');
    compress(reinterpret_cast<Bytef*>(z.data()), &zlen, reinterpret_cast<const Bytef*>(plain.data()),
             plain.size());
    z.resize(zlen);
    ASSERT_TRUE(InflateBody(z, kMaxBodyBytes, out));
    EXPECT_EQ(out, plain);

    std::string gz = GzipText(plain);
    EXPECT_FALSE(InflateBody(gz.substr(0, gz.size() / 2), kMaxBodyBytes, out));  // cut short
    EXPECT_TRUE(out.empty());
    EXPECT_FALSE(InflateBody("not compressed at all", kMaxBodyBytes, out));
    EXPECT_FALSE(InflateBody(gz, plain.size() - 1, out));  // decodes past the cap
    EXPECT_TRUE(InflateBody(gz, plain.size(), out));
}

}  // namespace
}  // namespace tessali::app
