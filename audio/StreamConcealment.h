// What a playback stream plays in the slot of a frame that did not arrive: the codec's own concealment
// where it has one (iLBC's lost-frame mode, which continues the decoder's state), else SpeechConcealment
// on the decoded samples (pitch periods repeated and faded, cross-faded into the next real frame).
#pragma once

#include <cstdint>

#include "audio/PlayoutBuffer.h"
#include "audio/SpeechConcealment.h"
#include "base/SampleBuffer.h"

class SoundCodec;

class StreamConcealment final : public PlayoutBuffer::Concealer {
public:
    static constexpr int kDefaultRate = 8000;

    // `codec` may be null (raw samples); it must outlive this object, and its decoding direction is
    // used under the same lock as the stream's decoding. `rate` is the stream's, in Hz.
    explicit StreamConcealment(SoundCodec* codec, int rate = kDefaultRate);
    StreamConcealment(const StreamConcealment&) = delete;
    StreamConcealment& operator=(const StreamConcealment&) = delete;

    void Received(int16_t* samples, int count) override;
    void Conceal(int16_t* out, int count) override;

private:
    SoundCodec* codec_;
    SpeechConcealment speech_;
    SampleBuffer scratch_;
};
