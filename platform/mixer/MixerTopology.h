// The lines and controls of one mixer device, as a backend describes them, and the lookups that every
// backend answers from that description alike: device caps, lines by index, a line's control by type,
// and the checks of a details request.
#pragma once

#include <string>
#include <vector>

#include "platform/mixer/Mixer.h"

struct TopologyLine {
    // Type, channels and names; the indexes, line id and counts are filled in by MixerTopology::Number.
    MixerLine line;
    std::vector<MixerControl> controls;
    std::vector<TopologyLine> sources;  // destinations only
};

class MixerTopology {
public:
    std::string name;
    std::vector<TopologyLine> destinations;

    // Gives every line its indexes, line id, connection and control counts. Call once the lines are all in.
    void Number();

    MMRESULT Caps(MixerCaps& caps) const;
    MMRESULT LineInfo(MixerLine& line, uint32_t flags) const;
    MMRESULT ControlByType(uint32_t lineId, uint32_t controlType, MixerControl& control) const;

    // The control with this id and the channel count of its line; null when there is none.
    const MixerControl* FindControl(uint32_t controlId, uint32_t* lineChannels = nullptr) const;

    // Checks a read or write request: a known control, cells given, one channel or the line's channels,
    // and the control's item count for a multiple-item control. On success `control` and `lineChannels`
    // describe the control.
    MMRESULT CheckDetails(const MixerControlDetails& details, const MixerControl*& control,
                          uint32_t& lineChannels) const;
    // Checks the values of a write: an unsigned control's values lie within its bounds.
    static MMRESULT CheckValues(const MixerControl& control, const MixerControlDetails& details);

private:
    const TopologyLine* FindLine(uint32_t lineId) const;
};

// Values per channel of a control: 1 for a uniform control, else its line's channels.
uint32_t StoredChannels(const MixerControl& control, uint32_t lineChannels);
// Values per channel: the item count of a multiple-item control, else 1.
uint32_t ItemsPerChannel(const MixerControl& control);
