// The application delegate: owns the flash engine, drives the window, runs one
// flash at a time on a worker thread, and is the engine's status sink (log,
// alerts, progress, the cancel and busy flags).
#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Platform.h"
#include "flash/FirmwareFile.h"
#include "flash/StatusSink.h"
#include "flash/ZKFW.h"

class QComboBox;
class QMimeData;
class QSettings;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTimer;
class QWidget;
class ZKLevelIndicator;

inline constexpr const char* kStartTitle = "Start Firmware Load";
inline constexpr const char* kCancelTitle = "Cancel";

class ZKAppDelegate : public QObject, public StatusSink {
    Q_OBJECT
public:
    using PortLister = std::function<void(std::vector<std::string>&)>;
    using PortDescriber = std::function<std::string(const std::string& path)>;
    // Returns the chosen file, or empty; starts in `folder` (empty: anywhere).
    using FileChooser = std::function<QString(QWidget* parent, const QString& folder)>;

    // The window's controls; the window owns them.
    struct Outlets {
        QPointer<QWidget> window;
        QPointer<QPlainTextEdit> logTextViewOutlet;
        QPointer<ZKLevelIndicator> levelIndicatorOutlet;
        QPointer<QLabel> levelIndicatorTextOutlet;
        QPointer<QLineEdit> pathTextOutlet;
        QPointer<QComboBox> portSelectOutlet;
        QPointer<QPushButton> startButtonOutlet;
    };

    explicit ZKAppDelegate(QObject* parent = nullptr);
    ~ZKAppDelegate() override;

    void setOutlets(const Outlets& outlets) { outlets_ = outlets; }
    const Outlets& outlets() const { return outlets_; }

    // Where the port list comes from (Serial_ListPorts by default), and what
    // is shown beside each path (sysfs's description by default).
    void setPortLister(PortLister lister) { portLister_ = std::move(lister); }
    void setPortDescriber(PortDescriber describer) { describer_ = std::move(describer); }
    // Where the last folder and the last port are kept between runs
    // (~/.config/zkflash/zkflash.conf by default).
    void setSettings(std::unique_ptr<QSettings> settings);
    // How the operator picks a firmware file (a file dialog by default).
    void setFileChooser(FileChooser chooser) { fileChooser_ = std::move(chooser); }

    ZKFW& fw() { return *fw_; }

    // Puts a device path into the port box as typed text.
    void setTypedPort(const QString& path);

    // The port the next run uses: the chosen list entry, else the typed text.
    std::optional<std::string> chosenPort() const;

    // True while a run's worker thread has not been joined.
    bool workerRunning() const { return worker_.joinable(); }

    // --- Flags ---
    bool cancelRequest() override { return cancelRequest_.load(); }
    void setCancelRequest(bool value) { cancelRequest_.store(value); }
    bool busy() override { return busy_.load(); }

    // --- Status sink (any thread) ---
    using StatusSink::showAlertWithMessage;
    void log(const std::string& text, const std::string& cr) override;
    void showAlertWithMessage(const std::string& message,
                              const std::optional<std::string>& title) override;
    void setProgress(int32_t value, int32_t max) override;
    // The serial link's diagnostics on standard output, warnings on standard
    // error.
    void diagnostic(const std::string& text) override;
    void warning(const std::string& text) override;

    // The firmware file a drop carries: one local file of a firmware type;
    // empty when the drop is not one.
    static QString droppedFirmwareFile(const QMimeData* mime);
    // Loads the file at `path` as Browse does once a file is chosen.
    void selectFirmwareFile(const QString& path);

public slots:
    void applicationDidFinishLaunching();
    void applicationWillTerminate();
    void StartFirmwareLoad();
    void browseButton();
    void timerComboUpdate();

private:
    void startFirmwareLoadInBackground();
    void endOfRun();
    void setStartTitle(const char* title);
    std::optional<std::string> readChosenPortFromMain();
    void stopWorker();
    void fileLoaded(const std::string& name, const FirmwareFile& file);

    std::unique_ptr<ZKFW> fw_;
    std::atomic<bool> cancelRequest_{false};
    std::atomic<bool> busy_{false};
    std::atomic<bool> terminating_{false};
    std::atomic<bool> workerEnded_{true};
    Outlets outlets_;
    PortLister portLister_;
    PortDescriber describer_;
    FileChooser fileChooser_;
    std::unique_ptr<QSettings> settings_; // main thread only
    HandOffQueue handOffs_;
    QTimer* refreshTimer_ = nullptr;
    // A firmware file being read; its reader hands the result over under the
    // mutex.
    struct FileLoad {
        std::string name;
        std::mutex mutex;
        std::optional<FirmwareFile> file;
    };
    void checkFileLoad();
    std::shared_ptr<FileLoad> loading_; // the latest choice, until it is read
    QTimer* loadTimer_ = nullptr;       // polls it meanwhile
    std::thread worker_;                // main thread only
};
