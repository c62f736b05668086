// HTTP messages: the incremental parser with its limits, both start-line forms and URL
// parsing; and the InputStream that reads message heads from a socket.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "web/HttpRequest.h"
#include "web/HttpResponse.h"
#include "web/InputStream.h"
#include "web_script_server.h"

namespace {

using webtest::Text;

HttpResponse& Parse(HttpResponse& response, const std::string& bytes) {
    response.Reset();
    response.Feed(bytes);
    return response;
}

// A connected socket pair: what the test writes to `writer` arrives on `reader`.
class InputStreamTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0); }
    void TearDown() override {
        ::close(fds[0]);
        ::close(fds[1]);
    }
    void Write(const std::string& bytes) { webtest::WriteTo(fds[1], bytes); }

    int fds[2] = {-1, -1};
    const int& reader = fds[0];
};

}  // namespace

TEST(HttpParserTest, ReadsStatusLineHeadersAndExactlyTheSizedBody) {
    HttpResponse response;
    Parse(response, "HTTP/1.0 404 Not  Found \r\nServer: x\r\nContent-Length: 5\r\n\r\nhello, and more");
    EXPECT_EQ(response.Version(), "HTTP/1.0");
    EXPECT_EQ(response.StatusCode(), 404);
    EXPECT_EQ(response.Reason(), "Not  Found");
    EXPECT_EQ(response.Headers().Get("server"), "x");
    EXPECT_EQ(response.State(), HttpMessage::kComplete);
    EXPECT_EQ(Text(response.Body()), "hello");

    Parse(response, "HTTP/1.1 200\r\nContent-Length: 0\r\n\r\n");
    EXPECT_EQ(response.Reason(), "");
    EXPECT_EQ(response.State(), HttpMessage::kComplete);  // no body to wait for
}

TEST(HttpParserTest, TakesEveryKindOfLineEndButNeverTheLastByteReceived) {
    const std::string message = "HTTP/1.0 200 OK\nA: 1\r\nB: 2\rC: 3\n\rContent-Length: 3\r\n\r\nxyz";
    HttpResponse whole;
    HttpResponse piecewise;
    Parse(whole, message);
    for (char c : message)
        piecewise.Feed(&c, 1);
    for (HttpResponse* response : {&whole, &piecewise}) {
        EXPECT_EQ(response->Headers().Count(), 4);
        EXPECT_EQ(response->Headers().Get("C"), "3");
        EXPECT_EQ(Text(response->Body()), "xyz");
    }
    // A final "\r" may yet be followed by "\n" (and "\n" by "\r"): the pair then ends one line, not two.
    HttpResponse response;
    for (const char* end : {"\r\n", "\n\r"}) {
        Parse(response, std::string("HTTP/1.0 200 OK") + end[0]);
        EXPECT_EQ(response.State(), HttpMessage::kStartLine);
        response.Feed(end + 1);
        EXPECT_EQ(response.State(), HttpMessage::kHeaders);
    }
}

TEST(HttpParserTest, SplitsAtTheFirstColonAndRefusesMalformedLines) {
    HttpResponse response;
    Parse(response, "HTTP/1.0 302 Found\r\nLocation:  http://h:8080/a:b \r\n\tB: 2\r\n\r\n");
    EXPECT_EQ(response.Headers().Value(0), "http://h:8080/a:b");
    EXPECT_EQ(response.Headers().Name(1), "B");  // a folded line with a colon is a header of its own
    for (const char* bad : {"HTTP/1.0 200 OK\r\n: no name\r\n\r\n", "HTTP/1.0 200 OK\r\nno colon\r\n\r\n",
                            "HTTP/1.0 200 OK\r\nA: 1\r\n  folded\r\n\r\n", "HTTP/1.0\r\n\r\n", "\r\n\r\n"}) {
        EXPECT_THROW(Parse(response, bad), HttpException) << bad;
    }
    Parse(response, "HTTP/1.0 200 OK\r\nContent-Length: 1\r\n\r\nx");
    EXPECT_THROW(response.Feed("more\r\nX"), HttpException);  // nothing may follow a complete message
}

TEST(HttpParserTest, BoundsWhatAHostileServerCanMakeItHold) {
    HttpResponse response;
    for (const char* length : {"16777217", "99999999999999999999999", "-1", "5\r\nContent-Length: 6"}) {
        EXPECT_THROW(
            Parse(response, std::string("HTTP/1.0 200 OK\r\nContent-Length: ") + length + "\r\n\r\n"),
            HttpException)
            << length;
    }
    std::string head = "HTTP/1.0 200 OK\r\n";
    for (int i = 0; i < HttpMessage::kMaxHeaderCount; ++i)
        head += "X-" + std::to_string(i) + ": v\r\n";
    EXPECT_EQ(Parse(response, head + "\r\n").Headers().Count(), HttpMessage::kMaxHeaderCount);
    EXPECT_THROW(Parse(response, head + "X-last: v\r\n\r\n"), HttpException);

    Parse(response, "HTTP/1.0 200 OK\r\nX: ");
    EXPECT_THROW(response.Feed(std::string(HttpMessage::kMaxLineLength + 1, 'a')), HttpException);

    Parse(response, "HTTP/1.0 200 OK\r\n\r\n");
    response.Feed(std::string(HttpMessage::kMaxBodyLength, 'b'));
    EXPECT_THROW(response.Feed("c"), HttpException);
}

TEST(HttpRequestTest, ParsesBothRequestLineForms) {
    HttpRequest request;
    request.Feed("CONNECT http://example.org:443 HTTP/1.0\r\n\r\n");
    EXPECT_EQ(request.Method() + " " + request.Url(), "CONNECT http://example.org:443/");
    EXPECT_TRUE(request.AbsoluteForm());
    request.Reset();
    request.Feed("GET /index.html HTTP/1.0\r\n\r\n");
    EXPECT_EQ(request.Path(), "/index.html");
    EXPECT_FALSE(request.AbsoluteForm());
    request.Reset();
    EXPECT_THROW(request.Feed("GET /x\r\n\r\n"), HttpException);
}

TEST(HttpRequestTest, AnIpv6HostIsBracketedInUrlsHostHeadersAndConnect) {
    HttpRequest request;
    request.SetUrl("http://[2001:db8::1]:8080/list.txt");
    EXPECT_EQ(request.Host(), "2001:db8::1") << "looked up without its brackets";
    EXPECT_EQ(request.Port(), 8080);
    EXPECT_EQ(request.Url(), "http://[2001:db8::1]:8080/list.txt");
    request.SetUrl("http://[::1]/");
    EXPECT_EQ(request.Host(), "::1");
    EXPECT_EQ(request.Port(), 80);
    EXPECT_EQ(request.Url(), "http://[::1]/");
    for (const char* broken : {"http://[::1/x", "http://[::1:80/"}) {
        request.SetUrl(broken);
        EXPECT_EQ(request.Host(), "") << broken << ": no host rather than half of one";
    }
    request.SetUrl("http://198.51.100.7:81/x");
    EXPECT_EQ(request.Host() + ":" + std::to_string(request.Port()), "198.51.100.7:81") << "IPv4 as before";
    request.Reset();
    request.Feed("CONNECT [2001:db8::5]:443 HTTP/1.0\r\n\r\n");
    EXPECT_EQ(request.Host(), "2001:db8::5");
    EXPECT_EQ(request.Port(), 443);
    request.Reset();
    request.Feed("GET http://[2001:db8::5]:8080/a HTTP/1.0\r\n\r\n");
    EXPECT_EQ(request.Host(), "2001:db8::5");
    EXPECT_EQ(request.Port(), 8080);
}

TEST_F(InputStreamTest, LineLimitAllowsTheLimitBeforeABareLineFeedAndOneLessBeforeCrLf) {
    InputStream stream(reader, 1000, 1000);
    Write(std::string(1000, 'a') + "\n" + std::string(999, 'b') + "\r\n" + std::string(1000, 'c') + "\r\n");
    EXPECT_EQ(stream.ReadLine(), std::string(1000, 'a'));
    EXPECT_EQ(stream.ReadLine(), std::string(999, 'b'));
    EXPECT_THROW(stream.ReadLine(), InputStream::LineSizeLimitExceeded);
}

TEST_F(InputStreamTest, ALateLineIsContinuedByTheNextCallAndTheEndOfStreamEndsOne) {
    InputStream stream(reader, 30, 0);
    Write("HTTP/1.");
    EXPECT_THROW(stream.ReadLine(), TimeoutException);
    Write("0 200 OK\r\npartial");
    EXPECT_EQ(stream.ReadLine(), "HTTP/1.0 200 OK");
    ::shutdown(fds[1], SHUT_WR);
    EXPECT_EQ(stream.ReadLine(), "partial");
    EXPECT_EQ(stream.ReadByte(), InputStream::kEndOfStream);
    uint8_t block[4];
    EXPECT_THROW(stream.ReadBlock(block, sizeof(block)), IOException);
}

TEST_F(InputStreamTest, AMessageReadTakesTheSizedBodyAndNotOneByteMore) {
    Write("HTTP/1.0 200 Connection established\r\nContent-Length: 4\r\n\r\nbodyDESTINATION");
    HttpResponse response;
    InputStream stream(reader, 200, 8192);
    response.SetTimeBudget(5000);
    response.ReadMessage(stream);
    EXPECT_EQ(Text(response.Body()), "body");
    EXPECT_EQ(webtest::ReadFrom(reader, 11), "DESTINATION");
}
