// The proxy client's reply readers against a hostile proxy: a loopback server answers each connection the
// client opens with the next part of the input and then closes its sending side. The client's HTTPS
// "CONNECT" (with Basic, Digest and NTLM answers to a 407), SOCKS4 and SOCKS5 procedures, and the
// automatic mode that tries them in turn, read those answers.
//
// Input: one byte choosing procedure and user, then the answers, one per connection, separated by "|||".
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "base/Socket.h"
#include "web/ProxyClient.h"

namespace {

class FakeProxy {
public:
    FakeProxy() {
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(address);
        if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            listen(listener_, 16) != 0 ||
            getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            abort();
        port_ = ntohs(address.sin_port);
        std::thread([this] { Serve(); }).detach();
    }

    uint16_t Port() const { return port_; }

    void SetAnswers(std::vector<std::string> answers) {
        std::lock_guard<std::mutex> guard(lock_);
        answers_ = std::move(answers);
        next_ = 0;
    }

    // Closes the connections of the last run.
    void CloseAll() {
        std::lock_guard<std::mutex> guard(lock_);
        for (const int fd : open_)
            close(fd);
        open_.clear();
    }

private:
    void Serve() {
        for (;;) {
            const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                continue;
            std::lock_guard<std::mutex> guard(lock_);
            if (next_ < answers_.size()) {
                const std::string& answer = answers_[next_++];
                size_t written = 0;
                while (written < answer.size()) {
                    const ssize_t n =
                        send(fd, answer.data() + written, answer.size() - written, MSG_NOSIGNAL);
                    if (n <= 0)
                        break;
                    written += static_cast<size_t>(n);
                }
            }
            shutdown(fd, SHUT_WR);
            open_.push_back(fd);
        }
    }

    int listener_ = -1;
    uint16_t port_ = 0;
    std::mutex lock_;
    std::vector<std::string> answers_;
    size_t next_ = 0;
    std::vector<int> open_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static FakeProxy proxy;
    if (size < 1 || size > 32768)
        return 0;
    const uint8_t choice = data[0];
    std::vector<std::string> answers;
    std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
    for (;;) {
        const size_t end = rest.find("|||");
        answers.emplace_back(rest.substr(0, end));
        if (end == std::string_view::npos || answers.size() == 4)
            break;
        rest.remove_prefix(end + 3);
    }
    proxy.SetAnswers(std::move(answers));

    static constexpr int kTypes[] = {ProxyClient::Https, ProxyClient::Socks4, ProxyClient::Socks5,
                                     ProxyClient::Auto};
    ProxyClient client;
    client.SetTimeoutMs(2000);
    if ((choice & 4) != 0) {
        client.SetUserName("user");
        client.SetPassword("secret");
        client.SetDomain("DOMAIN");
    }
    Socket socket;
    try {
        client.Connect(socket, "10.1.2.3", 5004, "127.0.0.1", proxy.Port(), kTypes[choice & 3]);
    } catch (const Exception&) {
        // a refusal or failure of the proxy is an answer
    }
    socket.Close();
    proxy.CloseAll();
    return 0;
}
