// Units as the production report counts them, for the report over the record
// files and the station's counters alike. A unit is an adapter serial number;
// a run without one is a unit of its own. A unit passed (failed) when its
// latest run that was not cancelled succeeded (failed), and passed first time
// when its earliest such run succeeded; a unit with only cancelled runs is
// neither. Units per hour are the units over the time from the first start to
// the last end.
#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "flash/FlashRun.h"

namespace station {

class UnitTally {
public:
    // Since an epoch of the caller's, the same for every run.
    using Instant = std::chrono::nanoseconds;

    // A run of the unit with adapter serial `serial` (empty: a unit of its
    // own). A unit's runs are added in the order they started.
    void add(const std::string& serial, FlashOutcome outcome, Instant started, Instant ended);

    int units() const { return static_cast<int>(units_.size()); }
    int passed() const { return count(&Unit::latest, true); }
    int failed() const { return count(&Unit::latest, false); }
    int firstPass() const { return count(&Unit::first, true); }
    // firstPass over the units passed or failed; none before any.
    std::optional<double> firstPassYield() const;
    // None before a run has taken any time.
    std::optional<double> unitsPerHour() const;

private:
    struct Unit {
        std::optional<bool> first; // whether its earliest run not cancelled succeeded
        std::optional<bool> latest;
    };
    int count(std::optional<bool> Unit::*which, bool value) const;

    std::vector<Unit> units_;
    std::map<std::string, size_t> bySerial_;
    std::optional<Instant> firstStarted_;
    std::optional<Instant> lastEnded_;
};

} // namespace station
