// The window's progress bar: Min, Max, Value and Color as the extraction sets
// them; the bar fills a whole percentage of its width, Value x 100 / Max rounded
// half to even and capped at 100 (a Value one above Max still shows a full bar).
// Within a long entry the run may say how far that entry has come: the bar
// then fills (Value - 1 + fraction) / Max, never more than Value alone gives.
#pragma once

#include <QColor>
#include <QWidget>

#include <cstdint>

namespace velmora::ui {

// The filled percentage for a bar from 0 to max: 0 when max is not positive
// or value is negative, else value * 100 / max rounded half to even, at most 100.
int progressFillPercent(int64_t value, int64_t max);
// The same while entry number value is fraction (0 to 1) done: the percentage
// of (value - 1 + fraction) / max rounded down, never above
// progressFillPercent(value, max).
int progressFillPercentWithin(int64_t value, int64_t max, double fraction);

class XP_ProgressBar : public QWidget {
    Q_OBJECT
public:
    explicit XP_ProgressBar(QWidget* parent = nullptr);

    int32_t Min() const { return min_; }
    int32_t Max() const { return max_; }
    int32_t Value() const { return value_; }
    uint32_t Color() const { return color_; }
    void setMin(int32_t v);
    void setMax(int32_t v);
    void setValue(int32_t v);
    // 0xRRGGBB
    void setColor(uint32_t rgb);
    // How far the entry at Value has come, 0 to 1; a new Value (or Max) ends it.
    void setEntryFraction(double fraction);
    double entryFraction() const { return fraction_; }

    int fillPercent() const
    {
        return fraction_ > 0 ? progressFillPercentWithin(int64_t{value_} - min_, int64_t{max_} - min_, fraction_)
                             : progressFillPercent(int64_t{value_} - min_, int64_t{max_} - min_);
    }

    QSize sizeHint() const override { return {200, 20}; }
    QSize minimumSizeHint() const override { return {40, 14}; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    int32_t min_ = 0;
    int32_t max_ = 100;
    int32_t value_ = 0;
    uint32_t color_ = 0xFFFFFF;
    double fraction_ = 0;
};

} // namespace velmora::ui
