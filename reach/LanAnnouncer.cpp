#include "reach/LanAnnouncer.h"

#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/thread-watch.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <tuple>

namespace {

// A LAN with more copies than this is not one whose list anybody reads; more announcements are ignored.
constexpr std::size_t kMaxCopies = 256;
// The most TXT strings, and bytes in one, that are looked at.
constexpr std::size_t kMaxTxtStrings = 16;
constexpr std::size_t kMaxTxtBytes = 255;

std::string DefaultName() {
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0 || host[0] == '\0')
        return "Q-Parlin";
    return std::string("Q-Parlin on ") + host;
}

}  // namespace

struct LanAnnouncer::Avahi {
    AvahiThreadedPoll* poll = nullptr;
    AvahiClient* client = nullptr;
    AvahiEntryGroup* group = nullptr;
    AvahiServiceBrowser* browser = nullptr;
    // Set on the caller's thread under the poll's lock, read on Avahi's thread.
    bool announced = false;
    Announcement announcement;
    std::string serviceName;

    mutable std::mutex copiesLock;
    // Keyed by interface, protocol and name: one copy can be seen on several interfaces.
    std::map<std::tuple<int, int, std::string>, LanCopy> copies;
    ChangeHandler changed;

    void Register() {
        if (!announced || client == nullptr || avahi_client_get_state(client) != AVAHI_CLIENT_S_RUNNING)
            return;
        if (group == nullptr)
            group = avahi_entry_group_new(client, &Avahi::OnGroup, this);
        if (group == nullptr)
            return;
        avahi_entry_group_reset(group);
        AvahiStringList* txt = nullptr;
        for (const std::string& entry : AnnouncementTxt(announcement.codec, announcement.privateCalls))
            txt = avahi_string_list_add(txt, entry.c_str());
        const int result = avahi_entry_group_add_service_strlst(
            group, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, static_cast<AvahiPublishFlags>(0),
            serviceName.c_str(), LanCopy::kServiceType, nullptr, nullptr,
            static_cast<uint16_t>(announcement.port), txt);
        avahi_string_list_free(txt);
        if (result == AVAHI_ERR_COLLISION) {
            Rename();
            return;
        }
        if (result == 0)
            avahi_entry_group_commit(group);
    }

    // Another host took the name: the next one Avahi suggests ("... #2").
    void Rename() {
        char* next = avahi_alternative_service_name(serviceName.c_str());
        if (next != nullptr) {
            serviceName = next;
            avahi_free(next);
        }
        Register();
    }

    static void OnGroup(AvahiEntryGroup* group, AvahiEntryGroupState state, void* self) {
        auto* avahi = static_cast<Avahi*>(self);
        avahi->group = group;
        if (state == AVAHI_ENTRY_GROUP_COLLISION)
            avahi->Rename();
    }

    // `client` is kept only by the thread that made it (Connect): this may run before avahi_client_new
    // has returned, and then Register finds no client yet and Announce registers instead.
    static void OnClient(AvahiClient*, AvahiClientState state, void* self) {
        auto* avahi = static_cast<Avahi*>(self);
        if (state == AVAHI_CLIENT_S_RUNNING)
            avahi->Register();
        else if (state == AVAHI_CLIENT_S_COLLISION || state == AVAHI_CLIENT_S_REGISTERING)
            if (avahi->group != nullptr)
                avahi_entry_group_reset(avahi->group);
    }

    static void OnBrowse(AvahiServiceBrowser*, AvahiIfIndex interface, AvahiProtocol protocol,
                         AvahiBrowserEvent event, const char* name, const char* type, const char* domain,
                         AvahiLookupResultFlags, void* self) {
        auto* avahi = static_cast<Avahi*>(self);
        if (name == nullptr || type == nullptr || domain == nullptr)
            return;
        if (event == AVAHI_BROWSER_NEW) {
            avahi_service_resolver_new(avahi->client, interface, protocol, name, type, domain,
                                       AVAHI_PROTO_UNSPEC, static_cast<AvahiLookupFlags>(0),
                                       &Avahi::OnResolve, self);
        } else if (event == AVAHI_BROWSER_REMOVE) {
            bool erased = false;
            {
                std::lock_guard<std::mutex> guard(avahi->copiesLock);
                erased = avahi->copies.erase({interface, protocol, name}) > 0;
            }
            if (erased && avahi->changed)
                avahi->changed();
        }
    }

    static void OnResolve(AvahiServiceResolver* resolver, AvahiIfIndex interface, AvahiProtocol protocol,
                          AvahiResolverEvent event, const char* name, const char*, const char*, const char*,
                          const AvahiAddress* address, uint16_t port, AvahiStringList* txt,
                          AvahiLookupResultFlags, void* self) {
        auto* avahi = static_cast<Avahi*>(self);
        if (event == AVAHI_RESOLVER_FOUND && name != nullptr && address != nullptr) {
            char host[AVAHI_ADDRESS_STR_MAX] = {};
            avahi_address_snprint(host, sizeof host, address);
            std::vector<std::string> strings;
            for (AvahiStringList* entry = txt; entry != nullptr && strings.size() < kMaxTxtStrings;
                 entry = avahi_string_list_get_next(entry)) {
                const std::size_t size =
                    std::min<std::size_t>(avahi_string_list_get_size(entry), kMaxTxtBytes);
                strings.emplace_back(reinterpret_cast<const char*>(avahi_string_list_get_text(entry)), size);
            }
            std::optional<LanCopy> copy = LanCopyFromAnnouncement(name, host, port, strings);
            bool added = false;
            if (copy) {
                std::lock_guard<std::mutex> guard(avahi->copiesLock);
                const auto key = std::make_tuple(static_cast<int>(interface), static_cast<int>(protocol),
                                                 std::string(name));
                if (avahi->copies.size() < kMaxCopies || avahi->copies.count(key) > 0) {
                    avahi->copies[key] = std::move(*copy);
                    added = true;
                }
            }
            if (added && avahi->changed)
                avahi->changed();
        }
        avahi_service_resolver_free(resolver);
    }
};

LanAnnouncer::LanAnnouncer() : avahi_(std::make_unique<Avahi>()) {}

LanAnnouncer::~LanAnnouncer() {
    if (avahi_->poll != nullptr) {
        avahi_threaded_poll_stop(avahi_->poll);
        // Freeing the client frees its groups, browsers and resolvers, which withdraws the announcement.
        if (avahi_->client != nullptr)
            avahi_client_free(avahi_->client);
        avahi_threaded_poll_free(avahi_->poll);
    }
}

bool LanAnnouncer::Connect(std::string& problem) {
    if (avahi_->client != nullptr)
        return true;
    if (avahi_->poll == nullptr)
        avahi_->poll = avahi_threaded_poll_new();
    if (avahi_->poll == nullptr) {
        problem = "out of memory";
        return false;
    }
    int error = 0;
    AvahiClient* client =
        avahi_client_new(avahi_threaded_poll_get(avahi_->poll), static_cast<AvahiClientFlags>(0),
                         &Avahi::OnClient, avahi_.get(), &error);
    if (client == nullptr) {
        problem = std::string("the Avahi daemon cannot be reached (") + avahi_strerror(error) + ")";
        return false;
    }
    avahi_->client = client;
    if (avahi_threaded_poll_start(avahi_->poll) < 0) {
        problem = "Avahi's thread did not start";
        return false;
    }
    return true;
}

bool LanAnnouncer::Announce(const Announcement& announcement, std::string& problem) {
    if (!Connect(problem))
        return false;
    avahi_threaded_poll_lock(avahi_->poll);
    avahi_->announcement = announcement;
    avahi_->announced = true;
    avahi_->serviceName = announcement.name.empty() ? DefaultName() : announcement.name;
    avahi_->Register();
    avahi_threaded_poll_unlock(avahi_->poll);
    return true;
}

void LanAnnouncer::Withdraw() {
    if (avahi_->poll == nullptr)
        return;
    avahi_threaded_poll_lock(avahi_->poll);
    avahi_->announced = false;
    if (avahi_->group != nullptr)
        avahi_entry_group_reset(avahi_->group);
    avahi_threaded_poll_unlock(avahi_->poll);
}

bool LanAnnouncer::Browse(ChangeHandler changed, std::string& problem) {
    if (!Connect(problem))
        return false;
    avahi_threaded_poll_lock(avahi_->poll);
    avahi_->changed = std::move(changed);
    if (avahi_->browser == nullptr)
        avahi_->browser = avahi_service_browser_new(
            avahi_->client, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, LanCopy::kServiceType, nullptr,
            static_cast<AvahiLookupFlags>(0), &Avahi::OnBrowse, avahi_.get());
    const bool ok = avahi_->browser != nullptr;
    if (!ok)
        problem = std::string("Avahi cannot browse: ") + avahi_strerror(avahi_client_errno(avahi_->client));
    avahi_threaded_poll_unlock(avahi_->poll);
    return ok;
}

std::vector<LanCopy> LanAnnouncer::Copies() const {
    std::lock_guard<std::mutex> guard(avahi_->copiesLock);
    std::vector<LanCopy> copies;
    for (const auto& entry : avahi_->copies) {
        const LanCopy& copy = entry.second;
        // One line per copy and address, however many interfaces it was seen on.
        const bool seen = std::any_of(copies.begin(), copies.end(), [&copy](const LanCopy& c) {
            return c.name == copy.name && c.host == copy.host && c.port == copy.port;
        });
        if (!seen)
            copies.push_back(copy);
    }
    return copies;
}
