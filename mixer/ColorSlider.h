// A trackbar drawn flat in the window's own colours: a background, a sunken one-pixel groove in the channel
// colour, and a raised thumb filled with the channel colour (the highlight colour while it is held).
#pragma once

#include <QColor>
#include <QSlider>
#include <cstdint>

class ColorSlider : public QSlider {
    Q_OBJECT
public:
    explicit ColorSlider(Qt::Orientation orientation, QWidget* parent = nullptr);

    // Colours as the platform writes them: 0x00BBGGRR.
    void SetBackgroundColor(uint32_t colorref);
    void SetColors(uint32_t channel, uint32_t highlight);

    static QColor FromColorref(uint32_t colorref);
    // Adds d to each of red, green and blue, each kept within 0 to 255.
    static QColor Shade(const QColor& color, int d);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    // Right edge top to bottom and bottom edge right to left in one colour, then left edge bottom to top
    // and top edge left to right in the other.
    static void DrawFrame(class QPainter& painter, const QRect& rect, const QColor& topLeft,
                          const QColor& bottomRight);

    QColor background_;
    QColor channel_;
    QColor highlight_;
};
