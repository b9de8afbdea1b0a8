// A flashing station: controllers are plugged into the sockets of a USB hub
// one after another, and each unit that appears in a station socket is
// flashed once, by itself. A socket is a physical place (the USB path of the
// port), so it keeps its row whichever controller sits in it. This is the
// station's model: its sockets, each one's state, the counters and the
// table; whoever runs the station watches the ports and runs the flashes.
#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "flash/FlashRun.h"
#include "serial/ZKSerial.h"

namespace station {

using Clock = std::chrono::steady_clock;

// A socket the station takes, as named on the fixture.
struct SlotSpec {
    std::string socket; // "1-1.3", "1-1.3:1"
    std::string label;  // "A1"; empty: the socket's path is shown
};

// "SOCKET" or "SOCKET=LABEL", the socket as --list shows it or as a
// /dev/serial/by-path name. Nothing, with the reason in `error`, for a
// socket whose hub is not in sysfs or a label with a control character.
std::optional<SlotSpec> parseSlot(const std::string& text, const std::string& sysRoot,
                                  std::string& error);

// A serial port present now, with what sysfs says of it.
struct PresentPort {
    std::string path;
    SerialPortInfo info;
};
std::vector<PresentPort> presentPorts(const std::string& sysRoot, const std::string& devRoot);

// The adapters in the units' cables (those the package's udev rule names).
bool isUnitAdapter(const SerialPortInfo& info);

enum class SlotState {
    Waiting,  // for a unit
    Skipped,  // a unit was there before the station started: left alone
    Ignored,  // not one of the units' adapters
    Flashing, // progress
    Operator, // waiting for the operator (the receiver's radio-mode prompt)
    Passed,   // in `seconds`
    Failed,   // `reason`
    Removed,  // the unit was taken out
};

struct SlotRow {
    std::string socket;
    std::string label;
    std::string port;   // the unit's device node; empty while none is there
    std::string serial; // the unit's adapter serial number
    SlotState state = SlotState::Waiting;
    TransferProgress progress;
    Clock::time_point started;
    double seconds = 0; // the last run's
    std::string reason; // why the last run failed, in a few words
};

struct Totals {
    int passed = 0;
    int failed = 0;
    int inProgress = 0;
    double unitsPerHour = 0;              // units finished per hour since the start
    std::optional<double> firstPassYield; // passed at their first attempt, of units finished
};

class Station {
public:
    // With `slots`, exactly those sockets; without, any socket where one of
    // the units' adapters appears.
    Station(std::vector<SlotSpec> slots, Clock::time_point start);

    // What the ports now present mean: the rows whose unit is to be flashed
    // now, and the rows whose unit went away while it was being flashed.
    // Ports present at the first look are left alone unless their socket was
    // named. A unit plugged in again is flashed again.
    struct Changes {
        std::vector<size_t> start;
        std::vector<size_t> gone;
    };
    Changes see(const std::vector<PresentPort>& ports, Clock::time_point now);

    // A run's events for the unit in `row`.
    void event(size_t row, const RunEvent& event);
    // Its end; `firstAttempt` when the unit had no run before.
    void finished(size_t row, FlashOutcome outcome, const std::string& reason, bool firstAttempt,
                  Clock::time_point now);

    // No new units are taken (the operator is stopping the station).
    void stopTaking() { taking_ = false; }
    bool taking() const { return taking_; }

    const std::vector<SlotRow>& rows() const { return rows_; }
    Totals totals(Clock::time_point now) const;

private:
    size_t rowFor(const std::string& socket);

    const bool named_;
    const Clock::time_point start_;
    std::vector<SlotRow> rows_;
    bool firstLook_ = true;
    bool taking_ = true;
    int passed_ = 0; // runs, as they end
    int failed_ = 0;
    int units_ = 0; // runs that said whether their unit passed
    int firstPass_ = 0;
};

// Each unit's attempt, counted per adapter serial number from the record
// file (cancelled runs left out) and from the runs started since.
class Attempts {
public:
    // `recordPath` empty: no earlier runs are known.
    explicit Attempts(const std::string& recordPath);
    // The record fields a station adds to the run of the unit in `row`: its
    // socket and label, its attempt, and own_unit for an adapter without a
    // serial number (each of its runs a unit of its own).
    Json fieldsForNextRun(const SlotRow& row);

private:
    std::map<std::string, int> attempts_;
};

// "waiting for a unit", "flashing 42 % 11.0 kB/s 0:07 left", "passed in 19 s",
// "failed: no banner", ...
std::string stateText(const SlotRow& row);

// The table: a header, one line per socket (label or path, adapter serial,
// state) and a footer with the counters.
std::vector<std::string> tableLines(const Station& station, Clock::time_point now);
std::string footerLine(const Totals& totals);

// The failure in a few words: the serial failure's reason ("<what> - <system
// text>"), else the outcome's name.
std::string shortReason(FlashOutcome outcome, const std::optional<SerialFailure>& failure);

} // namespace station
