// The application controller: the port list refresh, the Start/Cancel toggle
// and its worker, the firmware file selection, the keyboard, Check setup, and
// whole runs against the virtual unit on a virtual line with what the window
// shows of them.
#include <QAccessible>
#include <QFile>
#include <QMimeData>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <QUrl>

#include <atomic>
#include <chrono>
#include <iterator>
#include <numeric>
#include <sstream>
#include <thread>

#include "AppHarness.h"
#include "Pty.h"
#include "StationView.h"
#include "virtual_link.h"

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

sim::Faults faults(const QString& options) {
    std::istringstream in(options.toStdString());
    std::string error;
    const auto parsed = sim::parseOptions({std::istream_iterator<std::string>(in), {}}, error);
    return parsed ? parsed->faults : sim::Faults{};
}

using sim::HeldLink;

// True when `text` is `pattern`, where a * stands for any text.
bool matches(const QString& text, const QString& pattern) {
    QStringList parts = pattern.split('*');
    for (QString& part : parts) {
        part = QRegularExpression::escape(part);
    }
    return QRegularExpression("\\A" + parts.join(".*") + "\\z",
                              QRegularExpression::DotMatchesEverythingOption)
        .match(text)
        .hasMatch();
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
        // A port that would not open is not offered again next time.
        QVERIFY(typed.isNull() || app.delegate.settings().value("lastPort").toString() != typed);
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
        // A refused start leaves no end state; a run cancelled before it
        // began says that nothing was sent.
        QCOMPARE(app.view<QFrame>("endStatePanel")->isVisible(), !refusedEarly);
        QVERIFY(refusedEarly ||
                app.view("endStateText")->text() == "Stopped before the image was sent.");
    }

    // Tab reaches the controls in the window's order, each named for
    // assistive technology; Enter clicks a focused button and elsewhere
    // starts a run; Check setup shows the findings for the chosen port,
    // gathered off the main thread, in a window beside the main one.
    void keyboardAndAccessibleNames_data() {
        QTest::addColumn<QString>("control");
        QTest::addColumn<int>("role");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("next");  // reached by Tab from it; empty: not in the chain
        QTest::addColumn<QString>("enter"); // what Enter on it does
        QTest::newRow("port") << "portSelect" << int(QAccessible::ComboBox) << "Serial port"
                              << "browseButton"
                              << "start";
        QTest::newRow("browse") << "browseButton" << int(QAccessible::Button)
                                << "Browse for a firmware file"
                                << "startButton"
                                << "browse";
        QTest::newRow("start") << "startButton" << int(QAccessible::Button) << "Start Firmware Load"
                               << "logTextView"
                               << "start";
        QTest::newRow("log") << "logTextView" << int(QAccessible::EditableText) << "Log"
                             << "checkSetupButton"
                             << "start";
        QTest::newRow("check setup")
            << "checkSetupButton" << int(QAccessible::Button) << "Check setup"
            << "viewToggle"
            << "check setup";
        QTest::newRow("view toggle") << "viewToggle" << int(QAccessible::Button) << "Switch view"
                                     << "portSelect"
                                     << "switch view";
        QTest::newRow("file") << "pathText" << int(QAccessible::EditableText) << "Firmware file"
                              << ""
                              << "";
        QTest::newRow("bar") << "levelIndicator" << int(QAccessible::ProgressBar) << "Progress"
                             << ""
                             << "";
    }

    void keyboardAndAccessibleNames() {
        QFETCH(QString, control);
        QFETCH(int, role);
        QFETCH(QString, name);
        QFETCH(QString, next);
        QFETCH(QString, enter);
        AppHarness app;
        AlertCatcher catcher;
        QWidget* widget = app.view<QWidget>(control.toLatin1().constData());
        QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(widget);
        QCOMPARE(int(accessible->role()), role);
        QCOMPARE(accessible->text(QAccessible::Name), name);
        if (next.isEmpty()) {
            QCOMPARE(widget->focusPolicy() & Qt::TabFocus, 0);
            return;
        }
        app.window.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&app.window));
        const auto focused = [] {
            QWidget* w = QApplication::focusWidget();
            auto* box = w ? qobject_cast<QComboBox*>(w->parentWidget()) : nullptr;
            return box ? box->objectName() : w ? w->objectName() : QString();
        };
        widget->setFocus(Qt::TabFocusReason);
        QCOMPARE(focused(), control);
        // What takes the focus (a combo box's text field) has the name too.
        QCOMPARE(QAccessible::queryAccessibleInterface(QApplication::focusWidget())
                     ->text(QAccessible::Name),
                 name);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(focused(), next);

        int browsed = 0;
        app.delegate.setFileChooser([&](QWidget*, const QString&) { return ++browsed, QString(); });
        app.delegate.setTypedPort("/dev/ttyUSB7");
        std::optional<std::string> askedFor;
        bool offMain = false;
        const std::string findings = "ok       adapters  none\n0 failures, 0 warnings\n";
        app.delegate.setSetupChecker([&](const std::optional<std::string>& port) {
            askedFor = port;
            offMain = !isMainThread();
            return findings;
        });
        SetupDialog* shown = nullptr;
        connect(&app.delegate, &ZKAppDelegate::setupShown, this,
                [&](QDialog* dialog) { shown = static_cast<SetupDialog*>(dialog); });
        widget->setFocus(Qt::TabFocusReason);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
        QVERIFY(QTest::qWaitFor([&] { return !app.delegate.workerRunning(); }, 10000));
        // Without an image the run is refused, once the port has been read.
        QCOMPARE(catcher.messages, enter == "start" ? QStringList{kNoFile} : QStringList());
        QCOMPARE(browsed, enter == "browse" ? 1 : 0);
        if (enter == "check setup") {
            QTRY_VERIFY(shown != nullptr);
            QVERIFY(shown->isVisible() && !shown->isModal());
            QCOMPARE(shown->findings(), QString::fromStdString(findings));
            QVERIFY(askedFor == "/dev/ttyUSB7" && offMain);
        }
        QCOMPARE(app.window.stationShown(), enter == "switch view");
        // Escape with no run going does nothing.
        QTest::keyClick(&app.window, Qt::Key_Escape);
        QCOMPARE(catcher.messages.size(), enter == "start" ? 1 : 0);
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

    // Whole runs of the window on a virtual line (the sequence itself is the
    // library's tables): the end state each outcome leaves, the time line and
    // the bar mid-transfer, Cancel and Escape, the operator prompt, the image
    // on the unit and the window's record.
    void runsAgainstVirtualUnit_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("size");
        QTest::addColumn<QString>("faults"); // the virtual unit's; "refused": the port won't open
        QTest::addColumn<int>("holdAt");     // bytes written before the run is held; -1: never
        QTest::addColumn<QString>("action"); // while held: "cancel", "escape yes", "escape no"
        QTest::addColumn<QString>("outcome");
        QTest::addColumn<QString>("state"); // the end state's heading and text; * for any
        QTest::addColumn<QStringList>("alerts");
        const QStringList asked = {"The unit will have no application until it is flashed again."};
        const QString setupHint =
            "\nCheck setup shows what on this computer stands between the loader and the adapter.";
        // The whole memory at 115200 bit/s: the estimate is checked throughout.
        QTest::newRow("transmitter, escape answered no")
            << "halvo.bintx" << 196608 << "" << 100000 << "escape no"
            << "success"
            << "Passed\nhalvo.bintx, 196608 bytes, flashed in 0:20." << asked;
        // Its time counts the operator's (the prompt spins the virtual clock).
        QTest::newRow("receiver, with the prompt")
            << "morra.binrx" << 1025 << "" << -1 << ""
            << "success"
            << "Passed\nmorra.binrx, 1025 bytes, flashed in *." << QStringList{kPrompt};
        QTest::newRow("escape in the transfer")
            << "halvo.bin" << 40000 << "" << 20000 << "escape yes"
            << "cancelled"
            << "Cancelled\nStopped during the transfer: the unit has no application until it "
               "is flashed again."
            << asked;
        QTest::newRow("cancel in the bootloader wait")
            << "halvo.bin" << 100 << "--silent" << 0 << "cancel"
            << "cancelled"
            << "Cancelled\nStopped before the image was sent." << QStringList();
        QTest::newRow("wrong mode")
            << "halvo.bin" << 100 << "--wrong-mode" << -1 << ""
            << "wrong mode"
            << "Failed\nThe unit is not in the correct mode.\nPress FW button AFTER power up "
               "(within 2 seconds)."
            << QStringList{"Halvo is not in the correct mode.  Press FW button AFTER power up "
                           "(within 2 seconds)."};
        QTest::newRow("receiver's bootloader silent")
            << "morra.binrx" << 100 << "--silent" << -1 << ""
            << "no banner"
            << "Failed\nThe unit's bootloader did not respond.\nPress FW button after power up "
               "and hold for 5 seconds."
            << QStringList{kPrompt};
        QTest::newRow("port refused")
            << "halvo.bin" << 100 << "refused" << -1 << ""
            << "serial failure"
            << "Failed\nError opening serial port virtual - No such file or directory(2)." +
                   setupHint
            << QStringList{"Error opening serial port virtual - No such file or directory(2).\n"};
        QTest::newRow("line hung up in the transfer")
            << "halvo.bin" << 5000 << "--hangup-at 2" << -1 << ""
            << "send error"
            << "Failed\nWrite Error - Input/output error(5)." + setupHint
            << QStringList{"Write Error - Input/output error(5).\n"};
    }

    void runsAgainstVirtualUnit() {
        QFETCH(QString, name);
        QFETCH(int, size);
        QFETCH(QString, faults);
        QFETCH(int, holdAt);
        QFETCH(QString, action);
        QFETCH(QString, outcome);
        QFETCH(QString, state);
        QFETCH(QStringList, alerts);
        QTemporaryDir stateHome;
        qputenv("XDG_STATE_HOME", stateHome.path().toUtf8()); // read by the run's worker
        HeldLink link; // outlives the delegate, which closes it last
        const bool rx = name.endsWith("rx");
        sim::UnitPeer unit(rx ? sim::Target::Receiver : sim::Target::Transmitter,
                           ::faults(faults == "refused" ? QString() : faults), link);
        AppHarness app;
        AlertCatcher catcher;
        catcher.answer = action == "escape no" ? QMessageBox::No : QMessageBox::Yes;
        if (faults == "refused") {
            link.refuse("virtual");
        }
        link.holdAt = holdAt < 0 ? UINT64_MAX : uint64_t(holdAt);
        app.delegate.setLink(link);
        const FirmwareImage image = bytes(size);
        app.delegate.fw().setFName(name.toStdString());
        app.delegate.fw().setData(image);
        app.delegate.fw().setTxSel(!rx);
        app.delegate.setTypedPort("virtual");
        QList<RunProgress> progress;
        std::optional<RunEnd> end;
        connect(&app.delegate, &ZKAppDelegate::runProgress, this,
                [&](const RunProgress& p) { progress << p; });
        connect(&app.delegate, &ZKAppDelegate::runFinished, this,
                [&](const RunEnd& e) { end = e; });
        QFrame* panel = app.view<QFrame>("endStatePanel");
        app.delegate.StartFirmwareLoad();
        if (holdAt >= 0) {
            QTRY_VERIFY(link.held.load());
            // Mid-transfer, the time line and the bar show the run's last
            // progress event; in the wait, neither has one.
            QTRY_COMPARE(app.view("timeText")->text(),
                         progress.isEmpty() ? QString() : progressText(progress.last()));
            QVERIFY(progress.isEmpty() || progress.last().transfer.secondsLeft > 0);
            QCOMPARE(app.delegate.transferUnderWay(), !progress.isEmpty());
            QAccessibleInterface* bar =
                QAccessible::queryAccessibleInterface(app.o().levelIndicatorOutlet);
            QCOMPARE(bar->valueInterface()->currentValue().toDouble(),
                     progress.isEmpty() ? 0.0 : double(progress.last().transfer.value));
            QCOMPARE(bar->valueInterface()->maximumValue().toDouble(),
                     progress.isEmpty() ? 100.0 : double(progress.last().transfer.max));
            QCOMPARE(app.startTitle(), kCancel);
            if (action == "cancel") {
                app.window.activateWindow();
                QVERIFY(QTest::qWaitForWindowActive(&app.window));
                app.o().startButtonOutlet->setFocus();
                app.delegate.StartFirmwareLoad(); // Cancel: retitled at once
                QCOMPARE(app.startTitle(), kStart);
            } else {
                // Escape on a control that does not take it reaches the window.
                QTest::keyClick(app.o().logTextViewOutlet, Qt::Key_Escape);
                QCOMPARE(app.startTitle(), action == "escape yes" ? kStart : kCancel);
            }
            link.released.store(true);
        }
        QVERIFY(QTest::qWaitFor([&] { return !app.delegate.workerRunning(); }, 60000));
        expectIdle(app);
        // The button that was disabled under the keyboard's focus has it back.
        QVERIFY(action != "cancel" || app.o().startButtonOutlet->hasFocus());
        QCOMPARE(catcher.messages, alerts);
        QVERIFY(end.has_value());
        QCOMPARE(QString::fromUtf8(outcomeName(end->result.outcome)), outcome);
        QVERIFY(panel->isVisible());
        const QString shown =
            app.view("endStateHeading")->text() + '\n' + app.view("endStateText")->text();
        QVERIFY2(matches(shown, state), qPrintable(shown));
        QCOMPARE(panel->property("state").toString(), state.section('\n', 0, 0).toLower());
        QCOMPARE(app.view<QPushButton>("checkSetupButton")->property("offered").toBool(),
                 state.contains("Check setup"));
        QCOMPARE(app.view("timeText")->text(), QString());
        const QString last = app.logText().section('\n', -2, -2);
        QVERIFY(outcome != "success" ||
                (last == "Starting Application..." && app.percent() == "100 %" &&
                 link.saved().size() == 1 && link.saved()[0] == *image));
        QVERIFY(outcome != "cancelled" || last == "Process Canceled.");
        // The record is the window's, with the outcome the window showed.
        QFile records(stateHome.filePath("zkflash/flashes.jsonl"));
        QVERIFY(records.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = records.readAll().split('\n');
        QCOMPARE(lines.size(), 2); // one line and its end
        const Json record = Json::parse(lines[0].toStdString());
        QVERIFY(record["program"] == "zkflash" && record["outcome"] == outcome.toStdString());
        if (outcome != "success" || size_t(size) < kMaxImageSize) {
            return;
        }
        // The line carries 1024 image bytes in 1029, at 115200 bit/s less the
        // unit's answer to each block; once a tenth is in, the time left is
        // within a twentieth of what it took, and the time line shows it.
        for (const RunProgress& p : progress) {
            const TransferProgress& t = p.transfer;
            if (t.max == 100 || t.value * 10 < t.max) {
                continue;
            }
            QVERIFY2(t.rate > 11300 && t.rate < 115200 / 10 * 1024 / 1029,
                     qPrintable(QString::number(t.rate)));
            const double truth = end->seconds - p.elapsed;
            QVERIFY2(std::abs(t.secondsLeft - truth) <= 0.05 * truth,
                     qPrintable(QStringLiteral("%1 left at %2 of %3, truly %4")
                                    .arg(t.secondsLeft)
                                    .arg(t.value)
                                    .arg(t.max)
                                    .arg(truth)));
        }
    }

    // The station view with three sockets, each unit on a virtual line of its
    // own: a receiver image, so each waits for the operator, and one answer
    // lets every one go, or a second Stop station cancels every one once the
    // operator has confirmed it. The runner's own cases are its tests'.
    void stationView_data() {
        QTest::addColumn<QString>("action"); // once stopped: "answer", "cancel", "close" the window
        QTest::addColumn<QString>("footer");
        QTest::newRow("answered") // of three units, two passed at their first attempt
            << "answer"
            << "passed 2  failed 1  in progress 0  units/hour *  first-pass yield 66.7 %";
        QTest::newRow("cancelled") // which says nothing about the units
            << "cancel"
            << "passed 0  failed 0  in progress 0  units/hour *  first-pass yield -";
        QTest::newRow("window closed")
            << "close"
            << "passed 0  failed 0  in progress 0  units/hour *  first-pass yield -";
    }

    void stationView() {
        QFETCH(QString, action);
        QFETCH(QString, footer);
        const bool cancel = action != "answer";
        struct Socket {
            QString socket, serial, faults, state;
        };
        const QList<Socket> sockets = {{"1-1.1", "A1", "", "passed in * s"},
                                       {"1-1.2", "A2", "--wrong-mode", "failed: wrong mode"},
                                       {"1-1.3", "A3", "", "passed in * s"}};
        QTemporaryDir stateHome;
        qputenv("XDG_STATE_HOME", stateHome.path().toUtf8());
        QFile records(stateHome.filePath("zkflash/flashes.jsonl"));
        AppHarness app;
        AlertCatcher catcher;
        app.delegate.fw().setFName("morra.binrx");
        app.delegate.fw().setData(bytes(3000));
        app.delegate.fw().setTxSel(false);
        StationView& station = app.window.stationView();
        std::vector<station::PresentPort> present;
        station.setPortScanner([&] { return present; });
        station.setLinkFactory([&](const std::string& port) -> std::unique_ptr<SerialLink> {
            return std::make_unique<sim::UnitLink>(
                sim::Target::Receiver,
                faults(sockets[QString::fromStdString(port).toInt()].faults));
        });
        QTest::mouseClick(app.view<QPushButton>("viewToggle"), Qt::LeftButton);
        QVERIFY(app.window.stationShown());
        // Before a unit comes: the image and what to do.
        QCOMPARE(app.view("stationImage")->text(),
                 QString("Image: morra.binrx, 3000 bytes, for the receiver (RX)"));
        QVERIFY(app.view("stationPlaceholder")->isVisible());
        app.view<QLineEdit>("operatorEdit")->setText("Ana");
        app.view<QLineEdit>("workOrderEdit")->setText("WO-7");
        const QString metrics = stateHome.filePath("station.prom");
        app.view<QLineEdit>("metricsEdit")->setText(metrics);
        // The station's controls in their tab order, with their names; Answer
        // is passed over until a unit waits.
        app.window.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&app.window));
        app.view<QWidget>("operatorEdit")->setFocus(Qt::TabFocusReason);
        for (const QString name : {"Operator", "Work order", "Sockets", "Metrics file",
                                   "Start or stop the station", "Switch view"}) {
            QCOMPARE(QApplication::focusWidget()->accessibleName(), name);
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        }
        QCOMPARE(app.view<QWidget>("answerButton")->accessibleName(),
                 QString("Answer every unit waiting"));
        auto* start = app.view<QPushButton>("stationStartButton");
        start->click();
        QCOMPARE(start->text(), QString::fromUtf8(kStopStationTitle));
        QCOMPARE(app.view("stationPlaceholder")->text(),
                 QString("Plug a unit into a socket to flash it."));
        for (int i = 0; i < sockets.size(); ++i) { // plugged in after the start
            SerialPortInfo info{"FTDI", "FT232R", sockets[i].serial.toStdString(),
                                "0403", "6001",   sockets[i].socket.toStdString()};
            present.push_back({std::to_string(i), info});
        }
        const auto tiles = [&] { return app.window.findChildren<QFrame*>("stationTile"); };
        const auto text = [&](int i, const char* name) { // as one line
            return tiles()[i]->findChild<QLabel*>(name)->text().replace(QChar(0xA0), ' ');
        };
        QTRY_COMPARE(tiles().size(), 3);
        QVERIFY(!app.view("stationPlaceholder")->isVisible());
        for (int i = 0; i < 3; ++i) {
            QTRY_COMPARE(text(i, "tileState"), QString("waiting for the operator"));
            QCOMPARE(text(i, "tilePrompt"), kPrompt + " — press Answer");
        }
        QVERIFY(app.view<QPushButton>("answerButton")->isEnabled());
        // No single-unit run while the station runs.
        app.o().startButtonOutlet->click();
        QVERIFY(!app.delegate.workerRunning());
        QCOMPARE(catcher.messages, QStringList{"Stop the station first."});
        catcher.messages.clear();
        // Stop station: no new units; those waiting go on once answered.
        start->click();
        QCOMPARE(start->text(), QString::fromUtf8(kCancelUnitsTitle));
        QVERIFY(station.running());
        if (action == "cancel") {
            start->click(); // Cancel units, answered Yes
        } else if (action == "close") {
            QVERIFY(app.window.close()); // asked, answered Yes; returns once they have ended
            QCOMPARE(station.unitsRunning(), size_t(0));
            app.window.show();
        } else {
            QTest::keyClick(&app.window, Qt::Key_Return); // answers all three
        }
        QTRY_VERIFY_WITH_TIMEOUT(station.unitsRunning() == 0, 60000);
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(text(i, "tileName"), sockets[i].socket);
            QCOMPARE(text(i, "tileSerial"), sockets[i].serial);
            const QString state = cancel ? "failed: cancelled" : sockets[i].state;
            QVERIFY2(matches(text(i, "tileState"), state), qPrintable(text(i, "tileState")));
            // A failure's advice beneath its state, in the words of a single run.
            QCOMPARE(text(i, "tileAdvice").startsWith("press FW button"),
                     state == "failed: wrong mode");
            QCOMPARE(tiles()[i]->property("state").toString(),
                     state.section(' ', 0, 0).remove(':'));
        }
        const QString shownFooter =
            app.view("stationFooter")->text().replace(QChar(0xA0), ' ').replace(QChar(0x2011), '-');
        QVERIFY2(matches(shownFooter, footer), qPrintable(shownFooter));
        QVERIFY(!app.view<QPushButton>("answerButton")->isEnabled());
        QCOMPARE(start->text(), QString::fromUtf8(kStartStationTitle));
        QVERIFY(!station.running());
        const QStringList asked = {"Cancel the units being flashed?",
                                   "Stop the station and cancel its units?"};
        QCOMPARE(catcher.headings.mid(1), // the first: the refused single-unit start
                 cancel ? QStringList{asked[action == "close"]} : QStringList());
        // The station's figures for Prometheus, as of its last unit.
        QFile figures(metrics);
        QVERIFY(figures.open(QIODevice::ReadOnly));
        const QByteArray written = figures.readAll();
        QVERIFY2(written.contains("work_order=\"WO-7\",operator=\"Ana\"} 1\n") &&
                     written.contains("\nzkflash_station_units_in_progress 0\n"),
                 written.constData());
        QVERIFY(records.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = records.readAll().trimmed().split('\n');
        QCOMPARE(lines.size(), 3);
        for (const QByteArray& line : lines) {
            const Json record = Json::parse(line.toStdString());
            QVERIFY(record["program"] == "zkflash" && record["operator"] == "Ana" &&
                    record["work_order"] == "WO-7" && record["socket"].is_string());
        }
        // The window opens in the view it was closed in.
        {
            AppHarness again(app.settingsDir.filePath("zkflash.conf"));
            QVERIFY(again.window.stationShown());
            // The operator and work order are kept; a site that wants them
            // refuses a start while one is empty.
            QCOMPARE(again.view<QLineEdit>("operatorEdit")->text(), QString("Ana"));
            QCOMPARE(again.view<QLineEdit>("workOrderEdit")->text(), QString("WO-7"));
            QCOMPARE(again.view<QLineEdit>("metricsEdit")->text(), metrics);
            again.delegate.settings().setValue("station/requireOperator", true);
            again.view<QLineEdit>("workOrderEdit")->clear();
            again.delegate.fw().setData(bytes(10));
            again.view<QPushButton>("stationStartButton")->click();
            QVERIFY(!again.window.stationView().running());
            QCOMPARE(catcher.messages.last(),
                     QString("Enter the operator and the work order first."));
            // Sockets as --slot takes them, kept; one this machine lacks is refused.
            again.view<QLineEdit>("workOrderEdit")->setText("WO-8");
            again.view<QLineEdit>("socketsEdit")->setText("9-9.9=A1, ");
            again.view<QPushButton>("stationStartButton")->click();
            QVERIFY(!again.window.stationView().running());
            QVERIFY2(catcher.messages.last().startsWith("Socket 9-9.9=A1: "),
                     qPrintable(catcher.messages.last()));
        }
        QTest::mouseClick(app.view<QPushButton>("viewToggle"), Qt::LeftButton);
        AppHarness single(app.settingsDir.filePath("zkflash.conf"));
        QVERIFY(!single.window.stationShown());
        QCOMPARE(single.view<QLineEdit>("socketsEdit")->text(), QString("9-9.9=A1,"));
    }
};

QTEST_MAIN(ControllerTest)
#include "tst_controller.moc"
