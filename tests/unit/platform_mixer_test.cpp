// The mixer service's backends without a sound card: the simulated mixer's lines, controls, value checks
// and notices, and the ALSA backend on a control device that does not exist.
#include <gtest/gtest.h>

#include <memory>

#include "mixer_support.h"
#include "platform/MessageQueue.h"
#include "platform/mixer/Mixer.h"
#include "platform/mixer/SimulatedMixer.h"

using namespace mixer_test;

namespace {

class SimulatedMixerTest : public ::testing::Test {
protected:
    void SetUp() override {
        backend.AddDevice("card", SoundCard());
        backend.AddDevice("second card", SoundCard());
        ASSERT_EQ(backend.Open(mixer, 0, &window), MMSYSERR_NOERROR);
    }

    SimulatedMixerBackend backend;
    MessageQueue window;
    std::unique_ptr<Mixer> mixer;
};

TEST_F(SimulatedMixerTest, LinesByIndexAndControlsByType) {
    MixerLine line;
    line.destination = 1;
    ASSERT_EQ(mixer->GetLineInfo(line, MIXER_GETLINEINFOF_DESTINATION), MMSYSERR_NOERROR);
    EXPECT_EQ(line.componentType, MIXERLINE_COMPONENTTYPE_DST_WAVEIN);
    EXPECT_EQ(line.connections, 2u);
    line.source = 1;
    ASSERT_EQ(mixer->GetLineInfo(line, MIXER_GETLINEINFOF_SOURCE), MMSYSERR_NOERROR);
    EXPECT_EQ(line.componentType, MIXERLINE_COMPONENTTYPE_SRC_LINE);
    EXPECT_EQ(line.destination, 1u);
    EXPECT_EQ(line.source, 1u);
    EXPECT_EQ(line.controls, 1u);

    MixerControl control;
    ASSERT_EQ(mixer->GetLineControlByType(line.lineId, MIXERCONTROL_CONTROLTYPE_VOLUME, control),
              MMSYSERR_NOERROR);
    EXPECT_EQ(control.controlId, kLineInVolume);
    EXPECT_EQ(mixer->GetLineControlByType(line.lineId, MIXERCONTROL_CONTROLTYPE_MUTE, control),
              MIXERR_INVALCONTROL);
    EXPECT_EQ(mixer->GetLineControlByType(0xFFFF0009, MIXERCONTROL_CONTROLTYPE_VOLUME, control),
              MIXERR_INVALLINE);
}

TEST_F(SimulatedMixerTest, WritesAreCheckedAndOneChannelSetsBoth) {
    uint32_t cells[2] = {0x10000, 5};  // above the maximum
    MixerControlDetails details{kSpeakerVolume, 2, 0, cells};
    EXPECT_EQ(mixer->SetControlDetails(details), MIXERR_INVALVALUE);
    EXPECT_EQ(backend.Values(0, kSpeakerVolume), (std::vector<uint32_t>{0x4000, 0x8000}));
    EXPECT_FALSE(window.TryGet().has_value());

    details.channels = 3;
    EXPECT_EQ(mixer->GetControlDetails(details), MMSYSERR_INVALPARAM);
    details.controlId = 99;
    EXPECT_EQ(mixer->GetControlDetails(details), MIXERR_INVALCONTROL);

    cells[0] = 0x1111;
    details = MixerControlDetails{kSpeakerVolume, 1, 0, cells};
    ASSERT_EQ(mixer->SetControlDetails(details), MMSYSERR_NOERROR);
    EXPECT_EQ(backend.Values(0, kSpeakerVolume), (std::vector<uint32_t>{0x1111, 0x1111}));
}

TEST_F(SimulatedMixerTest, NoticesReachOpenMixersOfTheChangedDeviceOnly) {
    MessageQueue secondWindow;
    std::unique_ptr<Mixer> second;
    ASSERT_EQ(backend.Open(second, 1, &secondWindow), MMSYSERR_NOERROR);
    EXPECT_EQ(backend.Open(second, 2, &secondWindow), MMSYSERR_BADDEVICEID);

    backend.ChangeValues(0, kMicrophoneVolume, {7});
    const auto notice = window.Get(0);
    ASSERT_TRUE(notice.has_value());
    EXPECT_EQ(notice->wParam, MixerHandleParam(mixer.get()));
    EXPECT_EQ(notice->lParam, static_cast<LPARAM>(kMicrophoneVolume));
    EXPECT_FALSE(secondWindow.TryGet().has_value());

    mixer.reset();
    backend.ChangeValues(0, kMicrophoneVolume, {8});
    EXPECT_FALSE(window.TryGet().has_value());
    EXPECT_EQ(backend.OpenCount(), 1u);
}

TEST(AlsaMixerTest, MissingControlDeviceHasNoMixerAndSaysNothing) {
    auto backend = MakeAlsaMixerBackend("qparlin_no_such_device");
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(backend->DeviceCount(), 0u);
    MessageQueue window;
    std::unique_ptr<Mixer> mixer;
    EXPECT_EQ(backend->Open(mixer, 0, &window), MMSYSERR_NODRIVER);
    EXPECT_EQ(mixer, nullptr);
    EXPECT_EQ(backend->Open(mixer, 1, &window), MMSYSERR_BADDEVICEID);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

}  // namespace
