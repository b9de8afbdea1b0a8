#include "ZKAppDelegate.h"

#include <QColor>
#include <QComboBox>
#include <QPalette>
#include <QPushButton>
#include <QSettings>
#include <QTimer>
#include <QWidget>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>

#include "flash/FlashRecord.h"
#include "flash/printable.h"
#include "serial/ZKSerial.h"
#include "setup/SetupCheck.h"

namespace {

using namespace std::chrono_literals;

constexpr auto kRefreshInterval = 2000ms;
// How long termination waits for a running worker to notice its cancel.
constexpr auto kTerminationWait = 10s;

const QString kLastPortKey = QStringLiteral("lastPort");

// The findings of zkflash-cli --doctor without named ports (opening a port
// moves DTR, which resets a unit), and the checks of the chosen port that
// need no open, for a port that is not among those found.
std::string machineSetupFindings(const std::optional<std::string>& port) {
    std::vector<SetupCheck> checks = SetupCheck_Run({});
    if (port) {
        for (SetupCheck& check : SetupCheck_Port(*port)) {
            const bool known = std::any_of(checks.begin(), checks.end(),
                                           [&](const SetupCheck& c) { return c.id == check.id; });
            if (!known) {
                checks.push_back(std::move(check));
            }
        }
    }
    return SetupCheck_Text(checks);
}

} // namespace

// The run's events as the window shows them: through the status sink, except
// for the transfer's progress, which goes out with the run's time, and the
// end, which is kept with the run's last alert for the end state.
class ZKAppDelegate::Events : public SinkEvents {
public:
    Events(ZKAppDelegate& delegate, const SerialLink& link)
        : SinkEvents(delegate), delegate_(delegate), link_(link), began_(link.now()) {}

    void event(const RunEvent& event) override {
        switch (event.kind) {
        case RunEvent::Kind::Progress:
            delegate_.showRunProgress({event.progress, elapsed()});
            return;
        case RunEvent::Kind::Alert:
            end.lastAlert = event.text;
            break;
        case RunEvent::Kind::Finished:
            // What was flashed, as the run took it from the engine.
            end.name = event.result.record.value("file", std::string());
            end.transmitter = event.result.record.value("target", std::string()) != "RX";
            end.result = event.result;
            end.seconds = elapsed();
            break;
        default:
            break;
        }
        SinkEvents::event(event);
    }

    RunEnd end;

private:
    double elapsed() const { return std::chrono::duration<double>(link_.now() - began_).count(); }

    ZKAppDelegate& delegate_;
    const SerialLink& link_;
    const std::chrono::steady_clock::duration began_;
};

ZKAppDelegate::ZKAppDelegate(QObject* parent)
    : QObject(parent), portLister_([](std::vector<std::string>& list) { Serial_ListPorts(list); }),
      describer_(
          [](const std::string& path) { return printable(Serial_PortInfo(path).description()); }),
      fileChooser_(&chooseFirmwareFile),
      settings_(std::make_unique<QSettings>(QStringLiteral("zkflash"), QStringLiteral("zkflash"))),
      link_(&Serial_DefaultPort()), setupChecker_(&machineSetupFindings), handOffs_(this) {}

ZKAppDelegate::~ZKAppDelegate() {
    stopWorker();
}

void ZKAppDelegate::setSettings(std::unique_ptr<QSettings> settings) {
    settings_ = std::move(settings);
}

void ZKAppDelegate::applicationDidFinishLaunching() {
    setStartTitle(kStartTitle);
    fw_ = std::make_unique<ZKFW>();
    fw_->setData(nullptr);
    fw_->setTxSel(true);
    setCancelRequest(true);
    if (QWidget* window = outlets_.window) {
        // Light text on the dark grey, for alerts that take the window's palette.
        QPalette palette = window->palette();
        palette.setColor(QPalette::Window, QColor::fromRgbF(0.2f, 0.2f, 0.2f, 1.0f));
        palette.setColor(QPalette::WindowText, QColor(225, 225, 225));
        window->setPalette(palette);
        window->setAutoFillBackground(true);
    }
    refreshTimer_ = new QTimer(this);
    refreshTimer_->setSingleShot(true);
    connect(refreshTimer_, &QTimer::timeout, this, &ZKAppDelegate::timerComboUpdate);
    timerComboUpdate();
    link_->close();
    emit launched();
}

void ZKAppDelegate::applicationWillTerminate() {
    stopWorker();
    link_->close();
}

// Asks a running worker to stop and joins it, releasing it from a wait on an
// alert; a worker that stays stuck in the serial line ends the process instead.
void ZKAppDelegate::stopWorker() {
    if (!worker_.joinable()) {
        return;
    }
    terminating_.store(true);
    setCancelRequest(true);
    const auto deadline = std::chrono::steady_clock::now() + kTerminationWait;
    while (!workerEnded_.load()) {
        busy_.store(false); // no operator will dismiss an alert any more
        if (std::chrono::steady_clock::now() > deadline) {
            std::fprintf(stderr, "zkflash: the firmware load did not stop; exiting.\n");
            std::_Exit(EXIT_FAILURE);
        }
        std::this_thread::sleep_for(20ms);
    }
    worker_.join();
}

void ZKAppDelegate::setStartTitle(const char* title) {
    if (QPushButton* button = outlets_.startButtonOutlet) {
        button->setText(QString::fromUtf8(title));
    }
}

void ZKAppDelegate::setTypedPort(const QString& path) {
    if (QComboBox* box = outlets_.portSelectOutlet) {
        box->setCurrentIndex(-1);
        box->setEditText(path);
    }
}

std::optional<std::string> ZKAppDelegate::chosenPort() const {
    // The box is editable: its text is the chosen entry's, or what was typed.
    const QComboBox* box = outlets_.portSelectOutlet;
    const QString text = box ? box->currentText().trimmed() : QString();
    if (text.isEmpty()) {
        return std::nullopt;
    }
    return text.toStdString();
}

void ZKAppDelegate::StartFirmwareLoad() {
    if (cancelRequest()) {
        // A previous worker that has not ended yet still owns the serial line.
        if (worker_.joinable()) {
            return;
        }
        setCancelRequest(false);
        setProgress(0, 100);
        transferUnderWay_ = false;
        emit runStarted();
        workerEnded_.store(false);
        terminating_.store(false);
        worker_ = std::thread([this] { startFirmwareLoadInBackground(); });
    } else {
        setStartTitle(kStartTitle);
        setCancelRequest(true);
        // No new run until this worker has ended.
        if (QPushButton* button = outlets_.startButtonOutlet) {
            // Disabling moves the focus on; the keyboard gets it back at the end.
            refocusStart_ = button->hasFocus();
            button->setEnabled(false);
        }
    }
}

std::optional<std::string> ZKAppDelegate::readChosenPortFromMain() {
    auto reply = std::make_shared<std::promise<std::optional<std::string>>>();
    std::future<std::optional<std::string>> port = reply->get_future();
    handOffs_.post([this, reply] {
        const std::optional<std::string> chosen = chosenPort();
        if (chosen) {
            portBefore_ = settings_->value(kLastPortKey);
            settings_->setValue(kLastPortKey, QString::fromStdString(*chosen));
        }
        reply->set_value(chosen);
    });
    while (port.wait_for(20ms) != std::future_status::ready) {
        if (terminating_.load()) {
            return std::nullopt; // the main thread has stopped serving hand-offs
        }
    }
    return port.get();
}

void ZKAppDelegate::startFirmwareLoadInBackground() {
    handOffs_.post([this] {
        // A Cancel pressed before this runs has already retitled the button.
        if (!cancelRequest()) {
            setStartTitle(kCancelTitle);
        }
    });
    const std::optional<std::string> port = readChosenPortFromMain();
    std::optional<RunEnd> end;
    if (!port) {
        showAlertWithMessage("Please select a port.", std::nullopt);
    } else {
        fw_->setAddress(*port);
        if (fw_->data()) {
            Events events(*this, *link_);
            fw_->startFlash(*link_, events,
                            {"zkflash", ZK_VERSION, defaultRecordPath(), SetupCheck_FailureHint});
            end = std::move(events.end);
        } else {
            showAlertWithMessage("Please select a file to transfer.", std::nullopt);
        }
    }
    endOfRun(std::move(end));
}

void ZKAppDelegate::endOfRun(std::optional<RunEnd> end) {
    // The run has shown its failure, once, and closed the port.
    setCancelRequest(true);
    handOffs_.post([this, end = std::move(end)] {
        setStartTitle(kStartTitle);
        if (worker_.joinable()) {
            worker_.join();
        }
        if (QPushButton* button = outlets_.startButtonOutlet) {
            button->setEnabled(true);
            if (std::exchange(refocusStart_, false)) {
                button->setFocus(Qt::OtherFocusReason);
            }
        }
        transferUnderWay_ = false;
        if (end) {
            // A port that could not be opened is not worth choosing next time.
            if (!end->result.portOpened) {
                settings_->setValue(kLastPortKey, portBefore_);
            }
            emit runFinished(*end);
        }
    });
    workerEnded_.store(true);
}

void ZKAppDelegate::showRunProgress(const RunProgress& progress) {
    handOffs_.post([this, progress] {
        setProgress(progress.transfer.value, progress.transfer.max);
        transferUnderWay_ = true;
        emit runProgress(progress);
    });
}

void ZKAppDelegate::cancelFromKeyboard() {
    const auto running = [this] { return worker_.joinable() && !cancelRequest(); };
    if (!running()) {
        return;
    }
    // The bootloader has let the old application go once the transfer began.
    if (transferUnderWay_ &&
        !runQuestion(outlets_.window, QString::fromUtf8(kApplicationName),
                     QStringLiteral("Cancel the transfer?"),
                     QStringLiteral("The unit will have no application until it is flashed "
                                    "again."))) {
        return;
    }
    if (running()) { // not ended while the question was up
        StartFirmwareLoad();
    }
}

void ZKAppDelegate::checkSetup() {
    if (!setupDialog_) {
        setupDialog_ = new SetupDialog(outlets_.window);
    }
    SetupDialog* dialog = setupDialog_;
    dialog->setFindings(QStringLiteral("Checking this computer's setup…"));
    dialog->show();
    dialog->raise();
    dialog->activateWindow();
    // The check reads /proc and /sys at length: off the main thread, handed
    // back under the mutex. The latest check wins over one still going.
    auto load = std::make_shared<SetupLoad>();
    setupLoading_ = load;
    std::thread([load, checker = setupChecker_, port = chosenPort()] {
        std::string text = checker ? checker(port) : std::string();
        std::lock_guard lock(load->mutex);
        load->text = std::move(text);
    }).detach();
    if (setupTimer_ == nullptr) {
        setupTimer_ = new QTimer(this);
        connect(setupTimer_, &QTimer::timeout, this, &ZKAppDelegate::checkSetupLoad);
    }
    setupTimer_->start(20);
}

void ZKAppDelegate::checkSetupLoad() {
    std::optional<std::string> text;
    if (setupLoading_) {
        std::lock_guard lock(setupLoading_->mutex);
        text = std::move(setupLoading_->text);
    }
    if (!text) {
        return;
    }
    setupTimer_->stop();
    setupLoading_.reset();
    if (SetupDialog* dialog = setupDialog_) {
        dialog->setFindings(QString::fromStdString(*text));
        emit setupShown(dialog);
    }
}

void ZKAppDelegate::timerComboUpdate() {
    std::vector<std::string> ports;
    if (portLister_) {
        portLister_(ports);
    }
    if (QComboBox* box = outlets_.portSelectOutlet) {
        // Each entry's text is its path; its description rides along as the
        // tool tip, which the box's list shows beside the path.
        QList<std::pair<QString, QString>> listed;
        for (const std::string& port : ports) {
            listed.append({QString::fromStdString(port),
                           describer_ ? QString::fromStdString(describer_(port)) : QString()});
        }
        QList<std::pair<QString, QString>> shown;
        for (int i = 0; i < box->count(); ++i) {
            shown.append({box->itemText(i), box->itemData(i, Qt::ToolTipRole).toString()});
        }
        if (listed != shown) {
            box->clear();
            int chosen = 0; // the port of the last run when it is listed
            const QString last = settings_->value(kLastPortKey).toString();
            for (const auto& [path, description] : listed) {
                if (path == last) {
                    chosen = box->count();
                }
                box->addItem(path);
                box->setItemData(box->count() - 1, description, Qt::ToolTipRole);
            }
            if (!listed.isEmpty()) {
                box->setCurrentIndex(chosen);
            }
        }
    }
    if (refreshTimer_ != nullptr) {
        refreshTimer_->start(kRefreshInterval);
    }
}
