// A web server for the banner tests on 127.0.0.1 (ephemeral port): answers each request from a table of
// paths, one request per connection, records what was asked, and can hold a path's answer back until the
// test lets it go.
#pragma once

#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "web_script_server.h"

namespace bannertest {

class BannerSite {
public:
    // On 127.0.0.1, or on the numeric address given ("::1").
    explicit BannerSite(const char* address = "127.0.0.1")
        : server_(
              [this](webtest::Peer& peer) {
                  const std::string request = peer.ReadRequest();
                  if (request.empty())
                      return;
                  requests_.Add(request);
                  peer.Send(Answer(request));
              },
              address) {}
    ~BannerSite() { Release(); }

    void Serve(const std::string& path, const std::string& body, const std::string& status = "200 OK",
               const std::string& headers = "") {
        std::lock_guard<std::mutex> guard(lock_);
        replies_[path] = "HTTP/1.0 " + status + "\r\n" + headers +
                         "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    }
    // The answer for `path` waits until Release.
    void Hold(const std::string& path) {
        std::lock_guard<std::mutex> guard(lock_);
        held_.insert(path);
    }
    void Release() {
        {
            std::lock_guard<std::mutex> guard(lock_);
            held_.clear();
        }
        released_.notify_all();
    }

    std::string Url(const std::string& path) const { return server_.Url(path); }
    uint16_t Port() const { return server_.Port(); }
    int Accepted() const { return server_.Accepted(); }
    std::vector<std::string> Requests() const { return requests_.Items(); }
    int RequestsFor(const std::string& path) const {
        int count = 0;
        for (const std::string& request : Requests())
            count += request.rfind("GET " + path + " ", 0) == 0 ? 1 : 0;
        return count;
    }

private:
    std::string Answer(const std::string& request) {
        const size_t start = request.find(' ') + 1;
        const std::string path = request.substr(start, request.find(' ', start) - start);
        std::unique_lock<std::mutex> guard(lock_);
        released_.wait(guard, [&] { return held_.count(path) == 0; });
        const auto reply = replies_.find(path);
        return reply != replies_.end() ? reply->second
                                       : "HTTP/1.0 404 Not Found\r\nContent-Length: 0\r\n\r\n";
    }

    std::mutex lock_;
    std::condition_variable released_;
    std::map<std::string, std::string> replies_;
    std::set<std::string> held_;
    webtest::Recorder requests_;
    webtest::ScriptServer server_;  // last: its thread uses the members above
};

}  // namespace bannertest
