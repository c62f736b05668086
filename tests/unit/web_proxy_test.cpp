// ProxyClient against scripted proxies on 127.0.0.1: the bytes of each protocol, every reply the
// connector must tell apart (with the exception and the text it leaves), replies cut short or lying
// about their lengths, the automatic mode, and the tunnel relay against a scripted tunnel server.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "base/Socket.h"
#include "web/ProxyClient.h"
#include "web/TunnelRelay.h"
#include "web_script_server.h"

namespace {

using webtest::Bytes;
using webtest::Peer;
using webtest::ReadFrom;
using webtest::Recorder;
using webtest::ScriptServer;
using webtest::WriteTo;

std::string PortBytes(uint16_t port) {
    return Bytes({port >> 8, port & 0xFF});
}

// A SOCKS5 success reply with a bound IPv4 address.
const std::string kSocks5Granted = Bytes({5, 0, 0, 1, 127, 0, 0, 1, 0x1F, 0x90});

class RecordingObserver : public ProxyObserver {
public:
    void OnProxyConnecting() override { calls.push_back("proxy connecting"); }
    void OnProxyConnected() override { calls.push_back("proxy connected"); }
    void OnHostRequesting() override { calls.push_back("host requesting"); }
    void OnHostConnected() override { calls.push_back("host connected"); }
    std::vector<std::string> calls;
};

class ProxyClientTest : public ::testing::Test {
protected:
    void SetUp() override { proxy.SetTimeoutMs(5000); }

    // Connects through `server` with `type`; the exception, if any, is rethrown to the test.
    void ConnectThrough(const ScriptServer& server, int type, const std::string& host = "dest.example",
                        uint16_t port = 8080) {
        socket.Close();
        proxy.Connect(socket, host, port, "127.0.0.1", server.Port(), type);
    }

    ProxyClient proxy;
    Socket socket;
    Recorder seen;
};

// A SOCKS5 server script: takes the greeting, chooses `method`, and (for method 0) reads the request and
// answers `reply`, then sends "DEST" as the destination would.
ScriptServer::Script Socks5(Recorder& seen, int method, const std::string& reply) {
    return [&seen, method, reply](Peer& peer) {
        const std::string greeting = peer.Read(2);
        seen.Add(greeting + peer.Read(static_cast<uint8_t>(greeting.size() == 2 ? greeting[1] : 0)));
        peer.Send(Bytes({5, method}));
        if (method != 0)
            return;
        const std::string head = peer.Read(5);
        if (head.size() < 5)
            return;
        seen.Add(head + peer.Read(static_cast<uint8_t>(head[4]) + 2u));
        peer.Send(reply);
        peer.Send("DEST");
        peer.WaitForClose();
    };
}

// A SOCKS4 server script: records the request and answers with `reply`, then "DEST".
ScriptServer::Script Socks4(Recorder& seen, const std::string& reply, bool secondField) {
    return [&seen, reply, secondField](Peer& peer) {
        std::string request = peer.Read(8);
        request += peer.ReadUntilNul();
        if (secondField)
            request += peer.ReadUntilNul();
        seen.Add(request);
        peer.Send(reply);
        peer.Send("DEST");
        peer.WaitForClose();
    };
}

}  // namespace

// ---- Direct and unknown types ----

TEST_F(ProxyClientTest, DirectConnectsToTheDestinationAndTellsTheObserverEveryStep) {
    ScriptServer destination([](Peer& peer) { peer.Send("DEST"); });
    RecordingObserver observer;
    proxy.SetObserver(&observer);
    proxy.Connect(socket, "127.0.0.1", destination.Port());
    EXPECT_EQ(ReadFrom(socket.handle, 4), "DEST");
    EXPECT_EQ(observer.calls, (std::vector<std::string>{"proxy connecting", "proxy connected",
                                                        "host requesting", "host connected"}));
    EXPECT_EQ(proxy.LastError(), "");
}

TEST_F(ProxyClientTest, AnUnknownTypeOnlyLeavesItsText) {
    proxy.Connect(socket, "dest.example", 80, "127.0.0.1", 1, 9);
    EXPECT_EQ(proxy.LastError(), "Failed: Unknown proxy type #9");
    EXPECT_EQ(socket.handle, kNoSocket);
}

TEST(ProxyClientReplyTextTest, LooksUpTheLowEightBitsOfTheCode) {
    EXPECT_STREQ(ProxyClient::ReplyCodeText(0), "Success");
    EXPECT_STREQ(ProxyClient::ReplyCodeText(4), "Host Unreachable");
    EXPECT_STREQ(ProxyClient::ReplyCodeText(9), "to 0xFF UnAssigned");
    EXPECT_STREQ(ProxyClient::ReplyCodeText(92),
                 "Request REJECTED - SOCKS server can't connect to Identd on the client");
    EXPECT_STREQ(ProxyClient::ReplyCodeText(256 + 91), "Request REJECTED or FAILED");
    EXPECT_STREQ(ProxyClient::ReplyCodeText(10), "Unknown Command");
}

// ---- HTTPS proxy ----

TEST_F(ProxyClientTest, HttpsConsumesTheProxysBodyBeforeTheTunnelIsUsed) {
    ScriptServer server([&](Peer& peer) {
        seen.Add(peer.ReadRequest());
        peer.Send("HTTP/1.0 200 Connection established\r\nContent-Length: 5\r\n\r\nhelloDEST");
        peer.WaitForClose();
    });
    ConnectThrough(server, ProxyClient::Https, "dest.example", 443);
    EXPECT_EQ(seen.At(0), "CONNECT dest.example:443 HTTP/1.0\r\n\r\n");
    EXPECT_EQ(ReadFrom(socket.handle, 4), "DEST");
    EXPECT_EQ(proxy.ConnectResponse().StatusCode(), 200);
}

TEST_F(ProxyClientTest, HttpsRefusalsAndFailures) {
    ScriptServer forbidden([](Peer& peer) {
        peer.ReadRequest();
        peer.Send("HTTP/1.0 403 Forbidden\r\n\r\n");
    });
    EXPECT_THROW(ConnectThrough(forbidden, ProxyClient::Https), ProxyClient::HostException);
    EXPECT_EQ(proxy.LastError(), "Bad HTTP Proxy response code: 403");

    ScriptServer hangsUp([](Peer& peer) { peer.ReadRequest(); });
    EXPECT_THROW(ConnectThrough(hangsUp, ProxyClient::Https), ProxyClient::ProxyException);
    EXPECT_EQ(proxy.LastError(), "Exception while reading HTTPS Proxy response");

    ScriptServer challenge([](Peer& peer) {
        peer.ReadRequest();
        peer.Send("HTTP/1.0 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic realm=x\r\n\r\n");
        peer.WaitForClose();
    });
    EXPECT_THROW(ConnectThrough(challenge, ProxyClient::Https),
                 ProxyClient::ProxyAuthenticationRequiredException);

    socket.Close();
    EXPECT_THROW(
        proxy.Connect(socket, "dest.example", 443, "127.0.0.1", webtest::UnusedPort(), ProxyClient::Https),
        ProxyClient::ProxyException);
    EXPECT_EQ(proxy.LastError(), "Cannot connect HTTPS Proxy");
}

TEST_F(ProxyClientTest, HttpsBoundsAHostileProxysAnswer) {
    ScriptServer endless([](Peer& peer) {
        peer.ReadRequest();
        peer.Send("HTTP/1.0 200 OK\r\nX: " + std::string(100000, 'a'));
        peer.WaitForClose();
    });
    EXPECT_THROW(ConnectThrough(endless, ProxyClient::Https), ProxyClient::ProxyException);
    EXPECT_EQ(proxy.LastError(), "Exception while reading HTTPS Proxy response");

    ScriptServer huge([](Peer& peer) {
        peer.ReadRequest();
        peer.Send("HTTP/1.0 200 OK\r\nContent-Length: 4000000000\r\n\r\n");
        peer.WaitForClose();
    });
    EXPECT_THROW(ConnectThrough(huge, ProxyClient::Https), ProxyClient::ProxyException);
}

// ---- SOCKS4 and SOCKS4a ----

TEST_F(ProxyClientTest, Socks4SendsTheResolvedAddressAndTheUserName) {
    ScriptServer server(Socks4(seen, Bytes({0, 90, 0, 0, 0, 0, 0, 0}), false));
    proxy.SetUserName("alice");
    ConnectThrough(server, ProxyClient::Socks4, "127.0.0.1", 0x1F90);
    EXPECT_EQ(seen.At(0), Bytes({4, 1, 0x1F, 0x90, 127, 0, 0, 1}) + "alice" + Bytes({0}));
    EXPECT_EQ(ReadFrom(socket.handle, 4), "DEST");
}

TEST_F(ProxyClientTest, Socks4aSendsAnUnresolvableNameForTheProxyToResolve) {
    ScriptServer server(Socks4(seen, Bytes({0, 90, 0, 0, 0, 0, 0, 0}), true));
    proxy.SetUserName("bob");
    ConnectThrough(server, ProxyClient::Socks4, "no.such.host.invalid", 80);
    EXPECT_EQ(seen.At(0),
              Bytes({4, 1, 0, 80, 0, 0, 0, 255}) + "bob" + Bytes({0}) + "no.such.host.invalid" + Bytes({0}));
    EXPECT_EQ(ReadFrom(socket.handle, 4), "DEST");
}

TEST_F(ProxyClientTest, Socks4ReplyCodesDecideBetweenProxyAndHostFailures) {
    ScriptServer rejected(Socks4(seen, Bytes({0, 91, 0, 0, 0, 0, 0, 0}), false));
    EXPECT_THROW(ConnectThrough(rejected, ProxyClient::Socks4, "127.0.0.1"), ProxyClient::ProxyException);
    EXPECT_EQ(proxy.LastError(), "Failed: Reply code: 91 - Request REJECTED or FAILED");

    ScriptServer noIdentd(Socks4(seen, Bytes({0, 92, 0, 0, 0, 0, 0, 0}), false));
    EXPECT_THROW(ConnectThrough(noIdentd, ProxyClient::Socks4, "127.0.0.1"), ProxyClient::HostException);
    EXPECT_EQ(
        proxy.LastError(),
        "Failed: Reply code: 92 - Request REJECTED - SOCKS server can't connect to Identd on the client");

    ScriptServer otherUser(Socks4(seen, Bytes({0, 93, 0, 0, 0, 0, 0, 0}), false));
    EXPECT_THROW(ConnectThrough(otherUser, ProxyClient::Socks4, "127.0.0.1"), ProxyClient::ProxyException);
    EXPECT_EQ(proxy.LastError(),
              "Failed: Reply code: 93 - Request REJECTED - Client and Identd report diff user-ID");

    ScriptServer wrongVersion(Socks4(seen, Bytes({4, 90, 0, 0, 0, 0, 0, 0}), false));
    EXPECT_THROW(ConnectThrough(wrongVersion, ProxyClient::Socks4, "127.0.0.1"), ProxyClient::ProxyException);
    EXPECT_EQ(proxy.LastError(), "Failed: The proxy server replyed with incorrect SOCKS version: 4");
}

TEST_F(ProxyClientTest, Socks4ReplyCutShortOrLate) {
    ScriptServer cut([](Peer& peer) {
        peer.Read(9);
        peer.Send(Bytes({0, 90, 0}));
    });
    EXPECT_THROW(ConnectThrough(cut, ProxyClient::Socks4, "127.0.0.1"), ProxyClient::HostException);
    EXPECT_EQ(proxy.LastError(), "Failed: Socket exception.");

    ScriptServer silent([](Peer& peer) { peer.WaitForClose(); });
    proxy.SetTimeoutMs(200);
    EXPECT_THROW(ConnectThrough(silent, ProxyClient::Socks4, "127.0.0.1"), ProxyClient::HostException);
    EXPECT_EQ(proxy.LastError(), "Failed: Timeout expired.");

    socket.Close();
    EXPECT_THROW(
        proxy.Connect(socket, "127.0.0.1", 80, "127.0.0.1", webtest::UnusedPort(), ProxyClient::Socks4),
        ProxyClient::ProxyException);
    EXPECT_EQ(proxy.LastError(), "Failed: Socket exception while connecting to proxy.");
}

// ---- SOCKS5 ----

TEST_F(ProxyClientTest, Socks5WithoutUserOffersNoAuthenticationAndSendsTheNameEvenForAnAddress) {
    ScriptServer server(Socks5(seen, 0, kSocks5Granted));
    ConnectThrough(server, ProxyClient::Socks5, "127.0.0.1", 8080);
    EXPECT_EQ(seen.At(0), Bytes({5, 1, 0}));
    EXPECT_EQ(seen.At(1), Bytes({5, 1, 0, 3, 9}) + "127.0.0.1" + PortBytes(8080));
    EXPECT_EQ(ReadFrom(socket.handle, 4), "DEST");
}

TEST_F(ProxyClientTest, Socks5WithUserLogsInWithUserAndPassword) {
    auto script = [&](const std::string& verdict) {
        return [&seen = seen, verdict](Peer& peer) {
            seen.Add(peer.Read(4));
            peer.Send(Bytes({5, 2}));
            const std::string user = peer.Read(2);
            const std::string name = peer.Read(static_cast<uint8_t>(user[1]));
            const std::string passLength = peer.Read(1);
            seen.Add(user + name + passLength + peer.Read(static_cast<uint8_t>(passLength[0])));
            peer.Send(verdict);
            if (verdict[1] != 0)
                return;
            const std::string head = peer.Read(5);
            peer.Read(static_cast<uint8_t>(head[4]) + 2u);
            peer.Send(kSocks5Granted + "DEST");
            peer.WaitForClose();
        };
    };
    proxy.SetUserName("user");
    proxy.SetPassword("secret");
    ScriptServer accepting(script(Bytes({1, 0})));
    ConnectThrough(accepting, ProxyClient::Socks5);
    EXPECT_EQ(seen.At(0), Bytes({5, 2, 0, 2}));
    EXPECT_EQ(seen.At(1), Bytes({1, 4}) + "user" + Bytes({6}) + "secret");
    EXPECT_EQ(ReadFrom(socket.handle, 4), "DEST");

    ScriptServer refusing(script(Bytes({1, 1})));
    EXPECT_THROW(ConnectThrough(refusing, ProxyClient::Socks5), ProxyClient::ProxyException);
    EXPECT_EQ(proxy.LastError(), "Invalid Username/Password authentication.");
}

TEST_F(ProxyClientTest, Socks5MethodChoices) {
    ScriptServer wantsLogin(Socks5(seen, 2, ""));
    EXPECT_THROW(ConnectThrough(wantsLogin, ProxyClient::Socks5),
                 ProxyClient::ProxyAuthenticationRequiredException);
    EXPECT_EQ(proxy.LastError(), "");

    ScriptServer refusesAll(Socks5(seen, 255, ""));
    EXPECT_THROW(ConnectThrough(refusesAll, ProxyClient::Socks5),
                 ProxyClient::ProxyAuthenticationRequiredException);
    EXPECT_EQ(proxy.LastError(), "Proxy server requires authentication.");

    ScriptServer gssapi(Socks5(seen, 1, ""));
    EXPECT_THROW(ConnectThrough(gssapi, ProxyClient::Socks5), ProxyClient::ProxyException);
    EXPECT_EQ(proxy.LastError(), "Proxy requires unsupported authentication method.");

    proxy.SetUserName("user");
    ScriptServer refusesUser(Socks5(seen, 255, ""));
    try {
        ConnectThrough(refusesUser, ProxyClient::Socks5);
        FAIL() << "connected";
    } catch (const ProxyClient::ProxyAuthenticationRequiredException&) {
        FAIL() << "a refused login is not a request for one";
    } catch (const ProxyClient::ProxyException&) {
    }
    EXPECT_EQ(proxy.LastError(), "Proxy server responded with: No acceptable authentication methods.");
}

TEST_F(ProxyClientTest, Socks5ReplyCodesDecideBetweenProxyAndHostFailures) {
    ScriptServer unreachable(Socks5(seen, 0, Bytes({5, 4, 0, 1, 0, 0, 0, 0, 0, 0})));
    EXPECT_THROW(ConnectThrough(unreachable, ProxyClient::Socks5), ProxyClient::HostException);
    EXPECT_EQ(proxy.LastError(), "Failed: Reply code: 4 - Host Unreachable");

    ScriptServer refused(Socks5(seen, 0, Bytes({5, 5, 0, 1, 0, 0, 0, 0, 0, 0})));
    EXPECT_THROW(ConnectThrough(refused, ProxyClient::Socks5), ProxyClient::ProxyException);
    EXPECT_EQ(proxy.LastError(), "Failed: Reply code: 5 - Connection Refused");
}

TEST_F(ProxyClientTest, Socks5ReadsEveryAddressTypeExactlyAndChecksTheVersionLast) {
    ScriptServer named(Socks5(seen, 0, Bytes({5, 0, 0, 3, 11}) + "proxy.local" + PortBytes(1080)));
    ConnectThrough(named, ProxyClient::Socks5);
    EXPECT_EQ(ReadFrom(socket.handle, 4), "DEST");  // not a byte of the reply left over

    ScriptServer emptyName(Socks5(seen, 0, Bytes({5, 0, 0, 3, 0, 0, 80})));
    EXPECT_THROW(ConnectThrough(emptyName, ProxyClient::Socks5), ProxyClient::ProxyException);
    EXPECT_EQ(proxy.LastError(), "Failed: Proxy returned an invalid host name length");

    ScriptServer ipv6(Socks5(seen, 0, Bytes({4, 0, 0, 4}) + std::string(18, '\0')));
    EXPECT_THROW(ConnectThrough(ipv6, ProxyClient::Socks5), ProxyClient::ProxyException);
    EXPECT_EQ(proxy.LastError(), "Failed: Unsupported address type - IP v.6");

    ScriptServer odd(Socks5(seen, 0, Bytes({5, 0, 0, 7})));
    EXPECT_THROW(ConnectThrough(odd, ProxyClient::Socks5), ProxyClient::ProxyException);
    EXPECT_EQ(proxy.LastError(), "Failed: Unsupported address type #7");

    ScriptServer wrongVersion(Socks5(seen, 0, Bytes({4, 0, 0, 1, 1, 2, 3, 4, 0, 80})));
    EXPECT_THROW(ConnectThrough(wrongVersion, ProxyClient::Socks5), ProxyClient::ProxyException);
    EXPECT_EQ(proxy.LastError(), "Failed: The proxy server replyed with incorrect SOCKS version: 4");
}

TEST_F(ProxyClientTest, Socks5NeverReadsPastWhatTheProxySent) {
    // The reply announces a 200-byte name, sends 5 bytes and hangs up.
    ScriptServer lying([](Peer& peer) {
        peer.Read(3);
        peer.Send(Bytes({5, 0}));
        peer.Read(5 + 12 + 2);
        peer.Send(Bytes({5, 0, 0, 3, 200}) + "short");
    });
    EXPECT_THROW(ConnectThrough(lying, ProxyClient::Socks5), ProxyClient::HostException);
    EXPECT_EQ(proxy.LastError(), "Failed: Socket exception.");

    ScriptServer quiet([](Peer& peer) {
        peer.Read(3);
        peer.WaitForClose();
    });
    proxy.SetTimeoutMs(200);
    EXPECT_THROW(ConnectThrough(quiet, ProxyClient::Socks5), ProxyClient::ProxyException);
    EXPECT_EQ(proxy.LastError(), "Failed: Timeout expired.");
}

TEST_F(ProxyClientTest, SocksRefusesANameTooLongForItsLengthByte) {
    ScriptServer server(Socks5(seen, 0, kSocks5Granted));
    EXPECT_THROW(ConnectThrough(server, ProxyClient::Socks5, std::string(256, 'h')),
                 ProxyClient::HostException);
    ConnectThrough(server, ProxyClient::Socks5, std::string(255, 'h'));
    EXPECT_EQ(ReadFrom(socket.handle, 4), "DEST");
}

// ---- Automatic ----

TEST_F(ProxyClientTest, AutoFallsThroughToTheTypeThatWorksAndRemembersIt) {
    // A proxy that speaks SOCKS4 only and hangs up on anything else.
    ScriptServer server([&](Peer& peer) {
        const std::string first = peer.Read(1);
        seen.Add(first);
        if (first != Bytes({4}))
            return;
        peer.Read(7);
        peer.ReadUntilNul();
        peer.Send(Bytes({0, 90, 0, 0, 0, 0, 0, 0}) + "DEST");
        peer.WaitForClose();
    });
    ConnectThrough(server, ProxyClient::Auto, "127.0.0.1", 80);
    EXPECT_EQ(ReadFrom(socket.handle, 4), "DEST");
    EXPECT_EQ(proxy.ProxyType(), ProxyClient::Socks4);
    EXPECT_EQ(seen.Items(), (std::vector<std::string>{"C", Bytes({5}), Bytes({4})}));

    socket.Close();
    proxy.Connect(socket, "127.0.0.1", 80);
    EXPECT_EQ(seen.Count(), 4u);
    EXPECT_EQ(seen.At(3), Bytes({4}));
}

TEST_F(ProxyClientTest, AutoReportsFailureWhenNothingWorks) {
    ScriptServer server([&](Peer& peer) { seen.Add(peer.Read(1)); });
    EXPECT_THROW(ConnectThrough(server, ProxyClient::Auto, "127.0.0.1", 80), ProxyClient::ProxyException);
    EXPECT_EQ(proxy.LastError(), "Unknown proxy type");
    EXPECT_EQ(proxy.ProxyType(), ProxyClient::Socks4);
    EXPECT_EQ(seen.Count(), 3u);
}

// ---- HTTP tunnel through the relay ----

namespace {

// The value of `name` in a request line's query, or empty.
std::string QueryValue(const std::string& request, const std::string& name) {
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

std::string TunnelReply(const std::string& status, const std::string& body) {
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
    // The relay outlives this fixture's members; it must stop writing to them first.
    void TearDown() override { proxy.SetRelayLog(nullptr); }

    // Answers each request with what `answer` makes of it, recording the requests.
    ScriptServer::Script Serve(std::function<std::string(const std::string&)> answer) {
        return [this, answer](Peer& peer) {
            for (;;) {
                const std::string request = peer.ReadRequest();
                if (request.empty())
                    return;
                seen.Add(request);
                peer.Send(answer(request));
            }
        };
    }

    bool WaitForLog(const std::string& line, int timeoutMs = 5000) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < end) {
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
    ScriptServer server(Serve([](const std::string& request) {
        const std::string command = QueryValue(request, "cmd");
        if (command == "0")
            return TunnelReply("200 OK", "T-42\nWELCOME");
        if (command == "1" && Body(request) == "ping")
            return TunnelReply("200 OK", "T-42\npong");
        return TunnelReply("200 OK", "T-42\n");
    }));
    ConnectThrough(server, ProxyClient::HttpTunnel, "dest.example", 7000);
    EXPECT_EQ(ReadFrom(socket.handle, 7), "WELCOME");
    WriteTo(socket.handle, "ping");
    EXPECT_EQ(ReadFrom(socket.handle, 4), "pong");
    socket.Close();
    ASSERT_TRUE(WaitForLog("Channel closed"));

    // Later connects go through the running relay as an HTTPS proxy.
    EXPECT_EQ(proxy.ProxyType(), ProxyClient::Https);
    EXPECT_EQ(proxy.ProxyHost(), "127.0.0.1");
    EXPECT_EQ(proxy.ProxyPort(), proxy.RelayPort());

    const auto requests = seen.Items();
    ASSERT_GE(requests.size(), 3u);
    EXPECT_EQ(requests[0].substr(0, requests[0].find("\r\n")),
              "POST http://tunnel.example/tunnel?cmd=0&host=dest.example&port=7000&rid=0 HTTP/1.0");
    EXPECT_NE(requests[0].find("\r\nPragma: no-cache\r\n"), std::string::npos);
    EXPECT_NE(requests[0].find("\r\nContent-Type: application/octet-stream\r\n"), std::string::npos);
    EXPECT_EQ(QueryValue(requests[1], "cmd"), "1");
    EXPECT_EQ(QueryValue(requests[1], "id"), "T-42");
    EXPECT_EQ(QueryValue(requests[1], "rid"), "1");
    EXPECT_EQ(QueryValue(requests.back(), "cmd"), "2");
    EXPECT_EQ(Body(requests.back()), "");
    bool pinged = false;
    for (const auto& request : requests)
        pinged = pinged || Body(request) == "ping";
    EXPECT_TRUE(pinged);

    const auto lines = log.Items();
    EXPECT_EQ(lines.front(), "Accepted connection");
    const std::vector<std::string> closing(lines.end() - 3, lines.end());
    EXPECT_EQ(closing,
              (std::vector<std::string>{"Client socket closed", "Closing channel", "Channel closed"}));
}

TEST_F(TunnelTest, ATunnelServerThatCannotReachTheDestinationClosesTheChannel) {
    ScriptServer server(
        Serve([](const std::string&) { return TunnelReply("500 Internal Server Error", ""); }));
    EXPECT_THROW(ConnectThrough(server, ProxyClient::HttpTunnel), ProxyClient::ProxyException);
    EXPECT_EQ(proxy.LastError(), "Exception while reading HTTPS Proxy response");
    ASSERT_TRUE(WaitForLog("Channel closed"));
    EXPECT_TRUE(
        WaitForLog("VodUrazIzerUza FAILED to connect to the destination server. rid 0, response 500"));
    EXPECT_EQ(seen.Count(), 1u);  // no close command for a tunnel that never opened
}

TEST_F(TunnelTest, AnotherStatusIsPassedToTheClient) {
    ScriptServer server(Serve([](const std::string&) { return TunnelReply("404 Not Found", ""); }));
    EXPECT_THROW(ConnectThrough(server, ProxyClient::HttpTunnel), ProxyClient::HostException);
    EXPECT_EQ(proxy.LastError(), "Bad HTTP Proxy response code: 404");
    EXPECT_TRUE(WaitForLog("Response code: 404"));
}

TEST_F(TunnelTest, RetriesAFailedTransmissionAndGivesUpAfterTheLastTry) {
    int calls = 0;
    ScriptServer flaky(Serve([&calls](const std::string&) {
        return ++calls <= 2 ? TunnelReply("501 Not Implemented", "") : TunnelReply("200 OK", "T\n");
    }));
    ConnectThrough(flaky, ProxyClient::HttpTunnel);
    EXPECT_TRUE(WaitForLog("VodUrazIzerUza FAILED to transmit data. Try 1/5, rid 0, response 501"));
    EXPECT_TRUE(WaitForLog("VodUrazIzerUza FAILED to transmit data. Try 2/5, rid 0, response 501"));
    socket.Close();
    ASSERT_TRUE(WaitForLog("Channel closed"));

    ScriptServer broken(Serve([](const std::string&) { return TunnelReply("501 Not Implemented", ""); }));
    EXPECT_THROW(ConnectThrough(broken, ProxyClient::HttpTunnel, "dest.example", 8080), Exception);
    EXPECT_TRUE(WaitForLog("Max number of tries 5 reached. Close the channel."));
}

TEST_F(TunnelTest, RefusesAnythingButConnect) {
    ScriptServer server(Serve([](const std::string&) { return TunnelReply("200 OK", "T\n"); }));
    ConnectThrough(server, ProxyClient::HttpTunnel);  // starts the relay
    Socket raw;
    raw.CreateStream();
    ConnectTimeout(raw.handle, SocketAddress(htonl(INADDR_LOOPBACK), proxy.RelayPort()), 5000);
    WriteTo(raw.handle, "GET http://dest.example/ HTTP/1.0\r\n\r\n");
    EXPECT_TRUE(WaitForLog("Bad method: GET"));
    EXPECT_EQ(ReadFrom(raw.handle, 1), "");  // closed without an answer
}

TEST_F(TunnelTest, RefusesATunnelIdThatWouldBreakItsRequests) {
    for (const std::string& id : {std::string(300, 'x'), std::string("two words")}) {
        ScriptServer server(Serve([id](const std::string&) { return TunnelReply("200 OK", id + "\ndata"); }));
        EXPECT_THROW(ConnectThrough(server, ProxyClient::HttpTunnel), ProxyClient::ProxyException);
        EXPECT_TRUE(WaitForLog("Uncaught exception"));
        proxy.SetTunnelUrl("http://tunnel.example/tunnel");
    }
}
