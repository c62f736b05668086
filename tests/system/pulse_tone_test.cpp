// Plays a 1 kHz tone through the PortAudio backend, then through the sound-server backend, into a private
// PulseAudio null sink while recording the sink's monitor (the default source), and checks that the tone
// comes back at the frequency and level it was played at, without gaps, at 22050 and 11025 Hz. Needs the
// daemon of `scripts/pulse-server start` and its environment.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/MessageQueue.h"
#include "platform/wave/Wave.h"

namespace {

constexpr size_t kHeaders = 12;
constexpr double kFrameSeconds = 0.02;
constexpr double kToneHz = 1000.0;
constexpr double kAmplitude = 16384.0;  // -6 dBFS
constexpr double kToneSeconds = 1.5;
constexpr double kRecordSeconds = 2.5;
constexpr double kPi = 3.14159265358979323846;

int failures = 0;

void Check(bool ok, const char* what) {
    std::printf("%s: %s\n", ok ? "ok  " : "FAIL", what);
    if (!ok)
        ++failures;
}

struct Buffers {
    explicit Buffers(size_t bytes) : data(kHeaders, std::vector<uint8_t>(bytes)), headers(kHeaders) {
        for (size_t i = 0; i < kHeaders; ++i) {
            headers[i].data = data[i].data();
            headers[i].bufferLength = static_cast<uint32_t>(bytes);
        }
    }
    std::vector<std::vector<uint8_t>> data;
    std::vector<WaveHeader> headers;
};

double Rms(const std::vector<double>& x, size_t begin, size_t end) {
    double sum = 0;
    for (size_t i = begin; i < end; ++i)
        sum += x[i] * x[i];
    return std::sqrt(sum / static_cast<double>(end - begin));
}

double Dbfs(double rms) {
    return 20 * std::log10(rms / 32768.0 + 1e-12);
}

// Frequency from the rising zero crossings, each placed between its two samples.
double ZeroCrossingFrequency(const std::vector<double>& x, size_t begin, size_t end, uint32_t rate) {
    double first = -1;
    double last = -1;
    int crossings = 0;
    for (size_t i = begin + 1; i < end; ++i) {
        if (x[i - 1] < 0 && x[i] >= 0) {
            const double at = static_cast<double>(i - 1) + x[i - 1] / (x[i - 1] - x[i]);
            if (first < 0)
                first = at;
            last = at;
            ++crossings;
        }
    }
    if (crossings < 2)
        return 0;
    return (crossings - 1) * static_cast<double>(rate) / (last - first);
}

class ToneRun {
public:
    explicit ToneRun(uint32_t rate)
        : rate_(rate),
          frameSamples_(static_cast<size_t>(rate * kFrameSeconds)),
          played_(frameSamples_ * 2),
          captured_(frameSamples_ * 2) {
        format_.samplesPerSec = rate;
        format_.bitsPerSample = 16;
        format_.blockAlign = 2;
        format_.avgBytesPerSec = rate * 2;
    }

    // Plays and records; false (with the reason printed) when the devices did not work.
    bool Record(WaveBackend& backend) {
        std::unique_ptr<WaveOut> out;
        std::unique_ptr<WaveIn> in;
        MMRESULT result = backend.OpenOut(out, WAVE_MAPPER, format_, &owner_);
        if (result != MMSYSERR_NOERROR) {
            std::printf("FAIL: OpenOut: %s\n", backend.ErrorText(result).c_str());
            return false;
        }
        result = backend.OpenIn(in, WAVE_MAPPER, format_, &owner_);
        if (result != MMSYSERR_NOERROR) {
            std::printf("FAIL: OpenIn: %s\n", backend.ErrorText(result).c_str());
            return false;
        }
        out->SetVolume(0xFFFFFFFF);
        for (WaveHeader& header : played_.headers) {
            FillFrame(header);
            out->Prepare(&header);
            out->Write(&header);
        }
        for (WaveHeader& header : captured_.headers) {
            in->Prepare(&header);
            in->Add(&header);
        }
        in->Start();

        const auto wanted = static_cast<size_t>(rate_ * kRecordSeconds);
        while (recording_.size() < wanted) {
            const auto message = owner_.Get(5000);
            if (!message) {
                std::printf("FAIL: the devices stopped posting buffers\n");
                return false;
            }
            auto* header = reinterpret_cast<WaveHeader*>(message->lParam);
            if (message->message == MM_WIM_DATA) {
                std::vector<int16_t> samples(header->bytesRecorded / 2);
                std::memcpy(samples.data(), header->data, samples.size() * 2);
                recording_.insert(recording_.end(), samples.begin(), samples.end());
                in->Add(header);
            } else if (message->message == MM_WOM_DONE) {
                FillFrame(*header);
                out->Write(header);
            }
        }
        in->Reset();
        out->Reset();
        while (owner_.Get(0).has_value()) {
        }
        const bool closedIn = in->Close() == MMSYSERR_NOERROR;
        const bool closedOut = out->Close() == MMSYSERR_NOERROR;
        Check(closedIn && closedOut, "both devices close once every buffer is back");
        return true;
    }

    void Analyse() {
        size_t onset = 0;
        while (onset < recording_.size() && std::fabs(recording_[onset]) < kAmplitude / 16)
            ++onset;
        // Leave out the start, where the sound server's resampler settles, and the end of the tone.
        const size_t begin = onset + rate_ / 5;
        const size_t end = begin + rate_;
        if (end > recording_.size() || end > onset + static_cast<size_t>(rate_ * kToneSeconds)) {
            std::printf("FAIL: no tone long enough in the recording (onset at sample %zu of %zu)\n", onset,
                        recording_.size());
            ++failures;
            return;
        }
        const double frequency = ZeroCrossingFrequency(recording_, begin, end, rate_);
        const double playedDb = Dbfs(kAmplitude / std::sqrt(2.0));
        const double recordedDb = Dbfs(Rms(recording_, begin, end));
        double quietest = 0;
        double loudest = -300;
        const size_t block = rate_ / 20;
        for (size_t at = begin; at + block <= end; at += block) {
            quietest = std::min(quietest, Dbfs(Rms(recording_, at, at + block)));
            loudest = std::max(loudest, Dbfs(Rms(recording_, at, at + block)));
        }
        std::printf("tone arrived after %.1f ms of recording\n", 1000.0 * static_cast<double>(onset) / rate_);
        std::printf("frequency: played %.1f Hz, recorded %.2f Hz (%+.3f %%)\n", kToneHz, frequency,
                    100 * (frequency - kToneHz) / kToneHz);
        std::printf("level (RMS): played %.2f dBFS, recorded %.2f dBFS (%+.3f dB)\n", playedDb, recordedDb,
                    recordedDb - playedDb);
        std::printf("level of 50 ms blocks: %.2f to %.2f dBFS\n", quietest, loudest);
        Check(std::fabs(frequency - kToneHz) <= 0.02 * kToneHz, "frequency within 2 %");
        Check(std::fabs(recordedDb - playedDb) <= 1.0, "level within 1 dB");
        Check(loudest - quietest <= 1.0, "no gaps: every 50 ms block within 1 dB of the others");
    }

private:
    // The next frame to play: the tone for its first kToneSeconds, then silence.
    void FillFrame(WaveHeader& header) {
        std::vector<int16_t> samples(frameSamples_, 0);
        for (size_t i = 0; i < frameSamples_; ++i, ++sample_) {
            const double t = static_cast<double>(sample_) / rate_;
            if (t < kToneSeconds) {
                samples[i] = static_cast<int16_t>(std::lround(kAmplitude * std::sin(2 * kPi * kToneHz * t)));
            }
        }
        std::memcpy(header.data, samples.data(), frameSamples_ * sizeof(int16_t));
    }

    uint32_t rate_;
    size_t frameSamples_;
    WaveFormat format_;
    MessageQueue owner_;
    Buffers played_;
    Buffers captured_;
    size_t sample_ = 0;
    std::vector<double> recording_;
};

}  // namespace

int main() {
    std::string problem;
    std::unique_ptr<WaveBackend> backends[] = {MakePortAudioWaveBackend(), MakePulseWaveBackend({}, problem)};
    if (!backends[1]) {
        std::printf("FAIL: the sound server does not answer (%s); is the private daemon running?\n",
                    problem.c_str());
        return 1;
    }
    for (const std::unique_ptr<WaveBackend>& backend : backends) {
        if (backend->InputDevices().empty() || backend->OutputDevices().empty()) {
            std::printf("FAIL: %s lists no devices; is the private PulseAudio daemon running?\n",
                        backend->Name().c_str());
            return 1;
        }
        for (uint32_t rate : {22050u, 11025u}) {
            std::printf("-- %s, 16 bits, %u Hz\n", backend->Name().c_str(), rate);
            ToneRun run(rate);
            if (!run.Record(*backend))
                return 1;
            run.Analyse();
        }
    }
    return failures == 0 ? 0 : 1;
}
