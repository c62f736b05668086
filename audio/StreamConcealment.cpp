#include "audio/StreamConcealment.h"

#include <spandsp.h>
#include <algorithm>

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
        // The library lines its circular history up before it fills a gap by copying the history onto
        // itself with memcpy, which is undefined for overlapping ranges (and not always a forward copy):
        // line it up here, with a rotation, so that the library finds nothing left to do.
        plc_state_t& state = plc_->state;
        if (state.buf_ptr > 0 && state.buf_ptr < PLC_HISTORY_LEN) {
            std::rotate(state.history, state.history + state.buf_ptr, state.history + PLC_HISTORY_LEN);
            state.buf_ptr = 0;
        }
        plc_fillin(&state, out, count);
        return;
    }
    const int copied = std::min(made, count);
    std::copy(scratch_.Data(), scratch_.Data() + copied, out);
    std::fill(out + copied, out + count, 0);
}
