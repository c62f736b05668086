#include "app/BannerRotation.h"

#include <algorithm>
#include <utility>

#include "base/ByteString.h"

std::vector<BannerItem> ParseBannerList(std::string_view text) {
    std::vector<BannerItem> items;
    while (!text.empty() && items.size() < kMaxBannerItems) {
        const size_t end = text.find('\n');
        const std::string_view line = TrimBytes(text.substr(0, end));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        const size_t blank = line.find_first_of(" \t");
        if (blank == std::string_view::npos)
            continue;
        items.push_back(BannerItem{std::string(TrimBytes(line.substr(blank + 1))), std::string(),
                                   Atoi(line.substr(0, blank))});
    }
    return items;
}

void BannerRotation::ListFetched(std::string_view text) {
    items_ = ParseBannerList(text);
    index_ = -1;
    countdown_ = 0;
    pending_ = false;
    if (!items_.empty())
        ShowNext();
}

void BannerRotation::ContentFetched(int request, bool ok, std::string content) {
    if (!pending_ || request != request_)
        return;
    pending_ = false;
    BannerItem& item = items_[static_cast<size_t>(index_)];
    if (ok) {
        item.content = std::move(content);
        item.failures = 0;
    } else {
        item.failures = std::min(item.failures + 1, 7);
        item.turnsToSkip = std::min((1 << (item.failures - 1)) - 1, kMaxSkippedTurns);
    }
    ShowCurrent();
}

void BannerRotation::Tick() {
    if (items_.empty() || pending_)
        return;
    if (countdown_ > 0) {
        --countdown_;
        return;
    }
    ShowNext();
}

void BannerRotation::ShowNext() {
    index_ = index_ + 1 < static_cast<int>(items_.size()) ? index_ + 1 : 0;
    BannerItem& item = items_[static_cast<size_t>(index_)];
    if (!item.content.empty()) {
        ShowCurrent();
        return;
    }
    if (item.turnsToSkip > 0) {
        --item.turnsToSkip;
        ShowCurrent();
        return;
    }
    // The item goes on show when its fetch ends, so a slow fetch does not eat into its display time.
    pending_ = true;
    host_.FetchBannerContent(++request_, item.address);
}

void BannerRotation::ShowCurrent() {
    const BannerItem& item = items_[static_cast<size_t>(index_)];
    host_.ShowBanner(item.content);
    countdown_ = item.displaySeconds;
}
