// The ALSA mixer backend against a private PulseAudio daemon (scripts/pulse-server start, with its
// environment): the sink's and the source's volumes as the speaker and microphone controls, faders that
// set what pactl then reports, and volumes set with pactl that reach the faders as change notices.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "fake_fader.h"
#include "mixer/CMixerBase.h"
#include "platform/mixer/Mixer.h"
#include "shell_output.h"

namespace {

using Clock = std::chrono::steady_clock;

// PulseAudio's full volume, and the ALSA plugin's range.
constexpr int kFull = 65536;

// The number after `label` in pactl's output; -1 when there is none.
long NumberAfter(const std::string& output, const char* label) {
    const size_t at = output.find(label);
    if (at == std::string::npos)
        return -1;
    return std::strtol(output.c_str() + at + std::strlen(label), nullptr, 10);
}

// Left and right volume as `pactl get-sink-volume` or `get-source-volume` prints them; -1 when unreadable.
std::pair<long, long> PactlVolume(const char* what, const char* name) {
    const std::string output = Shell(std::string("pactl get-") + what + "-volume " + name);
    const std::pair<long, long> volume{NumberAfter(output, "front-left: "),
                                       NumberAfter(output, "front-right: ")};
    if (volume.first < 0 || volume.second < 0)
        ADD_FAILURE() << "pactl said: " << output;
    return volume;
}

class PulseMixerTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetMixerBackend(MakeAlsaMixerBackend());
        ASSERT_EQ(CurrentMixerBackend().DeviceCount(), 1u) << "is the private PulseAudio daemon running?";
    }
    // Other tests play through the sink and record its monitor at full volume.
    void TearDown() override {
        Shell("pactl set-sink-volume qp_sink 100%");
        Shell("pactl set-source-volume qp_sink.monitor 100%");
    }

    static void DragTo(FakeFader& fader, int shown) { fader.Drag(fader.maximum - shown); }

    // Lets notices arrive for up to a second, until the fader shows `shown`.
    static bool WaitUntilShown(FakeFader& fader, int shown) {
        // A notice comes within a few hundred milliseconds; the margin is for a loaded machine.
        const auto deadline = Clock::now() + std::chrono::seconds(3);
        while (fader.Shown() != shown) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0)
                return false;
            fader.Dispatch(static_cast<int>(left.count()));
        }
        return true;
    }
};

TEST_F(PulseMixerTest, SinkIsTheSpeakersAndSourceTheMicrophone) {
    CMixerBase speakers;
    ASSERT_TRUE(speakers.Init(MIXERLINE_COMPONENTTYPE_DST_SPEAKERS, NO_SOURCE_LINE,
                              MIXERCONTROL_CONTROLTYPE_VOLUME, nullptr));
    EXPECT_EQ(speakers.GetLineName(), "Master");
    EXPECT_EQ(speakers.GetDetails().channels, 2u);
    EXPECT_EQ(speakers.GetControl().minimum, 0u);
    EXPECT_EQ(speakers.GetControl().maximum, static_cast<uint32_t>(kFull));
    EXPECT_EQ(speakers.GetControl().steps, static_cast<uint32_t>(kFull));
    ASSERT_TRUE(speakers.GetMXDetails());
    EXPECT_EQ(speakers.GetValues()[0], static_cast<uint32_t>(kFull));

    CMixerBase microphone;
    ASSERT_TRUE(microphone.Init(MIXERLINE_COMPONENTTYPE_DST_WAVEIN, MIXERLINE_COMPONENTTYPE_SRC_MICROPHONE,
                                MIXERCONTROL_CONTROLTYPE_VOLUME, nullptr));
    EXPECT_EQ(microphone.GetDestinationName(), "Capture");
    EXPECT_EQ(microphone.GetDetails().channels, 2u);
}

TEST_F(PulseMixerTest, SpeakerFaderSetsTheSinkVolume) {
    FakeFader fader;
    ASSERT_TRUE(fader.Init(MIXERLINE_COMPONENTTYPE_DST_SPEAKERS, NO_SOURCE_LINE,
                           MIXERCONTROL_CONTROLTYPE_VOLUME, CMixerFaderLogic::MAIN));
    EXPECT_TRUE(fader.enabled);
    EXPECT_EQ(fader.Shown(), kFull);
    DragTo(fader, kFull / 4);
    EXPECT_EQ(PactlVolume("sink", "qp_sink"), std::make_pair(16384L, 16384L));

    // Channels apart, through the buffer; the fader then keeps their ratio.
    CMixerBase speakers;
    ASSERT_TRUE(speakers.Init(MIXERLINE_COMPONENTTYPE_DST_SPEAKERS, NO_SOURCE_LINE,
                              MIXERCONTROL_CONTROLTYPE_VOLUME, nullptr));
    speakers.GetValues()[0] = 0x4000;
    speakers.GetValues()[1] = 0x8000;
    ASSERT_TRUE(speakers.SetMXDetails());
    EXPECT_EQ(PactlVolume("sink", "qp_sink"), std::make_pair(16384L, 32768L));
    ASSERT_TRUE(WaitUntilShown(fader, 0x8000));
    DragTo(fader, kFull);
    EXPECT_EQ(PactlVolume("sink", "qp_sink"), std::make_pair(32768L, 65536L));
}

TEST_F(PulseMixerTest, PactlMovesTheSpeakerFader) {
    FakeFader fader;
    ASSERT_TRUE(fader.Init(MIXERLINE_COMPONENTTYPE_DST_SPEAKERS, NO_SOURCE_LINE,
                           MIXERCONTROL_CONTROLTYPE_VOLUME, CMixerFaderLogic::MAIN));
    Shell("pactl set-sink-volume qp_sink 50%");
    EXPECT_TRUE(WaitUntilShown(fader, kFull / 2)) << "shows " << fader.Shown();
    Shell("pactl set-sink-volume qp_sink 20% 40%");
    EXPECT_TRUE(WaitUntilShown(fader, 26214)) << "shows " << fader.Shown();
    EXPECT_FLOAT_EQ(fader.GetBalance(), 0.5f);
}

// The server tells each of its clients on its own time: a notice must never lead the fader to a value
// read from a connection that has not yet heard of the change (that fader then kept the old value).
TEST_F(PulseMixerTest, EveryVolumeSetWithPactlReachesTheFaderAtOnce) {
    FakeFader fader;
    ASSERT_TRUE(fader.Init(MIXERLINE_COMPONENTTYPE_DST_SPEAKERS, NO_SOURCE_LINE,
                           MIXERCONTROL_CONTROLTYPE_VOLUME, CMixerFaderLogic::MAIN));
    for (int percent = 5; percent <= 95; percent += 5) {
        Shell("pactl set-sink-volume qp_sink " + std::to_string(percent) + "%");
        const int expected = kFull * percent / 100;  // pactl drops the fraction
        EXPECT_TRUE(WaitUntilShown(fader, expected)) << percent << "% shows " << fader.Shown();
    }
}

// A fader's own change is a change like any other: its mixer hears of it.
TEST_F(PulseMixerTest, AMixersOwnChangeIsNoticedToo) {
    FakeFader fader;
    ASSERT_TRUE(fader.Init(MIXERLINE_COMPONENTTYPE_DST_SPEAKERS, NO_SOURCE_LINE,
                           MIXERCONTROL_CONTROLTYPE_VOLUME, CMixerFaderLogic::MAIN));
    fader.Dispatch(200);
    DragTo(fader, kFull / 4);
    EXPECT_GE(fader.Dispatch(1000), 1);
    EXPECT_EQ(fader.Shown(), kFull / 4);
}

TEST_F(PulseMixerTest, MicrophoneFaderAndSourceVolumeFollowEachOther) {
    FakeFader fader;
    ASSERT_TRUE(fader.Init(MIXERLINE_COMPONENTTYPE_DST_WAVEIN, MIXERLINE_COMPONENTTYPE_SRC_MICROPHONE,
                           MIXERCONTROL_CONTROLTYPE_VOLUME, CMixerFaderLogic::MAIN));
    DragTo(fader, kFull / 2);
    EXPECT_EQ(PactlVolume("source", "qp_sink.monitor"), std::make_pair(32768L, 32768L));
    Shell("pactl set-source-volume qp_sink.monitor 75%");
    EXPECT_TRUE(WaitUntilShown(fader, 49152)) << "shows " << fader.Shown();
}

}  // namespace
