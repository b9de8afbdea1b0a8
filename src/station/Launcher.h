// Where a station's unit runs its flash: in a loader process of its own (the
// command line: one unit's crash or hang never touches another) or on a thread
// of its own (the window). The runner starts a run, answers its prompt,
// cancels it or ends it when its unit is taken out, and takes in what the run
// sent and how it ended on the runner's own thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "flash/FlashRun.h"

namespace station {

using UnitId = uint64_t;

// How a run is cancelled: as by Ctrl-C or as by SIGTERM (a loader process
// ends with the status that says which).
enum class Cancel { Interrupt, Terminate };

// How a run ended.
struct RunEnd {
    std::optional<FlashOutcome> outcome; // none: the run told nothing (its loader died)
    std::optional<SerialFailure> failure;
    Json record;        // the run's flash record; null when none came
    std::string why;    // without an outcome: what became of the run
    double seconds = 0; // how long it ran
    int status = 0;     // a loader process's exit status
};

class Launcher {
public:
    // Told on the thread that calls deliver().
    class Listener {
    public:
        virtual ~Listener() = default;
        virtual void unitEvent(UnitId id, const RunEvent& event) = 0;
        // A line the run wrote beside its events (a loader's standard error).
        virtual void unitText(UnitId id, const std::string& text) = 0;
        // The last word of a run.
        virtual void unitEnded(UnitId id, const RunEnd& end) = 0;
    };

    virtual ~Launcher() = default;
    // Starts the run of `job` as `id`. A run that cannot be started ends at
    // once with the reason.
    virtual void start(UnitId id, const FlashJob& job) = 0;
    // The operator answered its prompt.
    virtual void answer(UnitId id) = 0;
    // The run is cancelled at its next checkpoint.
    virtual void cancel(UnitId id, Cancel how) = 0;
    // Its unit was taken out: the run ends now, whatever it waits for.
    virtual void remove(UnitId id) = 0;
    // Hands what the runs sent since the last call to `listener`, in order.
    virtual void deliver(Listener& listener) = 0;
};

} // namespace station
