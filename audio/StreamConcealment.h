// What a playback stream plays in the slot of a frame that did not arrive: the codec's own concealment
// where it has one (iLBC's lost-frame mode, which continues the decoder's state), else a general
// concealment on the decoded samples (spandsp's: the last pitch period repeated and faded, blended back
// into the next real frame).
#pragma once

#include <cstdint>
#include <memory>

#include "audio/PlayoutBuffer.h"
#include "base/SampleBuffer.h"

class SoundCodec;

class StreamConcealment final : public PlayoutBuffer::Concealer {
public:
    // `codec` may be null (raw samples); it must outlive this object, and its decoding direction is
    // used under the same lock as the stream's decoding.
    explicit StreamConcealment(SoundCodec* codec);
    ~StreamConcealment() override;
    StreamConcealment(const StreamConcealment&) = delete;
    StreamConcealment& operator=(const StreamConcealment&) = delete;

    void Received(int16_t* samples, int count) override;
    void Conceal(int16_t* out, int count) override;

private:
    struct Plc;

    SoundCodec* codec_;
    std::unique_ptr<Plc> plc_;
    SampleBuffer scratch_;
};
