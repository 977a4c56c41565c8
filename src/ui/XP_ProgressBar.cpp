// Progress bar drawing: a sunken frame, the filled part in the bar colour.
#include "ui/XP_ProgressBar.h"

#include <QPainter>

#include <algorithm>
#include <QStyleOptionFrame>

namespace velmora::ui {

int progressFillPercent(int64_t value, int64_t max)
{
    if (max <= 0 || value <= 0)
        return 0;
    // value and max come from 32-bit fields, so value * 100 fits in 64 bits.
    const int64_t scaled = value * 100;
    int64_t q = scaled / max;
    const int64_t twice_rest = 2 * (scaled % max);
    // Round half to even: up when the rest is above half, or exactly half and q odd.
    if (twice_rest > max || (twice_rest == max && (q & 1) != 0))
        ++q;
    return q > 100 ? 100 : static_cast<int>(q);
}

int progressFillPercentWithin(int64_t value, int64_t max, double fraction)
{
    const int whole = progressFillPercent(value, max);
    if (max <= 0 || value < 1 || !(fraction > 0))
        return whole;
    const double f = fraction < 1 ? fraction : 1;
    const auto within = static_cast<int>((static_cast<double>(value - 1) + f) * 100.0 / static_cast<double>(max));
    return std::clamp(within, 0, whole);
}

XP_ProgressBar::XP_ProgressBar(QWidget* parent) : QWidget(parent)
{
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void XP_ProgressBar::setMin(int32_t v)
{
    min_ = v;
    update();
}

void XP_ProgressBar::setMax(int32_t v)
{
    max_ = v;
    fraction_ = 0;
    update();
}

void XP_ProgressBar::setValue(int32_t v)
{
    value_ = v;
    fraction_ = 0;
    update();
}

void XP_ProgressBar::setEntryFraction(double fraction)
{
    const double f = fraction > 0 ? std::min(fraction, 1.0) : 0.0;
    if (f == fraction_)
        return;
    const int before = fillPercent();
    fraction_ = f;
    // Repaint only when the filled part moves.
    if (fillPercent() != before)
        update();
}

void XP_ProgressBar::setColor(uint32_t rgb)
{
    color_ = rgb & 0xFFFFFFu;
    update();
}

void XP_ProgressBar::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    const QRect frame = rect().adjusted(0, 0, -1, -1);
    p.fillRect(rect(), palette().base());
    const QRect inner = frame.adjusted(2, 2, -1, -1);
    const int filled = inner.width() * fillPercent() / 100;
    if (filled > 0)
        p.fillRect(QRect(inner.left(), inner.top(), filled, inner.height()), QColor::fromRgb(color_));
    p.setPen(palette().color(QPalette::Mid));
    p.drawRect(frame);
}

} // namespace velmora::ui
