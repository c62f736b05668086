// The banner list and the rotation over it: the input up to its first NUL byte is the fetched list, each
// byte after it one event for the rotation (a timer tick, a fetch answered, failed or answered late).
// The rotation must keep its index inside the list whatever the list and the order of events.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "app/BannerRotation.h"

namespace {

class RecordingHost final : public BannerRotation::Host {
public:
    void FetchBannerContent(int request, const std::string& address) override {
        lastRequest = request;
        if (address.empty() || static_cast<unsigned char>(address.front()) <= 32 ||
            static_cast<unsigned char>(address.back()) <= 32)
            abort();  // addresses come trimmed and never empty
    }
    void ShowBanner(const std::string& content) override { shown += content.size(); }

    int lastRequest = 0;
    size_t shown = 0;
};

void CheckIndex(const BannerRotation& rotation) {
    const auto& items = rotation.Items();
    if (items.size() > kMaxBannerItems)
        abort();
    if (!items.empty() && (rotation.Index() < 0 || rotation.Index() >= static_cast<int>(items.size())))
        abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const size_t split = input.find('\0');
    const std::string_view list = input.substr(0, split);
    const std::string_view events =
        split == std::string_view::npos ? std::string_view() : input.substr(split + 1);

    RecordingHost host;
    BannerRotation rotation(host);
    rotation.ListFetched(list);
    CheckIndex(rotation);
    for (const char event : events) {
        const auto code = static_cast<unsigned char>(event);
        switch (code % 4) {
            case 0:
                rotation.Tick();
                break;
            case 1:
                rotation.ContentFetched(host.lastRequest, true, std::string(code / 4 + 1, 'x'));
                break;
            case 2:
                rotation.ContentFetched(host.lastRequest, false, std::string());
                break;
            default:
                rotation.ContentFetched(host.lastRequest - 1 - code / 4, true, "late");
                break;
        }
        CheckIndex(rotation);
    }
    // Fetch everything once more from the start.
    rotation.ListFetched(list);
    CheckIndex(rotation);
    return 0;
}
