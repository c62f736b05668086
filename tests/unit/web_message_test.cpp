// HTTP messages: the header list, the incremental parser with its limits, both start-line forms, URL
// parsing and serialising; and the InputStream that reads message heads from a socket.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "base/Socket.h"
#include "web/HeaderList.h"
#include "web/HttpRequest.h"
#include "web/HttpResponse.h"
#include "web/InputStream.h"
#include "web/WebExceptions.h"
#include "web_script_server.h"

namespace {

using webtest::Text;

// Two connected stream sockets: what the test writes to `writer` arrives on `reader`.
class StreamPair : public ::testing::Test {
protected:
    void SetUp() override {
        int fds[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        reader = fds[0];
        writer = fds[1];
    }
    void TearDown() override {
        ::close(reader);
        if (writer >= 0)
            ::close(writer);
    }
    void Write(const std::string& bytes) { SendAll(writer, bytes.data(), static_cast<int>(bytes.size())); }
    void CloseWriter() {
        ::close(writer);
        writer = -1;
    }

    int reader = -1;
    int writer = -1;
};

HttpResponse& Parse(HttpResponse& response, const std::string& bytes) {
    response.Reset();
    response.Feed(bytes);
    return response;
}

}  // namespace

TEST(HeaderListTest, FindsNamesIgnoringCaseAndRepeatedFieldsOneByOne) {
    HeaderList headers;
    headers.Add("Set-Cookie", "a=1");
    headers.Add("Host", "h");
    headers.Add("SET-COOKIE", "b=2");
    EXPECT_EQ(headers.Find("set-cookie"), 0);
    EXPECT_EQ(headers.Find("set-cookie", 1), 2);
    EXPECT_EQ(headers.Find("set-cookie", 3), -1);
    EXPECT_EQ(headers.Get("HOST"), "h");
    EXPECT_EQ(headers.Get("missing"), "");

    headers.FindOrCreate("host") = "other";
    EXPECT_EQ(headers.Count(), 3);
    headers.FindOrCreate("Connection") = "Keep-Alive";
    EXPECT_EQ(headers.Count(), 4);
    EXPECT_EQ(headers.Name(3), "Connection");
    EXPECT_EQ(headers.Get("host"), "other");
}

TEST(HttpParserTest, ReadsStatusLineHeadersAndASizedBody) {
    HttpResponse response;
    Parse(response, "HTTP/1.0 404 Not  Found \r\nServer: x\r\nContent-Length: 5\r\n\r\nhello, and more");
    EXPECT_EQ(response.Version(), "HTTP/1.0");
    EXPECT_EQ(response.StatusCode(), 404);
    EXPECT_EQ(response.Reason(), "Not  Found");
    EXPECT_EQ(response.Headers().Get("server"), "x");
    EXPECT_EQ(response.State(), HttpMessage::kComplete);
    EXPECT_EQ(Text(response.Body()), "hello");  // the excess is cut off

    Parse(response, "HTTP/1.1 200\r\n\r\n");
    EXPECT_EQ(response.StatusCode(), 200);
    EXPECT_EQ(response.Reason(), "");
    EXPECT_EQ(response.State(), HttpMessage::kBody);
}

TEST(HttpParserTest, CompletesAZeroLengthBodyAtTheEmptyLine) {
    HttpResponse response;
    Parse(response, "HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n");
    EXPECT_EQ(response.State(), HttpMessage::kComplete);
    EXPECT_EQ(response.Body().Length(), 0);
}

TEST(HttpParserTest, TakesEveryKindOfLineEndButNeverTheLastByteReceived) {
    const std::string message = "HTTP/1.0 200 OK\nA: 1\r\nB: 2\rC: 3\n\rContent-Length: 3\r\n\r\nxyz";
    HttpResponse whole;
    Parse(whole, message);
    HttpResponse piecewise;
    piecewise.Reset();
    for (char c : message)
        piecewise.Feed(&c, 1);
    for (HttpResponse* response : {&whole, &piecewise}) {
        EXPECT_EQ(response->StatusCode(), 200);
        ASSERT_EQ(response->Headers().Count(), 4);
        EXPECT_EQ(response->Headers().Get("A"), "1");
        EXPECT_EQ(response->Headers().Get("B"), "2");
        EXPECT_EQ(response->Headers().Get("C"), "3");
        EXPECT_EQ(Text(response->Body()), "xyz");
        EXPECT_EQ(response->State(), HttpMessage::kComplete);
    }

    // A final "\r" may still be followed by "\n", and a final "\n" by "\r": the line waits, and the pair
    // then ends one line, not two (a second, empty one would end the head).
    HttpResponse response;
    for (const char* end : {"\r\n", "\n\r"}) {
        Parse(response, std::string("HTTP/1.0 200 OK") + end[0]);
        EXPECT_EQ(response.State(), HttpMessage::kStartLine);
        response.Feed(end + 1);
        EXPECT_EQ(response.State(), HttpMessage::kHeaders);
    }
}

TEST(HttpParserTest, SplitsAHeaderAtItsFirstColonOnly) {
    HttpResponse response;
    Parse(response, "HTTP/1.0 302 Found\r\nLocation:  http://h:8080/a:b \r\n\r\n");
    EXPECT_EQ(response.Headers().Name(0), "Location");
    EXPECT_EQ(response.Headers().Value(0), "http://h:8080/a:b");
}

TEST(HttpParserTest, RefusesMalformedHeadLines) {
    HttpResponse response;
    EXPECT_THROW(Parse(response, "HTTP/1.0 200 OK\r\n: no name\r\n\r\n"), HttpException);
    EXPECT_THROW(Parse(response, "HTTP/1.0 200 OK\r\nno colon here\r\n\r\n"), HttpException);
    EXPECT_THROW(Parse(response, "HTTP/1.0\r\n\r\n"), HttpException);
    EXPECT_THROW(Parse(response, "\r\n\r\n"), HttpException);  // a closed connection reads as an empty line
    // A folded continuation line is not joined: without a colon it is an error...
    EXPECT_THROW(Parse(response, "HTTP/1.0 200 OK\r\nA: 1\r\n  continued\r\n\r\n"), HttpException);
    // ...with one it is a header of its own.
    Parse(response, "HTTP/1.0 200 OK\r\nA: 1\r\n\tB: 2\r\n\r\n");
    EXPECT_EQ(response.Headers().Count(), 2);
    EXPECT_EQ(response.Headers().Name(1), "B");
    // Nothing may follow a complete message.
    Parse(response, "HTTP/1.0 200 OK\r\nContent-Length: 1\r\n\r\nx");
    EXPECT_THROW(response.Feed("HTTP/1.0 200 OK\r\nX"), HttpException);
}

TEST(HttpParserTest, BoundsWhatAHostileServerCanMakeItHold) {
    HttpResponse response;
    EXPECT_THROW(Parse(response, "HTTP/1.0 200 OK\r\nContent-Length: 16777217\r\n\r\n"), HttpException);
    EXPECT_THROW(Parse(response, "HTTP/1.0 200 OK\r\nContent-Length: 99999999999999999999999\r\n\r\n"),
                 HttpException);
    EXPECT_THROW(Parse(response, "HTTP/1.0 200 OK\r\nContent-Length: -1\r\n\r\n"), HttpException);
    EXPECT_THROW(Parse(response, "HTTP/1.0 200 OK\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\n"),
                 HttpException);
    Parse(response, "HTTP/1.0 200 OK\r\nContent-Length: 16777216\r\n\r\n");
    EXPECT_EQ(response.ContentLength(), HttpMessage::kMaxBodyLength);

    std::string head = "HTTP/1.0 200 OK\r\n";
    for (int i = 0; i < HttpMessage::kMaxHeaderCount; ++i)
        head += "X-" + std::to_string(i) + ": v\r\n";
    Parse(response, head + "\r\n");
    EXPECT_EQ(response.Headers().Count(), HttpMessage::kMaxHeaderCount);
    EXPECT_THROW(Parse(response, head + "X-last: v\r\n\r\n"), HttpException);

    // A line that never ends.
    response.Reset();
    response.Feed("HTTP/1.0 200 OK\r\nX: ");
    const std::string chunk(4096, 'a');
    EXPECT_THROW(
        {
            for (int i = 0; i < 20; ++i)
                response.Feed(chunk);
        },
        HttpException);

    // A body without a length, past the cap.
    Parse(response, "HTTP/1.0 200 OK\r\n\r\n");
    const std::string block(1 << 20, 'b');
    for (int i = 0; i < 16; ++i)
        response.Feed(block);
    EXPECT_EQ(response.Body().Length(), HttpMessage::kMaxBodyLength);
    EXPECT_THROW(response.Feed("c"), HttpException);
}

TEST(HttpRequestTest, SplitsUrlsIntoSchemeHostPortAndPath) {
    HttpRequest request;
    request.SetUrl("  http://example.org:8080/dir/a.txt?x=1  ");
    EXPECT_EQ(request.Scheme(), "http");
    EXPECT_EQ(request.Host(), "example.org");
    EXPECT_EQ(request.Port(), 8080);
    EXPECT_EQ(request.Path(), "/dir/a.txt?x=1");

    request.SetUrl("http://example.org");
    EXPECT_EQ(request.Port(), 80);
    EXPECT_EQ(request.Path(), "/");

    request.SetUrl("://h/x");
    EXPECT_EQ(request.Scheme(), "http");
    EXPECT_EQ(request.Host(), "h");

    request.SetUrl("https://h:443");
    EXPECT_EQ(request.Scheme(), "https");  // kept as text only
    EXPECT_EQ(request.Port(), 443);

    request.SetAbsoluteForm(true);
    request.SetUrl("just/a/path");
    EXPECT_EQ(request.Host(), "");
    EXPECT_EQ(request.Path(), "just/a/path");
    EXPECT_FALSE(request.AbsoluteForm());
}

TEST(HttpRequestTest, SerialisesWithHostFieldAndEitherTargetForm) {
    HttpRequest request;
    ByteBuffer out;
    request.SetMethod("GET");
    request.SetVersion("HTTP/1.0");
    request.SetUrl("http://h/p");
    request.Serialize(out);
    EXPECT_EQ(Text(out), "GET /p HTTP/1.0\r\nHost: h\r\n\r\n");

    request.Reset();
    request.SetMethod("POST");
    request.SetVersion("HTTP/1.0");
    request.SetUrl("http://h:81/p");
    request.SetAbsoluteForm(true);
    request.Headers().Add("Content-Length", "3");
    webtest::Fill(request.Body(), "abc");
    request.Serialize(out);
    EXPECT_EQ(Text(out), "POST http://h:81/p HTTP/1.0\r\nContent-Length: 3\r\nHost: h:81\r\n\r\nabc");
}

TEST(HttpRequestTest, ParsesBothRequestLineForms) {
    HttpRequest request;
    request.Feed("CONNECT example.org:443 HTTP/1.0\r\n\r\n");
    EXPECT_EQ(request.Method(), "CONNECT");
    EXPECT_EQ(request.Host(), "example.org");
    EXPECT_EQ(request.Port(), 443);
    EXPECT_EQ(request.Version(), "HTTP/1.0");
    EXPECT_TRUE(request.AbsoluteForm());

    request.Reset();
    request.Feed("CONNECT http://h HTTP/1.0\r\n\r\n");
    EXPECT_EQ(request.Host(), "h");
    EXPECT_EQ(request.Port(), 80);

    request.Reset();
    request.Feed("GET /index.html HTTP/1.0\r\n\r\n");
    EXPECT_EQ(request.Path(), "/index.html");
    EXPECT_FALSE(request.AbsoluteForm());

    request.Reset();
    request.Feed("GET http://h:81/x HTTP/1.0\r\n\r\n");
    EXPECT_EQ(request.Host(), "h");
    EXPECT_EQ(request.Port(), 81);
    EXPECT_TRUE(request.AbsoluteForm());

    request.Reset();
    EXPECT_THROW(request.Feed("GET /x\r\n\r\n"), HttpException);
}

TEST_F(StreamPair, LineLimitAllowsExactlyTheLimitBeforeABareLineFeed) {
    InputStream stream(reader, 1000, 1000);
    Write(std::string(1000, 'a') + "\n" + std::string(999, 'b') + "\r\n");
    EXPECT_EQ(stream.ReadLine(), std::string(1000, 'a'));
    EXPECT_EQ(stream.ReadLine(), std::string(999, 'b'));

    Write(std::string(1000, 'c') + "\r\n");
    EXPECT_THROW(stream.ReadLine(), InputStream::LineSizeLimitExceeded);
}

TEST_F(StreamPair, LineLimitExceededIsAnIOException) {
    InputStream stream(reader, 1000, 10);
    Write(std::string(11, 'a') + "\n");
    EXPECT_THROW(stream.ReadLine(), IOException);
}

TEST_F(StreamPair, ALateLineIsContinuedByTheNextCall) {
    InputStream stream(reader, 30, 0);
    Write("HTTP/1.");
    EXPECT_THROW(stream.ReadLine(), TimeoutException);
    Write("0 200 OK\r\nnext\n");
    EXPECT_EQ(stream.ReadLine(), "HTTP/1.0 200 OK");
    EXPECT_EQ(stream.ReadLine(), "next");
}

TEST_F(StreamPair, TheEndOfStreamEndsALineAndLaterReads) {
    InputStream stream(reader, 1000, 0);
    Write("partial");
    CloseWriter();
    EXPECT_EQ(stream.ReadLine(), "partial");
    EXPECT_TRUE(stream.AtEnd());
    EXPECT_EQ(stream.ReadByte(), InputStream::kEndOfStream);
    uint8_t block[4];
    EXPECT_THROW(stream.ReadBlock(block, sizeof(block)), IOException);
}

TEST_F(StreamPair, ABlockReadWaitsOnlyItsTimeLimit) {
    InputStream stream(reader, 20, 0);
    uint8_t block[4];
    EXPECT_THROW(stream.ReadBlock(block, sizeof(block)), TimeoutException);
    Write("abcdef");
    EXPECT_EQ(stream.ReadBlock(block, sizeof(block)), 4);
}

TEST_F(StreamPair, ReadMessageTakesTheSizedBodyAndNotOneByteMore) {
    Write("HTTP/1.0 200 Connection established\r\nContent-Length: 4\r\n\r\nbodyDESTINATION");
    HttpResponse response;
    InputStream stream(reader, 200, 8192);
    response.SetTimeBudget(5000);
    response.ReadMessage(stream);
    EXPECT_EQ(Text(response.Body()), "body");
    char rest[32] = {};
    EXPECT_EQ(::recv(reader, rest, sizeof(rest), 0), 11);
    EXPECT_STREQ(rest, "DESTINATION");
}

TEST_F(StreamPair, ReadHeadGivesUpWhenTheBudgetRunsOut) {
    Write("HTTP/1.0 200 OK\r\nServer: slow");
    HttpResponse response;
    InputStream stream(reader, 20, 1000);
    response.SetTimeBudget(100);
    EXPECT_THROW(response.ReadHead(stream), TimeoutException);
    EXPECT_EQ(response.StatusCode(), 200);
}
