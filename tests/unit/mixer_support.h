// What the mixer tests share: a simulated mixer installed as the process's backend, a sound card to put in
// it, and the diagnostic trace captured so that its texts can be checked.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/mixer/SimulatedMixer.h"

namespace mixer_test {

constexpr uint32_t kSpeakerVolume = 1;
constexpr uint32_t kSpeakerMute = 2;
constexpr uint32_t kRecordingVolume = 3;
constexpr uint32_t kMicrophoneVolume = 4;
constexpr uint32_t kLineInVolume = 5;

inline SimulatedMixerBackend::Control Volume(uint32_t id, std::vector<uint32_t> values,
                                             uint32_t maximum = 0xFFFF, uint32_t steps = 0xFF) {
    SimulatedMixerBackend::Control control;
    control.id = id;
    control.name = "Volume " + std::to_string(id);
    control.maximum = maximum;
    control.steps = steps;
    control.values = std::move(values);
    return control;
}

inline SimulatedMixerBackend::Control Mute(uint32_t id) {
    SimulatedMixerBackend::Control control;
    control.id = id;
    control.type = MIXERCONTROL_CONTROLTYPE_MUTE;
    control.flags = MIXERCONTROL_CONTROLF_UNIFORM;
    control.name = "Mute";
    control.maximum = 1;
    control.steps = 1;
    return control;
}

inline SimulatedMixerBackend::Line Line(uint32_t type, const char* name, uint32_t channels,
                                        std::vector<SimulatedMixerBackend::Control> controls,
                                        std::vector<SimulatedMixerBackend::Line> sources = {}) {
    SimulatedMixerBackend::Line line;
    line.componentType = type;
    line.name = name;
    line.channels = channels;
    line.controls = std::move(controls);
    line.sources = std::move(sources);
    return line;
}

// Stereo speakers (volume and mute); a stereo recording destination with a volume of its own, a mono
// microphone and a stereo line input.
inline std::vector<SimulatedMixerBackend::Line> SoundCard(std::vector<uint32_t> speakers = {0x4000, 0x8000},
                                                          std::vector<uint32_t> microphone = {0x2000}) {
    return {
        Line(MIXERLINE_COMPONENTTYPE_DST_SPEAKERS, "Speakers", 2,
             {Volume(kSpeakerVolume, std::move(speakers)), Mute(kSpeakerMute)}),
        Line(MIXERLINE_COMPONENTTYPE_DST_WAVEIN, "Recording", 2, {Volume(kRecordingVolume, {0x1000, 0x1000})},
             {Line(MIXERLINE_COMPONENTTYPE_SRC_MICROPHONE, "Microphone", 1,
                   {Volume(kMicrophoneVolume, std::move(microphone))}),
              Line(MIXERLINE_COMPONENTTYPE_SRC_LINE, "Line In", 2, {Volume(kLineInVolume, {0, 0})})}),
    };
}

// Installs a fresh simulated mixer for each test and captures what the trace writes.
class MixerTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto backend = std::make_unique<SimulatedMixerBackend>();
        mixer = backend.get();
        SetMixerBackend(std::move(backend));
        setenv("QPARLIN_TRACE", "1", 1);
        ::testing::internal::CaptureStderr();
    }
    void TearDown() override {
        if (!traceTaken_)
            ::testing::internal::GetCapturedStderr();
        unsetenv("QPARLIN_TRACE");
    }

    // What the trace wrote so far; ends the capture.
    std::string Trace() {
        traceTaken_ = true;
        return ::testing::internal::GetCapturedStderr();
    }

    SimulatedMixerBackend* mixer = nullptr;

private:
    bool traceTaken_ = false;
};

}  // namespace mixer_test
