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

} // namespace

ZKLevelIndicator::ZKLevelIndicator(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent, false);
}

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
    static const ColorTable table = [] {
        const QColor c0 = createUIColorWithBytes(186, 186, 186, 255);
        return ColorTable{c0, createUIColorWithBytes(218, 218, 218, 255),
                          createUIColorWithBytes(199, 199, 199, 255), c0};
    }();
    return table;
}

const ZKLevelIndicator::ColorTable& ZKLevelIndicator::createColor() {
    static const ColorTable table = [] {
        const QColor c0 = createUIColorWithBytes(63, 208, 169, 255);
        return ColorTable{c0, createUIColorWithBytes(95, 240, 201, 255),
                          createUIColorWithBytes(99, 235, 196, 255), c0};
    }();
    return table;
}

QRectF ZKLevelIndicator::fillRect(const QRectF& bar, float percent) {
    return {bar.x(), bar.y(), double(percent) * bar.width(), bar.height()};
}

void ZKLevelIndicator::paintEvent(QPaintEvent*) {
    // Geometry comes from the whole bounds, so a partial repaint draws the same bar.
    const QRectF bar(rect());
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);

    QPainterPath clip;
    clip.addRoundedRect(bar, kCornerRadius, kCornerRadius); // radii limited to half a side
    painter.setClipPath(clip);

    painter.fillRect(bar, verticalGradient(bar, createColorArrayLevelIndicatorBackground()));
    const QRectF fill = fillRect(bar, mPercent_);
    if (fill.width() > 0.0) {
        painter.fillRect(fill, verticalGradient(bar, createColor()));
    }
}
