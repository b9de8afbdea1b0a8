// The station view: the window runs the station that zkflash-cli --station
// runs, in-process. Each unit plugged into a socket is flashed on a worker
// thread of its own over a port object of its own; its events reach the
// station model on the main thread, which shows one tile per socket (its
// name, adapter serial, state in words and colour) and the counters.
#pragma once

#include <QWidget>

#include <atomic>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Platform.h"
#include "station/Station.h"

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

class StationView : public QWidget {
    Q_OBJECT
public:
    using PortScanner = std::function<std::vector<station::PresentPort>()>;
    using LinkFactory = std::function<std::unique_ptr<SerialLink>(const std::string& port)>;

    // The station flashes the file chosen in the single-unit view.
    explicit StationView(ZKAppDelegate& delegate, QWidget* parent = nullptr);
    ~StationView() override;

    // What ports are present (sysfs's by default), and the port object a
    // unit's run gets (a ZKSerial by default). Set while the station is off.
    void setPortScanner(PortScanner scanner) { scanner_ = std::move(scanner); }
    void setLinkFactory(LinkFactory factory) { linkFactory_ = std::move(factory); }

    bool running() const { return station_.has_value(); }
    // Units whose run has not been handed back yet.
    size_t unitsRunning() const { return units_.size(); }

public slots:
    // Start station; then Stop station (no new units); then, confirmed,
    // cancel the units still running.
    void startOrStop();
    // Answers every unit waiting for the operator.
    void answer();
    void scan();

private:
    struct Unit;
    class Events;
    struct Tile {
        QFrame* frame;
        QLabel* name;
        QLabel* serial;
        QLabel* state;
        QLabel* prompt;
    };

    void start(size_t row);
    void event(Unit* unit, const RunEvent& event);
    void ended(Unit* unit, const FlashResult& result);
    void stopIfDone();
    void refresh();
    Tile makeTile(size_t row);
    void cancelAll();

    ZKAppDelegate& delegate_;
    PortScanner scanner_;
    LinkFactory linkFactory_;
    std::optional<station::Station> station_; // main thread only, as is all below
    std::list<std::unique_ptr<Unit>> units_;
    std::unique_ptr<station::Attempts> attempts_; // per adapter serial, from the start
    std::map<size_t, std::string> prompts_;
    std::vector<Tile> tiles_;
    FlashJob job_; // the image, taken at the start
    QLineEdit* operatorEdit_;
    QLineEdit* workOrderEdit_;
    QPushButton* startButton_;
    QPushButton* answerButton_;
    QGridLayout* tilesLayout_;
    QLabel* footer_;
    QTimer* scanTimer_;
    HandOffQueue handOffs_;
};
