// Mixer discovery: the line and control search of Init, the value buffer, and the names of the platform's
// line and control types for the trace.
#include "mixer/CMixerBase.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <new>

CMixerBase::CMixerBase() = default;

CMixerBase::~CMixerBase() {
    CloseMixer();
}

bool CMixerBase::Init(uint32_t dstType, uint32_t srcType, uint32_t controlType, MessageTarget* callback) {
    static const char* const kTitle = "CMixerBase::Init";
    MixerBackend& backend = CurrentMixerBackend();
    if (backend.DeviceCount() < 1) {
        TraceError(kTitle, "No mixer device present");
        return false;
    }
    // The buffer stays until InitMXDetails replaces it.
    mixer_.reset();
    if (backend.Open(mixer_, 0, callback) != MMSYSERR_NOERROR) {
        mixer_.reset();
        TraceError(kTitle, "Could not open mixer device");
        return false;
    }

    MixerCaps caps;
    MixerLine line;
    bool found = false;
    if (mixer_->GetDevCaps(caps) == MMSYSERR_NOERROR) {
        for (uint32_t index = 0; index < caps.destinations; ++index) {
            line = MixerLine{};
            line.destination = index;
            line.source = 0;
            if (mixer_->GetLineInfo(line, MIXER_GETLINEINFOF_DESTINATION) != MMSYSERR_NOERROR)
                break;
            if (line.componentType == dstType) {
                found = true;
                break;
            }
        }
    }
    if (!found) {
        TraceError(kTitle, "Warning: the destination line \n%s\nwas not found.", LineTypeName(dstType));
        CloseMixer();
        return false;
    }
    destinationName_ = line.name;

    if (srcType != NO_SOURCE_LINE) {
        found = false;
        const uint32_t destination = line.destination;
        const uint32_t connections = line.connections;
        for (uint32_t index = 0; index < connections; ++index) {
            MixerLine source;
            source.destination = destination;
            source.source = index;
            if (mixer_->GetLineInfo(source, MIXER_GETLINEINFOF_SOURCE) != MMSYSERR_NOERROR)
                break;
            if (source.componentType == srcType) {
                line = source;
                found = true;
                break;
            }
        }
        if (!found) {
            TraceError(kTitle,
                       "Warning: the source line \n%s\n not found.\n\n(Associated to Destination line \n%s)",
                       LineTypeName(srcType), destinationName_.c_str());
            CloseMixer();
            return false;
        }
    }

    channels_ = line.channels;
    lineName_ = line.name;
    lineShortName_ = line.shortName;
    if (line.controls == 0) {
        TraceError(kTitle, "No controls available for this audio line: %s", line.name.c_str());
        CloseMixer();
        return false;
    }
    if (mixer_->GetLineControlByType(line.lineId, controlType, control_) != MMSYSERR_NOERROR) {
        TraceError(kTitle,
                   "Could not find specified mixer control. Associated Windows control will be disabled.\n"
                   "Control type: %s,\n\nDest line type: %s,\nSrc  line type: %s\n",
                   ControlTypeName(controlType), LineTypeName(dstType), LineTypeName(srcType));
        CloseMixer();
        return false;
    }
    return InitMXDetails();
}

bool CMixerBase::InitMXDetails() {
    static const char* const kTitle = "CMixerBase::InitMXDetails";
    details_.controlId = control_.controlId;
    details_.multipleItems = control_.multipleItems;
    details_.channels = (control_.flags & MIXERCONTROL_CONTROLF_UNIFORM) != 0 ? 1 : channels_;

    switch (control_.controlType & MIXERCONTROL_CT_UNITS_MASK) {
        case MIXERCONTROL_CT_UNITS_BOOLEAN:
        case MIXERCONTROL_CT_UNITS_SIGNED:
        case MIXERCONTROL_CT_UNITS_UNSIGNED:
        case MIXERCONTROL_CT_UNITS_DECIBELS:
        case MIXERCONTROL_CT_UNITS_PERCENT:
            break;
        default:
            TraceError(kTitle, "Control uses unknown units.");
            CloseMixer();
            return false;
    }

    // Every value, boolean, signed or unsigned, is one 32-bit cell.
    const size_t items = (control_.flags & MIXERCONTROL_CONTROLF_MULTIPLE) != 0 ? control_.multipleItems : 1;
    const size_t cells = size_t{details_.channels} * items;
    details_.cells = nullptr;
    values_.reset();
    // At least one cell, so that whoever reads cell 0 reads inside the buffer even for a line without
    // channels.
    values_.reset(new (std::nothrow) uint32_t[cells > 0 ? cells : 1]());
    if (values_ == nullptr) {
        TraceError(kTitle, "Memory allocation error.");
        CloseMixer();
        return false;
    }
    details_.cells = values_.get();
    return true;
}

bool CMixerBase::GetMXDetails() {
    return mixer_ != nullptr && details_.cells != nullptr &&
           mixer_->GetControlDetails(details_) == MMSYSERR_NOERROR;
}

bool CMixerBase::SetMXDetails() {
    return mixer_ != nullptr && details_.cells != nullptr &&
           mixer_->SetControlDetails(details_) == MMSYSERR_NOERROR;
}

void CMixerBase::CloseMixer() {
    mixer_.reset();
    details_.cells = nullptr;
    values_.reset();
}

std::string CMixerBase::GetControlName() const {
    return mixer_ != nullptr ? control_.name : std::string();
}

void CMixerBase::TraceError(const char* title, const char* format, ...) {
    if (std::getenv("QPARLIN_TRACE") == nullptr)
        return;
    char text[1024];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    // One write, so that the line is not split by other output.
    std::string line = std::string(title) + ": " + text + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
}

const char* CMixerBase::LineTypeName(uint32_t lineType) {
    switch (lineType) {
        case MIXERLINE_COMPONENTTYPE_DST_UNDEFINED:
            return "MIXERLINE_COMPONENTTYPE_DST_UNDEFINED";
        case MIXERLINE_COMPONENTTYPE_DST_DIGITAL:
            return "MIXERLINE_COMPONENTTYPE_DST_DIGITAL";
        case MIXERLINE_COMPONENTTYPE_DST_LINE:
            return "MIXERLINE_COMPONENTTYPE_DST_LINE";
        case MIXERLINE_COMPONENTTYPE_DST_MONITOR:
            return "MIXERLINE_COMPONENTTYPE_DST_MONITOR";
        case MIXERLINE_COMPONENTTYPE_DST_SPEAKERS:
            return "MIXERLINE_COMPONENTTYPE_DST_SPEAKERS";
        case MIXERLINE_COMPONENTTYPE_DST_HEADPHONES:
            return "MIXERLINE_COMPONENTTYPE_DST_HEADPHONES";
        case MIXERLINE_COMPONENTTYPE_DST_TELEPHONE:
            return "MIXERLINE_COMPONENTTYPE_DST_TELEPHONE";
        case MIXERLINE_COMPONENTTYPE_DST_WAVEIN:
            return "MIXERLINE_COMPONENTTYPE_DST_WAVEIN";
        case MIXERLINE_COMPONENTTYPE_DST_VOICEIN:
            return "MIXERLINE_COMPONENTTYPE_DST_VOICEIN";
        case MIXERLINE_COMPONENTTYPE_SRC_UNDEFINED:
            return "MIXERLINE_COMPONENTTYPE_SRC_UNDEFINED";
        case MIXERLINE_COMPONENTTYPE_SRC_DIGITAL:
            return "MIXERLINE_COMPONENTTYPE_SRC_DIGITAL";
        case MIXERLINE_COMPONENTTYPE_SRC_LINE:
            return "MIXERLINE_COMPONENTTYPE_SRC_LINE";
        case MIXERLINE_COMPONENTTYPE_SRC_MICROPHONE:
            return "MIXERLINE_COMPONENTTYPE_SRC_MICROPHONE";
        case MIXERLINE_COMPONENTTYPE_SRC_SYNTHESIZER:
            return "MIXERLINE_COMPONENTTYPE_SRC_SYNTHESIZER";
        case MIXERLINE_COMPONENTTYPE_SRC_COMPACTDISC:
            return "MIXERLINE_COMPONENTTYPE_SRC_COMPACTDISC";
        case MIXERLINE_COMPONENTTYPE_SRC_TELEPHONE:
            return "MIXERLINE_COMPONENTTYPE_SRC_TELEPHONE";
        case MIXERLINE_COMPONENTTYPE_SRC_PCSPEAKER:
            return "MIXERLINE_COMPONENTTYPE_SRC_PCSPEAKER";
        case MIXERLINE_COMPONENTTYPE_SRC_WAVEOUT:
            return "MIXERLINE_COMPONENTTYPE_SRC_WAVEOUT";
        case MIXERLINE_COMPONENTTYPE_SRC_AUXILIARY:
            return "MIXERLINE_COMPONENTTYPE_SRC_AUXILIARY";
        case MIXERLINE_COMPONENTTYPE_SRC_ANALOG:
            return "MIXERLINE_COMPONENTTYPE_SRC_ANALOG";
        case NO_SOURCE_LINE:
            return "No source line";
        default:
            return "---- UNKNOWN LINE TYPE ----";
    }
}

const char* CMixerBase::ControlTypeName(uint32_t controlType) {
    switch (controlType) {
        case MIXERCONTROL_CONTROLTYPE_CUSTOM:
            return "MIXERCONTROL_CONTROLTYPE_CUSTOM";
        case MIXERCONTROL_CONTROLTYPE_BOOLEANMETER:
            return "MIXERCONTROL_CONTROLTYPE_BOOLEANMETER";
        case MIXERCONTROL_CONTROLTYPE_SIGNEDMETER:
            return "MIXERCONTROL_CONTROLTYPE_SIGNEDMETER";
        case MIXERCONTROL_CONTROLTYPE_PEAKMETER:
            return "MIXERCONTROL_CONTROLTYPE_PEAKMETER";
        case MIXERCONTROL_CONTROLTYPE_UNSIGNEDMETER:
            return "MIXERCONTROL_CONTROLTYPE_UNSIGNEDMETER";
        case MIXERCONTROL_CONTROLTYPE_BOOLEAN:
            return "MIXERCONTROL_CONTROLTYPE_BOOLEAN";
        case MIXERCONTROL_CONTROLTYPE_ONOFF:
            return "MIXERCONTROL_CONTROLTYPE_ONOFF";
        case MIXERCONTROL_CONTROLTYPE_MUTE:
            return "MIXERCONTROL_CONTROLTYPE_MUTE";
        case MIXERCONTROL_CONTROLTYPE_MONO:
            return "MIXERCONTROL_CONTROLTYPE_MONO";
        case MIXERCONTROL_CONTROLTYPE_LOUDNESS:
            return "MIXERCONTROL_CONTROLTYPE_LOUDNESS";
        case MIXERCONTROL_CONTROLTYPE_STEREOENH:
            return "MIXERCONTROL_CONTROLTYPE_STEREOENH";
        case MIXERCONTROL_CONTROLTYPE_BUTTON:
            return "MIXERCONTROL_CONTROLTYPE_BUTTON";
        case MIXERCONTROL_CONTROLTYPE_SIGNED:
            return "MIXERCONTROL_CONTROLTYPE_SIGNED";
        case MIXERCONTROL_CONTROLTYPE_UNSIGNED:
            return "MIXERCONTROL_CONTROLTYPE_UNSIGNED";
        case MIXERCONTROL_CONTROLTYPE_DECIBELS:
            return "MIXERCONTROL_CONTROLTYPE_DECIBELS";
        case MIXERCONTROL_CONTROLTYPE_PERCENT:
            return "MIXERCONTROL_CONTROLTYPE_PERCENT";
        case MIXERCONTROL_CONTROLTYPE_SLIDER:
            return "MIXERCONTROL_CONTROLTYPE_SLIDER";
        case MIXERCONTROL_CONTROLTYPE_PAN:
            return "MIXERCONTROL_CONTROLTYPE_PAN";
        case MIXERCONTROL_CONTROLTYPE_QSOUNDPAN:
            return "MIXERCONTROL_CONTROLTYPE_QSOUNDPAN";
        case MIXERCONTROL_CONTROLTYPE_FADER:
            return "MIXERCONTROL_CONTROLTYPE_FADER";
        case MIXERCONTROL_CONTROLTYPE_VOLUME:
            return "MIXERCONTROL_CONTROLTYPE_VOLUME";
        case MIXERCONTROL_CONTROLTYPE_BASS:
            return "MIXERCONTROL_CONTROLTYPE_BASS";
        case MIXERCONTROL_CONTROLTYPE_TREBLE:
            return "MIXERCONTROL_CONTROLTYPE_TREBLE";
        case MIXERCONTROL_CONTROLTYPE_EQUALIZER:
            return "MIXERCONTROL_CONTROLTYPE_EQUALIZER";
        case MIXERCONTROL_CONTROLTYPE_MICROTIME:
            return "MIXERCONTROL_CONTROLTYPE_MICROTIME";
        case MIXERCONTROL_CONTROLTYPE_MILLITIME:
            return "MIXERCONTROL_CONTROLTYPE_MILLITIME";
        case MIXERCONTROL_CONTROLTYPE_SINGLESELECT:
            return "MIXERCONTROL_CONTROLTYPE_SINGLESELECT";
        case MIXERCONTROL_CONTROLTYPE_MUX:
            return "MIXERCONTROL_CONTROLTYPE_MUX";
        case MIXERCONTROL_CONTROLTYPE_MULTIPLESELECT:
            return "MIXERCONTROL_CONTROLTYPE_MULTIPLESELECT";
        case MIXERCONTROL_CONTROLTYPE_MIXER:
            return "MIXERCONTROL_CONTROLTYPE_MIXER";
        default:
            return "---- UNKNOWN CONTROL TYPE ----";
    }
}
