// GSM 06.10 codec: drives libgsm's frame coder one frame per call and keeps a copy of the last decoded frame
// for frames that fail the signature check.
#include "audio/GsmCodec.h"

#include <gsm.h>

#include <algorithm>
#include <cstring>
#include <type_traits>

#include "base/Exception.h"

static_assert(std::is_same_v<gsm_signal, int16_t>, "libgsm's samples must be 16-bit");
static_assert(sizeof(gsm_frame) == GsmCodec::kFrameBytes, "libgsm's frame size changed");

void GsmCodec::StateDeleter::operator()(gsm_state* state) const {
    gsm_destroy(state);
}

GsmCodec::State GsmCodec::NewState() {
    State state(gsm_create());
    if (!state)
        throw MemoryException();
    // These are the library's defaults; they are set anyway because they decide the frame format and
    // the arithmetic, which the peer must share. An option the library was built without simply fails.
    for (int option : {GSM_OPT_WAV49, GSM_OPT_FAST, GSM_OPT_LTP_CUT, GSM_OPT_VERBOSE}) {
        int off = 0;
        gsm_option(state.get(), option, &off);
    }
    return state;
}

GsmCodec::GsmCodec()
    : encoder_(NewState()),
      encodeScratch_(kScratchSamples, kScratchGrowStep),
      decoder_(NewState()),
      decodeScratch_(kScratchSamples, kScratchGrowStep) {}

GsmCodec::~GsmCodec() = default;

void GsmCodec::Reset() {
    // Both new states first, so that a failure leaves the codec as it was.
    State encoder = NewState();
    State decoder = NewState();
    encoder_ = std::move(encoder);
    decoder_ = std::move(decoder);
    lastFrame_.fill(0);
}

int GsmCodec::EncodeScratch(ByteBuffer& out, bool append) {
    uint8_t* frame = PrepareCodecOutput(out, append, kFrameBytes);
    gsm_encode(encoder_.get(), encodeScratch_.Data(), frame);
    out.SetLength(out.Length() + kFrameBytes);
    return kFrameBytes;
}

int GsmCodec::Encode16(const int16_t* samples, int count, ByteBuffer& out, bool append) {
    if (count < kFrameSamples)
        return NoCodecOutput(out, append);
    // libgsm takes its input through a non-const pointer, so it gets a copy rather than the caller's data.
    encodeScratch_.Write(samples, kFrameSamples, false);
    return EncodeScratch(out, append);
}

int GsmCodec::Encode8(const uint8_t* samples, int count, ByteBuffer& out, bool append) {
    if (count < kFrameSamples)
        return NoCodecOutput(out, append);
    encodeScratch_.SetLength(kFrameSamples);
    int16_t* wide = encodeScratch_.Data();
    WidenSamples(samples, kFrameSamples, wide);
    return EncodeScratch(out, append);
}

bool GsmCodec::DecodeFrame(const uint8_t* payload, int16_t* samples) {
    if ((payload[0] >> 4) != kSignature)
        return false;
    gsm_frame frame;
    std::memcpy(frame, payload, kFrameBytes);
    if (gsm_decode(decoder_.get(), frame, lastFrame_.data()) != 0)
        return false;
    std::copy(lastFrame_.begin(), lastFrame_.end(), samples);
    return true;
}

int GsmCodec::Decode16(const uint8_t* payload, int length, SampleBuffer& out, bool append) {
    if (length < kFrameBytes)
        return NoCodecOutput(out, append);
    int16_t* samples = PrepareCodecOutput(out, append, kFrameSamples);
    // A frame that fails the check plays the previous one again, which is what a reused output buffer
    // would still hold; the codec keeps its own copy so that a fresh buffer never shows stale memory.
    if (!DecodeFrame(payload, samples))
        std::copy(lastFrame_.begin(), lastFrame_.end(), samples);
    out.SetLength(out.Length() + kFrameSamples);
    return kFrameSamples;
}

int GsmCodec::Decode8(const uint8_t* payload, int length, ByteBuffer& out, bool append) {
    if (length < kFrameBytes)
        return NoCodecOutput(out, append);
    decodeScratch_.SetLength(kFrameSamples);
    if (!DecodeFrame(payload, decodeScratch_.Data()))
        return NoCodecOutput(out, append);
    return NarrowOnto(decodeScratch_.Data(), kFrameSamples, out, append);
}
