#include "audio/PlayoutBuffer.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>

using playout_rules::ArrivalKind;

namespace {

// The buffer grows on what the last two seconds' arrivals say, and shrinks only on what the last four
// say: jitter that comes back every few seconds is covered instead of being chased.
constexpr int kGrowJudgeMs = 2000;
constexpr int kShrinkJudgeMs = 4000;
// ...unless the last second's arrivals have moved (PlayoutRules.h).
constexpr int kMovedJudgeMs = 1000;
constexpr int kMinJudged = 16;
// Which of the recent slacks a talk spurt starts from (see LearnedSlackSamples).
constexpr int kSpurtPercentile = 50;
// Below this peak (and a tenth of what was played lately) a piece counts as quiet.
constexpr int kQuietFloor = 400;
constexpr int kQuietLookaheadDivisor = 2;

}  // namespace

PlayoutBuffer::PlayoutBuffer(int rate, int frameSamples, int deviceAheadSamples)
    : rate_(std::max(rate, 1)),
      frameSamples_(std::max(frameSamples, 1)),
      pieceSamples_(std::max(1, rate_ * kPieceMs / 1000)),
      deviceAheadSamples_(std::max(deviceAheadSamples, 0)),
      ceilingSamples_(std::max(4 * frameSamples_, rate_ * kCeilingMs / 1000)),
      maxConcealFrames_(0),
      maxAheadSlots_(static_cast<uint64_t>(ceilingSamples_ / frameSamples_ + 1)) {
    ring_.resize(static_cast<size_t>(2 * ceilingSamples_ + 4 * frameSamples_ + 4 * pieceSamples_ +
                                     deviceAheadSamples_));
    scratch_.resize(static_cast<size_t>(std::max(frameSamples_, pieceSamples_) * 2));
    waiting_.reserve(static_cast<size_t>(maxAheadSlots_));
    SetMaxConcealMs(kMaxConcealMs);
}

void PlayoutBuffer::SetMaxConcealMs(int ms) {
    const int64_t samples = static_cast<int64_t>(rate_) * std::max(ms, 0) / 1000;
    maxConcealFrames_ =
        std::max<int>(kMinConcealFrames, static_cast<int>((samples + frameSamples_ - 1) / frameSamples_));
}

void PlayoutBuffer::Start() {
    head_ = 0;
    level_ = 0;
    owed_ = 0;
    concealRun_ = 0;
    stretchWanted_ = 0;
    DropWaiting();
    concealedSlots_ = 0;
    lastSlotConcealed_ = false;
    active_ = true;
    // The device is handed what it keeps ahead at once; the rest is the first frame's slack: what the
    // arrivals before the pause typically found (the depth this path was found to need), or half a frame
    // (within bounds) while nothing is known of the path.
    const int slack = static_cast<int>(LearnedSlackSamples().value_or(std::clamp(
        frameSamples_ / 2, static_cast<int>(UsToSamples(playout_rules::kMarginUs)), rate_ * 20 / 1000)));
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
    DropWaiting();
    concealedSlots_ = 0;
    lastSlotConcealed_ = false;
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
}

void PlayoutBuffer::Store(const int16_t* samples, int count) {
    count = std::min(count, static_cast<int>(ring_.size()) / 2);
    if (count <= static_cast<int>(scratch_.size())) {
        int16_t* stored = scratch_.data();
        std::copy(samples, samples + count, stored);
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

void PlayoutBuffer::FillNumberedSlot(const Waiting* frame) {
    int count = 0;
    const int16_t* samples = nullptr;
    if (frame != nullptr && decoder_ != nullptr)
        samples = decoder_->Decode(frame->bytes.data(), static_cast<int>(frame->bytes.size()), count);
    const bool concealed = samples == nullptr || count <= 0;
    if (concealed && frame == nullptr && decoder_ != nullptr && !waiting_.empty() &&
        waiting_.front().sequence == *nextSequence_ + 1) {
        // The next frame is already here: a codec that carries the missing one in it rebuilds it.
        const Waiting& next = waiting_.front();
        samples = decoder_->RecoverFromNext(next.bytes.data(), static_cast<int>(next.bytes.size()), count);
        if (samples != nullptr && count > 0) {
            ++statistics_.framesConcealed;
            ++statistics_.framesRecovered;
            Store(samples, count);
            concealedSlots_ = (concealedSlots_ << 1) | 1u;
            lastSlotConcealed_ = false;
            ++*nextSequence_;
            return;
        }
    }
    if (concealed) {
        ++concealRun_;
        AppendConcealment();
    } else {
        Store(samples, count);
    }
    concealedSlots_ = (concealedSlots_ << 1) | (concealed ? 1u : 0u);
    lastSlotConcealed_ = concealed;
    ++*nextSequence_;
}

void PlayoutBuffer::Drain() {
    while (!waiting_.empty() && waiting_.front().sequence == *nextSequence_) {
        FillNumberedSlot(&waiting_.front());
        spare_.push_back(std::move(waiting_.front().bytes));
        waiting_.erase(waiting_.begin());
    }
}

void PlayoutBuffer::Wait(uint64_t sequence, const uint8_t* payload, int length) {
    Waiting frame;
    frame.sequence = sequence;
    if (!spare_.empty()) {
        frame.bytes = std::move(spare_.back());
        spare_.pop_back();
    }
    frame.bytes.assign(payload, payload + length);
    const auto at = std::lower_bound(waiting_.begin(), waiting_.end(), sequence,
                                     [](const Waiting& w, uint64_t s) { return w.sequence < s; });
    waiting_.insert(at, std::move(frame));
}

void PlayoutBuffer::DropWaiting() {
    for (Waiting& frame : waiting_)
        spare_.push_back(std::move(frame.bytes));
    waiting_.clear();
}

playout_rules::SlotView PlayoutBuffer::View(uint64_t sequence) const {
    playout_rules::SlotView view;
    view.nextSlot = *nextSequence_;
    view.maxAheadSlots = maxAheadSlots_;
    if (!waiting_.empty())
        view.highestWaiting = waiting_.back().sequence;
    view.alreadyWaiting = std::any_of(waiting_.begin(), waiting_.end(),
                                      [sequence](const Waiting& w) { return w.sequence == sequence; });
    if (sequence < view.nextSlot) {
        // Beyond the 64 slots remembered, a slot is long played: whatever came for it counts as late.
        const uint64_t back = view.nextSlot - 1 - sequence;
        view.slotConcealed = back >= 64 || ((concealedSlots_ >> back) & 1u) != 0;
    }
    return view;
}

int64_t PlayoutBuffer::WaitingSamples() const {
    int64_t samples = level_;
    if (!waiting_.empty() && nextSequence_)
        samples += static_cast<int64_t>(waiting_.back().sequence + 1 - *nextSequence_) * frameSamples_;
    return samples;
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

    // The slot that begins after what waits is due: decode or conceal it, one frame at a time.
    while (level_ < count) {
        if (!waiting_.empty()) {
            // A numbered slot whose frame is missing, with later frames waiting: concealed now, in slot
            // order, and the frames after it decoded behind it.
            FillNumberedSlot(nullptr);
            Drain();
            continue;
        }
        if (concealRun_ >= maxConcealFrames_) {
            // The peer has gone quiet (or away): play out what is left, then let the device fall silent.
            const int left = level_;
            Copy(out, left);
            std::fill(out + left, out + count, 0);
            GoIdle();
            return true;
        }
        if (nextSequence_) {
            FillNumberedSlot(nullptr);
            continue;
        }
        if (owed_ == 0)
            owedSinceUs_ = nowUs + SamplesToUs(level_);
        ++owed_;
        ++concealRun_;
        AppendConcealment();
    }

    int consumed = count;
    if (stretchWanted_ != 0) {
        const bool overCeiling = level_ > ceilingSamples_;
        playout_rules::StretchPiece piece;
        piece.wantedSamples = stretchWanted_;
        piece.pieceSamples = count;
        piece.spareSamples = level_ - count;
        piece.quiet = Quiet(count + std::max(1, count / kQuietLookaheadDivisor));
        piece.forced = playout_rules::StretchForced(stretchWanted_, nowUs - loudSinceUs_, overCeiling);
        piece.overCeiling = overCeiling;
        const int64_t step = playout_rules::StretchStep(piece);
        if (step != 0) {
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

void PlayoutBuffer::NoteArrivalTime(int64_t nowUs, bool afterPause, uint64_t slots) {
    nowUs_ = nowUs;
    ++statistics_.framesArrived;
    const int64_t frameUs = SamplesToUs(frameSamples_);
    // The pause before a talk spurt is the sender's silence, not the path's jitter; so are the slots a
    // numbered sender left unsent (Opus's DTX) or the network lost: a frame is due as many frames after
    // the last one as its number is past it.
    if (lastArrivalUs_ >= 0 && !afterPause && slots > 0) {
        const int64_t dueUs = static_cast<int64_t>(slots) * frameUs;
        deviations_[static_cast<size_t>(deviationNext_)] = std::llabs(nowUs - lastArrivalUs_ - dueUs);
        deviationNext_ = (deviationNext_ + 1) % kDeviations;
        deviationCount_ = std::min(deviationCount_ + 1, kDeviations);
    }
    lastArrivalUs_ = nowUs;
}

void PlayoutBuffer::Arrive(const int16_t* samples, int count, int64_t nowUs) {
    nowUs_ = nowUs;
    if (samples == nullptr || count <= 0)
        return;
    NoteArrivalTime(nowUs, false, 1);
    const int64_t frameUs = SamplesToUs(frameSamples_);

    bool started = false;
    if (!active_) {
        Start();
        started = true;
    } else if (owed_ > 0) {
        const int64_t since = nowUs - owedSinceUs_;
        if (playout_rules::IsLateForConcealedSlot(since, frameUs, SlackPercentile(kGrowJudgeMs, 50))) {
            ++statistics_.framesLate;
            --owed_;
            owedSinceUs_ += frameUs;
            Record(-std::max<int64_t>(since, 0), true);
            UpdateTargets();
            // Frames are already coming late: the buffer grows now, quiet stretch or not.
            loudSinceUs_ = nowUs - playout_rules::kMaxQuietWaitUs;
            return;
        }
        owed_ = 0;
    }

    // The slack: how long the audio before this frame lasts (of a new start's lead, the part that stays
    // here once the device has been handed its share).
    Record(SamplesToUs(level_ - (started ? deviceAheadSamples_ : 0)), false);
    Store(samples, count);
    statistics_.depthMs = static_cast<double>(SamplesToUs(WaitingSamples() + deviceAheadSamples_)) / 1000.0;
    UpdateTargets();
}

void PlayoutBuffer::ArriveNumbered(const uint8_t* payload, int length, int64_t nowUs, uint64_t sequence,
                                   bool restart) {
    nowUs_ = nowUs;
    if (payload == nullptr || length <= 0)
        return;
    // A restart whose number follows the last one heard is a talk spurt of the same sender after a pause
    // (its numbering went on while it sent nothing): the path is the one the buffer has learned, so its
    // depth is kept. Any other restart is a new sender, whose path is learned afresh.
    const bool spurt = restart && playout_rules::ContinuesSender(sequence, lastHeard_, maxAheadSlots_);
    if (restart && !spurt)
        ForgetPath();
    // A frame that came after a later one says nothing of the spacing the sender kept.
    const uint64_t slots = lastHeard_ && sequence > *lastHeard_ && sequence - *lastHeard_ <= maxAheadSlots_
                               ? sequence - *lastHeard_
                               : 0;
    lastHeard_ = restart || !lastHeard_ ? sequence : std::max(*lastHeard_, sequence);
    NoteArrivalTime(nowUs, spurt, slots);
    bool started = false;
    if (!active_) {
        Start();
        started = true;
    }
    if (started || restart || !nextSequence_) {
        DropWaiting();
        nextSequence_ = sequence;
        concealedSlots_ = 0;
        lastSlotConcealed_ = false;
    }
    if (spurt && !started)
        ResumeAfterPause();
    const ArrivalKind kind = playout_rules::ClassifyArrival(sequence, View(sequence));
    switch (kind) {
        case ArrivalKind::kLate: {
            ++statistics_.framesLate;
            playout_rules::LateFrameView late;
            late.sequence = sequence;
            late.nextSlot = *nextSequence_;
            late.lastSlotConcealed = lastSlotConcealed_;
            late.framesWaiting = !waiting_.empty();
            late.waitingSamples = WaitingSamples();
            late.frameSamples = frameSamples_;
            late.ceilingSamples = ceilingSamples_;
            if (!playout_rules::PlayLateFrame(late)) {
                Record(-SamplesToUs(frameSamples_), true);
                UpdateTargets();
                return;
            }
            // Its slot opens again behind the concealment that stood in for it.
            ++statistics_.framesLatePlayed;
            --*nextSequence_;
            concealedSlots_ >>= 1;
            lastSlotConcealed_ = false;
            break;
        }
        case ArrivalKind::kDuplicate:
            ++statistics_.framesDuplicated;
            return;
        case ArrivalKind::kJump:
            // What waited belongs to a numbering the sender has left; the stream goes on from here.
            DropWaiting();
            nextSequence_ = sequence;
            concealedSlots_ = 0;
            lastSlotConcealed_ = false;
            break;
        case ArrivalKind::kRefill:
            ++statistics_.framesReordered;
            break;
        case ArrivalKind::kNext:
        case ArrivalKind::kGap:
            break;
    }
    const int64_t before = static_cast<int64_t>(sequence - *nextSequence_) * frameSamples_;
    // The first frame of a spurt finds the slack the buffer gave it, which says nothing of the path.
    if (!spurt)
        Record(SamplesToUs(level_ - (started ? deviceAheadSamples_ : 0) + before), false);
    Wait(sequence, payload, length);
    Drain();
    statistics_.depthMs = static_cast<double>(SamplesToUs(WaitingSamples() + deviceAheadSamples_)) / 1000.0;
    UpdateTargets();
}

std::optional<int64_t> PlayoutBuffer::LearnedSlackSamples() const {
    if (RecentCount(kGrowJudgeMs) < kMinJudged)
        return std::nullopt;
    // The median: starting from the early frames' slack (the 90th percentile) measured deeper and no
    // better on speech through the bench relay. Rounded up: the slacks were recorded in whole
    // microseconds, rounded down.
    const int64_t typical = (SlackPercentile(kGrowJudgeMs, kSpurtPercentile) * rate_ + 999'999) / 1'000'000;
    return std::clamp<int64_t>(typical, UsToSamples(playout_rules::kMarginUs),
                               ceilingSamples_ - frameSamples_);
}

void PlayoutBuffer::ForgetPath() {
    windowCount_ = 0;
    windowNext_ = 0;
    deviationCount_ = 0;
    deviationNext_ = 0;
    lastArrivalUs_ = -1;
}

void PlayoutBuffer::ResumeAfterPause() {
    // The stream kept playing through the pause: what waits now is concealment, which may be trimmed or
    // padded freely, so the spurt starts as deep as the path needs instead of wherever the concealment
    // happened to stand.
    const std::optional<int64_t> learned = LearnedSlackSamples();
    if (!learned || concealRun_ == 0)
        return;
    const int64_t want = *learned;
    if (level_ > want) {
        const int cut =
            static_cast<int>(std::min<int64_t>(level_ - want, concealRun_ * int64_t{frameSamples_}));
        level_ -= cut;  // from the tail: the newest concealment
        statistics_.samplesShortened += cut;
    } else if (level_ < want) {
        const int pad =
            static_cast<int>(std::min<int64_t>(want - level_, static_cast<int64_t>(scratch_.size())));
        int16_t* fill = scratch_.data();
        if (concealer_ != nullptr)
            concealer_->Conceal(fill, pad);
        else
            std::fill(fill, fill + pad, 0);
        Append(fill, pad);
        statistics_.samplesLengthened += pad;
    }
}

void PlayoutBuffer::Record(int64_t slackUs, bool late) {
    window_[static_cast<size_t>(windowNext_)] = Arrival{slackUs, late};
    windowNext_ = (windowNext_ + 1) % kWindow;
    windowCount_ = std::min(windowCount_ + 1, kWindow);
}

void PlayoutBuffer::ShiftRecorded(int64_t deltaUs) {
    for (int i = 0; i < windowCount_; ++i)
        window_[static_cast<size_t>((windowNext_ - 1 - i + kWindow) % kWindow)].slackUs += deltaUs;
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

int64_t PlayoutBuffer::SlackPercentile(int ms, int percent) const {
    std::array<int64_t, kWindow> slacks{};
    size_t found = 0;
    const int recent = RecentCount(ms);
    for (int i = 0; i < recent; ++i) {
        const Arrival& arrival = window_[static_cast<size_t>((windowNext_ - 1 - i + kWindow) % kWindow)];
        if (!arrival.late)
            slacks[found++] = arrival.slackUs;
    }
    if (found == 0)
        return playout_rules::kMarginUs;
    const size_t at = std::min(found - 1, found * static_cast<size_t>(std::clamp(percent, 0, 100)) / 100);
    std::nth_element(slacks.begin(), slacks.begin() + static_cast<long>(at),
                     slacks.begin() + static_cast<long>(found));
    return slacks[at];
}

void PlayoutBuffer::UpdateTargets() {
    int64_t wanted = 0;
    const int growCount = RecentCount(kGrowJudgeMs);
    if (stretching_ && growCount >= kMinJudged) {
        playout_rules::SlackView slacks;
        slacks.growLowUs = LowSlack(growCount);
        slacks.shrinkLowUs = LowSlack(RecentCount(kShrinkJudgeMs));
        slacks.movedLowUs = LowSlack(RecentCount(kMovedJudgeMs));
        slacks.frameUs = SamplesToUs(frameSamples_);
        slacks.spreadUs = std::max<int64_t>(0, SlackPercentile(kShrinkJudgeMs, 50) - slacks.shrinkLowUs);
        wanted = UsToSamples(playout_rules::WantedStretchUs(slacks));
        // A shrink because the stream moved leaves the arrivals before the move behind: shifted by the
        // shrink, they would look late and grow the buffer straight back (a late-starting device, a
        // burst at the start of a call).
        if (wanted > 0 && playout_rules::Moved(slacks))
            windowCount_ = RecentCount(kMovedJudgeMs);
    }
    if (stretching_)
        wanted = playout_rules::ClampToCeiling(wanted, level_, ceilingSamples_);
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
