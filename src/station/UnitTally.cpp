#include "station/UnitTally.h"

#include <algorithm>

namespace station {

void UnitTally::add(const std::string& serial, FlashOutcome outcome, Instant started,
                    Instant ended) {
    firstStarted_ = std::min(firstStarted_.value_or(started), started);
    lastEnded_ = std::max(lastEnded_.value_or(ended), ended);
    Unit own;
    Unit& unit = serial.empty() ? own : units_.try_emplace(serial).first->second;
    if (outcome != FlashOutcome::Cancelled) {
        const bool passed = outcome == FlashOutcome::Success;
        if (!unit.judged || started < unit.firstAt) {
            unit.firstAt = started;
            unit.first = passed;
        }
        if (!unit.judged || started >= unit.latestAt) {
            unit.latestAt = started;
            unit.latest = passed;
        }
        unit.judged = true;
    }
    if (serial.empty()) {
        ++ownUnits_;
        const Counts counted = counts(own);
        own_.passed += counted.passed;
        own_.failed += counted.failed;
        own_.firstPass += counted.firstPass;
    }
}

UnitTally::Counts UnitTally::counts(const Unit& unit) {
    return {unit.judged && unit.latest ? 1 : 0, unit.judged && !unit.latest ? 1 : 0,
            unit.judged && unit.first ? 1 : 0};
}

int UnitTally::sum(int Counts::*which) const {
    int total = 0;
    for (const auto& [serial, unit] : units_) {
        total += counts(unit).*which;
    }
    return total;
}

std::optional<double> UnitTally::firstPassYield() const {
    const int judged = passed() + failed();
    if (judged == 0) {
        return std::nullopt;
    }
    return firstPass() / static_cast<double>(judged);
}

std::optional<double> UnitTally::unitsPerHour() const {
    if (!firstStarted_) {
        return std::nullopt;
    }
    // Each in seconds first: runs at the clock's two ends (1700 and 2250 in
    // the records) would overflow the nanoseconds' difference.
    using Seconds = std::chrono::duration<double>;
    const double span = Seconds(*lastEnded_).count() - Seconds(*firstStarted_).count();
    return span > 0 ? std::optional<double>(units() * 3600.0 / span) : std::nullopt;
}

} // namespace station
