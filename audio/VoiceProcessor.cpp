#include "audio/VoiceProcessor.h"

#include <speex/speex_resampler.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "base/Exception.h"

namespace {

// speexdsp's resampler quality: 1 of 10 costs a million cycles a second less than the 3 it advises for voice,
// with the same echo and double-talk figures in bench/measure_echo.sh (the engine's band is wider anyway).
constexpr int kResamplerQuality = 1;
// The part of the devices' delay left to the canceller to find: delays are reported roughly.
constexpr int kDelayMarginMs = 20;
// Silence a flush runs through the library to empty it: webrtc at 8 kHz still let a few units of a tone
// through after 40 ms, and none after 80.
constexpr int kFlushMs = 80;
// The most the upper band's gain may raise it (the level control's raise of the lower band), and the energy
// per sample (about -70 dBFS) below which a stretch is taken as silence that tells nothing of the gain.
constexpr double kMaxBandGain = 4.0;
constexpr double kBandQuiet = 100.0;

SpeexResamplerState_* MakeResampler(int from, int to) {
    if (from == to)
        return nullptr;
    int error = 0;
    SpeexResamplerState* state = speex_resampler_init(
        1, static_cast<spx_uint32_t>(from), static_cast<spx_uint32_t>(to), kResamplerQuality, &error);
    if (state == nullptr)
        throw MemoryException();
    return state;
}

// Appends `count` samples of `in` to `out`, resampled when there is a resampler.
void Convert(SpeexResamplerState_* resampler, const int16_t* in, size_t count, std::vector<int16_t>& out) {
    if (resampler == nullptr) {
        out.insert(out.end(), in, in + count);
        return;
    }
    spx_uint32_t from = 0, to = 0;
    speex_resampler_get_rate(resampler, &from, &to);
    const size_t start = out.size();
    out.resize(start + count * to / from + 16);
    spx_uint32_t inLength = static_cast<spx_uint32_t>(count);
    spx_uint32_t outLength = static_cast<spx_uint32_t>(out.size() - start);
    speex_resampler_process_int(resampler, 0, in, &inLength, out.data() + start, &outLength);
    out.resize(start + outLength);
}

void Consume(std::vector<int16_t>& buffer, size_t count) {
    buffer.erase(buffer.begin(), buffer.begin() + static_cast<ptrdiff_t>(std::min(count, buffer.size())));
}

}  // namespace

VoiceProcessor::Band VoiceProcessor::ConfiguredBand() {
    const char* band = std::getenv("QPARLIN_VOICE_BAND");
    if (band != nullptr && std::strcmp(band, "whole") == 0)
        return Band::kWhole;
    if (band != nullptr && std::strcmp(band, "split") == 0)
        return Band::kSplit;
    return kDefaultBand;
}

VoiceProcessor::VoiceProcessor(int codecRate, Mode mode, Library library, Band band)
    : codecRate_(codecRate), mode_(mode) {
    if (mode_ == Mode::kOff || codecRate_ <= 0)
        return;
    VoiceEngine::Settings settings;
    settings.echo = true;
    settings.cleanUp = mode_ == Mode::kAll;
    if (library == Library::kWebrtc) {
        engineRate_ = band == Band::kSplit ? WebrtcSplitRate(codecRate_) : WebrtcEngineRate(codecRate_);
        engine_ = MakeWebrtcVoiceEngine(engineRate_, settings);
    } else {
        engineRate_ = SpeexEngineRate(codecRate_);
        engine_ = MakeSpeexVoiceEngine(engineRate_, settings, kTailMs);
    }
    Start();
}

VoiceProcessor::VoiceProcessor(int codecRate, Mode mode, std::unique_ptr<VoiceEngine> engine)
    : codecRate_(codecRate), mode_(mode) {
    if (mode_ == Mode::kOff || codecRate_ <= 0 || !engine || engine->Rate() <= 0 ||
        engine->ChunkSamples() <= 0)
        return;
    engine_ = std::move(engine);
    engineRate_ = engine_->Rate();
    Start();
}

void VoiceProcessor::Start() {
    chunk_ = engine_->ChunkSamples();
    nearIn_ = MakeResampler(codecRate_, engineRate_);
    farIn_ = MakeResampler(codecRate_, engineRate_);
    out_ = MakeResampler(engineRate_, codecRate_);
    if (engineRate_ < codecRate_) {
        split_ = true;
        // A sample comes back from the two resamplers this many samples later (at 11025 Hz through 8000 Hz
        // 23 and a fortieth of a sample: close enough for the two bands to add up to the capture).
        roundTrip_ = speex_resampler_get_input_latency(nearIn_) + speex_resampler_get_output_latency(out_);
        outLatency_ = speex_resampler_get_input_latency(out_);
        nearCodec_.assign(roundTrip_, 0);
    }
}

VoiceProcessor::~VoiceProcessor() {
    for (SpeexResamplerState_* resampler : {nearIn_, farIn_, out_}) {
        if (resampler != nullptr)
            speex_resampler_destroy(resampler);
    }
}

void VoiceProcessor::Played(int stream, const int16_t* samples, int count) {
    if (!engine_ || stream < 0 || samples == nullptr || count <= 0)
        return;
    const size_t maxSamples = static_cast<size_t>(codecRate_) * kMaxReferenceMs / 1000;
    const size_t length = std::min(static_cast<size_t>(count), maxSamples);
    std::lock_guard<std::mutex> guard(referenceLock_);
    if (cursors_.size() <= static_cast<size_t>(stream))
        cursors_.resize(static_cast<size_t>(stream) + 1, 0);
    size_t& cursor = cursors_[static_cast<size_t>(stream)];
    if (reference_.size() < cursor + length)
        reference_.resize(cursor + length, 0);
    for (size_t i = 0; i < length; ++i)
        reference_[cursor + i] += samples[i];
    cursor += length;
    // A capture that stopped taking leaves only the newest second.
    if (reference_.size() > maxSamples) {
        const size_t excess = reference_.size() - maxSamples;
        reference_.erase(reference_.begin(), reference_.begin() + static_cast<ptrdiff_t>(excess));
        for (size_t& other : cursors_)
            other = other > excess ? other - excess : 0;
    }
}

void VoiceProcessor::SetDeviceDelayMs(int delayMs) {
    const int held = std::clamp(delayMs - kDelayMarginMs, 0, kMaxReferenceMs);
    delaySamples_.store(static_cast<int>(static_cast<int64_t>(held) * codecRate_ / 1000),
                        std::memory_order_relaxed);
    if (engine_)
        engine_->SetDelayHintMs(std::max(0, delayMs - held));
}

void VoiceProcessor::TakeReference(int16_t* out, int count) {
    const size_t wanted = static_cast<size_t>(count);
    // The delay line holds the reference back by the devices' delay: it keeps exactly that much.
    const size_t delay = static_cast<size_t>(delaySamples_.load(std::memory_order_relaxed));
    if (delayLine_.size() < delay)
        delayLine_.insert(delayLine_.begin(), delay - delayLine_.size(), 0);
    else
        Consume(delayLine_, delayLine_.size() - delay);
    {
        std::lock_guard<std::mutex> guard(referenceLock_);
        const size_t available = std::min(wanted, reference_.size());
        for (size_t i = 0; i < available; ++i)
            delayLine_.push_back(static_cast<int16_t>(std::clamp(reference_[i], -32768, 32767)));
        delayLine_.insert(delayLine_.end(), wanted - available, 0);
        reference_.erase(reference_.begin(), reference_.begin() + static_cast<ptrdiff_t>(available));
        for (size_t& cursor : cursors_)
            cursor = cursor > wanted ? cursor - wanted : 0;
    }
    std::copy_n(delayLine_.begin(), wanted, out);
    Consume(delayLine_, wanted);
}

void VoiceProcessor::Process(int16_t* samples, int count) {
    if (!engine_ || samples == nullptr || count <= 0)
        return;
    const size_t length = static_cast<size_t>(count);
    farCodec_.resize(length);
    TakeReference(farCodec_.data(), count);
    Convert(nearIn_, samples, length, nearEngine_);
    if (split_)
        nearCodec_.insert(nearCodec_.end(), samples, samples + length);
    Convert(farIn_, farCodec_.data(), length, farEngine_);
    RunChunks();
    if (split_) {
        AddUpperBand();
    } else {
        Convert(out_, outEngine_.data(), outEngine_.size(), output_);
        outEngine_.clear();
    }
    // The first buffers find less processed audio than they hold: they begin with silence, once, and with a
    // chunk's worth more, since a buffer that is no whole number of chunks finds a chunk less now and then;
    // topped up only by what was short, it would get a few samples of silence in the middle of speech.
    if (output_.size() < length) {
        const size_t chunkCodec = (static_cast<size_t>(chunk_) * static_cast<size_t>(codecRate_) +
                                   static_cast<size_t>(engineRate_) - 1) /
                                  static_cast<size_t>(engineRate_);
        output_.insert(output_.begin(), length - output_.size() + (primed_ ? 0 : chunkCodec), 0);
        primed_ = true;
    }
    std::copy_n(output_.begin(), length, samples);
    Consume(output_, length);
    cancelling_.store(engine_->Cancelling(), std::memory_order_relaxed);
}

void VoiceProcessor::Flush() {
    for (std::vector<int16_t>* buffer : {&nearEngine_, &farEngine_, &outEngine_, &output_, &delayLine_})
        buffer->clear();
    for (SpeexResamplerState_* resampler : {nearIn_, farIn_, out_}) {
        if (resampler != nullptr)
            speex_resampler_reset_mem(resampler);
    }
    nearCodec_.assign(roundTrip_, 0);
    primed_ = false;
    lowerEngine_.clear();
    gains_.clear();
    gainsStart_ = 0;
    codecDone_ = 0;
    bandGain_ = 1.0;
    if (!engine_)
        return;
    // The library holds a little audio of its own (band filters, block buffers): silence pushes it out.
    std::vector<int16_t> far(static_cast<size_t>(chunk_), 0);
    std::vector<int16_t> near(static_cast<size_t>(chunk_), 0);
    const int chunks = std::max(1, engineRate_ * kFlushMs / 1000 / chunk_);
    for (int i = 0; i < chunks; ++i) {
        std::fill(near.begin(), near.end(), 0);
        engine_->Process(far.data(), near.data());
    }
}

void VoiceProcessor::RunChunks() {
    const size_t chunk = static_cast<size_t>(chunk_);
    size_t done = 0;
    while (nearEngine_.size() - done >= chunk && farEngine_.size() - done >= chunk) {
        if (split_) {
            scratch_.assign(nearEngine_.begin() + static_cast<ptrdiff_t>(done),
                            nearEngine_.begin() + static_cast<ptrdiff_t>(done + chunk));
            engine_->Process(farEngine_.data() + done, nearEngine_.data() + done);
            TakeGain(scratch_.data(), nearEngine_.data() + done);
        } else {
            engine_->Process(farEngine_.data() + done, nearEngine_.data() + done);
            outEngine_.insert(outEngine_.end(), nearEngine_.begin() + static_cast<ptrdiff_t>(done),
                              nearEngine_.begin() + static_cast<ptrdiff_t>(done + chunk));
        }
        done += chunk;
    }
    Consume(nearEngine_, done);
    Consume(farEngine_, done);
}

void VoiceProcessor::TakeGain(const int16_t* in, const int16_t* out) {
    const size_t chunk = static_cast<size_t>(chunk_);
    const double quiet = kBandQuiet * static_cast<double>(chunk);
    double inEnergy = quiet, outEnergy = quiet;
    for (size_t i = 0; i < chunk; ++i) {
        inEnergy += static_cast<double>(in[i]) * in[i];
        outEnergy += static_cast<double>(out[i]) * out[i];
    }
    const double target = std::min(kMaxBandGain, std::sqrt(outEnergy / inEnergy));
    // The gain moves across the chunk rather than at its start, so that it never clicks.
    const double step = (target - bandGain_) / static_cast<double>(chunk);
    for (size_t i = 0; i < chunk; ++i) {
        bandGain_ += step;
        // What the library made less the lower band of the capture at the upper band's gain: brought back to
        // the codec's rate and added to the whole capture at that gain, it leaves the library's lower band
        // and the upper band scaled, without resampling the capture's lower band back on its own.
        lowerEngine_.push_back(static_cast<float>(out[i] - bandGain_ * in[i]));
        gains_.push_back(static_cast<float>(bandGain_));
    }
    bandGain_ = target;
}

void VoiceProcessor::AddUpperBand() {
    lowerCodec_.resize(
        lowerEngine_.size() * static_cast<size_t>(codecRate_) / static_cast<size_t>(engineRate_) + 16);
    spx_uint32_t inLength = static_cast<spx_uint32_t>(lowerEngine_.size());
    spx_uint32_t outLength = static_cast<spx_uint32_t>(lowerCodec_.size());
    speex_resampler_process_float(out_, 0, lowerEngine_.data(), &inLength, lowerCodec_.data(), &outLength);
    lowerEngine_.clear();
    const size_t made = std::min(static_cast<size_t>(outLength), nearCodec_.size());
    // Where in gains_ the library's output was that each sample is made from: the resampler's delay before.
    const double step = static_cast<double>(engineRate_) / codecRate_;
    const double first = static_cast<double>(codecDone_) * step - static_cast<double>(outLatency_) -
                         static_cast<double>(gainsStart_);
    const size_t last = gains_.empty() ? 0 : gains_.size() - 1;
    output_.reserve(output_.size() + made);
    for (size_t k = 0; k < made; ++k) {
        const double at = first + static_cast<double>(k) * step;
        float gain = gains_.empty() ? 1.0f : gains_.front();
        if (at > 0 && !gains_.empty()) {
            const size_t below = std::min(static_cast<size_t>(at), last);
            const size_t above = std::min(below + 1, last);
            const float part = static_cast<float>(std::min(1.0, at - static_cast<double>(below)));
            gain = gains_[below] + part * (gains_[above] - gains_[below]);
        }
        output_.push_back(ClipSample(lowerCodec_[k] + gain * nearCodec_[k]));
    }
    codecDone_ += made;
    Consume(nearCodec_, made);
    // Gains before the next sample's are done with.
    const double next = first + static_cast<double>(made) * step;
    if (next > 1) {
        const size_t old = std::min(gains_.size(), static_cast<size_t>(next) - 1);
        gains_.erase(gains_.begin(), gains_.begin() + static_cast<ptrdiff_t>(old));
        gainsStart_ += old;
    }
}
