// HttpClient against scripted servers on 127.0.0.1: request bytes, bodies with and without a length,
// connection reuse and replacement, redirects, status dispatch, cookies, the HTTP-proxy mode, and hostile
// servers, which must neither hold the client past its deadline nor make it take unbounded memory.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>

#include "held_lookup.h"
#include "web/HostLookup.h"
#include "web/HttpClient.h"
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

std::string FirstLine(const std::string& request) {
    return request.substr(0, request.find("\r\n"));
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

class HttpClientTest : public ::testing::Test {
protected:
    void SetUp() override { client.SetTimeout(5); }

    // Answers each request on a kept connection with answer(request), recording the requests.
    ScriptServer::Script Answering(std::function<std::string(const std::string&)> answer) {
        return [this, answer](Peer& peer) {
            for (std::string request = peer.ReadRequest(); !request.empty(); request = peer.ReadRequest()) {
                requests.Add(request);
                peer.Send(answer(request));
            }
        };
    }
    ScriptServer::Script Answering(const std::string& reply) {
        return Answering([reply](const std::string&) { return reply; });
    }
    // A server that reads the request and sends `bytes`, then waits for the client to give up.
    static ScriptServer::Script Sending(const std::string& bytes) {
        return [bytes](Peer& peer) {
            peer.ReadRequest();
            peer.Send(bytes);
            peer.WaitForClose();
        };
    }

    HttpClient client;
    ByteBuffer out;
    Recorder requests;
};

}  // namespace

TEST_F(HttpClientTest, SendsAMinimalHttp10GetAndReturnsTheBody) {
    ScriptServer server(Answering(Reply("200 OK", "hello")));
    client.Get(server.Url("/dir/a.txt"), out);
    EXPECT_EQ(Text(out), "hello");
    EXPECT_EQ(requests.At(0), "GET /dir/a.txt HTTP/1.0\r\nConnection: Keep-Alive\r\nHost: 127.0.0.1:" +
                                  std::to_string(server.Port()) + "\r\n\r\n");
}

TEST_F(HttpClientTest, PostsItsBodyAndFollowsRedirectsWithGet) {
    ScriptServer target(Answering(Reply("200 OK", "arrived")));
    ScriptServer origin(Answering([&](const std::string& request) {
        if (FirstLine(request) == "POST /form HTTP/1.0")
            return Reply("303 See Other", "", "Location: /elsewhere\r\n");
        return Reply("301 Moved", "", "Location: " + target.Url("/final") + "\r\n");
    }));
    ByteBuffer body;
    webtest::Fill(body, "a=1&b=2");
    client.DefaultHeaders().Add("User-Agent", "qparlin");
    client.Post(origin.Url("/form"), body, out);
    EXPECT_EQ(Text(out), "arrived");
    const std::string post = requests.At(0);
    EXPECT_TRUE(Contains(post, "\r\nUser-Agent: qparlin\r\n"));
    EXPECT_TRUE(Contains(post, "\r\nContent-Length: 7\r\n"));
    EXPECT_EQ(post.substr(post.size() - 11), "\r\n\r\na=1&b=2");
    EXPECT_FALSE(Contains(post, "Content-Type"));
    EXPECT_EQ(FirstLine(requests.At(1)), "GET /elsewhere HTTP/1.0");
    EXPECT_FALSE(Contains(requests.At(1), "a=1"));
    EXPECT_EQ(FirstLine(requests.At(2)), "GET /final HTTP/1.0");
}

TEST_F(HttpClientTest, AZeroContentLengthEndsTheResponseWithoutWaitingForABody) {
    ScriptServer server(Answering("HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n"));  // and stays open
    webtest::Fill(out, "stale");
    client.Get(server.Url("/"), out);
    EXPECT_EQ(out.Length(), 0);
}

TEST_F(HttpClientTest, ABodyWithoutLengthEndsAtTheCloseButOneCutShortOfItsLengthFails) {
    const std::string big(50000, 'z');
    ScriptServer unsized([&](Peer& peer) {
        peer.ReadRequest();
        peer.Send("HTTP/1.0 200 OK\r\n\r\n" + big);
    });
    client.Get(unsized.Url("/"), out);
    EXPECT_EQ(Text(out), big);

    ScriptServer cut([](Peer& peer) {
        peer.ReadRequest();
        peer.Send("HTTP/1.0 200 OK\r\nContent-Length: 10\r\n\r\nabc");
    });
    EXPECT_THROW(client.Get(cut.Url("/"), out), Exception);
    ScriptServer silent([](Peer& peer) { peer.ReadRequest(); });
    EXPECT_THROW(client.Get(silent.Url("/"), out), HttpException);  // closed before the status line
}

TEST_F(HttpClientTest, ReusesTheKeptConnectionForTheSameHostAndPortOnly) {
    ScriptServer first(Answering(Reply("200 OK", "first")));
    ScriptServer second(Answering(Reply("200 OK", "second")));
    client.Get(first.Url("/1"), out);
    client.Get(first.Url("/2"), out);
    EXPECT_EQ(first.Accepted(), 1);
    client.Get(second.Url("/"), out);
    EXPECT_EQ(Text(out), "second");
    client.Get(first.Url("/3"), out);
    EXPECT_EQ(first.Accepted(), 2);
}

TEST_F(HttpClientTest, ReplacesAKeptConnectionTheServerClosedWithoutTellingTheCaller) {
    ScriptServer server([](Peer& peer) {
        peer.ReadRequest();
        peer.Send(Reply("200 OK", "answer " + std::to_string(peer.Index())));
    });
    client.Get(server.Url("/1"), out);
    ASSERT_TRUE(server.WaitServed(1));
    client.Get(server.Url("/2"), out);
    EXPECT_EQ(Text(out), "answer 1");
}

TEST_F(HttpClientTest, NeverTakesAnEarlierAnswersLeftoversForTheNextAnswer) {
    // Bytes beyond the announced length are still on the connection, so it must not be reused.
    ScriptServer server([](Peer& peer) {
        for (std::string request = peer.ReadRequest(); !request.empty(); request = peer.ReadRequest()) {
            peer.Send(Reply("200 OK", "body " + std::to_string(peer.Index())) +
                      "HTTP/1.0 200 OK\r\n\r\njunk");
        }
    });
    client.Get(server.Url("/"), out);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    client.Get(server.Url("/"), out);
    EXPECT_EQ(Text(out), "body 1");

    // An answer that stops half way and finishes after the client gave up: its tail and the fake answer
    // behind it must not be read as the next request's answer.
    ScriptServer late([](Peer& peer) {
        if (peer.ReadRequest().empty())
            return;
        if (peer.Index() > 0)
            return peer.Send(Reply("200 OK", "RIGHT"));
        peer.Send("HTTP/1.0 200 OK\r\nContent-Length: 10\r\n\r\nabcde");
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        peer.Send("fghij" + Reply("200 OK", "WRONG"));
        peer.WaitForClose();
    });
    client.SetTimeout(1);
    EXPECT_THROW(client.Get(late.Url("/"), out), TimeoutException);
    EXPECT_FALSE(client.Connected());
    client.SetTimeout(5);
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    client.Get(late.Url("/"), out);
    EXPECT_EQ(Text(out), "RIGHT");
}

TEST_F(HttpClientTest, ResolvesRelativeRedirectsAgainstTheDirectoryHostAndPort) {
    ScriptServer server(Answering([](const std::string& request) {
        if (FirstLine(request) == "GET /dir/a.txt HTTP/1.0")
            return Reply("302 Found", "", "Location: next.txt\r\n");
        if (FirstLine(request) == "GET /dir/next.txt HTTP/1.0")
            return Reply("302 Found", "", "Location: /go?to=http://elsewhere/\r\n");
        return Reply("200 OK", "here");
    }));
    client.Get(server.Url("/dir/a.txt"), out);
    EXPECT_EQ(Text(out), "here");
    EXPECT_TRUE(Contains(requests.At(1), "\r\nHost: 127.0.0.1:" + std::to_string(server.Port()) + "\r\n"));
    EXPECT_EQ(FirstLine(requests.At(1)), "GET /dir/next.txt HTTP/1.0");
    // A relative address that mentions another one in its query is still relative.
    EXPECT_EQ(FirstLine(requests.At(2)), "GET /go?to=http://elsewhere/ HTTP/1.0");
}

TEST_F(HttpClientTest, ReturnsRedirectsItDoesNotFollowWithTheirOwnBody) {
    ScriptServer secure(Answering(Reply("301 Moved", "see https", "Location: https://h/x\r\n")));
    client.Get(secure.Url("/"), out);
    EXPECT_EQ(client.Response().StatusCode(), 301);
    EXPECT_EQ(Text(out), "see https");

    ScriptServer bare(Answering(Reply("303 See Other", "no location")));
    client.Get(bare.Url("/"), out);
    EXPECT_EQ(Text(out), "no location");

    ScriptServer other(Answering(Reply("302 Found", "stay", "Location: /other\r\n")));
    client.SetFollowRedirects(false);
    client.Get(other.Url("/"), out);
    EXPECT_EQ(Text(out), "stay");
    EXPECT_EQ(requests.Count(), 3u);
}

TEST_F(HttpClientTest, StopsARedirectLoop) {
    ScriptServer server(Answering(Reply("302 Found", "", "Location: /again\r\n")));
    EXPECT_THROW(client.Get(server.Url("/"), out), HttpClient::BadResponseException);
    EXPECT_EQ(requests.Count(), static_cast<size_t>(HttpClient::kMaxRedirects + 1));
}

TEST_F(HttpClientTest, DispatchesOnTheStatusAndKeepsTheResponseReadable) {
    ScriptServer notFound(Answering(Reply("404 Not Found", "nothing")));
    EXPECT_THROW(client.Get(notFound.Url("/"), out), HttpClient::BadResponseException);
    EXPECT_EQ(client.Response().StatusCode(), 404);
    EXPECT_EQ(client.Response().Reason(), "Not Found");
    ScriptServer unauthorized(Answering(Reply("401 Unauthorized", "")));
    EXPECT_THROW(client.Get(unauthorized.Url("/"), out), HttpClient::AuthenticationRequiredException);
    // Without an HTTP proxy in between, a 407 is the server's own refusal, not a proxy's challenge.
    ScriptServer proxyAuth(Answering(Reply("407 Proxy Authentication Required", "")));
    EXPECT_THROW(client.Get(proxyAuth.Url("/"), out), HttpClient::BadResponseException);
    EXPECT_EQ(client.Response().StatusCode(), 407);
}

TEST_F(HttpClientTest, RefusesHostileHeadsAndBodies) {
    ScriptServer endless(Sending("HTTP/1.0 200 OK\r\nX-Endless: " + std::string(5000, 'a')));
    EXPECT_THROW(client.Get(endless.Url("/"), out), InputStream::LineSizeLimitExceeded);

    std::string head = "HTTP/1.0 200 OK\r\n";
    for (int i = 0; i < 200; ++i)
        head += "X-" + std::to_string(i) + ": v\r\n";
    ScriptServer many(Sending(head + "\r\n"));
    EXPECT_THROW(client.Get(many.Url("/"), out), HttpException);

    ScriptServer huge(Sending("HTTP/1.0 200 OK\r\nContent-Length: 2000000000\r\n\r\nabc"));
    EXPECT_THROW(client.Get(huge.Url("/"), out), HttpException);
    EXPECT_LT(out.Capacity(), 1024 * 1024);  // refused before the memory was taken

    ScriptServer flood([](Peer& peer) {
        peer.ReadRequest();
        peer.Send("HTTP/1.0 200 OK\r\n\r\n");
        for (int i = 0; i < 17; ++i)
            peer.Send(std::string(1 << 20, 'x'));
        peer.WaitForClose();
    });
    EXPECT_THROW(client.Get(flood.Url("/"), out), HttpException);
    EXPECT_LE(out.Capacity(), HttpMessage::kMaxBodyLength + 1);
}

TEST_F(HttpClientTest, SpeaksToAnHttpProxyWithAbsoluteUrlsOnOneConnection) {
    ScriptServer proxy(Answering(Reply("200 OK", "via proxy")));
    client.Proxy().SetProxyType(ProxyClient::HttpTunnel);
    client.Proxy().SetProxyHost("127.0.0.1");
    client.Proxy().SetProxyPort(proxy.Port());
    client.Get("http://destination.example:8080/page", out);
    EXPECT_EQ(Text(out), "via proxy");
    client.Get("http://other.example/page", out);
    EXPECT_EQ(FirstLine(requests.At(0)), "GET http://destination.example:8080/page HTTP/1.0");
    EXPECT_TRUE(Contains(requests.At(0), "\r\nProxy-Connection: Keep-Alive\r\n"));
    EXPECT_TRUE(Contains(requests.At(0), "\r\nHost: destination.example:8080\r\n"));
    EXPECT_EQ(FirstLine(requests.At(1)), "GET http://other.example/page HTTP/1.0");
    EXPECT_EQ(proxy.Accepted(), 1);
}

// Whether this machine has an IPv6 loopback to test on.
bool HasIpv6Loopback() {
    try {
        ScriptServer probe([](Peer&) {}, "::1");
        return true;
    } catch (const Exception&) {
        return false;
    }
}

TEST_F(HttpClientTest, FetchesFromAnIpv6ServerDirectlyAndThroughAnIpv6Proxy) {
    if (!HasIpv6Loopback())
        GTEST_SKIP() << "no IPv6 loopback here";
    ScriptServer server(Answering(Reply("200 OK", "over IPv6")), "::1");
    const std::string authority = "[::1]:" + std::to_string(server.Port());
    client.Get("http://" + authority + "/list.txt", out);
    EXPECT_EQ(Text(out), "over IPv6");
    EXPECT_TRUE(Contains(requests.At(0), "\r\nHost: " + authority + "\r\n")) << requests.At(0);

    ScriptServer proxy(Answering(Reply("200 OK", "via an IPv6 proxy")), "::1");
    HttpClient proxied;
    proxied.SetTimeout(5);
    proxied.Proxy().SetProxyType(ProxyClient::HttpTunnel);
    proxied.Proxy().SetProxyHost("::1");
    proxied.Proxy().SetProxyPort(proxy.Port());
    proxied.Get("http://[2001:db8::7]:8080/page", out);
    EXPECT_EQ(Text(out), "via an IPv6 proxy");
    EXPECT_EQ(FirstLine(requests.At(1)), "GET http://[2001:db8::7]:8080/page HTTP/1.0");
    EXPECT_TRUE(Contains(requests.At(1), "\r\nHost: [2001:db8::7]:8080\r\n"));
}

TEST(HttpClientLookupTest, LiteralsOfBothFamiliesNeedNoLookupAndNamesGiveEveryAddress) {
    SocketAddress six;
    ASSERT_TRUE(SocketAddress::ParseNumeric("2001:db8::1", 80, &six));
    // A time-out of 0 fails any lookup that would need a thread: literals pass it.
    for (const char* literal : {"2001:db8::1", "[2001:db8::1]"})
        EXPECT_EQ(HostLookup::ResolveAll(literal, 80, 0), std::vector<SocketAddress>{six}) << literal;
    EXPECT_EQ(HostLookup::ResolveAll("127.0.0.1", 8080, 0),
              std::vector<SocketAddress>{SocketAddress(htonl(INADDR_LOOPBACK), 8080)});
    EXPECT_THROW(HostLookup::ResolveAll("localhost", 80, 0), TimeoutException);
    const std::vector<SocketAddress> local = HostLookup::ResolveAll("localhost", 80, 2000);
    ASSERT_FALSE(local.empty());
    EXPECT_EQ(local.front().Port(), 80);
}

TEST(HttpClientLookupTest, AConnectGoesOnToTheNextAddressWhenOneRefuses) {
    if (!HasIpv6Loopback())
        GTEST_SKIP() << "no IPv6 loopback here";
    ScriptServer server([](Peer& peer) { peer.Send("here"); });
    SocketAddress closed;
    {
        // A port just given up: nobody listens there.
        ScriptServer gone([](Peer&) {}, "::1");
        ASSERT_TRUE(SocketAddress::ParseNumeric("::1", gone.Port(), &closed));
    }
    Socket socket;
    const auto start = Clock::now();
    HostLookup::ConnectFirst(socket, {closed, SocketAddress(htonl(INADDR_LOOPBACK), server.Port())}, [start] {
        return 3000 -
               static_cast<int>(
                   std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
    });
    EXPECT_EQ(SocketFamily(socket.handle), AF_INET) << "a socket of the second address's family";
    char answer[4] = {};
    EXPECT_EQ(Receive(socket.handle, answer, 4, 3000), 4);
    EXPECT_EQ(std::string(answer, 4), "here");

    Socket refused;
    EXPECT_THROW(HostLookup::ConnectFirst(refused, {closed}, [] { return 1000; }), SocketException);
    EXPECT_THROW(HostLookup::ConnectFirst(refused, {}, [] { return 1000; }), UnknownHostException);
}

TEST_F(HttpClientTest, KeepsCookiesByServerAndPathWhenEnabled) {
    ScriptServer server(Answering([](const std::string& request) {
        if (!Contains(FirstLine(request), "/app/login"))
            return Reply("200 OK", "");
        return Reply("200 OK", "",
                     "Set-Cookie: Session=abc; path=/app; expires=never\r\nSet-Cookie: lang=en\r\n"
                     "set-cookie: SESSION=def; Path=/app\r\n");
    }));
    client.SetCookiesEnabled(true);
    client.Get(server.Url("/app/login"), out);
    client.Get(server.Url("/app/page"), out);
    client.Get(server.Url("/other"), out);
    EXPECT_FALSE(Contains(requests.At(0), "Cookie"));
    EXPECT_TRUE(Contains(requests.At(1), "\r\nCookie: Session=def;lang=en\r\n"));
    EXPECT_TRUE(Contains(requests.At(2), "\r\nCookie: lang=en\r\n"));
}

TEST_F(HttpClientTest, TheCallTimeoutCoversEveryRedirectAndEveryProxyAnswer) {
    // Each answer comes within the request's own deadline; together they take far longer than the call's.
    auto slowly = [](std::string reply) {
        return [reply](const std::string&) {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            return reply;
        };
    };
    ScriptServer redirecting(Answering(slowly(Reply("302 Found", "", "Location: /again\r\n"))));
    client.SetCallTimeoutMs(1000);
    EXPECT_THROW(client.Get(redirecting.Url("/"), out), TimeoutException);
    EXPECT_LT(requests.Count(), static_cast<size_t>(HttpClient::kMaxRedirects));

    requests.Clear();
    ScriptServer challenging(Answering(
        slowly(Reply("407 Proxy Authentication Required", "", "Proxy-Authenticate: Basic realm=x\r\n"))));
    HttpClient proxied;
    proxied.SetTimeout(5);
    proxied.SetCallTimeoutMs(500);
    proxied.Proxy().SetProxyType(ProxyClient::HttpTunnel);
    proxied.Proxy().SetProxyHost("127.0.0.1");
    proxied.Proxy().SetProxyPort(challenging.Port());
    proxied.Proxy().SetUserName("alice");
    EXPECT_THROW(proxied.Get("http://dest.example/", out), TimeoutException);
    EXPECT_LT(requests.Count(), 4u);

    // Without a call timeout each redirect starts its own deadline, and the chain ends by count.
    requests.Clear();
    HttpClient unbounded;
    unbounded.SetTimeout(5);
    ScriptServer quick(Answering(Reply("302 Found", "", "Location: /again\r\n")));
    EXPECT_THROW(unbounded.Get(quick.Url("/"), out), HttpClient::BadResponseException);
}

TEST(HttpClientLookupTest, ALookupWithoutAnAnswerEndsAtTheCallTimeout) {
    heldlookup::Hold hold;
    auto fetch = std::async(std::launch::async, [] {
        HttpClient client;
        client.SetTimeout(20);
        client.SetCallTimeoutMs(200);
        ByteBuffer out;
        EXPECT_THROW(client.Get("http://banners.held.test/_banners/list.txt", out), TimeoutException);
    });
    // Through a proxy that is found by name, and a SOCKS4 destination looked up here, alike.
    auto viaProxy = std::async(std::launch::async, [] {
        ProxyClient proxy;
        proxy.SetTimeoutMs(200);
        Socket socket;
        EXPECT_THROW(proxy.Connect(socket, "dest.example", 80, "proxy.held.test", 1080, ProxyClient::Socks5),
                     ProxyClient::ProxyException);
    });
    const bool ended = fetch.wait_for(std::chrono::seconds(10)) == std::future_status::ready &&
                       viaProxy.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    // The lookups themselves are still held: the calls went on without them.
    EXPECT_EQ(hold.Waiting(), 2);
    hold.Release();
    EXPECT_TRUE(ended) << "a call waited for its lookup past its timeout";
    fetch.get();
    viaProxy.get();

    // A literal address never starts a lookup; without a limit the lookup runs on the caller's thread.
    EXPECT_EQ(HostLookup::Resolve("127.0.0.1", 0), htonl(INADDR_LOOPBACK));
    EXPECT_EQ(HostLookup::Resolve("localhost", -1), htonl(INADDR_LOOPBACK));
    EXPECT_EQ(HostLookup::Resolve("localhost", 5000), htonl(INADDR_LOOPBACK));
    EXPECT_THROW(HostLookup::Resolve("no-such-host.invalid", 5000), UnknownHostException);
}

// Waits up to ten seconds for the lookups given up on to end.
bool LookupsEnded() {
    for (int i = 0; i < 1000 && HostLookup::Running() != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return HostLookup::Running() == 0;
}

TEST(HttpClientLookupTest, AtMostEightLookupsGivenUpOnStillRun) {
    ASSERT_TRUE(LookupsEnded());
    heldlookup::Hold hold;
    for (int i = 0; i < 8; ++i)
        EXPECT_THROW(HostLookup::Resolve("n" + std::to_string(i) + ".held.test", 10), TimeoutException);
    ASSERT_TRUE(hold.WaitForStarted(8));
    EXPECT_EQ(HostLookup::Running(), 8);
    // The ninth fails at once, starting no lookup (else this would wait a minute).
    EXPECT_THROW(HostLookup::Resolve("ninth.held.test", 60000), TimeoutException);
    EXPECT_EQ(hold.Waiting(), 8);
    hold.Release();
    ASSERT_TRUE(LookupsEnded());
    EXPECT_EQ(HostLookup::Resolve("localhost", 5000), htonl(INADDR_LOOPBACK));
}

TEST(HttpClientRealtime, ASilentServerOrATrickleFailsTheCallAtTheDeadline) {
    ScriptServer silent([](Peer& peer) {
        peer.ReadRequest();
        peer.Send("HTTP/1.0 200 OK\r\n\r\npart of a body");
        peer.WaitForClose(10000);
    });
    const std::string head = "HTTP/1.0 200 OK\r\nServer: a very slow one\r\n\r\n";
    ScriptServer trickle([&](Peer& peer) {
        peer.ReadRequest();
        for (size_t i = 0; i < head.size() && !peer.WaitForClose(1000); ++i)
            peer.Send(head.substr(i, 1));
    });
    for (ScriptServer* server : {&silent, &trickle}) {
        HttpClient client;
        client.SetTimeout(2);
        ByteBuffer out;
        const auto start = Clock::now();
        EXPECT_THROW(client.Get(server->Url("/"), out), TimeoutException);
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        EXPECT_GT(seconds, 1.9);
        EXPECT_LT(seconds, 3.0);
    }
}
