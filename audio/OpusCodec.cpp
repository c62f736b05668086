// Opus codec: libopus's encoder set for speech (in-band FEC and DTX on), and its decoder, which gives
// exactly one frame per call whatever the packet says, so that a playback buffer is never overrun.
#include "audio/OpusCodec.h"

#include <opus/opus.h>

#include <algorithm>

#include "base/Exception.h"

void OpusCodec::EncoderDeleter::operator()(OpusEncoder* encoder) const {
    opus_encoder_destroy(encoder);
}

void OpusCodec::DecoderDeleter::operator()(OpusDecoder* decoder) const {
    opus_decoder_destroy(decoder);
}

OpusCodec::OpusCodec(int rate)
    : rate_(rate),
      frameSamples_(rate * kFrameMs / 1000),
      encoder_(NewEncoder()),
      encodeScratch_(kScratchSamples, kScratchGrowStep),
      decoder_(NewDecoder()),
      decodeScratch_(kScratchSamples, kScratchGrowStep) {}

OpusCodec::~OpusCodec() = default;

std::unique_ptr<OpusEncoder, OpusCodec::EncoderDeleter> OpusCodec::NewEncoder() const {
    int error = OPUS_OK;
    std::unique_ptr<OpusEncoder, EncoderDeleter> encoder(
        opus_encoder_create(rate_, 1, OPUS_APPLICATION_VOIP, &error));
    if (!encoder || error != OPUS_OK)
        throw MemoryException();
    opus_encoder_ctl(encoder.get(), OPUS_SET_SIGNAL(OPUS_SIGNAL_VOICE));
    // Redundancy for the next frame's loss costs little at speech rates and is what the receiver's
    // playout uses when one frame of a burst is missing; DTX keeps silence to a packet now and then.
    opus_encoder_ctl(encoder.get(), OPUS_SET_INBAND_FEC(1));
    opus_encoder_ctl(encoder.get(), OPUS_SET_DTX(1));
    opus_encoder_ctl(encoder.get(), OPUS_SET_VBR(1));
    opus_encoder_ctl(encoder.get(), OPUS_SET_COMPLEXITY(kComplexity));
    return encoder;
}

std::unique_ptr<OpusDecoder, OpusCodec::DecoderDeleter> OpusCodec::NewDecoder() const {
    int error = OPUS_OK;
    std::unique_ptr<OpusDecoder, DecoderDeleter> decoder(opus_decoder_create(rate_, 1, &error));
    if (!decoder || error != OPUS_OK)
        throw MemoryException();
    return decoder;
}

int OpusCodec::LookaheadSamples() const {
    opus_int32 lookahead = 0;
    opus_encoder_ctl(encoder_.get(), OPUS_GET_LOOKAHEAD(&lookahead));
    return lookahead;
}

void OpusCodec::Reset() {
    auto encoder = NewEncoder();
    auto decoder = NewDecoder();
    encoder_ = std::move(encoder);
    decoder_ = std::move(decoder);
    appliedLoss_ = appliedBitRate_ = -1;
}

void OpusCodec::ResetEncoder() {
    // The settings (bit rate, loss, complexity) stay: only the state and its 6.5 ms of look-ahead go.
    opus_encoder_ctl(encoder_.get(), OPUS_RESET_STATE);
}

void OpusCodec::AdaptSender(int expectedLossPercent, int bitRate) {
    loss_.store(std::clamp(expectedLossPercent, 0, 100), std::memory_order_relaxed);
    bitRate_.store(std::clamp(bitRate, kMinBitRate, kMaxBitRate), std::memory_order_relaxed);
}

int OpusCodec::EncodeFrame(const int16_t* frame, ByteBuffer& out, bool append) {
    const int loss = loss_.load(std::memory_order_relaxed);
    if (loss != appliedLoss_) {
        opus_encoder_ctl(encoder_.get(), OPUS_SET_PACKET_LOSS_PERC(loss));
        appliedLoss_ = loss;
    }
    const int bitRate = bitRate_.load(std::memory_order_relaxed);
    if (bitRate != appliedBitRate_) {
        opus_encoder_ctl(encoder_.get(), OPUS_SET_BITRATE(bitRate));
        appliedBitRate_ = bitRate;
    }
    uint8_t* packet = PrepareCodecOutput(out, append, kMaxPacketBytes);
    const opus_int32 bytes = opus_encode(encoder_.get(), frame, frameSamples_, packet, kMaxPacketBytes);
    if (bytes <= 0)
        return NoCodecOutput(out, append);
    out.SetLength(out.Length() + bytes);
    return bytes;
}

int OpusCodec::Encode16(const int16_t* samples, int count, ByteBuffer& out, bool append) {
    if (count < frameSamples_)
        return NoCodecOutput(out, append);
    return EncodeFrame(samples, out, append);
}

int OpusCodec::Encode8(const uint8_t* samples, int count, ByteBuffer& out, bool append) {
    if (count < frameSamples_)
        return NoCodecOutput(out, append);
    encodeScratch_.SetLength(0);
    int16_t* wide = PrepareCodecOutput(encodeScratch_, false, frameSamples_);
    WidenSamples(samples, frameSamples_, wide);
    encodeScratch_.SetLength(frameSamples_);
    return EncodeFrame(wide, out, append);
}

void OpusCodec::DecodeFrame(const uint8_t* payload, int length, bool fec, int16_t* samples) {
    int made = -1;
    // Only a packet of exactly one frame is decoded: a longer one would not fit the playback buffer.
    if (payload != nullptr && length > 0 &&
        opus_packet_get_nb_samples(payload, length, rate_) == frameSamples_)
        made = opus_decode(decoder_.get(), payload, length, samples, frameSamples_, fec ? 1 : 0);
    if (made != frameSamples_)
        made = opus_decode(decoder_.get(), nullptr, 0, samples, frameSamples_, 0);
    if (made != frameSamples_)
        std::fill(samples, samples + frameSamples_, int16_t{0});
}

int OpusCodec::DecodeInto(const uint8_t* payload, int length, bool fec, SampleBuffer& out, bool append) {
    int16_t* samples = PrepareCodecOutput(out, append, frameSamples_);
    DecodeFrame(payload, length, fec, samples);
    out.SetLength(out.Length() + frameSamples_);
    return frameSamples_;
}

int OpusCodec::Decode16(const uint8_t* payload, int length, SampleBuffer& out, bool append) {
    return DecodeInto(payload, length, false, out, append);
}

int OpusCodec::Decode8(const uint8_t* payload, int length, ByteBuffer& out, bool append) {
    DecodeInto(payload, length, false, decodeScratch_, false);
    return NarrowOnto(decodeScratch_.Data(), frameSamples_, out, append);
}

int OpusCodec::Conceal16(SampleBuffer& out, bool append) {
    return DecodeInto(nullptr, 0, false, out, append);
}

int OpusCodec::ConcealFromNext16(const uint8_t* next, int length, SampleBuffer& out, bool append) {
    return DecodeInto(next, length, true, out, append);
}
