#include "app/LevelMeter.h"

#include <QPainter>
#include <algorithm>

LevelMeter::LevelMeter(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void LevelMeter::SetRange(int minimum, int maximum) {
    minimum_ = minimum;
    maximum_ = std::max(maximum, minimum + 1);
    SetValue(value_);
    update();
}

void LevelMeter::SetColors(QColor lit, QColor unlit) {
    lit_ = lit;
    unlit_ = unlit;
    update();
}

void LevelMeter::SetValue(int value) {
    const int clamped = std::clamp(value, minimum_, maximum_);
    if (clamped == value_)
        return;
    value_ = clamped;
    repaint();
}

int LevelMeter::SegmentCount(int height) {
    return std::max(0, (height - 2 * kMargin + kGap) / (kSegmentHeight + kGap));
}

int LevelMeter::Percent(int value, int minimum, int maximum) {
    if (maximum <= minimum)
        return 0;
    return (std::clamp(value, minimum, maximum) - minimum) * 100 / (maximum - minimum);
}

bool LevelMeter::SegmentLit(int i, int count, int percent, int minimumPercent) {
    if (count <= 0 || percent <= minimumPercent)
        return false;
    return percent >= i * 100 / count;
}

int LevelMeter::LitSegments(int height) const {
    const int count = SegmentCount(height);
    const int percent = Percent(value_, minimum_, maximum_);
    int lit = 0;
    for (int i = 0; i < count; ++i) {
        if (SegmentLit(i, count, percent))
            ++lit;
    }
    return lit;
}

void LevelMeter::paintEvent(QPaintEvent*) {
    const QSize area = size();
    if (canvas_.size() != area)
        canvas_ = QPixmap(area);
    canvas_.fill(Qt::black);
    {
        QPainter painter(&canvas_);
        const int count = SegmentCount(area.height());
        const int percent = Percent(value_, minimum_, maximum_);
        const int width = area.width() - 2 * kMargin;
        for (int i = 0; i < count; ++i) {
            const int bottom = area.height() - kMargin - i * (kSegmentHeight + kGap);
            painter.fillRect(kMargin, bottom - kSegmentHeight, width, kSegmentHeight,
                             SegmentLit(i, count, percent) ? lit_ : unlit_);
        }
    }
    QPainter(this).drawPixmap(0, 0, canvas_);
}
