// iLBC codec adapter: one block per call in each direction, 8-bit forms through per-direction scratch.
#include "audio/IlbcCodec.h"

#include <algorithm>
#include <cstring>

#include "base/Exception.h"

IlbcCodec::IlbcCodec()
    : encoder_(ilbc::Mode::k20ms),
      decoder_(ilbc::Mode::k20ms, true),
      encodeScratch_(kScratchSamples, kScratchGrowStep),
      decodeScratch_(kScratchSamples, kScratchGrowStep) {
    SetMode(20);
    Reset();
}

void IlbcCodec::SetMode(int mode) {
    mode_ = mode == 20 ? 20 : 30;
    const ilbc::Mode coderMode = mode_ == 20 ? ilbc::Mode::k20ms : ilbc::Mode::k30ms;
    frameLength_ = ilbc::Params(coderMode).blockLen;
    frameSize_ = ilbc::Params(coderMode).frameBytes;
    encoder_.Reset(coderMode);
    decoder_.Reset(coderMode, true);
    Reset();
}

void IlbcCodec::Reset() {
    encoder_.Reset();
    decoder_.Reset();
}

int IlbcCodec::Encode16(const int16_t* samples, int count, ByteBuffer& out, bool append) {
    uint8_t* frame = PrepareCodecOutput(out, append, frameSize_);
    // A short input (never given by the pipeline) is coded as if padded with silence, so that nothing
    // past its end is read.
    if (count >= frameLength_) {
        encoder_.Encode(samples, frame);
    } else {
        int16_t block[ilbc::kMaxBlock] = {};
        if (count > 0)
            std::memcpy(block, samples, sizeof(int16_t) * static_cast<unsigned>(count));
        encoder_.Encode(block, frame);
    }
    out.SetLength(out.Length() + frameSize_);
    return frameSize_;
}

int IlbcCodec::Decode16(const uint8_t* payload, int length, SampleBuffer& out, bool append) {
    int16_t* samples = PrepareCodecOutput(out, append, frameLength_);
    // A payload shorter than a frame cannot be decoded without reading past it: it counts as lost.
    if (payload != nullptr && length >= frameSize_)
        decoder_.Decode(payload, samples);
    else
        decoder_.DecodeLost(samples);
    out.SetLength(out.Length() + frameLength_);
    return frameLength_;
}

int IlbcCodec::Conceal16(SampleBuffer& out, bool append) {
    int16_t* samples = PrepareCodecOutput(out, append, frameLength_);
    decoder_.DecodeLost(samples);
    out.SetLength(out.Length() + frameLength_);
    return frameLength_;
}

int IlbcCodec::Encode8(const uint8_t* samples, int count, ByteBuffer& out, bool append) {
    const int available = std::clamp(count, 0, frameLength_);
    encodeScratch_.SetLength(frameLength_);
    int16_t* wide = encodeScratch_.Data();
    WidenSamples(samples, available, wide);
    for (int i = available; i < frameLength_; ++i)
        wide[i] = 0;
    return Encode16(wide, frameLength_, out, append);
}

int IlbcCodec::Decode8(const uint8_t* payload, int length, ByteBuffer& out, bool append) {
    Decode16(payload, length, decodeScratch_, false);
    return NarrowOnto(decodeScratch_.Data(), frameLength_, out, append);
}
