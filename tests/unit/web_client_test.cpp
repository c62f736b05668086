// HttpClient against scripted servers on 127.0.0.1: request bytes, bodies with and without a length,
// connection reuse and replacement, redirects, status dispatch, cookies, the HTTP-proxy mode, and the
// hostile servers whose replies must neither hang the client past its deadline nor make it take
// unbounded memory.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "base/ByteBuffer.h"
#include "web/CookieStore.h"
#include "web/HttpClient.h"
#include "web/InputStream.h"
#include "web/WebExceptions.h"
#include "web_script_server.h"

namespace {

using webtest::Peer;
using webtest::Recorder;
using webtest::ScriptServer;
using webtest::Text;
using Clock = std::chrono::steady_clock;

std::string Reply(const std::string& status, const std::string& body, const std::string& headers = "") {
    return "HTTP/1.0 " + status + "\r\n" + headers + "Content-Length: " + std::to_string(body.size()) +
           "\r\n\r\n" + body;
}

std::string Ok(const std::string& body) {
    return Reply("200 OK", body);
}

// Answers every request on a connection with `reply`, recording each request, until the client closes.
ScriptServer::Script KeepAnswering(Recorder& requests, const std::string& reply) {
    return [&requests, reply](Peer& peer) {
        for (;;) {
            const std::string request = peer.ReadRequest();
            if (request.empty())
                return;
            requests.Add(request);
            peer.Send(reply);
        }
    };
}

std::string FirstLine(const std::string& request) {
    return request.substr(0, request.find("\r\n"));
}

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

class HttpClientTest : public ::testing::Test {
protected:
    void SetUp() override { client.SetTimeout(5); }

    HttpClient client;
    ByteBuffer out;
    Recorder requests;
};

}  // namespace

TEST_F(HttpClientTest, SendsAMinimalHttp10GetAndReturnsTheBody) {
    ScriptServer server(KeepAnswering(requests, Ok("hello")));
    client.Get(server.Url("/dir/a.txt"), out);
    EXPECT_EQ(Text(out), "hello");
    EXPECT_EQ(requests.At(0), "GET /dir/a.txt HTTP/1.0\r\nConnection: Keep-Alive\r\nHost: 127.0.0.1:" +
                                  std::to_string(server.Port()) + "\r\n\r\n");
    EXPECT_EQ(client.Response().StatusCode(), 200);
}

TEST_F(HttpClientTest, PostsTheBodyWithItsLengthAndNoContentType) {
    ScriptServer server(KeepAnswering(requests, Ok("done")));
    ByteBuffer body;
    webtest::Fill(body, "a=1&b=2");
    client.DefaultHeaders().Add("User-Agent", "qparlin");
    client.Post(server.Url("/form"), body, out);
    EXPECT_EQ(Text(out), "done");
    const std::string request = requests.At(0);
    EXPECT_EQ(FirstLine(request), "POST /form HTTP/1.0");
    EXPECT_NE(request.find("\r\nUser-Agent: qparlin\r\n"), std::string::npos);
    EXPECT_NE(request.find("\r\nContent-Length: 7\r\n"), std::string::npos);
    EXPECT_EQ(request.find("Content-Type"), std::string::npos);
    EXPECT_EQ(request.substr(request.size() - 7), "a=1&b=2");
}

TEST_F(HttpClientTest, WithoutKeepAliveSendsNoConnectionField) {
    ScriptServer server(KeepAnswering(requests, Ok("x")));
    client.SetKeepAlive(false);
    client.Get(server.Url("/"), out);
    EXPECT_EQ(requests.At(0).find("Connection"), std::string::npos);
}

TEST_F(HttpClientTest, AZeroContentLengthEndsTheResponseWithoutWaitingForABody) {
    // The server keeps the connection open and silent: any read of a body would run into the time-out.
    ScriptServer server(KeepAnswering(requests, "HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n"));
    webtest::Fill(out, "stale");
    client.Get(server.Url("/"), out);
    EXPECT_EQ(out.Length(), 0);
}

TEST_F(HttpClientTest, ABodyWithoutLengthEndsWhenTheServerCloses) {
    const std::string big(50000, 'z');
    ScriptServer server([&](Peer& peer) {
        peer.ReadRequest();
        peer.Send("HTTP/1.0 200 OK\r\nServer: test\r\n\r\n" + big);
    });
    client.Get(server.Url("/"), out);
    EXPECT_EQ(Text(out), big);
}

TEST_F(HttpClientTest, ABodyCutShortOfItsLengthFails) {
    ScriptServer server([&](Peer& peer) {
        peer.ReadRequest();
        peer.Send("HTTP/1.0 200 OK\r\nContent-Length: 10\r\n\r\nabc");
    });
    try {
        client.Get(server.Url("/"), out);
        FAIL() << "a truncated body was accepted";
    } catch (const TimeoutException&) {
        FAIL() << "the close was taken for a time-out";
    } catch (const Exception&) {
    }
}

TEST_F(HttpClientTest, AConnectionClosedBeforeTheStatusLineIsAnHttpException) {
    ScriptServer server([&](Peer& peer) { peer.ReadRequest(); });
    EXPECT_THROW(client.Get(server.Url("/"), out), HttpException);
}

TEST_F(HttpClientTest, ReusesTheKeptConnection) {
    ScriptServer server(KeepAnswering(requests, Ok("same")));
    client.Get(server.Url("/1"), out);
    client.Get(server.Url("/2"), out);
    client.Get(server.Url("/3"), out);
    EXPECT_EQ(requests.Count(), 3u);
    EXPECT_EQ(server.Accepted(), 1);
}

TEST_F(HttpClientTest, ReplacesAKeptConnectionTheServerClosedWithoutTellingTheCaller) {
    ScriptServer server([&](Peer& peer) {
        requests.Add(peer.ReadRequest());
        peer.Send(Ok("answer " + std::to_string(peer.Index())));
    });
    client.Get(server.Url("/1"), out);
    ASSERT_TRUE(server.WaitServed(1));
    client.Get(server.Url("/2"), out);
    EXPECT_EQ(Text(out), "answer 1");
    EXPECT_EQ(server.Accepted(), 2);
}

TEST_F(HttpClientTest, ReconnectsForAnotherHostOrPort) {
    Recorder other;
    ScriptServer first(KeepAnswering(requests, Ok("first")));
    ScriptServer second(KeepAnswering(other, Ok("second")));
    client.Get(first.Url("/"), out);
    client.Get(second.Url("/"), out);
    EXPECT_EQ(Text(out), "second");
    client.Get(first.Url("/"), out);
    EXPECT_EQ(Text(out), "first");
    EXPECT_EQ(first.Accepted(), 2);
}

TEST_F(HttpClientTest, NeverReadsAnEarlierAnswersLeftoversAsTheNextAnswer) {
    // Bytes after the announced length are still on the connection: it must not be reused.
    ScriptServer server([&](Peer& peer) {
        for (;;) {
            if (peer.ReadRequest().empty())
                return;
            peer.Send(Ok("body " + std::to_string(peer.Index())) + "HTTP/1.0 200 OK\r\n\r\ngarbage");
        }
    });
    client.Get(server.Url("/"), out);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    client.Get(server.Url("/"), out);
    EXPECT_EQ(Text(out), "body 1");
}

TEST_F(HttpClientTest, DropsAConnectionLeftHalfReadByAFailure) {
    // The first answer stops half way and finishes only after the client has given up; its tail, and
    // the fake answer behind it, must never be taken for the second request's answer.
    ScriptServer server([&](Peer& peer) {
        if (peer.ReadRequest().empty())
            return;
        if (peer.Index() == 0) {
            peer.Send("HTTP/1.0 200 OK\r\nContent-Length: 10\r\n\r\nabcde");
            std::this_thread::sleep_for(std::chrono::milliseconds(1500));
            peer.Send("fghij" + Ok("WRONG"));
            peer.WaitForClose(3000);
        } else {
            peer.Send(Ok("RIGHT"));
        }
    });
    client.SetTimeout(1);
    EXPECT_THROW(client.Get(server.Url("/"), out), TimeoutException);
    EXPECT_FALSE(client.Connected());
    client.SetTimeout(5);
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    client.Get(server.Url("/"), out);
    EXPECT_EQ(Text(out), "RIGHT");
}

TEST_F(HttpClientTest, FollowsARelativeRedirectWithinTheDirectoryOnTheSamePort) {
    ScriptServer server([&](Peer& peer) {
        for (;;) {
            const std::string request = peer.ReadRequest();
            if (request.empty())
                return;
            requests.Add(request);
            if (FirstLine(request) == "GET /dir/a.txt HTTP/1.0") {
                peer.Send(Reply("302 Found", "moved", "Location: next.txt\r\n"));
            } else {
                peer.Send(Ok("next"));
            }
        }
    });
    client.Get(server.Url("/dir/a.txt"), out);
    EXPECT_EQ(Text(out), "next");
    ASSERT_EQ(requests.Count(), 2u);
    EXPECT_EQ(FirstLine(requests.At(1)), "GET /dir/next.txt HTTP/1.0");
    EXPECT_NE(requests.At(1).find("\r\nHost: 127.0.0.1:" + std::to_string(server.Port()) + "\r\n"),
              std::string::npos);
}

TEST_F(HttpClientTest, FollowsAbsoluteAndRootRelativeRedirectsWithGet) {
    ScriptServer target(KeepAnswering(requests, Ok("arrived")));
    Recorder first;
    ScriptServer origin([&](Peer& peer) {
        for (;;) {
            const std::string request = peer.ReadRequest();
            if (request.empty())
                return;
            first.Add(request);
            if (first.Count() == 1) {
                peer.Send(Reply("303 See Other", "", "Location: /elsewhere\r\n"));
            } else {
                peer.Send(Reply("301 Moved", "", "Location: " + target.Url("/final") + "\r\n"));
            }
        }
    });
    ByteBuffer body;
    webtest::Fill(body, "payload");
    client.Post(origin.Url("/form"), body, out);
    EXPECT_EQ(Text(out), "arrived");
    EXPECT_EQ(FirstLine(first.At(1)), "GET /elsewhere HTTP/1.0");
    EXPECT_EQ(first.At(1).find("payload"), std::string::npos);
    EXPECT_EQ(FirstLine(requests.At(0)), "GET /final HTTP/1.0");
}

TEST_F(HttpClientTest, DoesNotFollowARedirectToHttpsAndKeepsItsBody) {
    ScriptServer server(
        KeepAnswering(requests, Reply("301 Moved", "see https", "Location: https://h/x\r\n")));
    client.Get(server.Url("/"), out);
    EXPECT_EQ(client.Response().StatusCode(), 301);
    EXPECT_EQ(Text(out), "see https");
    EXPECT_EQ(requests.Count(), 1u);
}

TEST_F(HttpClientTest, ARelativeLocationMentioningAnAddressIsStillRelative) {
    ScriptServer server([&](Peer& peer) {
        for (;;) {
            const std::string request = peer.ReadRequest();
            if (request.empty())
                return;
            requests.Add(request);
            if (requests.Count() == 1) {
                peer.Send(Reply("302 Found", "", "Location: /go?to=http://elsewhere/\r\n"));
            } else {
                peer.Send(Ok("here"));
            }
        }
    });
    client.Get(server.Url("/"), out);
    EXPECT_EQ(Text(out), "here");
    EXPECT_EQ(FirstLine(requests.At(1)), "GET /go?to=http://elsewhere/ HTTP/1.0");
}

TEST_F(HttpClientTest, ReturnsARedirectItIsToldNotToFollowOrThatHasNoLocation) {
    ScriptServer server(KeepAnswering(requests, Reply("302 Found", "stay", "Location: /other\r\n")));
    client.SetFollowRedirects(false);
    client.Get(server.Url("/"), out);
    EXPECT_EQ(Text(out), "stay");

    ScriptServer bare(KeepAnswering(requests, Reply("303 See Other", "no location")));
    client.SetFollowRedirects(true);
    client.Get(bare.Url("/"), out);
    EXPECT_EQ(Text(out), "no location");
}

TEST_F(HttpClientTest, StopsARedirectLoop) {
    ScriptServer server([&](Peer& peer) {
        for (;;) {
            const std::string request = peer.ReadRequest();
            if (request.empty())
                return;
            requests.Add(request);
            peer.Send(Reply("302 Found", "", "Location: /again\r\n"));
        }
    });
    EXPECT_THROW(client.Get(server.Url("/"), out), HttpClient::BadResponseException);
    EXPECT_EQ(requests.Count(), static_cast<size_t>(HttpClient::kMaxRedirects + 1));
}

TEST_F(HttpClientTest, DispatchesOnTheStatusAndKeepsTheResponseReadable) {
    ScriptServer notFound(KeepAnswering(requests, Reply("404 Not Found", "nothing")));
    EXPECT_THROW(client.Get(notFound.Url("/"), out), HttpClient::BadResponseException);
    EXPECT_EQ(client.Response().StatusCode(), 404);
    EXPECT_EQ(client.Response().Reason(), "Not Found");

    ScriptServer unauthorized(KeepAnswering(requests, Reply("401 Unauthorized", "")));
    EXPECT_THROW(client.Get(unauthorized.Url("/"), out), HttpClient::AuthenticationRequiredException);

    ScriptServer proxyAuth(KeepAnswering(requests, Reply("407 Proxy Authentication Required", "")));
    EXPECT_THROW(client.Get(proxyAuth.Url("/"), out), ProxyClient::ProxyAuthenticationRequiredException);
}

TEST_F(HttpClientTest, RefusesHostileHeads) {
    ScriptServer endless([&](Peer& peer) {
        peer.ReadRequest();
        peer.Send("HTTP/1.0 200 OK\r\nX-Endless: " + std::string(5000, 'a'));
        peer.WaitForClose();
    });
    EXPECT_THROW(client.Get(endless.Url("/"), out), InputStream::LineSizeLimitExceeded);

    ScriptServer many([&](Peer& peer) {
        peer.ReadRequest();
        std::string head = "HTTP/1.0 200 OK\r\n";
        for (int i = 0; i < 200; ++i)
            head += "X-" + std::to_string(i) + ": v\r\n";
        peer.Send(head + "\r\n");
        peer.WaitForClose();
    });
    EXPECT_THROW(client.Get(many.Url("/"), out), HttpException);
}

TEST_F(HttpClientTest, RefusesAHugeBodyBeforeTakingTheMemory) {
    ScriptServer server([&](Peer& peer) {
        peer.ReadRequest();
        peer.Send("HTTP/1.0 200 OK\r\nContent-Length: 2000000000\r\n\r\nabc");
        peer.WaitForClose();
    });
    EXPECT_THROW(client.Get(server.Url("/"), out), HttpException);
    EXPECT_LT(out.Capacity(), 1024 * 1024);
}

TEST_F(HttpClientTest, RefusesAnUnsizedBodyPastTheCap) {
    ScriptServer server([&](Peer& peer) {
        peer.ReadRequest();
        peer.Send("HTTP/1.0 200 OK\r\n\r\n");
        const std::string block(1 << 20, 'x');
        for (int i = 0; i < 17; ++i)
            peer.Send(block);
        peer.WaitForClose();
    });
    EXPECT_THROW(client.Get(server.Url("/"), out), HttpException);
    EXPECT_LE(out.Capacity(), 2 * HttpMessage::kMaxBodyLength + 2);
}

TEST_F(HttpClientTest, ConnectionFailuresReachTheCaller) {
    EXPECT_THROW(client.Get("http://127.0.0.1:" + std::to_string(webtest::UnusedPort()) + "/", out),
                 ConnectException);
    EXPECT_THROW(client.Get("http://no.such.host.invalid/", out), UnknownHostException);
}

TEST_F(HttpClientTest, SpeaksToAnHttpProxyWithAbsoluteUrls) {
    ScriptServer proxy(KeepAnswering(requests, Ok("via proxy")));
    client.Proxy().SetProxyType(ProxyClient::HttpTunnel);
    client.Proxy().SetProxyHost("127.0.0.1");
    client.Proxy().SetProxyPort(proxy.Port());
    client.Get("http://destination.example:8080/page", out);
    EXPECT_EQ(Text(out), "via proxy");
    client.Get("http://other.example/page", out);
    const std::string request = requests.At(0);
    EXPECT_EQ(FirstLine(request), "GET http://destination.example:8080/page HTTP/1.0");
    EXPECT_NE(request.find("\r\nProxy-Connection: Keep-Alive\r\n"), std::string::npos);
    EXPECT_NE(request.find("\r\nHost: destination.example:8080\r\n"), std::string::npos);
    EXPECT_EQ(FirstLine(requests.At(1)), "GET http://other.example/page HTTP/1.0");
    EXPECT_EQ(proxy.Accepted(), 1);  // one proxy connection serves every host
}

TEST_F(HttpClientTest, KeepsAndSendsCookiesWhenEnabled) {
    ScriptServer server([&](Peer& peer) {
        for (;;) {
            const std::string request = peer.ReadRequest();
            if (request.empty())
                return;
            requests.Add(request);
            peer.Send(Reply("200 OK", "",
                            "Set-Cookie: Session=abc; path=/app; expires=never\r\n"
                            "set-cookie: session=def; path=/app\r\n"));
        }
    });
    client.SetCookiesEnabled(true);
    client.Get(server.Url("/app/login"), out);
    client.Get(server.Url("/app/page"), out);
    client.Get(server.Url("/other"), out);
    EXPECT_EQ(requests.At(0).find("Cookie"), std::string::npos);
    EXPECT_NE(requests.At(1).find("\r\nCookie: Session=def\r\n"), std::string::npos);
    EXPECT_EQ(requests.At(2).find("Cookie"), std::string::npos);
}

TEST(CookieStoreTest, FilesPairsByServerAndPathAndSendsThoseWhoseKeyPrefixesTheUrl) {
    CookieStore store;
    HeaderList headers;
    headers.Add("Set-Cookie", "a=1; b = 2 ; Path=/x; Expires=Mon");
    headers.Add("Set-Cookie", "c=3");
    store.Store("Host", 8080, headers);
    EXPECT_EQ(store.CookieFor("http://host:8080/x/y"), "a=1;b=2;c=3");
    EXPECT_EQ(store.CookieFor("http://host:8080/z"), "c=3");
    EXPECT_EQ(store.CookieFor("http://host/x"), "");

    HeaderList update;
    update.Add("set-cookie", "A=9; path=/x");
    store.Store("host", 8080, update);
    EXPECT_EQ(store.CookieFor("http://host:8080/x"), "a=9;b=2;c=3");
}

TEST(HttpClientRealtime, ASilentServerFailsTheCallAtTheDeadline) {
    ScriptServer server([&](Peer& peer) {
        peer.ReadRequest();
        peer.Send("HTTP/1.0 200 OK\r\n\r\npart of a body");
        peer.WaitForClose(10000);
    });
    HttpClient client;
    client.SetTimeout(1);
    ByteBuffer out;
    const auto start = Clock::now();
    EXPECT_THROW(client.Get(server.Url("/"), out), TimeoutException);
    EXPECT_GT(SecondsSince(start), 0.9);
    EXPECT_LT(SecondsSince(start), 2.0);
}

TEST(HttpClientRealtime, ATrickleOfOneBytePerSecondIsCutAtTheDeadline) {
    const std::string head = "HTTP/1.0 200 OK\r\nServer: a very slow one\r\n\r\n";
    ScriptServer server([&](Peer& peer) {
        peer.ReadRequest();
        for (char c : head) {
            peer.Send(std::string(1, c));
            if (peer.WaitForClose(1000))
                return;
        }
    });
    HttpClient client;
    client.SetTimeout(2);
    ByteBuffer out;
    const auto start = Clock::now();
    EXPECT_THROW(client.Get(server.Url("/"), out), TimeoutException);
    EXPECT_GT(SecondsSince(start), 1.9);
    EXPECT_LT(SecondsSince(start), 3.0);
}
