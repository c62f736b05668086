// Test support for the iLBC coder: where the RFC 3951 conformance vectors are, reading them, and
// comparing decoded sound. The vectors stay outside the repository; tests skip when they are absent.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "audio/ilbc/IlbcDecoder.h"
#include "audio/ilbc/IlbcEncoder.h"
#include "audio/ilbc/IlbcMode.h"

namespace ilbc_test {

// $QPARLIN_ILBC_VECTORS, else the shared folder beside the source tree, else the team's shared folder.
inline std::filesystem::path VectorDir() {
    if (const char* env = std::getenv("QPARLIN_ILBC_VECTORS"); env != nullptr && *env != '\0')
        return env;
    const auto beside = std::filesystem::path(QPARLIN_SOURCE_DIR) / ".." / "shared" / "ilbc" / "vectors";
    if (std::filesystem::exists(beside / "iLBC.INP"))
        return beside;
    return "/work/shared/ilbc/vectors";
}

inline bool HaveVectors() {
    const auto dir = VectorDir();
    for (const char* name :
         {"iLBC.INP", "iLBC_20ms.BIT", "iLBC_30ms.BIT", "clean.chn", "tlm05.chn", "iLBC_20ms_clean.OUT",
          "iLBC_30ms_clean.OUT", "iLBC_20ms_tlm05.OUT", "iLBC_30ms_tlm05.OUT"}) {
        if (!std::filesystem::exists(dir / name))
            return false;
    }
    return true;
}

inline std::string MissingVectorsMessage() {
    return "iLBC conformance vectors not found in " + VectorDir().string() +
           " (set QPARLIN_ILBC_VECTORS to the folder holding iLBC.INP and the .BIT, .OUT and .chn files)";
}

inline const char* ModeName(ilbc::Mode mode) {
    return mode == ilbc::Mode::k20ms ? "20ms" : "30ms";
}

inline std::vector<uint8_t> ReadBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Headerless signed 16-bit little-endian samples.
inline std::vector<int16_t> ReadSamples(const std::filesystem::path& path) {
    const std::vector<uint8_t> bytes = ReadBytes(path);
    std::vector<int16_t> samples(bytes.size() / 2);
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<int16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    return samples;
}

inline std::vector<uint8_t> VectorBits(ilbc::Mode mode) {
    return ReadBytes(VectorDir() / (std::string("iLBC_") + ModeName(mode) + ".BIT"));
}

// Every whole block of `input` through a fresh encoder.
inline std::vector<uint8_t> EncodeAll(ilbc::Mode mode, const std::vector<int16_t>& input) {
    ilbc::Encoder encoder(mode);
    const auto block = static_cast<size_t>(encoder.BlockSamples());
    const auto frameBytes = static_cast<size_t>(encoder.FrameBytes());
    std::vector<uint8_t> bits(input.size() / block * frameBytes);
    for (size_t f = 0; f < input.size() / block; ++f)
        encoder.Encode(input.data() + f * block, bits.data() + f * frameBytes);
    return bits;
}

// Voiced speech-like sound at 8000 Hz: a pulse train with a gliding pitch through two formant resonators,
// with syllable-like loudness changes and a little noise.
inline std::vector<int16_t> SpeechLike(int count, unsigned seed = 1) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> noise(0.0, 0.02);
    std::vector<int16_t> out(static_cast<size_t>(count));
    double phase = 0.0;
    double y1[2] = {}, y2[2] = {};
    const double formant[2] = {700.0, 1200.0};
    for (int n = 0; n < count; ++n) {
        const double t = n / 8000.0;
        const double pitch = 120.0 + 40.0 * std::sin(2 * std::numbers::pi * 0.7 * t);
        phase += pitch / 8000.0;
        double x = noise(rng);
        if (phase >= 1.0) {
            phase -= 1.0;
            x += 1.0;
        }
        double v = 0.0;
        for (int f = 0; f < 2; ++f) {
            const double r = 0.97;
            const double c = 2 * r * std::cos(2 * std::numbers::pi * formant[f] / 8000.0);
            const double y = x + c * y1[f] - r * r * y2[f];
            y2[f] = y1[f];
            y1[f] = y;
            v += y;
        }
        const double loudness = 0.6 + 0.4 * std::sin(2 * std::numbers::pi * 3.0 * t);
        out[static_cast<size_t>(n)] =
            static_cast<int16_t>(std::clamp(v * 900.0 * loudness, -32000.0, 32000.0));
    }
    return out;
}

// SNR in dB of `ours` against `reference` over their common length (200 when identical).
inline double Snr(const std::vector<int16_t>& ours, const std::vector<int16_t>& reference) {
    double signal = 0.0;
    double noise = 0.0;
    for (size_t i = 0; i < std::min(ours.size(), reference.size()); ++i) {
        const double diff = static_cast<double>(ours[i]) - reference[i];
        signal += static_cast<double>(reference[i]) * reference[i];
        noise += diff * diff;
    }
    return noise == 0.0 ? 200.0 : 10.0 * std::log10(signal / noise);
}

}  // namespace ilbc_test
