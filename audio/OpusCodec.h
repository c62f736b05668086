// Opus codec (format type 7) on libopus: one 20 ms frame per call at the format's rate (48000, 24000,
// 16000 or 12000 Hz), mono, tuned for speech. Besides decoding it conceals a lost frame with the decoder's
// own concealment and rebuilds one from the in-band forward error correction that the next frame carries.
// The sender's loss figure and bit rate can be changed from another thread while it encodes.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "audio/SoundCodec.h"
#include "base/ByteBuffer.h"
#include "base/SampleBuffer.h"

struct OpusEncoder;
struct OpusDecoder;

class OpusCodec final : public SoundCodec {
public:
    static constexpr int kFrameMs = 20;
    // The largest packet of one frame (RFC 6716, 3.4).
    static constexpr int kMaxPacketBytes = 1275;
    static constexpr int kDefaultBitRate = 24000;
    // The encoder's complexity (0-10). At 1 a 48 kHz call is encoded and decoded in 4.5-4.7 ms of CPU a
    // second (2 took 5.5-5.7, 5 took 6.2, 10 about twice that), and its 4-7 kHz bands come within 3 dB of
    // the original's (at 2 they were 3.1-3.2 dB down); below 2 SILK goes without its delayed-decision
    // quantiser, and libopus asks 5/4 of the rate for in-band FEC (CallSession::OpusFecRoomBitRate).
    static constexpr int kComplexity = 1;
    static constexpr int kMinBitRate = 8000;
    static constexpr int kMaxBitRate = 64000;
    static constexpr int kScratchSamples = 1000;
    static constexpr int kScratchGrowStep = 100;

    // `rate`: 48000, 24000, 16000, 12000 or 8000 Hz. Throws MemoryException when libopus refuses.
    explicit OpusCodec(int rate);
    ~OpusCodec() override;

    OpusCodec(const OpusCodec&) = delete;
    OpusCodec& operator=(const OpusCodec&) = delete;

    int Rate() const { return rate_; }
    int FrameSamples() const { return frameSamples_; }
    // How many samples the encoder's output lags its input (an Ogg Opus file's pre-skip).
    int LookaheadSamples() const;

    void Reset() override;
    void ResetEncoder() override;
    // Encodes the first 20 ms of samples into one packet (1 to 1275 bytes; 1 or 2 in silence, where the
    // encoder's discontinuous transmission has nothing to say); fewer samples than a frame code nothing.
    int Encode8(const uint8_t* samples, int count, ByteBuffer& out, bool append) override;
    int Encode16(const int16_t* samples, int count, ByteBuffer& out, bool append) override;
    // Decodes one packet of exactly one 20 ms frame. A packet the decoder refuses, or one of another
    // duration, is concealed instead, so every call gives exactly one frame.
    int Decode8(const uint8_t* payload, int length, ByteBuffer& out, bool append) override;
    int Decode16(const uint8_t* payload, int length, SampleBuffer& out, bool append) override;
    int Conceal16(SampleBuffer& out, bool append) override;
    // The missing frame before `next`, from the redundancy `next` carries (concealment when it has none).
    int ConcealFromNext16(const uint8_t* next, int length, SampleBuffer& out, bool append) override;
    // The sender's expected loss and bit rate; taken up before the next frame is encoded.
    void AdaptSender(int expectedLossPercent, int bitRate) override;

    // What the encoder runs with now (for tests and figures).
    int ExpectedLossPercent() const { return loss_.load(std::memory_order_relaxed); }
    int BitRate() const { return bitRate_.load(std::memory_order_relaxed); }

private:
    struct EncoderDeleter {
        void operator()(OpusEncoder* encoder) const;
    };
    struct DecoderDeleter {
        void operator()(OpusDecoder* decoder) const;
    };

    std::unique_ptr<OpusEncoder, EncoderDeleter> NewEncoder() const;
    std::unique_ptr<OpusDecoder, DecoderDeleter> NewDecoder() const;
    int EncodeFrame(const int16_t* frame, ByteBuffer& out, bool append);
    // One frame into `samples` (frameSamples_ of them): the packet, its FEC (`fec`) or concealment (null).
    void DecodeFrame(const uint8_t* payload, int length, bool fec, int16_t* samples);
    int DecodeInto(const uint8_t* payload, int length, bool fec, SampleBuffer& out, bool append);

    const int rate_;
    const int frameSamples_;
    // Encoding direction (recorder thread), with the figures the link's worker sets.
    std::unique_ptr<OpusEncoder, EncoderDeleter> encoder_;
    SampleBuffer encodeScratch_;
    std::atomic<int> loss_{0};
    std::atomic<int> bitRate_{kDefaultBitRate};
    int appliedLoss_ = -1;
    int appliedBitRate_ = -1;
    // Decoding direction (link's worker or player thread, under the stream's lock).
    std::unique_ptr<OpusDecoder, DecoderDeleter> decoder_;
    SampleBuffer decodeScratch_;
};
