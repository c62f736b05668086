// A segmented bar meter, filling from the bottom: segments 2 pixels high with 1 pixel between them, lit in
// one colour up to the value and unlit in another above it, on a black ground. Painted through an
// off-screen pixmap, repainted whenever the value changes.
#pragma once

#include <QColor>
#include <QPixmap>
#include <QWidget>

class LevelMeter final : public QWidget {
    Q_OBJECT
public:
    static constexpr int kSegmentHeight = 2;
    static constexpr int kGap = 1;
    static constexpr int kMargin = 0;

    explicit LevelMeter(QWidget* parent = nullptr);

    void SetRange(int minimum, int maximum);
    void SetColors(QColor lit, QColor unlit);
    // Clamped to the range.
    void SetValue(int value);
    int Value() const { return value_; }

    // The arithmetic of the bar, for a client area `height` pixels high.
    static int SegmentCount(int height);
    static int Percent(int value, int minimum, int maximum);
    // Whether segment i (0 at the bottom) is lit at `percent`, out of `count` segments.
    static bool SegmentLit(int i, int count, int percent, int minimumPercent = 0);
    // How many segments are lit for `value` in a meter `height` pixels high.
    int LitSegments(int height) const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    int minimum_ = 0;
    int maximum_ = 100;
    int value_ = 0;
    QColor lit_{255, 0, 0};
    QColor unlit_{0, 80, 0};
    QPixmap canvas_;
};
