// The station view: the window drives the station runner that zkflash-cli
// --station drives, in-process. Each unit plugged into a socket is flashed on
// a worker thread of its own over a port object of its own; what the runs
// send reaches the runner on the main thread, and the view shows its rows as
// one tile per socket (name, adapter serial, state in words and colour) and
// its counters.
#pragma once

#include <QWidget>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Platform.h"
#include "station/Runner.h"
#include "station/ThreadLauncher.h"

class QFrame;
class QGridLayout;
class QLabel;
class QLineEdit;
class QPushButton;
class QTimer;
class ZKAppDelegate;

inline constexpr const char* kStartStationTitle = "Start station";
inline constexpr const char* kStopStationTitle = "Stop station";
inline constexpr const char* kCancelUnitsTitle = "Cancel units";

class StationView : public QWidget, private station::RunnerView {
    Q_OBJECT
public:
    using PortScanner = std::function<std::vector<station::PresentPort>()>;
    using LinkFactory = station::ThreadLauncher::LinkFactory;

    // The station flashes the file chosen in the single-unit view. Its
    // operator and work order are kept in the window's settings; a site sets
    // station/requireOperator there to refuse a start while they are empty.
    // The sockets it takes, with their labels, and the file of its figures
    // for Prometheus are kept there too.
    explicit StationView(ZKAppDelegate& delegate, QWidget* parent = nullptr);
    ~StationView() override;

    // What ports are present (sysfs's by default), and the port object a
    // unit's run gets (a ZKSerial by default). Set while the station is off.
    void setPortScanner(PortScanner scanner) { scanner_ = std::move(scanner); }
    void setLinkFactory(LinkFactory factory) { linkFactory_ = std::move(factory); }
    // The station's clock, for its counters (the steady clock by default).
    void setClock(station::Runner::Now now) { now_ = std::move(now); }

    bool running() const { return runner_ != nullptr; }
    // How long closing the window waits for the station's runs to end.
    static constexpr std::chrono::seconds kShutDownWait{10};
    // Takes no new units, cancels the runs still going and waits at most
    // `wait` for them to end; false when some did not.
    bool shutDown(std::chrono::milliseconds wait);
    // Units whose run has not been handed back yet.
    size_t unitsRunning() const { return runner_ ? runner_->unitsRunning() : 0; }

public slots:
    // Start station; then Stop station (no new units); then, confirmed,
    // cancel the units still running.
    void startOrStop();
    // Answers every unit waiting for the operator.
    void answer();
    void scan();

protected:
    void showEvent(QShowEvent* event) override;

private:
    struct Tile {
        QFrame* frame;
        QLabel* name;
        QLabel* serial;
        QLabel* state;
        QLabel* prompt;
        QLabel* advice; // what to do about a failure
    };

    // The runner's rows, on the main thread.
    void unitEvent(size_t row, const RunEvent& event) override;
    void unitEnded(size_t row, const station::RunEnd& end) override;
    void changed() override { refresh(); }
    void warning(const std::string& text) override;
    void deliver();
    void stopIfDone();
    void refresh();
    // The image line and, while no unit has come, what to do.
    void showImage();
    Tile makeTile(size_t row);

    ZKAppDelegate& delegate_;
    PortScanner scanner_;
    LinkFactory linkFactory_;
    station::Runner::Now now_ = station::Clock::now;
    // While the station runs; main thread only, as is all below.
    std::unique_ptr<station::PortWatch> watch_;
    std::unique_ptr<station::ThreadLauncher> launcher_;
    std::unique_ptr<station::Runner> runner_;
    std::map<size_t, std::string> prompts_;
    std::vector<Tile> tiles_;
    QLineEdit* operatorEdit_;
    QLineEdit* workOrderEdit_;
    QLineEdit* socketsEdit_; // SOCKET[=LABEL], comma-separated; empty: any unit adapter
    QLineEdit* metricsEdit_; // the figures' file; empty: none
    QString warning_;        // shown beneath the counters until the next start
    QPushButton* startButton_;
    QPushButton* answerButton_;
    QGridLayout* tilesLayout_;
    QLabel* footer_;
    QLabel* image_;
    QLabel* placeholder_;
    bool launched_ = false;
    QTimer* scanTimer_;
    HandOffQueue handOffs_;
};
