// What a volume fader does apart from drawing: binds a trackbar's positions to one fader-class mixer
// control. Positions run from 0 to the control's step count, one position being `step` mixer units; on a
// vertical trackbar the position shown is inverted so that the top is the loudest. The sub-type says what
// the fader drives: one channel (LEFT, RIGHT), the louder channel keeping the left/right ratio (MAIN), or
// the ratio keeping the louder channel (BALANCE).
//
// CMixerFader (the Qt widget) supplies the trackbar through the protected hooks and is the target of the
// mixer's change notices (Post, which must hand the notice to the UI thread and call OnMixerControlChange
// there). It must call OnDestroy() at the start of its destructor: the mixer's notices may be posted from
// another thread until the mixer is closed.
#pragma once

#include <cstdint>

#include "mixer/CMixerBase.h"

// Trackbar scroll notification codes.
constexpr uint32_t TB_LINEUP = 0;
constexpr uint32_t TB_LINEDOWN = 1;
constexpr uint32_t TB_PAGEUP = 2;
constexpr uint32_t TB_PAGEDOWN = 3;
constexpr uint32_t TB_THUMBPOSITION = 4;
constexpr uint32_t TB_THUMBTRACK = 5;
constexpr uint32_t TB_TOP = 6;
constexpr uint32_t TB_BOTTOM = 7;
constexpr uint32_t TB_ENDTRACK = 8;

class CMixerFaderLogic : public CMixerBase, public MessageTarget {
public:
    enum SubType { LEFT = 0, RIGHT = 1, MAIN = 2, BALANCE = 3 };

    // Binds the fader to a control and shows its value; false leaves the trackbar disabled. True with the
    // trackbar still disabled when the mixer opened but the first read failed.
    bool Init(uint32_t dstType, uint32_t srcType, uint32_t controlType, int subType);
    // Mixer values (the buffer as last read) → trackbar position.
    void SetHVSliderPos();
    // Trackbar position → mixer values, written at once.
    void SetFaderValue();
    // The trackbar's position in mixer units.
    uint32_t GetHVSliderPos() const;
    // Moves the trackbar to a logical position (inverted on a vertical trackbar).
    void SetSliderPos(int position);

    // Trackbar scroll notifications: page steps, thumb moves and the end of a change write the control.
    void VScroll(uint32_t code) { Scroll("CMixerFader::VScroll", code); }
    void HScroll(uint32_t code) { Scroll("CMixerFader::HScroll", code); }
    // MM_MIXM_CONTROL_CHANGE, on the UI thread: re-reads and shows the control when the notice is for it.
    void OnMixerControlChange(WPARAM wParam, LPARAM lParam);
    // The window is going away: closes the mixer.
    void OnDestroy();

    uint32_t GetStep() const { return step_; }
    float GetBalance() const { return balance_; }
    // The value buffer while the fader is bound to its control, else null.
    uint32_t* GetValue() const { return bound_ ? GetValues() : nullptr; }

protected:
    // The trackbar.
    virtual bool HasWindow() const = 0;
    virtual void EnableWindow(bool enable) = 0;
    virtual bool IsVertical() const = 0;
    virtual void GetTrackbarRange(int& minimum, int& maximum) const = 0;
    virtual void SetTrackbarRange(int minimum, int maximum, bool redraw) = 0;
    virtual int GetTrackbarPos() const = 0;
    // Moves the thumb and redraws.
    virtual void SetTrackbarPos(int position) = 0;

private:
    void Scroll(const char* title, uint32_t code);
    // True when the buffer holds a left and a right cell.
    bool TwoChannel() const { return GetDetails().channels >= 2; }
    // The trackbar's highest position: the step count once Init has set the range.
    int TrackbarMax() const;

    int32_t range_ = 0;
    uint32_t step_ = 0;
    uint32_t stepCount_ = 0;
    int subType_ = MAIN;
    float balance_ = 0.0f;
    // Set once Init has bound the fader: the buffer is read through GetValues(), which is null whenever
    // the mixer is closed, so no stale pointer is ever kept.
    bool bound_ = false;
};
