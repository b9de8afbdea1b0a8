// The application delegate: owns the flash engine, drives the window, runs one
// flash at a time on a worker thread, and is the engine's status sink (log,
// alerts, progress, the cancel and busy flags). What a run did reaches the
// views as signals on the main thread: its transfer's progress with the time
// taken and left, and its end.
#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QVariant>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Platform.h"
#include "RunStatus.h"
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
class QDialog;

inline constexpr const char* kStartTitle = "Start Firmware Load";
inline constexpr const char* kCancelTitle = "Cancel";

class ZKAppDelegate : public QObject, public StatusSink {
    Q_OBJECT
public:
    using PortLister = std::function<void(std::vector<std::string>&)>;
    using PortDescriber = std::function<std::string(const std::string& path)>;
    // Returns the chosen file, or empty; starts in `folder` (empty: anywhere).
    using FileChooser = std::function<QString(QWidget* parent, const QString& folder)>;
    // The setup findings as text, for the chosen port (none: no port); called
    // off the main thread.
    using SetupChecker = std::function<std::string(const std::optional<std::string>& port)>;

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
    QSettings& settings() { return *settings_; } // main thread only
    // How the operator picks a firmware file (a file dialog by default).
    void setFileChooser(FileChooser chooser) { fileChooser_ = std::move(chooser); }
    // The line runs go over (Serial_DefaultPort() by default). Set while no
    // run is going; it must outlive the delegate's runs.
    void setLink(SerialLink& link) { link_ = &link; }
    // What Check setup shows (the machine's findings by default).
    void setSetupChecker(SetupChecker checker) { setupChecker_ = std::move(checker); }

    ZKFW& fw() { return *fw_; }

    // Puts a device path into the port box as typed text.
    void setTypedPort(const QString& path);

    // The port the next run uses: the chosen list entry, else the typed text.
    std::optional<std::string> chosenPort() const;

    // True while a run's worker thread has not been joined.
    bool workerRunning() const { return worker_.joinable(); }
    // True from a run's first transfer progress until its end (main thread).
    bool transferUnderWay() const { return transferUnderWay_; }

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
    // Escape: cancels a run as Cancel does, once the operator has confirmed
    // it when a transfer is under way.
    void cancelFromKeyboard();
    // Shows the machine's setup findings and the chosen port's in a dialog,
    // gathered off the main thread.
    void checkSetup();

signals:
    // The window is set up and its settings are in place.
    void launched();
    // A run was asked for: the last run's end no longer stands.
    void runStarted();
    void runProgress(const RunProgress& progress);
    // The run's end (not sent for a start refused before a run).
    void runFinished(const RunEnd& end);
    // The setup findings are shown in `dialog` (the dialog may be reused).
    void setupShown(QDialog* dialog);

private:
    class Events;
    void startFirmwareLoadInBackground();
    void endOfRun(std::optional<RunEnd> end);
    void showRunProgress(const RunProgress& progress);
    void setStartTitle(const char* title);
    std::optional<std::string> readChosenPortFromMain();
    void stopWorker();
    void fileLoaded(const std::string& name, const FirmwareFile& file);

    std::unique_ptr<ZKFW> fw_;
    QVariant portBefore_; // the port remembered before the run's, on the main thread
    std::atomic<bool> cancelRequest_{false};
    std::atomic<bool> busy_{false};
    std::atomic<bool> terminating_{false};
    std::atomic<bool> workerEnded_{true};
    Outlets outlets_;
    PortLister portLister_;
    PortDescriber describer_;
    FileChooser fileChooser_;
    std::unique_ptr<QSettings> settings_; // main thread only
    SerialLink* link_;
    SetupChecker setupChecker_;
    QPointer<SetupDialog> setupDialog_;
    struct SetupLoad {
        std::mutex mutex;
        std::optional<std::string> text;
    };
    void checkSetupLoad();
    std::shared_ptr<SetupLoad> setupLoading_; // the latest check, until it has ended
    QTimer* setupTimer_ = nullptr;            // polls it meanwhile
    bool transferUnderWay_ = false;           // main thread only
    bool refocusStart_ = false;               // main thread only
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
