#include "audio/PlayoutBuffer.h"

#include <algorithm>
#include <cstdlib>
#include <limits>

namespace {

// The buffer grows on what the last two seconds' arrivals say, and shrinks only on what the last four
// say: jitter that comes back every few seconds is covered instead of being chased.
constexpr int kGrowJudgeMs = 2000;
constexpr int kShrinkJudgeMs = 4000;
// ...unless the last second's arrivals all found this much more audio waiting than the four seconds'
// worst: then the arrivals have moved (a burst after a stall, a fast peer), and the last second counts.
constexpr int kMovedJudgeMs = 1000;
constexpr int64_t kMovedUs = 10'000;
constexpr int kMinJudged = 16;
// A stretch waits this long for a quiet stretch; then it is made in whatever plays, a little every piece,
// until it is done.
constexpr int64_t kMaxQuietWaitUs = 2'000'000;
// Frames about to come late cannot wait that long for the buffer to grow.
constexpr int64_t kMaxQuietWaitGrowUs = 100'000;
// Below this peak (and a tenth of what was played lately) a piece counts as quiet.
constexpr int kQuietFloor = 400;
// A piece is played at most this much faster or slower: a quiet one by up to half, one that is heard by
// an eighth.
constexpr int kQuietStretchDivisor = 2;
constexpr int kHeardStretchDivisor = 8;

}  // namespace

PlayoutBuffer::PlayoutBuffer(int rate, int frameSamples, int deviceAheadSamples)
    : rate_(std::max(rate, 1)),
      frameSamples_(std::max(frameSamples, 1)),
      pieceSamples_(std::max(1, rate_ * kPieceMs / 1000)),
      deviceAheadSamples_(std::max(deviceAheadSamples, 0)),
      ceilingSamples_(std::max(4 * frameSamples_, rate_ * kCeilingMs / 1000)),
      maxConcealFrames_(
          std::max(kMinConcealFrames, (rate_ * kMaxConcealMs / 1000 + frameSamples_ - 1) / frameSamples_)) {
    ring_.resize(static_cast<size_t>(2 * ceilingSamples_ + 4 * frameSamples_ + 4 * pieceSamples_ +
                                     deviceAheadSamples_));
    scratch_.resize(static_cast<size_t>(std::max(frameSamples_, pieceSamples_) * 2));
}

void PlayoutBuffer::Start() {
    head_ = 0;
    level_ = 0;
    appended_ = 0;
    concealedSlots_.clear();
    owed_ = 0;
    concealRun_ = 0;
    stretchWanted_ = 0;
    windowCount_ = 0;
    windowNext_ = 0;
    active_ = true;
    // The device is handed what it keeps ahead at once; the rest is the first frame's slack, half a frame
    // (within bounds) until the jitter is known.
    const int slack =
        std::clamp(frameSamples_ / 2, static_cast<int>(UsToSamples(kMarginUs)), rate_ * 20 / 1000);
    const int lead = deviceAheadSamples_ + slack;
    std::fill(scratch_.begin(), scratch_.end(), 0);
    for (int done = 0; done < lead;) {
        const int n = std::min(lead - done, static_cast<int>(scratch_.size()));
        Append(scratch_.data(), n);
        done += n;
    }
}

void PlayoutBuffer::GoIdle() {
    active_ = false;
    level_ = 0;
    owed_ = 0;
    concealRun_ = 0;
    stretchWanted_ = 0;
    lastArrivalUs_ = -1;
    nextSequence_.reset();
    concealedSlots_.clear();
}

void PlayoutBuffer::Append(const int16_t* samples, int count) {
    const int capacity = static_cast<int>(ring_.size());
    if (count > capacity) {
        samples += count - capacity;
        count = capacity;
    }
    // A buffer that would overflow loses its oldest audio: only a flood gets here, past the ceiling.
    if (level_ + count > capacity) {
        const int excess = level_ + count - capacity;
        head_ = (head_ + excess) % capacity;
        level_ -= excess;
        statistics_.samplesShortened += excess;
    }
    int tail = (head_ + level_) % capacity;
    for (int i = 0; i < count; ++i) {
        ring_[static_cast<size_t>(tail)] = samples[i];
        tail = tail + 1 == capacity ? 0 : tail + 1;
    }
    level_ += count;
    appended_ += count;
}

bool PlayoutBuffer::Refill(const int16_t* samples, int count, uint64_t sequence) {
    const int64_t played = appended_ - level_;
    // Slots that have begun to play are past taking back.
    concealedSlots_.erase(std::remove_if(concealedSlots_.begin(), concealedSlots_.end(),
                                         [played](const ConcealedSlot& slot) { return slot.start < played; }),
                          concealedSlots_.end());
    if (count != frameSamples_)
        return false;
    const auto slot = std::find_if(concealedSlots_.begin(), concealedSlots_.end(),
                                   [sequence](const ConcealedSlot& s) { return s.sequence == sequence; });
    // A slot an overflow cut short at the front is not whole any more.
    if (slot == concealedSlots_.end() || slot->start + frameSamples_ > appended_)
        return false;
    const int capacity = static_cast<int>(ring_.size());
    int at = static_cast<int>((head_ + (slot->start - played)) % capacity);
    for (int i = 0; i < count; ++i) {
        ring_[static_cast<size_t>(at)] = samples[i];
        at = at + 1 == capacity ? 0 : at + 1;
    }
    Record(SamplesToUs(slot->start - played), false);
    concealedSlots_.erase(slot);
    --statistics_.framesConcealed;
    ++statistics_.framesReordered;
    return true;
}

void PlayoutBuffer::AppendConcealment() {
    int16_t* fill = scratch_.data();
    if (concealer_ != nullptr)
        concealer_->Conceal(fill, frameSamples_);
    else
        std::fill(fill, fill + frameSamples_, 0);
    Append(fill, frameSamples_);
    ++statistics_.framesConcealed;
}

void PlayoutBuffer::Copy(int16_t* out, int count) {
    const int capacity = static_cast<int>(ring_.size());
    for (int i = 0; i < count; ++i) {
        out[i] = ring_[static_cast<size_t>(head_)];
        head_ = head_ + 1 == capacity ? 0 : head_ + 1;
    }
    level_ -= count;
}

void PlayoutBuffer::Resample(int16_t* out, int count, int consumed) {
    // Sample i of the output sits at position i * (consumed / count) of the input: the first output
    // sample is the first input one, and the piece after starts where this one's input ended.
    for (int i = 0; i < count; ++i) {
        const int64_t position = static_cast<int64_t>(i) * consumed;  // in 1/count of a sample
        const int index = static_cast<int>(position / count);
        const int64_t fraction = position % count;
        const int64_t a = At(index);
        const int64_t b = index + 1 < level_ ? At(index + 1) : a;
        out[i] = static_cast<int16_t>((a * (count - fraction) + b * fraction) / count);
    }
    head_ = (head_ + consumed) % static_cast<int>(ring_.size());
    level_ -= consumed;
}

bool PlayoutBuffer::Quiet(int count) const {
    int peak = 0;
    for (int i = 0; i < count && i < level_; ++i)
        peak = std::max(peak, std::abs(static_cast<int>(At(i))));
    return peak < std::max<int64_t>(kQuietFloor, peak_ / 10);
}

bool PlayoutBuffer::Take(int16_t* out, int count, int64_t nowUs) {
    nowUs_ = nowUs;
    if (!active_ || out == nullptr || count <= 0)
        return false;
    count = std::min(count, static_cast<int>(ring_.size()) / 4);

    // The slot that begins after what waits has no frame yet: conceal it, one frame at a time.
    while (level_ < count) {
        if (concealRun_ >= maxConcealFrames_) {
            // The peer has gone quiet (or away): play out what is left, then let the device fall silent.
            const int left = level_;
            Copy(out, left);
            std::fill(out + left, out + count, 0);
            GoIdle();
            return true;
        }
        if (owed_ == 0)
            owedSinceUs_ = nowUs + SamplesToUs(level_);
        ++owed_;
        ++concealRun_;
        if (nextSequence_)
            ++*nextSequence_;
        AppendConcealment();
    }

    int consumed = count;
    if (stretchWanted_ != 0) {
        const int64_t wait = stretchWanted_ < 0 ? kMaxQuietWaitGrowUs : kMaxQuietWaitUs;
        const bool overCeiling = level_ > ceilingSamples_;
        const bool force = overCeiling || nowUs - loudSinceUs_ > wait;
        const int quietMost = std::max(1, count / kQuietStretchDivisor);
        const bool quiet = Quiet(count + quietMost);
        const int most =
            overCeiling ? count : std::max(1, count / (quiet ? kQuietStretchDivisor : kHeardStretchDivisor));
        int64_t step = std::clamp<int64_t>(stretchWanted_, -most, most);
        step = std::min<int64_t>(step, level_ - count);
        if (step != 0 && (force || quiet)) {
            consumed = count + static_cast<int>(step);
            stretchWanted_ -= step;
            if (step > 0)
                statistics_.samplesShortened += step;
            else
                statistics_.samplesLengthened += -step;
            ShiftRecorded(-SamplesToUs(step));
        }
    }
    if (consumed == count)
        Copy(out, count);
    else
        Resample(out, count, consumed);

    int piecePeak = 0;
    for (int i = 0; i < count; ++i)
        piecePeak = std::max(piecePeak, std::abs(static_cast<int>(out[i])));
    // The peak falls by about half a second's worth of its value per second.
    peak_ = std::max<int64_t>(piecePeak, peak_ - peak_ * count / (2 * rate_));
    return true;
}

void PlayoutBuffer::Arrive(const int16_t* samples, int count, int64_t nowUs,
                           std::optional<uint64_t> sequence) {
    nowUs_ = nowUs;
    if (samples == nullptr || count <= 0)
        return;
    ++statistics_.framesArrived;
    count = std::min(count, static_cast<int>(ring_.size()) / 2);
    const int64_t frameUs = SamplesToUs(frameSamples_);
    if (lastArrivalUs_ >= 0) {
        deviations_[static_cast<size_t>(deviationNext_)] = std::llabs(nowUs - lastArrivalUs_ - frameUs);
        deviationNext_ = (deviationNext_ + 1) % kDeviations;
        deviationCount_ = std::min(deviationCount_ + 1, kDeviations);
    }
    lastArrivalUs_ = nowUs;

    bool started = false;
    if (!active_) {
        Start();
        started = true;
    } else if (sequence && nextSequence_) {
        if (*sequence < *nextSequence_) {
            if (Refill(samples, count, *sequence)) {
                UpdateTargets();
                return;
            }
            // Its slot is past (concealed and played), or it came twice.
            ++statistics_.framesLate;
            Record(-frameUs, true);
            UpdateTargets();
            return;
        }
        // Frames between the last one and this one are lost: each gets its concealment now, in its slot.
        const uint64_t missing =
            std::min<uint64_t>(*sequence - *nextSequence_, static_cast<uint64_t>(maxConcealFrames_));
        for (uint64_t i = 0; i < missing; ++i) {
            // A jump longer than the concealment keeps only the slots just before this frame.
            concealedSlots_.push_back(ConcealedSlot{*sequence - missing + i, appended_});
            AppendConcealment();
        }
        // Only slots within the buffer's reach are worth remembering.
        if (concealedSlots_.size() > static_cast<size_t>(maxConcealFrames_))
            concealedSlots_.erase(concealedSlots_.begin(), concealedSlots_.end() - maxConcealFrames_);
        owed_ = 0;
    } else if (owed_ > 0) {
        // A concealed slot's frame, late, or the frame after it (the slot's own was lost)? The next frame
        // is due about its usual slack before the slot after; a late one comes soon after its slot began.
        std::array<int64_t, kWindow> slacks{};
        size_t found = 0;
        const int recent = RecentCount(kGrowJudgeMs);
        for (int i = 0; i < recent; ++i) {
            const Arrival& arrival = window_[static_cast<size_t>((windowNext_ - 1 - i + kWindow) % kWindow)];
            if (!arrival.late)
                slacks[found++] = arrival.slackUs;
        }
        int64_t typical = kMarginUs;
        if (found > 0) {
            std::nth_element(slacks.begin(), slacks.begin() + static_cast<long>(found / 2),
                             slacks.begin() + static_cast<long>(found));
            typical = slacks[found / 2];
        }
        const int64_t since = nowUs - owedSinceUs_;
        const int64_t threshold = std::max<int64_t>(0, (frameUs - typical) / 2);
        if (since < threshold) {
            ++statistics_.framesLate;
            --owed_;
            owedSinceUs_ += frameUs;
            Record(-std::max<int64_t>(since, 0), true);
            UpdateTargets();
            // Frames are already coming late: the buffer grows now, quiet stretch or not.
            loudSinceUs_ = nowUs - kMaxQuietWaitUs;
            return;
        }
        owed_ = 0;
    }
    if (sequence)
        nextSequence_ = *sequence + 1;

    // The slack: how long the audio before this frame lasts (of a new start's lead, the part that stays
    // here once the device has been handed its share).
    Record(SamplesToUs(level_ - (started ? deviceAheadSamples_ : 0)), false);
    int16_t* stored = scratch_.data();
    std::copy(samples, samples + std::min(count, static_cast<int>(scratch_.size())), stored);
    if (count <= static_cast<int>(scratch_.size())) {
        if (concealer_ != nullptr)
            concealer_->Received(stored, count);
        Append(stored, count);
    } else {
        Append(samples, count);
    }
    concealRun_ = 0;
    // A device that takes less than real time (a sound server that cannot keep up) would let the buffer
    // run on past its ceiling, where stretching cannot follow: the oldest audio beyond it goes at once.
    if (level_ > ceilingSamples_ + frameSamples_) {
        const int excess = level_ - ceilingSamples_;
        head_ = (head_ + excess) % static_cast<int>(ring_.size());
        level_ -= excess;
        statistics_.samplesShortened += excess;
    }
    statistics_.depthMs = static_cast<double>(SamplesToUs(level_ + deviceAheadSamples_)) / 1000.0;
    UpdateTargets();
}

void PlayoutBuffer::Record(int64_t slackUs, bool late) {
    window_[static_cast<size_t>(windowNext_)] = Arrival{slackUs, late};
    windowNext_ = (windowNext_ + 1) % kWindow;
    windowCount_ = std::min(windowCount_ + 1, kWindow);
}

void PlayoutBuffer::ShiftRecorded(int64_t deltaUs) {
    for (int i = 0; i < windowCount_; ++i)
        window_[static_cast<size_t>(i)].slackUs += deltaUs;
    owedSinceUs_ += deltaUs;
}

int PlayoutBuffer::RecentCount(int ms) const {
    const int frameMs = std::max(1, frameSamples_ * 1000 / rate_);
    return std::min(windowCount_, std::clamp(ms / frameMs, kMinJudged, kWindow));
}

int64_t PlayoutBuffer::LowSlack(int count) const {
    int64_t lowest = std::numeric_limits<int64_t>::max(), second = lowest;
    for (int i = 0; i < count; ++i) {
        const int64_t slack = window_[static_cast<size_t>((windowNext_ - 1 - i + kWindow) % kWindow)].slackUs;
        if (slack < lowest) {
            second = lowest;
            lowest = slack;
        } else if (slack < second) {
            second = slack;
        }
    }
    return count >= 2 ? second : lowest;
}

void PlayoutBuffer::UpdateTargets() {
    const int growCount = RecentCount(kGrowJudgeMs);
    const int shrinkCount = RecentCount(kShrinkJudgeMs);
    int64_t wanted = 0;
    if (growCount >= kMinJudged) {
        const int64_t growLow = LowSlack(growCount);
        int64_t shrinkLow = LowSlack(shrinkCount);
        const int64_t movedLow = LowSlack(RecentCount(kMovedJudgeMs));
        if (movedLow > shrinkLow + std::max(kMovedUs, SamplesToUs(frameSamples_) / 2))
            shrinkLow = movedLow;
        if (growLow < kMarginUs - kGrowBelowUs)
            wanted = -UsToSamples(kMarginUs + kGrowHeadroomUs - growLow);
        else if (shrinkLow > kMarginUs + kShrinkAboveUs)
            wanted = UsToSamples(shrinkLow - kMarginUs - kGrowHeadroomUs / 2);
    }
    // Never deeper than the ceiling, however the frames came.
    const int64_t over = level_ - ceilingSamples_;
    if (over > 0)
        wanted = std::max(wanted, over);
    // Never grow past the ceiling either.
    if (wanted < 0)
        wanted = std::max<int64_t>(wanted, level_ - ceilingSamples_);
    if (stretchWanted_ == 0 && wanted != 0)
        loudSinceUs_ = nowUs_;
    stretchWanted_ = wanted;
}

PlayoutBuffer::Statistics PlayoutBuffer::GetStatistics() const {
    Statistics statistics = statistics_;
    if (deviationCount_ > 0) {
        std::array<int64_t, kDeviations> deviations = deviations_;
        const auto end = deviations.begin() + deviationCount_;
        const auto at = deviations.begin() + (deviationCount_ * 95) / 100;
        std::nth_element(deviations.begin(), at, end);
        statistics.jitterMs = static_cast<double>(*at) / 1000.0;
    }
    return statistics;
}
