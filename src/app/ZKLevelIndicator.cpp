#include "ZKLevelIndicator.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

namespace {

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

void ZKLevelIndicator::setValueWithMin(float min, float max, float value) {
    const float d = value - min;
    mPercent_ = d == 0.0f ? 0.0f : d / (max - min);
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
