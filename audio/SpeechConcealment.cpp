#include "audio/SpeechConcealment.h"

#include <algorithm>
#include <cmath>

namespace {

// Pitch periods searched: 200 Hz down to 67 Hz. A higher voice is matched by two or three of its periods,
// which serves as well.
constexpr int kMinPeriodMs = 5;
constexpr int kMaxPeriodMs = 15;
constexpr int kMatchMs = 20;
// The repeated stretch holds one more period every 10 ms of loss, up to three.
constexpr int kPeriodStepMs = 10;
constexpr int kMaxPeriods = 3;
// An earlier period joins the stretch only if it is no more than 9 dB quieter than the last.
constexpr double kQuieterPeriod = 8;
// The cross-fade into the first real frame after a loss: 4 ms, 4 ms more for each 10 ms that the loss
// lasted beyond its first 10, at most 10 ms.
constexpr int kBlendMs = 4;
constexpr int kBlendStepMs = 10;
constexpr int kMaxBlendMs = 10;

int16_t ToSample(double value) {
    return static_cast<int16_t>(std::clamp(std::lround(value), -32768L, 32767L));
}

}  // namespace

SpeechConcealment::SpeechConcealment(int rate)
    : rate_(std::max(rate, 1000)),
      minPeriod_(std::max(2, rate_ * kMinPeriodMs / 1000)),
      maxPeriod_(std::max(minPeriod_, rate_ * kMaxPeriodMs / 1000)),
      matchLength_(rate_ * kMatchMs / 1000),
      fullLevelSamples_(rate_ * kFullLevelMs / 1000),
      halfLevelSamples_(rate_ * kHalfLevelMs / 1000),
      silentSamples_(rate_ * kSilentMs / 1000) {
    // Three of the longest periods, and the stretch just before them that their end flows into.
    const int repeated = kMaxPeriods * maxPeriod_ + std::max(1, maxPeriod_ / 4);
    history_.assign(static_cast<size_t>(std::max(repeated, matchLength_ + maxPeriod_)), 0);
    origin_ = history_;
}

void SpeechConcealment::Append(const int16_t* samples, int count) {
    const int size = static_cast<int>(history_.size());
    if (count >= size) {
        std::copy(samples + (count - size), samples + count, history_.begin());
        return;
    }
    std::copy(history_.begin() + count, history_.end(), history_.begin());
    std::copy(samples, samples + count, history_.end() - count);
}

int SpeechConcealment::FindPeriod() const {
    const int size = static_cast<int>(history_.size());
    const int16_t* recent = history_.data() + (size - matchLength_);
    // The candidate one period back, scored by its correlation with the recent audio over its own
    // energy: the best is the period over which the sound repeats itself most nearly.
    auto at = [&](int index) { return static_cast<int64_t>(history_[static_cast<size_t>(index)]); };
    int64_t energy = 0;
    for (int i = 0; i < matchLength_; ++i)
        energy += at(size - matchLength_ - minPeriod_ + i) * at(size - matchLength_ - minPeriod_ + i);
    int best = maxPeriod_;
    double bestScore = 0;
    for (int period = minPeriod_; period <= maxPeriod_; ++period) {
        const int16_t* earlier = recent - period;
        int64_t dot = 0;
        for (int i = 0; i < matchLength_; ++i)
            dot += static_cast<int64_t>(recent[i]) * earlier[i];
        if (dot > 0 && energy > 0) {
            const double score = static_cast<double>(dot) / std::sqrt(static_cast<double>(energy));
            if (score > bestScore) {
                bestScore = score;
                best = period;
            }
        }
        // One period further back: the window gains a sample at its start and loses one at its end.
        const int first = size - matchLength_ - period - 1;
        if (first >= 0)
            energy += at(first) * at(first) - at(first + matchLength_) * at(first + matchLength_);
    }
    return best;
}

void SpeechConcealment::StartLoss() {
    origin_ = history_;
    period_ = FindPeriod();
    overlap_ = std::max(1, period_ / 4);
    periods_ = 1;
    position_ = 0;
    elapsed_ = 0;
    concealing_ = true;
    // Only periods about as loud as the last one join the stretch: at the start of a word the periods
    // before it are the silence it broke, which would be heard as holes.
    const int size = static_cast<int>(origin_.size());
    auto energy = [&](int back) {
        double sum = 0;
        for (int i = size - back * period_; i < size - (back - 1) * period_; ++i)
            sum += static_cast<double>(origin_[static_cast<size_t>(i)]) * origin_[static_cast<size_t>(i)];
        return sum;
    };
    const double last = energy(1);
    maxPeriods_ = 1;
    while (maxPeriods_ < kMaxPeriods && energy(maxPeriods_ + 1) * kQuieterPeriod >= last)
        ++maxPeriods_;
    // The stretch flows from its last sample into its first; the last played sample should do the same.
    bend_ = static_cast<double>(origin_.back()) - Repeated(period_ - 1);
}

double SpeechConcealment::Repeated(int position) const {
    const int size = static_cast<int>(origin_.size());
    const int length = periods_ * period_;
    const int index = size - length + position;
    const double value = origin_[static_cast<size_t>(index)];
    const int tail = position - (length - overlap_);
    if (tail < 0)
        return value;
    // The stretch's end fades into the audio just before its start, so that going round is seamless.
    const double toward = origin_[static_cast<size_t>(index - length)];
    const double weight = static_cast<double>(tail + 1) / (overlap_ + 1);
    return value * (1 - weight) + toward * weight;
}

void SpeechConcealment::Advance() {
    ++elapsed_;
    if (++position_ < periods_ * period_)
        return;
    const int64_t stepSamples = std::max(1, rate_ * kPeriodStepMs / 1000);
    const int wanted = static_cast<int>(std::min<int64_t>(maxPeriods_, 1 + elapsed_ / stepSamples));
    // Going round, the longer stretch picks up where the shorter one would have: the same sample of the
    // history, now a period or two further into the stretch.
    position_ = wanted > periods_ ? (wanted - periods_) * period_ : 0;
    periods_ = std::max(periods_, wanted);
}

double SpeechConcealment::Level(int64_t elapsed) const {
    if (elapsed < fullLevelSamples_)
        return 1.0;
    if (elapsed < halfLevelSamples_)
        return 1.0 - 0.5 * static_cast<double>(elapsed - fullLevelSamples_) /
                         static_cast<double>(halfLevelSamples_ - fullLevelSamples_);
    if (elapsed < silentSamples_)
        return 0.5 * static_cast<double>(silentSamples_ - elapsed) /
               static_cast<double>(silentSamples_ - halfLevelSamples_);
    return 0.0;
}

int16_t SpeechConcealment::Next() {
    if (elapsed_ >= silentSamples_) {
        ++elapsed_;
        return 0;
    }
    double value = Repeated(position_);
    if (elapsed_ < overlap_)
        value += bend_ * (1.0 - static_cast<double>(elapsed_ + 1) / (overlap_ + 1));
    const double level = Level(elapsed_);
    Advance();
    return ToSample(value * level);
}

void SpeechConcealment::Conceal(int16_t* out, int count) {
    if (out == nullptr || count <= 0)
        return;
    if (!concealing_)
        StartLoss();
    for (int i = 0; i < count; ++i)
        out[i] = Next();
    Append(out, count);
}

void SpeechConcealment::Received(int16_t* samples, int count) {
    if (samples == nullptr || count <= 0)
        return;
    if (concealing_) {
        const int64_t longer = std::max<int64_t>(0, elapsed_ - fullLevelSamples_) * kBlendMs / kBlendStepMs;
        const int blend = static_cast<int>(
            std::min<int64_t>({count, rate_ * kMaxBlendMs / 1000, rate_ * kBlendMs / 1000 + longer}));
        for (int i = 0; i < blend; ++i) {
            const double weight = static_cast<double>(i + 1) / (blend + 1);
            samples[i] = ToSample(Next() * (1 - weight) + samples[i] * weight);
        }
        concealing_ = false;
    }
    Append(samples, count);
}

void SpeechConcealment::Remember(const int16_t* samples, int count) {
    concealing_ = false;
    if (samples != nullptr && count > 0)
        Append(samples, count);
}
