#include "ZKAppDelegate.h"

#include <QColor>
#include <QComboBox>
#include <QPalette>
#include <QPushButton>
#include <QSettings>
#include <QTimer>
#include <QWidget>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>

#include "flash/FlashRecord.h"
#include "serial/ZKSerial.h"

namespace {

using namespace std::chrono_literals;

constexpr auto kRefreshInterval = 2000ms;
// How long termination waits for a running worker to notice its cancel.
constexpr auto kTerminationWait = 10s;

const QString kLastPortKey = QStringLiteral("lastPort");

} // namespace

ZKAppDelegate::ZKAppDelegate(QObject* parent)
    : QObject(parent), portLister_([](std::vector<std::string>& list) { Serial_ListPorts(list); }),
      describer_([](const std::string& path) { return Serial_PortInfo(path).description(); }),
      fileChooser_(&chooseFirmwareFile),
      settings_(std::make_unique<QSettings>(QStringLiteral("zkflash"), QStringLiteral("zkflash"))),
      handOffs_(this) {}

ZKAppDelegate::~ZKAppDelegate() {
    stopWorker();
}

void ZKAppDelegate::setSettings(std::unique_ptr<QSettings> settings) {
    settings_ = std::move(settings);
}

void ZKAppDelegate::applicationDidFinishLaunching() {
    setStartTitle(kStartTitle);
    fw_ = std::make_unique<ZKFW>();
    fw_->setUi(this);
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
    Serial_Close();
}

void ZKAppDelegate::applicationWillTerminate() {
    stopWorker();
    Serial_Close();
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
        workerEnded_.store(false);
        terminating_.store(false);
        worker_ = std::thread([this] { startFirmwareLoadInBackground(); });
    } else {
        setStartTitle(kStartTitle);
        setCancelRequest(true);
        // No new run until this worker has ended.
        if (QPushButton* button = outlets_.startButtonOutlet) {
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
    if (!port) {
        showAlertWithMessage("Please select a port.", std::nullopt);
    } else {
        fw_->setAddress(*port);
        if (fw_->data()) {
            SinkEvents events(*this);
            runFlash(fw_->job(), Serial_DefaultPort(), events,
                     {"zkflash", ZK_VERSION, defaultRecordPath()});
        } else {
            showAlertWithMessage("Please select a file to transfer.", std::nullopt);
        }
    }
    endOfRun();
}

void ZKAppDelegate::endOfRun() {
    // The run has shown its failure, once, and closed the port.
    setCancelRequest(true);
    handOffs_.post([this] {
        setStartTitle(kStartTitle);
        if (worker_.joinable()) {
            worker_.join();
        }
        if (QPushButton* button = outlets_.startButtonOutlet) {
            button->setEnabled(true);
        }
    });
    workerEnded_.store(true);
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
