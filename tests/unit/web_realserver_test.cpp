// The web client against real servers from Debian's packages, each started here in the foreground on a
// loopback port with its own configuration in a temporary directory: tinyproxy for "CONNECT" (and as the
// HTTP proxy in front of a tunnel server), microsocks for SOCKS5 with and without a login, and a small
// HTTP/1.1 server that keeps connections open and counts them.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "base/Socket.h"
#include "web/HttpClient.h"
#include "web/ProxyClient.h"
#include "web_script_server.h"

extern char** environ;

namespace {

using webtest::Peer;
using webtest::ReadFrom;
using webtest::ScriptServer;
using webtest::Text;
using webtest::WriteTo;

// A directory of its own under the system's temporary directory, removed with its contents.
class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "qparlin-web-XXXXXX").string();
        if (::mkdtemp(pattern.data()) != nullptr)
            path_ = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        if (!path_.empty())
            std::filesystem::remove_all(path_, ignored);
    }
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

// A server program run as a child of the test: stdout comes back through a pipe, stderr goes to a file.
// The destructor ends it by its own process id.
class ServerProcess {
public:
    ServerProcess(const std::vector<std::string>& argv, const std::string& errorLog) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0)
            return;
        output_ = fds[0];
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errorLog.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
        std::vector<char*> args;
        for (const auto& arg : argv)
            args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        if (::posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);
    }

    ~ServerProcess() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            int status = 0;
            for (int i = 0; i < 100 && ::waitpid(pid_, &status, WNOHANG) == 0; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                if (i == 99) {
                    ::kill(pid_, SIGKILL);
                    ::waitpid(pid_, &status, 0);
                }
            }
        }
        if (output_ >= 0)
            ::close(output_);
    }

    bool Started() const { return pid_ > 0; }

    // The first line the program prints, or empty when none comes within the time.
    std::string ReadLine(int timeoutMs = 5000) {
        std::string line;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < end) {
            pollfd entry{output_, POLLIN, 0};
            if (::poll(&entry, 1, 50) <= 0)
                continue;
            char c;
            if (::read(output_, &c, 1) != 1)
                break;
            if (c == '\n')
                return line;
            line.push_back(c);
        }
        return std::string();
    }

private:
    pid_t pid_ = -1;
    int output_ = -1;
};

// True once something accepts connections on 127.0.0.1:port.
bool WaitListening(uint16_t port, int timeoutMs = 5000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end) {
        Socket probe;
        probe.CreateStream();
        try {
            ConnectTimeout(probe.handle, SocketAddress(htonl(INADDR_LOOPBACK), port), 200);
            return true;
        } catch (const Exception&) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    return false;
}

bool Installed(const char* program) {
    const std::string command = std::string("command -v ") + program + " >/dev/null 2>&1";
    return std::system(command.c_str()) == 0;
}

// A destination that answers "ping" with "pong".
ScriptServer::Script PingPong() {
    return [](Peer& peer) {
        if (peer.Read(4) == "ping")
            peer.Send("pong");
        peer.WaitForClose();
    };
}

class Tinyproxy {
public:
    Tinyproxy() : port_(webtest::UnusedPort()) {
        const std::string config = dir_.Path() + "/tinyproxy.conf";
        std::ofstream(config) << "Port " << port_ << "\nListen 127.0.0.1\nTimeout 30\nMaxClients 20\n"
                              << "Allow 127.0.0.1\nLogFile \"" << dir_.Path()
                              << "/tinyproxy.log\"\nLogLevel Info\n";
        process_ = std::make_unique<ServerProcess>(std::vector<std::string>{"tinyproxy", "-d", "-c", config},
                                                   dir_.Path() + "/stderr.txt");
    }
    bool Ready() const { return process_->Started() && WaitListening(port_); }
    uint16_t Port() const { return port_; }

private:
    TempDir dir_;
    uint16_t port_;
    std::unique_ptr<ServerProcess> process_;
};

class Microsocks {
public:
    explicit Microsocks(const std::string& user = "", const std::string& password = "")
        : port_(webtest::UnusedPort()) {
        std::vector<std::string> argv{"microsocks", "-i", "127.0.0.1", "-p", std::to_string(port_)};
        if (!user.empty())
            argv.insert(argv.end(), {"-u", user, "-P", password});
        process_ = std::make_unique<ServerProcess>(argv, dir_.Path() + "/stderr.txt");
    }
    bool Ready() const { return process_->Started() && WaitListening(port_); }
    uint16_t Port() const { return port_; }

private:
    TempDir dir_;
    uint16_t port_;
    std::unique_ptr<ServerProcess> process_;
};

class RealServerTest : public ::testing::Test {
protected:
    void SetUp() override { proxy.SetTimeoutMs(5000); }

    ProxyClient proxy;
    Socket socket;
};

}  // namespace

TEST_F(RealServerTest, TinyproxyCarriesAConnectTunnel) {
    ASSERT_TRUE(Installed("tinyproxy")) << "scripts/install-deps --test installs tinyproxy";
    Tinyproxy tinyproxy;
    ASSERT_TRUE(tinyproxy.Ready());
    ScriptServer destination(PingPong());
    proxy.Connect(socket, "127.0.0.1", destination.Port(), "127.0.0.1", tinyproxy.Port(), ProxyClient::Https);
    EXPECT_EQ(proxy.ConnectResponse().StatusCode(), 200);
    WriteTo(socket.handle, "ping");
    EXPECT_EQ(ReadFrom(socket.handle, 4), "pong");

    // A destination nobody listens on: the proxy's own error page, with its body, is refused.
    Socket other;
    EXPECT_THROW(proxy.Connect(other, "127.0.0.1", webtest::UnusedPort(), "127.0.0.1", tinyproxy.Port(),
                               ProxyClient::Https),
                 ProxyClient::HostException);
    EXPECT_EQ(proxy.LastError().rfind("Bad HTTP Proxy response code: 5", 0), 0u) << proxy.LastError();
}

TEST_F(RealServerTest, TinyproxyCarriesTheRelaysPostsToATunnelServer) {
    ASSERT_TRUE(Installed("tinyproxy"));
    Tinyproxy tinyproxy;
    ASSERT_TRUE(tinyproxy.Ready());
    ScriptServer tunnelServer([](Peer& peer) {
        for (;;) {
            const std::string request = peer.ReadRequest();
            if (request.empty())
                return;
            const bool opening = request.find("cmd=0&host=dest.example&port=7000") != std::string::npos;
            const bool ping = request.size() >= 4 && request.compare(request.size() - 4, 4, "ping") == 0;
            const std::string body = opening ? "T1\nhello" : (ping ? "T1\npong" : "T1\n");
            peer.Send("HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
                      body);
        }
    });
    proxy.SetTunnelUrl(tunnelServer.Url("/tunnel"));
    proxy.SetTunnelInterval(20);
    proxy.Connect(socket, "dest.example", 7000, "127.0.0.1", tinyproxy.Port(), ProxyClient::HttpTunnel);
    EXPECT_EQ(ReadFrom(socket.handle, 5), "hello");
    WriteTo(socket.handle, "ping");
    EXPECT_EQ(ReadFrom(socket.handle, 4), "pong");
}

TEST_F(RealServerTest, MicrosocksWithoutLogin) {
    ASSERT_TRUE(Installed("microsocks")) << "scripts/install-deps --test installs microsocks";
    Microsocks microsocks;
    ASSERT_TRUE(microsocks.Ready());
    ScriptServer destination(PingPong());
    proxy.Connect(socket, "127.0.0.1", destination.Port(), "127.0.0.1", microsocks.Port(),
                  ProxyClient::Socks5);
    WriteTo(socket.handle, "ping");
    EXPECT_EQ(ReadFrom(socket.handle, 4), "pong");
}

TEST_F(RealServerTest, MicrosocksWithUserAndPassword) {
    ASSERT_TRUE(Installed("microsocks"));
    Microsocks microsocks("alice", "s3cret");
    ASSERT_TRUE(microsocks.Ready());
    ScriptServer destination(PingPong());

    EXPECT_THROW(proxy.Connect(socket, "127.0.0.1", destination.Port(), "127.0.0.1", microsocks.Port(),
                               ProxyClient::Socks5),
                 ProxyClient::ProxyAuthenticationRequiredException);
    EXPECT_EQ(proxy.LastError(), "Proxy server requires authentication.");

    proxy.SetUserName("alice");
    proxy.SetPassword("wrong");
    socket.Close();
    EXPECT_THROW(proxy.Connect(socket, "127.0.0.1", destination.Port()), ProxyClient::ProxyException);
    EXPECT_EQ(proxy.LastError(), "Invalid Username/Password authentication.");

    proxy.SetPassword("s3cret");
    socket.Close();
    proxy.Connect(socket, "127.0.0.1", destination.Port());
    WriteTo(socket.handle, "ping");
    EXPECT_EQ(ReadFrom(socket.handle, 4), "pong");
}

TEST_F(RealServerTest, KeepAliveServerSeesOneConnectionForRedirectedAndRepeatedGets) {
    ServerProcess server({"python3", std::string(QPARLIN_SOURCE_DIR) + "/scripts/keepalive-http-server.py"},
                         "/dev/null");
    ASSERT_TRUE(server.Started());
    const std::string port = server.ReadLine();
    ASSERT_FALSE(port.empty());
    const std::string base = "http://127.0.0.1:" + port;

    HttpClient client;
    client.SetTimeout(5);
    ByteBuffer out;
    client.Get(base + "/dir/a.txt", out);
    EXPECT_EQ(Text(out), "next file");
    EXPECT_EQ(client.Request().Path(), "/dir/next.txt");
    client.Get(base + "/count", out);
    EXPECT_EQ(Text(out), "1");

    EXPECT_THROW(client.Get(base + "/loop", out), HttpClient::BadResponseException);
    EXPECT_THROW(client.Get(base + "/missing", out), HttpClient::BadResponseException);
    EXPECT_EQ(client.Response().StatusCode(), 404);
    client.Get(base + "/count", out);
    EXPECT_EQ(Text(out), "1");
}
