// The web client against real servers from Debian's packages, each started here as a child process on a
// loopback port with its own configuration in a temporary directory: tinyproxy for "CONNECT" (and as the
// HTTP proxy in front of a tunnel server), microsocks for SOCKS5 with and without a login, and an
// HTTP/1.1 server that keeps connections open and counts them.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "web/HttpClient.h"
#include "web_script_server.h"
#include "web_server_process.h"

namespace {

using webtest::Peer;
using webtest::ReadFrom;
using webtest::ScriptServer;
using webtest::ServerProcess;

ServerProcess Tinyproxy() {
    return ServerProcess({"tinyproxy", "-d", "-c", "$DIR/server.conf"},
                         "Port $PORT\nListen 127.0.0.1\nAllow 127.0.0.1\nLogFile \"$DIR/tinyproxy.log\"\n");
}

class RealServerTest : public ::testing::Test {
protected:
    void SetUp() override { proxy.SetTimeoutMs(5000); }

    // Sends "ping" on the connected socket and tells whether "pong" came back.
    bool PingPongs() { return webtest::PingPongs(socket.handle); }

    ProxyClient proxy;
    Socket socket;
    ScriptServer destination{webtest::PingPong};
};

}  // namespace

TEST_F(RealServerTest, TinyproxyCarriesAConnectTunnelAndRefusesAnUnreachableDestination) {
    ServerProcess tinyproxy = Tinyproxy();
    ASSERT_TRUE(tinyproxy.Ready()) << "scripts/install-deps --test installs tinyproxy";
    proxy.Connect(socket, "127.0.0.1", destination.Port(), "127.0.0.1", tinyproxy.Port(), ProxyClient::Https);
    EXPECT_TRUE(PingPongs());

    Socket other;
    EXPECT_THROW(proxy.Connect(other, "127.0.0.1", webtest::UnusedPort()), ProxyClient::HostException);
    EXPECT_EQ(proxy.LastError().rfind("Bad HTTP Proxy response code: 5", 0), 0u) << proxy.LastError();
}

TEST_F(RealServerTest, TinyproxyCarriesTheRelaysPostsToATunnelServer) {
    ServerProcess tinyproxy = Tinyproxy();
    ASSERT_TRUE(tinyproxy.Ready());
    ScriptServer tunnelServer([](Peer& peer) {
        for (std::string request = peer.ReadRequest(); !request.empty(); request = peer.ReadRequest()) {
            const bool opening = request.find("cmd=0&host=dest.example&port=7000") != std::string::npos;
            const bool ping = request.compare(request.size() - 4, 4, "ping") == 0;
            const std::string body = opening ? "T1\nhello" : (ping ? "T1\npong" : "T1\n");
            peer.Send("HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
                      body);
        }
    });
    proxy.SetTunnelUrl(tunnelServer.Url("/tunnel"));
    proxy.SetTunnelInterval(20);
    proxy.Connect(socket, "dest.example", 7000, "127.0.0.1", tinyproxy.Port(), ProxyClient::HttpTunnel);
    EXPECT_EQ(ReadFrom(socket.handle, 5), "hello");
    EXPECT_TRUE(PingPongs());
}

TEST_F(RealServerTest, MicrosocksWithAndWithoutLogin) {
    ServerProcess open({"microsocks", "-i", "127.0.0.1", "-p", "$PORT"});
    ASSERT_TRUE(open.Ready()) << "scripts/install-deps --test installs microsocks";
    proxy.Connect(socket, "127.0.0.1", destination.Port(), "127.0.0.1", open.Port(), ProxyClient::Socks5);
    EXPECT_TRUE(PingPongs());

    ServerProcess guarded({"microsocks", "-i", "127.0.0.1", "-p", "$PORT", "-u", "alice", "-P", "s3cret"});
    ASSERT_TRUE(guarded.Ready());
    socket.Close();
    EXPECT_THROW(proxy.Connect(socket, "127.0.0.1", destination.Port(), "127.0.0.1", guarded.Port(),
                               ProxyClient::Socks5),
                 ProxyClient::ProxyAuthenticationRequiredException);
    proxy.SetUserName("alice");
    proxy.SetPassword("wrong");
    socket.Close();
    EXPECT_THROW(proxy.Connect(socket, "127.0.0.1", destination.Port()), ProxyClient::ProxyException);
    EXPECT_EQ(proxy.LastError(), "Invalid Username/Password authentication.");
    proxy.SetPassword("s3cret");
    socket.Close();
    proxy.Connect(socket, "127.0.0.1", destination.Port());
    EXPECT_TRUE(PingPongs());
}

TEST_F(RealServerTest, AKeepAliveServerSeesOneConnectionForRedirectedAndRepeatedGets) {
    // Debian's own interpreter, not whichever one comes first on the path.
    const std::string python = std::filesystem::exists("/usr/bin/python3") ? "/usr/bin/python3" : "python3";
    ServerProcess server({python, std::string(QPARLIN_SOURCE_DIR) + "/scripts/keepalive-http-server.py"});
    ASSERT_TRUE(server.Ready(true));
    const std::string base = "http://127.0.0.1:" + std::to_string(server.Port());
    HttpClient client;
    client.SetTimeout(5);
    ByteBuffer out;
    client.Get(base + "/dir/a.txt", out);
    EXPECT_EQ(webtest::Text(out), "next file");
    EXPECT_THROW(client.Get(base + "/loop", out), HttpClient::BadResponseException);
    EXPECT_THROW(client.Get(base + "/missing", out), HttpClient::BadResponseException);
    client.Get(base + "/count", out);
    EXPECT_EQ(webtest::Text(out), "1");
}
