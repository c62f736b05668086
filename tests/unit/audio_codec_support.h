// Helpers shared by the frame codec tests: voice-like test signals, signal measures, buffer contents, and
// running an independent decoder (ffmpeg, sox) on files in a per-test temporary directory.
#pragma once

#include <stdlib.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <numbers>
#include <string>
#include <vector>

#include "audio/SoundCodec.h"
#include "base/ByteBuffer.h"
#include "base/SampleBuffer.h"

namespace codec_test {

using Bytes = std::vector<uint8_t>;
using Samples = std::vector<int16_t>;

// A voiced sound: a buzz whose pitch glides between 80 and 160 Hz, louder in its third to sixth partials,
// in and out four times a second, over a little noise (Opus's voice detector wants all of it); `frames`
// 20 ms frames at `rate`, the noise drawn from `seed`.
inline Samples Speechlike(int rate, int frames, uint32_t seed = 12345) {
    Samples samples(static_cast<size_t>(rate / 50 * frames));
    double phase = 0;
    uint32_t noise = seed;
    for (size_t i = 0; i < samples.size(); ++i) {
        const double t = static_cast<double>(i) / rate;
        phase += 2 * M_PI * (120 + 40 * std::sin(2 * M_PI * 2 * t)) / rate;
        double v = 0;
        for (int h = 1; h <= 20; ++h)
            v += std::sin(h * phase) / h * (h >= 3 && h <= 6 ? 3.0 : 1.0);
        noise = noise * 1664525u + 1013904223u;
        const double hiss = static_cast<double>(noise >> 16) / 65536.0 * 400 - 200;
        samples[i] = static_cast<int16_t>(3000 * (0.5 + 0.5 * std::sin(2 * M_PI * 4 * t)) * v + hiss);
    }
    return samples;
}

inline Bytes Contents(const ByteBuffer& buffer) {
    return Bytes(buffer.Data(), buffer.Data() + buffer.Length());
}
inline Samples Contents(const SampleBuffer& buffer) {
    return Samples(buffer.Data(), buffer.Data() + buffer.Length());
}

inline Samples Widen(const Bytes& in) {
    Samples out;
    for (uint8_t u : in)
        out.push_back(Sample8To16(u));
    return out;
}
inline Bytes Narrow(const Samples& in) {
    Bytes out;
    for (int16_t s : in)
        out.push_back(Sample16To8(s));
    return out;
}

// A second-order resonator, the usual model of one formant.
class Resonator {
public:
    Resonator(double frequency, double bandwidth, double rate) {
        const double r = std::exp(-std::numbers::pi * bandwidth / rate);
        a1_ = 2 * r * std::cos(2 * std::numbers::pi * frequency / rate);
        a2_ = -r * r;
    }
    double operator()(double x) {
        const double y = x + a1_ * y1_ + a2_ * y2_;
        y2_ = y1_;
        y1_ = y;
        return y;
    }

private:
    double a1_, a2_, y1_ = 0, y2_ = 0;
};

// Vowel-like sound at 8000 Hz: a glottal pulse train whose pitch glides between 100 and 150 Hz, through three
// formants, in "syllables" of 250 ms sound and 125 ms near-silence, scaled so the loudest sample is `peak`.
inline Samples VoiceLike(int count, double peak, double rate = 8000.0) {
    Resonator f1(700, 90, rate), f2(1220, 110, rate), f3(2600, 160, rate);
    std::vector<double> wave(static_cast<size_t>(count));
    double phase = 0;
    double loudest = 1e-9;
    for (int n = 0; n < count; ++n) {
        const double t = n / rate;
        const double pitch = 125 + 25 * std::sin(2 * std::numbers::pi * 0.7 * t);
        phase += pitch / rate;
        double pulse = 0;
        if (phase >= 1) {
            phase -= 1;
            pulse = 1;
        }
        const double inSyllable = std::fmod(t, 0.375);
        const double envelope = inSyllable < 0.25 ? std::sin(std::numbers::pi * inSyllable / 0.25) : 0.01;
        const double v = f3(f2(f1(pulse * envelope)));
        wave[static_cast<size_t>(n)] = v;
        loudest = std::max(loudest, std::abs(v));
    }
    Samples out(static_cast<size_t>(count));
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<int16_t>(std::lround(std::clamp(wave[i] / loudest * peak, -32768.0, 32767.0)));
    return out;
}

inline double Rms(const int16_t* samples, size_t count) {
    double sum = 0;
    for (size_t i = 0; i < count; ++i)
        sum += static_cast<double>(samples[i]) * samples[i];
    return count == 0 ? 0.0 : std::sqrt(sum / static_cast<double>(count));
}

// Frame after frame of `voice` through a fresh encoder: one payload per frame.
template <typename Codec>
std::vector<Bytes> EncodeFrames(const Samples& voice) {
    Codec codec;
    std::vector<Bytes> payloads;
    ByteBuffer out;
    for (size_t at = 0; at + Codec::kFrameSamples <= voice.size(); at += Codec::kFrameSamples) {
        codec.Encode16(voice.data() + at, Codec::kFrameSamples, out, false);
        payloads.push_back(Contents(out));
    }
    return payloads;
}

// Payload after payload through `codec`: all the samples, one frame after the other.
inline Samples DecodeFrames(SoundCodec& codec, const std::vector<Bytes>& payloads) {
    Samples all;
    SampleBuffer out;
    for (const Bytes& payload : payloads) {
        codec.Decode16(payload.data(), static_cast<int>(payload.size()), out, false);
        all.insert(all.end(), out.Data(), out.Data() + out.Length());
    }
    return all;
}

inline Bytes Join(const std::vector<Bytes>& payloads) {
    Bytes all;
    for (const Bytes& payload : payloads)
        all.insert(all.end(), payload.begin(), payload.end());
    return all;
}

// A temporary directory of its own for one test, removed with everything in it afterwards.
class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "qp-codec-XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr)
            path_ = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        if (!path_.empty())
            std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    bool Ok() const { return !path_.empty(); }
    std::string Path(const char* name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

// Runs a shell command with its output kept out of the test log; true when it exits with 0.
inline bool RunQuietly(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

inline void WriteFile(const std::string& path, const Bytes& bytes) {
    std::ofstream file(path, std::ios::binary);
    file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// Signed 16-bit little-endian samples, as `-f s16le` and `-t raw -e signed -b 16` write them.
inline Samples ReadRawSamples(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    const Bytes bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    Samples samples(bytes.size() / 2);
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<int16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    return samples;
}

}  // namespace codec_test
