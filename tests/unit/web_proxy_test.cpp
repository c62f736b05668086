// ProxyClient against scripted proxies on 127.0.0.1: the bytes of each protocol, every answer the
// connector must tell apart (the exception and the text it leaves), answers cut short or lying about
// their lengths, the automatic mode, and the tunnel relay against a scripted tunnel server.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "web/ProxyClient.h"
#include "web_script_server.h"

namespace {

using webtest::Bytes;
using webtest::Peer;
using webtest::ReadFrom;
using webtest::Recorder;
using webtest::ScriptServer;
using webtest::WriteTo;

const std::string kSocks4Granted = Bytes({0, 90, 0, 0, 0, 0, 0, 0});
const std::string kSocks5Granted = Bytes({5, 0, 0, 1, 127, 0, 0, 1, 0x1F, 0x90});

class RecordingObserver : public ProxyObserver {
public:
    void OnProxyConnecting() override { calls += "proxy connecting,"; }
    void OnProxyConnected() override { calls += "proxy connected,"; }
    void OnHostRequesting() override { calls += "host requesting,"; }
    void OnHostConnected() override { calls += "host connected"; }
    std::string calls;
};

class ProxyClientTest : public ::testing::Test {
protected:
    void SetUp() override { proxy.SetTimeoutMs(5000); }

    // Connects through the proxy at `port` and tells which branch of the exception tree it ended in.
    std::string Outcome(uint16_t port, int type, const std::string& host = "dest.example") {
        socket.Close();
        try {
            proxy.Connect(socket, host, 8080, "127.0.0.1", port, type);
            return "connected";
        } catch (const ProxyClient::HostException&) {
            return "host";
        } catch (const ProxyClient::ProxyAuthenticationRequiredException&) {
            return "auth";
        } catch (const ProxyClient::ProxyException&) {
            return "proxy";
        } catch (const Exception&) {
            return "other";
        }
    }

    ProxyClient proxy;
    Socket socket;
    Recorder seen;
};

// SOCKS4: records the request (with `names` 0-terminated fields after the address) and answers `reply`.
ScriptServer::Script Socks4(Recorder& seen, const std::string& reply, int names = 1) {
    return [&seen, reply, names](Peer& peer) {
        std::string request = peer.Read(8);
        for (int i = 0; i < names; ++i)
            request += peer.ReadUntilNul();
        seen.Add(request);
        peer.Send(reply + "DEST");
        peer.WaitForClose();
    };
}

// SOCKS5 without login: records greeting and request, chooses `method` and (for 0) answers `reply`.
ScriptServer::Script Socks5(Recorder& seen, int method, const std::string& reply) {
    return [&seen, method, reply](Peer& peer) {
        const std::string greeting = peer.Read(2);
        seen.Add(greeting + peer.Read(greeting.size() == 2 ? static_cast<uint8_t>(greeting[1]) : 0));
        peer.Send(Bytes({5, method}));
        if (method != 0) {
            peer.WaitForClose();
            return;
        }
        const std::string head = peer.Read(5);
        seen.Add(head + peer.Read(head.size() == 5 ? static_cast<uint8_t>(head[4]) + 2u : 0));
        peer.Send(reply + "DEST");
        peer.WaitForClose();
    };
}

}  // namespace

TEST_F(ProxyClientTest, DirectConnectsToTheDestinationAndTellsTheObserverEveryStep) {
    ScriptServer destination([](Peer& peer) { peer.Send("DEST"); });
    RecordingObserver observer;
    proxy.SetObserver(&observer);
    proxy.Connect(socket, "127.0.0.1", destination.Port());
    EXPECT_EQ(ReadFrom(socket.handle, 4), "DEST");
    EXPECT_EQ(observer.calls, "proxy connecting,proxy connected,host requesting,host connected");

    Socket untouched;
    proxy.Connect(untouched, "dest.example", 80, "127.0.0.1", 1, 9);
    EXPECT_EQ(proxy.LastError(), "Failed: Unknown proxy type #9");
    EXPECT_EQ(untouched.handle, kNoSocket);
}

TEST_F(ProxyClientTest, HttpsConsumesTheProxysBodyBeforeTheTunnelIsUsed) {
    ScriptServer server([&](Peer& peer) {
        seen.Add(peer.ReadRequest());
        peer.Send("HTTP/1.0 200 Connection established\r\nContent-Length: 5\r\n\r\nhelloDEST");
        peer.WaitForClose();
    });
    proxy.Connect(socket, "dest.example", 443, "127.0.0.1", server.Port(), ProxyClient::Https);
    EXPECT_EQ(seen.At(0), "CONNECT dest.example:443 HTTP/1.0\r\n\r\n");
    EXPECT_EQ(ReadFrom(socket.handle, 4), "DEST");
}

TEST_F(ProxyClientTest, HttpsAsksForAnIpv6DestinationInBrackets) {
    ScriptServer server([&](Peer& peer) {
        seen.Add(peer.ReadRequest());
        peer.Send("HTTP/1.0 200 Connection established\r\n\r\nDEST");
        peer.WaitForClose();
    });
    proxy.Connect(socket, "2001:db8::9", 443, "127.0.0.1", server.Port(), ProxyClient::Https);
    EXPECT_EQ(seen.At(0), "CONNECT [2001:db8::9]:443 HTTP/1.0\r\n\r\n");
    EXPECT_EQ(ReadFrom(socket.handle, 4), "DEST");
}

TEST_F(ProxyClientTest, HttpsAnswersThatFail) {
    const struct {
        std::string answer;
        std::string outcome;
        std::string lastError;
    } cases[] = {
        {"HTTP/1.0 403 Forbidden\r\n\r\n", "host", "Bad HTTP Proxy response code: 403"},
        {"", "proxy", "Exception while reading HTTPS Proxy response"},
        {"HTTP/1.0 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic realm=x\r\n\r\n", "auth",
         ""},
        {"HTTP/1.0 200 OK\r\nX: " + std::string(100000, 'a'), "proxy",
         "Exception while reading HTTPS Proxy response"},
        {"HTTP/1.0 200 OK\r\nContent-Length: 4000000000\r\n\r\n", "proxy",
         "Exception while reading HTTPS Proxy response"},
    };
    for (const auto& c : cases) {
        ScriptServer server([&](Peer& peer) {
            peer.ReadRequest();
            if (c.answer.empty())
                return;
            peer.Send(c.answer);
            peer.WaitForClose();
        });
        EXPECT_EQ(Outcome(server.Port(), ProxyClient::Https), c.outcome) << c.answer.substr(0, 40);
        EXPECT_EQ(proxy.LastError(), c.lastError);
    }
    EXPECT_EQ(Outcome(webtest::UnusedPort(), ProxyClient::Https), "proxy");
    EXPECT_EQ(proxy.LastError(), "Cannot connect HTTPS Proxy");
}

TEST_F(ProxyClientTest, Socks4SendsTheAddressOrForSocks4aTheName) {
    proxy.SetUserName("alice");
    ScriptServer server(Socks4(seen, kSocks4Granted));
    EXPECT_EQ(Outcome(server.Port(), ProxyClient::Socks4, "127.0.0.1"), "connected");
    EXPECT_EQ(seen.At(0), Bytes({4, 1, 0x1F, 0x90, 127, 0, 0, 1}) + "alice" + Bytes({0}));
    EXPECT_EQ(ReadFrom(socket.handle, 4), "DEST");

    ScriptServer named(Socks4(seen, kSocks4Granted, 2));
    EXPECT_EQ(Outcome(named.Port(), ProxyClient::Socks4, "no.such.host.invalid"), "connected");
    EXPECT_EQ(seen.At(1), Bytes({4, 1, 0x1F, 0x90, 0, 0, 0, 255}) + "alice" + Bytes({0}) +
                              "no.such.host.invalid" + Bytes({0}));
    EXPECT_EQ(ReadFrom(socket.handle, 4), "DEST");
}

TEST_F(ProxyClientTest, Socks4RepliesThatFail) {
    const struct {
        std::string reply;
        std::string outcome;
        std::string lastError;
    } cases[] = {
        {Bytes({0, 91, 0, 0, 0, 0, 0, 0}), "proxy", "Failed: Reply code: 91 - Request REJECTED or FAILED"},
        {Bytes({0, 92, 0, 0, 0, 0, 0, 0}), "host",
         "Failed: Reply code: 92 - Request REJECTED - SOCKS server can't connect to Identd on the client"},
        {Bytes({0, 93, 0, 0, 0, 0, 0, 0}), "proxy",
         "Failed: Reply code: 93 - Request REJECTED - Client and Identd report diff user-ID"},
        {Bytes({4, 90, 0, 0, 0, 0, 0, 0}), "proxy",
         "Failed: The proxy server replyed with incorrect SOCKS version: 4"},
    };
    for (const auto& c : cases) {
        ScriptServer server(Socks4(seen, c.reply));
        EXPECT_EQ(Outcome(server.Port(), ProxyClient::Socks4, "127.0.0.1"), c.outcome);
        EXPECT_EQ(proxy.LastError(), c.lastError);
    }
    ScriptServer cut([](Peer& peer) {
        peer.Read(9);
        peer.Send(Bytes({0, 90, 0}));
    });
    EXPECT_EQ(Outcome(cut.Port(), ProxyClient::Socks4, "127.0.0.1"), "host");
    EXPECT_EQ(proxy.LastError(), "Failed: Socket exception.");
    EXPECT_EQ(Outcome(webtest::UnusedPort(), ProxyClient::Socks4), "proxy");
    EXPECT_EQ(proxy.LastError(), "Failed: Socket exception while connecting to proxy.");
}

TEST_F(ProxyClientTest, Socks5WithoutUserOffersNoAuthenticationAndSendsTheNameEvenForAnAddress) {
    ScriptServer server(Socks5(seen, 0, kSocks5Granted));
    EXPECT_EQ(Outcome(server.Port(), ProxyClient::Socks5, "127.0.0.1"), "connected");
    EXPECT_EQ(seen.At(0), Bytes({5, 1, 0}));
    EXPECT_EQ(seen.At(1), Bytes({5, 1, 0, 3, 9}) + "127.0.0.1" + Bytes({0x1F, 0x90}));
    EXPECT_EQ(ReadFrom(socket.handle, 4), "DEST");

    // A name longer than its one-byte length could say is refused rather than cut.
    EXPECT_EQ(Outcome(server.Port(), ProxyClient::Socks5, std::string(256, 'h')), "host");
    EXPECT_EQ(Outcome(server.Port(), ProxyClient::Socks5, std::string(255, 'h')), "connected");
}

TEST_F(ProxyClientTest, Socks5WithUserLogsInWithUserAndPassword) {
    proxy.SetUserName("user");
    proxy.SetPassword("secret");
    for (const int verdict : {0, 1}) {
        ScriptServer server([&](Peer& peer) {
            seen.Add(peer.Read(4));
            peer.Send(Bytes({5, 2}));
            seen.Add(peer.Read(2 + 4 + 1 + 6));
            peer.Send(Bytes({1, verdict}));
            if (verdict != 0)
                return;
            peer.Read(5 + 12 + 2);
            peer.Send(kSocks5Granted + "DEST");
            peer.WaitForClose();
        });
        EXPECT_EQ(Outcome(server.Port(), ProxyClient::Socks5), verdict == 0 ? "connected" : "proxy");
    }
    EXPECT_EQ(seen.At(0), Bytes({5, 2, 0, 2}));
    EXPECT_EQ(seen.At(1), Bytes({1, 4}) + "user" + Bytes({6}) + "secret");
    EXPECT_EQ(proxy.LastError(), "Invalid Username/Password authentication.");
}

TEST_F(ProxyClientTest, Socks5MethodChoices) {
    const struct {
        int method;
        std::string user;
        std::string outcome;
        std::string lastError;
    } cases[] = {
        {2, "", "auth", ""},
        {255, "", "auth", "Proxy server requires authentication."},
        {1, "", "proxy", "Proxy requires unsupported authentication method."},
        {255, "user", "proxy", "Proxy server responded with: No acceptable authentication methods."},
    };
    for (const auto& c : cases) {
        proxy.SetUserName(c.user);
        ScriptServer server(Socks5(seen, c.method, ""));
        EXPECT_EQ(Outcome(server.Port(), ProxyClient::Socks5), c.outcome) << c.method;
        EXPECT_EQ(proxy.LastError(), c.lastError);
    }
}

TEST_F(ProxyClientTest, Socks5RepliesAreReadExactlyAndTheVersionCheckedLast) {
    ScriptServer named(Socks5(seen, 0, Bytes({5, 0, 0, 3, 11}) + "proxy.local" + Bytes({4, 56})));
    EXPECT_EQ(Outcome(named.Port(), ProxyClient::Socks5), "connected");
    EXPECT_EQ(ReadFrom(socket.handle, 4), "DEST");  // not one byte of the reply left over

    const struct {
        std::string reply;
        std::string outcome;
        std::string lastError;
    } cases[] = {
        {Bytes({5, 4, 0, 1, 0, 0, 0, 0, 0, 0}), "host", "Failed: Reply code: 4 - Host Unreachable"},
        {Bytes({5, 5, 0, 1, 0, 0, 0, 0, 0, 0}), "proxy", "Failed: Reply code: 5 - Connection Refused"},
        {Bytes({5, 0, 0, 3, 0, 0, 80}), "proxy", "Failed: Proxy returned an invalid host name length"},
        {Bytes({4, 0, 0, 4}) + std::string(18, '\0'), "proxy", "Failed: Unsupported address type - IP v.6"},
        {Bytes({5, 0, 0, 7}), "proxy", "Failed: Unsupported address type #7"},
        {Bytes({4, 0, 0, 1, 1, 2, 3, 4, 0, 80}), "proxy",
         "Failed: The proxy server replyed with incorrect SOCKS version: 4"},
        // A name announced as 200 bytes of which 5 arrive before the proxy hangs up.
        {Bytes({5, 0, 0, 3, 200}) + "short", "host", "Failed: Socket exception."},
    };
    for (const auto& c : cases) {
        ScriptServer server([&](Peer& peer) {
            peer.Read(3);
            peer.Send(Bytes({5, 0}));
            peer.Read(5 + 12 + 2);
            peer.Send(c.reply);
        });
        EXPECT_EQ(Outcome(server.Port(), ProxyClient::Socks5), c.outcome) << c.lastError;
        EXPECT_EQ(proxy.LastError(), c.lastError);
    }
}

TEST_F(ProxyClientTest, SilentProxiesFailAtTheDeadline) {
    ScriptServer silent([](Peer& peer) { peer.WaitForClose(); });
    proxy.SetTimeoutMs(200);
    EXPECT_EQ(Outcome(silent.Port(), ProxyClient::Socks4, "127.0.0.1"), "host");
    EXPECT_EQ(proxy.LastError(), "Failed: Timeout expired.");
    EXPECT_EQ(Outcome(silent.Port(), ProxyClient::Socks5), "proxy");
    EXPECT_EQ(proxy.LastError(), "Failed: Timeout expired.");
}

TEST_F(ProxyClientTest, AutoFallsThroughToTheTypeThatWorksAndRemembersIt) {
    // A proxy that speaks SOCKS4 only and hangs up on anything else.
    ScriptServer server([&](Peer& peer) {
        const std::string first = peer.Read(1);
        seen.Add(first);
        if (first != Bytes({4}))
            return;
        peer.Read(7);
        peer.ReadUntilNul();
        peer.Send(kSocks4Granted + "DEST");
        peer.WaitForClose();
    });
    EXPECT_EQ(Outcome(server.Port(), ProxyClient::Auto, "127.0.0.1"), "connected");
    EXPECT_EQ(ReadFrom(socket.handle, 4), "DEST");
    EXPECT_EQ(proxy.ProxyType(), ProxyClient::Socks4);
    EXPECT_EQ(seen.Items(), (std::vector<std::string>{"C", Bytes({5}), Bytes({4})}));
    socket.Close();
    proxy.Connect(socket, "127.0.0.1", 80);
    EXPECT_EQ(seen.At(3), Bytes({4}));

    ScriptServer useless([](Peer& peer) { peer.Read(1); });
    EXPECT_EQ(Outcome(useless.Port(), ProxyClient::Auto, "127.0.0.1"), "proxy");
    EXPECT_EQ(proxy.LastError(), "Unknown proxy type");
    EXPECT_EQ(proxy.ProxyType(), ProxyClient::Socks4);  // the last one tried
}

// ---- The HTTP tunnel, through the relay ----

namespace {

// The value of `name` in a request line's query.
std::string Query(const std::string& request, const std::string& name) {
    const std::string line = request.substr(0, request.find("\r\n"));
    const size_t at = line.find(name + "=");
    if (at == std::string::npos)
        return std::string();
    const size_t start = at + name.size() + 1;
    return line.substr(start, line.find_first_of("& ", start) - start);
}

std::string Body(const std::string& request) {
    return request.substr(request.find("\r\n\r\n") + 4);
}

std::string Reply(const std::string& status, const std::string& body) {
    return "HTTP/1.0 " + status + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

class TunnelTest : public ProxyClientTest {
protected:
    void SetUp() override {
        ProxyClientTest::SetUp();
        proxy.SetTunnelInterval(20);
        proxy.SetTunnelUrl("http://tunnel.example/tunnel");
        proxy.SetRelayLog([this](const std::string& line) { log.Add(line); });
    }
    // The relay outlives this fixture's members: it must stop writing to them first.
    void TearDown() override { proxy.SetRelayLog(nullptr); }

    // A tunnel server (met as an HTTP proxy) answering each request with answer(request).
    ScriptServer::Script TunnelServer(std::function<std::string(const std::string&)> answer) {
        return [this, answer](Peer& peer) {
            for (std::string request = peer.ReadRequest(); !request.empty(); request = peer.ReadRequest()) {
                seen.Add(request);
                peer.Send(answer(request));
            }
        };
    }

    bool Logged(const std::string& line) {
        for (int i = 0; i < 1000; ++i) {
            for (const auto& item : log.Items()) {
                if (item == line)
                    return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }

    Recorder log;
};

}  // namespace

TEST_F(TunnelTest, CarriesTheStreamInPostsAndClosesTheTunnel) {
    ScriptServer server(TunnelServer([](const std::string& request) {
        if (Query(request, "cmd") == "0")
            return Reply("200 OK", "T-42\nWELCOME");
        return Reply("200 OK", Body(request) == "ping" ? "T-42\npong" : "T-42\n");
    }));
    proxy.Connect(socket, "dest.example", 7000, "127.0.0.1", server.Port(), ProxyClient::HttpTunnel);
    EXPECT_EQ(ReadFrom(socket.handle, 7), "WELCOME");
    WriteTo(socket.handle, "ping");
    EXPECT_EQ(ReadFrom(socket.handle, 4), "pong");
    socket.Close();
    ASSERT_TRUE(Logged("Channel closed"));
    // Later connects go through the running relay as an HTTPS proxy.
    EXPECT_EQ(proxy.ProxyType(), ProxyClient::Https);
    EXPECT_EQ(proxy.ProxyPort(), proxy.RelayPort());

    const auto requests = seen.Items();
    ASSERT_GE(requests.size(), 3u);
    EXPECT_EQ(requests[0].substr(0, requests[0].find("\r\n")),
              "POST http://tunnel.example/tunnel?cmd=0&host=dest.example&port=7000&rid=0 HTTP/1.0");
    EXPECT_NE(requests[0].find("\r\nPragma: no-cache\r\nContent-Type: application/octet-stream\r\n"),
              std::string::npos);
    EXPECT_EQ(Query(requests[1], "id") + "/" + Query(requests[1], "rid"), "T-42/1");
    EXPECT_EQ(Query(requests.back(), "cmd"), "2");
    const auto lines = log.Items();
    EXPECT_EQ(lines.front(), "Accepted connection");
    EXPECT_EQ(std::vector<std::string>(lines.end() - 3, lines.end()),
              (std::vector<std::string>{"Client socket closed", "Closing channel", "Channel closed"}));
}

TEST_F(TunnelTest, FailuresOfTheTunnelServerReachTheClient) {
    ScriptServer unreachable(
        TunnelServer([](const std::string&) { return Reply("500 Internal Server Error", ""); }));
    EXPECT_EQ(Outcome(unreachable.Port(), ProxyClient::HttpTunnel), "proxy");
    EXPECT_TRUE(Logged("VodUrazIzerUza FAILED to connect to the destination server. rid 0, response 500"));
    ASSERT_TRUE(Logged("Channel closed"));
    EXPECT_EQ(seen.Count(), 1u);  // no close command for a tunnel that never opened

    ScriptServer missing(TunnelServer([](const std::string&) { return Reply("404 Not Found", ""); }));
    EXPECT_EQ(Outcome(missing.Port(), ProxyClient::HttpTunnel), "host");
    EXPECT_EQ(proxy.LastError(), "Bad HTTP Proxy response code: 404");
    EXPECT_TRUE(Logged("Response code: 404"));
}

TEST_F(TunnelTest, RetriesAFailedTransmissionAndGivesUpAfterTheLastTry) {
    std::atomic<int> calls{0};
    ScriptServer flaky(TunnelServer([&](const std::string&) {
        return ++calls <= 2 ? Reply("501 Not Implemented", "") : Reply("200 OK", "T\n");
    }));
    EXPECT_EQ(Outcome(flaky.Port(), ProxyClient::HttpTunnel), "connected");
    EXPECT_TRUE(Logged("VodUrazIzerUza FAILED to transmit data. Try 2/5, rid 0, response 501"));

    ScriptServer broken(TunnelServer([](const std::string&) { return Reply("501 Not Implemented", ""); }));
    EXPECT_EQ(Outcome(broken.Port(), ProxyClient::HttpTunnel), "proxy");
    EXPECT_TRUE(Logged("Max number of tries 5 reached. Close the channel."));
}

TEST_F(TunnelTest, RefusesOtherMethodsAndTunnelIdsThatWouldBreakItsRequests) {
    for (const std::string& id : {std::string(300, 'x'), std::string("two words")}) {
        ScriptServer server(
            TunnelServer([id](const std::string&) { return Reply("200 OK", id + "\ndata"); }));
        EXPECT_EQ(Outcome(server.Port(), ProxyClient::HttpTunnel), "proxy");
        EXPECT_TRUE(Logged("Uncaught exception"));
    }
    Socket raw;
    raw.CreateStream();
    ConnectTimeout(raw.handle, SocketAddress(htonl(INADDR_LOOPBACK), proxy.RelayPort()), 5000);
    WriteTo(raw.handle, "GET http://dest.example/ HTTP/1.0\r\n\r\n");
    EXPECT_TRUE(Logged("Bad method: GET"));
    EXPECT_EQ(ReadFrom(raw.handle, 1), "");  // closed without an answer
}
