// Proxy authentication against a real squid from Debian's package, started here on a loopback port with
// its own configuration, password file and temporary directory: a "CONNECT" through it with Basic
// (basic_ncsa_auth over an htpasswd file) and with Digest (digest_file_auth), with the right password
// and with a wrong one.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

#include "web/ProxyClient.h"
#include "web_script_server.h"
#include "web_server_process.h"

namespace {

using webtest::ScriptServer;
using webtest::ServerProcess;
namespace fs = std::filesystem;

const char* const kSquid = "/usr/sbin/squid";

const std::string kBasic =
    "auth_param basic program /usr/lib/squid/basic_ncsa_auth $DIR/passwd\n"
    "auth_param basic children 1 startup=1\n"
    "auth_param basic realm qparlin\n";
const std::string kDigest =
    "auth_param digest program /usr/lib/squid/digest_file_auth $DIR/passwd\n"
    "auth_param digest children 1 startup=1\n"
    "auth_param digest realm qparlin\n";

// squid demanding `authentication` of every client, with no cache and nothing written outside its
// directory. `addUsers` writes the password file. Started as root, squid runs as its own user: the
// directory and the files it and its helpers open must be open to that user.
ServerProcess Squid(const std::string& authentication,
                    const std::function<void(const std::string&)>& addUsers) {
    const std::string config =
        "http_port 127.0.0.1:$PORT\n"
        "pid_filename $DIR/squid.pid\n"
        "cache_log $DIR/cache.log\n"
        "access_log none\n"
        "cache deny all\n"
        "cache_mem 8 MB\n"
        "coredump_dir $DIR\n"
        "visible_hostname qparlin-test\n"
        "shutdown_lifetime 0 seconds\n"
        "icp_port 0\n"
        "htcp_port 0\n"
        "netdb_filename none\n"
        "pinger_enable off\n" +
        authentication +
        "acl users proxy_auth REQUIRED\n"
        "http_access allow users\n"
        "http_access deny all\n";
    return ServerProcess({kSquid, "-N", "-f", "$DIR/server.conf"}, config, [&](const std::string& dir) {
        addUsers(dir);
        std::ofstream(dir + "/cache.log").flush();
        constexpr auto kReadable = fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read;
        fs::permissions(dir, kReadable | fs::perms::group_exec | fs::perms::others_exec);
        fs::permissions(dir + "/server.conf", kReadable);
        fs::permissions(dir + "/passwd", kReadable);
        fs::permissions(dir + "/cache.log", fs::perms::all & ~fs::perms::owner_exec & ~fs::perms::group_exec &
                                                ~fs::perms::others_exec);
    });
}

class SquidAuthTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!fs::exists(kSquid))
            GTEST_SKIP() << kSquid << " is missing: scripts/install-deps --test installs squid";
        proxy.SetTimeoutMs(10000);
        proxy.SetUserName("alice");
    }

    // Connects through squid with `password`; true when the tunnel then carries the destination's bytes.
    bool TunnelsWith(const std::string& password, uint16_t port) {
        proxy.SetPassword(password);
        socket.Close();
        proxy.Connect(socket, "127.0.0.1", destination.Port(), "127.0.0.1", port, ProxyClient::Https);
        return webtest::PingPongs(socket.handle);
    }

    ProxyClient proxy;
    Socket socket;
    ScriptServer destination{webtest::PingPong};
};

}  // namespace

TEST_F(SquidAuthTest, BasicWithTheRightAndAWrongPassword) {
    ServerProcess squid = Squid(kBasic, [](const std::string& dir) {
        EXPECT_EQ(webtest::RunProgram({"htpasswd", "-b", "-c", dir + "/passwd", "alice", "s3cret"}), 0)
            << "htpasswd comes with apache2-utils (scripts/install-deps --test)";
    });
    ASSERT_TRUE(squid.Ready(false, std::chrono::seconds(30)));
    EXPECT_TRUE(TunnelsWith("s3cret", squid.Port()));
    EXPECT_THROW(TunnelsWith("wrong", squid.Port()), ProxyClient::ProxyException);
    EXPECT_EQ(proxy.LastError(), "Basic HTTP Proxy Authentication response code: 407");
}

TEST_F(SquidAuthTest, DigestWithTheRightAndAWrongPassword) {
    // digest_file_auth reads plain "user:password" lines.
    ServerProcess squid =
        Squid(kDigest, [](const std::string& dir) { std::ofstream(dir + "/passwd") << "alice:s3cret\n"; });
    ASSERT_TRUE(squid.Ready(false, std::chrono::seconds(30)));
    EXPECT_TRUE(TunnelsWith("s3cret", squid.Port()));
    EXPECT_THROW(TunnelsWith("wrong", squid.Port()), ProxyClient::ProxyException);
    EXPECT_EQ(proxy.LastError(), "Digest HTTP Proxy Authentication response code: 407");
}
