// The banner rotation and its fetches: the list's lines, the ticks each banner stays for, fetches that
// answer late or fail, and the worker that fetches from a web server on 127.0.0.1 without ever holding up
// its owner.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "app/BannerFetcher.h"
#include "app/BannerRotation.h"
#include "app/Settings.h"
#include "banner_site.h"
#include "web_script_server.h"

namespace {

using bannertest::BannerSite;
using webtest::Peer;
using webtest::ScriptServer;
using Clock = std::chrono::steady_clock;

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// Records what the rotation asks for; fetches are answered by the test.
class RecordingHost : public BannerRotation::Host {
public:
    void FetchBannerContent(int request, const std::string& address) override {
        fetches.emplace_back(request, address);
    }
    void ShowBanner(const std::string& content) override { shown.push_back(content); }

    int LastRequest() const { return fetches.empty() ? 0 : fetches.back().first; }

    std::vector<std::pair<int, std::string>> fetches;
    std::vector<std::string> shown;
};

TEST(BannerListTest, ParsesDisplayTimeAndAddressFromEachLineWithABlankOrTab) {
    const auto items = ParseBannerList(
        "5 http://a/1\r\n"
        "\t10\thttp://b/2  \r\n"
        "no-blank-here\n"
        "\n"
        "soon http://c/3\n"
        "12s   http://d/4 with blank\n"
        "99999999999 http://e/5\n"
        "-3 http://f/6");
    const std::vector<std::pair<int, std::string>> expected = {
        {5, "http://a/1"},       {10, "http://b/2"}, {0, "http://c/3"}, {12, "http://d/4 with blank"},
        {INT_MAX, "http://e/5"}, {-3, "http://f/6"}};
    ASSERT_EQ(items.size(), expected.size());
    for (size_t i = 0; i < items.size(); ++i) {
        EXPECT_EQ(items[i].displaySeconds, expected[i].first) << i;
        EXPECT_EQ(items[i].address, expected[i].second) << i;
        EXPECT_TRUE(items[i].content.empty());
    }

    std::string many;
    for (size_t i = 0; i < kMaxBannerItems + 50; ++i)
        many += "1 http://x/" + std::to_string(i) + "\n";
    EXPECT_EQ(ParseBannerList(many).size(), kMaxBannerItems);
}

TEST(BannerRotationTest, AnEmptyListLeavesTheLogoAndTheTimerIdle) {
    for (const char* list : {"", "\r\n\r\n", "one-word-lines\nonly\n"}) {
        RecordingHost host;
        BannerRotation rotation(host);
        rotation.ListFetched(list);
        for (int tick = 0; tick < 5; ++tick)
            rotation.Tick();
        EXPECT_TRUE(host.fetches.empty()) << list;
        EXPECT_TRUE(host.shown.empty()) << list;
        EXPECT_EQ(rotation.Index(), -1);
    }
}

TEST(BannerRotationTest, ANonNumericDisplayTimeChangesTheBannerAtEveryTick) {
    RecordingHost host;
    BannerRotation rotation(host);
    rotation.ListFetched("soon http://x/1\nlater http://x/2\n");
    rotation.ContentFetched(host.LastRequest(), true, "one");
    rotation.Tick();
    rotation.ContentFetched(host.LastRequest(), true, "two");
    rotation.Tick();
    rotation.Tick();
    EXPECT_EQ(host.shown, (std::vector<std::string>{"one", "two", "one", "two"}));
    EXPECT_EQ(host.fetches.size(), 2u) << "fetched contents are kept";
}

TEST(BannerRotationTest, TicksWhileAFetchIsPendingDoNothingAndLateOrStaleAnswersChangeNothing) {
    RecordingHost host;
    BannerRotation rotation(host);
    rotation.ListFetched("3 http://x/1\n");
    ASSERT_EQ(host.fetches.size(), 1u);
    EXPECT_EQ(host.fetches[0].second, "http://x/1");
    for (int tick = 0; tick < 10; ++tick)
        rotation.Tick();
    EXPECT_TRUE(rotation.FetchPending());
    EXPECT_TRUE(host.shown.empty());
    EXPECT_EQ(host.fetches.size(), 1u);

    rotation.ContentFetched(host.LastRequest() + 1, true, "not asked for");
    EXPECT_TRUE(host.shown.empty());
    rotation.ContentFetched(host.LastRequest(), true, "late");
    EXPECT_EQ(host.shown, std::vector<std::string>{"late"});
    EXPECT_EQ(rotation.Countdown(), 3) << "the display time starts when the banner shows";
    rotation.ContentFetched(host.LastRequest(), true, "twice");
    EXPECT_EQ(host.shown.size(), 1u);

    // A new list drops the answer still owed to the old one.
    rotation.ListFetched("1 http://y/1\n1 http://y/2\n");
    rotation.ListFetched("1 http://z/1\n");
    rotation.ContentFetched(host.LastRequest() - 1, true, "old list");
    EXPECT_EQ(host.shown.size(), 1u);
    rotation.ContentFetched(host.LastRequest(), true, "new list");
    EXPECT_EQ(host.shown.back(), "new list");
}

TEST(BannerRotationTest, AFailedContentShowsEmptyForItsTimeAndIsFetchedAgainOnItsNextTurn) {
    RecordingHost host;
    BannerRotation rotation(host);
    rotation.ListFetched("1 http://x/a\n1 http://x/b\n");
    rotation.ContentFetched(host.LastRequest(), false, "error page");
    EXPECT_EQ(host.shown, std::vector<std::string>{""});
    EXPECT_EQ(rotation.Countdown(), 1);
    rotation.Tick();
    rotation.Tick();
    rotation.ContentFetched(host.LastRequest(), true, "B");
    rotation.Tick();
    rotation.Tick();
    ASSERT_EQ(host.fetches.size(), 3u);
    EXPECT_EQ(host.fetches[2].second, "http://x/a");
    rotation.ContentFetched(host.LastRequest(), true, "A");
    rotation.Tick();
    rotation.Tick();
    EXPECT_EQ(host.shown, (std::vector<std::string>{"", "B", "A", "B"}));
    EXPECT_EQ(host.fetches.size(), 3u);
}

TEST(BannerRotationTest, ABannerThatKeepsFailingIsFetchedAfterTwiceAsManyTurnsEachTimeUpToSixtyFour) {
    RecordingHost host;
    BannerRotation rotation(host);
    // Display time 0: every tick is a new turn of the one banner.
    rotation.ListFetched("0 http://x/broken\n");
    std::vector<int> fetchedAt;
    for (int tick = 0; tick <= 300; ++tick) {
        if (tick > 0)
            rotation.Tick();
        if (host.fetches.size() > fetchedAt.size()) {
            fetchedAt.push_back(tick);
            rotation.ContentFetched(host.LastRequest(), false, "");
        }
    }
    EXPECT_EQ(fetchedAt, (std::vector<int>{0, 1, 3, 7, 15, 31, 63, 127, 191, 255}));
    // Every turn shows it, empty, whether fetched or not.
    EXPECT_EQ(host.shown.size(), 301u);
}

TEST(BannerRotationTest, AFetchThatSucceedsEndsTheBackOff) {
    RecordingHost host;
    BannerRotation rotation(host);
    rotation.ListFetched("0 http://x/flaky\n");
    std::vector<int> fetchedAt;
    for (int tick = 0; tick <= 12; ++tick) {
        if (tick > 0)
            rotation.Tick();
        if (host.fetches.size() > fetchedAt.size()) {
            fetchedAt.push_back(tick);
            // The fourth answer comes, but empty: the next turn asks again, and a failure then is a first.
            rotation.ContentFetched(host.LastRequest(), fetchedAt.size() == 4, "");
        }
    }
    EXPECT_EQ(fetchedAt, (std::vector<int>{0, 1, 3, 7, 8, 9, 11}));
}

// Counts the fetcher's posts.
class CountingOwner : public MessageTarget {
public:
    void Post(uint32_t message, WPARAM, LPARAM) override {
        std::lock_guard<std::mutex> guard(lock_);
        messages_.push_back(message);
    }
    std::vector<uint32_t> Messages() const {
        std::lock_guard<std::mutex> guard(lock_);
        return messages_;
    }

private:
    mutable std::mutex lock_;
    std::vector<uint32_t> messages_;
};

// The next outcomes of `fetcher`, waited for up to five seconds.
std::vector<BannerFetcher::Result> NextResults(BannerFetcher& fetcher) {
    const auto end = Clock::now() + std::chrono::seconds(5);
    for (;;) {
        auto results = fetcher.TakeResults();
        if (!results.empty() || Clock::now() > end)
            return results;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

std::optional<BannerFetcher::Result> NextResult(BannerFetcher& fetcher) {
    auto results = NextResults(fetcher);
    if (results.size() != 1)
        return std::nullopt;
    return std::move(results[0]);
}

// The window's part, without the window: the rotation fetching through the worker, each outcome applied
// on the test's thread as the window applies them on its own.
class FetchingHost : public BannerRotation::Host {
public:
    FetchingHost(BannerFetcher& fetcher, int& tick) : fetcher_(fetcher), tick_(tick) {}
    void FetchBannerContent(int request, const std::string& address) override {
        fetcher_.FetchContent(request, address);
    }
    void ShowBanner(const std::string& content) override { shown.emplace_back(tick_, content); }
    // Waits for the worker's next outcome and hands it to the rotation.
    void Apply(BannerRotation& rotation) {
        for (BannerFetcher::Result& result : NextResults(fetcher_)) {
            if (result.kind == BannerFetcher::Kind::List && result.ok)
                rotation.ListFetched(result.body);
            else if (result.kind == BannerFetcher::Kind::Content)
                rotation.ContentFetched(result.request, result.ok, std::move(result.body));
        }
    }

    std::vector<std::pair<int, std::string>> shown;  // at which tick, what

private:
    BannerFetcher& fetcher_;
    int& tick_;
};

TEST(BannerFetchTest, ATwoLineListShowsTheFirstBannerForSixTicksAndTheSecondForElevenThenAgain) {
    BannerSite site;
    site.Serve("/_banners/parlinsimplex.txt",
               "5 " + site.Url("/a.html") + "\r\n10 " + site.Url("/b.html") + "\r\n");
    site.Serve("/a.html", "<b>first</b>");
    site.Serve("/b.html", "<i>second</i>");
    CountingOwner owner;
    BannerFetcher fetcher("127.0.0.1", site.Port(), owner);
    int tick = 0;
    FetchingHost host(fetcher, tick);
    BannerRotation banners(host);

    fetcher.FetchList();
    host.Apply(banners);
    ASSERT_TRUE(banners.FetchPending());
    host.Apply(banners);
    for (tick = 1; tick <= 36; ++tick) {
        banners.Tick();
        if (banners.FetchPending())
            host.Apply(banners);
    }
    const std::vector<std::pair<int, std::string>> expected = {{0, "<b>first</b>"},
                                                               {6, "<i>second</i>"},
                                                               {17, "<b>first</b>"},
                                                               {23, "<i>second</i>"},
                                                               {34, "<b>first</b>"}};
    EXPECT_EQ(host.shown, expected);
    EXPECT_EQ(site.RequestsFor("/a.html"), 1);
    EXPECT_EQ(site.RequestsFor("/b.html"), 1);
    EXPECT_FALSE(owner.Messages().empty());
    for (const uint32_t message : owner.Messages())
        EXPECT_EQ(message, WM_BANNER_FETCHED);

    const std::string list = site.Requests().at(0);
    EXPECT_TRUE(list.rfind("GET /_banners/parlinsimplex.txt HTTP/1.0\r\n", 0) == 0) << list;
    EXPECT_TRUE(Contains(list, "Host: 127.0.0.1:" + std::to_string(site.Port()) + "\r\n")) << list;
    EXPECT_TRUE(Contains(list, "User-Agent: Q-Parlin\r\n")) << list;
    EXPECT_TRUE(Contains(list, "Pragma: no-cache\r\n")) << list;
    EXPECT_TRUE(Contains(list, "Cache-Control: no-cache\r\n")) << list;
}

TEST(BannerFetchTest, FailsOnABadStatusAnOversizedBodyAndAddressesItMustNotSend) {
    BannerSite site;
    const std::string limit(BannerFetcher::kMaxContentBytes, 'x');
    site.Serve("/full", limit);
    site.Serve("/over", limit + "x");
    site.Serve("/empty", "");
    site.Serve("/gone", "<p>gone</p>", "410 Gone");
    site.Serve("/secure", "moved", "302 Found", "Location: https://127.0.0.1/full\r\n");
    CountingOwner owner;
    BannerFetcher fetcher("127.0.0.1", site.Port(), owner);

    const struct {
        std::string url;
        bool ok;
        size_t length;
    } cases[] = {
        {site.Url("/full"), true, limit.size()},
        {site.Url("/empty"), true, 0},
        {site.Url("/over"), false, 0},
        {site.Url("/gone"), false, 0},
        {site.Url("/missing"), false, 0},
        {site.Url("/secure"), false, 0},
        {"http://127.0.0.1:" + std::to_string(webtest::UnusedPort()) + "/full", false, 0},
    };
    int request = 0;
    for (const auto& c : cases) {
        fetcher.FetchContent(++request, c.url);
        const auto result = NextResult(fetcher);
        ASSERT_TRUE(result) << c.url;
        EXPECT_EQ(result->kind, BannerFetcher::Kind::Content);
        EXPECT_EQ(result->request, request);
        EXPECT_EQ(result->url, c.url);
        EXPECT_EQ(result->ok, c.ok) << c.url;
        EXPECT_EQ(result->body.size(), c.length) << c.url;
    }

    // Never sent: no TLS here, so a secure address must not go out in the clear; no scheme, no host; and
    // bytes that would end the request line early or add header lines.
    const int accepted = site.Accepted();
    const std::string port = std::to_string(site.Port());
    for (const std::string& url :
         {"https://127.0.0.1:" + port + "/full", "ftp://127.0.0.1:" + port + "/full", std::string("/full"),
          std::string("http://"), std::string("http:///full"), site.Url("/full\r\nX-Injected: 1"),
          site.Url("/full x"), site.Url("/f\xc3\xbcll")}) {
        fetcher.FetchImage(url);
        const auto result = NextResult(fetcher);
        ASSERT_TRUE(result) << url;
        EXPECT_EQ(result->kind, BannerFetcher::Kind::Image);
        EXPECT_FALSE(result->ok) << url;
    }
    EXPECT_EQ(site.Accepted(), accepted);
}

TEST(BannerFetchTest, AnOversizedBannerIsRefusedWithoutDownloadingIt) {
    // 16 MiB said or sent, against 131072 bytes a banner may have: what leaves the server is what the
    // sockets between buffer, never the whole body.
    for (const std::string head :
         {"HTTP/1.0 200 OK\r\nContent-Length: 16777216\r\n\r\n", "HTTP/1.0 200 OK\r\n\r\n"}) {
        std::atomic<size_t> sent{0};
        ScriptServer server([&](Peer& peer) {
            peer.ReadRequest();
            peer.Send(head);
            sent = peer.Stream(std::string(65536, 'b'), 16777216);
        });
        CountingOwner owner;
        BannerFetcher fetcher("127.0.0.1", server.Port(), owner);
        fetcher.FetchContent(1, server.Url("/huge.html"));
        const auto result = NextResult(fetcher);
        ASSERT_TRUE(result) << head;
        EXPECT_FALSE(result->ok) << head;
        EXPECT_TRUE(result->body.empty());
        ASSERT_TRUE(server.WaitServed(1));
        EXPECT_LT(sent.load(), 2u * 1024 * 1024) << head;
    }
}

TEST(BannerFetchTest, TheListCountsAny2xxAnswerAsSuccess) {
    BannerSite site;
    CountingOwner owner;
    BannerFetcher fetcher("127.0.0.1", site.Port(), owner);
    const struct {
        const char* status;
        bool ok;
    } cases[] = {
        {"200 OK", true},
        {"201 Created", true},
        {"203 Non-Authoritative Information", true},
        {"206 Partial Content", true},
        {"299 Whatever", true},
        {"199 Early", false},
        {"300 Multiple Choices", false},
        {"404 Not Found", false},
        {"500 Server Error", false},
    };
    for (const auto& c : cases) {
        site.Serve("/_banners/parlinsimplex.txt", "1 http://x/1\n", c.status);
        fetcher.FetchList();
        const auto result = NextResult(fetcher);
        ASSERT_TRUE(result) << c.status;
        EXPECT_EQ(result->kind, BannerFetcher::Kind::List);
        EXPECT_EQ(result->ok, c.ok) << c.status;
        EXPECT_EQ(result->body, c.ok ? "1 http://x/1\n" : "") << c.status;
    }
    // A banner's content still takes only 200, as every other fetch of the rotation does.
    site.Serve("/a.html", "<p>partial</p>", "206 Partial Content");
    fetcher.FetchContent(1, site.Url("/a.html"));
    const auto content = NextResult(fetcher);
    ASSERT_TRUE(content);
    EXPECT_FALSE(content->ok);
}

TEST(BannerFetchTest, FetchesTheListFromAnIpv6BannerServer) {
    std::unique_ptr<BannerSite> site;
    try {
        site = std::make_unique<BannerSite>("::1");
    } catch (const Exception&) {
        GTEST_SKIP() << "no IPv6 loopback here";
    }
    CountingOwner owner;
    BannerFetcher fetcher("::1", site->Port(), owner);
    site->Serve("/_banners/parlinsimplex.txt", "1 http://x/1\n");
    fetcher.FetchList();
    const auto result = NextResult(fetcher);
    ASSERT_TRUE(result);
    EXPECT_TRUE(result->ok);
    EXPECT_EQ(result->body, "1 http://x/1\n");
}

TEST(BannerFetchTest, FetchesTheListOnlyFromABannerServer) {
    CountingOwner owner;
    {
        BannerFetcher fetcher("", Settings::kDefaultBannerServerPort, owner);
        EXPECT_FALSE(fetcher.HasServer());
        fetcher.FetchList();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_TRUE(fetcher.TakeResults().empty());
    }
    EXPECT_TRUE(owner.Messages().empty());
    EXPECT_EQ(BannerFetcher("banners.test", 80, owner).ListUrl(),
              "http://banners.test/_banners/parlinsimplex.txt");
    EXPECT_EQ(BannerFetcher("banners.test", 8080, owner).ListUrl(),
              "http://banners.test:8080/_banners/parlinsimplex.txt");
    EXPECT_EQ(BannerFetcher("2001:db8::1", 8080, owner).ListUrl(),
              "http://[2001:db8::1]:8080/_banners/parlinsimplex.txt");
}

TEST(BannerFetchTest, LetsGoOfAFetchThatHangsWithoutWaitingForIt) {
    ScriptServer silent([](Peer& peer) {
        peer.ReadRequest();
        peer.WaitForClose(30000);
    });
    CountingOwner owner;
    auto fetcher = std::make_unique<BannerFetcher>("127.0.0.1", silent.Port(), owner);
    fetcher->FetchList();
    for (int i = 0; i < 2500 && silent.Accepted() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    ASSERT_EQ(silent.Accepted(), 1);
    const auto start = Clock::now();
    fetcher.reset();
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
    EXPECT_TRUE(owner.Messages().empty());
}

}  // namespace
