#include "app/BannerFetcher.h"

#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <utility>

#include "base/ByteBuffer.h"
#include "base/ByteString.h"
#include "base/Exception.h"
#include "web/HttpClient.h"

// What the worker and the fetcher share. The worker holds it too, so a worker that outlives its fetcher
// (it was in the middle of a fetch) still has somewhere to look before it ends.
struct BannerFetcher::Shared {
    std::mutex lock;
    std::condition_variable wake;
    std::deque<Result> jobs;
    std::vector<Result> results;
    MessageTarget* owner = nullptr;  // null once the fetcher is gone
    bool busy = false;               // a fetch is under way
};

namespace {

// Addresses that HttpClient would misread go no further: other schemes (there is no TLS, and an
// "https://" address must not go out as plain HTTP), a missing host, and bytes that would break or
// extend the request line.
bool Fetchable(const std::string& url) {
    constexpr std::string_view kScheme = "http://";
    if (!StartsWithIgnoringCase(url, kScheme) || url.size() == kScheme.size())
        return false;
    if (url[kScheme.size()] == '/' || url[kScheme.size()] == ':')
        return false;
    for (const char c : url) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 32 || byte >= 127)
            return false;
    }
    return true;
}

bool IsSuccess(int status) {
    return status >= 200 && status <= 299;
}

size_t BodyLimit(BannerFetcher::Kind kind) {
    switch (kind) {
        case BannerFetcher::Kind::List:
            return BannerFetcher::kMaxListBytes;
        case BannerFetcher::Kind::Content:
            return BannerFetcher::kMaxContentBytes;
        case BannerFetcher::Kind::Image:
            break;
    }
    return BannerFetcher::kMaxImageBytes;
}

void Fetch(BannerFetcher::Result& job) {
    job.ok = false;
    job.body.clear();
    if (!Fetchable(job.url))
        return;
    // A new client for every fetch: nothing of one server's answer can reach the next request.
    HttpClient client;
    // One deadline for the whole banner: name lookups, connects, redirects and the body, so that no
    // server can hold the rotation longer by sending it on from one address to the next.
    client.SetTimeout(BannerFetcher::kTimeoutSeconds);
    client.SetCallTimeoutMs(BannerFetcher::kTimeoutSeconds * 1000);
    client.SetKeepAlive(false);
    // A body over the limit is refused on its "Content-Length", or cut one byte past the limit: never
    // downloaded whole only to be thrown away.
    client.SetMaxBodyBytes(static_cast<int32_t>(BodyLimit(job.kind)));
    if (job.kind == BannerFetcher::Kind::List) {
        // The list changes on the server whenever the maker wants; no cache may answer for it.
        client.DefaultHeaders().Set("User-Agent", BannerFetcher::kUserAgent);
        client.DefaultHeaders().Set("Pragma", "no-cache");
        client.DefaultHeaders().Set("Cache-Control", "no-cache");
    }
    ByteBuffer body;
    try {
        client.Get(job.url, body);
    } catch (const HttpClient::BadResponseException&) {
        // The list counts any 2xx answer as the list (Get takes only 200); the body has been read by then.
        if (job.kind != BannerFetcher::Kind::List || !IsSuccess(client.Response().StatusCode()))
            return;
    } catch (const Exception&) {
        return;
    } catch (const std::exception&) {
        return;
    }
    // Get also returns on a redirect it does not follow; only the resource itself will do.
    if (!IsSuccess(client.Response().StatusCode()))
        return;
    const auto length = static_cast<size_t>(body.Length());
    if (length > 0)
        job.body.assign(reinterpret_cast<const char*>(body.Data()), length);
    job.ok = true;
}

}  // namespace

void BannerFetcher::Run(const std::shared_ptr<Shared>& shared) {
    for (;;) {
        Result job;
        {
            std::unique_lock<std::mutex> guard(shared->lock);
            shared->wake.wait(guard, [&] { return !shared->jobs.empty() || shared->owner == nullptr; });
            if (shared->owner == nullptr)
                return;
            job = std::move(shared->jobs.front());
            shared->jobs.pop_front();
            shared->busy = true;
        }
        Fetch(job);
        std::lock_guard<std::mutex> guard(shared->lock);
        shared->busy = false;
        if (shared->owner == nullptr)
            return;
        shared->results.push_back(std::move(job));
        // One message for any number of outcomes: the owner takes them all at once.
        if (shared->results.size() == 1)
            shared->owner->Post(WM_BANNER_FETCHED, 0, 0);
    }
}

BannerFetcher::BannerFetcher(std::string serverHost, int serverPort, MessageTarget& owner)
    : serverHost_(std::move(serverHost)), serverPort_(serverPort), shared_(std::make_shared<Shared>()) {
    shared_->owner = &owner;
}

BannerFetcher::~BannerFetcher() {
    bool busy = false;
    {
        std::lock_guard<std::mutex> guard(shared_->lock);
        shared_->owner = nullptr;
        shared_->jobs.clear();
        busy = shared_->busy;
    }
    shared_->wake.notify_all();
    if (!thread_.joinable())
        return;
    // An idle worker ends at once. A busy one may wait on the network for up to kTimeoutSeconds, which
    // the window must not: it is left to finish and then finds nobody to tell.
    if (busy)
        thread_.detach();
    else
        thread_.join();
}

std::string BannerFetcher::ListUrl() const {
    // An IPv6 server's address goes in brackets, so that its colons are not taken for the port's.
    const bool ipv6 = serverHost_.find(':') != std::string::npos;
    std::string url = "http://" + (ipv6 ? "[" + serverHost_ + "]" : serverHost_);
    if (serverPort_ != 80)
        url += ":" + std::to_string(serverPort_);
    return url + kListPath;
}

void BannerFetcher::FetchList() {
    if (HasServer())
        Queue(Result{Kind::List, 0, ListUrl(), false, {}});
}

void BannerFetcher::FetchContent(int request, const std::string& url) {
    Queue(Result{Kind::Content, request, url, false, {}});
}

void BannerFetcher::FetchImage(const std::string& url) {
    Queue(Result{Kind::Image, 0, url, false, {}});
}

void BannerFetcher::Queue(Result job) {
    {
        std::lock_guard<std::mutex> guard(shared_->lock);
        if (shared_->jobs.size() >= kMaxQueued) {
            shared_->results.push_back(std::move(job));
            if (shared_->results.size() == 1)
                shared_->owner->Post(WM_BANNER_FETCHED, 0, 0);
            return;
        }
        shared_->jobs.push_back(std::move(job));
    }
    shared_->wake.notify_one();
    if (!thread_.joinable())
        thread_ = std::thread(Run, shared_);
}

std::vector<BannerFetcher::Result> BannerFetcher::TakeResults() {
    std::lock_guard<std::mutex> guard(shared_->lock);
    return std::exchange(shared_->results, {});
}
