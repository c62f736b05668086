// What lists the copies of the program seen on the LAN, for the address book: Avahi's browser
// (LanAnnouncer), or a stand-in that tests script.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "reach/LanCopy.h"

class LanCopySource {
public:
    // Called on the source's own thread whenever the list of copies changes.
    using ChangeHandler = std::function<void()>;

    virtual ~LanCopySource() = default;
    // Starts listing the copies on the LAN; `changed` hears of each change. False, with the reason, when
    // nothing can be listed.
    virtual bool Browse(ChangeHandler changed, std::string& problem) = 0;
    virtual std::vector<LanCopy> Copies() const = 0;
};
