// Announces this copy on the LAN as a DNS-SD service ("_qparlin._udp", its port, codec and whether it
// takes only private calls in TXT) through the Avahi daemon, and browses for the others. Avahi's client
// runs on a thread of its own; nothing here waits for the network.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "reach/LanCopy.h"
#include "reach/LanCopySource.h"

class LanAnnouncer final : public LanCopySource {
public:
    struct Announcement {
        std::string name;  // empty: "Q-Parlin on <host name>"
        int port = 0;
        std::string codec;
        bool privateCalls = false;
    };
    LanAnnouncer();
    ~LanAnnouncer() override;
    LanAnnouncer(const LanAnnouncer&) = delete;
    LanAnnouncer& operator=(const LanAnnouncer&) = delete;

    // Announces (or announces again, changed) this copy. False, with the reason, when the Avahi daemon
    // cannot be reached.
    bool Announce(const Announcement& announcement, std::string& problem);
    // Takes the announcement back.
    void Withdraw();
    // Starts listing the copies on the LAN; `changed` hears of each change, on Avahi's thread.
    bool Browse(ChangeHandler changed, std::string& problem) override;
    std::vector<LanCopy> Copies() const override;

    struct Avahi;  // Avahi's objects and their callbacks

private:
    bool Connect(std::string& problem);

    std::unique_ptr<Avahi> avahi_;
};
