// A flashing station: controllers are plugged into the sockets of a USB hub
// one after another, and each unit that appears in a station socket is
// flashed once, by itself. A socket is a physical place (the USB path of the
// port), so it keeps its row whichever controller sits in it. This is the
// station's model: its sockets, what each one holds now, the counters and
// the table; the runner (Runner.h) fills it.
#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "flash/FlashRun.h"
#include "station/PortWatch.h"

namespace station {

using Clock = std::chrono::steady_clock;

// A socket the station takes, as named on the fixture.
struct SlotSpec {
    std::string socket; // "1-1.3", "1-1.3:1"
    std::string label;  // "A1"; empty: the socket's path is shown
};

// "SOCKET" or "SOCKET=LABEL", the socket as systemSocket() takes it.
// Nothing, with the reason in `error`, for a socket this machine does not
// have or a label with a control character.
std::optional<SlotSpec> parseSlot(const std::string& text, std::string& error);

// The adapters in the units' cables (those the package's udev rule names).
bool isUnitAdapter(const SerialPortInfo& info);

enum class SlotState {
    Waiting,  // for a unit
    Skipped,  // a unit was there before the station started: left alone
    Ignored,  // not one of the units' adapters
    Flashing, // progress
    Operator, // waiting for the operator (the receiver's radio-mode prompt)
    Passed,   // in `seconds`
    Failed,   // `reason`, and `advice`
    Removed,  // the unit was taken out; `before` says how its run had ended
};

struct SlotRow {
    std::string socket;
    std::string label;
    std::string port;   // the unit's device node; empty while none is there
    std::string serial; // the unit's adapter serial number
    SlotState state = SlotState::Waiting;
    TransferProgress progress;
    double seconds = 0; // the last run's
    std::string reason; // why the last run failed, in a few words
    std::string advice; // what the operator can do about it
    // The state when the unit was taken out: Passed or Failed after its run,
    // Flashing or Operator when the removal ended the run.
    SlotState before = SlotState::Waiting;
};

// The units as the report counts them (UnitTally.h), and the rows in progress.
struct Totals {
    int passed = 0;
    int failed = 0;
    int inProgress = 0;
    double unitsPerHour = 0; // 0 until a run has ended
    std::optional<double> firstPassYield;
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
// "failed: no banner - ...", "unit removed after: passed in 19 s", ... What a
// device or a failure carries in it is escaped (printable.h), as in the row's
// name (its label, else its socket) and its adapter serial ("-" for none).
std::string stateText(const SlotRow& row);
std::string shownName(const SlotRow& row);
std::string shownSerial(const SlotRow& row);

// The table: a header, one line per socket (label or path, adapter serial,
// state) and a footer with the counters.
std::vector<std::string> tableLines(const std::vector<SlotRow>& rows, const Totals& totals);
std::string footerLine(const Totals& totals);

// A record's field as text: a string as it is, a number's digits; empty for
// anything else or none, so that an odd record is read without throwing.
std::string recordText(const Json& record, const char* key);

// The failure in a few words: the serial failure's reason ("<what> - <system
// text>"), else the outcome's name. A failure read back from a loader's record
// may carry anything: it is escaped (printable.h).
std::string shortReason(FlashOutcome outcome, const std::optional<SerialFailure>& failure);
// What the operator can do about a unit that failed so, as the single run
// says it; empty when there is nothing to say.
std::string advice(FlashOutcome outcome, bool transmitter);

} // namespace station
