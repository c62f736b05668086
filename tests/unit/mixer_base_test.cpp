// CMixerBase on the simulated mixer: the line and control search, its failures and their trace texts,
// the value buffer, reading, writing and change notices, and the type names.
#include <gtest/gtest.h>

#include "mixer/CMixerBase.h"
#include "mixer_support.h"
#include "platform/MessageQueue.h"

using namespace mixer_test;

namespace {

using MixerBaseTest = MixerTest;

TEST_F(MixerBaseTest, NoDeviceOpensNothing) {
    CMixerBase base;
    MessageQueue window;
    EXPECT_FALSE(base.Init(MIXERLINE_COMPONENTTYPE_DST_SPEAKERS, NO_SOURCE_LINE,
                           MIXERCONTROL_CONTROLTYPE_VOLUME, &window));
    EXPECT_EQ(base.GetHandle(), nullptr);
    EXPECT_EQ(base.GetValues(), nullptr);
    EXPECT_EQ(mixer->OpenCount(), 0u);
    EXPECT_EQ(Trace(), "CMixerBase::Init: No mixer device present\n");
}

TEST_F(MixerBaseTest, FindsTheDestinationsOwnControlOrASourceLines) {
    mixer->AddDevice("card", SoundCard());
    CMixerBase base;
    MessageQueue window;
    ASSERT_TRUE(base.Init(MIXERLINE_COMPONENTTYPE_DST_SPEAKERS, NO_SOURCE_LINE,
                          MIXERCONTROL_CONTROLTYPE_VOLUME, &window));
    EXPECT_EQ(base.GetLineName(), "Speakers");
    EXPECT_EQ(base.GetDestinationName(), "Speakers");
    EXPECT_EQ(base.GetChannelCount(), 2u);
    EXPECT_EQ(base.GetControl().controlId, kSpeakerVolume);
    EXPECT_EQ(base.GetControlName(), "Volume 1");

    ASSERT_TRUE(base.Init(MIXERLINE_COMPONENTTYPE_DST_WAVEIN, MIXERLINE_COMPONENTTYPE_SRC_MICROPHONE,
                          MIXERCONTROL_CONTROLTYPE_VOLUME, &window));
    EXPECT_EQ(base.GetLineName(), "Microphone");
    EXPECT_EQ(base.GetDestinationName(), "Recording");
    EXPECT_EQ(base.GetControl().controlId, kMicrophoneVolume);
    EXPECT_EQ(base.GetDetails().channels, 1u);
    EXPECT_EQ(Trace(), "");
}

// Each failure after the open traces its text and leaves nothing open.
TEST_F(MixerBaseTest, FailuresCloseTheMixerAndTraceWhy) {
    auto card = SoundCard();
    card.push_back(Line(MIXERLINE_COMPONENTTYPE_DST_HEADPHONES, "Phones", 2, {}));
    mixer->AddDevice("card", card);
    struct Case {
        uint32_t destination, source, control;
        const char* trace;
    };
    const Case cases[] = {
        {MIXERLINE_COMPONENTTYPE_DST_VOICEIN, NO_SOURCE_LINE, MIXERCONTROL_CONTROLTYPE_VOLUME,
         "CMixerBase::Init: Warning: the destination line \nMIXERLINE_COMPONENTTYPE_DST_VOICEIN\nwas not "
         "found.\n"},
        {MIXERLINE_COMPONENTTYPE_DST_WAVEIN, MIXERLINE_COMPONENTTYPE_SRC_COMPACTDISC,
         MIXERCONTROL_CONTROLTYPE_VOLUME,
         "CMixerBase::Init: Warning: the source line \nMIXERLINE_COMPONENTTYPE_SRC_COMPACTDISC\n not "
         "found.\n\n"
         "(Associated to Destination line \nRecording)\n"},
        {MIXERLINE_COMPONENTTYPE_DST_HEADPHONES, NO_SOURCE_LINE, MIXERCONTROL_CONTROLTYPE_VOLUME,
         "CMixerBase::Init: No controls available for this audio line: Phones\n"},
        {MIXERLINE_COMPONENTTYPE_DST_SPEAKERS, NO_SOURCE_LINE, MIXERCONTROL_CONTROLTYPE_BASS,
         "CMixerBase::Init: Could not find specified mixer control. Associated Windows control will be "
         "disabled.\n"
         "Control type: MIXERCONTROL_CONTROLTYPE_BASS,\n\nDest line type: "
         "MIXERLINE_COMPONENTTYPE_DST_SPEAKERS,\n"
         "Src  line type: No source line\n\n"},
    };
    std::string expected;
    for (const Case& c : cases) {
        CMixerBase base;
        EXPECT_FALSE(base.Init(c.destination, c.source, c.control, nullptr)) << c.trace;
        EXPECT_EQ(base.GetHandle(), nullptr);
        EXPECT_EQ(base.GetValues(), nullptr);
        EXPECT_EQ(base.GetControlName(), "");
        EXPECT_EQ(mixer->OpenCount(), 0u);
        if (c.source == MIXERLINE_COMPONENTTYPE_SRC_COMPACTDISC) {
            EXPECT_EQ(base.GetDestinationName(), "Recording");
        }
        expected += c.trace;
    }
    EXPECT_EQ(Trace(), expected);
}

TEST_F(MixerBaseTest, UniformStereoControlGetsOneCellOtherwiseTwo) {
    auto uniform = Volume(10, {0x1111});
    uniform.flags = MIXERCONTROL_CONTROLF_UNIFORM;
    auto separate = Volume(11, {0x2222, 0x3333});
    separate.type = MIXERCONTROL_CONTROLTYPE_TREBLE;
    mixer->AddDevice("card",
                     {Line(MIXERLINE_COMPONENTTYPE_DST_SPEAKERS, "Speakers", 2, {uniform, separate})});

    CMixerBase one;
    ASSERT_TRUE(one.Init(MIXERLINE_COMPONENTTYPE_DST_SPEAKERS, NO_SOURCE_LINE,
                         MIXERCONTROL_CONTROLTYPE_VOLUME, nullptr));
    EXPECT_EQ(one.GetDetails().channels, 1u);
    ASSERT_TRUE(one.GetMXDetails());
    EXPECT_EQ(one.GetValues()[0], 0x1111u);

    CMixerBase two;
    ASSERT_TRUE(two.Init(MIXERLINE_COMPONENTTYPE_DST_SPEAKERS, NO_SOURCE_LINE,
                         MIXERCONTROL_CONTROLTYPE_TREBLE, nullptr));
    EXPECT_EQ(two.GetDetails().channels, 2u);
    ASSERT_TRUE(two.GetMXDetails());
    EXPECT_EQ(two.GetValues()[0], 0x2222u);
    EXPECT_EQ(two.GetValues()[1], 0x3333u);
}

TEST_F(MixerBaseTest, CustomUnitsAreRefused) {
    auto custom = Volume(13, {});
    custom.type = MIXERCONTROL_CONTROLTYPE_CUSTOM;
    mixer->AddDevice("card", {Line(MIXERLINE_COMPONENTTYPE_DST_SPEAKERS, "Speakers", 2, {custom})});
    CMixerBase base;
    EXPECT_FALSE(base.Init(MIXERLINE_COMPONENTTYPE_DST_SPEAKERS, NO_SOURCE_LINE,
                           MIXERCONTROL_CONTROLTYPE_CUSTOM, nullptr));
    EXPECT_EQ(base.GetHandle(), nullptr);
    EXPECT_EQ(mixer->OpenCount(), 0u);
    EXPECT_EQ(Trace(), "CMixerBase::InitMXDetails: Control uses unknown units.\n");
}

TEST_F(MixerBaseTest, InitTwiceLeavesOneOpenHandleAndCloseIsRepeatable) {
    mixer->AddDevice("card", SoundCard());
    {
        CMixerBase base;
        ASSERT_TRUE(base.Init(MIXERLINE_COMPONENTTYPE_DST_SPEAKERS, NO_SOURCE_LINE,
                              MIXERCONTROL_CONTROLTYPE_VOLUME, nullptr));
        ASSERT_TRUE(base.Init(MIXERLINE_COMPONENTTYPE_DST_WAVEIN, MIXERLINE_COMPONENTTYPE_SRC_MICROPHONE,
                              MIXERCONTROL_CONTROLTYPE_VOLUME, nullptr));
        EXPECT_EQ(mixer->OpenCount(), 1u);
        EXPECT_EQ(base.GetControl().controlId, kMicrophoneVolume);
        EXPECT_EQ(base.GetDetails().channels, 1u);
        base.CloseMixer();
        base.CloseMixer();
        EXPECT_EQ(mixer->OpenCount(), 0u);
        EXPECT_FALSE(base.GetMXDetails());
        EXPECT_FALSE(base.SetMXDetails());
        ASSERT_TRUE(base.Init(MIXERLINE_COMPONENTTYPE_DST_SPEAKERS, NO_SOURCE_LINE,
                              MIXERCONTROL_CONTROLTYPE_VOLUME, nullptr));
    }
    EXPECT_EQ(mixer->OpenCount(), 0u);  // the destructor closed it
}

TEST_F(MixerBaseTest, WritesReachTheMixerAndEveryOpenHandleHearsOfThem) {
    mixer->AddDevice("card", SoundCard());
    MessageQueue writerWindow;
    MessageQueue otherWindow;
    CMixerBase writer;
    CMixerBase other;
    ASSERT_TRUE(writer.Init(MIXERLINE_COMPONENTTYPE_DST_SPEAKERS, NO_SOURCE_LINE,
                            MIXERCONTROL_CONTROLTYPE_VOLUME, &writerWindow));
    ASSERT_TRUE(other.Init(MIXERLINE_COMPONENTTYPE_DST_SPEAKERS, NO_SOURCE_LINE,
                           MIXERCONTROL_CONTROLTYPE_VOLUME, &otherWindow));
    ASSERT_TRUE(writer.GetMXDetails());
    writer.GetValues()[0] = 0x1234;
    writer.GetValues()[1] = 0x5678;
    ASSERT_TRUE(writer.SetMXDetails());
    EXPECT_EQ(mixer->Values(0, kSpeakerVolume), (std::vector<uint32_t>{0x1234, 0x5678}));

    for (auto [window, base] : {std::pair{&writerWindow, &writer}, std::pair{&otherWindow, &other}}) {
        const auto notice = window->Get(0);
        ASSERT_TRUE(notice.has_value());
        EXPECT_EQ(notice->message, MM_MIXM_CONTROL_CHANGE);
        EXPECT_EQ(notice->wParam, MixerHandleParam(base->GetHandle()));
        EXPECT_EQ(notice->lParam, static_cast<LPARAM>(kSpeakerVolume));
    }
    ASSERT_TRUE(other.GetMXDetails());
    EXPECT_EQ(other.GetValues()[1], 0x5678u);
}

TEST_F(MixerBaseTest, TypeNamesAreThePlatformConstants) {
    EXPECT_STREQ(CMixerBase::LineTypeName(0), "MIXERLINE_COMPONENTTYPE_DST_UNDEFINED");
    EXPECT_STREQ(CMixerBase::LineTypeName(4), "MIXERLINE_COMPONENTTYPE_DST_SPEAKERS");
    EXPECT_STREQ(CMixerBase::LineTypeName(8), "MIXERLINE_COMPONENTTYPE_DST_VOICEIN");
    EXPECT_STREQ(CMixerBase::LineTypeName(9), "---- UNKNOWN LINE TYPE ----");
    EXPECT_STREQ(CMixerBase::LineTypeName(0x1003), "MIXERLINE_COMPONENTTYPE_SRC_MICROPHONE");
    EXPECT_STREQ(CMixerBase::LineTypeName(0x100A), "MIXERLINE_COMPONENTTYPE_SRC_ANALOG");
    EXPECT_STREQ(CMixerBase::LineTypeName(0x100B), "No source line");
    EXPECT_STREQ(CMixerBase::LineTypeName(0x100C), "---- UNKNOWN LINE TYPE ----");
    EXPECT_STREQ(CMixerBase::ControlTypeName(0), "MIXERCONTROL_CONTROLTYPE_CUSTOM");
    EXPECT_STREQ(CMixerBase::ControlTypeName(0x50030001), "MIXERCONTROL_CONTROLTYPE_VOLUME");
    EXPECT_STREQ(CMixerBase::ControlTypeName(0x10020001), "MIXERCONTROL_CONTROLTYPE_PEAKMETER");
    EXPECT_STREQ(CMixerBase::ControlTypeName(0x21010000), "MIXERCONTROL_CONTROLTYPE_BUTTON");
    EXPECT_STREQ(CMixerBase::ControlTypeName(0x61030000), "MIXERCONTROL_CONTROLTYPE_MILLITIME");
    EXPECT_STREQ(CMixerBase::ControlTypeName(0x71010001), "MIXERCONTROL_CONTROLTYPE_MIXER");
    EXPECT_STREQ(CMixerBase::ControlTypeName(0x50030005), "---- UNKNOWN CONTROL TYPE ----");
}

TEST(MixerTraceTest, SaysNothingUnlessAskedTo) {
    unsetenv("QPARLIN_TRACE");
    ::testing::internal::CaptureStderr();
    CMixerBase::TraceError("Title", "text %d", 1);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    setenv("QPARLIN_TRACE", "1", 1);
    ::testing::internal::CaptureStderr();
    CMixerBase::TraceError("Title", "text %d", 1);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Title: text 1\n");
    unsetenv("QPARLIN_TRACE");
}

}  // namespace
