// Lookups over a mixer's description, shared by the backends.
#include "platform/mixer/MixerTopology.h"

namespace {

// Line ids: the destination's index in the low word; 0xFFFF in the high word for the destination itself,
// the source's index for a source.
constexpr uint32_t kDestinationMark = 0xFFFF;

uint32_t LineId(uint32_t destination, uint32_t highWord) {
    return (highWord << 16) | destination;
}

}  // namespace

uint32_t StoredChannels(const MixerControl& control, uint32_t lineChannels) {
    return (control.flags & MIXERCONTROL_CONTROLF_UNIFORM) != 0 || lineChannels == 0 ? 1 : lineChannels;
}

uint32_t ItemsPerChannel(const MixerControl& control) {
    return (control.flags & MIXERCONTROL_CONTROLF_MULTIPLE) != 0 ? control.multipleItems : 1;
}

void MixerTopology::Number() {
    for (uint32_t d = 0; d < destinations.size(); ++d) {
        TopologyLine& destination = destinations[d];
        destination.line.destination = d;
        destination.line.source = 0;
        destination.line.lineId = LineId(d, kDestinationMark);
        destination.line.connections = static_cast<uint32_t>(destination.sources.size());
        destination.line.controls = static_cast<uint32_t>(destination.controls.size());
        for (uint32_t s = 0; s < destination.sources.size(); ++s) {
            TopologyLine& source = destination.sources[s];
            source.line.destination = d;
            source.line.source = s;
            source.line.lineId = LineId(d, s);
            source.line.connections = 0;
            source.line.controls = static_cast<uint32_t>(source.controls.size());
        }
    }
}

MMRESULT MixerTopology::Caps(MixerCaps& caps) const {
    caps.name = name;
    caps.destinations = static_cast<uint32_t>(destinations.size());
    return MMSYSERR_NOERROR;
}

MMRESULT MixerTopology::LineInfo(MixerLine& line, uint32_t flags) const {
    if (flags != MIXER_GETLINEINFOF_DESTINATION && flags != MIXER_GETLINEINFOF_SOURCE)
        return MMSYSERR_INVALFLAG;
    if (line.destination >= destinations.size())
        return MIXERR_INVALLINE;
    const TopologyLine& destination = destinations[line.destination];
    if (flags == MIXER_GETLINEINFOF_DESTINATION) {
        line = destination.line;
        return MMSYSERR_NOERROR;
    }
    if (line.source >= destination.sources.size())
        return MIXERR_INVALLINE;
    line = destination.sources[line.source].line;
    return MMSYSERR_NOERROR;
}

const TopologyLine* MixerTopology::FindLine(uint32_t lineId) const {
    const uint32_t d = lineId & 0xFFFF;
    const uint32_t high = lineId >> 16;
    if (d >= destinations.size())
        return nullptr;
    if (high == kDestinationMark)
        return &destinations[d];
    if (high >= destinations[d].sources.size())
        return nullptr;
    return &destinations[d].sources[high];
}

MMRESULT MixerTopology::ControlByType(uint32_t lineId, uint32_t controlType, MixerControl& control) const {
    const TopologyLine* line = FindLine(lineId);
    if (line == nullptr)
        return MIXERR_INVALLINE;
    for (const MixerControl& candidate : line->controls) {
        if (candidate.controlType == controlType) {
            control = candidate;
            return MMSYSERR_NOERROR;
        }
    }
    return MIXERR_INVALCONTROL;
}

const MixerControl* MixerTopology::FindControl(uint32_t controlId, uint32_t* lineChannels) const {
    const auto search = [&](const TopologyLine& line) -> const MixerControl* {
        for (const MixerControl& control : line.controls) {
            if (control.controlId != controlId)
                continue;
            if (lineChannels != nullptr)
                *lineChannels = line.line.channels;
            return &control;
        }
        return nullptr;
    };
    for (const TopologyLine& destination : destinations) {
        if (const MixerControl* found = search(destination))
            return found;
        for (const TopologyLine& source : destination.sources) {
            if (const MixerControl* found = search(source))
                return found;
        }
    }
    return nullptr;
}

MMRESULT MixerTopology::CheckDetails(const MixerControlDetails& details, const MixerControl*& control,
                                     uint32_t& lineChannels) const {
    control = FindControl(details.controlId, &lineChannels);
    if (control == nullptr)
        return MIXERR_INVALCONTROL;
    if (details.cells == nullptr)
        return MMSYSERR_INVALPARAM;
    if (details.channels != 1 && details.channels != lineChannels)
        return MMSYSERR_INVALPARAM;
    if ((control->flags & MIXERCONTROL_CONTROLF_MULTIPLE) != 0 &&
        details.multipleItems != control->multipleItems) {
        return MMSYSERR_INVALPARAM;
    }
    return MMSYSERR_NOERROR;
}

MMRESULT MixerTopology::CheckValues(const MixerControl& control, const MixerControlDetails& details) {
    if ((control.controlType & MIXERCONTROL_CT_UNITS_MASK) != MIXERCONTROL_CT_UNITS_UNSIGNED) {
        return MMSYSERR_NOERROR;
    }
    const uint32_t cells = details.channels * ItemsPerChannel(control);
    for (uint32_t i = 0; i < cells; ++i) {
        if (details.cells[i] < control.minimum || details.cells[i] > control.maximum)
            return MIXERR_INVALVALUE;
    }
    return MMSYSERR_NOERROR;
}
