// The mixer service: mixer devices with destination lines (where sound goes: speakers, recording), the
// source lines feeding each destination (microphone, line in, ...), and the controls of each line
// (volume, mute, ...). Lines are found by component type and controls by control type; a control's
// values are read and written as 32-bit cells (for a two-channel control, cell 0 is left, cell 1 right).
//
// A device is opened with a MessageTarget that is sent MM_MIXM_CONTROL_CHANGE (wParam the open mixer's
// handle, lParam the control id) whenever a control's value changes, whoever changed it. Notices are
// posted from a thread of the backend; nothing ever calls into the target otherwise.
//
// Which backend serves the calls (ALSA, simulated) is chosen once at start-up with SetMixerBackend;
// nothing else knows which is in use.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/MessageTarget.h"
#include "platform/MmResult.h"

constexpr MMRESULT MIXERR_INVALLINE = 1024;
constexpr MMRESULT MIXERR_INVALCONTROL = 1025;
constexpr MMRESULT MIXERR_INVALVALUE = 1026;

// Posted to an open mixer's target: wParam the mixer's handle, lParam the control id.
constexpr uint32_t MM_MIXM_CONTROL_CHANGE = 0x3D1;

// Destination line types.
constexpr uint32_t MIXERLINE_COMPONENTTYPE_DST_FIRST = 0x0;
constexpr uint32_t MIXERLINE_COMPONENTTYPE_DST_UNDEFINED = 0x0;
constexpr uint32_t MIXERLINE_COMPONENTTYPE_DST_DIGITAL = 0x1;
constexpr uint32_t MIXERLINE_COMPONENTTYPE_DST_LINE = 0x2;
constexpr uint32_t MIXERLINE_COMPONENTTYPE_DST_MONITOR = 0x3;
constexpr uint32_t MIXERLINE_COMPONENTTYPE_DST_SPEAKERS = 0x4;
constexpr uint32_t MIXERLINE_COMPONENTTYPE_DST_HEADPHONES = 0x5;
constexpr uint32_t MIXERLINE_COMPONENTTYPE_DST_TELEPHONE = 0x6;
constexpr uint32_t MIXERLINE_COMPONENTTYPE_DST_WAVEIN = 0x7;
constexpr uint32_t MIXERLINE_COMPONENTTYPE_DST_VOICEIN = 0x8;
constexpr uint32_t MIXERLINE_COMPONENTTYPE_DST_LAST = 0x8;

// Source line types.
constexpr uint32_t MIXERLINE_COMPONENTTYPE_SRC_FIRST = 0x1000;
constexpr uint32_t MIXERLINE_COMPONENTTYPE_SRC_UNDEFINED = 0x1000;
constexpr uint32_t MIXERLINE_COMPONENTTYPE_SRC_DIGITAL = 0x1001;
constexpr uint32_t MIXERLINE_COMPONENTTYPE_SRC_LINE = 0x1002;
constexpr uint32_t MIXERLINE_COMPONENTTYPE_SRC_MICROPHONE = 0x1003;
constexpr uint32_t MIXERLINE_COMPONENTTYPE_SRC_SYNTHESIZER = 0x1004;
constexpr uint32_t MIXERLINE_COMPONENTTYPE_SRC_COMPACTDISC = 0x1005;
constexpr uint32_t MIXERLINE_COMPONENTTYPE_SRC_TELEPHONE = 0x1006;
constexpr uint32_t MIXERLINE_COMPONENTTYPE_SRC_PCSPEAKER = 0x1007;
constexpr uint32_t MIXERLINE_COMPONENTTYPE_SRC_WAVEOUT = 0x1008;
constexpr uint32_t MIXERLINE_COMPONENTTYPE_SRC_AUXILIARY = 0x1009;
constexpr uint32_t MIXERLINE_COMPONENTTYPE_SRC_ANALOG = 0x100A;
constexpr uint32_t MIXERLINE_COMPONENTTYPE_SRC_LAST = 0x100A;

// Control types: class, subclass and units, plus a number within them.
constexpr uint32_t MIXERCONTROL_CT_CLASS_MASK = 0xF0000000;
constexpr uint32_t MIXERCONTROL_CT_CLASS_CUSTOM = 0x00000000;
constexpr uint32_t MIXERCONTROL_CT_CLASS_METER = 0x10000000;
constexpr uint32_t MIXERCONTROL_CT_CLASS_SWITCH = 0x20000000;
constexpr uint32_t MIXERCONTROL_CT_CLASS_NUMBER = 0x30000000;
constexpr uint32_t MIXERCONTROL_CT_CLASS_SLIDER = 0x40000000;
constexpr uint32_t MIXERCONTROL_CT_CLASS_FADER = 0x50000000;
constexpr uint32_t MIXERCONTROL_CT_CLASS_TIME = 0x60000000;
constexpr uint32_t MIXERCONTROL_CT_CLASS_LIST = 0x70000000;

constexpr uint32_t MIXERCONTROL_CT_UNITS_MASK = 0x00FF0000;
constexpr uint32_t MIXERCONTROL_CT_UNITS_CUSTOM = 0x00000000;
constexpr uint32_t MIXERCONTROL_CT_UNITS_BOOLEAN = 0x00010000;
constexpr uint32_t MIXERCONTROL_CT_UNITS_SIGNED = 0x00020000;
constexpr uint32_t MIXERCONTROL_CT_UNITS_UNSIGNED = 0x00030000;
constexpr uint32_t MIXERCONTROL_CT_UNITS_DECIBELS = 0x00040000;
constexpr uint32_t MIXERCONTROL_CT_UNITS_PERCENT = 0x00050000;

constexpr uint32_t MIXERCONTROL_CONTROLTYPE_CUSTOM = 0x00000000;
constexpr uint32_t MIXERCONTROL_CONTROLTYPE_BOOLEANMETER = 0x10010000;
constexpr uint32_t MIXERCONTROL_CONTROLTYPE_SIGNEDMETER = 0x10020000;
constexpr uint32_t MIXERCONTROL_CONTROLTYPE_PEAKMETER = 0x10020001;
constexpr uint32_t MIXERCONTROL_CONTROLTYPE_UNSIGNEDMETER = 0x10030000;
constexpr uint32_t MIXERCONTROL_CONTROLTYPE_BOOLEAN = 0x20010000;
constexpr uint32_t MIXERCONTROL_CONTROLTYPE_ONOFF = 0x20010001;
constexpr uint32_t MIXERCONTROL_CONTROLTYPE_MUTE = 0x20010002;
constexpr uint32_t MIXERCONTROL_CONTROLTYPE_MONO = 0x20010003;
constexpr uint32_t MIXERCONTROL_CONTROLTYPE_LOUDNESS = 0x20010004;
constexpr uint32_t MIXERCONTROL_CONTROLTYPE_STEREOENH = 0x20010005;
constexpr uint32_t MIXERCONTROL_CONTROLTYPE_BUTTON = 0x21010000;
constexpr uint32_t MIXERCONTROL_CONTROLTYPE_SIGNED = 0x30020000;
constexpr uint32_t MIXERCONTROL_CONTROLTYPE_UNSIGNED = 0x30030000;
constexpr uint32_t MIXERCONTROL_CONTROLTYPE_DECIBELS = 0x30040000;
constexpr uint32_t MIXERCONTROL_CONTROLTYPE_PERCENT = 0x30050000;
constexpr uint32_t MIXERCONTROL_CONTROLTYPE_SLIDER = 0x40020000;
constexpr uint32_t MIXERCONTROL_CONTROLTYPE_PAN = 0x40020001;
constexpr uint32_t MIXERCONTROL_CONTROLTYPE_QSOUNDPAN = 0x40020002;
constexpr uint32_t MIXERCONTROL_CONTROLTYPE_FADER = 0x50030000;
constexpr uint32_t MIXERCONTROL_CONTROLTYPE_VOLUME = 0x50030001;
constexpr uint32_t MIXERCONTROL_CONTROLTYPE_BASS = 0x50030002;
constexpr uint32_t MIXERCONTROL_CONTROLTYPE_TREBLE = 0x50030003;
constexpr uint32_t MIXERCONTROL_CONTROLTYPE_EQUALIZER = 0x50030004;
constexpr uint32_t MIXERCONTROL_CONTROLTYPE_MICROTIME = 0x60030000;
constexpr uint32_t MIXERCONTROL_CONTROLTYPE_MILLITIME = 0x61030000;
constexpr uint32_t MIXERCONTROL_CONTROLTYPE_SINGLESELECT = 0x70010000;
constexpr uint32_t MIXERCONTROL_CONTROLTYPE_MUX = 0x70010001;
constexpr uint32_t MIXERCONTROL_CONTROLTYPE_MULTIPLESELECT = 0x71010000;
constexpr uint32_t MIXERCONTROL_CONTROLTYPE_MIXER = 0x71010001;

// Control flags.
constexpr uint32_t MIXERCONTROL_CONTROLF_UNIFORM = 0x00000001;   // one value for all channels
constexpr uint32_t MIXERCONTROL_CONTROLF_MULTIPLE = 0x00000002;  // multipleItems values per channel
constexpr uint32_t MIXERCONTROL_CONTROLF_DISABLED = 0x80000000;

// How GetLineInfo finds a line.
constexpr uint32_t MIXER_GETLINEINFOF_DESTINATION = 0x0;  // by line.destination
constexpr uint32_t MIXER_GETLINEINFOF_SOURCE = 0x1;       // by line.destination and line.source

struct MixerCaps {
    std::string name;
    uint32_t destinations = 0;
};

// A destination line, or a source line of a destination.
struct MixerLine {
    uint32_t destination = 0;  // index of the destination
    uint32_t source = 0;       // index of the source within its destination (source lines)
    uint32_t lineId = 0;
    uint32_t componentType = 0;
    uint32_t channels = 0;
    uint32_t connections = 0;  // sources of a destination; 0 for a source
    uint32_t controls = 0;
    std::string shortName;
    std::string name;
};

struct MixerControl {
    uint32_t controlId = 0;
    uint32_t controlType = 0;
    uint32_t flags = 0;
    uint32_t multipleItems = 0;
    std::string shortName;
    std::string name;
    // Bounds of a value, and how many steps apart its settings lie.
    uint32_t minimum = 0;
    uint32_t maximum = 0;
    uint32_t steps = 0;
};

// A request to read or write a control's values: `channels` × `multipleItems` (or × 1) cells in `cells`,
// which the caller owns.
struct MixerControlDetails {
    uint32_t controlId = 0;
    uint32_t channels = 0;
    uint32_t multipleItems = 0;
    uint32_t* cells = nullptr;
};

// An open mixer device. Closed when destroyed: no notice is posted once the destructor has returned.
// Its calls are made from one thread at a time (the owning window's).
class Mixer {
public:
    virtual ~Mixer() = default;
    virtual MMRESULT GetDevCaps(MixerCaps& caps) = 0;
    // Fills `line` from the destination (and source) indexes it carries, as `flags` says.
    virtual MMRESULT GetLineInfo(MixerLine& line, uint32_t flags) = 0;
    // The one control of type `controlType` on the line `lineId`.
    virtual MMRESULT GetLineControlByType(uint32_t lineId, uint32_t controlType, MixerControl& control) = 0;
    virtual MMRESULT GetControlDetails(MixerControlDetails& details) = 0;
    virtual MMRESULT SetControlDetails(const MixerControlDetails& details) = 0;
};

// The handle of an open mixer: what change notices carry in wParam.
using HMIXER = const Mixer*;

inline WPARAM MixerHandleParam(HMIXER mixer) {
    return reinterpret_cast<WPARAM>(mixer);
}

// A source of mixer devices: ALSA or simulated.
class MixerBackend {
public:
    virtual ~MixerBackend() = default;
    virtual std::string Name() const = 0;
    // Devices are numbered from 0.
    virtual uint32_t DeviceCount() = 0;
    // Opens device `deviceId`; `target` (may be null: no notices) must outlive the open mixer.
    virtual MMRESULT Open(std::unique_ptr<Mixer>& mixer, uint32_t deviceId, MessageTarget* target) = 0;
};

// The backend every mixer is opened on. Set once at start-up, before any mixer is open; until then it is
// a backend without devices. CurrentMixerBackend may be called from any thread.
void SetMixerBackend(std::unique_ptr<MixerBackend> backend);
MixerBackend& CurrentMixerBackend();

// The ALSA simple mixer on one control device (the sound server's, through its ALSA plugin, on "default"):
// one mixer device whose playback master volume is the speakers destination and whose capture volume is
// the recording destination with a microphone source (README.md, "The mixer on ALSA"). Make it before
// other threads use ALSA: it silences ALSA's error messages on stderr.
std::unique_ptr<MixerBackend> MakeAlsaMixerBackend(const std::string& device = "default");
