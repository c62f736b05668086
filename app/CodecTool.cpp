// qparlin-codec: runs the program's own codecs over files, for users and for checks against other
// implementations.
//
//   qparlin-codec encode [--storage] -a:FORMAT IN OUT           audio in, payloads out
//   qparlin-codec decode [--channel=FILE] -a:FORMAT IN OUT      payloads in, audio out
//
// Audio files are WAV (at the format's rate, mono) or raw 16-bit little-endian mono PCM when the name ends
// in ".raw". Payload files hold the payloads of consecutive frames back to back; for iLBC they may also be
// storage files ("#!iLBC20\n" or "#!iLBC30\n", then the frames), which --storage writes and decode
// recognises. A channel file (iLBC only) holds one 16-bit little-endian value per frame: 1 received, 0 lost;
// lost frames are concealed. Opus payloads vary in size, so Opus goes in Ogg Opus files (*.opus, *.ogg),
// which opusenc and opusdec read and write too.
#include <opus/opus.h>
#include <sndfile.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/CommandLine.h"
#include "audio/CodecRegistry.h"
#include "audio/FormatCode.h"
#include "audio/OggOpusFile.h"
#include "audio/OpusCodec.h"
#include "audio/ilbc/IlbcStorage.h"
#include "base/Exception.h"

namespace {

constexpr const char* kUsage =
    "usage: qparlin-codec encode [--storage] -a:FORMAT IN OUT\n"
    "       qparlin-codec decode [--channel=FILE] -a:FORMAT IN OUT\n"
    "       qparlin-codec --help\n"
    "FORMAT is anything qparlin's -a: takes (a codec name such as g711_8khz, or a format code).\n"
    "Audio files are WAV at the format's rate, mono, or raw 16-bit little-endian mono PCM (*.raw).\n"
    "Payload files hold one payload per frame, back to back.\n"
    "iLBC only: --storage writes an iLBC storage file (\"#!iLBC30\" header), which decode also reads;\n"
    "--channel=FILE names 16-bit little-endian values, one per frame, 1 received and 0 lost (concealed).\n"
    "Opus (opus, opus_16khz, opus_24khz): the payload file is an Ogg Opus file, *.opus or *.ogg.\n";

// A failure the user can act on: printed as one line, exit status 1.
struct ToolError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

std::string NoCodecText(int code) {
    return "format " + std::to_string(code) + " (type " + std::to_string(format_code::Type(code)) +
           ") has no codec in this build";
}

bool EndsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::vector<uint8_t> ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw ToolError(path + ": cannot open for reading");
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad())
        throw ToolError(path + ": read error");
    return bytes;
}

void WriteBytes(const std::string& path, const uint8_t* data, size_t length) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out)
        throw ToolError(path + ": cannot open for writing");
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(length));
    if (!out.flush())
        throw ToolError(path + ": write error");
}

std::vector<int16_t> ReadAudio(const std::string& path, int rate) {
    std::vector<int16_t> samples;
    if (EndsWith(path, ".raw")) {
        const std::vector<uint8_t> bytes = ReadBytes(path);
        if (bytes.size() % 2 != 0)
            throw ToolError(path + ": a raw file of 16-bit samples has an odd length");
        samples.resize(bytes.size() / 2);
        for (size_t i = 0; i < samples.size(); ++i) {
            samples[i] = static_cast<int16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
        }
        return samples;
    }
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr)
        throw ToolError(path + ": " + sf_strerror(nullptr));
    std::unique_ptr<SNDFILE, int (*)(SNDFILE*)> closer(file, sf_close);
    if (info.samplerate != rate) {
        throw ToolError(path + ": the file's rate is " + std::to_string(info.samplerate) +
                        " Hz, the format's " + std::to_string(rate) + " Hz");
    }
    if (info.channels != 1) {
        throw ToolError(path + ": the file has " + std::to_string(info.channels) +
                        " channels; only mono is taken");
    }
    std::vector<int16_t> chunk(4096);
    for (;;) {
        const sf_count_t got = sf_read_short(file, chunk.data(), static_cast<sf_count_t>(chunk.size()));
        if (got <= 0)
            break;
        samples.insert(samples.end(), chunk.begin(), chunk.begin() + got);
    }
    if (sf_error(file) != SF_ERR_NO_ERROR)
        throw ToolError(path + ": " + sf_strerror(file));
    return samples;
}

void WriteAudio(const std::string& path, const std::vector<int16_t>& samples, int rate) {
    if (EndsWith(path, ".raw")) {
        std::vector<uint8_t> bytes(samples.size() * 2);
        for (size_t i = 0; i < samples.size(); ++i) {
            bytes[2 * i] = static_cast<uint8_t>(samples[i] & 0xFF);
            bytes[2 * i + 1] = static_cast<uint8_t>((samples[i] >> 8) & 0xFF);
        }
        WriteBytes(path, bytes.data(), bytes.size());
        return;
    }
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (file == nullptr)
        throw ToolError(path + ": " + sf_strerror(nullptr));
    const sf_count_t written = sf_write_short(file, samples.data(), static_cast<sf_count_t>(samples.size()));
    const int closed = sf_close(file);
    if (written != static_cast<sf_count_t>(samples.size()) || closed != 0)
        throw ToolError(path + ": write error");
}

bool IsIlbc(int code) {
    const int type = format_code::Type(code);
    return type == format_code::kIlbc20 || type == format_code::kIlbc30;
}

ilbc::Mode IlbcMode(int code) {
    return format_code::Type(code) == format_code::kIlbc20 ? ilbc::Mode::k20ms : ilbc::Mode::k30ms;
}

bool OggName(const std::string& path) {
    return EndsWith(path, ".opus") || EndsWith(path, ".ogg");
}

void EncodeOpus(int code, const std::string& in, const std::string& out) {
    if (!OggName(out))
        throw ToolError(out + ": Opus payloads vary in size; name the file *.opus or *.ogg (Ogg Opus)");
    const int rate = format_code::Rate(code);
    OpusCodec codec(rate);
    const int frame = codec.FrameSamples();
    std::vector<int16_t> samples = ReadAudio(in, rate);
    const size_t length = samples.size();
    // The encoder holds its look-ahead back: enough frames for the input and that much more.
    const size_t coded = length + static_cast<size_t>(codec.LookaheadSamples());
    const size_t frames = (coded + static_cast<size_t>(frame) - 1) / static_cast<size_t>(frame);
    samples.resize(frames * static_cast<size_t>(frame), 0);
    OggOpusStream stream;
    stream.inputRate = rate;
    stream.preSkip = codec.LookaheadSamples() * (48000 / rate);
    ByteBuffer payload(0, 0);
    size_t bytes = 0;
    for (size_t f = 0; f < frames; ++f) {
        codec.Encode16(samples.data() + f * static_cast<size_t>(frame), frame, payload, false);
        stream.packets.emplace_back(payload.Data(), payload.Data() + payload.Length());
        bytes += static_cast<size_t>(payload.Length());
    }
    const auto samples48k = static_cast<int64_t>(length) * (48000 / rate);
    const std::vector<uint8_t> file = WriteOggOpus(stream, samples48k, 0x51504C4E);
    WriteBytes(out, file.data(), file.size());
    std::cerr << "qparlin-codec: " << frames << " frames, " << bytes << " bytes of Opus\n";
}

void DecodeOpus(int code, const std::string& in, const std::string& out) {
    if (!OggName(in))
        throw ToolError(in + ": Opus is read from Ogg Opus files, *.opus or *.ogg");
    std::string error;
    const std::optional<OggOpusStream> stream = ReadOggOpus(ReadBytes(in), error);
    if (!stream)
        throw ToolError(in + ": " + error);
    const int rate = format_code::Rate(code);
    const int scale = 48000 / rate;
    int status = OPUS_OK;
    std::unique_ptr<OpusDecoder, void (*)(OpusDecoder*)> decoder(
        opus_decoder_create(rate, stream->channels, &status), opus_decoder_destroy);
    if (!decoder || status != OPUS_OK)
        throw ToolError("libopus cannot decode at " + std::to_string(rate) + " Hz");
    // The longest packet is 120 ms.
    const int most = rate * 120 / 1000;
    std::vector<int16_t> pcm(static_cast<size_t>(most * stream->channels));
    std::vector<int16_t> samples;
    size_t broken = 0;
    for (const std::vector<uint8_t>& packet : stream->packets) {
        int made = opus_decode(decoder.get(), packet.data(), static_cast<opus_int32>(packet.size()),
                               pcm.data(), most, 0);
        if (made < 0) {
            // A packet the decoder refuses is concealed as 20 ms.
            ++broken;
            made = opus_decode(decoder.get(), nullptr, 0, pcm.data(), rate / 50, 0);
            if (made < 0)
                continue;
        }
        for (int i = 0; i < made; ++i) {
            int sum = 0;
            for (int c = 0; c < stream->channels; ++c)
                sum += pcm[static_cast<size_t>(i * stream->channels + c)];
            samples.push_back(static_cast<int16_t>(sum / stream->channels));
        }
    }
    // The pre-skip goes at the start; the end granule, where it is given, trims the end.
    const auto skip = std::min(samples.size(), static_cast<size_t>(stream->preSkip / scale));
    size_t end = samples.size();
    if (stream->endGranule >= stream->preSkip) {
        const auto last = static_cast<size_t>(stream->endGranule / scale);
        end = std::clamp(last, skip, samples.size());
    }
    const std::vector<int16_t> audio(samples.begin() + static_cast<std::ptrdiff_t>(skip),
                                     samples.begin() + static_cast<std::ptrdiff_t>(end));
    WriteAudio(out, audio, rate);
    std::cerr << "qparlin-codec: " << stream->packets.size() << " packets";
    if (broken != 0)
        std::cerr << " (" << broken << " undecodable, concealed)";
    std::cerr << ", " << audio.size() << " samples\n";
}

struct Options {
    bool storage = false;
    std::string channel;
};

void Encode(int code, const std::string& in, const std::string& out, const Options& options) {
    if (format_code::IsOpus(code) && options.storage)
        throw ToolError("--storage is for the iLBC formats only");
    if (format_code::IsOpus(code) && format_code::Width(code) == 16)
        return EncodeOpus(code, in, out);
    if (options.storage && !IsIlbc(code))
        throw ToolError("--storage is for the iLBC formats only");
    const int width = format_code::Width(code);
    const int frame = FrameLengthOf(code);
    if (frame == 0 || !CodecAvailable(code))
        throw ToolError(NoCodecText(code));
    std::unique_ptr<SoundCodec> codec = CreateCodec(code);
    std::vector<int16_t> samples = ReadAudio(in, format_code::Rate(code));
    // The last frame is padded with silence.
    const size_t frames = (samples.size() + static_cast<size_t>(frame) - 1) / static_cast<size_t>(frame);
    samples.resize(frames * static_cast<size_t>(frame), 0);

    std::vector<uint8_t> output;
    ByteBuffer payload(0, 0);
    std::vector<uint8_t> narrow(static_cast<size_t>(frame));
    for (size_t f = 0; f < frames; ++f) {
        const int16_t* pcm = samples.data() + f * static_cast<size_t>(frame);
        if (width == 8) {
            for (int i = 0; i < frame; ++i)
                narrow[static_cast<size_t>(i)] = Sample16To8(pcm[i]);
            if (codec) {
                codec->Encode8(narrow.data(), frame, payload, false);
            } else {
                payload.Write(narrow.data(), frame, false);
            }
        } else if (codec) {
            codec->Encode16(pcm, frame, payload, false);
        } else {
            payload.Write(reinterpret_cast<const uint8_t*>(pcm), frame * 2, false);
        }
        output.insert(output.end(), payload.Data(), payload.Data() + payload.Length());
    }
    if (options.storage) {
        const std::vector<uint8_t> file = ilbc::MakeStorage(IlbcMode(code), output.data(), frames);
        WriteBytes(out, file.data(), file.size());
    } else {
        WriteBytes(out, output.data(), output.size());
    }
    std::cerr << "qparlin-codec: " << frames << " frames, " << output.size() << " bytes\n";
}

// The channel file's verdict for each frame: true received, false lost.
std::vector<bool> ReadChannel(const std::string& path) {
    const std::vector<uint8_t> bytes = ReadBytes(path);
    std::vector<bool> received;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        const int value = static_cast<int16_t>(bytes[i] | (bytes[i + 1] << 8));
        if (value != 0 && value != 1) {
            throw ToolError(path + ": value " + std::to_string(value) + " at frame " + std::to_string(i / 2) +
                            " is neither 1 (received) nor 0 (lost)");
        }
        received.push_back(value == 1);
    }
    return received;
}

void Decode(int code, const std::string& in, const std::string& out, const Options& options) {
    if (format_code::IsOpus(code) && format_code::Width(code) == 16 && options.channel.empty())
        return DecodeOpus(code, in, out);
    const int width = format_code::Width(code);
    if (!CodecAvailable(code))
        throw ToolError(NoCodecText(code));
    const int size = FixedPayloadSize(code);
    if (size == 0) {
        throw ToolError("format " + std::to_string(code) +
                        " has payloads of varying size: a file of them cannot be cut into frames");
    }
    if (!options.channel.empty() && !IsIlbc(code))
        throw ToolError("--channel is for the iLBC formats only");
    std::unique_ptr<SoundCodec> codec = CreateCodec(code);
    const std::vector<uint8_t> file = ReadBytes(in);
    const uint8_t* payloadBytes = file.data();
    size_t payloadLength = file.size();
    if (IsIlbc(code)) {
        if (const auto storage = ilbc::ParseStorage(file.data(), file.size())) {
            if (storage->mode != IlbcMode(code)) {
                throw ToolError(in + ": a storage file of " +
                                std::to_string(static_cast<int>(storage->mode)) +
                                " ms frames, the format's are " +
                                std::to_string(static_cast<int>(IlbcMode(code))) + " ms");
            }
            payloadBytes = storage->frames;
            payloadLength = storage->frameCount * static_cast<size_t>(size) + storage->trailingBytes;
        }
    }
    const std::vector<uint8_t> payloads(payloadBytes, payloadBytes + payloadLength);
    const size_t frames = payloads.size() / static_cast<size_t>(size);
    const size_t rest = payloads.size() % static_cast<size_t>(size);
    std::vector<bool> received;
    if (!options.channel.empty()) {
        received = ReadChannel(options.channel);
        if (received.size() < frames) {
            throw ToolError(options.channel + ": " + std::to_string(received.size()) + " values for " +
                            std::to_string(frames) + " frames");
        }
    }
    size_t lost = 0;

    std::vector<int16_t> samples;
    ByteBuffer narrow(0, 0);
    SampleBuffer wide(0, 0);
    for (size_t f = 0; f < frames; ++f) {
        const uint8_t* payload = payloads.data() + f * static_cast<size_t>(size);
        // A lost frame reaches the codec as an empty payload, which it conceals.
        const bool arrived = received.empty() || received[f];
        lost += arrived ? 0 : 1;
        const int length = arrived ? size : 0;
        if (width == 8) {
            if (codec) {
                codec->Decode8(payload, length, narrow, false);
            } else {
                narrow.Write(payload, size, false);
            }
            for (int i = 0; i < narrow.Length(); ++i)
                samples.push_back(Sample8To16(narrow[i]));
        } else if (codec) {
            codec->Decode16(payload, length, wide, false);
            samples.insert(samples.end(), wide.Data(), wide.Data() + wide.Length());
        } else {
            for (int i = 0; i + 1 < size; i += 2)
                samples.push_back(static_cast<int16_t>(payload[i] | (payload[i + 1] << 8)));
        }
    }
    WriteAudio(out, samples, format_code::Rate(code));
    std::cerr << "qparlin-codec: " << frames << " frames";
    if (!received.empty())
        std::cerr << " (" << lost << " lost)";
    std::cerr << ", " << samples.size() << " samples\n";
    if (rest != 0) {
        std::cerr << "qparlin-codec: " << in << ": the last " << rest
                  << " bytes are less than one payload of " << size << " bytes and were not decoded\n";
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args;
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::cout << kUsage;
            return 0;
        }
        if (arg == "--storage") {
            options.storage = true;
        } else if (arg.rfind("--channel=", 0) == 0 && arg.size() > 10) {
            options.channel = arg.substr(10);
        } else if (arg.rfind("--", 0) == 0) {
            std::cerr << "qparlin-codec: " << arg << ": unknown option\n" << kUsage;
            return 2;
        } else {
            args.push_back(arg);
        }
    }
    if (args.size() != 4 || (args[0] != "encode" && args[0] != "decode")) {
        std::cerr << kUsage;
        return 2;
    }
    const std::optional<int> code = ParseFormatOption(args[1]);
    if (!code) {
        std::cerr << "qparlin-codec: " << args[1] << ": not a format (try -a:g711_8khz)\n";
        return 2;
    }
    try {
        if (args[0] == "encode") {
            Encode(*code, args[2], args[3], options);
        } else {
            Decode(*code, args[2], args[3], options);
        }
    } catch (const ToolError& e) {
        std::cerr << "qparlin-codec: " << e.what() << "\n";
        return 1;
    } catch (const std::exception& e) {
        std::cerr << "qparlin-codec: " << e.what() << "\n";
        return 1;
    } catch (const Exception&) {
        std::cerr << "qparlin-codec: out of memory\n";
        return 1;
    }
    return 0;
}
