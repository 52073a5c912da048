// The HTTP head reader: where a head ends, status lines, header lookup by name, the bounds, and
// the length reader every caller trusts with sizes taken from the network.

#include <gtest/gtest.h>

#include <string>

#include "engine/platform/http_head.h"

namespace tessali::platform {
namespace {

TEST(HttpHeadEnd, IsTheFirstEmptyLineWithinTheBound) {
    const std::string answer = "HTTP/1.1 200 OK\r\nA: b\r\n\r\nbody\r\n\r\nmore";
    HttpHeadEnd end = FindHttpHeadEnd(answer);
    ASSERT_EQ(end.kind, HttpHeadEnd::kFound);
    EXPECT_EQ(end.bodyOffset, answer.find("body"));
    EXPECT_EQ(FindHttpHeadEnd("HTTP/1.1 200 OK\r\nA: b\r\n").kind, HttpHeadEnd::kIncomplete);
    // Without the option a bare LF LF is no end; with it, LF LF and LF CR LF both are.
    EXPECT_EQ(FindHttpHeadEnd("HTTP/1.1 200 OK\nA: b\n\nbody").kind, HttpHeadEnd::kIncomplete);
    HttpHeadOptions lf;
    lf.bareLf = true;
    EXPECT_EQ(FindHttpHeadEnd("HTTP/1.1 200 OK\nA: b\n\nbody", lf).bodyOffset, 22u);
    EXPECT_EQ(FindHttpHeadEnd("HTTP/1.1 200 OK\nA: b\n\r\nbody", lf).bodyOffset, 23u);
    EXPECT_EQ(FindHttpHeadEnd("HTTP/1.1 200 OK\r\nA: b\r\n\r\nbody", lf).bodyOffset, 25u);
}

TEST(HttpHeadEnd, AHeadThatCannotEndInTimeIsTooLarge) {
    HttpHeadOptions small;
    small.maxHeadBytes = 32;
    const std::string fits = "HTTP/1.1 200 OK\r\nA: 12345678\r\n\r\n";  // exactly 32 bytes
    ASSERT_EQ(fits.size(), 32u);
    EXPECT_EQ(FindHttpHeadEnd(fits, small).kind, HttpHeadEnd::kFound);
    EXPECT_EQ(FindHttpHeadEnd(fits.substr(0, 31), small).kind, HttpHeadEnd::kIncomplete);
    // One byte more and the empty line lies past the bound, however much arrives after it.
    const std::string over = "HTTP/1.1 200 OK\r\nA: 123456789\r\n\r\n";
    EXPECT_EQ(FindHttpHeadEnd(over, small).kind, HttpHeadEnd::kTooLarge);
    EXPECT_EQ(FindHttpHeadEnd(over + "body", small).kind, HttpHeadEnd::kTooLarge);
    EXPECT_EQ(FindHttpHeadEnd(std::string(32, 'x'), small).kind, HttpHeadEnd::kTooLarge);
    EXPECT_EQ(FindHttpHeadEnd(std::string(1 << 20, 'x'), small).kind, HttpHeadEnd::kTooLarge);
}

TEST(HttpStatusLine, IsReadByItsCodeWhateverTheReason) {
    auto found = ReadHttpHead("HTTP/1.0 302 Moved Temporarily");
    ASSERT_TRUE(found);
    EXPECT_EQ(found->Status(), 302);
    EXPECT_EQ(found->Version(), "1.0");
    EXPECT_EQ(found->Reason(), "Moved Temporarily");
    auto bare = ReadHttpHead("HTTP/1.1 304");
    ASSERT_TRUE(bare);
    EXPECT_EQ(bare->Status(), 304);
    EXPECT_EQ(bare->Reason(), "");
    // A reason phrase that merely contains a code is not the status.
    auto notFound = ReadHttpHead("HTTP/1.1 404 not 200 OK\r\nA: b\r\n");
    ASSERT_TRUE(notFound);
    EXPECT_EQ(notFound->Status(), 404);
    for (const char* line : {"ICY 200 OK", "HTTP/1.1 20 OK", "HTTP/1.1 2000 OK", "HTTP/1.1 2x0 OK",
                             "HTTP/1.1", "", "A: b\r\nHTTP/1.1 200 OK", " HTTP/1.1 200 OK"}) {
        EXPECT_FALSE(ReadHttpHead(line)) << line;
    }
}

TEST(HttpStatusLine, IsReadOnlyWhenTheCallerExpectsAnAnswer) {
    HttpHeadOptions request;
    request.firstLine = HttpFirstLine::kSkipped;
    auto post = ReadHttpHead("POST /service HTTP/1.1\r\nContent-Length: 68\r\n\r\n", request);
    ASSERT_TRUE(post);
    EXPECT_EQ(post->Status(), 0);
    EXPECT_EQ(post->Find("Content-Length"), "68");
    // Skipped, the first line is not a header even when it looks like one.
    EXPECT_FALSE(ReadHttpHead("ST: first\r\n", request)->Find("ST"));
    HttpHeadOptions fragment;
    fragment.firstLine = HttpFirstLine::kNone;
    EXPECT_EQ(ReadHttpHead("ST: first\r\n", fragment)->Find("ST"), "first");
}

TEST(HttpHeaders, AreFoundByTheirWholeNameWithoutRegardToCase) {
    auto h = ReadHttpHead(
        "HTTP/1.1 200 OK\r\nX-Content-Length: 5\r\ncontent-length:  12 \r\nContent-Lengthy: 7\r\n"
        "Last-Modified: Tue, 01 Dec 2026 10:00:00 GMT\r\nbroken line\r\n: no "
        "name\r\nTransfer-Encoding:\tChunked\t");
    ASSERT_TRUE(h);
    EXPECT_EQ(h->Find("Content-Length"), "12");
    EXPECT_EQ(h->Find("CONTENT-LENGTH"), "12");
    EXPECT_EQ(h->Find("X-Content-Length"), "5");
    EXPECT_EQ(h->Find("Last-Modified"), "Tue, 01 Dec 2026 10:00:00 GMT");  // colons in the value stay
    EXPECT_EQ(h->Find("Transfer-Encoding"), "Chunked");
    EXPECT_FALSE(h->Find("Length"));
    EXPECT_FALSE(h->Find("Location"));
    EXPECT_FALSE(h->Find(""));
    EXPECT_EQ(h->HeaderCount(), 5u);
    // Only the X- form present: still no Content-Length.
    EXPECT_FALSE(ReadHttpHead("HTTP/1.1 200 OK\r\nX-Content-Length: 5\r\n")->Find("Content-Length"));
    // The first of two wins; an empty value is a value.
    auto twice = ReadHttpHead("HTTP/1.1 200 OK\r\nA: 1\r\nA: 2\r\nB:\r\n");
    EXPECT_EQ(twice->Find("a"), "1");
    EXPECT_EQ(twice->Find("B"), "");
}

TEST(HttpHeaders, StopAtTheEmptyLineAndFollowTheLineEndRule) {
    auto h = ReadHttpHead("HTTP/1.1 200 OK\r\nA: 1\r\n\r\nB: 2\r\n");
    ASSERT_TRUE(h);
    EXPECT_FALSE(h->Find("B"));  // body text is no header
    // Without the option a lone LF does not end a line: it stays inside the value.
    auto crlf = ReadHttpHead("HTTP/1.1 200 OK\r\nA: 1\nB: 2\r\n");
    EXPECT_EQ(crlf->Find("A"), "1\nB: 2");
    EXPECT_FALSE(crlf->Find("B"));
    HttpHeadOptions lf;
    lf.bareLf = true;
    auto bare = ReadHttpHead("HTTP/1.1 200 OK\nA: 1\r\nB: 2\nC: 3\r", lf);
    ASSERT_TRUE(bare);
    EXPECT_EQ(bare->Status(), 200);
    EXPECT_EQ(bare->Find("A"), "1");
    EXPECT_EQ(bare->Find("B"), "2");
    EXPECT_EQ(bare->Find("C"), "3");
    EXPECT_FALSE(ReadHttpHead("HTTP/1.1 200 OK\nA: 1\n\nB: 2\n", lf)->Find("B"));
}

TEST(HttpHeaders, OutliveTheBufferTheyWereReadFrom) {
    std::optional<CHttpHead> kept;
    {
        std::string buffer = "HTTP/1.1 301 Moved\r\nLocation: /elsewhere/file.xml\r\n";
        kept = ReadHttpHead(buffer);
        buffer.assign(buffer.size(), '#');
    }
    ASSERT_TRUE(kept);
    CHttpHead copy = *kept;
    kept.reset();
    EXPECT_EQ(copy.Status(), 301);
    EXPECT_EQ(copy.Reason(), "Moved");
    EXPECT_EQ(copy.Find("Location"), "/elsewhere/file.xml");
}

TEST(HttpHeaders, AreBoundedInBytesAndLines) {
    HttpHeadOptions small;
    small.maxHeadBytes = 64;
    small.maxLines = 3;
    EXPECT_TRUE(ReadHttpHead("HTTP/1.1 200 OK\r\nA: 1\r\nB: 2\r\nC: 3\r\n\r\n", small));
    EXPECT_FALSE(ReadHttpHead("HTTP/1.1 200 OK\r\nA: 1\r\nB: 2\r\nC: 3\r\nD: 4\r\n\r\n", small));
    // Lines that are no headers count too: they cost the same to walk.
    EXPECT_FALSE(ReadHttpHead("HTTP/1.1 200 OK\r\nA: 1\r\nx\r\ny\r\nz\r\n", small));
    EXPECT_FALSE(ReadHttpHead("HTTP/1.1 200 OK\r\nA: " + std::string(60, 'v'), small));
    // What follows the empty line is not counted against the head.
    EXPECT_TRUE(ReadHttpHead("HTTP/1.1 200 OK\r\n\r\nx\r\ny\r\nz\r\nw\r\n", small));
    auto withBody = ReadHttpHead("HTTP/1.1 200 OK\r\nA: 1\r\n\r\n" + std::string(1 << 20, 'b'), small);
    ASSERT_TRUE(withBody);
    EXPECT_EQ(withBody->Find("A"), "1");
}

TEST(HttpLength, TakesDigitsOnlyAndRefusesOverflow) {
    EXPECT_EQ(ParseHttpLength("0"), 0u);
    EXPECT_EQ(ParseHttpLength("1234567890123"), 1234567890123u);
    EXPECT_EQ(ParseHttpLength("18446744073709551615"), UINT64_MAX);
    EXPECT_EQ(ParseHttpLength("0000000000000000000000012"), 12u);
    for (const char* junk : {"", "-1", "+1", "12abc", "abc", "1 2", " 12", "12 ", "0x10", "1e3", "1.0",
                             "18446744073709551616", "99999999999999999999999"}) {
        EXPECT_FALSE(ParseHttpLength(junk)) << junk;
    }
    EXPECT_EQ(ParseHttpLength("133120", 133120), 133120u);
    EXPECT_FALSE(ParseHttpLength("133121", 133120));
    EXPECT_FALSE(ParseHttpLength("9223372036854775808", INT64_MAX));
    EXPECT_FALSE(ParseHttpLength("5", 0));
    EXPECT_EQ(ParseHttpLength("0", 0), 0u);
}

TEST(HttpTokens, CompareWithoutRegardToCase) {
    EXPECT_TRUE(HttpTextEquals("Identity", "identity"));
    EXPECT_FALSE(HttpTextEquals("identity ", "identity"));
    EXPECT_TRUE(HttpValueStartsWith("GZIP, deflate", "gzip"));
    EXPECT_FALSE(HttpValueStartsWith("gz", "gzip"));
    EXPECT_FALSE(HttpValueStartsWith("x-gzip", "gzip"));
    EXPECT_EQ(HttpTrimBlanks(" \t bytes 0-4/5\t "), "bytes 0-4/5");
    EXPECT_EQ(HttpTrimBlanks(" \t "), "");
    EXPECT_EQ(HttpTrimBlanks("a \r"), "a \r") << "only blanks go";
}

}  // namespace
}  // namespace tessali::platform
