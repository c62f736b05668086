// A volume fader: a ColorSlider bound to one mixer control. Moving it writes the control at once; a change
// made elsewhere moves it.
#pragma once

#include "mixer/CMixerFaderLogic.h"
#include "mixer/ColorSlider.h"

class CMixerFader final : public ColorSlider, public CMixerFaderLogic {
    Q_OBJECT
public:
    explicit CMixerFader(Qt::Orientation orientation, QWidget* parent = nullptr);
    ~CMixerFader() override;

    // MessageTarget: the mixer's change notices, from whatever thread watches the mixer.
    void Post(uint32_t message, WPARAM wParam, LPARAM lParam) override;

protected:
    bool HasWindow() const override { return true; }
    void EnableWindow(bool enable) override { setEnabled(enable); }
    bool IsVertical() const override { return orientation() == Qt::Vertical; }
    void GetTrackbarRange(int& minimum, int& maximum) const override;
    void SetTrackbarRange(int minimum, int maximum, bool redraw) override;
    int GetTrackbarPos() const override { return sliderPosition(); }
    void SetTrackbarPos(int position) override;

    void keyReleaseEvent(QKeyEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;

private:
    void Notify(uint32_t code);
    // Page step a fifth of the range; line step at least one pixel of the thumb's travel.
    void UpdateSteps();
};
