// The audio pipeline: the sound card in, payloads out, and payloads in, sound out.
//
// Capture: the recorder's thread hands each filled buffer to the pipeline, which runs it through the voice
// processing (echo cancellation against what the players played, noise suppression, level control; off
// unless asked for), measures its level, encodes it with the codec of the format code and gives the payload
// to the FrameSink (the voice link). Delivery: the link's worker hands each received payload to Deliver,
// which decodes it and measures its level. With adaptive playout (the default) the audio waits in the
// stream's playout buffer, and the player takes it by the piece as it plays, with concealment where a frame
// is missing; with direct playout each decoded frame is queued on the player at once.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "audio/FrameSink.h"
#include "audio/PlayoutBuffer.h"
#include "audio/SoundCallback.h"
#include "audio/SoundCodec.h"
#include "audio/SoundPlayer.h"
#include "audio/SoundRecorder.h"
#include "audio/StreamConcealment.h"
#include "audio/VoiceProcessor.h"
#include "base/ByteBuffer.h"
#include "base/SampleBuffer.h"

class AudioPipeline {
public:
    enum class Playout { kAdaptive, kDirect };
    // Pieces a stream keeps queued at its player under adaptive playout.
    static constexpr int kPiecesAhead = 2;
    // How long an Opus stream's concealment may run before it falls silent: the gap of one lost DTX
    // comfort-noise update (two 400 ms intervals), with room for jitter.
    static constexpr int kDtxConcealMs = 1000;

    AudioPipeline();
    ~AudioPipeline();
    AudioPipeline(const AudioPipeline&) = delete;
    AudioPipeline& operator=(const AudioPipeline&) = delete;

    // Chooses codec, rate and sample width. Only while no capture runs and before any stream exists.
    void SetFormat(int formatCode);
    void SetFrameSink(FrameSink* sink) { sink_.store(sink, std::memory_order_release); }
    void SetInputDevice(int deviceId) { recorder_.SetDevice(deviceId); }
    // How received audio reaches the player. Only before any stream exists.
    void SetPlayout(Playout playout) { playout_ = playout; }
    // The capture-path stage before the encoder. Only while no capture runs and before any stream exists;
    // it follows each SetFormat's rate.
    void SetVoiceProcessing(VoiceProcessor::Mode mode);
    VoiceProcessor::Mode VoiceProcessing() const { return voiceMode_; }
    // Echo cancellation runs and is removing echo now. Any thread.
    bool EchoCancelling() const;
    void ResetInputLevel() { inputLevel_.store(0, std::memory_order_relaxed); }
    // A muted microphone: every buffer captured from now on is encoded as silence, and the stage forgets
    // what it held back when the mute ends, so that nothing held back (the stage's chunks and resamplers,
    // the encoder's look-ahead) carries muted audio into the first frame after it. Any thread.
    void SetCaptureMuted(bool muted) { captureMuted_.store(muted, std::memory_order_release); }
    // Opens a playback stream on the device (-1 = default); it stays open until Shutdown or RemoveStream.
    // Returns its slot.
    int AddStream(int deviceId);
    // Closes the stream in the slot (a format change reopens it with AddStream).
    void RemoveStream(int streamIndex);
    void StartCapture();
    void StopCapture() { recorder_.Stop(); }
    // One received payload for the stream in slot `streamIndex`. `sequence` is the sender's number of the
    // frame where the link knows one (a private call's counter, a session's sequence number); the playout
    // buffer then keeps the frame encoded until its slot, and conceals exactly the numbers that are missing.
    // `restart`: the sender's numbering begins anew with this frame.
    void Deliver(int streamIndex, const uint8_t* payload, int length, std::optional<uint64_t> sequence = {},
                 bool restart = false);
    int InputLevel() const { return inputLevel_.load(std::memory_order_relaxed); }
    // The level of the last payload delivered to the stream, or -1 for a slot that holds none.
    int StreamLevel(int streamIndex);
    // Frames the stream's player dropped for want of a free buffer; 0 for a slot that holds none.
    int64_t StreamDrops(int streamIndex);
    // The stream's playout counts (all zero under direct playout or for a slot that holds none).
    PlayoutBuffer::Statistics StreamPlayout(int streamIndex);
    // The peer's reports for the encoder (Opus): the loss to protect against and the bit rate. Link's
    // worker; the encoder takes them up before its next frame.
    void AdaptSender(int expectedLossPercent, int bitRate);
    // Ends the recorder and every stream and destroys the codec. The pipeline cannot capture again.
    void Shutdown();

    // The capture path for one filled buffer; the recorder's callback calls it on the recorder's thread.
    void OnCaptured(const uint8_t* buffer, int byteCount);

    int FormatCode() const { return formatCode_; }
    int Width() const { return width_; }
    int Rate() const { return rate_; }
    int FrameLength() const { return frameLength_; }
    bool HasCodec() const { return codec_ != nullptr; }
    int StreamCount();
    SoundRecorder& Recorder() { return recorder_; }
    // The player of a stream, or null; for tests and benchmarks.
    SoundPlayer* StreamPlayer(int streamIndex);

    // Peak levels in percent. Only positive excursions count.
    static int Level8(const uint8_t* samples, int count);
    // Native-endian samples at any address: a raw payload sits one byte past its datagram's type.
    static int Level16(const void* samples, int count);

private:
    class CaptureHandler final : public SoundCallback {
    public:
        explicit CaptureHandler(AudioPipeline& pipeline) : pipeline_(pipeline) {}
        void OnData(const uint8_t* data, int byteCount) override { pipeline_.OnCaptured(data, byteCount); }

    private:
        AudioPipeline& pipeline_;
    };

    struct PlaybackStream;

    class StreamCallback final : public SoundCallback {
    public:
        StreamCallback(AudioPipeline& pipeline, PlaybackStream& stream, int index)
            : pipeline_(pipeline), stream_(stream), index_(index) {}
        void OnData(const uint8_t*, int) override;

    private:
        AudioPipeline& pipeline_;
        PlaybackStream& stream_;
        int index_;
    };

    // Decodes a stream's numbered frames when the playout buffer reaches their slots.
    class StreamDecoder final : public PlayoutBuffer::Decoder {
    public:
        StreamDecoder(AudioPipeline& pipeline, PlaybackStream& stream)
            : pipeline_(pipeline), stream_(stream) {}
        const int16_t* Decode(const uint8_t* payload, int length, int& count) override;
        const int16_t* RecoverFromNext(const uint8_t* next, int length, int& count) override;

    private:
        AudioPipeline& pipeline_;
        PlaybackStream& stream_;
    };

    struct PlaybackStream {
        PlaybackStream(AudioPipeline& pipeline, int index, SoundCodec* codec)
            : callback(pipeline, *this, index),
              decoder(pipeline, *this),
              concealment(codec, pipeline.rate_) {}
        SoundPlayer player;
        std::atomic<int> level{0};
        StreamCallback callback;
        // Adaptive playout: the buffer, its concealment and the piece being handed over, under `lock`,
        // which the stream's decoding takes too (the codec's concealment continues its decoder).
        std::mutex lock;
        std::unique_ptr<PlayoutBuffer> playout;
        StreamDecoder decoder;
        StreamConcealment concealment;
        bool feeding = false;      // pieces are being handed to the player
        int ahead = kPiecesAhead;  // pieces kept at the player
        std::vector<int16_t> piece;
        std::vector<int16_t> played;  // the player's thread: what it played, for the echo canceller
        std::vector<uint8_t> pieceBytes;
        // Decoding happens on the link's worker (frames in order) and on the player's thread (frames that
        // waited for their slot), always under `lock` when the stream has a playout buffer.
        ByteBuffer decodeBytes;
        SampleBuffer decodeSamples;
        SampleBuffer wideSamples;  // 8-bit audio widened, or raw samples realigned
    };

    // Hands the player pieces until it holds kPiecesAhead; `played` when one of them just finished.
    // Stream lock held.
    void Feed(PlaybackStream& stream, bool played);
    void DeliverDirect(PlaybackStream& stream, const uint8_t* audio, int audioBytes);
    // Decodes one payload of the stream into `audio` (the stream's scratch, or the payload itself for raw
    // samples) and measures its level; false for a sample width the pipeline does not know.
    bool Decode(PlaybackStream& stream, const uint8_t* payload, int length, const uint8_t*& audio,
                int& audioBytes);
    // Holds the echo canceller's reference back by the delay the devices report. Recorder thread.
    void AlignEchoReference();
    // Decoded audio as 16-bit samples, for the playout buffer.
    const int16_t* Samples16(PlaybackStream& stream, const uint8_t* audio, int audioBytes, int& count);

    std::atomic<FrameSink*> sink_{nullptr};
    SoundRecorder recorder_;
    // Changed only by AddStream and Shutdown, which run on the link's worker like Deliver; the lock keeps
    // the level readers and the table's writers apart.
    std::vector<std::unique_ptr<PlaybackStream>> streams_;
    std::mutex lock_;
    std::unique_ptr<SoundCodec> codec_;
    Playout playout_ = Playout::kAdaptive;
    int formatCode_ = 0;
    int width_ = 0;
    int rate_ = 0;
    int frameLength_ = 0;
    std::atomic<int> inputLevel_{0};
    VoiceProcessor::Mode voiceMode_ = VoiceProcessor::Mode::kOff;
    // Made by SetFormat and SetVoiceProcessing, used by the recorder's and the players' threads.
    std::unique_ptr<VoiceProcessor> voice_;
    std::atomic<bool> echoCancelling_{false};
    std::atomic<bool> flushVoice_{false};  // a capture starts: stage and encoder forget what they held
    std::atomic<bool> captureMuted_{false};
    bool wasMuted_ = false;          // recorder thread: the previous buffer was captured muted
    std::vector<uint8_t> silence_;   // recorder thread: what a muted buffer becomes
    std::vector<int16_t> captured_;  // recorder thread: the buffer as the stage processes it
    std::vector<uint8_t> narrowed_;  // recorder thread: processed 8-bit audio
    int alignedDelayMs_ = 0;         // recorder thread: the devices' delay the stage was last told
    CaptureHandler captureHandler_{*this};
    ByteBuffer payload_;  // recorder thread
};
