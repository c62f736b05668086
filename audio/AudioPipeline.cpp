#include "audio/AudioPipeline.h"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstring>

#include "audio/CodecRegistry.h"
#include "audio/FormatCode.h"
#include "base/Exception.h"
#include "base/PcmSamples.h"

namespace {

// The recorder's frame length before any format was set; a first format without a frame length keeps it.
constexpr int kInitialFrameLength = 1000;

int64_t MonotonicUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

AudioPipeline::AudioPipeline() {
    recorder_.SetCallback(&captureHandler_);
}

AudioPipeline::~AudioPipeline() {
    Shutdown();
}

void AudioPipeline::SetFormat(int formatCode) {
    std::lock_guard<std::mutex> guard(lock_);
    codec_.reset();
    codec_ = CreateCodec(formatCode);
    formatCode_ = formatCode;
    // Types without a frame length of their own (7 to 31) keep the previous one.
    const int frame = FrameLengthOf(formatCode);
    if (frame != 0)
        frameLength_ = frame;
    else if (frameLength_ == 0)
        frameLength_ = kInitialFrameLength;
    rate_ = format_code::Rate(formatCode);
    width_ = format_code::Width(formatCode);
    recorder_.SetFormatFields(frameLength_, width_, rate_);
    voice_.reset();
    alignedDelayMs_ = 0;
    echoCancelling_.store(false, std::memory_order_relaxed);
    if (voiceMode_ != VoiceProcessor::Mode::kOff && rate_ > 0)
        voice_ = std::make_unique<VoiceProcessor>(rate_, voiceMode_);
}

void AudioPipeline::SetVoiceProcessing(VoiceProcessor::Mode mode) {
    std::lock_guard<std::mutex> guard(lock_);
    voiceMode_ = mode;
    voice_.reset();
    alignedDelayMs_ = 0;
    echoCancelling_.store(false, std::memory_order_relaxed);
    if (voiceMode_ != VoiceProcessor::Mode::kOff && rate_ > 0)
        voice_ = std::make_unique<VoiceProcessor>(rate_, voiceMode_);
}

void AudioPipeline::AlignEchoReference() {
    // Only when both devices report: half a delay would hold the reference back too little to matter and
    // a guess could hold it back past the echo, which no canceller can then remove.
    const int capture = recorder_.DeviceLatencyMs();
    int playback = -1;
    {
        std::lock_guard<std::mutex> guard(lock_);
        for (const auto& stream : streams_) {
            if (stream)
                playback = std::max(playback, stream->player.DeviceLatencyMs());
        }
    }
    const int delay = capture >= 0 && playback >= 0 ? capture + playback : 0;
    if (delay != alignedDelayMs_) {
        alignedDelayMs_ = delay;
        voice_->SetDeviceDelayMs(delay);
    }
}

bool AudioPipeline::EchoCancelling() const {
    return echoCancelling_.load(std::memory_order_relaxed);
}

int AudioPipeline::AddStream(int deviceId) {
    PlaybackStream* stream = nullptr;
    int index = -1;
    {
        std::lock_guard<std::mutex> guard(lock_);
        for (size_t i = 0; i < streams_.size(); ++i) {
            if (!streams_[i]) {
                index = static_cast<int>(i);
                break;
            }
        }
        if (index < 0) {
            index = static_cast<int>(streams_.size());
            streams_.emplace_back();
        }
        // The stream is whole before the table shows it: the level and count readers look at it under
        // this lock from other threads.
        auto made = std::make_unique<PlaybackStream>(*this, index, codec_.get());
        if (playout_ == Playout::kAdaptive && rate_ > 0) {
            const int pieceSamples = std::clamp(rate_ * PlayoutBuffer::kPieceMs / 1000, 1, frameLength_);
            made->playout = std::make_unique<PlayoutBuffer>(rate_, frameLength_, kPiecesAhead * pieceSamples);
            made->playout->SetConcealer(&made->concealment);
            made->playout->SetDecoder(&made->decoder);
            // Opus's DTX sends a comfort-noise update only every 400 ms of silence: the decoder's
            // concealment carries that noise on between the updates, and past one lost update too.
            if (format_code::IsOpus(formatCode_))
                made->playout->SetMaxConcealMs(kDtxConcealMs);
            made->piece.resize(static_cast<size_t>(pieceSamples));
            made->pieceBytes.resize(static_cast<size_t>(pieceSamples) * 2);
        }
        made->player.SetCallback(&made->callback);
        made->player.SetDevice(deviceId);
        made->player.SetFormatFields(frameLength_, width_, rate_);
        stream = made.get();
        streams_[static_cast<size_t>(index)] = std::move(made);
    }
    stream->player.Start();
    return index;
}

void AudioPipeline::RemoveStream(int streamIndex) {
    std::unique_ptr<PlaybackStream> stream;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (streamIndex < 0 || static_cast<size_t>(streamIndex) >= streams_.size())
            return;
        stream = std::move(streams_[static_cast<size_t>(streamIndex)]);
    }
    if (!stream)
        return;
    stream->player.Stop();
    stream->player.End();
}

void AudioPipeline::StartCapture() {
    // What the stage still held of the previous capture (the end of an earlier call) is never sent.
    flushVoice_.store(true, std::memory_order_release);
    // SetFormat marked the recorder's format; its start rebuilds the buffers only when that changed.
    recorder_.Start();
}

void AudioPipeline::OnCaptured(const uint8_t* buffer, int byteCount) {
    if (buffer == nullptr || byteCount < 0)
        return;
    const bool freshCapture = flushVoice_.exchange(false, std::memory_order_acq_rel);
    const bool muted = captureMuted_.load(std::memory_order_acquire);
    const bool unmuted = wasMuted_ && !muted;
    wasMuted_ = muted;
    if (voice_ && (width_ == 8 || width_ == 16)) {
        // The stage works on 16-bit samples: 8-bit audio is widened for it and narrowed again after.
        const int samples = width_ == 8 ? byteCount : byteCount / 2;
        captured_.resize(static_cast<size_t>(samples));
        if (width_ == 8)
            WidenSamples(buffer, samples, captured_.data());
        else
            std::memcpy(captured_.data(), buffer, static_cast<size_t>(samples) * 2);
        // While muted the stage still hears the microphone, so that the canceller keeps up with the room
        // (silence would teach it that there is no echo), and its output is replaced below; when the mute
        // ends it forgets what it held back of the muted audio, as at a new capture.
        if (freshCapture || unmuted)
            voice_->Flush();
        AlignEchoReference();
        voice_->Process(captured_.data(), samples);
        echoCancelling_.store(voice_->Cancelling(), std::memory_order_relaxed);
        if (width_ == 8) {
            narrowed_.resize(static_cast<size_t>(samples));
            NarrowSamples(captured_.data(), samples, narrowed_.data());
            buffer = narrowed_.data();
        } else {
            buffer = reinterpret_cast<const uint8_t*>(captured_.data());
        }
        byteCount = width_ == 8 ? samples : samples * 2;
    }
    if (muted) {
        // Silence is 0x80 in unsigned 8-bit audio; a width the pipeline does not know is dropped below. The
        // encoder, too, holds back only silence of a muted microphone.
        silence_.assign(static_cast<size_t>(byteCount), width_ == 8 ? 0x80 : 0);
        buffer = silence_.data();
    }
    // A new capture's first frame: the encoder forgets what it held back of the previous one, as the stage
    // did above.
    if (freshCapture && codec_)
        codec_->ResetEncoder();
    // What is measured is what is sent: the processed audio.
    const uint8_t* payload = buffer;
    int payloadLength = byteCount;
    int level = 0;
    if (width_ == 8) {
        if (codec_) {
            codec_->Encode8(buffer, byteCount, payload_, false);
            payload = payload_.Data();
            payloadLength = payload_.Length();
        }
        level = Level8(buffer, byteCount);
    } else if (width_ == 16) {
        const int samples = byteCount >> 1;
        const auto* pcm = reinterpret_cast<const int16_t*>(buffer);
        if (codec_) {
            codec_->Encode16(pcm, samples, payload_, false);
            payload = payload_.Data();
            payloadLength = payload_.Length();
        }
        level = Level16(pcm, samples);
    } else {
        return;
    }
    inputLevel_.store(level, std::memory_order_relaxed);
    FrameSink* sink = sink_.load(std::memory_order_acquire);
    if (sink != nullptr)
        sink->OnFrame(payload, payloadLength);
}

bool AudioPipeline::Decode(PlaybackStream& stream, const uint8_t* payload, int length, const uint8_t*& audio,
                           int& audioBytes) {
    audio = payload;
    audioBytes = length;
    int level = 0;
    if (width_ == 8) {
        if (codec_) {
            codec_->Decode8(payload, length, stream.decodeBytes, false);
            audio = stream.decodeBytes.Data();
            audioBytes = stream.decodeBytes.Length();
        }
        level = Level8(audio, audioBytes);
    } else if (width_ == 16) {
        if (codec_) {
            codec_->Decode16(payload, length, stream.decodeSamples, false);
            audio = reinterpret_cast<const uint8_t*>(stream.decodeSamples.Data());
            audioBytes = stream.decodeSamples.Length() * 2;
        }
        level = Level16(audio, audioBytes / 2);
    } else {
        return false;
    }
    stream.level.store(level, std::memory_order_relaxed);
    return true;
}

void AudioPipeline::Deliver(int streamIndex, const uint8_t* payload, int length,
                            std::optional<uint64_t> sequence, bool restart) {
    if (streamIndex < 0 || static_cast<size_t>(streamIndex) >= streams_.size())
        return;
    PlaybackStream* stream = streams_[static_cast<size_t>(streamIndex)].get();
    if (stream == nullptr || payload == nullptr || length < 0)
        return;
    const uint8_t* audio = nullptr;
    int audioBytes = 0;
    if (!stream->playout) {
        if (Decode(*stream, payload, length, audio, audioBytes))
            DeliverDirect(*stream, audio, audioBytes);
        return;
    }
    // Adaptive playout decodes under the stream's lock: the concealment may continue the same decoder, and
    // the player's thread decodes the frames that waited for their slots.
    std::lock_guard<std::mutex> guard(stream->lock);
    if (sequence) {
        stream->playout->ArriveNumbered(payload, length, MonotonicUs(), *sequence, restart);
    } else {
        if (!Decode(*stream, payload, length, audio, audioBytes))
            return;
        // Less than one sample (a single byte of 16-bit audio) is no sound to play.
        if (audioBytes < width_ / 8)
            return;
        int count = 0;
        const int16_t* samples = Samples16(*stream, audio, audioBytes, count);
        stream->playout->Arrive(samples, count, MonotonicUs());
    }
    // A stream that had fallen silent starts again with this frame.
    if (!stream->feeding)
        Feed(*stream, false);
}

const int16_t* AudioPipeline::StreamDecoder::Decode(const uint8_t* payload, int length, int& count) {
    count = 0;
    const uint8_t* audio = nullptr;
    int audioBytes = 0;
    if (!pipeline_.Decode(stream_, payload, length, audio, audioBytes) || audioBytes < pipeline_.width_ / 8)
        return nullptr;
    return pipeline_.Samples16(stream_, audio, audioBytes, count);
}

const int16_t* AudioPipeline::StreamDecoder::RecoverFromNext(const uint8_t* next, int length, int& count) {
    count = 0;
    if (!format_code::IsOpus(pipeline_.formatCode_) || pipeline_.codec_ == nullptr)
        return nullptr;
    count = pipeline_.codec_->ConcealFromNext16(next, length, stream_.decodeSamples, false);
    return count > 0 ? stream_.decodeSamples.Data() : nullptr;
}

void AudioPipeline::AdaptSender(int expectedLossPercent, int bitRate) {
    if (codec_ != nullptr)
        codec_->AdaptSender(expectedLossPercent, bitRate);
}

void AudioPipeline::DeliverDirect(PlaybackStream& stream, const uint8_t* audio, int audioBytes) {
    // A payload the codec could not use yields no audio; playing it would only replay a stale buffer.
    if (audioBytes > 0)
        stream.player.Queue(audio, audioBytes);
}

const int16_t* AudioPipeline::Samples16(PlaybackStream& stream, const uint8_t* audio, int audioBytes,
                                        int& count) {
    if (width_ == 8) {
        count = audioBytes;
        int16_t* wide = PrepareCodecOutput(stream.wideSamples, false, count);
        WidenSamples(audio, count, wide);
        stream.wideSamples.SetLength(count);
        return wide;
    }
    count = audioBytes / 2;
    if (audio == reinterpret_cast<const uint8_t*>(stream.decodeSamples.Data()))
        return stream.decodeSamples.Data();
    // Raw samples sit where the datagram put them, not aligned for int16_t.
    int16_t* aligned = PrepareCodecOutput(stream.wideSamples, false, count);
    std::memcpy(aligned, audio, static_cast<size_t>(count) * 2);
    stream.wideSamples.SetLength(count);
    return aligned;
}

void AudioPipeline::Feed(PlaybackStream& stream, bool played) {
    PlayoutBuffer& playout = *stream.playout;
    int atPlayer = stream.player.BusyBuffers() - (played ? 1 : 0);
    const int count = static_cast<int>(stream.piece.size());
    // A device that takes more than a piece at a time must find all it takes queued, and one piece more.
    // (A period beyond 20 ms is a device catching up, not one to keep that far ahead of.)
    const int period = std::min(stream.player.PeriodFrames(), rate_ / 50);
    const int ahead = std::max(kPiecesAhead, (period + count - 1) / count + 1);
    if (ahead != stream.ahead) {
        stream.ahead = ahead;
        playout.SetDeviceAhead(ahead * count);
    }
    while (atPlayer < ahead) {
        if (!playout.Take(stream.piece.data(), count, MonotonicUs())) {
            stream.feeding = false;
            return;
        }
        stream.feeding = true;
        if (width_ == 8) {
            NarrowSamples(stream.piece.data(), count, stream.pieceBytes.data());
            stream.player.QueuePiece(stream.pieceBytes.data(), count);
        } else {
            std::memcpy(stream.pieceBytes.data(), stream.piece.data(), static_cast<size_t>(count) * 2);
            stream.player.QueuePiece(stream.pieceBytes.data(), count * 2);
        }
        ++atPlayer;
    }
}

int AudioPipeline::StreamLevel(int streamIndex) {
    std::lock_guard<std::mutex> guard(lock_);
    if (streamIndex < 0 || static_cast<size_t>(streamIndex) >= streams_.size())
        return -1;
    const PlaybackStream* stream = streams_[static_cast<size_t>(streamIndex)].get();
    return stream != nullptr ? stream->level.load(std::memory_order_relaxed) : -1;
}

int64_t AudioPipeline::StreamDrops(int streamIndex) {
    std::lock_guard<std::mutex> guard(lock_);
    if (streamIndex < 0 || static_cast<size_t>(streamIndex) >= streams_.size())
        return 0;
    const PlaybackStream* stream = streams_[static_cast<size_t>(streamIndex)].get();
    return stream != nullptr ? stream->player.Drops() : 0;
}

PlayoutBuffer::Statistics AudioPipeline::StreamPlayout(int streamIndex) {
    std::lock_guard<std::mutex> guard(lock_);
    if (streamIndex < 0 || static_cast<size_t>(streamIndex) >= streams_.size())
        return {};
    PlaybackStream* stream = streams_[static_cast<size_t>(streamIndex)].get();
    if (stream == nullptr || !stream->playout)
        return {};
    std::lock_guard<std::mutex> streamGuard(stream->lock);
    return stream->playout->GetStatistics();
}

int AudioPipeline::StreamCount() {
    std::lock_guard<std::mutex> guard(lock_);
    return static_cast<int>(streams_.size());
}

SoundPlayer* AudioPipeline::StreamPlayer(int streamIndex) {
    std::lock_guard<std::mutex> guard(lock_);
    if (streamIndex < 0 || static_cast<size_t>(streamIndex) >= streams_.size() ||
        !streams_[static_cast<size_t>(streamIndex)])
        return nullptr;
    return &streams_[static_cast<size_t>(streamIndex)]->player;
}

void AudioPipeline::Shutdown() {
    // Each device's close waits half a second for its buffers: asked all at once, they wait together, and
    // the program ends within a second of Ctrl-C. Ending the recorder takes no lock: its thread may want it.
    recorder_.Stop();
    {
        std::lock_guard<std::mutex> guard(lock_);
        for (auto& slot : streams_)
            if (slot)
                slot->player.Stop();
    }
    recorder_.End();
    std::lock_guard<std::mutex> guard(lock_);
    for (auto& slot : streams_) {
        std::unique_ptr<PlaybackStream> stream = std::move(slot);
        if (!stream)
            continue;
        stream->player.Stop();
        stream->player.End();
    }
    streams_.clear();
    codec_.reset();
    voice_.reset();
}

void AudioPipeline::StreamCallback::OnData(const uint8_t* data, int byteCount) {
    // The player's thread: a piece has played, so the next one is due, and the echo canceller learns what
    // the speaker gave out.
    if (pipeline_.voice_ && data != nullptr && byteCount > 0) {
        const int width = pipeline_.width_;
        const int samples = width == 8 ? byteCount : byteCount / 2;
        stream_.played.resize(static_cast<size_t>(samples));
        if (width == 8)
            WidenSamples(data, samples, stream_.played.data());
        else
            std::memcpy(stream_.played.data(), data, static_cast<size_t>(samples) * 2);
        if (width == 8 || width == 16)
            pipeline_.voice_->Played(index_, stream_.played.data(), samples);
    }
    if (stream_.playout) {
        std::lock_guard<std::mutex> guard(stream_.lock);
        pipeline_.Feed(stream_, true);
    }
    FrameSink* sink = pipeline_.sink_.load(std::memory_order_acquire);
    if (sink != nullptr)
        sink->OnPlayed(index_);
}

int AudioPipeline::Level8(const uint8_t* samples, int count) {
    int peak = -128;
    for (int i = 0; i < count; ++i) {
        const int value = samples[i] - 128;
        if (value > peak)
            peak = value;
    }
    return peak * 100 / 127;
}

int AudioPipeline::Level16(const void* samples, int count) {
    const auto* bytes = static_cast<const uint8_t*>(samples);
    int peak = 0;
    for (int i = 0; i < count; ++i) {
        int16_t sample = 0;
        std::memcpy(&sample, bytes + 2 * static_cast<ptrdiff_t>(i), sizeof(sample));
        if (sample > peak)
            peak = sample;
    }
    return peak * 100 / 32767;
}
