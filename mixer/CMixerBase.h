// Binds one object to exactly one control of the mixer: opens mixer device 0, finds a destination line
// by component type, optionally a source line of that destination by component type, then one control of
// the line by control type, and keeps a value buffer through which the control is read and written.
//
// Failures go to TraceError only (quiet unless QPARLIN_TRACE is set) and leave the object closed: a
// failed object never holds a mixer. Used on the user-interface thread only; change notices reach the
// callback target given to Init as MM_MIXM_CONTROL_CHANGE.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/mixer/Mixer.h"

// The source type that asks for no source line: the control is taken from the destination line itself.
constexpr uint32_t NO_SOURCE_LINE = MIXERLINE_COMPONENTTYPE_SRC_LAST + 1;

class CMixerBase {
public:
    CMixerBase();
    virtual ~CMixerBase();
    CMixerBase(const CMixerBase&) = delete;
    CMixerBase& operator=(const CMixerBase&) = delete;

    // Selects line and control and prepares the value buffer; false (and closed) on any failure.
    bool Init(uint32_t dstType, uint32_t srcType, uint32_t controlType, MessageTarget* callback);
    // Fills the details block from the control and allocates the value buffer (called by Init).
    bool InitMXDetails();
    // Reads the control's values into the buffer; true on success.
    bool GetMXDetails();
    // Writes the buffer's values to the control; true on success.
    bool SetMXDetails();
    // Closes the mixer and frees the buffer; safe to call again.
    void CloseMixer();

    std::string GetLineName() const { return lineName_; }
    // The control's name while the mixer is open, else empty.
    std::string GetControlName() const;
    std::string GetDestinationName() const { return destinationName_; }
    HMIXER GetHandle() const { return mixer_.get(); }
    const MixerControl& GetControl() const { return control_; }
    const MixerControlDetails& GetDetails() const { return details_; }
    uint32_t GetChannelCount() const { return channels_; }
    // The value buffer: null until Init succeeded; cell 0 is the left channel, cell 1 the right.
    uint32_t* GetValues() const { return values_.get(); }

    // The platform constant's name of a line type or a control type, letter for letter.
    static const char* LineTypeName(uint32_t lineType);
    static const char* ControlTypeName(uint32_t controlType);

    // The diagnostic trace: discards its input unless the environment variable QPARLIN_TRACE is set, then
    // writes "title: text" as one line to stderr.
    static void TraceError(const char* title, const char* format, ...) __attribute__((format(printf, 2, 3)));

private:
    std::string lineName_;
    std::string destinationName_;
    std::string lineShortName_;
    std::unique_ptr<Mixer> mixer_;
    MixerControl control_;
    uint32_t channels_ = 0;
    MixerControlDetails details_;
    std::unique_ptr<uint32_t[]> values_;
};
