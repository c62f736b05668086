// The codec interface of the audio pipeline. Each codec owns its coder state and scratch buffers, keeping
// the encoding and the decoding direction apart: the recorder thread encodes while the link's worker
// decodes, on the same object.
//
// `append` false empties the output buffer first; true adds at its end. After a call the output buffer's
// length tells how much was produced.
#pragma once

#include <cstdint>

#include "base/ByteBuffer.h"
#include "base/Exception.h"
#include "base/PcmSamples.h"
#include "base/SampleBuffer.h"

class SoundCodec {
public:
    virtual void Reset() = 0;
    // Forgets the audio the encoder holds back (its look-ahead), so that a new capture's first frame carries
    // nothing of the previous one; the decoder is left alone. The encoding thread only.
    virtual void ResetEncoder() {}
    // `count` unsigned 8-bit samples in, code bytes out; returns the number of bytes written.
    virtual int Encode8(const uint8_t* samples, int count, ByteBuffer& out, bool append) = 0;
    // Code bytes in, unsigned 8-bit samples out; returns the output length.
    virtual int Decode8(const uint8_t* payload, int length, ByteBuffer& out, bool append) = 0;
    // `count` signed 16-bit samples in, code bytes out; returns the number of bytes written.
    virtual int Encode16(const int16_t* samples, int count, ByteBuffer& out, bool append) = 0;
    // Code bytes in, signed 16-bit samples out; returns the number of samples.
    virtual int Decode16(const uint8_t* payload, int length, SampleBuffer& out, bool append) = 0;
    virtual ~SoundCodec() = default;
    // One frame of the decoder's own concealment for a frame that did not arrive, 16-bit; returns the
    // number of samples, 0 for a codec without one (the playout then conceals on the samples).
    virtual int Conceal16(SampleBuffer& out, bool append);
    // The frame that did not arrive before `next`, rebuilt from the redundancy a codec may carry in the
    // following frame; a codec without any conceals as Conceal16 does. Does not decode `next` itself.
    virtual int ConcealFromNext16(const uint8_t* next, int length, SampleBuffer& out, bool append) {
        (void)next;
        (void)length;
        return Conceal16(out, append);
    }
    // What the peer's reports say of the path: the loss to protect against and the bit rate to send at.
    // Codecs with one fixed rate ignore it.
    virtual void AdaptSender(int expectedLossPercent, int bitRate) {
        (void)expectedLossPercent;
        (void)bitRate;
    }
};

// For frame codecs: the result of a call that codes no frame (input shorter than a frame): nothing
// produced, and the output emptied unless appending.
template <typename T>
int NoCodecOutput(GrowableBuffer<T>& out, bool append);

inline int SoundCodec::Conceal16(SampleBuffer& out, bool append) {
    return NoCodecOutput(out, append);
}

// For codec implementations: empties `out` unless appending, makes room for `extra` more elements and
// returns where they go. Throws MemoryException when the buffer cannot hold them.
template <typename T>
T* PrepareCodecOutput(GrowableBuffer<T>& out, bool append, int64_t extra) {
    if (!append)
        out.Clear();
    const int64_t needed = static_cast<int64_t>(out.Length()) + extra;
    if (extra < 0 || needed > GrowableBuffer<T>::kMaxCapacity)
        throw MemoryException();
    out.Reserve(static_cast<int32_t>(needed));
    return out.Data() + out.Length();
}

// For frame codecs: the result of a call that codes no frame (input shorter than a frame): nothing
// produced, and the output emptied unless appending.
template <typename T>
int NoCodecOutput(GrowableBuffer<T>& out, bool append) {
    if (!append)
        out.Clear();
    return 0;
}

// For codecs that decode into 16-bit samples: the 8-bit output, the count samples narrowed onto out.
inline int NarrowOnto(const int16_t* wide, int count, ByteBuffer& out, bool append) {
    NarrowSamples(wide, count, PrepareCodecOutput(out, append, count));
    out.SetLength(out.Length() + count);
    return count;
}
