#include "station/UnitTally.h"

#include <algorithm>

namespace station {

void UnitTally::add(const std::string& serial, FlashOutcome outcome, Instant started,
                    Instant ended) {
    firstStarted_ = std::min(firstStarted_.value_or(started), started);
    lastEnded_ = std::max(lastEnded_.value_or(ended), ended);
    size_t unit = units_.size();
    if (serial.empty()) {
        units_.emplace_back();
    } else if (const auto [it, added] = bySerial_.try_emplace(serial, unit); !added) {
        unit = it->second;
    } else {
        units_.emplace_back();
    }
    if (outcome != FlashOutcome::Cancelled) {
        const bool passed = outcome == FlashOutcome::Success;
        units_[unit].first = units_[unit].first.value_or(passed);
        units_[unit].latest = passed;
    }
}

int UnitTally::count(std::optional<bool> Unit::*which, bool value) const {
    return static_cast<int>(std::count_if(units_.begin(), units_.end(),
                                          [&](const Unit& unit) { return unit.*which == value; }));
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
    const double span = std::chrono::duration<double>(*lastEnded_ - *firstStarted_).count();
    return span > 0 ? std::optional<double>(units() * 3600.0 / span) : std::nullopt;
}

} // namespace station
