// Fetches the banner list, the banners' contents and the images in them on a thread of its own, so that a
// slow or silent web server never holds up the window. Each outcome is queued and announced by posting
// WM_BANNER_FETCHED to the owner, which collects the outcomes with TakeResults on its own thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/MessageTarget.h"

// Posted to the owner when outcomes wait to be taken; wParam and lParam are 0.
constexpr uint32_t WM_BANNER_FETCHED = 0x8070;

class BannerFetcher {
public:
    enum class Kind { List, Content, Image };
    struct Result {
        Kind kind = Kind::List;
        int request = 0;  // a content fetch's request number, handed back unchanged
        std::string url;
        bool ok = false;
        std::string body;  // the response body when ok
    };

    static constexpr const char* kListPath = "/_banners/parlinsimplex.txt";
    static constexpr const char* kUserAgent = "Q-Parlin";
    // Larger bodies count as failed fetches, and no more than one byte past the limit is read of them. A
    // content is kept for the window's life; an image is decoded.
    static constexpr size_t kMaxListBytes = 64 * 1024;
    static constexpr size_t kMaxContentBytes = 128 * 1024;
    static constexpr size_t kMaxImageBytes = 1024 * 1024;
    // A fetch, whatever it takes (name lookups, redirects, answers to a proxy, the body), that has not
    // ended within this time fails: a banner shows empty rather than holding the rotation longer.
    static constexpr int kTimeoutSeconds = 20;
    // Fetches waiting their turn; one more fails at once.
    static constexpr size_t kMaxQueued = 64;

    // With an empty serverHost there is no banner server: FetchList does nothing.
    BannerFetcher(std::string serverHost, int serverPort, MessageTarget& owner);
    // Never waits for a fetch under way: that fetch finishes on its own and its outcome is dropped.
    ~BannerFetcher();
    BannerFetcher(const BannerFetcher&) = delete;
    BannerFetcher& operator=(const BannerFetcher&) = delete;

    bool HasServer() const { return !serverHost_.empty(); }
    // "http://HOST[:PORT]/_banners/parlinsimplex.txt".
    std::string ListUrl() const;

    // Each queues one fetch. Only plain "http://" addresses are fetched; any other fails.
    void FetchList();
    void FetchContent(int request, const std::string& url);
    void FetchImage(const std::string& url);

    // The outcomes that have arrived, oldest first; for the owner's thread.
    std::vector<Result> TakeResults();

private:
    struct Shared;
    // The worker's loop; it holds the shared part itself, so it may outlive the fetcher.
    static void Run(const std::shared_ptr<Shared>& shared);
    void Queue(Result job);

    std::string serverHost_;
    int serverPort_;
    std::shared_ptr<Shared> shared_;
    std::thread thread_;  // started with the first fetch
};
