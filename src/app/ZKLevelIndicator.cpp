#include "ZKLevelIndicator.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

#include <cstdio>

namespace {

// What a screen reader reads of the bar: a progress bar, its value within its
// range, and the value as the percentage the window shows beside it.
class LevelIndicatorAccessible : public QAccessibleWidget, public QAccessibleValueInterface {
public:
    explicit LevelIndicatorAccessible(ZKLevelIndicator* bar)
        : QAccessibleWidget(bar, QAccessible::ProgressBar) {}

    void* interface_cast(QAccessible::InterfaceType type) override {
        if (type == QAccessible::ValueInterface) {
            return static_cast<QAccessibleValueInterface*>(this);
        }
        return QAccessibleWidget::interface_cast(type);
    }
    QString text(QAccessible::Text t) const override {
        if (t == QAccessible::Value) {
            // Rounded as the label beside the bar rounds (single precision,
            // ties to even), so that both read the same.
            char label[32];
            std::snprintf(label, sizeof label, "%.0f %%", double(bar()->mPercent() * 100.0f));
            return QString::fromLatin1(label);
        }
        return QAccessibleWidget::text(t);
    }

    // The operator reads the bar; nothing sets it.
    QVariant currentValue() const override { return double(bar()->value()); }
    void setCurrentValue(const QVariant&) override {}
    QVariant maximumValue() const override { return double(bar()->maximum()); }
    QVariant minimumValue() const override { return double(bar()->minimum()); }
    QVariant minimumStepSize() const override { return 0.0; }

private:
    ZKLevelIndicator* bar() const { return static_cast<ZKLevelIndicator*>(widget()); }
};

QAccessibleInterface* levelIndicatorAccessible(const QString& className, QObject* object) {
    if (className == QLatin1String("ZKLevelIndicator") && object->isWidgetType()) {
        return new LevelIndicatorAccessible(static_cast<ZKLevelIndicator*>(object));
    }
    return nullptr;
}

// A vertical gradient through the table's stops; location 0.0 lies along the
// bar's bottom edge, 1.0 along its top edge.
QLinearGradient verticalGradient(const QRectF& r, const ZKLevelIndicator::ColorTable& colors) {
    QLinearGradient gradient(QPointF(r.left(), r.bottom()), QPointF(r.left(), r.top()));
    for (size_t i = 0; i < colors.size(); ++i) {
        gradient.setColorAt(ZKLevelIndicator::kStops[i], colors[i]);
    }
    return gradient;
}

// Three opaque colours in stop order; the last stop takes the first again.
ZKLevelIndicator::ColorTable colorTable(const std::array<std::array<uint8_t, 3>, 3>& rgb) {
    ZKLevelIndicator::ColorTable table;
    for (size_t i = 0; i < rgb.size(); ++i) {
        table[i] = ZKLevelIndicator::createUIColorWithBytes(rgb[i][0], rgb[i][1], rgb[i][2], 255);
    }
    table[3] = table[0];
    return table;
}

} // namespace

ZKLevelIndicator::ZKLevelIndicator(QWidget* parent) : QWidget(parent) {
    // Main thread only, like every widget: a plain static suffices.
    static const bool installed = (QAccessible::installFactory(&levelIndicatorAccessible), true);
    (void)installed;
}

void ZKLevelIndicator::setValueWithMin(float min, float max, float value) {
    const float d = value - min;
    mPercent_ = d == 0.0f ? 0.0f : d / (max - min);
    min_ = min;
    max_ = max;
    value_ = value;
    if (QAccessible::isActive()) {
        QAccessibleValueChangeEvent event(this, double(value));
        QAccessible::updateAccessibility(&event);
    }
    update();
}

QColor ZKLevelIndicator::createUIColorWithBytes(uint8_t red, uint8_t green, uint8_t blue,
                                                uint8_t alpha) {
    return QColor::fromRgbF(float(red) / 255.0f, float(green) / 255.0f, float(blue) / 255.0f,
                            float(alpha) / 255.0f);
}

const ZKLevelIndicator::ColorTable& ZKLevelIndicator::createColorArrayLevelIndicatorBackground() {
    static const ColorTable table =
        colorTable({{{186, 186, 186}, {218, 218, 218}, {199, 199, 199}}});
    return table;
}

const ZKLevelIndicator::ColorTable& ZKLevelIndicator::createColor() {
    static const ColorTable table = colorTable({{{63, 208, 169}, {95, 240, 201}, {99, 235, 196}}});
    return table;
}

void ZKLevelIndicator::paintEvent(QPaintEvent*) {
    // Geometry comes from the whole bounds, so a partial repaint draws the same bar.
    const QRectF bar(rect());
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);

    QPainterPath clip;
    clip.addRoundedRect(bar, kCornerRadius, kCornerRadius); // radii limited to half a side
    painter.setClipPath(clip);

    painter.fillRect(bar, verticalGradient(bar, createColorArrayLevelIndicatorBackground()));
    // The fill grows from the left edge; same origin and height as the bar.
    const QRectF fill(bar.x(), bar.y(), double(mPercent_) * bar.width(), bar.height());
    if (fill.width() > 0.0) {
        painter.fillRect(fill, verticalGradient(bar, createColor()));
    }
}
