// iLBC decoder: unpacking and validity, LSF and residual reconstruction, packet-loss concealment,
// enhancement, synthesis, the output high-pass and the conversion to 16 bits.
#include "audio/ilbc/IlbcDecoder.h"

#include <cmath>
#include <cstring>

#include "audio/ilbc/IlbcCodebook.h"
#include "audio/ilbc/IlbcDsp.h"
#include "audio/ilbc/IlbcTables.h"

namespace ilbc {
namespace {

void SetUnitPolynomial(float* a) {
    a[0] = 1.0f;
    for (int k = 1; k <= kOrder; ++k)
        a[k] = 0.0f;
}

bool AllFinite(const float* v, int count) {
    for (int i = 0; i < count; ++i) {
        if (!std::isfinite(v[i]))
            return false;
    }
    return true;
}

}  // namespace

Decoder::Decoder(Mode mode, bool enhancer) : mode_(mode), enhancer_(enhancer), enhancerState_(mode) {
    Reset();
}

void Decoder::Reset(Mode mode, bool enhancer) {
    mode_ = mode;
    enhancer_ = enhancer;
    Reset();
}

void Decoder::Reset() {
    std::memset(synthMem_, 0, sizeof synthMem_);
    Copy(lsfDeqOld_, tbl::lsfmeanTbl, kOrder);
    for (int j = 0; j < kMaxSub; ++j)
        SetUnitPolynomial(oldSynt_ + kLpc * j);
    highPass_.Reset();
    enhancerState_.Reset(mode_);
    previousConcealed_ = false;
    lastLag_ = 20;
    prevLag_ = 120;
    per_ = 0.0f;
    consecutiveLost_ = 0;
    prevLost_ = false;
    SetUnitPolynomial(prevLpc_);
    std::memset(prevResidual_, 0, sizeof prevResidual_);
    seed_ = 777;
}

bool Decoder::Decode(const uint8_t* frame, int16_t* out) {
    float y[kMaxBlock];
    const bool valid = Decode(frame, y);
    Convert(y, out);
    return valid;
}

void Decoder::DecodeLost(int16_t* out) {
    float y[kMaxBlock];
    DecodeLost(y);
    Convert(y, out);
}

bool Decoder::Decode(const uint8_t* frame, float* out) {
    FrameParams params;
    UnpackFrame(mode_, frame, params);
    const bool valid = params.start >= 1 && params.start <= Params(mode_).maxStart && params.emptyFrame == 0;
    DecodeFrame(valid ? &params : nullptr, out);
    return valid;
}

void Decoder::DecodeLost(float* out) {
    DecodeFrame(nullptr, out);
}

void Decoder::DecodeFrame(FrameParams* params, float* out) {
    const ModeParams& m = Params(mode_);
    float d[kMaxBlock];
    float synt[kMaxSub * kLpc];
    if (params != nullptr) {
        params->sub[0].cb[1] = CbIndexFromWire(params->sub[0].cb[1]);
        params->sub[0].cb[2] = CbIndexFromWire(params->sub[0].cb[2]);
        float lsf[kMaxLsfSets * kOrder];
        for (int k = 0; k < m.lpcN; ++k)
            LsfDequantise(params->lsf + 3 * k, lsf + kOrder * k);
        LsfCheck(lsf, m.lpcN);
        SubframePolynomials(mode_, lsfDeqOld_, lsf, 0.0f, synt);
        Copy(lsfDeqOld_, lsf + kOrder * (m.lpcN - 1), kOrder);
        DecodeResidual(*params, synt, d);
        // What concealment starts from if the next frame is lost.
        Copy(prevResidual_, d, m.blockLen);
        Copy(prevLpc_, synt + kLpc * (m.nsub - 1), kLpc);
        consecutiveLost_ = 0;
        prevLost_ = false;
    } else {
        Conceal(d);
        for (int j = 0; j < m.nsub; ++j)
            Copy(synt + kLpc * j, prevLpc_, kLpc);
    }

    Synthesise(d, synt, out);
    highPass_.Run(out, m.blockLen, tbl::hpo_zero_coefsTbl, tbl::hpo_pole_coefsTbl);
    // Only a corrupt frame can drive the filters to overflow; start them afresh rather than letting
    // infinities or NaNs stay in the state for good.
    if (!AllFinite(synthMem_, kOrder))
        std::memset(synthMem_, 0, sizeof synthMem_);
    if (!highPass_.Finite())
        highPass_.Reset();

    Copy(oldSynt_, synt, m.nsub * kLpc);
    previousConcealed_ = params == nullptr;
}

void Decoder::DecodeResidual(const FrameParams& params, const float* synt, float* d) const {
    const ModeParams& m = Params(mode_);
    const int stateLen = m.stateLen;
    const int extLen = 2 * kSubL - stateLen;
    const int start = params.start;
    const int p1 = kSubL * (start - 1);
    const int p = params.stateFirst ? p1 : p1 + extLen;

    StateReconstruct(params.idxForMax, params.idxVec, stateLen, synt + kLpc * (start - 1), d + p);

    float mem[kCbMem];
    float coded[kSubL];
    std::memset(mem, 0, sizeof(float) * static_cast<unsigned>(kStateMem - stateLen));
    if (params.stateFirst) {
        Copy(mem + kStateMem - stateLen, d + p, stateLen);
        CodebookDecode(params.extension, mem, kStateMem, extLen, d + p + stateLen);
    } else {
        for (int k = 0; k < stateLen; ++k)
            mem[kStateMem - 1 - k] = d[p + k];
        CodebookDecode(params.extension, mem, kStateMem, extLen, coded);
        for (int k = 0; k < extLen; ++k)
            d[p - 1 - k] = coded[k];
    }

    const int forward = m.nsub - 1 - start;
    ForwardMemory(mem, d + p1);
    for (int k = 0; k < forward; ++k) {
        const int j = start + 1 + k;
        CodebookDecode(params.sub[k], mem, kCbMem, kSubL, d + kSubL * j);
        PushSubframe(mem, d + kSubL * j);
    }

    const int backward = start - 1;
    if (backward > 0) {
        BackwardMemory(mem, d + p1, kSubL * (m.nsub + 1 - start));
        for (int k = 0; k < backward; ++k) {
            const int j = start - 2 - k;
            CodebookDecode(params.sub[forward + k], mem, kCbMem, kSubL, coded);
            PushSubframe(mem, coded);
            for (int n = 0; n < kSubL; ++n)
                d[kSubL * j + kSubL - 1 - n] = coded[n];
        }
    }
}

// Concealment: the last good residual repeated at its pitch lag, mixed with a randomly lagged copy
// according to how periodic it was, and attenuated as the loss goes on.
void Decoder::Conceal(float* c) {
    const int n = Params(mode_).blockLen;
    const float* y = prevResidual_;
    ++consecutiveLost_;

    int lag = prevLag_;
    float maxPer = per_;
    if (!prevLost_) {
        float bestScore = 0.0f;
        for (int candidate = lastLag_ - 3; candidate <= lastLag_ + 3; ++candidate) {
            int len = 60;
            if (n - 60 - candidate < 0)
                len = n - candidate;
            float corr = 0.0f;
            float energyLagged = 0.0f;
            float energy = 0.0f;
            // A lag beyond the history (only a corrupt state could ask for one) has no terms.
            if (candidate > 0) {
                for (int i = 0; i < len; ++i) {
                    const float u = y[n - len + i];
                    const float v = y[n - len + i - candidate];
                    corr += u * v;
                    energyLagged += v * v;
                    energy += u * u;
                }
            }
            float score = 0.0f;
            float periodicity = 0.0f;
            if (energyLagged > 0.0f) {
                score = corr * corr / energyLagged;
                periodicity = std::fabs(corr) / (std::sqrt(energyLagged) * std::sqrt(energy));
            }
            if (candidate == lastLag_ - 3 || score > bestScore) {
                bestScore = score;
                lag = candidate;
                maxPer = periodicity;
            }
        }
    }

    const float attenuation = consecutiveLost_ * n > 320 ? 0.9f : 1.0f;
    const float voicing = std::sqrt(maxPer);
    float pitchFactor = 0.0f;
    if (voicing > 0.7f)
        pitchFactor = 1.0f;
    else if (voicing > 0.4f)
        pitchFactor = (voicing - 0.4f) / (0.7f - 0.4f);
    const int repeat = lag < 80 ? 2 * lag : lag;

    float noise[kMaxBlock];
    float energy = 0.0f;
    for (int i = 0; i < n; ++i) {
        seed_ = (seed_ * 69069u + 1u) & 0x7fffffffu;
        const int randLag = 50 + static_cast<int>(seed_ % 70u);
        noise[i] = i - randLag < 0 ? y[n + i - randLag] : noise[i - randLag];
        float pitch = 0.0f;
        if (i - repeat >= 0)
            pitch = c[i - repeat];
        else if (i - repeat >= -n)
            pitch = y[n + i - repeat];
        const float mixed = pitchFactor * pitch + (1.0f - pitchFactor) * noise[i];
        if (i < 80)
            c[i] = attenuation * mixed;
        else if (i < 160)
            c[i] = (0.95f * attenuation) * mixed;
        else
            c[i] = (0.9f * attenuation) * mixed;
        energy += c[i] * c[i];
    }
    // Too quiet to carry a pitch: plain noise from the past residual instead.
    if (std::sqrt(static_cast<double>(energy / static_cast<float>(n))) < 30.0)
        Copy(c, noise, n);

    prevLag_ = lag;
    per_ = maxPer;
    prevLost_ = true;
    Copy(prevResidual_, c, n);
}

void Decoder::Synthesise(const float* residual, const float* synt, float* out) {
    const ModeParams& m = Params(mode_);
    float buf[kOrder + kMaxBlock];
    Copy(buf, synthMem_, kOrder);
    float* y = buf + kOrder;
    if (enhancer_) {
        lastLag_ = enhancerState_.Process(residual, previousConcealed_, y);
        // The enhanced residual lags by 40 or 80 samples, so the filters lag with it.
        const int delayed = mode_ == Mode::k20ms ? 1 : 2;
        for (int j = 0; j < m.nsub; ++j) {
            const float* a =
                j < delayed ? oldSynt_ + kLpc * (m.nsub - delayed + j) : synt + kLpc * (j - delayed);
            AllPole(y + kSubL * j, kSubL, a);
        }
    } else {
        lastLag_ = enhancerState_.Record(residual);
        Copy(y, residual, m.blockLen);
        for (int j = 0; j < m.nsub; ++j)
            AllPole(y + kSubL * j, kSubL, synt + kLpc * j);
    }
    Copy(synthMem_, buf + m.blockLen, kOrder);
    Copy(out, y, m.blockLen);
}

void Decoder::Convert(const float* in, int16_t* out) const {
    const int n = Params(mode_).blockLen;
    for (int i = 0; i < n; ++i) {
        float v = in[i];
        if (v < -32768.0f)
            v = -32768.0f;
        else if (v > 32767.0f)
            v = 32767.0f;
        else if (std::isnan(v))
            v = 0.0f;
        out[i] = static_cast<int16_t>(rounding_ == Rounding::kTruncate ? static_cast<int>(v)
                                                                       : static_cast<int>(std::nearbyint(v)));
    }
}

}  // namespace ilbc
