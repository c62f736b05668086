// Reading and writing the benches' mono 16-bit WAV files (libsndfile), with the checks every bench makes.
#pragma once

#include <sndfile.h>

#include <cstdint>
#include <cstdio>
#include <optional>
#include <vector>

namespace speech_files {

// `samples` as a mono 16-bit WAV file at `rate`; false, with a line on stderr naming `program`, on failure.
inline bool Write(const char* program, const char* path, const std::vector<int16_t>& samples, int rate) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open(path, SFM_WRITE, &info);
    if (file == nullptr) {
        std::fprintf(stderr, "%s: %s: %s\n", program, path, sf_strerror(nullptr));
        return false;
    }
    const sf_count_t count = static_cast<sf_count_t>(samples.size());
    const bool written = sf_write_short(file, samples.data(), count) == count;
    sf_close(file);
    return written;
}

// The samples of a mono file at `rate`, an hour at most; nothing, with a line on stderr, otherwise.
inline std::optional<std::vector<int16_t>> Read(const char* program, const char* path, int rate) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path, SFM_READ, &info);
    if (file == nullptr || info.channels != 1 || info.samplerate != rate || info.frames <= 0 ||
        info.frames > 3600LL * rate) {
        std::fprintf(stderr, "%s: %s is not mono at %d Hz (an hour at most)\n", program, path, rate);
        if (file != nullptr)
            sf_close(file);
        return std::nullopt;
    }
    std::vector<int16_t> samples(static_cast<size_t>(info.frames));
    samples.resize(static_cast<size_t>(sf_read_short(file, samples.data(), info.frames)));
    sf_close(file);
    return samples;
}

}  // namespace speech_files
