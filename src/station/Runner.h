// The station runner, one for every shell: it watches the sockets through a
// port watch, starts one run per unit plugged in through a launcher, answers
// prompts and cancels as the operator says, ends a run whose unit is taken
// out, keeps each socket's row, the counters and each record's station fields
// and attempt, and stops in stages. A shell only renders what the runner tells
// it (RunnerView) and forwards the operator's input.
//
// Several units from one command are a runner with a fixed socket per device
// path given: each is flashed once, and the runner is done when they are.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>

#include "station/Launcher.h"
#include "station/Metrics.h"
#include "station/PortWatch.h"
#include "station/Station.h"
#include "station/UnitTally.h"

namespace station {

struct RunnerSettings {
    std::vector<SlotSpec> sockets; // taken; none: any unit's adapter, wherever it appears
    bool once = false;             // each socket's unit is flashed once, then the runner stops
    FlashJob job;                  // the image, its name and target, the operator's record fields
    // The record file the attempts are counted from: each run's record gets
    // the station's fields (socket, label, attempt, own_unit). None: no
    // station fields.
    std::optional<std::string> attemptsFrom;
    bool yes = false; // prompts are answered as they come
    // The station's figures for Prometheus (Metrics.h) are written to this
    // file at the start, when a unit's run ends and at least every
    // kMetricsInterval. None: not written.
    std::optional<std::string> metricsFile;
    std::string version; // the program's, in the figures' info series
};

// What the runner tells its shell, on the runner's thread; `row` indexes
// Runner::rows().
class RunnerView {
public:
    virtual ~RunnerView() = default;
    // An event of the run of the unit in the row (or that was, once it is
    // taken out).
    virtual void unitEvent(size_t /*row*/, const RunEvent& /*event*/) {}
    // A line the run wrote beside its events.
    virtual void unitText(size_t /*row*/, const std::string& /*text*/) {}
    virtual void unitEnded(size_t /*row*/, const RunEnd& /*end*/) {}
    // The rows or counters may have changed.
    virtual void changed() {}
    // Something beside the units went wrong (the figures' file could not be
    // written); the runs go on.
    virtual void warning(const std::string& /*text*/) {}
};

class Runner : private Launcher::Listener {
public:
    using Now = std::function<Clock::time_point()>;

    // How often the sockets are looked at, and how long a run tries an open
    // again while udev or another program is still busy with a port just
    // plugged in.
    static constexpr std::chrono::milliseconds kScanInterval{200};
    static constexpr uint32_t kOpenRetryMs = 2000;
    // The figures are written at least this often, so that their last update
    // time shows a station that is gone.
    static constexpr std::chrono::seconds kMetricsInterval{15};

    Runner(RunnerSettings settings, PortWatch& watch, Launcher& launcher, RunnerView& view,
           Now now = Clock::now);

    // Takes in what the runs sent, and looks at the sockets when that is due;
    // returns when it is due next.
    Clock::time_point poll();
    // Takes in what the runs sent.
    void deliver() { launcher_.deliver(*this); }
    // Looks at the sockets now, and writes the figures when that is due.
    // Ports present at the first look are left alone unless their socket was
    // named; a unit plugged in again is flashed again.
    void scan();

    // Enter: answers every unit whose prompt has been shown; `ahead` also
    // answers those that ask later (asked once for all).
    void answer(bool ahead = false);
    // No answer will come: the units waiting for one, and those that ask
    // later, are cancelled.
    void inputEnded();
    // First, no new units are taken; after that, the runs are cancelled.
    void stop(Cancel how = Cancel::Interrupt);

    bool taking() const { return taking_; }
    // Taking no units and no run left.
    bool done() const { return !taking_ && units_.empty(); }
    // A run was cancelled by stop() or for want of an answer.
    bool cancelled() const { return cancelled_; }
    size_t unitsRunning() const { return units_.size(); }
    // A unit's prompt waits for the operator.
    bool asking() const;

    const std::vector<SlotRow>& rows() const { return rows_; }
    Totals totals() const;

private:
    struct Unit {
        size_t row;
        std::string serial;
        Clock::time_point started;
        int attempt = 1;
        bool removed = false; // taken out: the row is no longer its own
    };

    size_t rowFor(const std::string& socket);
    void start(size_t row);
    void gone(size_t row);
    void writeMetrics();

    void unitEvent(UnitId id, const RunEvent& event) override;
    void unitText(UnitId id, const std::string& text) override;
    void unitEnded(UnitId id, const RunEnd& end) override;

    const RunnerSettings settings_;
    PortWatch& watch_;
    Launcher& launcher_;
    RunnerView& view_;
    const Now now_;
    const bool named_;
    std::vector<SlotRow> rows_;
    std::map<UnitId, Unit> units_; // the runs not ended
    UnitId nextId_ = 1;
    std::unique_ptr<Attempts> attempts_;
    UnitTally tally_;
    std::unique_ptr<StationMetrics> metrics_;
    Clock::time_point nextMetrics_{};
    bool metricsFailing_ = false;
    // The wall clock's time at the runner clock's start, for the figures.
    const Clock::time_point startedAt_;
    const StationMetrics::Time startedWall_;
    Clock::time_point nextScan_{};
    bool firstLook_ = true;
    bool taking_ = true;
    bool answerAhead_ = false;
    bool inputEnded_ = false;
    bool cancelled_ = false;
};

} // namespace station
