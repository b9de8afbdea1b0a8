// zkflash-screenshot: renders the window in the states the documentation
// shows, each from a whole run of the window against the virtual unit on its
// in-process line (used by scripts/screenshot): mid-transfer (screenshot.png),
// passed, failed (the unit in the wrong mode) and cancelled in the transfer;
// and the station view with three sockets: passed, flashing and failed
// at the window's own size (station.png) and at 1920x1080 (station-1080p.png),
// on a station clock that goes as a shift would.
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <cstdio>
#include <memory>

#include "MainWindow.h"
#include "StationView.h"
#include "ZKAppDelegate.h"
#include "virtual_link.h"

namespace {

using sim::HeldLink;

struct Scene {
    const char* file;       // written beside the others
    bool wrongMode = false; // the unit answers in the wrong mode
    uint64_t holdAt = 0;    // bytes written before the run is held; 0: never
    bool cancelled = false; // cancelled while held, shown at the end
};

bool waitFor(const std::function<bool()>& done, int ms = 10000) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.hasExpired(ms)) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(5);
    }
    return true;
}

// Lets the posted views and the repaints settle.
void settle() {
    QElapsedTimer timer;
    timer.start();
    while (!timer.hasExpired(300)) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
}

bool shoot(const QDir& dir, const QString& work, const Scene& scene) {
    HeldLink link; // outlives the delegate
    link.holdAt = scene.holdAt > 0 ? scene.holdAt : UINT64_MAX;
    sim::Faults faults;
    faults.wrongMode = scene.wrongMode;
    sim::UnitPeer unit(sim::Target::Transmitter, faults, link);

    ZKAppDelegate delegate;
    delegate.setSettings(
        std::make_unique<QSettings>(work + QStringLiteral("/zkflash.conf"), QSettings::IniFormat));
    delegate.setPortLister([](std::vector<std::string>& list) {
        list.push_back("/dev/ttyUSB0");
        list.push_back("/dev/ttyUSB1");
    });
    delegate.setLink(link);
    MainWindow window(delegate);
    delegate.applicationDidFinishLaunching();
    window.resize(660, 520);
    window.show();
    window.activateWindow();
    // The keyboard's focus ring, on the button that cancels the run.
    window.findChild<QPushButton*>(QStringLiteral("startButton"))->setFocus(Qt::TabFocusReason);

    // The image is chosen as Browse chooses it, so its log line is the real one.
    const QString image = work + QStringLiteral("/halvo-2.4.1.bintx");
    delegate.selectFirmwareFile(image);
    if (!waitFor([&] { return bool(delegate.fw().data()); })) {
        return false;
    }
    delegate.StartFirmwareLoad();
    QString out = dir.filePath(QString::fromLatin1(scene.file));
    bool saved = true;
    if (scene.holdAt > 0) {
        if (!waitFor([&] { return link.held.load(); })) {
            return false;
        }
        settle();
        if (!scene.cancelled) {
            saved = window.grab().save(out, "PNG");
        }
        delegate.StartFirmwareLoad(); // Cancel
        link.released.store(true);
    }
    if (!waitFor([&] { return !delegate.workerRunning(); })) {
        return false;
    }
    settle();
    if (scene.holdAt == 0 || scene.cancelled) {
        saved = window.grab().save(out, "PNG");
    }
    delegate.applicationWillTerminate();
    if (!saved) {
        std::fprintf(stderr, "zkflash-screenshot: cannot write %s\n", qPrintable(out));
    }
    return saved;
}

// A held virtual line with its own virtual unit, for one station socket.
struct SocketLink : HeldLink {
    sim::UnitPeer peer;
    explicit SocketLink(const sim::Faults& faults)
        : peer(sim::Target::Transmitter, faults, *this) {}
};

// The station with a unit that passed, one mid-transfer and one in the wrong
// mode, plugged in one after another.
bool shootStation(const QDir& dir, const QString& work, const QString& name, QSize size) {
    ZKAppDelegate delegate;
    delegate.setSettings(
        std::make_unique<QSettings>(work + QStringLiteral("/station.conf"), QSettings::IniFormat));
    delegate.setPortLister([](std::vector<std::string>&) {});
    MainWindow window(delegate);
    delegate.applicationDidFinishLaunching();
    window.showStation(true);
    if (size.isValid()) {
        window.resize(size);
    }
    window.show();
    const QString image = work + QStringLiteral("/halvo-2.4.1.bintx");
    delegate.selectFirmwareFile(image);
    if (!waitFor([&] { return bool(delegate.fw().data()); })) {
        return false;
    }
    StationView& station = window.stationView();
    std::vector<station::PresentPort> present;
    std::vector<SocketLink*> links;
    station.setPortScanner([&] { return present; });
    // The station's clock is set as a real shift would go: the units' own
    // runs take their virtual time, so "passed in" and units/hour are real.
    const auto base = station::Clock::now();
    auto at = base;
    station.setClock([&] { return at; });
    station.setLinkFactory([&](const std::string& port) -> std::unique_ptr<SerialLink> {
        sim::Faults faults;
        faults.wrongMode = port == "/dev/ttyUSB2";
        auto link = std::make_unique<SocketLink>(faults);
        link->holdAt = port == "/dev/ttyUSB1" ? 71680 : UINT64_MAX;
        links.push_back(link.get());
        return link;
    });
    window.findChild<QLineEdit*>(QStringLiteral("operatorEdit"))->setText(QStringLiteral("Ana"));
    window.findChild<QLineEdit*>(QStringLiteral("workOrderEdit"))
        ->setText(QStringLiteral("WO-2291"));
    station.startOrStop();
    const char* const serials[] = {"A50285BI", "A50285C7", "A5028611"};
    // Plugged in at 0 s, 18 s and 27 s: the first has passed (at 15 s)
    // before the next is plugged in; the third, in the wrong mode, fails
    // at once while the second is held.
    const int plugged[] = {0, 18, 27};
    for (int i = 0; i < 3; ++i) {
        const std::string n = std::to_string(i);
        at = base + std::chrono::seconds(plugged[i]);
        present.push_back({"/dev/ttyUSB" + n,
                           {"FTDI", "FT232R USB UART", serials[i], "0403", "6001", "1-1." + n}});
        if (!waitFor([&] { return links.size() == size_t(i) + 1; })) {
            return false;
        }
        if (i == 0) {
            at = base + std::chrono::seconds(15);
        }
        if (i != 1 && !waitFor([&] { return station.unitsRunning() == size_t(i / 2); })) {
            return false;
        }
    }
    if (!waitFor([&] { return links[1]->held.load() && station.unitsRunning() == 1; })) {
        return false;
    }
    settle();
    const QString out = dir.filePath(name);
    const bool saved = window.grab().save(out, "PNG");
    links[1]->released.store(true);
    station.startOrStop(); // stops once the held unit has finished
    waitFor([&] { return !station.running(); });
    delegate.applicationWillTerminate();
    if (!saved) {
        std::fprintf(stderr, "zkflash-screenshot: cannot write %s\n", qPrintable(out));
    }
    return saved;
}

} // namespace

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QString::fromUtf8(kApplicationName));
    if (argc != 2) {
        std::fprintf(stderr, "usage: zkflash-screenshot DIR\n");
        return 2;
    }
    const QDir dir(QString::fromLocal8Bit(argv[1]));
    // The runs' records, settings and image stay out of the user's files.
    QTemporaryDir work;
    qputenv("XDG_STATE_HOME", work.path().toUtf8());
    QFile image(work.filePath(QStringLiteral("halvo-2.4.1.bintx")));
    if (!image.open(QIODevice::WriteOnly) || image.write(QByteArray(118784, '\x5a')) != 118784) {
        return 1;
    }
    image.close();
    // The wrong-mode alert is dismissed as an operator would.
    QTimer dismiss;
    dismiss.callOnTimeout([] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            box->button(QMessageBox::Ok)->click();
        }
    });
    dismiss.start(50);

    const Scene scenes[] = {
        {"screenshot.png", false, 71680, false},
        {"passed.png"},
        {"failed.png", true},
        {"cancelled.png", false, 40960, true},
    };
    for (const Scene& scene : scenes) {
        if (!shoot(dir, work.path(), scene)) {
            return 1;
        }
    }
    // At the window's own size and full screen.
    return shootStation(dir, work.path(), QStringLiteral("station.png"), QSize()) &&
                   shootStation(dir, work.path(), QStringLiteral("station-1080p.png"),
                                QSize(1920, 1080))
               ? 0
               : 1;
}
