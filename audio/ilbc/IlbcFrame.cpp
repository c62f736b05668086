// Bit packing of iLBC frames, driven by the bit-allocation tables so that packing and unpacking walk
// the fields in one shared order.
#include "audio/ilbc/IlbcFrame.h"

#include <cstring>

#include "audio/ilbc/IlbcTables.h"

namespace ilbc {
namespace {

// The allocation tables of one mode; each row gives the bits of a value in classes 1, 2 and 3.
struct Allocation {
    const int* lsf;
    const int* start;
    const int* startFirst;
    const int* scale;
    const int* state;
    const int* extraIndex;
    const int* extraGain;
    const int* cbIndex;
    const int* cbGain;
};

constexpr int kRow = 5;  // the tables have two unused columns after the three classes

const Allocation& AllocationOf(Mode mode) {
    static constexpr Allocation k20{
        tbl::ulp20_lsf_bits,      tbl::ulp20_start_bits, tbl::ulp20_startfirst_bits,
        tbl::ulp20_scale_bits,    tbl::ulp20_state_bits, tbl::ulp20_extra_cb_index,
        tbl::ulp20_extra_cb_gain, tbl::ulp20_cb_index,   tbl::ulp20_cb_gain};
    static constexpr Allocation k30{
        tbl::ulp30_lsf_bits,      tbl::ulp30_start_bits, tbl::ulp30_startfirst_bits,
        tbl::ulp30_scale_bits,    tbl::ulp30_state_bits, tbl::ulp30_extra_cb_index,
        tbl::ulp30_extra_cb_gain, tbl::ulp30_cb_index,   tbl::ulp30_cb_gain};
    return mode == Mode::k20ms ? k20 : k30;
}

// Calls visit(value, bitsPerClass) for every field of the frame in bit-stream order.
template <typename P, typename Visit>
void ForEachField(Mode mode, P& p, Visit visit) {
    const ModeParams& m = Params(mode);
    const Allocation& a = AllocationOf(mode);
    for (int k = 0; k < 3 * m.lpcN; ++k)
        visit(p.lsf[k], a.lsf + kRow * k);
    visit(p.start, a.start);
    visit(p.stateFirst, a.startFirst);
    visit(p.idxForMax, a.scale);
    for (int k = 0; k < m.stateLen; ++k)
        visit(p.idxVec[k], a.state);
    for (int s = 0; s < kStages; ++s)
        visit(p.extension.cb[s], a.extraIndex + kRow * s);
    for (int s = 0; s < kStages; ++s)
        visit(p.extension.gain[s], a.extraGain + kRow * s);
    for (int c = 0; c < m.nasub; ++c) {
        for (int s = 0; s < kStages; ++s)
            visit(p.sub[c].cb[s], a.cbIndex + kRow * (kStages * c + s));
    }
    for (int c = 0; c < m.nasub; ++c) {
        for (int s = 0; s < kStages; ++s)
            visit(p.sub[c].gain[s], a.cbGain + kRow * (kStages * c + s));
    }
}

// Bits go in and come out most significant first, through a 64-bit accumulator.
class BitWriter {
public:
    explicit BitWriter(uint8_t* out) : out_(out) {}
    void Put(unsigned value, int bits) {
        acc_ = (acc_ << bits) | value;
        pending_ += bits;
        while (pending_ >= 8) {
            pending_ -= 8;
            *out_++ = static_cast<uint8_t>(acc_ >> pending_);
        }
    }

private:
    uint8_t* out_;
    uint64_t acc_ = 0;
    int pending_ = 0;
};

class BitReader {
public:
    explicit BitReader(const uint8_t* in) : in_(in) {}
    unsigned Get(int bits) {
        while (available_ < bits) {
            acc_ = (acc_ << 8) | *in_++;
            available_ += 8;
        }
        available_ -= bits;
        return static_cast<unsigned>(acc_ >> available_) & ((1u << bits) - 1u);
    }

private:
    const uint8_t* in_;
    uint64_t acc_ = 0;
    int available_ = 0;
};

}  // namespace

void PackFrame(Mode mode, const FrameParams& params, uint8_t* frame) {
    std::memset(frame, 0, static_cast<size_t>(Params(mode).frameBytes));
    BitWriter writer(frame);
    for (int cls = 0; cls < 3; ++cls) {
        ForEachField(mode, params, [&](const int& value, const int* bits) {
            if (bits[cls] == 0)
                return;
            int below = 0;
            for (int later = cls + 1; later < 3; ++later)
                below += bits[later];
            const unsigned part = (static_cast<unsigned>(value) >> below) & ((1u << bits[cls]) - 1u);
            writer.Put(part, bits[cls]);
        });
    }
    writer.Put(static_cast<unsigned>(params.emptyFrame) & 1u, 1);
}

void UnpackFrame(Mode mode, const uint8_t* frame, FrameParams& params) {
    params = FrameParams{};
    BitReader reader(frame);
    for (int cls = 0; cls < 3; ++cls) {
        ForEachField(mode, params, [&](int& value, const int* bits) {
            if (bits[cls] == 0)
                return;
            value = static_cast<int>((static_cast<unsigned>(value) << bits[cls]) | reader.Get(bits[cls]));
        });
    }
    params.emptyFrame = static_cast<int>(reader.Get(1));
}

}  // namespace ilbc
