// The playout buffer of one playback stream: decoded frames wait here between their arrival from the
// network and the moment the playback device needs them, so that a steady call plays with about one frame
// of delay, a jittery one waits only as long as its jitter needs, and a frame that is missing when the
// device needs it is concealed in its slot instead of leaving silence or a jump.
//
// The device clocks it: each time the device has played a piece, the stream takes the next piece with
// Take. Arrivals are timed on a monotonic clock and measured by their slack, the audio still waiting
// when they came (negative for a frame that came after its slot was concealed). The buffer keeps the
// smallest recent slack near a small margin: in a quiet stretch it plays a little faster when every frame
// came early, a little slower when frames came late or only just in time, so that its depth follows the
// jitter and shrinks back when the jitter goes. A frame that comes after its slot was concealed is dropped,
// so that the timeline holds.
//
// Without sequence numbers, arrival order is play order; whether a frame after a concealed slot is that
// slot's late frame or the next one (the slot's frame was lost) is told by its time. Numbered frames
// (ArriveNumbered) come still encoded: a frame that follows a gap waits encoded, and each slot is decoded
// or concealed when the device reaches it, in slot order, so that a codec whose decoder carries state from
// frame to frame (iLBC) conceals a loss from the frames before it, as its own description assumes, and a
// frame the network held back takes its slot if it comes before the slot plays.
//
// The decisions (what an arrival is, when and how much to stretch) are the pure functions of
// PlayoutRules.h; this class keeps the audio, the clock and the counts.
//
// Not thread-safe: its owner serialises Arrive and Take (the pipeline's stream lock). Times are
// microseconds of a monotonic clock, passed in, so that tests run on a fake clock.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "audio/PlayoutRules.h"

class PlayoutBuffer {
public:
    // What fills a slot whose frame did not come.
    class Concealer {
    public:
        virtual ~Concealer() = default;
        // A frame that will be played, in play order, before it is stored; may blend it into the
        // concealment that went before.
        virtual void Received(int16_t* samples, int count) = 0;
        // Writes `count` samples of concealment for a missing frame.
        virtual void Conceal(int16_t* out, int count) = 0;
    };

    // Turns a numbered frame into samples when its slot is due.
    class Decoder {
    public:
        virtual ~Decoder() = default;
        // Decodes one payload; returns its samples (valid until the next call) with their number in
        // `count`, which is 0 when the payload gave none (it is then concealed like a lost frame).
        virtual const int16_t* Decode(const uint8_t* payload, int length, int& count) = 0;
        // The missing frame before `next`, rebuilt from the redundancy `next` carries (Opus's in-band FEC),
        // without decoding `next` itself; null with `count` 0 when the codec carries none.
        virtual const int16_t* RecoverFromNext(const uint8_t* next, int length, int& count) {
            (void)next;
            (void)length;
            count = 0;
            return nullptr;
        }
    };

    struct Statistics {
        int64_t framesArrived = 0;
        int64_t framesConcealed = 0;    // slots filled by concealment
        int64_t framesRecovered = 0;    // of those, rebuilt from the next frame's redundancy
        int64_t framesLate = 0;         // frames that came after their slot was concealed
        int64_t framesLatePlayed = 0;   // of those, played after the concealment, the delay growing
        int64_t framesDuplicated = 0;   // numbered frames that came again
        int64_t framesReordered = 0;    // frames that came after a later one, in time for their slot
        int64_t samplesShortened = 0;   // audio taken out to bring the delay down
        int64_t samplesLengthened = 0;  // audio put in to let late frames catch up
        double depthMs = 0;             // audio waiting, for the device included, after the last arrival
        double jitterMs = 0;            // 95th percentile of recent inter-arrival deviations
    };

    // The device is kept this far ahead: pieces are handed to it at most this many at a time.
    static constexpr int kPieceMs = 5;
    // Longest stretch of concealment before the stream falls silent and waits for the next frame.
    static constexpr int kMaxConcealMs = 200;
    static constexpr int kMinConcealFrames = 8;
    // The deepest the buffer may become.
    static constexpr int kCeilingMs = 300;

    // `rate` in Hz, `frameSamples` the frame length of the format, `deviceAheadSamples` how much audio the
    // stream keeps at the device beyond what this buffer holds.
    PlayoutBuffer(int rate, int frameSamples, int deviceAheadSamples);

    void SetConcealer(Concealer* concealer) { concealer_ = concealer; }
    void SetDecoder(Decoder* decoder) { decoder_ = decoder; }
    // The device turned out to take more at a time than first thought.
    void SetDeviceAhead(int samples) { deviceAheadSamples_ = samples > 0 ? samples : 0; }
    // Off, the buffer keeps its timeline as it started (for comparing its output with a decoder's own).
    void SetTimeStretch(bool on) { stretching_ = on; }
    // How long concealment may run before the stream falls silent (kMaxConcealMs unless set): a sender whose
    // silence sends a frame only now and then needs its gaps concealed whole.
    void SetMaxConcealMs(int ms);

    // A decoded frame without a number arrived at `nowUs`.
    void Arrive(const int16_t* samples, int count, int64_t nowUs);
    // An encoded frame with the sender's number arrived at `nowUs`. `restart`: the sender's numbering
    // begins anew here (a new sender, or a talk spurt after a pause in which nothing was sent).
    void ArriveNumbered(const uint8_t* payload, int length, int64_t nowUs, uint64_t sequence,
                        bool restart = false);
    // The device needs the next `count` samples (at most one piece). False when the buffer is idle: it has
    // nothing to play, and the device plays its own silence until the next frame arrives.
    bool Take(int16_t* out, int count, int64_t nowUs);

    bool Active() const { return active_; }
    // Decoded samples waiting in the buffer.
    int Level() const { return level_; }
    // Numbered frames waiting, still encoded, behind a missing one.
    int WaitingFrames() const { return static_cast<int>(waiting_.size()); }
    Statistics GetStatistics() const;

private:
    // One recent arrival: its slack (microseconds, negative for a late frame) and whether it was late.
    struct Arrival {
        int64_t slackUs = 0;
        bool late = false;
    };
    // A numbered frame waiting for its slot, still encoded.
    struct Waiting {
        uint64_t sequence = 0;
        std::vector<uint8_t> bytes;
    };

    void Start();
    void GoIdle();
    // `afterPause`: the first frame of a talk spurt, whose distance from the last frame is no jitter.
    // `slots`: how many frames after the last arrival this one is due (0: no spacing to judge).
    void NoteArrivalTime(int64_t nowUs, bool afterPause, uint64_t slots);
    // The slack recent arrivals typically found, once enough have been seen: the depth a talk spurt of
    // this path starts from.
    std::optional<int64_t> LearnedSlackSamples() const;
    // A new sender: what was learned of the old one's path (slacks, jitter) no longer holds.
    void ForgetPath();
    // A talk spurt begins while the stream still plays the pause's concealment: brings what waits to the
    // learned depth.
    void ResumeAfterPause();
    void Append(const int16_t* samples, int count);
    // A decoded frame into its slot: the concealment sees it first, then it is stored.
    void Store(const int16_t* samples, int count);
    // One frame of concealment, for a slot whose frame is missing.
    void AppendConcealment();
    // Numbered slots: the next one gets `frame` decoded, or concealment when it is null or gave nothing.
    void FillNumberedSlot(const Waiting* frame);
    // Decodes the waiting frames whose slots are next.
    void Drain();
    void Wait(uint64_t sequence, const uint8_t* payload, int length);
    void DropWaiting();
    playout_rules::SlotView View(uint64_t sequence) const;
    // Samples waiting, decoded and still encoded.
    int64_t WaitingSamples() const;
    void Record(int64_t slackUs, bool late);
    // Shifts the recorded slacks when the timeline moves by `deltaUs` (positive: the buffer grew).
    void ShiftRecorded(int64_t deltaUs);
    void UpdateTargets();
    bool Quiet(int count) const;
    // The recorded arrivals of the last `ms` milliseconds (at least a few, at most the window).
    int RecentCount(int ms) const;
    // The second smallest slack of the last `count` arrivals: one outlier alone does not move the delay.
    int64_t LowSlack(int count) const;
    // The `percent` percentile (50: the median) of the slacks of the frames of the last `ms` milliseconds
    // that were not late.
    int64_t SlackPercentile(int ms, int percent) const;
    // Plays `count` samples made from the next `consumed` ones, linearly interpolated.
    void Resample(int16_t* out, int count, int consumed);
    int16_t At(int i) const {
        return ring_[static_cast<size_t>((head_ + i) % static_cast<int>(ring_.size()))];
    }
    int64_t SamplesToUs(int64_t samples) const { return samples * 1'000'000 / rate_; }
    int64_t UsToSamples(int64_t us) const { return us * rate_ / 1'000'000; }
    void Copy(int16_t* out, int count);  // takes `count` samples off the front; level_ >= count

    const int rate_;
    const int frameSamples_;
    const int pieceSamples_;
    int deviceAheadSamples_;
    const int ceilingSamples_;
    int maxConcealFrames_;
    // How many slots past the next one a numbered frame may wait: the ceiling's worth.
    const uint64_t maxAheadSlots_;
    Concealer* concealer_ = nullptr;
    Decoder* decoder_ = nullptr;
    bool stretching_ = true;

    std::vector<int16_t> ring_;
    int head_ = 0;   // first sample waiting
    int level_ = 0;  // samples waiting
    std::vector<int16_t> scratch_;

    bool active_ = false;
    int concealRun_ = 0;       // slots concealed since the last frame was stored
    int owed_ = 0;             // concealed slots whose frames may still come (unnumbered frames)
    int64_t owedSinceUs_ = 0;  // when the oldest of them began
    // Numbered frames: the slot filled next, the frames waiting behind a gap (by number), byte buffers to
    // reuse, and which of the last 64 slots were concealed (bit i: slot nextSequence_ - 1 - i).
    std::optional<uint64_t> nextSequence_;
    std::optional<uint64_t> lastHeard_;  // the highest number heard from the sender, kept through pauses
    std::vector<Waiting> waiting_;
    std::vector<std::vector<uint8_t>> spare_;
    uint64_t concealedSlots_ = 0;
    bool lastSlotConcealed_ = false;  // the last slot filled got concealment, not a frame or its rebuild
    int64_t lastArrivalUs_ = -1;
    int64_t stretchWanted_ = 0;  // samples to take out (positive) or put in (negative)
    int64_t loudSinceUs_ = 0;    // since when a stretch has waited for a quiet stretch
    int64_t nowUs_ = 0;
    int64_t peak_ = 0;  // a slowly falling peak of what was played, for telling quiet stretches

    static constexpr int kWindow = 512;
    std::array<Arrival, kWindow> window_{};
    int windowCount_ = 0;
    int windowNext_ = 0;
    static constexpr int kDeviations = 128;
    std::array<int64_t, kDeviations> deviations_{};
    int deviationCount_ = 0;
    int deviationNext_ = 0;

    Statistics statistics_;
};
