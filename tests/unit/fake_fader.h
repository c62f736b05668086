// A volume fader on a pretend trackbar, for the fader tests: range, position and enabled state are plain
// fields, and the mixer's change notices wait in a queue until Dispatch hands them to the fader, as the
// window's own thread would.
#pragma once

#include <algorithm>

#include "mixer/CMixerFaderLogic.h"
#include "platform/MessageQueue.h"

class FakeFader final : public CMixerFaderLogic {
public:
    explicit FakeFader(bool vertical = true) : vertical_(vertical) {}
    ~FakeFader() override { OnDestroy(); }

    void Post(uint32_t message, WPARAM wParam, LPARAM lParam) override {
        notices.Post(message, wParam, lParam);
    }

    // Hands the notices that arrive within timeoutMs (after the first, those already waiting) to the
    // fader; returns how many there were.
    int Dispatch(int timeoutMs = 0) {
        int count = 0;
        for (auto message = notices.Get(timeoutMs); message; message = notices.TryGet()) {
            if (message->message == MM_MIXM_CONTROL_CHANGE)
                OnMixerControlChange(message->wParam, message->lParam);
            ++count;
        }
        return count;
    }

    // The user drags the thumb to a trackbar position.
    void Drag(int trackbarPosition) {
        position = std::clamp(trackbarPosition, minimum, maximum);
        VScroll(TB_THUMBTRACK);
    }

    // The position as the user sees it: 0 at the bottom of a vertical fader.
    int Shown() const { return vertical_ ? maximum - position : position; }

    MessageQueue notices;
    bool window = true;
    bool enabled = true;
    int minimum = 0;
    int maximum = 100;
    int position = 0;

protected:
    bool HasWindow() const override { return window; }
    void EnableWindow(bool enable) override { enabled = enable; }
    bool IsVertical() const override { return vertical_; }
    void GetTrackbarRange(int& low, int& high) const override {
        low = minimum;
        high = maximum;
    }
    void SetTrackbarRange(int low, int high, bool) override {
        minimum = low;
        maximum = high;
        position = std::clamp(position, minimum, maximum);
    }
    int GetTrackbarPos() const override { return position; }
    void SetTrackbarPos(int value) override { position = std::clamp(value, minimum, maximum); }

private:
    bool vertical_;
};
