// The simulated mixer's devices and the mixers opened on them.
#include "platform/mixer/SimulatedMixer.h"

#include <algorithm>
#include <map>
#include <mutex>

#include "platform/mixer/MixerTopology.h"

namespace {

struct SimulatedDevice {
    MixerTopology topology;
    // Stored cells per control id: channel after channel, items within a channel.
    std::map<uint32_t, std::vector<uint32_t>> values;
};

}  // namespace

struct SimulatedMixerBackend::State {
    mutable std::mutex lock;
    std::vector<SimulatedDevice> devices;
    // Open mixers and their targets. Notices are posted under the lock, so none reaches a closed mixer's
    // target after its destructor has returned.
    struct OpenMixer {
        const Mixer* mixer;
        uint32_t device;
        MessageTarget* target;
    };
    std::vector<OpenMixer> open;
    bool failDetails = false;

    void Notice(uint32_t device, uint32_t controlId);
};

namespace {

using State = SimulatedMixerBackend::State;

class SimulatedMixer final : public Mixer {
public:
    SimulatedMixer(std::shared_ptr<SimulatedMixerBackend::State> state, uint32_t device,
                   MessageTarget* target)
        : state_(std::move(state)), device_(device) {
        std::lock_guard<std::mutex> guard(state_->lock);
        state_->open.push_back({this, device_, target});
    }

    ~SimulatedMixer() override {
        std::lock_guard<std::mutex> guard(state_->lock);
        std::erase_if(state_->open, [this](const State::OpenMixer& entry) { return entry.mixer == this; });
    }

    MMRESULT GetDevCaps(MixerCaps& caps) override {
        std::lock_guard<std::mutex> guard(state_->lock);
        return Device().topology.Caps(caps);
    }

    MMRESULT GetLineInfo(MixerLine& line, uint32_t flags) override {
        std::lock_guard<std::mutex> guard(state_->lock);
        return Device().topology.LineInfo(line, flags);
    }

    MMRESULT GetLineControlByType(uint32_t lineId, uint32_t controlType, MixerControl& control) override {
        std::lock_guard<std::mutex> guard(state_->lock);
        return Device().topology.ControlByType(lineId, controlType, control);
    }

    MMRESULT GetControlDetails(MixerControlDetails& details) override {
        std::lock_guard<std::mutex> guard(state_->lock);
        const MixerControl* control = nullptr;
        uint32_t lineChannels = 0;
        const MMRESULT checked = Device().topology.CheckDetails(details, control, lineChannels);
        if (checked != MMSYSERR_NOERROR)
            return checked;
        if (state_->failDetails)
            return MMSYSERR_ERROR;
        const std::vector<uint32_t>& stored = Device().values.at(control->controlId);
        const uint32_t storedChannels = StoredChannels(*control, lineChannels);
        const uint32_t items = ItemsPerChannel(*control);
        // A request for fewer channels than are stored gets the first ones; for more, the last repeated.
        for (uint32_t channel = 0; channel < details.channels; ++channel) {
            const uint32_t from = std::min(channel, storedChannels - 1);
            for (uint32_t item = 0; item < items; ++item) {
                details.cells[channel * items + item] = stored[from * items + item];
            }
        }
        return MMSYSERR_NOERROR;
    }

    MMRESULT SetControlDetails(const MixerControlDetails& details) override {
        std::lock_guard<std::mutex> guard(state_->lock);
        const MixerControl* control = nullptr;
        uint32_t lineChannels = 0;
        MMRESULT checked = Device().topology.CheckDetails(details, control, lineChannels);
        if (checked == MMSYSERR_NOERROR)
            checked = MixerTopology::CheckValues(*control, details);
        if (checked != MMSYSERR_NOERROR)
            return checked;
        if (state_->failDetails)
            return MMSYSERR_ERROR;
        std::vector<uint32_t>& stored = Device().values.at(control->controlId);
        const uint32_t storedChannels = StoredChannels(*control, lineChannels);
        const uint32_t items = ItemsPerChannel(*control);
        // One channel given sets them all.
        for (uint32_t channel = 0; channel < storedChannels; ++channel) {
            const uint32_t from = std::min(channel, details.channels - 1);
            for (uint32_t item = 0; item < items; ++item) {
                stored[channel * items + item] = details.cells[from * items + item];
            }
        }
        state_->Notice(device_, control->controlId);
        return MMSYSERR_NOERROR;
    }

private:
    // State lock held.
    SimulatedDevice& Device() { return state_->devices[device_]; }

    std::shared_ptr<SimulatedMixerBackend::State> state_;
    uint32_t device_;
};

TopologyLine Convert(const SimulatedMixerBackend::Line& line, SimulatedDevice& device) {
    TopologyLine converted;
    converted.line.componentType = line.componentType;
    converted.line.channels = line.channels;
    converted.line.name = line.name;
    converted.line.shortName = line.name.substr(0, 15);
    for (const SimulatedMixerBackend::Control& control : line.controls) {
        MixerControl described;
        described.controlId = control.id;
        described.controlType = control.type;
        described.flags = control.flags;
        described.multipleItems = control.multipleItems;
        described.name = control.name;
        described.shortName = control.name.substr(0, 15);
        described.minimum = control.minimum;
        described.maximum = control.maximum;
        described.steps = control.steps;
        converted.controls.push_back(described);
        std::vector<uint32_t> values(StoredChannels(described, line.channels) * ItemsPerChannel(described),
                                     control.minimum);
        std::copy_n(control.values.begin(), std::min(values.size(), control.values.size()), values.begin());
        device.values[control.id] = std::move(values);
    }
    for (const SimulatedMixerBackend::Line& source : line.sources) {
        converted.sources.push_back(Convert(source, device));
    }
    return converted;
}

}  // namespace

void SimulatedMixerBackend::State::Notice(uint32_t device, uint32_t controlId) {
    for (const OpenMixer& entry : open) {
        if (entry.device == device && entry.target != nullptr) {
            entry.target->Post(MM_MIXM_CONTROL_CHANGE, MixerHandleParam(entry.mixer),
                               static_cast<LPARAM>(controlId));
        }
    }
}

SimulatedMixerBackend::SimulatedMixerBackend() : state_(std::make_shared<State>()) {}

SimulatedMixerBackend::~SimulatedMixerBackend() = default;

void SimulatedMixerBackend::AddDevice(const std::string& name, const std::vector<Line>& destinations) {
    SimulatedDevice device;
    device.topology.name = name;
    for (const Line& destination : destinations) {
        device.topology.destinations.push_back(Convert(destination, device));
    }
    device.topology.Number();
    std::lock_guard<std::mutex> guard(state_->lock);
    state_->devices.push_back(std::move(device));
}

void SimulatedMixerBackend::ChangeValues(uint32_t device, uint32_t controlId,
                                         const std::vector<uint32_t>& values) {
    std::lock_guard<std::mutex> guard(state_->lock);
    std::vector<uint32_t>& stored = state_->devices.at(device).values.at(controlId);
    std::copy_n(values.begin(), std::min(values.size(), stored.size()), stored.begin());
    state_->Notice(device, controlId);
}

std::vector<uint32_t> SimulatedMixerBackend::Values(uint32_t device, uint32_t controlId) const {
    std::lock_guard<std::mutex> guard(state_->lock);
    return state_->devices.at(device).values.at(controlId);
}

size_t SimulatedMixerBackend::OpenCount() const {
    std::lock_guard<std::mutex> guard(state_->lock);
    return state_->open.size();
}

void SimulatedMixerBackend::FailDetails(bool fail) {
    std::lock_guard<std::mutex> guard(state_->lock);
    state_->failDetails = fail;
}

uint32_t SimulatedMixerBackend::DeviceCount() {
    std::lock_guard<std::mutex> guard(state_->lock);
    return static_cast<uint32_t>(state_->devices.size());
}

MMRESULT SimulatedMixerBackend::Open(std::unique_ptr<Mixer>& mixer, uint32_t deviceId,
                                     MessageTarget* target) {
    {
        std::lock_guard<std::mutex> guard(state_->lock);
        if (deviceId >= state_->devices.size())
            return MMSYSERR_BADDEVICEID;
    }
    mixer = std::make_unique<SimulatedMixer>(state_, deviceId, target);
    return MMSYSERR_NOERROR;
}
