#include "audio/StreamConcealment.h"

#include <algorithm>
#include <spandsp.h>

#include "audio/SoundCodec.h"

struct StreamConcealment::Plc {
    plc_state_t state{};
};

StreamConcealment::StreamConcealment(SoundCodec* codec) : codec_(codec), plc_(std::make_unique<Plc>()) {
    plc_init(&plc_->state);
}

StreamConcealment::~StreamConcealment() = default;

void StreamConcealment::Received(int16_t* samples, int count) {
    // Always kept up to date: after a codec's concealment it blends nothing, as it filled no gap itself.
    if (samples != nullptr && count > 0)
        plc_rx(&plc_->state, samples, count);
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
        plc_fillin(&plc_->state, out, count);
        return;
    }
    const int copied = std::min(made, count);
    std::copy(scratch_.Data(), scratch_.Data() + copied, out);
    std::fill(out + copied, out + count, 0);
}
