// The status channel: log lines, alerts and progress from the main thread and
// from a worker (order kept, views touched on the main thread only, callers
// never blocked), the busy flag around an alert, and the progress bar.
#include <QAccessible>
#include <QScrollBar>
#include <QThread>

#include <atomic>
#include <thread>

#include "AppHarness.h"

namespace {

QImage paint(ZKLevelIndicator& bar) {
    QImage image(bar.size(), QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    bar.render(&image, QPoint(), QRegion(), QWidget::DrawChildren); // no window fill
    return image;
}

bool near(QColor a, QColor b) {
    return std::abs(a.red() - b.red()) <= 4 && std::abs(a.green() - b.green()) <= 4 &&
           std::abs(a.blue() - b.blue()) <= 4;
}

} // namespace

class StatusChannelTest : public QObject {
    Q_OBJECT
private slots:
    void workerCallsArriveInOrderOnTheMainThread() {
        AppHarness app;
        QThread* mainThread = QThread::currentThread();
        std::atomic<int> offMainChanges{0};
        connect(
            app.o().logTextViewOutlet, &QPlainTextEdit::textChanged, this,
            [&] { offMainChanges += QThread::currentThread() != mainThread; },
            Qt::DirectConnection);
        // On the main thread a call acts at once, and text is taken as it is.
        QString expected = "a\n100% <b>x</b> &amp;\n";
        app.delegate.log("a\n100% <b>x</b> &amp;", "\n");
        QCOMPARE(app.logText(), expected);

        constexpr int kLines = 2000;
        std::atomic<bool> done{false};
        const auto post = [&](int from, int to) {
            for (int i = from; i < to; ++i) {
                app.delegate.log(std::to_string(i), "\n");
                app.delegate.setProgress(i + 1, kLines);
                std::this_thread::yield(); // let the main thread drain meanwhile
            }
            done.store(true);
        };
        // The main thread serves no events until this worker has ended: every
        // call must return without it.
        std::thread(post, 0, kLines / 2).join();
        QCOMPARE(app.logText(), expected);
        QCOMPARE(app.percent(), QStringLiteral("0 %"));
        // Now the main thread drains while the worker is still posting.
        done.store(false);
        std::thread worker(post, kLines / 2, kLines);
        const bool posted = QTest::qWaitFor([&] { return done.load(); }, 60000);
        worker.join();
        QVERIFY(posted);
        for (int i = 0; i < kLines; ++i) {
            expected += QString::number(i) + '\n';
        }
        QTRY_COMPARE(app.logText(), expected);
        QCOMPARE(app.percent(), QStringLiteral("100 %"));
        QCOMPARE(offMainChanges.load(), 0);
        // Every line scrolls the end of the log into view.
        QScrollBar* bar = app.o().logTextViewOutlet->verticalScrollBar();
        QVERIFY(bar->maximum() > 0);
        QCOMPARE(bar->value(), bar->maximum());
    }

    void alertsComeInTurnAndRaiseBusyAtOnce() {
        AppHarness app;
        AlertCatcher catcher;
        QStringList logAtAlert;
        bool busyWhileShown = true;
        catcher.onShow = [&] {
            // A worker's line posted while an alert is up waits for its dismissal.
            std::thread([&] { app.delegate.log("*", "\n"); }).join();
            QTest::qWait(100); // give the calls queued behind the alert every chance to jump it
            logAtAlert << app.logText();
            busyWhileShown = busyWhileShown && app.delegate.busy();
        };
        bool busyOnReturn = false;
        std::thread worker([&] {
            char text[] = "50% %d <b>x</b> &lt;";
            app.delegate.log("1", "\n");
            app.delegate.showAlertWithMessage(text);
            busyOnReturn = app.delegate.busy();
            text[0] = 'X'; // the alert holds its own copy
            app.delegate.log("2", "\n");
            app.delegate.showAlertWithMessage(nullptr);
            app.delegate.showAlertWithMessage("prompt", "Heading");
            app.delegate.log("3", "\n");
        });
        worker.join();
        QVERIFY(busyOnReturn);
        QVERIFY(app.delegate.busy()); // nothing has been shown yet
        QTRY_COMPARE(app.logText(), QStringLiteral("1\n2\n3\n*\n*\n*\n"));
        // On the main thread the call returns once "OK" has been pressed.
        app.delegate.showAlertWithMessage("main", std::nullopt);
        QVERIFY(busyWhileShown);
        QVERIFY(!app.delegate.busy());
        QCOMPARE(logAtAlert, QStringList({"1\n", "1\n2\n", "1\n2\n", "1\n2\n3\n*\n*\n*\n"}));
        QTRY_COMPARE(app.logText(), QStringLiteral("1\n2\n3\n*\n*\n*\n*\n"));
        QCOMPARE(catcher.messages, QStringList({"50% %d <b>x</b> &lt;", "", "prompt", "main"}));
        const QString name = QStringLiteral("ZK Firmware Loader");
        QCOMPARE(catcher.headings, QStringList({name, name, "Heading", name}));
        QVERIFY(catcher.plainText);
        QVERIFY(catcher.likeWindow);
    }

    // The label's rounding is the shells' shared one; here, that both views
    // follow each call and replace what they showed, and that the bar tells
    // assistive technology the same.
    void progressLabelAndBar_data() {
        QTest::addColumn<int>("value");
        QTest::addColumn<int>("max");
        QTest::addColumn<QString>("label");
        QTest::addColumn<float>("fraction");
        QTest::newRow("0 of 0, nothing divided") << 0 << 0 << "0 %" << 0.0f;
        QTest::newRow("2 of 3") << 2 << 3 << "67 %" << 2.0f / 3.0f;
        QTest::newRow("1 of 8, tie to even") << 1 << 8 << "12 %" << 0.125f;
        QTest::newRow("100 of 100") << 100 << 100 << "100 %" << 1.0f;
        QTest::newRow("a whole memory's worth") << 71680 << 196608 << "36 %" << 0.36458334f;
    }

    void progressLabelAndBar() {
        QFETCH(int, value);
        QFETCH(int, max);
        QFETCH(QString, label);
        QFETCH(float, fraction);
        AppHarness app;
        app.delegate.setProgress(7, 10);
        app.delegate.setProgress(value, max);
        QCOMPARE(app.percent(), label);
        QCOMPARE(app.o().levelIndicatorOutlet->mPercent(), fraction);
        QAccessibleInterface* bar =
            QAccessible::queryAccessibleInterface(app.o().levelIndicatorOutlet);
        QCOMPARE(bar->role(), QAccessible::ProgressBar);
        QAccessibleValueInterface* range = bar->valueInterface();
        QVERIFY(range != nullptr);
        QCOMPARE(range->currentValue().toDouble(), double(value));
        QCOMPARE(range->minimumValue().toDouble(), 0.0);
        QCOMPARE(range->maximumValue().toDouble(), double(max));
        QCOMPARE(bar->text(QAccessible::Value), label);
    }

    void barFillGradientAndCorners() {
        ZKLevelIndicator bar;
        bar.resize(200, 100);
        bar.setValueWithMin(10.0f, 20.0f, 15.0f);
        QImage image = paint(bar);
        // Teal from the left edge to half the width, grey after it; location
        // 0.0 lies along the bottom edge, 0.35 a third of the way up.
        QVERIFY(near(image.pixelColor(98, 64), QColor(95, 240, 201)));
        QVERIFY(near(image.pixelColor(102, 99), QColor(186, 186, 186)));
        QVERIFY(near(image.pixelColor(150, 34), QColor(199, 199, 199)));
        QCOMPARE(image.pixelColor(0, 0).alpha(), 0); // outside the corner of radius 8
        // On a bar 10 high the radii become 5: the ends are half circles that
        // touch the edge at mid-height only.
        bar.resize(300, 10);
        image = paint(bar);
        QVERIFY(image.pixelColor(0, 2).alpha() < 128);
        QVERIFY(image.pixelColor(0, 5).alpha() > 128);
    }
};

QTEST_MAIN(StatusChannelTest)
#include "tst_statuschannel.moc"
