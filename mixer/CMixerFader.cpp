#include "mixer/CMixerFader.h"

#include <QKeyEvent>
#include <QSignalBlocker>
#include <QStyle>
#include <QStyleOptionSlider>
#include <QWheelEvent>
#include <algorithm>
#include <cstdint>

#include "platform/mixer/Mixer.h"

CMixerFader::CMixerFader(Qt::Orientation orientation, QWidget* parent) : ColorSlider(orientation, parent) {
    // The fader's positions count from the top, as the platform's trackbar does; the logic turns them
    // round so that the top is the loudest.
    setInvertedAppearance(orientation == Qt::Vertical);
    setInvertedControls(orientation == Qt::Vertical);
    setEnabled(false);
    connect(this, &QSlider::actionTriggered, this, [this](int action) {
        if (action == QAbstractSlider::SliderPageStepAdd)
            Notify(TB_PAGEDOWN);
        else if (action == QAbstractSlider::SliderPageStepSub)
            Notify(TB_PAGEUP);
    });
    connect(this, &QSlider::sliderMoved, this, [this](int) { Notify(TB_THUMBTRACK); });
    connect(this, &QSlider::sliderReleased, this, [this] { Notify(TB_ENDTRACK); });
}

CMixerFader::~CMixerFader() {
    // Close the mixer first: its notices must stop before this object goes.
    OnDestroy();
}

void CMixerFader::Notify(uint32_t code) {
    if (orientation() == Qt::Vertical)
        VScroll(code);
    else
        HScroll(code);
}

void CMixerFader::Post(uint32_t message, WPARAM wParam, LPARAM lParam) {
    if (message != MM_MIXM_CONTROL_CHANGE)
        return;
    QMetaObject::invokeMethod(
        this, [this, wParam, lParam] { OnMixerControlChange(wParam, lParam); }, Qt::QueuedConnection);
}

void CMixerFader::GetTrackbarRange(int& minimum, int& maximum) const {
    minimum = this->minimum();
    maximum = this->maximum();
}

void CMixerFader::SetTrackbarRange(int minimum, int maximum, bool redraw) {
    const QSignalBlocker quiet(this);
    setRange(minimum, maximum);
    UpdateSteps();
    if (redraw)
        update();
}

void CMixerFader::UpdateSteps() {
    // The platform's trackbar pages by a fifth of its range. A line step of one position would be
    // invisible on a control with thousands of them (65536 through PulseAudio): it moves the thumb by at
    // least one pixel.
    const int64_t range = static_cast<int64_t>(maximum()) - minimum();
    setPageStep(static_cast<int>(std::max<int64_t>(1, range / 5)));
    QStyleOptionSlider option;
    initStyleOption(&option);
    const QRect groove = style()->subControlRect(QStyle::CC_Slider, &option, QStyle::SC_SliderGroove, this);
    const QRect thumb = style()->subControlRect(QStyle::CC_Slider, &option, QStyle::SC_SliderHandle, this);
    const int pixels =
        orientation() == Qt::Vertical ? groove.height() - thumb.height() : groove.width() - thumb.width();
    const int64_t span = std::max(pixels, 1);
    setSingleStep(static_cast<int>(std::max<int64_t>(1, (range + span - 1) / span)));
}

void CMixerFader::resizeEvent(QResizeEvent* event) {
    ColorSlider::resizeEvent(event);
    UpdateSteps();
}

void CMixerFader::SetTrackbarPos(int position) {
    const QSignalBlocker quiet(this);
    setSliderPosition(position);
    setValue(position);
    update();
}

void CMixerFader::keyReleaseEvent(QKeyEvent* event) {
    ColorSlider::keyReleaseEvent(event);
    // A change made with the keys is written when the key comes up, as the end of a drag is.
    if (!event->isAutoRepeat())
        Notify(TB_ENDTRACK);
}

void CMixerFader::wheelEvent(QWheelEvent* event) {
    ColorSlider::wheelEvent(event);
    Notify(TB_ENDTRACK);
}
