// The volume faders' behaviour apart from drawing, on a pretend trackbar over the simulated mixer: what
// Init accepts, positions shown for each sub-type, values written when the thumb moves, change notices,
// and the controls a fader cannot use.
#include <gtest/gtest.h>

#include "fake_fader.h"
#include "mixer_support.h"

using namespace mixer_test;

namespace {

// The sound card's volumes run 0 … 0xFFFF in 255 steps of 257.
constexpr int kSteps = 255;
constexpr uint32_t kStep = 257;

class MixerFaderTest : public MixerTest {
protected:
    bool InitSpeakers(FakeFader& fader, int subType = CMixerFaderLogic::MAIN) {
        return fader.Init(MIXERLINE_COMPONENTTYPE_DST_SPEAKERS, NO_SOURCE_LINE,
                          MIXERCONTROL_CONTROLTYPE_VOLUME, subType);
    }
    bool InitSource(FakeFader& fader, uint32_t source, int subType = CMixerFaderLogic::MAIN) {
        return fader.Init(MIXERLINE_COMPONENTTYPE_DST_WAVEIN, source, MIXERCONTROL_CONTROLTYPE_VOLUME,
                          subType);
    }
    // Moves the thumb to where the user sees `shown` on a vertical fader.
    static void DragTo(FakeFader& fader, int shown) { fader.Drag(fader.maximum - shown); }
};

TEST_F(MixerFaderTest, MainOnStereoShowsTheLouderChannelAndKeepsTheRatio) {
    mixer->AddDevice("card", SoundCard({0x4000, 0x8000}));
    FakeFader fader;
    ASSERT_TRUE(InitSpeakers(fader));
    EXPECT_TRUE(fader.enabled);
    EXPECT_EQ(fader.maximum, kSteps);
    EXPECT_EQ(fader.GetStep(), kStep);
    EXPECT_FLOAT_EQ(fader.GetBalance(), 0.5f);
    EXPECT_EQ(fader.Shown(), 0x8000 / 257);  // 127: the top of a vertical trackbar is the loudest
    EXPECT_EQ(fader.position, kSteps - 127);

    DragTo(fader, 200);
    EXPECT_EQ(mixer->Values(0, kSpeakerVolume), (std::vector<uint32_t>{25700, 51400}));
    DragTo(fader, kSteps);
    EXPECT_EQ(mixer->Values(0, kSpeakerVolume), (std::vector<uint32_t>{32767, 65535}));

    // Left louder: the right channel keeps its share.
    mixer->ChangeValues(0, kSpeakerVolume, {0x8000, 0x2000});
    fader.Dispatch();
    EXPECT_FLOAT_EQ(fader.GetBalance(), -0.75f);
    DragTo(fader, 100);
    EXPECT_EQ(mixer->Values(0, kSpeakerVolume), (std::vector<uint32_t>{25700, 6425}));
}

TEST_F(MixerFaderTest, DraggingToTheTopWritesTheLastWholeStep) {
    mixer->AddDevice("card", {Line(MIXERLINE_COMPONENTTYPE_DST_SPEAKERS, "Speakers", 2,
                                   {Volume(kSpeakerVolume, {0, 0}, 1000, 3)})});
    FakeFader fader;
    ASSERT_TRUE(InitSpeakers(fader));
    EXPECT_EQ(fader.GetStep(), 333u);
    DragTo(fader, 3);
    // The maximum bound less the remainder of 1000 ÷ 3.
    EXPECT_EQ(mixer->Values(0, kSpeakerVolume), (std::vector<uint32_t>{999, 999}));
}

TEST_F(MixerFaderTest, LeftAndRightDriveOneChannelEach) {
    mixer->AddDevice("card", SoundCard({0x4000, 0x8000}));
    FakeFader left;
    FakeFader right;
    ASSERT_TRUE(InitSpeakers(left, CMixerFaderLogic::LEFT));
    ASSERT_TRUE(InitSpeakers(right, CMixerFaderLogic::RIGHT));
    EXPECT_EQ(left.Shown(), 63);
    EXPECT_EQ(right.Shown(), 127);
    DragTo(left, 10);
    EXPECT_EQ(mixer->Values(0, kSpeakerVolume), (std::vector<uint32_t>{2570, 0x8000}));
    right.Dispatch();  // the notice of the left fader's write carries the new left value into its buffer
    DragTo(right, 20);
    EXPECT_EQ(mixer->Values(0, kSpeakerVolume), (std::vector<uint32_t>{2570, 5140}));
}

TEST_F(MixerFaderTest, MonoMicrophoneDrivesCellZeroOnly) {
    mixer->AddDevice("card", SoundCard({0x4000, 0x8000}, {0x2000}));
    FakeFader fader;
    ASSERT_TRUE(InitSource(fader, MIXERLINE_COMPONENTTYPE_SRC_MICROPHONE));
    EXPECT_EQ(fader.GetDetails().channels, 1u);
    EXPECT_EQ(fader.Shown(), 31);
    DragTo(fader, 100);
    EXPECT_EQ(mixer->Values(0, kMicrophoneVolume), (std::vector<uint32_t>{25700}));
    EXPECT_EQ(mixer->Values(0, kRecordingVolume), (std::vector<uint32_t>{0x1000, 0x1000}));
    fader.Dispatch();
    EXPECT_EQ(fader.GetBalance(), 0.0f);
}

TEST_F(MixerFaderTest, BalanceStaysPutWhileBothChannelsAreSilent) {
    mixer->AddDevice("card", SoundCard());
    FakeFader fader;
    ASSERT_TRUE(InitSource(fader, MIXERLINE_COMPONENTTYPE_SRC_LINE, CMixerFaderLogic::BALANCE));
    const int middle = fader.position;  // set to the middle of the trackbar's first range
    EXPECT_EQ(middle, 50);
    mixer->ChangeValues(0, kLineInVolume, {0, 0});
    EXPECT_EQ(fader.Dispatch(), 1);
    EXPECT_EQ(fader.position, middle);

    mixer->ChangeValues(0, kLineInVolume, {0x8000, 0x4000});
    EXPECT_EQ(fader.Dispatch(), 1);
    EXPECT_FLOAT_EQ(fader.GetBalance(), -0.5f);
    EXPECT_EQ(fader.Shown(), 63);
}

TEST_F(MixerFaderTest, BalanceMovesTheRatioAndKeepsTheLouderChannel) {
    mixer->AddDevice("card", SoundCard());
    mixer->ChangeValues(0, kLineInVolume, {0x8000, 0x4000});
    FakeFader fader;
    ASSERT_TRUE(InitSource(fader, MIXERLINE_COMPONENTTYPE_SRC_LINE, CMixerFaderLogic::BALANCE));
    DragTo(fader, 200);  // towards the right: the right channel keeps the louder value
    EXPECT_EQ(mixer->Values(0, kLineInVolume), (std::vector<uint32_t>{14135, 0x8000}));
    DragTo(fader, 50);  // towards the left
    EXPECT_EQ(mixer->Values(0, kLineInVolume), (std::vector<uint32_t>{0x8000, 12850}));
}

TEST_F(MixerFaderTest, FollowsNoticesForItsOwnControlOnly) {
    mixer->AddDevice("card", SoundCard({0x4000, 0x8000}));
    FakeFader fader;
    ASSERT_TRUE(InitSpeakers(fader));
    mixer->ChangeValues(0, kSpeakerMute, {1});
    EXPECT_EQ(fader.Dispatch(), 1);
    EXPECT_EQ(fader.Shown(), 127);

    mixer->ChangeValues(0, kSpeakerVolume, {0xFFFF, 0xFFFF});
    ASSERT_TRUE(fader.notices.Get(0).has_value());
    fader.OnMixerControlChange(MixerHandleParam(fader.GetHandle()) + 1, kSpeakerVolume);  // another mixer's
    EXPECT_EQ(fader.Shown(), 127);
    fader.OnMixerControlChange(MixerHandleParam(fader.GetHandle()), kSpeakerVolume);
    EXPECT_EQ(fader.Shown(), kSteps);
    EXPECT_FLOAT_EQ(fader.GetBalance(), 0.0f);
}

TEST_F(MixerFaderTest, OnlyPageStepsThumbMovesAndTheEndOfAChangeWrite) {
    mixer->AddDevice("card", SoundCard({0x4000, 0x8000}));
    FakeFader fader;
    ASSERT_TRUE(InitSpeakers(fader));
    for (uint32_t code = TB_LINEUP; code <= TB_ENDTRACK; ++code) {
        mixer->ChangeValues(0, kSpeakerVolume, {0x4000, 0x8000});
        fader.Dispatch();
        fader.position = 0;
        fader.VScroll(code);
        const bool writes =
            code == TB_PAGEUP || code == TB_PAGEDOWN || code == TB_THUMBTRACK || code == TB_ENDTRACK;
        EXPECT_EQ(mixer->Values(0, kSpeakerVolume) != (std::vector<uint32_t>{0x4000, 0x8000}), writes)
            << "code " << code;
    }
    fader.position = 0;
    fader.HScroll(TB_ENDTRACK);
    EXPECT_EQ(mixer->Values(0, kSpeakerVolume), (std::vector<uint32_t>{32767, 65535}));
}

TEST_F(MixerFaderTest, HorizontalFaderIsNotInverted) {
    mixer->AddDevice("card", SoundCard({0x4000, 0x8000}));
    FakeFader fader(false);
    ASSERT_TRUE(InitSpeakers(fader));
    EXPECT_EQ(fader.position, 127);
    fader.Drag(200);
    EXPECT_EQ(mixer->Values(0, kSpeakerVolume), (std::vector<uint32_t>{25700, 51400}));
}

TEST_F(MixerFaderTest, ControlWithoutUsableStepsLeavesTheFaderDisabled) {
    auto noSteps = Volume(kSpeakerVolume, {0x4000, 0x8000}, 0xFFFF, 0);
    auto tooManySteps = Volume(kRecordingVolume, {5, 5}, 10, 20);
    mixer->AddDevice("card", {Line(MIXERLINE_COMPONENTTYPE_DST_SPEAKERS, "Speakers", 2, {noSteps}),
                              Line(MIXERLINE_COMPONENTTYPE_DST_WAVEIN, "Recording", 2, {tooManySteps})});
    FakeFader speakers;
    EXPECT_FALSE(InitSpeakers(speakers));
    FakeFader recording;
    EXPECT_FALSE(InitSource(recording, NO_SOURCE_LINE));
    for (FakeFader* fader : {&speakers, &recording}) {
        EXPECT_FALSE(fader->enabled);
        EXPECT_EQ(fader->GetValue(), nullptr);
        fader->Drag(0);
    }
    EXPECT_EQ(mixer->OpenCount(), 0u);
    EXPECT_EQ(mixer->Values(0, kSpeakerVolume), (std::vector<uint32_t>{0x4000, 0x8000}));
    EXPECT_EQ(mixer->Values(0, kRecordingVolume), (std::vector<uint32_t>{5, 5}));
    EXPECT_EQ(Trace(),
              "CMixerFader::Init: The control's 0 steps cannot be shown on a slider.\n\nItem: Volume 1.\n"
              "CMixerFader::Init: The control's 20 steps cannot be shown on a slider.\n\nItem: Volume 3.\n"
              "CMixerFader::VScroll: Error: Did you call Init() first?\n"
              "CMixerFader::VScroll: Error: Did you call Init() first?\n");
}

TEST_F(MixerFaderTest, InitRefusesWhatAFaderCannotDrive) {
    mixer->AddDevice("card", SoundCard());
    FakeFader noWindow;
    noWindow.window = false;
    EXPECT_FALSE(InitSpeakers(noWindow));
    EXPECT_TRUE(noWindow.enabled);  // nothing was touched

    FakeFader mute;
    EXPECT_FALSE(mute.Init(MIXERLINE_COMPONENTTYPE_DST_SPEAKERS, NO_SOURCE_LINE,
                           MIXERCONTROL_CONTROLTYPE_MUTE, CMixerFaderLogic::MAIN));
    FakeFader badSubType;
    EXPECT_FALSE(InitSpeakers(badSubType, 4));
    FakeFader monoLeft;
    EXPECT_FALSE(InitSource(monoLeft, MIXERLINE_COMPONENTTYPE_SRC_MICROPHONE, CMixerFaderLogic::LEFT));
    FakeFader monoBalance;
    EXPECT_FALSE(InitSource(monoBalance, MIXERLINE_COMPONENTTYPE_SRC_MICROPHONE, CMixerFaderLogic::BALANCE));
    EXPECT_EQ(monoBalance.Shown(), kSteps / 2);

    for (FakeFader* fader : {&mute, &badSubType, &monoLeft, &monoBalance})
        EXPECT_FALSE(fader->enabled);
    EXPECT_EQ(mixer->OpenCount(), 0u);
    const std::string oneChannel =
        "CMixerFader::Init: Only one channel available on this line. Use Fader type MAIN only.\n"
        "Windows control will be disabled.\n\nItem: Volume 4.\n\n( Line: Microphone )\n";
    EXPECT_EQ(Trace(),
              "CMixerFader::Init: No Window attached. Did you create or subclass one?\n"
              "CMixerFader::Init: Wrong control type for a fader control: MIXERCONTROL_CONTROLTYPE_MUTE\n"
              "CMixerFader::Init: Wrong sub-type for a fader control: 4\n" +
                  oneChannel + oneChannel);
}

TEST_F(MixerFaderTest, FailedFirstReadKeepsTheMixerOpenButTheFaderDisabled) {
    mixer->AddDevice("card", SoundCard());
    mixer->FailDetails(true);
    FakeFader fader;
    EXPECT_TRUE(InitSpeakers(fader));
    EXPECT_FALSE(fader.enabled);
    EXPECT_EQ(mixer->OpenCount(), 1u);
    fader.OnDestroy();
    EXPECT_EQ(mixer->OpenCount(), 0u);
    fader.Drag(0);
    EXPECT_EQ(Trace(), "CMixerFader::VScroll: Error: Did you call Init() first?\n");
}

}  // namespace
