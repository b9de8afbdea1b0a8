// The status channel: log, alerts and progress from the main thread and from a
// worker thread (order kept, views touched on the main thread only, callers
// never blocked), and the busy flag's life around an alert.
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>
#include <QThread>

#include <atomic>
#include <thread>

#include "AppHarness.h"

class StatusChannelTest : public QObject {
    Q_OBJECT
private slots:
    void logOnMainThreadActsAtOnce_data();
    void logOnMainThreadActsAtOnce();
    void logScrollsToTheEnd();
    void workerCallsArriveInOrderOnTheMainThread();
    void postsWhileTheMainThreadDrainsKeepOrder();
    void alertRaisesBusyBeforeReturnAndLowersItOnOk();
    void alertTexts_data();
    void alertTexts();
    void linesPostedAfterAnAlertAppearAfterItsDismissal();
    void alertsFromTheWorkerComeOneAfterAnother();
    void percentLabelAndBar_data();
    void percentLabelAndBar();
};

void StatusChannelTest::logOnMainThreadActsAtOnce_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("added");
    QTest::newRow("one line") << "Bootloader Started."
                              << "Bootloader Started.\n";
    QTest::newRow("several lines")
        << "Bootloader Didn't Respond!\n  NOTE: Press FW button after power up and hold for 5 "
           "seconds."
        << "Bootloader Didn't Respond!\n  NOTE: Press FW button after power up and hold for 5 "
           "seconds.\n";
    QTest::newRow("empty text") << ""
                                << "\n";
    QTest::newRow("percent and markup") << "100% <b>done</b> &amp;"
                                        << "100% <b>done</b> &amp;\n";
}

void StatusChannelTest::logOnMainThreadActsAtOnce() {
    QFETCH(QString, text);
    QFETCH(QString, added);
    AppHarness app;
    app.delegate.log("first", "\n");
    app.delegate.log(text.toStdString(), "\n");
    QCOMPARE(app.logText(), "first\n" + added);
}

void StatusChannelTest::logScrollsToTheEnd() {
    AppHarness app;
    for (int i = 0; i < 200; ++i) {
        app.delegate.log("line " + std::to_string(i), "\n");
    }
    QScrollBar* bar = app.o().logTextViewOutlet->verticalScrollBar();
    QVERIFY(bar->maximum() > 0);
    QCOMPARE(bar->value(), bar->maximum());
}

void StatusChannelTest::workerCallsArriveInOrderOnTheMainThread() {
    AppHarness app;
    QThread* mainThread = QThread::currentThread();
    std::atomic<int> offMainChanges{0};
    connect(
        app.o().logTextViewOutlet, &QPlainTextEdit::textChanged, this,
        [&] {
            if (QThread::currentThread() != mainThread) {
                ++offMainChanges;
            }
        },
        Qt::DirectConnection);
    app.delegate.setProgress(0, 100);

    constexpr int kLines = 400;
    QString expected;
    for (int i = 0; i < kLines; ++i) {
        expected += QStringLiteral("step %1\n").arg(i);
    }
    // The main thread serves no events until the worker has ended: every call
    // must return without it.
    std::thread worker([&] {
        for (int i = 0; i < kLines; ++i) {
            app.delegate.log("step " + std::to_string(i), "\n");
            app.delegate.setProgress(i + 1, kLines);
        }
    });
    worker.join();
    QCOMPARE(app.logText(), QString());
    QCOMPARE(app.percent(), QStringLiteral("0 %"));
    QCOMPARE(app.o().levelIndicatorOutlet->mPercent(), 0.0f);

    QTRY_COMPARE(app.logText(), expected);
    QCOMPARE(app.percent(), QStringLiteral("100 %"));
    QCOMPARE(app.o().levelIndicatorOutlet->mPercent(), 1.0f);
    QCOMPARE(offMainChanges.load(), 0);
}

void StatusChannelTest::postsWhileTheMainThreadDrainsKeepOrder() {
    AppHarness app;
    constexpr int kLines = 3000;
    QString expected;
    for (int i = 0; i < kLines; ++i) {
        expected += QStringLiteral("%1\n").arg(i);
    }
    std::atomic<bool> done{false};
    std::thread worker([&] {
        for (int i = 0; i < kLines; ++i) {
            app.delegate.log(std::to_string(i), "\n");
            if (i % 64 == 0) {
                std::this_thread::yield(); // let the main thread drain meanwhile
            }
        }
        done.store(true);
    });
    // The main thread serves hand-offs while the worker is still posting.
    QTRY_VERIFY_WITH_TIMEOUT(done.load(), 30000);
    worker.join();
    QTRY_COMPARE(app.logText(), expected);
}

void StatusChannelTest::alertRaisesBusyBeforeReturnAndLowersItOnOk() {
    AppHarness app;
    AlertCatcher catcher;
    bool busyWhileShown = false;
    catcher.onShow = [&](QMessageBox*) { busyWhileShown = app.delegate.busy(); };
    QVERIFY(!app.delegate.busy());

    bool busyOnReturn = false;
    std::thread worker([&] {
        app.delegate.showAlertWithMessage("Set Telvo Controller Radio Mode to Tether/RX FW");
        busyOnReturn = app.delegate.busy();
    });
    worker.join();
    QVERIFY(busyOnReturn);
    QVERIFY(app.delegate.busy()); // nothing has been shown yet

    QTRY_COMPARE(catcher.seen.size(), size_t(1));
    QVERIFY(busyWhileShown);
    QTRY_VERIFY(!app.delegate.busy());

    // On the main thread the call returns only after "OK", with busy lowered.
    catcher.onShow = [&](QMessageBox*) { busyWhileShown = app.delegate.busy(); };
    busyWhileShown = false;
    app.delegate.showAlertWithMessage("from the main thread");
    QVERIFY(busyWhileShown);
    QVERIFY(!app.delegate.busy());
    QCOMPARE(catcher.seen.size(), size_t(2));
}

void StatusChannelTest::alertTexts_data() {
    QTest::addColumn<bool>("nullMessage");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("heading");
    QTest::newRow("no title") << false << "Please select a port." << QString()
                              << "ZK Firmware Loader";
    QTest::newRow("null message") << true << QString() << QString() << "ZK Firmware Loader";
    QTest::newRow("literal") << false << "50% %d %@ <b>x</b> &lt;" << QString()
                             << "ZK Firmware Loader";
    QTest::newRow("titled") << false << "text"
                            << "Heading"
                            << "Heading";
}

void StatusChannelTest::alertTexts() {
    QFETCH(bool, nullMessage);
    QFETCH(QString, message);
    QFETCH(QString, title);
    QFETCH(QString, heading);
    AppHarness app;
    AlertCatcher catcher;
    const std::string text = message.toStdString();
    std::thread worker([&] {
        if (nullMessage) {
            app.delegate.showAlertWithMessage(static_cast<const char*>(nullptr));
        } else if (title.isNull()) {
            app.delegate.showAlertWithMessage(text.c_str());
        } else {
            app.delegate.showAlertWithMessage(text, title.toStdString());
        }
    });
    worker.join();
    QTRY_COMPARE(catcher.seen.size(), size_t(1));
    const SeenAlert& alert = catcher.seen.front();
    QCOMPARE(alert.heading, heading);
    QCOMPARE(alert.windowTitle, heading);
    QCOMPARE(alert.message, nullMessage ? QString() : message);
    QVERIFY(alert.plainText || nullMessage); // an empty text has no label to format
}

void StatusChannelTest::linesPostedAfterAnAlertAppearAfterItsDismissal() {
    AppHarness app;
    AlertCatcher catcher;
    QString logWhileShown;
    catcher.onShow = [&](QMessageBox*) {
        // Give the queued lines every chance to jump the alert.
        QTest::qWait(100);
        logWhileShown = app.logText();
    };
    std::thread worker([&] {
        app.delegate.log("before", "\n");
        app.delegate.showAlertWithMessage("wait");
        app.delegate.log("after", "\n");
        app.delegate.setProgress(1, 2);
    });
    worker.join();
    QTRY_COMPARE(app.logText(), QStringLiteral("before\nafter\n"));
    QCOMPARE(logWhileShown, QStringLiteral("before\n"));
    QCOMPARE(app.percent(), QStringLiteral("50 %"));
}

void StatusChannelTest::alertsFromTheWorkerComeOneAfterAnother() {
    AppHarness app;
    AlertCatcher catcher;
    int shownAtOnce = 0;
    catcher.onShow = [&](QMessageBox*) {
        int boxes = 0;
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            boxes += qobject_cast<QMessageBox*>(widget) != nullptr && widget->isVisible();
        }
        shownAtOnce = std::max(shownAtOnce, boxes);
    };
    std::thread worker([&] {
        app.delegate.showAlertWithMessage("first");
        app.delegate.showAlertWithMessage("second");
    });
    worker.join();
    QTRY_COMPARE(catcher.seen.size(), size_t(2));
    QCOMPARE(catcher.messages(), QStringList({"first", "second"}));
    QCOMPARE(shownAtOnce, 1);
    QTRY_VERIFY(!app.delegate.busy());
}

void StatusChannelTest::percentLabelAndBar_data() {
    QTest::addColumn<int>("value");
    QTest::addColumn<int>("max");
    QTest::addColumn<QString>("label");
    QTest::addColumn<float>("fraction");
    QTest::newRow("0 of 0") << 0 << 0 << "0 %" << 0.0f;
    QTest::newRow("0 of 100") << 0 << 100 << "0 %" << 0.0f;
    QTest::newRow("1 of 3") << 1 << 3 << "33 %" << 1.0f / 3.0f;
    QTest::newRow("2 of 3") << 2 << 3 << "67 %" << 2.0f / 3.0f;
    QTest::newRow("1 of 8, tie to even") << 1 << 8 << "12 %" << 0.125f;
    QTest::newRow("3 of 8, tie to even") << 3 << 8 << "38 %" << 0.375f;
    QTest::newRow("1024 of 1025") << 1024 << 1025 << "100 %" << 1024.0f / 1025.0f;
    QTest::newRow("100 of 100") << 100 << 100 << "100 %" << 1.0f;
}

void StatusChannelTest::percentLabelAndBar() {
    QFETCH(int, value);
    QFETCH(int, max);
    QFETCH(QString, label);
    QFETCH(float, fraction);


    AppHarness app;
    app.delegate.setProgress(value, max);
    QCOMPARE(app.percent(), label);
    QCOMPARE(app.o().levelIndicatorOutlet->mPercent(), fraction);
}

QTEST_MAIN(StatusChannelTest)
#include "tst_statuschannel.moc"
