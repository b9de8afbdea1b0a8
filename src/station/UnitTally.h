// Units as the production report counts them, for the report over the record
// files and the station's counters alike. A unit is an adapter serial number;
// a run without one is a unit of its own. A unit passed (failed) when its
// latest run that was not cancelled succeeded (failed), and passed first time
// when its earliest such run succeeded; a unit with only cancelled runs is
// neither. Units per hour are the units over the time from the first start to
// the last end.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <unordered_map>

#include "flash/FlashRun.h"

namespace station {

class UnitTally {
public:
    // Since an epoch of the caller's, the same for every run.
    using Instant = std::chrono::nanoseconds;

    // A run of the unit with adapter serial `serial` (empty: a unit of its
    // own), in any order: a unit's earliest and latest runs are those that
    // started first and last (of runs that started together, the one added
    // first is the earlier). A unit of its own is counted, not kept.
    void add(const std::string& serial, FlashOutcome outcome, Instant started, Instant ended);

    int units() const { return static_cast<int>(units_.size()) + ownUnits_; }
    int passed() const { return own_.passed + sum(&Counts::passed); }
    int failed() const { return own_.failed + sum(&Counts::failed); }
    int firstPass() const { return own_.firstPass + sum(&Counts::firstPass); }
    // firstPass over the units passed or failed; none before any.
    std::optional<double> firstPassYield() const;
    // None before a run has taken any time.
    std::optional<double> unitsPerHour() const;

private:
    // Whether a unit's earliest and latest runs succeeded, and when they started.
    struct Unit {
        Instant firstAt{};
        Instant latestAt{};
        bool first = false;
        bool latest = false;
        bool judged = false; // it had a run that was not cancelled
    };
    struct Counts {
        int passed = 0;
        int failed = 0;
        int firstPass = 0;
    };
    static Counts counts(const Unit& unit);
    int sum(int Counts::*which) const;

    std::unordered_map<std::string, Unit> units_;
    int ownUnits_ = 0;
    Counts own_;
    std::optional<Instant> firstStarted_;
    std::optional<Instant> lastEnded_;
};

} // namespace station
