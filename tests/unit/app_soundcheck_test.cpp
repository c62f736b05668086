// The check at start that the devices open: one sentence with the device, the reason and what to do.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <memory>

#include "app/SoundCheck.h"
#include "fake_wave.h"

namespace {

class SoundCheckTest : public ::testing::Test {
protected:
    void SetUp() override { SetWaveBackend(std::make_unique<FakeWaveBackend>(fake_)); }
    void TearDown() override { SetWaveBackend(nullptr); }
    FakeWave fake_;
    Settings settings_;
};

TEST_F(SoundCheckTest, DevicesThatOpenPassAndAreClosedAgain) {
    EXPECT_EQ(CheckSoundDevices(settings_), "");
    EXPECT_EQ(fake_.opensIn, 1);
    EXPECT_EQ(fake_.opensOut, 1);
    settings_.inputDevice = 1;  // the fake's one device, by number
    settings_.outputDevice = 1;
    EXPECT_EQ(CheckSoundDevices(settings_), "");
}

TEST_F(SoundCheckTest, ADeviceNumberThatDoesNotExistIsNamedWithWhatToDo) {
    settings_.inputDevice = 2;  // one past the fake's last
    const std::string recording = CheckSoundDevices(settings_);
    EXPECT_EQ(recording.rfind("Cannot record from recording device 2 (fake): ", 0), 0u) << recording;
    EXPECT_NE(recording.find("qparlin --list-devices shows the numbers; -i:0 takes the default device."),
              std::string::npos);
    settings_.inputDevice = Settings::kDefaultDevice;
    settings_.outputDevice = 2;
    const std::string playback = CheckSoundDevices(settings_);
    EXPECT_EQ(playback.rfind("Cannot play on playback device 2 (fake): ", 0), 0u) << playback;
    EXPECT_NE(playback.find("-o:0"), std::string::npos);
}

TEST_F(SoundCheckTest, AMissingWavFileOrOneAtAnUnusableRateIsRefusedWithItsRemedy) {
    SetWaveBackend(MakeWavFileWaveBackend("/nonexistent/in.wav", ""));
    settings_.audioBackend = AudioBackend::File;
    // A missing file is refused whatever format may come.
    const std::string missing = CheckSoundDevices(settings_);
    EXPECT_NE(missing.find("'/nonexistent/in.wav'"), std::string::npos) << missing;
    EXPECT_NE(missing.find("Check the path given to --input-wav."), std::string::npos);
    EXPECT_EQ(missing.find(".."), std::string::npos);  // one full stop per sentence
    // A file at 8000 Hz serves a codec at 11025 Hz, chosen or not, session or not: it is converted.
    const std::string path = ::testing::TempDir() + "/qparlin-8k.wav";
    SetWaveBackend(MakeWavFileWaveBackend("", path));
    settings_.codecFormat = 0x82;  // gsm_8khz writes an 8000 Hz file
    ASSERT_EQ(CheckSoundDevices(settings_), "");
    SetWaveBackend(MakeWavFileWaveBackend(path, ""));
    settings_.codecFormat = 0xA4;  // ilbc_11khz
    settings_.codecChosen = true;
    EXPECT_EQ(CheckSoundDevices(settings_), "");
    settings_.session = false;
    EXPECT_EQ(CheckSoundDevices(settings_), "");
    settings_.codecFormat = 0x87;  // opus, whose devices run at 48000 Hz
    settings_.session = true;
    EXPECT_EQ(CheckSoundDevices(settings_), "");
    std::remove(path.c_str());
    // A file at 2000 Hz is no sound the device can make its own.
    const std::string slow = ::testing::TempDir() + "/qparlin-2k.wav";
    SF_INFO info{};
    info.samplerate = 2000;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open(slow.c_str(), SFM_WRITE, &info);
    ASSERT_NE(file, nullptr);
    const short samples[4] = {1, 2, 3, 4};
    sf_writef_short(file, samples, 4);
    sf_close(file);
    SetWaveBackend(MakeWavFileWaveBackend(slow, ""));
    settings_.codecFormat = 0xA4;
    const std::string rate = CheckSoundDevices(settings_);
    EXPECT_NE(rate.find("is sampled at 2000 Hz; the device takes 4000 to 192000 Hz."), std::string::npos)
        << rate;
    EXPECT_NE(rate.find("Give a WAV file at the codec's rate (sox IN.wav -r 11025 -c 1 OUT.wav makes one)."),
              std::string::npos)
        << rate;
    std::remove(slow.c_str());
}

}  // namespace
