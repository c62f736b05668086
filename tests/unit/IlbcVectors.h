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
