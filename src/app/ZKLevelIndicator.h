// The window's progress bar: a rounded grey bar overlaid from its left edge by
// a teal fill whose width is the completed fraction. Draws itself entirely,
// and tells assistive technology that it is a progress bar with its value and
// range (a QAccessibleValueInterface installed for the class).
#pragma once

#include <QColor>
#include <QWidget>

#include <array>

class ZKLevelIndicator : public QWidget {
    Q_OBJECT
public:
    using ColorTable = std::array<QColor, 4>;

    // Gradient stop locations shared by both tables (single-precision values).
    static constexpr std::array<double, 4> kStops{0.0, double(0.35f), double(0.65f), 1.0};
    static constexpr double kCornerRadius = 8.0;

    explicit ZKLevelIndicator(QWidget* parent = nullptr);

    // Sets the filled fraction from value within [min, max] and asks for a redraw.
    void setValueWithMin(float min, float max, float value);
    float minimum() const { return min_; }
    float maximum() const { return max_; }
    float value() const { return value_; }

    float mPercent() const { return mPercent_; }
    void setMPercent(float percent) { mPercent_ = percent; }

    // The process-wide colour tables, made on first use; the same object on
    // every call, its fourth entry the first again.
    static const ColorTable& createColorArrayLevelIndicatorBackground();
    static const ColorTable& createColor();
    static QColor createUIColorWithBytes(uint8_t red, uint8_t green, uint8_t blue, uint8_t alpha);

    QSize sizeHint() const override { return {300, 20}; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    float mPercent_ = 0.0f;
    float min_ = 0.0f;
    float max_ = 0.0f;
    float value_ = 0.0f;
};
