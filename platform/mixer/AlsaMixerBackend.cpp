// The ALSA backend: one mixer device on an ALSA control device. Its playback master volume is the
// speakers destination; its capture volume is the recording destination, whose one source, the
// microphone, carries the volume of a microphone element where the card has one, else the capture volume
// itself. An open mixer has one simple-mixer handle, used under one lock. A thread per open mixer that
// has a target waits for the handle's descriptors without the lock and takes the handle's events with it;
// an element's callback posts the change notices after the handle has read the new value, so a notice's
// receiver reads that value. (With two handles the receiver read one that had not yet heard of the
// change: PulseAudio's ALSA plugin tells each connection on its own time.)
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <exception>
#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "platform/mixer/AlsaElements.h"
#include "platform/mixer/Mixer.h"
#include "platform/mixer/MixerTopology.h"

namespace {

// One control of the mixer and the volume it stands for.
struct MappedControl {
    uint32_t controlId = 0;
    AlsaVolume volume;
};

struct Mapping {
    MixerTopology topology;
    std::vector<MappedControl> controls;

    const MappedControl* Find(uint32_t controlId) const {
        for (const MappedControl& mapped : controls) {
            if (mapped.controlId == controlId)
                return &mapped;
        }
        return nullptr;
    }
};

TopologyLine MakeLine(uint32_t componentType, snd_mixer_elem_t* element, AlsaDirection direction) {
    TopologyLine line;
    line.line.componentType = componentType;
    line.line.channels = VolumeChannels(element, direction);
    line.line.name = snd_mixer_selem_get_name(element);
    line.line.shortName = line.line.name.substr(0, 15);
    return line;
}

// Gives `line` a volume control on `element`, unless its range cannot be one.
void AddVolume(Mapping& mapping, TopologyLine& line, snd_mixer_elem_t* element, AlsaDirection direction) {
    MappedControl mapped;
    if (!DescribeVolume(element, direction, mapped.volume))
        return;
    mapped.controlId = static_cast<uint32_t>(mapping.controls.size()) + 1;
    MixerControl control;
    control.controlId = mapped.controlId;
    control.controlType = MIXERCONTROL_CONTROLTYPE_VOLUME;
    if (line.line.channels > 1 && VolumeJoined(element, direction))
        control.flags = MIXERCONTROL_CONTROLF_UNIFORM;
    control.name = mapped.volume.element + " Volume";
    control.shortName = control.name.substr(0, 15);
    control.maximum = static_cast<uint32_t>(mapped.volume.maximum - mapped.volume.minimum);
    // Every ALSA value is a setting of its own.
    control.steps = control.maximum;
    line.controls.push_back(control);
    mapping.controls.push_back(mapped);
}

Mapping Describe(snd_mixer_t* mixer, const std::string& device) {
    Mapping mapping;
    mapping.topology.name = "ALSA " + device;
    snd_mixer_elem_t* master = FindVolumeElement(mixer, "Master", AlsaDirection::kPlayback);
    if (master == nullptr)
        master = FirstVolumeElement(mixer, "", AlsaDirection::kPlayback);
    if (master != nullptr) {
        TopologyLine speakers =
            MakeLine(MIXERLINE_COMPONENTTYPE_DST_SPEAKERS, master, AlsaDirection::kPlayback);
        AddVolume(mapping, speakers, master, AlsaDirection::kPlayback);
        mapping.topology.destinations.push_back(std::move(speakers));
    }
    snd_mixer_elem_t* capture = FindVolumeElement(mixer, "Capture", AlsaDirection::kCapture);
    if (capture == nullptr)
        capture = FirstVolumeElement(mixer, "", AlsaDirection::kCapture);
    if (capture != nullptr) {
        TopologyLine recording =
            MakeLine(MIXERLINE_COMPONENTTYPE_DST_WAVEIN, capture, AlsaDirection::kCapture);
        AddVolume(mapping, recording, capture, AlsaDirection::kCapture);
        snd_mixer_elem_t* mic = FirstVolumeElement(mixer, "Mic", AlsaDirection::kCapture, capture);
        if (mic == nullptr)
            mic = capture;
        TopologyLine microphone =
            MakeLine(MIXERLINE_COMPONENTTYPE_SRC_MICROPHONE, mic, AlsaDirection::kCapture);
        AddVolume(mapping, microphone, mic, AlsaDirection::kCapture);
        recording.sources.push_back(std::move(microphone));
        mapping.topology.destinations.push_back(std::move(recording));
    }
    mapping.topology.Number();
    return mapping;
}

class AlsaMixer final : public Mixer {
public:
    // `wakeFd` is -1 when there is no target, and then no thread polls.
    AlsaMixer(AlsaMixerHandle handle, Mapping mapping, MessageTarget* target, int wakeFd)
        : handle_(std::move(handle)), mapping_(std::move(mapping)), target_(target), wakeFd_(wakeFd) {
        if (target_ == nullptr)
            return;
        WatchElements();
        thread_ = std::thread(&AlsaMixer::Poll, this);
    }

    ~AlsaMixer() override {
        if (thread_.joinable()) {
            const uint64_t one = 1;
            while (write(wakeFd_, &one, sizeof one) < 0 && errno == EINTR) {
            }
            thread_.join();
        }
        if (wakeFd_ >= 0)
            close(wakeFd_);
    }

    MMRESULT GetDevCaps(MixerCaps& caps) override { return mapping_.topology.Caps(caps); }

    MMRESULT GetLineInfo(MixerLine& line, uint32_t flags) override {
        return mapping_.topology.LineInfo(line, flags);
    }

    MMRESULT GetLineControlByType(uint32_t lineId, uint32_t controlType, MixerControl& control) override {
        return mapping_.topology.ControlByType(lineId, controlType, control);
    }

    MMRESULT GetControlDetails(MixerControlDetails& details) override {
        const MixerControl* control = nullptr;
        uint32_t lineChannels = 0;
        const MMRESULT checked = mapping_.topology.CheckDetails(details, control, lineChannels);
        if (checked != MMSYSERR_NOERROR)
            return checked;
        const AlsaVolume& volume = mapping_.Find(control->controlId)->volume;
        std::lock_guard<std::mutex> guard(lock_);
        // The handle keeps the values it last heard of: let it hear what changed since.
        if (snd_mixer_handle_events(handle_.get()) < 0)
            return MMSYSERR_ERROR;
        snd_mixer_elem_t* element = FindElement(handle_.get(), volume);
        if (element == nullptr)
            return MMSYSERR_NODRIVER;
        return ReadVolume(element, volume, details.channels, details.cells) ? MMSYSERR_NOERROR
                                                                            : MMSYSERR_ERROR;
    }

    MMRESULT SetControlDetails(const MixerControlDetails& details) override {
        const MixerControl* control = nullptr;
        uint32_t lineChannels = 0;
        MMRESULT checked = mapping_.topology.CheckDetails(details, control, lineChannels);
        if (checked == MMSYSERR_NOERROR)
            checked = MixerTopology::CheckValues(*control, details);
        if (checked != MMSYSERR_NOERROR)
            return checked;
        const AlsaVolume& volume = mapping_.Find(control->controlId)->volume;
        std::lock_guard<std::mutex> guard(lock_);
        snd_mixer_elem_t* element = FindElement(handle_.get(), volume);
        if (element == nullptr)
            return MMSYSERR_NODRIVER;
        if (!WriteVolume(element, volume, details.channels, details.cells))
            return MMSYSERR_ERROR;
        // Every open mixer hears of a change, this one too; a handle need not hear of its own writes.
        if (auto* watch = static_cast<Watch*>(snd_mixer_elem_get_callback_private(element)))
            PostChange(*watch);
        return MMSYSERR_NOERROR;
    }

private:
    // The controls whose values live on one element of the handle.
    struct Watch {
        AlsaMixer* mixer = nullptr;
        std::vector<uint32_t> controlIds;
    };

    // Before the thread starts: hooks a callback to every element a control lives on.
    void WatchElements() {
        std::map<std::pair<std::string, unsigned>, std::vector<uint32_t>> byElement;
        for (const MappedControl& mapped : mapping_.controls) {
            byElement[{mapped.volume.element, mapped.volume.index}].push_back(mapped.controlId);
        }
        watches_.reserve(byElement.size());  // the callbacks keep pointers into it
        for (auto& [key, ids] : byElement) {
            for (snd_mixer_elem_t* e = snd_mixer_first_elem(handle_.get()); e != nullptr;
                 e = snd_mixer_elem_next(e)) {
                if (snd_mixer_selem_get_name(e) != key.first || snd_mixer_selem_get_index(e) != key.second)
                    continue;
                watches_.push_back({this, std::move(ids)});
                snd_mixer_elem_set_callback_private(e, &watches_.back());
                snd_mixer_elem_set_callback(e, &AlsaMixer::OnElementEvent);
                break;
            }
        }
    }

    void PostChange(const Watch& watch) const {
        for (const uint32_t id : watch.controlIds) {
            target_->Post(MM_MIXM_CONTROL_CHANGE, MixerHandleParam(watch.mixer), static_cast<LPARAM>(id));
        }
    }

    // Called under the lock, by whichever thread lets the handle take its events.
    static int OnElementEvent(snd_mixer_elem_t* element, unsigned int mask) {
        auto* watch = static_cast<Watch*>(snd_mixer_elem_get_callback_private(element));
        if (watch == nullptr)
            return 0;
        if (mask == SND_CTL_EVENT_MASK_REMOVE) {
            snd_mixer_elem_set_callback(element, nullptr);
            snd_mixer_elem_set_callback_private(element, nullptr);
            return 0;
        }
        if ((mask & SND_CTL_EVENT_MASK_VALUE) == 0)
            return 0;
        watch->mixer->PostChange(*watch);
        return 0;
    }

    // The polling thread: waits for the handle's descriptors or the wake-up, lets the handle take its
    // events (the callbacks post), and ends at the wake-up or when the device goes away. Only the wait
    // is outside the lock; a call that took the events first leaves the wait with nothing to take.
    void Poll() {
        std::vector<pollfd> fds;
        for (;;) {
            int filled = 0;
            {
                std::lock_guard<std::mutex> guard(lock_);
                const int count = snd_mixer_poll_descriptors_count(handle_.get());
                if (count < 0)
                    return;
                fds.assign(static_cast<size_t>(count) + 1, pollfd{});
                filled = snd_mixer_poll_descriptors(handle_.get(), fds.data(), static_cast<unsigned>(count));
                if (filled < 0)
                    return;
            }
            fds[static_cast<size_t>(filled)] = pollfd{wakeFd_, POLLIN, 0};
            if (poll(fds.data(), static_cast<nfds_t>(filled) + 1, -1) < 0) {
                if (errno == EINTR)
                    continue;
                return;
            }
            if (fds[static_cast<size_t>(filled)].revents != 0)
                return;
            std::lock_guard<std::mutex> guard(lock_);
            unsigned short revents = 0;
            if (snd_mixer_poll_descriptors_revents(handle_.get(), fds.data(), static_cast<unsigned>(filled),
                                                   &revents) < 0) {
                return;
            }
            if ((revents & (POLLERR | POLLHUP | POLLNVAL)) != 0)
                return;
            if (snd_mixer_handle_events(handle_.get()) < 0)
                return;
        }
    }

    std::mutex lock_;  // serialises every use of handle_
    AlsaMixerHandle handle_;
    const Mapping mapping_;
    MessageTarget* const target_;
    std::vector<Watch> watches_;  // fixed before the thread starts
    const int wakeFd_;
    std::thread thread_;
};

void IgnoreAlsaError(const char*, int, const char*, int, const char*, ...) {}

class AlsaMixerBackend final : public MixerBackend {
public:
    explicit AlsaMixerBackend(std::string device) : device_(std::move(device)) {}

    std::string Name() const override { return "alsa"; }

    uint32_t DeviceCount() override { return OpenAlsaMixer(device_) != nullptr ? 1 : 0; }

    MMRESULT Open(std::unique_ptr<Mixer>& mixer, uint32_t deviceId, MessageTarget* target) override {
        if (deviceId != 0)
            return MMSYSERR_BADDEVICEID;
        AlsaMixerHandle handle = OpenAlsaMixer(device_);
        if (handle == nullptr)
            return MMSYSERR_NODRIVER;
        Mapping mapping = Describe(handle.get(), device_);
        int wakeFd = -1;
        if (target != nullptr) {
            wakeFd = eventfd(0, EFD_CLOEXEC);
            if (wakeFd < 0)
                return MMSYSERR_NOMEM;
        }
        try {
            mixer = std::make_unique<AlsaMixer>(std::move(handle), std::move(mapping), target, wakeFd);
        } catch (const std::exception&) {
            // No mixer was made (its thread could not start), so the descriptor is still ours.
            if (wakeFd >= 0)
                close(wakeFd);
            return MMSYSERR_NOMEM;
        }
        return MMSYSERR_NOERROR;
    }

private:
    const std::string device_;
};

}  // namespace

std::unique_ptr<MixerBackend> MakeAlsaMixerBackend(const std::string& device) {
    static std::once_flag once;
    std::call_once(once, [] { snd_lib_error_set_handler(IgnoreAlsaError); });
    return std::make_unique<AlsaMixerBackend>(device);
}
