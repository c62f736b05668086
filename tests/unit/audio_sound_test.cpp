// The recording and playback device threads, driven through a scripted wave backend.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <set>
#include <vector>

#include "audio/SoundPlayer.h"
#include "audio/SoundRecorder.h"
#include "fake_wave.h"

namespace {

class CountingCallback final : public SoundCallback {
public:
    void OnOpen() override { opens.fetch_add(1); }
    void OnData(const uint8_t* data, int byteCount) override {
        std::lock_guard<std::mutex> guard(lock);
        frames.emplace_back(data, data + byteCount);
    }
    void OnClose() override { closes.fetch_add(1); }
    size_t Frames() {
        std::lock_guard<std::mutex> guard(lock);
        return frames.size();
    }

    std::atomic<int> opens{0};
    std::atomic<int> closes{0};
    std::mutex lock;
    std::vector<std::vector<uint8_t>> frames;
};

class SoundThreadTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetWaveBackend(std::make_unique<FakeWaveBackend>(fake));
        SetErrorSink(&errors);
    }
    void TearDown() override {
        SetErrorSink(nullptr);
        SetWaveBackend(nullptr);
    }

    // Waits until the device thread has handled everything posted to it so far.
    template <typename Pred>
    bool Eventually(Pred pred) {
        for (int i = 0; i < 5000; ++i) {
            if (pred())
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return pred();
    }

    // 160 16-bit samples at 8000 Hz; true once all twelve buffers are queued on the device.
    bool StartRecording(SoundRecorder& recorder) {
        recorder.SetCallback(&callback);
        recorder.SetFormatFields(160, 16, 8000);
        recorder.Start();
        return fake.WaitFor([&] { return fake.adds == 12; });
    }

    FakeWave fake;
    CollectingErrorSink errors;
    CountingCallback callback;
};

TEST_F(SoundThreadTest, DefaultFormatGivesTwelveBuffersOfOneFrame) {
    SoundRecorder recorder;
    recorder.SetCallback(&callback);
    recorder.SetFormatFields(240, 16, 11025);
    recorder.Start();
    ASSERT_TRUE(fake.WaitFor([&] { return fake.adds == 12; }));
    ASSERT_TRUE(Eventually([&] { return callback.opens.load() == 1; }));
    const WaveFormat& format = recorder.Format();
    EXPECT_EQ(format.formatTag, WAVE_FORMAT_PCM);
    EXPECT_EQ(format.channels, 1);
    EXPECT_EQ(format.blockAlign, 2);
    EXPECT_EQ(format.avgBytesPerSec, 22050u);
    std::set<const uint8_t*> blocks;
    for (int i = 0; i < SoundBase::kBufferCount; ++i) {
        ASSERT_NE(recorder.Buffer(i), nullptr);
        EXPECT_EQ(recorder.Buffer(i)->bufferLength, 480u);
        blocks.insert(recorder.Buffer(i)->data);
    }
    EXPECT_EQ(blocks.size(), 12u) << "every buffer has its own data block";
    EXPECT_FALSE(recorder.FormatChanged());
}

TEST_F(SoundThreadTest, FilledBuffersReachTheCallbackInOrderAndGoBackToTheDevice) {
    SoundRecorder recorder;
    ASSERT_TRUE(StartRecording(recorder));
    ASSERT_TRUE(fake.Capture(0x11));
    ASSERT_TRUE(fake.Capture(0x22));
    ASSERT_TRUE(fake.WaitFor([&] { return fake.adds == 14; })) << "each delivered buffer is queued again";
    ASSERT_EQ(callback.Frames(), 2u);
    EXPECT_EQ(callback.frames[0], std::vector<uint8_t>(320, 0x11));
    EXPECT_EQ(callback.frames[1], std::vector<uint8_t>(320, 0x22));
    EXPECT_TRUE(recorder.Recording());
}

TEST_F(SoundThreadTest, StopResetsClosesAndCallsOnCloseOnce) {
    SoundRecorder recorder;
    ASSERT_TRUE(StartRecording(recorder));
    recorder.Stop();
    ASSERT_TRUE(Eventually([&] { return callback.closes.load() == 1; }));
    EXPECT_FALSE(recorder.Recording());
    EXPECT_TRUE(fake.WaitFor([&] { return fake.closes == 1 && fake.inQueue.empty(); }));
    // The returned, empty buffers are neither delivered nor queued again.
    recorder.End();
    EXPECT_EQ(callback.Frames(), 0u);
    EXPECT_EQ(fake.adds, 12);
}

TEST_F(SoundThreadTest, StopWhileIdleAndCloseWhileClosedDoNothing) {
    SoundRecorder recorder;
    recorder.SetCallback(&callback);
    recorder.Stop();
    SoundPlayer player;
    player.SetCallback(&callback);
    player.Stop();
    recorder.End();
    player.End();
    EXPECT_EQ(callback.closes.load(), 0);
    EXPECT_EQ(callback.opens.load(), 0);
    EXPECT_EQ(fake.closes, 0);
}

TEST_F(SoundThreadTest, AnInvalidRecordingDeviceIsReportedOnceAndQueuesNothing) {
    SoundRecorder recorder;
    recorder.SetCallback(&callback);
    recorder.SetDevice(5);
    recorder.SetFormatFields(240, 16, 11025);
    recorder.Start();
    recorder.End();
    const std::vector<std::string> reports = errors.Reports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0], "RECORD: Open : 2 : " + WaveErrorText(MMSYSERR_BADDEVICEID));
    EXPECT_EQ(fake.adds, 0);
    EXPECT_EQ(callback.opens.load(), 0);
}

TEST_F(SoundThreadTest, AnInvalidPlaybackDeviceIsReportedAndItsFramesDropped) {
    SoundPlayer player;
    player.SetCallback(&callback);
    player.SetDevice(9);
    player.SetFormatFields(160, 16, 8000);
    player.Start();
    const std::vector<uint8_t> frame(320, 1);
    player.Queue(frame.data(), 320);
    ASSERT_TRUE(Eventually([&] { return !player.BufferBusy(0); })) << "a dropped buffer is free again";
    player.End();
    const std::vector<std::string> reports = errors.Reports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0], "PLAY : PlayStart :2:" + WaveErrorText(MMSYSERR_BADDEVICEID));
    EXPECT_TRUE(fake.played.empty());
}

// A stop and the next start posted back to back: the stopped device's returns arrive after the new
// start queued the same buffers again, and must not queue them a second time.
TEST_F(SoundThreadTest, ARestartRightAfterAStopQueuesEachBufferOnce) {
    fake.partialOnReset = true;
    SoundRecorder recorder;
    ASSERT_TRUE(StartRecording(recorder));
    recorder.Stop();
    // The start comes while the stop is under way (a start that overtook a stop still waiting would
    // skip it, and the device would simply stay open).
    ASSERT_TRUE(fake.WaitFor([&] { return !recorder.Recording(); }));
    recorder.Start();
    ASSERT_TRUE(fake.WaitFor([&] { return fake.opensIn == 2 && fake.adds == 24; }));
    ASSERT_TRUE(fake.Capture(0x33));
    ASSERT_TRUE(fake.WaitFor([&] { return fake.adds == 25; }));
    {
        std::lock_guard<std::mutex> guard(fake.lock);
        std::set<WaveHeader*> distinct(fake.inQueue.begin(), fake.inQueue.end());
        EXPECT_EQ(distinct.size(), fake.inQueue.size()) << "a buffer is queued twice";
        EXPECT_EQ(fake.inQueue.size(), 12u);
    }
    recorder.End();
}

TEST_F(SoundThreadTest, TheThirteenthQueueReusesTheFirstBuffer) {
    fake.autoFinishPlayback = true;
    SoundPlayer player;
    player.SetCallback(&callback);
    player.SetFormatFields(4, 8, 8000);
    player.Start();
    for (uint8_t i = 0; i < 13; ++i) {
        ASSERT_TRUE(Eventually([&] { return !player.BufferBusy(player.NextBuffer()); }));
        const std::vector<uint8_t> frame(4, static_cast<uint8_t>(i + 1));
        player.Queue(frame.data(), 4);
    }
    EXPECT_EQ(player.NextBuffer(), 1);
    ASSERT_TRUE(fake.WaitFor([&] { return fake.played.size() == 13; }));
    EXPECT_EQ(player.Buffer(0)->data[0], 13) << "slot 0 holds the thirteenth frame";
    EXPECT_EQ(fake.played[12], std::vector<uint8_t>(4, 13));
    ASSERT_TRUE(Eventually([&] { return callback.Frames() == 13; })) << "each played buffer is reported";
    EXPECT_EQ(player.Drops(), 0);
    player.End();
}

TEST_F(SoundThreadTest, QueueCutsLongAudioAndFillsShortAudioWithSilence) {
    SoundPlayer player;
    player.SetFormatFields(4, 16, 8000);
    player.Start();
    const std::vector<uint8_t> longFrame(100, 0x7F);
    player.Queue(longFrame.data(), 100);
    const std::vector<uint8_t> shortFrame(3, 0x55);
    player.Queue(shortFrame.data(), 3);
    ASSERT_TRUE(fake.WaitFor([&] { return fake.played.size() == 2; }));
    EXPECT_EQ(fake.played[0], std::vector<uint8_t>(8, 0x7F));
    EXPECT_EQ(fake.played[1], (std::vector<uint8_t>{0x55, 0x55, 0x55, 0, 0, 0, 0, 0}));
    player.End();

    SoundPlayer narrow;
    narrow.SetFormatFields(4, 8, 8000);
    narrow.Start();
    narrow.Queue(shortFrame.data(), 1);
    ASSERT_TRUE(fake.WaitFor([&] { return fake.played.size() == 3; }));
    EXPECT_EQ(fake.played[2], (std::vector<uint8_t>{0x55, 0x80, 0x80, 0x80})) << "8-bit silence is 128";
    narrow.End();
}

TEST_F(SoundThreadTest, AFrameForABufferTheDeviceStillHoldsIsDroppedAndCounted) {
    SoundPlayer player;
    player.SetFormatFields(4, 16, 8000);
    player.Start();
    const std::vector<uint8_t> frame(8, 1);
    for (int i = 0; i < 12; ++i)
        player.Queue(frame.data(), 8);
    ASSERT_TRUE(fake.WaitFor([&] { return fake.played.size() == 12; }));
    const std::vector<uint8_t> late(8, 2);
    player.Queue(late.data(), 8);
    EXPECT_EQ(player.Drops(), 1);
    EXPECT_EQ(player.Buffer(0)->data[0], 1) << "the device's buffer is left alone";
    ASSERT_TRUE(fake.FinishOne());
    ASSERT_TRUE(Eventually([&] { return !player.BufferBusy(0); }));
    player.Queue(late.data(), 8);
    ASSERT_TRUE(fake.WaitFor([&] { return fake.played.size() == 13; }));
    EXPECT_EQ(fake.played[12], late);
    player.End();
}

TEST_F(SoundThreadTest, ASecondOpenWhilePlayingDoesNothingAndCloseReturnsEveryBuffer) {
    SoundPlayer player;
    player.SetCallback(&callback);
    player.SetFormatFields(4, 16, 8000);
    player.Start();
    player.Start();
    const std::vector<uint8_t> frame(8, 1);
    player.Queue(frame.data(), 8);
    player.Queue(frame.data(), 8);
    ASSERT_TRUE(fake.WaitFor([&] { return fake.played.size() == 2; }));
    EXPECT_EQ(fake.opensOut, 1);
    EXPECT_EQ(callback.opens.load(), 1);
    player.Stop();
    ASSERT_TRUE(Eventually([&] { return callback.closes.load() == 1; }));
    ASSERT_TRUE(Eventually([&] { return !player.BufferBusy(0) && !player.BufferBusy(1); }));
    EXPECT_FALSE(player.Playing());
    player.End();
    EXPECT_EQ(callback.closes.load(), 1);
}

}  // namespace

TEST_F(SoundThreadTest, AStormOfStartsAndStopsLeavesNoBacklog) {
    SoundRecorder recorder;
    recorder.SetCallback(&callback);
    recorder.SetFormatFields(160, 16, 8000);
    recorder.Start();
    ASSERT_TRUE(fake.WaitFor([&] { return recorder.Recording(); }));
    // Each stop of a recording device waits half a second: a thousand of them, done one by one, would
    // take over eight minutes. Only the newest request counts.
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 1000; ++i) {
        recorder.Stop();
        recorder.Start();
    }
    recorder.Stop();
    ASSERT_TRUE(fake.WaitFor([&] { return !recorder.Recording(); }));
    recorder.Start();
    ASSERT_TRUE(fake.WaitFor([&] { return recorder.Recording(); }));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    EXPECT_LE(fake.opensIn, 3);
    recorder.End();
}
