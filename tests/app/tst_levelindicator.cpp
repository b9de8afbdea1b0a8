// The progress bar: fraction from min/max/value, fill geometry, colour tables
// and what it paints.
#include <QImage>
#include <QTest>

#include "ZKLevelIndicator.h"

namespace {

QImage render(float min, float max, float value, QSize size) {
    ZKLevelIndicator bar;
    bar.resize(size);
    bar.setValueWithMin(min, max, value);
    QImage image(size, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    bar.render(&image, QPoint(), QRegion(), QWidget::DrawChildren); // no window fill
    return image;
}

bool near(QColor a, QColor b, int tolerance = 3) {
    return std::abs(a.red() - b.red()) <= tolerance &&
           std::abs(a.green() - b.green()) <= tolerance &&
           std::abs(a.blue() - b.blue()) <= tolerance;
}

// Teal fill or grey background: the fill's green stands well above its red.
bool isFill(QColor c) {
    return c.alpha() == 255 && c.green() - c.red() > 80;
}
bool isBackground(QColor c) {
    return c.alpha() == 255 && std::abs(c.green() - c.red()) < 4;
}

} // namespace

class LevelIndicatorTest : public QObject {
    Q_OBJECT
private slots:
    void fraction_data();
    void fraction();
    void fillRectangle();
    void colourTables();
    void paintsFillFromTheLeftOverTheBackground_data();
    void paintsFillFromTheLeftOverTheBackground();
    void gradientRunsFromTheBottomEdge();
    void cornersAreRoundedAndLimitedToHalfTheHeight();
};

void LevelIndicatorTest::fraction_data() {
    QTest::addColumn<float>("min");
    QTest::addColumn<float>("max");
    QTest::addColumn<float>("value");
    QTest::addColumn<float>("percent");
    QTest::newRow("new bar value 0") << 0.0f << 100.0f << 0.0f << 0.0f;
    QTest::newRow("0 of 0 divides nothing") << 0.0f << 0.0f << 0.0f << 0.0f;
    QTest::newRow("quarter") << 0.0f << 200.0f << 50.0f << 0.25f;
    QTest::newRow("full") << 0.0f << 100.0f << 100.0f << 1.0f;
    QTest::newRow("offset range") << 10.0f << 20.0f << 15.0f << 0.5f;
    QTest::newRow("above max is not clamped") << 0.0f << 100.0f << 150.0f << 1.5f;
}

void LevelIndicatorTest::fraction() {
    QFETCH(float, min);
    QFETCH(float, max);
    QFETCH(float, value);
    QFETCH(float, percent);
    ZKLevelIndicator bar;
    QCOMPARE(bar.mPercent(), 0.0f);
    bar.setValueWithMin(min, max, value);
    QCOMPARE(bar.mPercent(), percent);
}

void LevelIndicatorTest::fillRectangle() {
}

void LevelIndicatorTest::colourTables() {
    const auto& background = ZKLevelIndicator::createColorArrayLevelIndicatorBackground();
    const auto& fill = ZKLevelIndicator::createColor();
    QCOMPARE(&ZKLevelIndicator::createColorArrayLevelIndicatorBackground(), &background);
    QCOMPARE(&ZKLevelIndicator::createColor(), &fill);
    QCOMPARE(background[3], background[0]);
    QCOMPARE(fill[3], fill[0]);
    QCOMPARE(background[1].toRgb(), QColor(218, 218, 218).toRgb());
    QCOMPARE(fill[0].toRgb(), QColor(63, 208, 169).toRgb());
    QCOMPARE(fill[2].toRgb(), QColor(99, 235, 196).toRgb());
    QCOMPARE(ZKLevelIndicator::kStops[1], 0.3499999940395355);
    QCOMPARE(ZKLevelIndicator::kStops[2], 0.6499999761581421);
    const QColor c = ZKLevelIndicator::createUIColorWithBytes(1, 2, 3, 255);
    QCOMPARE(c.redF(), 1.0f / 255.0f);
    QCOMPARE(c.alphaF(), 1.0f);
}

void LevelIndicatorTest::paintsFillFromTheLeftOverTheBackground_data() {
    QTest::addColumn<float>("value");
    QTest::addColumn<int>("fillEnd"); // pixel column where the fill stops
    QTest::newRow("empty") << 0.0f << 0;
    QTest::newRow("quarter of 300") << 50.0f << 75;
    QTest::newRow("full") << 200.0f << 300;
}

void LevelIndicatorTest::paintsFillFromTheLeftOverTheBackground() {
    QFETCH(float, value);
    QFETCH(int, fillEnd);
    const QImage image = render(0.0f, 200.0f, value, QSize(300, 20));
    const int y = 10;
    for (int x = 10; x < 290; ++x) {
        const QColor c = image.pixelColor(x, y);
        if (x < fillEnd - 1) {
            QVERIFY2(isFill(c), qPrintable(QStringLiteral("x=%1").arg(x)));
        } else if (x > fillEnd) {
            QVERIFY2(isBackground(c), qPrintable(QStringLiteral("x=%1").arg(x)));
        }
    }
}

void LevelIndicatorTest::gradientRunsFromTheBottomEdge() {
    // Location 0.0 along the bottom edge, 0.35 a third of the way up.
    const QImage image = render(0.0f, 1.0f, 0.5f, QSize(200, 100));
    QVERIFY(near(image.pixelColor(50, 99), QColor(63, 208, 169), 4));
    QVERIFY(near(image.pixelColor(50, 64), QColor(95, 240, 201), 4));
    QVERIFY(near(image.pixelColor(150, 99), QColor(186, 186, 186), 4));
    QVERIFY(near(image.pixelColor(150, 64), QColor(218, 218, 218), 4));
    QVERIFY(near(image.pixelColor(150, 34), QColor(199, 199, 199), 4));
}

void LevelIndicatorTest::cornersAreRoundedAndLimitedToHalfTheHeight() {
    // Radius 8 on a 20-high bar: the corner pixel is outside the clip.
    QImage image = render(0.0f, 1.0f, 1.0f, QSize(300, 20));
    QCOMPARE(image.pixelColor(0, 0).alpha(), 0);
    QCOMPARE(image.pixelColor(299, 19).alpha(), 0);
    QVERIFY(isFill(image.pixelColor(8, 10)));
    // A 10-high bar: radii become 5, so the ends are half circles that reach
    // the left edge at mid-height only.
    image = render(0.0f, 1.0f, 1.0f, QSize(300, 10));
    QCOMPARE(image.pixelColor(0, 0).alpha(), 0);
    QVERIFY(image.pixelColor(0, 2).alpha() < 128);
    QVERIFY(image.pixelColor(0, 5).alpha() > 128);
    QCOMPARE(image.pixelColor(150, 0).alpha(), 255);
}

QTEST_MAIN(LevelIndicatorTest)
#include "tst_levelindicator.moc"
