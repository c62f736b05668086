// The simulated mixer: devices, lines, controls and values held in memory and scripted by whoever makes
// the backend (tests, mostly), for the cases no real card shows. It behaves as a mixer does: a write
// through an open mixer, or a change made "elsewhere" with ChangeValues, is stored and noticed by every
// open mixer of that device, the writer included.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/mixer/Mixer.h"

class SimulatedMixerBackend final : public MixerBackend {
public:
    struct Control {
        uint32_t id = 0;  // unique within the device
        uint32_t type = MIXERCONTROL_CONTROLTYPE_VOLUME;
        uint32_t flags = 0;
        uint32_t multipleItems = 0;
        std::string name;
        uint32_t minimum = 0;
        uint32_t maximum = 0xFFFF;
        uint32_t steps = 0xFFFF;
        // Initial values, channel after channel (items within a channel); missing ones are the minimum.
        std::vector<uint32_t> values;
    };
    struct Line {
        uint32_t componentType = 0;
        std::string name;
        uint32_t channels = 2;
        std::vector<Control> controls;
        std::vector<Line> sources;  // destinations only
    };

    SimulatedMixerBackend();
    ~SimulatedMixerBackend() override;

    // Adds the next device (numbered from 0 in the order added).
    void AddDevice(const std::string& name, const std::vector<Line>& destinations);
    // Sets a control's stored values as another program would, and notices every open mixer of the device.
    void ChangeValues(uint32_t device, uint32_t controlId, const std::vector<uint32_t>& values);
    // The stored values of a control, one per stored cell.
    std::vector<uint32_t> Values(uint32_t device, uint32_t controlId) const;
    // Mixers open now, on all devices.
    size_t OpenCount() const;
    // While set, every read and write of values fails with MMSYSERR_ERROR.
    void FailDetails(bool fail);

    std::string Name() const override { return "simulated"; }
    uint32_t DeviceCount() override;
    MMRESULT Open(std::unique_ptr<Mixer>& mixer, uint32_t deviceId, MessageTarget* target) override;

    struct State;

private:
    std::shared_ptr<State> state_;
};
