// The web client against real servers from Debian's packages, each started here as a child process on a
// loopback port with its own configuration in a temporary directory: tinyproxy for "CONNECT" (and as the
// HTTP proxy in front of a tunnel server), microsocks for SOCKS5 with and without a login, and an
// HTTP/1.1 server that keeps connections open and counts them.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "web/HttpClient.h"
#include "web_script_server.h"

extern char** environ;

namespace {

using webtest::Peer;
using webtest::ReadFrom;
using webtest::ScriptServer;
using webtest::WriteTo;

// A server program run as a child of the test, in a temporary directory of its own; its stdout comes
// back through a pipe. Ended by its own process id, and its directory removed, at destruction.
class ServerProcess {
public:
    explicit ServerProcess(std::vector<std::string> argv, const std::string& config = "") {
        std::string pattern = (std::filesystem::temp_directory_path() / "qparlin-web-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr)
            return;
        dir_ = pattern;
        for (auto& arg : argv)
            arg = Expand(arg);
        if (!config.empty())
            std::ofstream(dir_ + "/server.conf") << Expand(config);
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0)
            return;
        output_ = fds[0];
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        const std::string errors = dir_ + "/stderr.txt";
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errors.c_str(), O_WRONLY | O_CREAT, 0600);
        std::vector<char*> args;
        for (auto& arg : argv)
            args.push_back(arg.data());
        args.push_back(nullptr);
        if (::posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);
    }
    ~ServerProcess() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            for (int i = 0; ::waitpid(pid_, nullptr, WNOHANG) == 0; ++i) {
                if (i == 100)
                    ::kill(pid_, SIGKILL);
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        }
        if (output_ >= 0)
            ::close(output_);
        std::error_code ignored;
        if (!dir_.empty())
            std::filesystem::remove_all(dir_, ignored);
    }

    uint16_t Port() const { return port_; }

    // True once the program accepts connections on its port: the one handed to it through "$PORT", or with
    // `printsPort` the first line the program prints.
    bool Ready(bool printsPort = false) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        if (pid_ <= 0)
            return false;
        std::string line;
        if (printsPort)
            port_ = 0;
        while (printsPort && port_ == 0 && std::chrono::steady_clock::now() < end) {
            pollfd entry{output_, POLLIN, 0};
            char c;
            if (::poll(&entry, 1, 50) <= 0)
                continue;
            if (::read(output_, &c, 1) != 1)
                return false;
            if (c == '\n')
                port_ = static_cast<uint16_t>(std::stoi(line));
            line.push_back(c);
        }
        if (printsPort)
            return port_ != 0;  // it listens before it prints, and a probe would be counted
        while (std::chrono::steady_clock::now() < end) {
            Socket probe;
            probe.CreateStream();
            try {
                ConnectTimeout(probe.handle, SocketAddress(htonl(INADDR_LOOPBACK), port_), 200);
                return true;
            } catch (const Exception&) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        }
        return false;
    }

private:
    // Puts the chosen port and the directory into "$PORT" and "$DIR".
    std::string Expand(std::string text) const {
        for (const auto& [name, value] :
             {std::pair<std::string, std::string>{"$PORT", std::to_string(port_)}, {"$DIR", dir_}}) {
            for (size_t at = text.find(name); at != std::string::npos; at = text.find(name)) {
                text.replace(at, name.size(), value);
            }
        }
        return text;
    }

    std::string dir_;
    uint16_t port_ = webtest::UnusedPort();
    pid_t pid_ = -1;
    int output_ = -1;
};

ServerProcess Tinyproxy() {
    return ServerProcess({"tinyproxy", "-d", "-c", "$DIR/server.conf"},
                         "Port $PORT\nListen 127.0.0.1\nAllow 127.0.0.1\nLogFile \"$DIR/tinyproxy.log\"\n");
}

// A destination that answers "ping" with "pong".
void PingPong(Peer& peer) {
    if (peer.Read(4) == "ping")
        peer.Send("pong");
    peer.WaitForClose();
}

class RealServerTest : public ::testing::Test {
protected:
    void SetUp() override { proxy.SetTimeoutMs(5000); }

    // Sends "ping" on the connected socket and tells whether "pong" came back.
    bool PingPongs() {
        WriteTo(socket.handle, "ping");
        return ReadFrom(socket.handle, 4) == "pong";
    }

    ProxyClient proxy;
    Socket socket;
    ScriptServer destination{PingPong};
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
