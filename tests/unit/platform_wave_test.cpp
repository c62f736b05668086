// The wave service on the null and WAV-file backends: opening, header rules, recording and playback
// through the header queue, the files written and read, pacing; and PortAudio without a sound server.
#include <gtest/gtest.h>

#include <sndfile.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <utility>
#include <vector>

#include "platform/MessageQueue.h"
#include "platform/wave/ChunkPacer.h"
#include "platform/wave/Wave.h"

namespace {

using Clock = std::chrono::steady_clock;

WaveFormat Pcm(uint32_t rate, uint16_t bits) {
    WaveFormat format;
    format.samplesPerSec = rate;
    format.bitsPerSample = bits;
    format.blockAlign = static_cast<uint16_t>(bits / 8);
    format.avgBytesPerSec = rate * format.blockAlign;
    return format;
}

// Headers with their own buffers, as the recorder and player allocate them.
struct Headers {
    Headers(size_t count, size_t bytes) : buffers(count, std::vector<uint8_t>(bytes)), headers(count) {
        for (size_t i = 0; i < count; ++i) {
            headers[i].data = buffers[i].data();
            headers[i].bufferLength = static_cast<uint32_t>(bytes);
        }
    }
    WaveHeader* operator[](size_t i) { return &headers[i]; }
    std::vector<int16_t> Samples(size_t i, size_t bytes) const {
        std::vector<int16_t> samples(bytes / 2);
        std::memcpy(samples.data(), buffers[i].data(), samples.size() * 2);
        return samples;
    }
    std::vector<std::vector<uint8_t>> buffers;
    std::vector<WaveHeader> headers;
};

// Takes the next post and checks it hands back `header` as a finished one.
void ExpectPosted(MessageQueue& owner, uint32_t message, WaveHeader* header, int timeoutMs = 2000) {
    const auto posted = owner.Get(timeoutMs);
    ASSERT_TRUE(posted.has_value()) << "nothing posted";
    EXPECT_EQ(posted->message, message);
    EXPECT_EQ(posted->lParam, reinterpret_cast<LPARAM>(header));
    EXPECT_TRUE(header->flags & WHDR_DONE);
    EXPECT_FALSE(header->flags & WHDR_INQUEUE);
}

// 1, 2, 3, ...: every sample tells where in the file it came from.
std::vector<int16_t> Ramp(size_t count) {
    std::vector<int16_t> samples(count);
    for (size_t i = 0; i < count; ++i)
        samples[i] = static_cast<int16_t>(i + 1);
    return samples;
}

class WaveFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (std::filesystem::temp_directory_path() / "qp-wave-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string Path(const char* name) const { return (dir_ / name).string(); }

    std::string WriteWav(const char* name, const std::vector<int16_t>& interleaved, int rate,
                         int channels = 1, int subtype = SF_FORMAT_PCM_16) {
        SF_INFO info{};
        info.samplerate = rate;
        info.channels = channels;
        info.format = SF_FORMAT_WAV | subtype;
        const std::string path = Path(name);
        SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
        EXPECT_NE(file, nullptr);
        sf_writef_short(file, interleaved.data(), static_cast<sf_count_t>(interleaved.size()) / channels);
        sf_close(file);
        return path;
    }

    static std::vector<int16_t> ReadWav(const std::string& path, SF_INFO& info) {
        info = SF_INFO{};
        SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
        if (file == nullptr)
            return {};
        std::vector<int16_t> samples(static_cast<size_t>(info.frames * info.channels));
        sf_readf_short(file, samples.data(), info.frames);
        sf_close(file);
        return samples;
    }

    std::filesystem::path dir_;
    MessageQueue owner_;
};

class FakeListBackend final : public WaveBackend {
public:
    std::string Name() const override { return "list"; }
    MMRESULT OpenIn(std::unique_ptr<WaveIn>&, int, const WaveFormat&, MessageTarget*) override { return 1; }
    MMRESULT OpenOut(std::unique_ptr<WaveOut>&, int, const WaveFormat&, MessageTarget*) override { return 1; }
    std::vector<WaveDeviceInfo> InputDevices() override { return {{"front", false}, {"usb mic", true}}; }
    std::vector<WaveDeviceInfo> OutputDevices() override { return {}; }
};

}  // namespace

TEST(WaveServiceTest, EveryResultCodeHasItsOwnText) {
    const MMRESULT codes[] = {MMSYSERR_NOERROR,    MMSYSERR_ERROR,      MMSYSERR_BADDEVICEID,
                              MMSYSERR_NOTENABLED, MMSYSERR_ALLOCATED,  MMSYSERR_INVALHANDLE,
                              MMSYSERR_NODRIVER,   MMSYSERR_NOMEM,      MMSYSERR_INVALPARAM,
                              WAVERR_BADFORMAT,    WAVERR_STILLPLAYING, WAVERR_UNPREPARED};
    std::vector<std::string> texts;
    for (MMRESULT code : codes)
        texts.push_back(WaveErrorText(code));
    for (size_t i = 0; i < texts.size(); ++i) {
        for (size_t j = i + 1; j < texts.size(); ++j)
            EXPECT_NE(texts[i], texts[j]);
    }
    EXPECT_EQ(WaveErrorText(MMSYSERR_BADDEVICEID), "The specified device ID is out of range.");
    EXPECT_NE(WaveErrorText(77).find("77"), std::string::npos);
}

TEST(WaveServiceTest, ListsDevicesNumberedFromOneWithTheDefaultMarked) {
    FakeListBackend backend;
    std::ostringstream out;
    WriteWaveDeviceList(backend, out);
    EXPECT_EQ(out.str(),
              "Recording devices:\n  1  front\n  2  usb mic (default)\nPlayback devices:\n  (none)\n");

    std::ostringstream files;
    WriteWaveDeviceList(*MakeWavFileWaveBackend("in.wav", ""), files);
    EXPECT_EQ(files.str(),
              "Recording devices:\n  1  in.wav (default)\nPlayback devices:\n  1  discard (default)\n");
}

TEST(WaveServiceTest, TheCurrentBackendIsNullUntilSetAndVisibleFromAnyThread) {
    EXPECT_EQ(CurrentWaveBackend().Name(), "null");
    SetWaveBackend(MakeWavFileWaveBackend("", ""));
    std::string seen;
    std::thread([&] { seen = CurrentWaveBackend().Name(); }).join();
    EXPECT_EQ(seen, "file");
    SetWaveBackend(MakeNullWaveBackend());
    EXPECT_EQ(CurrentWaveBackend().Name(), "null");
}

// Opening and header rules hold alike on every backend.
class WaveOpenTest : public ::testing::TestWithParam<const char*> {
protected:
    std::unique_ptr<WaveBackend> backend_ =
        std::string(GetParam()) == "null" ? MakeNullWaveBackend() : MakeWavFileWaveBackend("", "");
    MessageQueue owner_;
};

INSTANTIATE_TEST_SUITE_P(Backends, WaveOpenTest, ::testing::Values("null", "file"));

TEST_P(WaveOpenTest, RefusesDeviceNumbersOutsideTheList) {
    for (int id : {0, -2, 2, 1000}) {
        std::unique_ptr<WaveIn> in;
        std::unique_ptr<WaveOut> out;
        EXPECT_EQ(backend_->OpenIn(in, id, Pcm(8000, 16), &owner_), MMSYSERR_BADDEVICEID) << id;
        EXPECT_EQ(backend_->OpenOut(out, id, Pcm(8000, 16), &owner_), MMSYSERR_BADDEVICEID) << id;
        EXPECT_FALSE(in);
        EXPECT_FALSE(out);
    }
    const std::string text = backend_->ErrorText(MMSYSERR_BADDEVICEID);
    EXPECT_EQ(text.rfind(WaveErrorText(MMSYSERR_BADDEVICEID), 0), 0u);
    EXPECT_NE(text.find("1000"), std::string::npos);
}

TEST_P(WaveOpenTest, RefusesFormatsNoDeviceServesAndAMissingOwner) {
    std::vector<WaveFormat> bad(6, Pcm(8000, 16));
    bad[0].formatTag = 3;
    bad[1].channels = 2;
    bad[2] = Pcm(8000, 24);
    bad[3] = Pcm(0, 16);
    bad[4].blockAlign = 4;
    bad[5].avgBytesPerSec = 8000;
    for (const WaveFormat& format : bad) {
        std::unique_ptr<WaveIn> in;
        std::unique_ptr<WaveOut> out;
        EXPECT_EQ(backend_->OpenIn(in, WAVE_MAPPER, format, &owner_), WAVERR_BADFORMAT);
        EXPECT_EQ(backend_->OpenOut(out, 1, format, &owner_), WAVERR_BADFORMAT);
        EXPECT_FALSE(in || out);
    }
    std::unique_ptr<WaveIn> in;
    EXPECT_EQ(backend_->OpenIn(in, WAVE_MAPPER, Pcm(8000, 16), nullptr), MMSYSERR_INVALPARAM);
}

TEST_P(WaveOpenTest, OpensTheDefaultAndTheFirstDeviceAtEveryRateInUse) {
    for (uint32_t rate : {8000u, 11025u, 22050u, 44100u}) {
        for (uint16_t bits : {uint16_t{8}, uint16_t{16}}) {
            std::unique_ptr<WaveIn> in;
            std::unique_ptr<WaveOut> out;
            ASSERT_EQ(backend_->OpenIn(in, WAVE_MAPPER, Pcm(rate, bits), &owner_), MMSYSERR_NOERROR);
            ASSERT_EQ(backend_->OpenOut(out, 1, Pcm(rate, bits), &owner_), MMSYSERR_NOERROR);
            EXPECT_EQ(in->Close(), MMSYSERR_NOERROR);
            EXPECT_EQ(out->Close(), MMSYSERR_NOERROR);
            EXPECT_EQ(in->Start(), MMSYSERR_INVALHANDLE);
        }
    }
}

TEST_P(WaveOpenTest, HeadersMustBePreparedToBeQueuedAndStayPreparedWhileQueued) {
    std::unique_ptr<WaveIn> in;
    std::unique_ptr<WaveOut> out;
    ASSERT_EQ(backend_->OpenIn(in, WAVE_MAPPER, Pcm(8000, 16), &owner_), MMSYSERR_NOERROR);
    ASSERT_EQ(backend_->OpenOut(out, WAVE_MAPPER, Pcm(8000, 16), &owner_), MMSYSERR_NOERROR);
    WaveHeader noData;
    noData.bufferLength = 16;
    EXPECT_EQ(in->Prepare(nullptr), MMSYSERR_INVALPARAM);
    EXPECT_EQ(in->Prepare(&noData), MMSYSERR_INVALPARAM);
    EXPECT_EQ(out->Prepare(&noData), MMSYSERR_INVALPARAM);

    Headers h(2, 16000);  // one second each: neither finishes during the test
    h[0]->flags = WHDR_DONE;
    EXPECT_EQ(in->Add(h[0]), WAVERR_UNPREPARED);
    EXPECT_EQ(out->Write(h[1]), WAVERR_UNPREPARED);
    ASSERT_EQ(in->Prepare(h[0]), MMSYSERR_NOERROR);
    ASSERT_EQ(out->Prepare(h[1]), MMSYSERR_NOERROR);
    EXPECT_TRUE(h[0]->flags & WHDR_PREPARED);
    ASSERT_EQ(in->Add(h[0]), MMSYSERR_NOERROR);
    ASSERT_EQ(out->Write(h[1]), MMSYSERR_NOERROR);
    EXPECT_EQ(h[0]->flags & (WHDR_INQUEUE | WHDR_DONE), WHDR_INQUEUE);
    EXPECT_EQ(h[1]->flags & (WHDR_INQUEUE | WHDR_DONE), WHDR_INQUEUE);
    EXPECT_EQ(in->Add(h[0]), WAVERR_STILLPLAYING);
    EXPECT_EQ(in->Unprepare(h[0]), WAVERR_STILLPLAYING);
    EXPECT_EQ(out->Unprepare(h[1]), WAVERR_STILLPLAYING);
    EXPECT_EQ(in->Close(), WAVERR_STILLPLAYING);
    EXPECT_EQ(out->Close(), WAVERR_STILLPLAYING);

    EXPECT_EQ(in->Reset(), MMSYSERR_NOERROR);
    ExpectPosted(owner_, MM_WIM_DATA, h[0]);
    EXPECT_EQ(h[0]->bytesRecorded, 0u);
    EXPECT_EQ(out->Reset(), MMSYSERR_NOERROR);
    ExpectPosted(owner_, MM_WOM_DONE, h[1]);
    EXPECT_EQ(in->Unprepare(h[0]), MMSYSERR_NOERROR);
    EXPECT_FALSE(h[0]->flags & WHDR_PREPARED);
    EXPECT_EQ(in->Close(), MMSYSERR_NOERROR);
    EXPECT_EQ(out->Close(), MMSYSERR_NOERROR);
}

// Recording from a WAV file.
using WaveRecordTest = WaveFileTest;

TEST_F(WaveRecordTest, FillsQueuedHeadersInOrderWithTheFileSamples) {
    const std::vector<int16_t> ramp = Ramp(4000);
    auto backend = MakeWavFileWaveBackend(WriteWav("in.wav", ramp, 8000), "");
    std::unique_ptr<WaveIn> in;
    ASSERT_EQ(backend->OpenIn(in, 1, Pcm(8000, 16), &owner_), MMSYSERR_NOERROR);
    Headers h(4, 400);
    for (int i = 0; i < 4; ++i) {
        in->Prepare(h[i]);
        in->Add(h[i]);
    }
    ASSERT_EQ(in->Start(), MMSYSERR_NOERROR);
    for (size_t i = 0; i < 4; ++i) {
        ExpectPosted(owner_, MM_WIM_DATA, h[i]);
        EXPECT_EQ(h[i]->bytesRecorded, 400u);
        EXPECT_EQ(h.Samples(i, 400),
                  std::vector<int16_t>(ramp.begin() + 200 * i, ramp.begin() + 200 * (i + 1)));
    }
    // Nothing is queued now: what the file goes on delivering is lost, and nothing else is posted.
    EXPECT_FALSE(owner_.Get(100).has_value());
    in->Prepare(h[0]);
    in->Add(h[0]);
    ExpectPosted(owner_, MM_WIM_DATA, h[0]);
    EXPECT_GE(h.Samples(0, 400)[0], 800 + 400);
    in->Reset();
    EXPECT_EQ(in->Close(), MMSYSERR_NOERROR);
}

TEST_F(WaveRecordTest, GivesEightBitFormatsUnsignedBytesAndSilenceAfterTheFileEnds) {
    std::vector<int16_t> samples(100);
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<int16_t>((static_cast<int>(i) - 50) * 256);
    auto backend = MakeWavFileWaveBackend(WriteWav("in.wav", samples, 11025, 1, SF_FORMAT_PCM_U8), "");
    std::unique_ptr<WaveIn> in;
    ASSERT_EQ(backend->OpenIn(in, WAVE_MAPPER, Pcm(11025, 8), &owner_), MMSYSERR_NOERROR);
    Headers h(1, 300);
    in->Prepare(h[0]);
    in->Add(h[0]);
    in->Start();
    ExpectPosted(owner_, MM_WIM_DATA, h[0]);
    for (size_t i = 0; i < 300; ++i) {
        ASSERT_EQ(h.buffers[0][i], i < 100 ? static_cast<uint8_t>(i - 50 + 128) : 0x80) << i;
    }
    in->Reset();
    in->Close();
}

TEST_F(WaveRecordTest, StopPostsThePartlyFilledHeaderAndStartResumes) {
    const std::vector<int16_t> ramp = Ramp(20000);
    auto backend = MakeWavFileWaveBackend(WriteWav("in.wav", ramp, 8000), "");
    std::unique_ptr<WaveIn> in;
    ASSERT_EQ(backend->OpenIn(in, 1, Pcm(8000, 16), &owner_), MMSYSERR_NOERROR);
    Headers big(1, 16000);
    Headers small(1, 160);
    for (WaveHeader* header : {big[0], small[0]}) {
        in->Prepare(header);
        in->Add(header);
    }
    in->Start();
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    ASSERT_EQ(in->Stop(), MMSYSERR_NOERROR);
    ExpectPosted(owner_, MM_WIM_DATA, big[0], 0);
    const uint32_t held = big[0]->bytesRecorded;
    EXPECT_GT(held, 0u);
    EXPECT_LT(held, 16000u);
    EXPECT_EQ(big.Samples(0, held), std::vector<int16_t>(ramp.begin(), ramp.begin() + held / 2));
    // The empty header stays queued while stopped, and fills once recording resumes.
    EXPECT_FALSE(owner_.Get(100).has_value());
    EXPECT_TRUE(small[0]->flags & WHDR_INQUEUE);
    in->Start();
    ExpectPosted(owner_, MM_WIM_DATA, small[0]);
    EXPECT_EQ(small[0]->bytesRecorded, 160u);
    EXPECT_EQ(in->Close(), MMSYSERR_NOERROR);
}

TEST_F(WaveRecordTest, ResetReturnsEveryHeaderAndNothingIsPostedAfterClose) {
    auto backend = MakeWavFileWaveBackend(WriteWav("in.wav", Ramp(20000), 8000), "");
    std::unique_ptr<WaveIn> in;
    ASSERT_EQ(backend->OpenIn(in, 1, Pcm(8000, 16), &owner_), MMSYSERR_NOERROR);
    Headers h(3, 16000);
    for (int i = 0; i < 3; ++i) {
        in->Prepare(h[i]);
        in->Add(h[i]);
    }
    in->Start();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(in->Close(), WAVERR_STILLPLAYING);
    ASSERT_EQ(in->Reset(), MMSYSERR_NOERROR);
    for (size_t i = 0; i < 3; ++i)
        ExpectPosted(owner_, MM_WIM_DATA, h[i], 0);
    EXPECT_GT(h[0]->bytesRecorded, 0u);
    EXPECT_EQ(h[1]->bytesRecorded, 0u);
    EXPECT_EQ(h[2]->bytesRecorded, 0u);
    in->Start();
    EXPECT_EQ(in->Close(), MMSYSERR_NOERROR);
    EXPECT_FALSE(owner_.Get(100).has_value());
}

TEST_F(WaveRecordTest, MixesAStereoFileDownToMono) {
    std::vector<int16_t> stereo;
    for (int16_t i = 0; i < 400; ++i) {
        stereo.push_back(static_cast<int16_t>(1000 + i));
        stereo.push_back(static_cast<int16_t>(-3000 + i));
    }
    auto backend = MakeWavFileWaveBackend(WriteWav("stereo.wav", stereo, 8000, 2), "");
    std::unique_ptr<WaveIn> in;
    ASSERT_EQ(backend->OpenIn(in, 1, Pcm(8000, 16), &owner_), MMSYSERR_NOERROR);
    Headers h(1, 800);
    in->Prepare(h[0]);
    in->Add(h[0]);
    in->Start();
    ExpectPosted(owner_, MM_WIM_DATA, h[0]);
    const std::vector<int16_t> mono = h.Samples(0, 800);
    for (int16_t i = 0; i < 400; ++i)
        ASSERT_EQ(mono[static_cast<size_t>(i)], -1000 + i);
    in->Close();
}

TEST_F(WaveRecordTest, ConvertsAFileAtAnotherRateToTheDevicesRateDownOrUp) {
    // A call set to Opus opens the microphone at the plain wire's rate first and at 48000 Hz after the
    // hello: the same file serves both. A 1 kHz tone keeps its pitch, level and length either way.
    for (const auto& [fileRate, deviceRate] : {std::pair{48000, 11025}, std::pair{8000, 48000}}) {
        std::vector<int16_t> tone(static_cast<size_t>(fileRate / 5));  // 200 ms
        for (size_t i = 0; i < tone.size(); ++i)
            tone[i] =
                static_cast<int16_t>(10000 * std::sin(2 * M_PI * 1000 * static_cast<double>(i) / fileRate));
        auto backend = MakeWavFileWaveBackend(WriteWav("tone.wav", tone, fileRate), "");
        std::unique_ptr<WaveIn> in;
        ASSERT_EQ(backend->OpenIn(in, 1, Pcm(static_cast<uint32_t>(deviceRate), 16), &owner_),
                  MMSYSERR_NOERROR)
            << backend->ErrorText(WAVERR_BADFORMAT);
        const size_t bytes = static_cast<size_t>(deviceRate) / 10 * 2;  // 100 ms a header
        Headers h(3, bytes);
        for (int i = 0; i < 3; ++i) {
            in->Prepare(h[i]);
            in->Add(h[i]);
        }
        ASSERT_EQ(in->Start(), MMSYSERR_NOERROR);
        std::vector<int16_t> got;
        for (size_t i = 0; i < 3; ++i) {
            ExpectPosted(owner_, MM_WIM_DATA, h[i]);
            const std::vector<int16_t> part = h.Samples(i, bytes);
            got.insert(got.end(), part.begin(), part.end());
        }
        in->Reset();
        in->Close();
        // The tone's 200 ms at the device's rate, give or take the converter's few milliseconds, then
        // silence.
        const auto last = std::find_if(got.rbegin(), got.rend(), [](int16_t v) { return v != 0; });
        const double lengthMs = 1000.0 * static_cast<double>(got.rend() - last) / deviceRate;
        EXPECT_NEAR(lengthMs, 200, 5) << fileRate << " to " << deviceRate;
        const size_t middle = static_cast<size_t>(deviceRate) / 10;  // 100 ms from 50 ms on
        double energy = 0;
        int crossings = 0;
        for (size_t i = middle / 2; i < middle / 2 + middle; ++i) {
            energy += static_cast<double>(got[i]) * got[i];
            crossings += (got[i - 1] < 0) != (got[i] < 0) ? 1 : 0;
        }
        EXPECT_NEAR(std::sqrt(energy / static_cast<double>(middle)), 10000 / std::sqrt(2.0), 300)
            << fileRate << " to " << deviceRate;
        EXPECT_NEAR(crossings, 200, 2) << "1 kHz crosses zero 200 times in 100 ms";
    }
}

TEST_F(WaveRecordTest, RefusesAFileAtARateOutsideFourThousandTo192000HzNamingIt) {
    for (const int rate : {3999, 4000, 192000, 192001}) {
        const std::string path = WriteWav("odd.wav", Ramp(100), rate);
        auto backend = MakeWavFileWaveBackend(path, "");
        std::unique_ptr<WaveIn> in;
        const bool taken = rate >= 4000 && rate <= 192000;
        EXPECT_EQ(backend->OpenIn(in, 1, Pcm(8000, 16), &owner_), taken ? MMSYSERR_NOERROR : WAVERR_BADFORMAT)
            << rate;
        EXPECT_EQ(static_cast<bool>(in), taken) << rate;
        if (in) {
            in->Close();
            continue;
        }
        const std::string text = backend->ErrorText(WAVERR_BADFORMAT);
        EXPECT_NE(text.find(path), std::string::npos) << text;
        EXPECT_NE(
            text.find("sampled at " + std::to_string(rate) + " Hz; the device takes 4000 to 192000 Hz."),
            std::string::npos)
            << text;
    }
}

TEST_F(WaveRecordTest, RefusesFilesItCannotReadWithoutCrashing) {
    const std::string valid = WriteWav("valid.wav", Ramp(1000), 8000);
    std::ifstream source(valid, std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(source)), std::istreambuf_iterator<char>());
    const auto write = [&](const char* name, const std::vector<char>& content) {
        std::ofstream(Path(name), std::ios::binary)
            .write(content.data(), static_cast<std::streamsize>(content.size()));
        return Path(name);
    };
    std::vector<char> garbage(4096);
    for (size_t i = 0; i < garbage.size(); ++i)
        garbage[i] = static_cast<char>(i * 7919 % 251);
    std::vector<char> lying = bytes;
    lying[22] = 0;  // no channels

    const std::vector<char> cut(bytes.begin(), bytes.begin() + 30);
    for (const std::string& path :
         {write("garbage.wav", garbage), write("cut.wav", cut), write("empty.wav", {}),
          write("nochannels.wav", lying), Path("missing.wav")}) {
        auto backend = MakeWavFileWaveBackend(path, "");
        std::unique_ptr<WaveIn> in;
        const MMRESULT result = backend->OpenIn(in, 1, Pcm(8000, 16), &owner_);
        EXPECT_NE(result, MMSYSERR_NOERROR) << path;
        EXPECT_FALSE(in);
        EXPECT_NE(backend->ErrorText(result).find(path), std::string::npos) << backend->ErrorText(result);
    }
}

TEST_F(WaveRecordTest, DevicesWithoutAFileRecordSilence) {
    for (const auto& backend : {MakeWavFileWaveBackend("", ""), MakeNullWaveBackend()}) {
        for (uint16_t bits : {uint16_t{8}, uint16_t{16}}) {
            std::unique_ptr<WaveIn> in;
            ASSERT_EQ(backend->OpenIn(in, 1, Pcm(8000, bits), &owner_), MMSYSERR_NOERROR);
            Headers h(1, 160);
            std::memset(h.buffers[0].data(), 0x55, 160);
            in->Prepare(h[0]);
            in->Add(h[0]);
            in->Start();
            ExpectPosted(owner_, MM_WIM_DATA, h[0]);
            EXPECT_EQ(h.buffers[0], std::vector<uint8_t>(160, bits == 8 ? 0x80 : 0));
            in->Close();
        }
    }
}

// Playback into a WAV file.
using WavePlayTest = WaveFileTest;

TEST_F(WavePlayTest, TheFileHoldsTheWrittenHeadersInOrderWithSilenceAround) {
    const std::string path = Path("out.wav");
    auto backend = MakeWavFileWaveBackend("", path);
    std::unique_ptr<WaveOut> out;
    ASSERT_EQ(backend->OpenOut(out, 1, Pcm(8000, 16), &owner_), MMSYSERR_NOERROR);
    Headers h(3, 500);
    std::vector<int16_t> written;
    for (size_t i = 0; i < 3; ++i) {
        std::vector<int16_t> samples(250);
        for (size_t s = 0; s < samples.size(); ++s)
            samples[s] = static_cast<int16_t>(1000 * (i + 1) + s);
        std::memcpy(h.buffers[i].data(), samples.data(), 500);
        written.insert(written.end(), samples.begin(), samples.end());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    for (size_t i = 0; i < 3; ++i) {
        out->Prepare(h[i]);
        ASSERT_EQ(out->Write(h[i]), MMSYSERR_NOERROR);
    }
    for (size_t i = 0; i < 3; ++i)
        ExpectPosted(owner_, MM_WOM_DONE, h[i]);
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    EXPECT_EQ(out->Close(), MMSYSERR_NOERROR);
    backend.reset();

    SF_INFO info;
    const std::vector<int16_t> file = ReadWav(path, info);
    EXPECT_EQ(info.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    EXPECT_EQ(info.samplerate, 8000);
    EXPECT_EQ(info.channels, 1);
    size_t first = 0;
    while (first < file.size() && file[first] == 0)
        ++first;
    EXPECT_GE(first, 80u);  // at least a chunk of the silence played before anything was written
    ASSERT_GE(file.size(), first + written.size() + 200);
    EXPECT_EQ(std::vector<int16_t>(file.begin() + static_cast<long>(first),
                                   file.begin() + static_cast<long>(first + written.size())),
              written);
    for (size_t i = first + written.size(); i < file.size(); ++i)
        ASSERT_EQ(file[i], 0) << i;
}

TEST_F(WavePlayTest, EightBitFormatsWriteAnUnsignedEightBitFileAtTheSetVolume) {
    const std::string path = Path("out8.wav");
    auto backend = MakeWavFileWaveBackend("", path);
    std::unique_ptr<WaveOut> out;
    ASSERT_EQ(backend->OpenOut(out, 1, Pcm(11025, 8), &owner_), MMSYSERR_NOERROR);
    Headers h(2, 110);
    std::memset(h.buffers[0].data(), 0xC0, 110);  // +64
    std::memset(h.buffers[1].data(), 0xC0, 110);
    out->Prepare(h[0]);
    out->Write(h[0]);
    ExpectPosted(owner_, MM_WOM_DONE, h[0]);
    out->SetVolume(0x8000'8000);  // half
    out->Prepare(h[1]);
    out->Write(h[1]);
    ExpectPosted(owner_, MM_WOM_DONE, h[1]);
    out->Close();
    backend.reset();

    SF_INFO info;
    const std::vector<int16_t> file = ReadWav(path, info);
    EXPECT_EQ(info.format, SF_FORMAT_WAV | SF_FORMAT_PCM_U8);
    std::vector<int16_t> loud;
    for (int16_t sample : file) {
        if (sample != 0)
            loud.push_back(sample);
    }
    ASSERT_EQ(loud.size(), 220u);
    EXPECT_EQ(loud.front(), 64 * 256);
    EXPECT_EQ(loud.back(), 32 * 256);
}

TEST_F(WavePlayTest, ResetHandsEveryQueuedHeaderBackAtOnce) {
    auto backend = MakeNullWaveBackend();
    std::unique_ptr<WaveOut> out;
    ASSERT_EQ(backend->OpenOut(out, 1, Pcm(8000, 16), &owner_), MMSYSERR_NOERROR);
    Headers h(5, 16000);
    for (int i = 0; i < 5; ++i) {
        out->Prepare(h[i]);
        out->Write(h[i]);
    }
    const auto start = Clock::now();
    ASSERT_EQ(out->Reset(), MMSYSERR_NOERROR);
    for (size_t i = 0; i < 5; ++i)
        ExpectPosted(owner_, MM_WOM_DONE, h[i], 0);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500));
    EXPECT_EQ(out->Close(), MMSYSERR_NOERROR);
    EXPECT_FALSE(owner_.Get(50).has_value());
}

TEST_F(WavePlayTest, ReopenedPlaybackAddsToTheFileWhichServesOneDeviceAtATime) {
    const std::string path = Path("out.wav");
    auto backend = MakeWavFileWaveBackend("", path);
    Headers h(2, 200);
    for (size_t i = 0; i < 2; ++i) {
        std::vector<int16_t> samples(100, static_cast<int16_t>(100 * (i + 1)));
        std::memcpy(h.buffers[i].data(), samples.data(), 200);
        std::unique_ptr<WaveOut> out;
        ASSERT_EQ(backend->OpenOut(out, 1, Pcm(8000, 16), &owner_), MMSYSERR_NOERROR);
        std::unique_ptr<WaveOut> second;
        EXPECT_EQ(backend->OpenOut(second, 1, Pcm(8000, 16), &owner_), MMSYSERR_ALLOCATED);
        EXPECT_FALSE(second);
        out->Prepare(h[i]);
        out->Write(h[i]);
        ExpectPosted(owner_, MM_WOM_DONE, h[i]);
        ASSERT_EQ(out->Close(), MMSYSERR_NOERROR);
    }
    backend.reset();
    SF_INFO info;
    std::vector<int16_t> loud;
    for (int16_t sample : ReadWav(path, info)) {
        if (sample != 0)
            loud.push_back(sample);
    }
    ASSERT_EQ(loud.size(), 200u);
    EXPECT_EQ(loud.front(), 100);
    EXPECT_EQ(loud.back(), 200);
}

TEST_F(WavePlayTest, RefusesAnOutputPathItCannotWrite) {
    const std::string path = Path("no-such-dir/out.wav");
    auto backend = MakeWavFileWaveBackend("", path);
    std::unique_ptr<WaveOut> out;
    const MMRESULT result = backend->OpenOut(out, 1, Pcm(8000, 16), &owner_);
    EXPECT_NE(result, MMSYSERR_NOERROR);
    EXPECT_FALSE(out);
    EXPECT_NE(backend->ErrorText(result).find(path), std::string::npos);
}

TEST(PortAudioWaveTest, RefusesDevicesItDoesNotHaveWithoutCrashing) {
    // Whatever this machine has (often nothing without a sound server), numbers past the list are refused.
    for (int round = 0; round < 2; ++round) {
        auto backend = MakePortAudioWaveBackend();
        MessageQueue owner;
        const size_t inputs = backend->InputDevices().size();
        const size_t outputs = backend->OutputDevices().size();
        std::unique_ptr<WaveIn> in;
        std::unique_ptr<WaveOut> out;
        EXPECT_EQ(backend->OpenIn(in, static_cast<int>(inputs) + 1, Pcm(8000, 16), &owner),
                  MMSYSERR_BADDEVICEID);
        EXPECT_EQ(backend->OpenOut(out, static_cast<int>(outputs) + 1, Pcm(8000, 16), &owner),
                  MMSYSERR_BADDEVICEID);
        if (inputs == 0) {
            EXPECT_EQ(backend->OpenIn(in, WAVE_MAPPER, Pcm(8000, 16), &owner), MMSYSERR_NODRIVER);
            EXPECT_NE(backend->ErrorText(MMSYSERR_NODRIVER).find("sound server"), std::string::npos);
        }
        EXPECT_FALSE(in || out);
        std::ostringstream listing;
        WriteWaveDeviceList(*backend, listing);
        EXPECT_EQ(listing.str().rfind("Recording devices:\n", 0), 0u);
    }
}

// Pacing: the simulated devices run in real time.
TEST(WavePacingRealtime, RecordingAndPlaybackTakeOneSecondPerSecondOfAudio) {
    for (const auto& backend : {MakeNullWaveBackend(), MakeWavFileWaveBackend("", "")}) {
        MessageQueue owner;
        std::unique_ptr<WaveIn> in;
        std::unique_ptr<WaveOut> out;
        ASSERT_EQ(backend->OpenIn(in, 1, Pcm(11025, 16), &owner), MMSYSERR_NOERROR);
        ASSERT_EQ(backend->OpenOut(out, 1, Pcm(11025, 16), &owner), MMSYSERR_NOERROR);
        Headers recorded(10, 2205);  // 100 ms each, odd on purpose
        Headers played(10, 2206);
        for (size_t i = 0; i < 10; ++i) {
            in->Prepare(recorded[i]);
            in->Add(recorded[i]);
            out->Prepare(played[i]);
        }
        const auto start = Clock::now();
        in->Start();
        for (size_t i = 0; i < 10; ++i)
            out->Write(played[i]);
        int left = 20;
        while (left > 0 && owner.Get(3000).has_value())
            --left;
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        EXPECT_EQ(left, 0);
        EXPECT_NEAR(seconds, 1.0, 0.15) << backend->Name();
        in->Close();
        out->Close();
    }
}

TEST(WavePacingRealtime, CatchesUpAfterAShortStallAndSkipsALongOne) {
    const auto time = [](ChunkPacer& pacer, int chunks) {
        const auto start = Clock::now();
        for (int i = 0; i < chunks; ++i)
            pacer.Wait(10);  // 10 ms each at 1000 Hz
        return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    };
    ChunkPacer pacer(1000);
    EXPECT_NEAR(time(pacer, 10), 100, 20);
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    EXPECT_NEAR(time(pacer, 10), 40, 20);  // the 60 ms are made up
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    EXPECT_NEAR(time(pacer, 10), 90, 20);  // the 400 ms are not
}
