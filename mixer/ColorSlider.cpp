#include "mixer/ColorSlider.h"

#include <QPainter>
#include <QStyleOptionSlider>
#include <algorithm>

ColorSlider::ColorSlider(Qt::Orientation orientation, QWidget* parent)
    : QSlider(orientation, parent),
      background_(palette().color(QPalette::Button)),
      channel_(palette().color(QPalette::Button)),
      highlight_(palette().color(QPalette::Light)) {}

QColor ColorSlider::FromColorref(uint32_t colorref) {
    return QColor(static_cast<int>(colorref & 0xFF), static_cast<int>((colorref >> 8) & 0xFF),
                  static_cast<int>((colorref >> 16) & 0xFF));
}

QColor ColorSlider::Shade(const QColor& color, int d) {
    return QColor(std::clamp(color.red() + d, 0, 255), std::clamp(color.green() + d, 0, 255),
                  std::clamp(color.blue() + d, 0, 255));
}

void ColorSlider::SetBackgroundColor(uint32_t colorref) {
    background_ = FromColorref(colorref);
    update();
}

void ColorSlider::SetColors(uint32_t channel, uint32_t highlight) {
    channel_ = FromColorref(channel);
    highlight_ = FromColorref(highlight);
    update();
}

void ColorSlider::DrawFrame(QPainter& painter, const QRect& rect, const QColor& topLeft,
                            const QColor& bottomRight) {
    const int left = rect.left();
    const int top = rect.top();
    const int right = rect.right();
    const int bottom = rect.bottom();
    painter.setPen(QPen(bottomRight, 1));
    painter.drawLine(right, top, right, bottom);
    painter.drawLine(right, bottom, left, bottom);
    painter.setPen(QPen(topLeft, 1));
    painter.drawLine(left, bottom, left, top);
    painter.drawLine(left, top, right, top);
}

void ColorSlider::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), background_);

    QStyleOptionSlider option;
    initStyleOption(&option);
    QRect groove = style()->subControlRect(QStyle::CC_Slider, &option, QStyle::SC_SliderGroove, this);
    QRect thumb = style()->subControlRect(QStyle::CC_Slider, &option, QStyle::SC_SliderHandle, this);

    // The groove: a narrow channel along the slider, a little wider than the platform draws it.
    if (orientation() == Qt::Vertical) {
        const int width = std::max(4, groove.width() / 3);
        groove = QRect(groove.center().x() - width / 2, groove.top(), width, groove.height());
        groove.adjust(-1, 0, 1, 0);
    } else {
        const int height = std::max(4, groove.height() / 3);
        groove = QRect(groove.left(), groove.center().y() - height / 2, groove.width(), height);
        groove.adjust(0, 0, 0, 2);
    }
    DrawFrame(painter, groove, Shade(channel_, -50), Shade(channel_, 50));

    thumb.adjust(1, 1, -1, -1);
    painter.fillRect(thumb, isSliderDown() ? highlight_ : channel_);
    if (!isEnabled())
        painter.fillRect(thumb, QColor(255, 255, 255, 90));  // the platform greys a disabled trackbar
    DrawFrame(painter, thumb, Shade(channel_, 50), Shade(channel_, -50));
}
