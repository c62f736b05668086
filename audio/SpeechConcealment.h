// A concealment for codecs without one of their own (G.711, GSM, raw samples), working on what was played.
//
// When a loss begins, the pitch period of the last 20 ms played is found by normalised autocorrelation
// (periods of 5 to 15 ms), and the missing audio is that period repeated from where the sound left off.
// The repeated stretch grows to two periods after 10 ms and three after 20 ms (of those no more than 9 dB
// quieter than the last), so that a long loss does not buzz on one period; each stretch is made to flow from
// its end into its start, and the first concealed samples are bent onto the last played one, so that neither
// join clicks. The level holds for 10 ms, falls to half by 120 ms and to silence at 200 ms. The first real
// frame after a loss is cross-faded from the concealment's continuation, over 4 ms after a short loss and up
// to 10 ms after a long one.
//
// Not thread-safe: its owner serialises the calls.
#pragma once

#include <cstdint>
#include <vector>

class SpeechConcealment {
public:
    // How the level of a concealment falls, counted from the start of the loss.
    static constexpr int kFullLevelMs = 10;
    static constexpr int kHalfLevelMs = 120;
    static constexpr int kSilentMs = 200;

    // `rate` in Hz: the pitch periods searched and the times above are measured in its samples.
    explicit SpeechConcealment(int rate);

    // A real frame about to be played: after a concealment it is cross-faded from it in place; then it
    // joins what was played.
    void Received(int16_t* samples, int count);
    // Writes `count` samples of concealment, continuing the loss that is under way or starting one.
    void Conceal(int16_t* out, int count);
    // Audio that will be played but was made elsewhere (a codec's own concealment): it joins what was
    // played, and ends any loss of ours, so that the next real frame is not blended with it.
    void Remember(const int16_t* samples, int count);

    // The pitch period in samples that the loss under way (or the last one) repeats; 0 before any.
    int Period() const { return period_; }

private:
    void Append(const int16_t* samples, int count);
    void StartLoss();
    int FindPeriod() const;
    // The repeated stretch's sample at `position`, before the level is applied.
    double Repeated(int position) const;
    void Advance();
    double Level(int64_t elapsed) const;
    int16_t Next();

    const int rate_;
    const int minPeriod_;
    const int maxPeriod_;
    const int matchLength_;  // how much of the last audio the pitch search compares
    const int fullLevelSamples_;
    const int halfLevelSamples_;
    const int silentSamples_;

    // What was played, oldest first; starts as silence.
    std::vector<int16_t> history_;
    // The history as it was when the loss under way began: the concealment repeats from it.
    std::vector<int16_t> origin_;

    bool concealing_ = false;
    int64_t elapsed_ = 0;  // samples concealed in the loss under way
    int period_ = 0;
    int periods_ = 1;     // how many pitch periods the repeated stretch holds
    int maxPeriods_ = 1;  // how many it may grow to in the loss under way
    int position_ = 0;    // where in the repeated stretch the next sample comes from
    int overlap_ = 1;     // samples over which each stretch flows from its end into its start
    double bend_ = 0;     // the first join's offset, faded out over `overlap_` samples
};
