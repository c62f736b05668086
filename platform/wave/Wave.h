// The wave-audio service: recording and playback devices driven through headers of one frame each.
//
// A device is opened by number (-1 = the default device) with a PCM format and an owning MessageTarget
// (the device's own message thread). Headers are prepared, then added (recording) or written (playback);
// every finished header is posted to the owner as MM_WIM_DATA or MM_WOM_DONE with the header as lParam,
// and a reset hands every queued header back the same way. Calls report failures as result codes;
// WaveErrorText gives the text for each.
//
// Which backend serves the calls (a sound server's own protocol, PortAudio, WAV files, null) is chosen once
// at start-up with SetWaveBackend; nothing else knows which is in use.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/MessageTarget.h"
#include "platform/MmResult.h"

constexpr MMRESULT WAVERR_BADFORMAT = 32;
constexpr MMRESULT WAVERR_STILLPLAYING = 33;
constexpr MMRESULT WAVERR_UNPREPARED = 34;

// Posted to the owner of a device with a finished header in lParam.
constexpr uint32_t MM_WOM_DONE = 0x3BD;
constexpr uint32_t MM_WIM_DATA = 0x3C0;

// The default device.
constexpr int WAVE_MAPPER = -1;

constexpr uint16_t WAVE_FORMAT_PCM = 1;

struct WaveFormat {
    uint16_t formatTag = WAVE_FORMAT_PCM;
    uint16_t channels = 1;
    uint32_t samplesPerSec = 0;
    uint32_t avgBytesPerSec = 0;
    uint16_t blockAlign = 0;
    uint16_t bitsPerSample = 0;
    uint16_t extraSize = 0;
};

// Header flags.
constexpr uint32_t WHDR_DONE = 0x01;
constexpr uint32_t WHDR_PREPARED = 0x02;
constexpr uint32_t WHDR_INQUEUE = 0x10;

// One buffer handed to a device. The device owns a queued header until it posts it back.
struct WaveHeader {
    uint8_t* data = nullptr;
    uint32_t bufferLength = 0;
    uint32_t bytesRecorded = 0;
    uint32_t flags = 0;
};

// An open recording device.
class WaveIn {
public:
    virtual ~WaveIn() = default;
    virtual MMRESULT Prepare(WaveHeader* header) = 0;
    virtual MMRESULT Unprepare(WaveHeader* header) = 0;
    virtual MMRESULT Add(WaveHeader* header) = 0;
    virtual MMRESULT Start() = 0;
    virtual MMRESULT Stop() = 0;
    // Stops recording and posts every queued header back (MM_WIM_DATA), the current one with what it holds.
    virtual MMRESULT Reset() = 0;
    // Fails with WAVERR_STILLPLAYING while headers are queued.
    virtual MMRESULT Close() = 0;
    // How long a sound takes from the microphone to the header's hand-over, in milliseconds, as the device
    // reports it (the echo canceller's alignment); -1 when it does not.
    virtual int LatencyMs() const { return -1; }
};

// An open playback device.
class WaveOut {
public:
    virtual ~WaveOut() = default;
    virtual MMRESULT Prepare(WaveHeader* header) = 0;
    virtual MMRESULT Unprepare(WaveHeader* header) = 0;
    virtual MMRESULT Write(WaveHeader* header) = 0;
    // Stops playback and posts every queued header back (MM_WOM_DONE).
    virtual MMRESULT Reset() = 0;
    // Low word left, high word right; 0xFFFF is full volume.
    virtual MMRESULT SetVolume(uint32_t volume) = 0;
    // Fails with WAVERR_STILLPLAYING while headers are queued.
    virtual MMRESULT Close() = 0;
    // How many frames the device takes at a time (as far as it has shown so far): whoever feeds it in
    // small headers keeps at least this much queued.
    virtual size_t PeriodFrames() const { return 0; }
    // How long a header posted back as done takes to reach the speaker, in milliseconds, as the device
    // reports it; -1 when it does not.
    virtual int LatencyMs() const { return -1; }
};

struct WaveDeviceInfo {
    WaveDeviceInfo() = default;
    WaveDeviceInfo(std::string deviceName, bool isDefaultDevice, std::string deviceDescription = {})
        : name(std::move(deviceName)),
          isDefault(isDefaultDevice),
          description(std::move(deviceDescription)) {}

    std::string name;
    bool isDefault = false;
    std::string description;  // what a sound server shows users for the device; may be empty
};

// What a backend is told at start-up besides the device numbers. Only the backends that know names or
// streams use them.
struct WaveDeviceOptions {
    // The device to open for the default (WAVE_MAPPER), as FindWaveDevice matches it; empty: the system's.
    std::string inputDevice;
    std::string outputDevice;
    // Whom the call is with, for the stream names a sound server shows; empty when not known.
    std::string peer;
    // Our own echo cancellation runs: ask the sound server not to put its own in front of the streams.
    bool suppressServerEchoCancel = false;
};

// A source of devices: PortAudio, WAV files or null.
class WaveBackend {
public:
    virtual ~WaveBackend() = default;
    virtual std::string Name() const = 0;
    virtual MMRESULT OpenIn(std::unique_ptr<WaveIn>& device, int deviceId, const WaveFormat& format,
                            MessageTarget* owner) = 0;
    virtual MMRESULT OpenOut(std::unique_ptr<WaveOut>& device, int deviceId, const WaveFormat& format,
                             MessageTarget* owner) = 0;
    // Devices in the order of their numbers: entry i is device number i + 1.
    virtual std::vector<WaveDeviceInfo> InputDevices() = 0;
    virtual std::vector<WaveDeviceInfo> OutputDevices() = 0;
    // Text for a result code of this backend.
    virtual std::string ErrorText(MMRESULT result) const;
};

// The backend every device is opened on. Set once at start-up, before any device thread exists;
// until then it is the null backend. Setting another one destroys the previous one, whose devices must
// all be closed by then. CurrentWaveBackend may be called from any thread.
void SetWaveBackend(std::unique_ptr<WaveBackend> backend);
WaveBackend& CurrentWaveBackend();

// The text of a result code, as the service's error-text call gives it.
std::string WaveErrorText(MMRESULT result);

// The sound system's devices through PortAudio. The devices are the ones PortAudio reports when the
// backend is made; with no sound server there may be none, and opening then fails with MMSYSERR_NODRIVER.
// Make it before other threads start: it sets JACK_NO_START_SERVER in the environment (unless set).
std::unique_ptr<WaveBackend> MakePortAudioWaveBackend();
// WAV files in real time: recording reads inputPath (mixed down to mono, silence after its end; its rate
// must be the format's), playback writes outputPath (16-bit, or 8-bit for 8-bit formats) with the silence
// played while nothing was queued. An empty inputPath records silence; an empty outputPath discards.
// The output file stays open across devices of the same format, so that reopening playback adds to it.
std::unique_ptr<WaveBackend> MakeWavFileWaveBackend(const std::string& inputPath,
                                                    const std::string& outputPath);
// Silence in, nothing out, in real time.
std::unique_ptr<WaveBackend> MakeNullWaveBackend();

// A sound server's own protocol (PulseAudio, or PipeWire's PulseAudio server): null when no server answered
// within about a second, with the reason in `problem`, unless `waitForServer`: then the backend asks again
// every second, and opening a device fails until a server answers. The connection lives as long as the
// backend and its devices; a server that goes away or a device that vanishes is reported once through the
// error sink, and the devices come back by themselves when it does.
std::unique_ptr<WaveBackend> MakePulseWaveBackend(const WaveDeviceOptions& options, std::string& problem,
                                                  bool waitForServer = false);
// PipeWire's own protocol, a stream per direction: as MakePulseWaveBackend, for a PipeWire server.
std::unique_ptr<WaveBackend> MakePipeWireWaveBackend(const WaveDeviceOptions& options, std::string& problem,
                                                     bool waitForServer = false);
// PortAudio, opening the named devices of `options` for the default.
std::unique_ptr<WaveBackend> MakePortAudioWaveBackend(const WaveDeviceOptions& options);
// The first of `makers` that gives a backend (a sound server that answers); PortAudio comes last and
// always answers. `tried` collects why the others did not.
using WaveBackendMaker = std::unique_ptr<WaveBackend> (*)(const WaveDeviceOptions& options,
                                                          std::string& problem);
std::unique_ptr<WaveBackend> MakeFirstAnsweringWaveBackend(const std::vector<WaveBackendMaker>& makers,
                                                           const WaveDeviceOptions& options,
                                                           std::vector<std::string>& tried);
// PipeWire if it answers, else a PulseAudio server, else PortAudio.
std::unique_ptr<WaveBackend> MakeAutoWaveBackend(const WaveDeviceOptions& options);

// The number (1-based, as -i:n and -o:n) of the device `name` names: the device of exactly that name, else
// the one whose name or description holds it, ignoring letter case, when just one does. 0 when none does,
// -1 when several do.
int FindWaveDevice(const std::vector<WaveDeviceInfo>& devices, const std::string& name);

// Writes the device lists as `--list-devices` shows them: a "Recording devices:" and a "Playback devices:"
// section, one "  n  name" line per device numbered from 1 (the numbers -i:n and -o:n take), its
// description in brackets where the backend has one, " (default)" after the default one, and "  (none)" for
// an empty list.
void WriteWaveDeviceList(WaveBackend& backend, std::ostream& out);
