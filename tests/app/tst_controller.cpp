// The application controller: launch, the port list refresh, the Start/Cancel
// toggle and its worker, the firmware file selection, and whole runs against
// the virtual unit.
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <chrono>
#include <grp.h>
#include <thread>
#include <unistd.h>

#include "AppHarness.h"
#include "Pty.h"

namespace {

constexpr const char* kOpenFailure =
    "Error opening serial port /nonexistent/zk-port - No such file or directory(2).\n";

FirmwareImage bytes(size_t size) {
    auto image = std::make_shared<std::vector<uint8_t>>(size);
    for (size_t i = 0; i < size; ++i) {
        (*image)[i] = uint8_t(i * 7 + 3);
    }
    return image;
}

QStringList comboEntries(QComboBox* box) {
    QStringList list;
    for (int i = 0; i < box->count(); ++i) {
        list << box->itemText(i);
    }
    return list;
}

// Presses Start and waits until the run's worker has been joined.
bool runToIdle(AppHarness& app, int timeoutMs = 30000) {
    app.delegate.StartFirmwareLoad();
    return QTest::qWaitFor([&] { return !app.delegate.workerRunning(); }, timeoutMs);
}

void expectIdle(AppHarness& app) {
    QCOMPARE(app.startTitle(), QString::fromUtf8(kStartTitle));
    QVERIFY(app.delegate.cancelRequest());
    QVERIFY(app.o().startButtonOutlet->isEnabled());
    QVERIFY(!app.delegate.workerRunning());
}

QString lastLogLine(AppHarness& app) {
    QStringList lines = app.logText().split('\n', Qt::SkipEmptyParts);
    return lines.isEmpty() ? QString() : lines.last();
}

} // namespace

class ControllerTest : public QObject {
    Q_OBJECT
private slots:
    void launchPreparesTheWindow();
    void portListRefresh();
    void refreshReArmsItself();
    void chosenPort_data();
    void chosenPort();
    void runWithoutPort();
    void runWithoutImageTouchesNoPort();
    void unopenablePortIsReportedOnce();
    void permissionHint_data();
    void permissionHint();
    void pressBeforeTheWorkerBeginsActsAsCancel();
    void cancelledRunBlocksANewStartUntilItsWorkerEnds();
    void terminationReleasesAWorkerWaitingForTheOperator();
    void fileSelection_data();
    void fileSelection();
    void cancelledFileSelectionKeepsNameAndTarget();
    void fullRunAgainstVirtualUnit_data();
    void fullRunAgainstVirtualUnit();
    void cancelDuringTheBootloaderWait();

private:
    // Starts the virtual unit; empty when the test cannot use it.
    QString startUnit(QProcess& unit, const QTemporaryDir& dir, const QStringList& options,
                      QString& skipReason);
};

void ControllerTest::launchPreparesTheWindow() {
    AppHarness app;
    QCOMPARE(app.startTitle(), QStringLiteral("Start Firmware Load"));
    QVERIFY(app.delegate.cancelRequest());
    QVERIFY(!app.delegate.busy());
    QVERIFY(app.delegate.fw().txSel());
    QVERIFY(!app.delegate.fw().data());
    QCOMPARE(app.delegate.fw().ui(), static_cast<StatusSink*>(&app.delegate));
    QCOMPARE(app.window.windowTitle(), QStringLiteral("ZK Firmware Loader"));
    QCOMPARE(app.window.palette().color(QPalette::Window), QColor::fromRgbF(0.2f, 0.2f, 0.2f));
    QCOMPARE(app.listings, 1);
}

void ControllerTest::portListRefresh() {
    AppHarness app;
    QComboBox* box = app.o().portSelectOutlet;
    QCOMPARE(box->count(), 0);
    QCOMPARE(app.delegate.chosenPort(), std::nullopt);

    app.ports = {"/dev/ttyUSB0", "/dev/ttyUSB1"};
    app.delegate.timerComboUpdate();
    QCOMPARE(comboEntries(box), QStringList({"/dev/ttyUSB0", "/dev/ttyUSB1"}));
    QCOMPARE(box->currentIndex(), 0);

    // An unchanged list keeps the operator's choice.
    box->setCurrentIndex(1);
    app.delegate.timerComboUpdate();
    QCOMPARE(box->currentIndex(), 1);
    QCOMPARE(app.delegate.chosenPort(), std::optional<std::string>("/dev/ttyUSB1"));

    // A changed list is replaced, entry 0 chosen, even though the choice is still there.
    app.ports = {"/dev/ttyUSB0", "/dev/ttyUSB1", "/dev/ttyUSB2"};
    app.delegate.timerComboUpdate();
    QCOMPARE(comboEntries(box), QStringList({"/dev/ttyUSB0", "/dev/ttyUSB1", "/dev/ttyUSB2"}));
    QCOMPARE(box->currentIndex(), 0);

    // Same entries in another order count as a change.
    box->setCurrentIndex(2);
    app.ports = {"/dev/ttyUSB1", "/dev/ttyUSB0", "/dev/ttyUSB2"};
    app.delegate.timerComboUpdate();
    QCOMPARE(box->currentIndex(), 0);
    QCOMPARE(app.delegate.chosenPort(), std::optional<std::string>("/dev/ttyUSB1"));

    app.ports.clear();
    app.delegate.timerComboUpdate();
    QCOMPARE(box->count(), 0);
    QCOMPARE(app.delegate.chosenPort(), std::nullopt);
}

void ControllerTest::refreshReArmsItself() {
    AppHarness app;
    app.ports = {"/dev/ttyUSB3"};
    // Every 2 s: the second and third listings come without being asked for.
    QTRY_VERIFY_WITH_TIMEOUT(app.listings >= 3, 15000);
    QCOMPARE(comboEntries(app.o().portSelectOutlet), QStringList({"/dev/ttyUSB3"}));
}

void ControllerTest::chosenPort_data() {
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<int>("chosen");
    QTest::addColumn<QString>("typed");    // null: nothing typed
    QTest::addColumn<QString>("expected"); // null: no port
    QTest::newRow("nothing") << QStringList() << -1 << QString() << QString();
    QTest::newRow("blank typed") << QStringList() << -1 << "   " << QString();
    QTest::newRow("entry") << QStringList({"/dev/ttyUSB0", "/dev/ttyUSB1"}) << 1 << QString()
                           << "/dev/ttyUSB1";
    QTest::newRow("typed, no list") << QStringList() << -1 << "/dev/ttyACM0"
                                    << "/dev/ttyACM0";
    QTest::newRow("typed over a chosen entry") << QStringList({"/dev/ttyUSB0"}) << 0 << "/dev/pts/7"
                                               << "/dev/pts/7";
}

void ControllerTest::chosenPort() {
    QFETCH(QStringList, entries);
    QFETCH(int, chosen);
    QFETCH(QString, typed);
    QFETCH(QString, expected);
    AppHarness app;
    for (const QString& entry : entries) {
        app.ports.push_back(entry.toStdString());
    }
    app.delegate.timerComboUpdate();
    app.o().portSelectOutlet->setCurrentIndex(chosen);
    if (!typed.isNull()) {
        app.delegate.setTypedPort(typed);
    }
    const std::optional<std::string> port = app.delegate.chosenPort();
    if (expected.isNull()) {
        QCOMPARE(port, std::nullopt);
    } else {
        QCOMPARE(port, std::optional<std::string>(expected.toStdString()));
    }
}

void ControllerTest::runWithoutPort() {
    AppHarness app;
    AlertCatcher catcher;
    app.delegate.fw().setData(bytes(100));
    app.delegate.setProgress(50, 100);
    QVERIFY(runToIdle(app));
    QCOMPARE(catcher.messages(), QStringList({"Please select a port."}));
    QCOMPARE(catcher.seen.front().heading, QStringLiteral("ZK Firmware Loader"));
    QCOMPARE(app.percent(), QStringLiteral("0 %")); // reset by the start
    expectIdle(app);
}

void ControllerTest::runWithoutImageTouchesNoPort() {
    AppHarness app;
    AlertCatcher catcher;
    Pty pty;
    app.ports = {pty.path()};
    app.delegate.timerComboUpdate();
    QVERIFY(runToIdle(app));
    QCOMPARE(catcher.messages(), QStringList({"Please select a file to transfer."}));
    QVERIFY(pty.read(1, std::chrono::milliseconds(300)).empty());
    QCOMPARE(app.logText(), QString());
    expectIdle(app);
}

void ControllerTest::unopenablePortIsReportedOnce() {
    AppHarness app;
    AlertCatcher catcher;
    app.delegate.fw().setData(bytes(2000));
    app.delegate.setTypedPort(QStringLiteral("/nonexistent/zk-port"));
    QVERIFY(runToIdle(app));
    QCOMPARE(catcher.messages(), QStringList({kOpenFailure}));
    QCOMPARE(catcher.seen.front().heading, QStringLiteral("ZK Firmware Loader"));
    expectIdle(app);

    // Later runs refused before the port is opened do not show it again.
    app.delegate.fw().setData(nullptr);
    QVERIFY(runToIdle(app));
    app.delegate.setTypedPort(QString());
    QVERIFY(runToIdle(app));
    QCOMPARE(catcher.messages(), QStringList({kOpenFailure, "Please select a file to transfer.",
                                              "Please select a port."}));

    // A new attempt that fails the same way is reported again.
    app.delegate.fw().setData(bytes(10));
    app.delegate.setTypedPort(QStringLiteral("/nonexistent/zk-port"));
    QVERIFY(runToIdle(app));
    QCOMPARE(catcher.messages().last(), QString::fromUtf8(kOpenFailure));
    QCOMPARE(catcher.seen.size(), size_t(4));
}

void ControllerTest::permissionHint_data() {
    QTest::addColumn<QString>("error");
    QTest::addColumn<int>("gid");           // group of the device node; -1: no such node
    QTest::addColumn<QString>("hintGroup"); // null: no hint expected
    const QString denied = "Error opening serial port %1 - Permission denied(13).\n";
    QTest::newRow("dialout node") << denied << 20 << "dialout";
    QTest::newRow("tty node") << denied << 5 << "tty";
    QTest::newRow("node gone") << denied << -1 << "dialout";
    QTest::newRow("other failure")
        << "Error opening serial port %1 - No such file or directory(2).\n"
        << 20 << QString();
}

void ControllerTest::permissionHint() {
    QFETCH(QString, error);
    QFETCH(int, gid);
    QFETCH(QString, hintGroup);
    if (gid >= 0 && getgrgid(gid_t(gid)) == nullptr) {
        QSKIP("this system has no such group");
    }
    QTemporaryDir dir;
    QString node = dir.filePath(QStringLiteral("ttyUSB0"));
    if (gid >= 0) {
        QFile file(node);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        if (chown(node.toLocal8Bit().constData(), uid_t(-1), gid_t(gid)) != 0) {
            QSKIP("cannot change the test node's group");
        }
    }
    const std::string text = error.arg(node).toStdString();
    const QString shown =
        QString::fromStdString(ZKAppDelegate::serialFailureText(text, node.toStdString()));
    if (hintGroup.isNull()) {
        QCOMPARE(shown, QString::fromStdString(text));
        return;
    }
    QVERIFY(shown.startsWith(QString::fromStdString(text)));
    const QString hint = shown.mid(int(text.size()));
    QVERIFY(!hint.contains('\n'));
    QVERIFY2(hint.contains("\"" + hintGroup + "\""), qPrintable(hint));
    QVERIFY(hint.endsWith(QStringLiteral("log in again.")));
}

void ControllerTest::pressBeforeTheWorkerBeginsActsAsCancel() {
    AppHarness app;
    AlertCatcher catcher;
    QString titleAtAlert;
    catcher.onShow = [&](QMessageBox*) { titleAtAlert = app.startTitle(); };
    app.delegate.StartFirmwareLoad();
    app.delegate.StartFirmwareLoad(); // before the worker's first hand-off has run
    QCOMPARE(app.startTitle(), QString::fromUtf8(kStartTitle));
    QVERIFY(app.delegate.cancelRequest());
    QVERIFY(!app.o().startButtonOutlet->isEnabled());
    QTRY_VERIFY(!app.delegate.workerRunning());
    QCOMPARE(titleAtAlert, QString::fromUtf8(kStartTitle)); // never retitled "Cancel"
    QCOMPARE(catcher.messages(), QStringList({"Please select a port."}));
    expectIdle(app);
}

void ControllerTest::cancelledRunBlocksANewStartUntilItsWorkerEnds() {
    // The receiver's bring-up waits for the operator; on a plain pseudo-terminal
    // its DTR changes then fail, which the end of the run reports.
    AppHarness app;
    AlertCatcher catcher;
    Pty pty;
    app.delegate.fw().setData(bytes(1000));
    app.delegate.fw().setTxSel(false);
    app.delegate.setTypedPort(QString::fromStdString(pty.path()));

    bool checkedStopping = false;
    catcher.onShow = [&](QMessageBox*) {
        if (checkedStopping) {
            return;
        }
        checkedStopping = true;
        QCOMPARE(app.startTitle(), QString::fromUtf8(kCancelTitle));
        QVERIFY(!app.delegate.cancelRequest());
        app.delegate.StartFirmwareLoad(); // Cancel
        QCOMPARE(app.startTitle(), QString::fromUtf8(kStartTitle));
        QVERIFY(app.delegate.cancelRequest());
        QVERIFY(!app.o().startButtonOutlet->isEnabled());
        app.delegate.StartFirmwareLoad(); // refused: the worker is still running
        QVERIFY(app.delegate.cancelRequest());
        QVERIFY(app.delegate.workerRunning());
    };
    app.delegate.StartFirmwareLoad();
    QTRY_VERIFY_WITH_TIMEOUT(!app.delegate.workerRunning(), 30000);
    QVERIFY(checkedStopping);
    QCOMPARE(catcher.seen.size(), size_t(2));
    QCOMPARE(catcher.seen[0].message,
             QStringLiteral("Set Telvo Controller Radio Mode to Tether/RX FW"));
    QVERIFY2(catcher.seen[1].message.contains(QStringLiteral("(25).")),
             qPrintable(catcher.seen[1].message));
    // The radio-module commands went out after the prompt, nothing more.
    const std::vector<uint8_t> sent =
        pty.readUntilQuiet(std::chrono::milliseconds(100), std::chrono::milliseconds(1000));
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(sent.data()), qsizetype(sent.size())),
             QByteArray("+++ATDLFFFE\r\nATCN\r\n"));
    expectIdle(app);
}

void ControllerTest::terminationReleasesAWorkerWaitingForTheOperator() {
    AppHarness app;
    AlertCatcher catcher;
    Pty pty;
    app.delegate.fw().setData(bytes(1000));
    app.delegate.fw().setTxSel(false);
    app.delegate.setTypedPort(QString::fromStdString(pty.path()));
    bool terminated = false;
    catcher.onShow = [&](QMessageBox*) {
        if (!terminated) {
            terminated = true;
            // The prompt is still up: nobody will press "OK" for the worker.
            app.delegate.applicationWillTerminate();
            QVERIFY(!app.delegate.workerRunning());
        }
    };
    app.delegate.StartFirmwareLoad();
    QTRY_VERIFY_WITH_TIMEOUT(terminated, 10000);
    QVERIFY(!app.delegate.workerRunning());
    QVERIFY(app.delegate.cancelRequest());
}

void ControllerTest::fileSelection_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("size"); // -1: the file cannot be read
    QTest::addColumn<bool>("txSel");
    QTest::newRow("receiver") << "unit.binrx" << 81920 << false;
    QTest::newRow("transmitter") << "unit.bintx" << 4096 << true;
    QTest::newRow("plain bin") << "unit.bin" << 1 << true;
    QTest::newRow("upper-case suffix") << "UNIT.BINRX" << 10 << true;
    QTest::newRow("empty file") << "empty.binrx" << 0 << false;
    QTest::newRow("unreadable") << "gone.bin" << -1 << true;
}

void ControllerTest::fileSelection() {
    QFETCH(QString, name);
    QFETCH(int, size);
    QFETCH(bool, txSel);
    AppHarness app;
    QTemporaryDir dir;
    const QString path = dir.filePath(name);
    std::vector<uint8_t> content;
    if (size >= 0) {
        content = *bytes(size_t(size));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(reinterpret_cast<const char*>(content.data()), qsizetype(content.size()));
    }
    app.delegate.fw().setTxSel(!txSel);
    QString logWhenPathShown;
    connect(app.o().pathTextOutlet, &QLineEdit::textChanged, this,
            [&] { logWhenPathShown = app.logText(); });
    app.delegate.setFileChooser([&](QWidget*) { return path; });

    app.delegate.browseButton();
    const QString line = QStringLiteral("Loaded '%1' with %2 bytes for %3\n")
                             .arg(name)
                             .arg(std::max(size, 0))
                             .arg(txSel ? "Halvo (Transmitter)" : "Morra (Receiver)");
    QCOMPARE(app.logText(), line);
    QCOMPARE(logWhenPathShown, line);
    QCOMPARE(app.o().pathTextOutlet->text(), name);
    QCOMPARE(app.delegate.fw().fName(), name.toStdString());
    QCOMPARE(app.delegate.fw().txSel(), txSel);
    if (size < 0) {
        QVERIFY(!app.delegate.fw().data());
    } else {
        QVERIFY(app.delegate.fw().data());
        QVERIFY(*app.delegate.fw().data() == content);
    }
}

void ControllerTest::cancelledFileSelectionKeepsNameAndTarget() {
    AppHarness app;
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("unit.binrx"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("abc");
    file.close();
    app.delegate.setFileChooser([&](QWidget*) { return path; });
    app.delegate.browseButton();
    QVERIFY(app.delegate.fw().data());

    bool imageClearedWhileChoosing = false;
    app.delegate.setFileChooser([&](QWidget*) {
        imageClearedWhileChoosing = !app.delegate.fw().data();
        return QString();
    });
    app.delegate.browseButton();
    QVERIFY(imageClearedWhileChoosing);
    QVERIFY(!app.delegate.fw().data());
    QCOMPARE(app.delegate.fw().fName(), std::string("unit.binrx"));
    QVERIFY(!app.delegate.fw().txSel());
    QCOMPARE(app.o().pathTextOutlet->text(), QStringLiteral("unit.binrx"));
    QCOMPARE(app.logText().count('\n'), 1);
}

QString ControllerTest::startUnit(QProcess& unit, const QTemporaryDir& dir,
                                  const QStringList& options, QString& skipReason) {
#if defined(ZK_SIM_PATH) && defined(ZK_MODEMLINE_LIB)
    if (!qEnvironmentVariable("LD_PRELOAD").contains(QStringLiteral(ZK_MODEMLINE_LIB))) {
        skipReason = QStringLiteral("needs the modem-line library preloaded: run by the ctest "
                                    "entry app.controller.unit");
        return {};
    }
    // Read when DTR changes, on the worker thread started after this.
    qputenv("ZK_MODEMLINE_SOCKET", dir.filePath(QStringLiteral("modemline.sock")).toLocal8Bit());
    unit.start(QStringLiteral(ZK_SIM_PATH), QStringList{"--out", dir.path(), "--once"} + options);
    if (!unit.waitForStarted(10000)) {
        return {};
    }
    QByteArray out;
    while (out.count('\n') < 2 && unit.waitForReadyRead(10000)) {
        out += unit.readAllStandardOutput();
    }
    const QList<QByteArray> lines = out.split('\n');
    if (lines.size() < 2 || lines[1] != "ready") {
        return {};
    }
    return QString::fromLocal8Bit(lines[0]);
#else
    Q_UNUSED(unit);
    Q_UNUSED(dir);
    Q_UNUSED(options);
    skipReason = QStringLiteral("the virtual unit (zkunit-sim) is not built");
    return {};
#endif
}

void ControllerTest::fullRunAgainstVirtualUnit_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("target");
    QTest::addColumn<int>("size");
    QTest::newRow("transmitter") << "halvo.bintx"
                                 << "tx" << 70000;
    QTest::newRow("receiver") << "morra.binrx"
                              << "rx" << 1025;
}

void ControllerTest::fullRunAgainstVirtualUnit() {
    QFETCH(QString, name);
    QFETCH(QString, target);
    QFETCH(int, size);
    QTemporaryDir dir;
    QProcess unit;
    QString skipReason;
    const QString port = startUnit(unit, dir, {"--target", target}, skipReason);
    if (!skipReason.isEmpty()) {
        QSKIP(qPrintable(skipReason));
    }
    QVERIFY2(!port.isEmpty(),
             qPrintable("the virtual unit did not start: " + unit.readAllStandardError()));
    AppHarness app;
    AlertCatcher catcher;
    const QString path = dir.filePath(name);
    const FirmwareImage image = bytes(size_t(size));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(reinterpret_cast<const char*>(image->data()), qsizetype(image->size()));
    file.close();
    app.delegate.setFileChooser([&](QWidget*) { return path; });
    app.delegate.browseButton();
    app.delegate.setTypedPort(port);

    QVERIFY(runToIdle(app, 60000));
    QCOMPARE(lastLogLine(app), QStringLiteral("Starting Application..."));
    QCOMPARE(app.percent(), QStringLiteral("100 %"));
    QCOMPARE(app.o().levelIndicatorOutlet->mPercent(), 1.0f);
    QStringList expectedAlerts;
    if (target == "rx") {
        expectedAlerts << "Set Telvo Controller Radio Mode to Tether/RX FW";
    }
    QCOMPARE(catcher.messages(), expectedAlerts);
    expectIdle(app);

    QFile events(dir.filePath(QStringLiteral("events.log")));
    events.open(QIODevice::ReadOnly);
    // The unit exits once it has started the application.
    if (unit.state() != QProcess::NotRunning) {
        unit.waitForFinished(30000);
    }
    QVERIFY2(unit.state() == QProcess::NotRunning && unit.exitCode() == 0,
             qPrintable(unit.readAllStandardError() + "\nevents:\n" + events.readAll()));
    QFile received(dir.filePath(QStringLiteral("received.bin")));
    QVERIFY(received.open(QIODevice::ReadOnly));
    QCOMPARE(received.readAll(),
             QByteArray(reinterpret_cast<const char*>(image->data()), qsizetype(image->size())));
}

void ControllerTest::cancelDuringTheBootloaderWait() {
    QTemporaryDir dir;
    QProcess unit;
    QString skipReason;
    const QString port = startUnit(unit, dir, {"--target", "tx", "--silent"}, skipReason);
    if (!skipReason.isEmpty()) {
        QSKIP(qPrintable(skipReason));
    }
    QVERIFY2(!port.isEmpty(),
             qPrintable("the virtual unit did not start: " + unit.readAllStandardError()));
    AppHarness app;
    AlertCatcher catcher;
    app.delegate.fw().setData(bytes(3000));
    app.delegate.fw().setFName("halvo.bin");
    app.delegate.setTypedPort(port);
    app.delegate.StartFirmwareLoad();
    QTRY_VERIFY_WITH_TIMEOUT(app.logText().contains("Waiting For Bootloader Start..."), 10000);
    QCOMPARE(app.startTitle(), QString::fromUtf8(kCancelTitle));

    app.delegate.StartFirmwareLoad(); // Cancel
    QCOMPARE(app.startTitle(), QString::fromUtf8(kStartTitle));
    QVERIFY(!app.o().startButtonOutlet->isEnabled());
    QTRY_VERIFY_WITH_TIMEOUT(!app.delegate.workerRunning(), 10000);
    QCOMPARE(lastLogLine(app), QStringLiteral("Process Canceled."));
    QVERIFY(catcher.seen.empty());
    expectIdle(app);
    unit.terminate();
    unit.waitForFinished(5000);
}

QTEST_MAIN(ControllerTest)
#include "tst_controller.moc"
