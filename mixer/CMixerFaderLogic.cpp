// The position arithmetic of the volume faders and their handling of scroll and change notices.
#include "mixer/CMixerFaderLogic.h"

#include <algorithm>

namespace {

uint32_t Trunc(double value) {
    return value <= 0 ? 0 : static_cast<uint32_t>(value);
}

}  // namespace

bool CMixerFaderLogic::Init(uint32_t dstType, uint32_t srcType, uint32_t controlType, int subType) {
    static const char* const kTitle = "CMixerFader::Init";
    bound_ = false;
    if (!HasWindow()) {
        TraceError(kTitle, "No Window attached. Did you create or subclass one?");
        return false;
    }
    EnableWindow(false);
    if (subType == BALANCE) {
        int minimum = 0;
        int maximum = 0;
        GetTrackbarRange(minimum, maximum);
        SetSliderPos((maximum - minimum) / 2);
    }
    if ((controlType & MIXERCONTROL_CT_CLASS_MASK) != MIXERCONTROL_CT_CLASS_FADER) {
        TraceError(kTitle, "Wrong control type for a fader control: %s", ControlTypeName(controlType));
        return false;
    }
    if (subType < LEFT || subType > BALANCE) {
        TraceError(kTitle, "Wrong sub-type for a fader control: %d", subType);
        return false;
    }
    subType_ = subType;
    if (!CMixerBase::Init(dstType, srcType, controlType, this))
        return false;

    const MixerControl& control = GetControl();
    range_ = static_cast<int32_t>(control.maximum - control.minimum);
    stepCount_ = control.steps;
    // No steps, or more steps than units: positions cannot be mapped, and nothing may divide by the step.
    step_ = range_ > 0 && stepCount_ > 0 ? static_cast<uint32_t>(range_) / stepCount_ : 0;
    if (step_ == 0) {
        TraceError(kTitle, "The control's %u steps cannot be shown on a slider.\n\nItem: %s.",
                   static_cast<unsigned>(stepCount_), GetControlName().c_str());
        CloseMixer();
        return false;
    }
    SetTrackbarRange(0, static_cast<int>(stepCount_), false);

    if (!TwoChannel() && subType_ != MAIN) {
        TraceError(kTitle,
                   "Only one channel available on this line. Use Fader type MAIN only.\n"
                   "Windows control will be disabled.\n\nItem: %s.\n\n( Line: %s )",
                   GetControlName().c_str(), GetLineName().c_str());
        if (subType_ == BALANCE)
            SetSliderPos(static_cast<int>(stepCount_ / 2));
        CloseMixer();
        return false;
    }
    bound_ = true;
    if (GetValue() == nullptr) {
        TraceError(kTitle, "m_Value NULL.");
        bound_ = false;
        CloseMixer();
        return false;
    }
    if (GetMXDetails()) {
        EnableWindow(true);
        SetHVSliderPos();
    }
    return true;
}

void CMixerFaderLogic::SetHVSliderPos() {
    static const char* const kTitle = "CMixerFader::SetHVSliderPos";
    const uint32_t* value = GetValue();
    if (value == nullptr || step_ == 0)
        return;
    double left = value[0];
    double right = value[0];
    double louder = value[0];
    if (TwoChannel()) {
        right = value[1];
        louder = std::max(left, right);
        if (louder > 0)
            balance_ = static_cast<float>((right - left) / louder);
    }
    uint32_t position = 0;
    switch (subType_) {
        case LEFT:
            position = Trunc(left / step_);
            break;
        case RIGHT:
            position = Trunc(right / step_);
            break;
        case MAIN:
            position = Trunc(louder / step_);
            break;
        case BALANCE:
            // With both channels silent there is no ratio to show.
            if (louder <= 0)
                return;
            position = Trunc((balance_ + 1.0) * stepCount_ * 0.5);
            break;
        default:
            TraceError(kTitle, "Wrong sub-type for a fader control.");
            return;
    }
    SetSliderPos(static_cast<int>(std::min(position, stepCount_)));
}

void CMixerFaderLogic::SetFaderValue() {
    static const char* const kTitle = "CMixerFader::SetFaderValue";
    uint32_t* value = GetValue();
    if (value == nullptr)
        return;
    const uint32_t v = GetHVSliderPos();
    const float m = static_cast<float>(TwoChannel() ? std::max(value[0], value[1]) : value[0]);
    switch (subType_) {
        case LEFT:
            value[0] = v;
            break;
        case RIGHT:
            value[1] = v;
            break;
        case MAIN:
            if (!TwoChannel()) {
                value[0] = v;
            } else if (balance_ > 0) {
                value[1] = v;
                value[0] = Trunc((1.0 - balance_) * v);
            } else {
                value[0] = v;
                value[1] = Trunc((1.0 + balance_) * v);
            }
            break;
        case BALANCE: {
            const int32_t half = range_ / 2;
            if (static_cast<int64_t>(v) > half) {
                value[1] = Trunc(m);
                value[0] = Trunc((1.0 - static_cast<double>(v) / range_) * 2.0 * m);
            } else {
                value[1] = Trunc(static_cast<double>(v) * m * 2.0 / range_);
                value[0] = Trunc(m);
            }
            break;
        }
        default:
            TraceError(kTitle, "Wrong sub-type for a fader control.");
            return;
    }
    SetMXDetails();
}

uint32_t CMixerFaderLogic::GetHVSliderPos() const {
    int position = GetTrackbarPos();
    if (IsVertical())
        position = TrackbarMax() - position;
    // A trackbar outside its range must not turn into a huge unsigned value.
    position = std::clamp(position, 0, static_cast<int>(stepCount_));
    return static_cast<uint32_t>(position) * step_;
}

void CMixerFaderLogic::SetSliderPos(int position) {
    if (IsVertical())
        position = TrackbarMax() - position;
    SetTrackbarPos(position);
}

int CMixerFaderLogic::TrackbarMax() const {
    int minimum = 0;
    int maximum = 0;
    GetTrackbarRange(minimum, maximum);
    return maximum;
}

void CMixerFaderLogic::Scroll(const char* title, uint32_t code) {
    if (GetValue() == nullptr) {
        TraceError(title, "Error: Did you call Init() first?");
        return;
    }
    switch (code) {
        case TB_PAGEUP:
        case TB_PAGEDOWN:
        case TB_THUMBTRACK:
        case TB_ENDTRACK:
            SetFaderValue();
            break;
        default:
            break;
    }
}

void CMixerFaderLogic::OnMixerControlChange(WPARAM wParam, LPARAM lParam) {
    if (GetHandle() == nullptr || wParam != MixerHandleParam(GetHandle()))
        return;
    if (lParam != static_cast<LPARAM>(GetControl().controlId))
        return;
    if (GetMXDetails())
        SetHVSliderPos();
}

void CMixerFaderLogic::OnDestroy() {
    bound_ = false;
    CloseMixer();
}
