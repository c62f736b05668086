// The rotating banners: the list fetched from the maker's web server, which item is on show and for how
// many more timer ticks. Fetching is someone else's job; its results come back through ListFetched and
// ContentFetched, possibly long after they were asked for, and ticks wait while a fetch is under way.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

struct BannerItem {
    std::string address;  // where the content is fetched from
    std::string content;  // HTML of the banner, empty until fetched
    int displaySeconds = 0;
    int failures = 0;     // fetches failed in a row
    int turnsToSkip = 0;  // turns still to show it empty without fetching
};

// The list's lines, "SECONDS ADDRESS": each line trimmed of characters with codes 32 or less, split at its
// first blank or tab (lines without one are skipped); the display time is the decimal number at the start
// of the first part (0 without one), the address the trimmed rest. At most kMaxBannerItems are kept.
std::vector<BannerItem> ParseBannerList(std::string_view text);

// Every fetched content is kept for the window's life, so the list's length bounds that memory.
inline constexpr size_t kMaxBannerItems = 100;
// The most turns a banner that keeps failing is shown empty without a fetch.
inline constexpr int kMaxSkippedTurns = 63;

class BannerRotation {
public:
    // What the rotation asks of the window.
    class Host {
    public:
        virtual ~Host() = default;
        // Start fetching `address`; the outcome comes back through ContentFetched with the same request.
        virtual void FetchBannerContent(int request, const std::string& address) = 0;
        // Replace the page body's content with `content`.
        virtual void ShowBanner(const std::string& content) = 0;
    };

    explicit BannerRotation(Host& host) : host_(host) {}

    // The list arrived: it replaces the old one and the rotation starts again from its first item.
    void ListFetched(std::string_view text);
    // The outcome of a FetchBannerContent. A failure shows the item empty; its next turn fetches again.
    // Each further failure in a row doubles the turns that pass without a fetch (1, 3, 7, ... up to
    // kMaxSkippedTurns), so a banner that keeps failing costs its server and the network less and less.
    void ContentFetched(int request, bool ok, std::string content);
    // The window's one-second timer.
    void Tick();

    const std::vector<BannerItem>& Items() const { return items_; }
    int Index() const { return index_; }
    int Countdown() const { return countdown_; }
    bool FetchPending() const { return pending_; }

private:
    void ShowNext();
    void ShowCurrent();

    Host& host_;
    std::vector<BannerItem> items_;
    int index_ = -1;
    int countdown_ = 0;
    bool pending_ = false;
    int request_ = 0;  // of the fetch under way; older answers are dropped
};
