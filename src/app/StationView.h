// The station view: the window drives the station runner that zkflash-cli
// --station drives, in-process. Each unit plugged into a socket is flashed on
// a worker thread of its own over a port object of its own; what the runs
// send reaches the runner on the main thread, and the view shows its rows as
// one tile per socket (name, adapter serial, state in words and colour) and
// its counters.
#pragma once

#include <QWidget>

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

    // The station flashes the file chosen in the single-unit view.
    explicit StationView(ZKAppDelegate& delegate, QWidget* parent = nullptr);
    ~StationView() override;

    // What ports are present (sysfs's by default), and the port object a
    // unit's run gets (a ZKSerial by default). Set while the station is off.
    void setPortScanner(PortScanner scanner) { scanner_ = std::move(scanner); }
    void setLinkFactory(LinkFactory factory) { linkFactory_ = std::move(factory); }

    bool running() const { return runner_ != nullptr; }
    // Units whose run has not been handed back yet.
    size_t unitsRunning() const { return runner_ ? runner_->unitsRunning() : 0; }

public slots:
    // Start station; then Stop station (no new units); then, confirmed,
    // cancel the units still running.
    void startOrStop();
    // Answers every unit waiting for the operator.
    void answer();
    void scan();

private:
    struct Tile {
        QFrame* frame;
        QLabel* name;
        QLabel* serial;
        QLabel* state;
        QLabel* prompt;
    };

    // The runner's rows, on the main thread.
    void unitEvent(size_t row, const RunEvent& event) override;
    void unitEnded(size_t row, const station::RunEnd& end) override;
    void changed() override { refresh(); }
    void deliver();
    void stopIfDone();
    void refresh();
    Tile makeTile(size_t row);

    ZKAppDelegate& delegate_;
    PortScanner scanner_;
    LinkFactory linkFactory_;
    // While the station runs; main thread only, as is all below.
    std::unique_ptr<station::PortWatch> watch_;
    std::unique_ptr<station::ThreadLauncher> launcher_;
    std::unique_ptr<station::Runner> runner_;
    std::map<size_t, std::string> prompts_;
    std::vector<Tile> tiles_;
    QLineEdit* operatorEdit_;
    QLineEdit* workOrderEdit_;
    QPushButton* startButton_;
    QPushButton* answerButton_;
    QGridLayout* tilesLayout_;
    QLabel* footer_;
    QTimer* scanTimer_;
    HandOffQueue handOffs_;
};
