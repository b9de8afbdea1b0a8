// The application controller: the port list refresh, the Start/Cancel toggle
// and its worker, the firmware file selection, and whole runs against the
// virtual unit.
#include <QFile>
#include <QMimeData>
#include <QTemporaryDir>
#include <QUrl>

#include <chrono>
#include <numeric>

#include "AppHarness.h"
#include "Pty.h"
#if defined(ZK_SIM_PATH)
#include "VirtualUnit.h"
#endif

namespace {

const QString kNoPort = QStringLiteral("Please select a port.");
const QString kNoFile = QStringLiteral("Please select a file to transfer.");
const QString kStart = QString::fromUtf8(kStartTitle);
const QString kCancel = QString::fromUtf8(kCancelTitle);
const QString kPrompt = QStringLiteral("Set Telvo Controller Radio Mode to Tether/RX FW");

FirmwareImage bytes(int size) {
    auto image = std::make_shared<std::vector<uint8_t>>(size_t(size));
    std::iota(image->begin(), image->end(), uint8_t(3)); // wraps: any byte out of place shows
    return image;
}

// Drags `file` onto the window and drops it; true when the window took it.
bool drop(QWidget& window, const QString& file) {
    QMimeData mime;
    mime.setUrls({QUrl::fromLocalFile(file)});
    QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&window, &enter);
    QDropEvent event(QPointF(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&window, &event);
    return enter.isAccepted() && event.isAccepted();
}

// Presses Start and waits until the run's worker has been joined.
bool runToIdle(AppHarness& app) {
    app.delegate.StartFirmwareLoad();
    return QTest::qWaitFor([&] { return !app.delegate.workerRunning(); }, 30000);
}

void expectIdle(AppHarness& app) {
    QCOMPARE(app.startTitle(), kStart);
    QVERIFY(app.delegate.cancelRequest());
    QVERIFY(app.o().startButtonOutlet->isEnabled());
    QVERIFY(!app.delegate.workerRunning());
}

} // namespace

class ControllerTest : public QObject {
    Q_OBJECT
private slots:
    void portListRefresh() {
        AppHarness app;
        QComboBox* box = app.o().portSelectOutlet;
        const QString a = "/dev/ttyUSB0", b = "/dev/ttyUSB1", c = "/dev/ttyACM0";
        const struct {
            QStringList ports;
            int choice, chosen; // the operator's choice before the refresh, the entry after
        } steps[] = {
            {{a, b}, -1, 0},   {{a, b}, 1, 1}, // an unchanged list keeps the operator's choice
            {{a, b, c}, 1, 0},                 // a changed one is replaced, entry 0 chosen
            {{b, a, c}, 2, 0},                 // the same entries in another order are a change too
            {{}, 0, -1},
        };
        for (const auto& step : steps) {
            box->setCurrentIndex(step.choice);
            app.ports = step.ports;
            app.delegate.timerComboUpdate();
            QCOMPARE(box->count(), step.ports.size());
            for (int i = 0; i < box->count(); ++i) {
                QCOMPARE(box->itemText(i), step.ports[i]); // what a run uses
                QCOMPARE(box->itemData(i, Qt::ToolTipRole).toString(), "about " + step.ports[i]);
            }
            QCOMPARE(box->currentIndex(), step.chosen);
        }
        // The refresh re-arms itself every 2 s.
        const int listings = app.listings;
        QTRY_VERIFY_WITH_TIMEOUT(app.listings >= listings + 2, 15000);
    }

    void refusedAndFailedRuns_data() {
        QTest::addColumn<bool>("listed");   // a pseudo-terminal is the list's one entry
        QTest::addColumn<QString>("typed"); // null: nothing typed
        QTest::addColumn<bool>("image");
        QTest::addColumn<QString>("alert");
        QTest::newRow("no port") << false << QString() << true << kNoPort;
        QTest::newRow("blank typed port") << false << "  " << true << kNoPort;
        QTest::newRow("no image") << true << QString() << false << kNoFile;
        // A typed path wins over the chosen entry; its failure is shown once.
        QTest::newRow("unopenable port")
            << true << "/nonexistent/zk-port" << true
            << "Error opening serial port /nonexistent/zk-port - No such file or directory(2).\n";
    }

    void refusedAndFailedRuns() {
        QFETCH(bool, listed);
        QFETCH(QString, typed);
        QFETCH(bool, image);
        QFETCH(QString, alert);
        const bool refusedEarly = alert == kNoPort || alert == kNoFile; // before the port
        AppHarness app;
        AlertCatcher catcher;
        Pty pty;
        if (listed) {
            app.ports = {QString::fromStdString(pty.path())};
            app.delegate.timerComboUpdate();
        }
        if (!typed.isNull()) {
            app.delegate.setTypedPort(typed);
        }
        app.delegate.fw().setData(image ? bytes(100) : nullptr);
        QStringList titles; // the button's at each alert
        catcher.onShow = [&] { titles << app.startTitle(); };
        app.delegate.setProgress(50, 100);
        QVERIFY(runToIdle(app));
        QCOMPARE(app.percent(), QStringLiteral("0 %")); // every start shows zero
        expectIdle(app);
        app.delegate.fw().setData(nullptr);
        QVERIFY(runToIdle(app)); // refused without the image, the failure not shown again
        // The first attempt once more, with a second press before the worker
        // begins: it cancels, and the button never reads "Cancel"; a run
        // cancelled before it began does not touch the port.
        app.delegate.fw().setData(image ? bytes(100) : nullptr);
        app.delegate.StartFirmwareLoad();
        QVERIFY(runToIdle(app));
        const QString again = alert == kNoPort ? kNoPort : kNoFile;
        QCOMPARE(catcher.messages,
                 (refusedEarly ? QStringList{alert, again, alert} : QStringList{alert, again}));
        QCOMPARE(titles, (refusedEarly ? QStringList{kCancel, kCancel, kStart}
                                       : QStringList{kCancel, kCancel}));
        QVERIFY(refusedEarly || app.logText().endsWith("Process Canceled.\n"));
        QVERIFY(pty.read(1, std::chrono::milliseconds(100)).empty());
        expectIdle(app);
    }

    void stopWhileTheOperatorPromptIsUp_data() {
        QTest::addColumn<bool>("quit");
        QTest::newRow("cancel") << false;
        QTest::newRow("quit") << true;
    }

    void stopWhileTheOperatorPromptIsUp() {
        // The receiver's bring-up waits for the operator to dismiss a prompt;
        // the window is closed (quit) or Cancel pressed while it is up.
        QFETCH(bool, quit);
        AppHarness app;
        AlertCatcher catcher;
        Pty pty;
        app.delegate.fw().setData(bytes(1000));
        app.delegate.fw().setTxSel(false);
        app.delegate.setTypedPort(QString::fromStdString(pty.path()));
        bool stopped = false;
        catcher.onShow = [&] {
            if (std::exchange(stopped, true)) {
                return;
            }
            QCOMPARE(app.startTitle(), kCancel);
            if (quit) {
                app.delegate.applicationWillTerminate(); // nobody will press "OK" any more
                QVERIFY(!app.delegate.workerRunning());
                return;
            }
            app.delegate.StartFirmwareLoad(); // Cancel
            QCOMPARE(app.startTitle(), kStart);
            QVERIFY(!app.o().startButtonOutlet->isEnabled());
            app.delegate.StartFirmwareLoad(); // refused: the worker is still running
            QVERIFY(app.delegate.cancelRequest() && app.delegate.workerRunning());
        };
        app.delegate.StartFirmwareLoad();
        QTRY_VERIFY_WITH_TIMEOUT(stopped && !app.delegate.workerRunning(), 30000);
        QCOMPARE(catcher.messages.first(), kPrompt);
        expectIdle(app);
    }

    // Which file names select which unit, and what an unreadable or empty file
    // reads as, are the firmware file's own tables; here, how the window takes
    // a file and what it remembers.
    void fileSelection_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("size"); // -1: the file cannot be read
        QTest::addColumn<bool>("txSel");
        QTest::addColumn<bool>("dropped"); // on the window, instead of chosen with Browse
        QTest::newRow("receiver") << "unit.binrx" << 81920 << false << false;
        QTest::newRow("unreadable") << "gone.bin" << -1 << true << false;
        QTest::newRow("dropped") << "unit.bin" << 4096 << true << true;
    }

    void fileSelection() {
        QFETCH(QString, name);
        QFETCH(int, size);
        QFETCH(bool, txSel);
        QFETCH(bool, dropped);
        QTemporaryDir dir;
        const QString settings = dir.filePath("zkflash.conf"), path = dir.filePath(name);
        const FirmwareImage content = bytes(std::max(size, 0));
        QFile file(path);
        QVERIFY(size < 0 ||
                (file.open(QIODevice::WriteOnly) &&
                 file.write(reinterpret_cast<const char*>(content->data()), size) == size &&
                 file.flush()));
        auto app = std::make_unique<AppHarness>(settings);
        AlertCatcher catcher;
        app->delegate.fw().setTxSel(!txSel);
        QString logWhenPathShown, chosen = dropped ? QString() : path, folderOffered;
        connect(app->o().pathTextOutlet, &QLineEdit::textChanged, this,
                [&] { logWhenPathShown = app->logText(); });
        bool clearedWhileChoosing = false;
        const auto chooser = [&](QWidget*, const QString& folder) {
            clearedWhileChoosing = !app->delegate.fw().data();
            folderOffered = folder;
            return std::exchange(chosen, QString()); // then cancelled
        };
        app->delegate.setFileChooser(chooser);
        if (dropped) {
            QVERIFY(!drop(app->window, dir.filePath("notes.txt"))); // not a firmware type
            QVERIFY(drop(app->window, path));
        } else {
            app->delegate.browseButton();
            QCOMPARE(folderOffered, QString()); // nothing remembered yet
        }
        QTRY_COMPARE(app->o().pathTextOutlet->text(), name); // read off the main thread
        const QString line = QStringLiteral("Loaded '%1' with %2 bytes for %3\n")
                                 .arg(name)
                                 .arg(content->size())
                                 .arg(txSel ? "Halvo (Transmitter)" : "Morra (Receiver)");
        QCOMPARE(logWhenPathShown, line);
        QCOMPARE(bool(app->delegate.fw().data()), size > 0);
        QVERIFY(size <= 0 || *app->delegate.fw().data() == *content);
        // A cancelled choice drops the image before the dialog opens, which
        // starts in the last file's folder; the rest stays.
        app->delegate.browseButton();
        QVERIFY(clearedWhileChoosing && !app->delegate.fw().data());
        QCOMPARE(folderOffered, dir.path());
        QCOMPARE(app->logText(), line);
        QCOMPARE(app->o().pathTextOutlet->text(), name);
        QCOMPARE(app->delegate.fw().fName(), name.toStdString());
        QCOMPARE(app->delegate.fw().txSel(), txSel);
        // The folder, and the port a run read, are chosen again in the next
        // session.
        const QStringList ports = {"/dev/ttyUSB0", "/dev/ttyUSB1", "/dev/ttyACM0"};
        app->ports = ports;
        app->delegate.timerComboUpdate();
        app->o().portSelectOutlet->setCurrentIndex(1);
        QVERIFY(runToIdle(*app)); // refused for want of an image once the port is read
        app.reset();
        app = std::make_unique<AppHarness>(settings);
        app->ports = ports;
        app->delegate.timerComboUpdate();
        QCOMPARE(app->o().portSelectOutlet->currentText(), ports[1]);
        app->delegate.setFileChooser(chooser);
        app->delegate.browseButton();
        QCOMPARE(folderOffered, dir.path());
    }

    // What a whole run adds in the window (the sequence itself is the CLI's
    // end-to-end tables): the file chosen is sent, the operator prompt is an
    // alert, the title and progress follow the worker, the record is the
    // window's.
    void runsAgainstVirtualUnit_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("cancel"); // a unit that never answers, cancelled while waited for
        QTest::newRow("transmitter") << "halvo.bintx" << false;
        QTest::newRow("receiver") << "morra.binrx" << false; // with the operator prompt
        QTest::newRow("cancel") << "halvo.bin" << true;
    }

    void runsAgainstVirtualUnit() {
#if !defined(ZK_SIM_PATH) || !defined(ZK_MODEMLINE_LIB)
        QSKIP("the virtual unit (zkunit-sim) is not built");
#else
        QFETCH(QString, name);
        QFETCH(bool, cancel);
        if (!qEnvironmentVariable("LD_PRELOAD").contains(QStringLiteral(ZK_MODEMLINE_LIB))) {
            QSKIP("needs the modem-line library preloaded: run by app.controller.unit");
        }
        const bool rx = name.endsWith("rx");
        VirtualUnit unit({"--target", rx ? "rx" : "tx", cancel ? "--silent" : "--once"});
        // Read when DTR changes, on the worker thread started after this.
        qputenv("ZK_MODEMLINE_SOCKET", QByteArray::fromStdString(unit.dir() / "modemline.sock"));
        qputenv("XDG_STATE_HOME", QByteArray::fromStdString(unit.dir() / "state"));
        AppHarness app;
        AlertCatcher catcher;
        const auto image = testImage(rx ? 1025 : 70000);
        const QString file = QString::fromStdString(unit.write(name.toStdString(), image));
        app.delegate.setFileChooser([&](QWidget*, const QString&) { return file; });
        app.delegate.browseButton();
        QTRY_VERIFY(app.delegate.fw().data());
        app.delegate.setTypedPort(QString::fromStdString(unit.path()));
        app.delegate.StartFirmwareLoad();
        if (cancel) {
            QTRY_VERIFY_WITH_TIMEOUT(app.logText().contains("Waiting For Bootloader Start..."),
                                     10000);
            QCOMPARE(app.startTitle(), kCancel);
            app.delegate.StartFirmwareLoad(); // Cancel: retitled at once
            QCOMPARE(app.startTitle(), kStart);
        }
        QVERIFY(QTest::qWaitFor([&] { return !app.delegate.workerRunning(); }, 60000));
        QCOMPARE(app.logText().split('\n', Qt::SkipEmptyParts).last(),
                 cancel ? "Process Canceled." : "Starting Application...");
        QCOMPARE(catcher.messages, rx ? QStringList{kPrompt} : QStringList());
        QCOMPARE(app.percent(), cancel ? "0 %" : "100 %");
        expectIdle(app);
        QVERIFY(cancel || unit.received() == image);
        const auto records = unit.records();
        QCOMPARE(records.size(), size_t(1));
        QVERIFY(records[0]["program"] == "zkflash");
        QVERIFY(records[0]["outcome"] == (cancel ? "cancelled" : "success"));
#endif
    }
};

QTEST_MAIN(ControllerTest)
#include "tst_controller.moc"
