#include "audio/StreamConcealment.h"

#include <algorithm>

#include "audio/SoundCodec.h"

StreamConcealment::StreamConcealment(SoundCodec* codec, int rate) : codec_(codec), speech_(rate) {}

void StreamConcealment::Received(int16_t* samples, int count) {
    // Kept up to date after a codec's concealment too: it blends nothing then, as it filled no gap itself.
    speech_.Received(samples, count);
}

void StreamConcealment::Conceal(int16_t* out, int count) {
    if (out == nullptr || count <= 0)
        return;
    int made = 0;
    if (codec_ != nullptr) {
        try {
            made = codec_->Conceal16(scratch_, false);
        } catch (const Exception&) {
            made = 0;
        }
    }
    if (made <= 0) {
        speech_.Conceal(out, count);
        return;
    }
    const int copied = std::min(made, count);
    std::copy(scratch_.Data(), scratch_.Data() + copied, out);
    std::fill(out + copied, out + count, 0);
    speech_.Remember(out, count);
}
