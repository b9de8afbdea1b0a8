// The application controller: the port list refresh, the Start/Cancel toggle
// and its worker, the firmware file selection, and whole runs against the
// virtual unit.
#include <QFile>
#include <QMimeData>
#include <QTemporaryDir>
#include <QUrl>

#include <chrono>
#include <unistd.h>

#include "AppHarness.h"
#include "Pty.h"
#if defined(ZK_SIM_PATH)
#include "VirtualUnit.h"
#endif

namespace {

const QString kNoPort = QStringLiteral("Please select a port.");
const QString kNoFile = QStringLiteral("Please select a file to transfer.");
const QString kStart = QString::fromUtf8(kStartTitle);

FirmwareImage bytes(int size) {
    auto image = std::make_shared<std::vector<uint8_t>>(size_t(size));
    for (size_t i = 0; i < image->size(); ++i) {
        (*image)[i] = uint8_t(i * 7 + 3);
    }
    return image;
}

bool writeFile(const QString& path, const FirmwareImage& image) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) &&
           file.write(reinterpret_cast<const char*>(image->data()), qint64(image->size())) ==
               qint64(image->size());
}

// Presses Start and waits until the run's worker has been joined.
bool runToIdle(AppHarness& app, int timeoutMs = 30000) {
    app.delegate.StartFirmwareLoad();
    return QTest::qWaitFor([&] { return !app.delegate.workerRunning(); }, timeoutMs);
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
        const auto refresh = [&](const QStringList& ports) {
            app.ports = ports;
            app.delegate.timerComboUpdate();
            QCOMPARE(box->count(), ports.size());
            for (int i = 0; i < box->count(); ++i) {
                QCOMPARE(box->itemText(i), ports[i]); // what a run uses
                QCOMPARE(box->itemData(i, Qt::ToolTipRole).toString(), "about " + ports[i]);
            }
        };
        refresh({"/dev/ttyUSB0", "/dev/ttyUSB1"});
        QCOMPARE(box->currentIndex(), 0);
        // An unchanged list keeps the operator's choice.
        box->setCurrentIndex(1);
        refresh({"/dev/ttyUSB0", "/dev/ttyUSB1"});
        QCOMPARE(box->currentIndex(), 1);
        // A changed list is replaced and entry 0 chosen, though the choice is
        // still listed; the same entries in another order are a change too.
        refresh({"/dev/ttyUSB0", "/dev/ttyUSB1", "/dev/ttyUSB2"});
        QCOMPARE(box->currentIndex(), 0);
        box->setCurrentIndex(2);
        refresh({"/dev/ttyUSB1", "/dev/ttyUSB0", "/dev/ttyUSB2"});
        QCOMPARE(box->currentIndex(), 0);
        refresh({});
        // The refresh re-arms itself every 2 s.
        const int listings = app.listings;
        QTRY_VERIFY_WITH_TIMEOUT(app.listings >= listings + 2, 15000);
    }

    void lastPortIsChosenAgainInTheNextSession() {
        QTemporaryDir dir;
        const QString settings = dir.filePath(QStringLiteral("zkflash.conf"));
        const QStringList ports = {"/dev/ttyUSB0", "/dev/ttyUSB1", "/dev/ttyACM0"};
        {
            AppHarness app(settings);
            AlertCatcher catcher; // no image: the run is refused once the port is read
            app.ports = ports;
            app.delegate.timerComboUpdate();
            app.o().portSelectOutlet->setCurrentIndex(1);
            QVERIFY(runToIdle(app));
        }
        AppHarness app(settings);
        app.ports = ports;
        app.delegate.timerComboUpdate();
        QCOMPARE(app.o().portSelectOutlet->currentText(), ports[1]);
        app.ports = {"/dev/ttyUSB0"}; // unplugged: the first entry
        app.delegate.timerComboUpdate();
        QCOMPARE(app.o().portSelectOutlet->currentIndex(), 0);
    }

    void refusedAndFailedRuns_data() {
        QTest::addColumn<bool>("listed");   // a pseudo-terminal is the list's one entry
        QTest::addColumn<QString>("typed"); // null: nothing typed
        QTest::addColumn<bool>("image");
        QTest::addColumn<QString>("alert");
        QTest::addColumn<QString>("again"); // the alert of a second run without the image
        QTest::newRow("no port") << false << QString() << true << kNoPort << kNoPort;
        QTest::newRow("blank typed port") << false << "  " << true << kNoPort << kNoPort;
        QTest::newRow("no image") << true << QString() << false << kNoFile << kNoFile;
        // A typed path wins over the chosen entry; its failure is shown once.
        QTest::newRow("unopenable port")
            << true << "/nonexistent/zk-port" << true
            << "Error opening serial port /nonexistent/zk-port - No such file or directory(2).\n"
            << kNoFile;
    }

    void refusedAndFailedRuns() {
        QFETCH(bool, listed);
        QFETCH(QString, typed);
        QFETCH(bool, image);
        QFETCH(QString, alert);
        QFETCH(QString, again);
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
        QVERIFY(runToIdle(app));
        // The first attempt once more, with a second press before the worker
        // begins: it cancels, and the button never reads "Cancel"; a run
        // cancelled before it began does not touch the port.
        app.delegate.fw().setData(image ? bytes(100) : nullptr);
        app.delegate.StartFirmwareLoad();
        QVERIFY(runToIdle(app));
        const QString cancel = QString::fromUtf8(kCancelTitle);
        QCOMPARE(catcher.messages,
                 (refusedEarly ? QStringList{alert, again, alert} : QStringList{alert, again}));
        QCOMPARE(titles, (refusedEarly ? QStringList{cancel, cancel, kStart}
                                       : QStringList{cancel, cancel}));
        QVERIFY(refusedEarly || app.logText().endsWith("Process Canceled.\n"));
        QCOMPARE(catcher.headings.first(), QStringLiteral("ZK Firmware Loader"));
        QVERIFY(pty.read(1, std::chrono::milliseconds(100)).empty());
        expectIdle(app);
    }

    void stopWhileTheOperatorPromptIsUp_data() {
        QTest::addColumn<bool>("quit");
        QTest::newRow("cancel") << false;
        QTest::newRow("quit") << true;
    }

    void stopWhileTheOperatorPromptIsUp() {
        // The receiver's bring-up waits for the operator to dismiss a prompt.
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
            QCOMPARE(app.startTitle(), QString::fromUtf8(kCancelTitle));
            if (quit) {
                app.delegate.applicationWillTerminate(); // nobody will press "OK" any more
                QVERIFY(!app.delegate.workerRunning());
                return;
            }
            app.delegate.StartFirmwareLoad(); // Cancel
            QCOMPARE(app.startTitle(), kStart);
            QVERIFY(!app.o().startButtonOutlet->isEnabled());
            app.delegate.StartFirmwareLoad(); // refused: the worker is still running
            QVERIFY(app.delegate.cancelRequest());
            QVERIFY(app.delegate.workerRunning());
        };
        app.delegate.StartFirmwareLoad();
        QTRY_VERIFY_WITH_TIMEOUT(stopped && !app.delegate.workerRunning(), 30000);
        QCOMPARE(catcher.messages.first(), "Set Telvo Controller Radio Mode to Tether/RX FW");
        expectIdle(app);
    }

    void fileSelection_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("size"); // -1: the file cannot be read
        QTest::addColumn<bool>("txSel");
        QTest::addColumn<bool>("dropped"); // on the window, instead of chosen with Browse
        QTest::newRow("receiver") << "unit.binrx" << 81920 << false << false;
        QTest::newRow("transmitter") << "unit.bintx" << 4096 << true << false;
        QTest::newRow("upper-case suffix") << "UNIT.BINRX" << 10 << true << false;
        QTest::newRow("empty file") << "empty.binrx" << 0 << false << false;
        QTest::newRow("unreadable") << "gone.bin" << -1 << true << false;
        QTest::newRow("dropped receiver") << "unit.binrx" << 1025 << false << true;
        QTest::newRow("dropped transmitter") << "unit.bin" << 4096 << true << true;
    }

    void fileSelection() {
        QFETCH(QString, name);
        QFETCH(int, size);
        QFETCH(bool, txSel);
        QFETCH(bool, dropped);
        QTemporaryDir settings;
        const QString settingsFile = settings.filePath(QStringLiteral("zkflash.conf"));
        auto app = std::make_unique<AppHarness>(settingsFile);
        QTemporaryDir dir;
        const QString path = dir.filePath(name);
        const FirmwareImage content = bytes(std::max(size, 0));
        QVERIFY(size < 0 || writeFile(path, content));
        app->delegate.fw().setTxSel(!txSel);
        QString logWhenPathShown;
        connect(app->o().pathTextOutlet, &QLineEdit::textChanged, this,
                [&] { logWhenPathShown = app->logText(); });
        QString folderOffered = "none";
        app->delegate.setFileChooser([&](QWidget*, const QString& folder) {
            folderOffered = folder;
            return path;
        });
        const auto drop = [&](const QString& file) { // true when the window took it
            QMimeData mime;
            mime.setUrls({QUrl::fromLocalFile(file)});
            QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &mime, Qt::LeftButton,
                                  Qt::NoModifier);
            QApplication::sendEvent(&app->window, &enter);
            QDropEvent event(QPointF(10, 10), Qt::CopyAction, &mime, Qt::LeftButton,
                             Qt::NoModifier);
            QApplication::sendEvent(&app->window, &event);
            return enter.isAccepted() && event.isAccepted();
        };
        if (dropped) {
            QVERIFY(!drop(dir.filePath("notes.txt"))); // not a firmware type
            QCOMPARE(app->logText(), QString());
            QVERIFY(drop(path));
        } else {
            app->delegate.browseButton();
            QCOMPARE(folderOffered, QString()); // nothing remembered yet
        }
        QTRY_COMPARE(app->o().pathTextOutlet->text(), name); // read off the main thread
        const QString line = QStringLiteral("Loaded '%1' with %2 bytes for %3\n")
                                 .arg(name)
                                 .arg(content->size())
                                 .arg(txSel ? "Halvo (Transmitter)" : "Morra (Receiver)");
        const auto expectSelection = [&] {
            QCOMPARE(app->logText(), line);
            QCOMPARE(app->o().pathTextOutlet->text(), name);
            QCOMPARE(app->delegate.fw().fName(), name.toStdString());
            QCOMPARE(app->delegate.fw().txSel(), txSel);
        };
        expectSelection();
        QCOMPARE(logWhenPathShown, line);
        QCOMPARE(bool(app->delegate.fw().data()), size > 0); // an empty file has nothing to flash
        QVERIFY(size <= 0 || *app->delegate.fw().data() == *content);
        // A cancelled choice drops the image before the dialog opens; the rest
        // stays. The dialog starts in the last file's folder.
        bool clearedWhileChoosing = false;
        app->delegate.setFileChooser([&](QWidget*, const QString& folder) {
            clearedWhileChoosing = !app->delegate.fw().data();
            folderOffered = folder;
            return QString();
        });
        app->delegate.browseButton();
        QVERIFY(clearedWhileChoosing && !app->delegate.fw().data());
        QCOMPARE(folderOffered, dir.path());
        expectSelection();
        // The folder is remembered into the next session.
        app = std::make_unique<AppHarness>(settingsFile);
        app->delegate.setFileChooser([&](QWidget*, const QString& folder) {
            folderOffered = folder;
            return QString();
        });
        folderOffered = "none";
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
        QTest::addColumn<QStringList>("alerts");
        QTest::newRow("transmitter") << "halvo.bintx" << false << QStringList();
        QTest::newRow("receiver") << "morra.binrx" << false
                                  << QStringList{"Set Telvo Controller Radio Mode to Tether/RX FW"};
        QTest::newRow("cancel") << "halvo.bin" << true << QStringList();
    }

    void runsAgainstVirtualUnit() {
#if !defined(ZK_SIM_PATH) || !defined(ZK_MODEMLINE_LIB)
        QSKIP("the virtual unit (zkunit-sim) is not built");
#else
        QFETCH(QString, name);
        QFETCH(bool, cancel);
        QFETCH(QStringList, alerts);
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
            QCOMPARE(app.startTitle(), QString::fromUtf8(kCancelTitle));
            app.delegate.StartFirmwareLoad(); // Cancel: retitled at once
            QCOMPARE(app.startTitle(), kStart);
        }
        QVERIFY(QTest::qWaitFor([&] { return !app.delegate.workerRunning(); }, 60000));
        QCOMPARE(app.logText().split('\n', Qt::SkipEmptyParts).last(),
                 cancel ? "Process Canceled." : "Starting Application...");
        QCOMPARE(catcher.messages, alerts);
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
