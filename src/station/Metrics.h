// A station's figures for Prometheus, through node_exporter's textfile
// collector: the station rewrites one file in the collector's folder, and
// node_exporter serves it with the machine's own series. No socket of ours
// listens. Labels stay bounded: socket labels, outcomes and failure kinds,
// never serial numbers or free text (but in the one info series).
#pragma once

#include <array>
#include <chrono>
#include <map>
#include <optional>
#include <string>

#include "flash/FlashRun.h"

namespace station {

// What the station flashes, for the info series.
struct MetricsInfo {
    std::string version;
    std::string image;
    std::string sha256;
    std::string workOrder;
    std::string operatorName;
};

class StationMetrics {
public:
    using Time = std::chrono::system_clock::time_point;

    // Flash durations are counted into these buckets (seconds): a good flash
    // takes 5 to 60 s.
    static constexpr std::array<double, 10> kBuckets{5, 10, 15, 20, 25, 30, 40, 50, 60, 90};

    StationMetrics(MetricsInfo info, Time started);

    // A socket the station takes, so that its series exist before its first unit.
    void socket(const std::string& label);
    // A unit's run ended: `outcome` none when its loader died; `attempt` the
    // unit's (1: its first); `reachedUnit` false when its port never opened,
    // which counts as a failure but, as in the report, as no unit.
    void runEnded(const std::string& socket, std::optional<FlashOutcome> outcome, int attempt,
                  bool reachedUnit, double seconds);
    void setInProgress(int units) { inProgress_ = units; }

    // The series in Prometheus' text format, as of `now`.
    std::string text(Time now) const;

private:
    struct Ends {
        uint64_t passed = 0, failed = 0, cancelled = 0;
    };
    const MetricsInfo info_;
    const Time started_;
    std::map<std::string, Ends> bySocket_;
    std::map<std::string, uint64_t> failures_; // by kind
    uint64_t firstAttempts_ = 0;               // passed or failed
    uint64_t firstPass_ = 0;
    std::array<uint64_t, kBuckets.size()> buckets_{};
    uint64_t durations_ = 0;
    double durationSum_ = 0;
    int inProgress_ = 0;
};

// Why the figures cannot go to `path` at all ("no folder /var/lib/x"): a
// folder that is not there is a typing error, refused before a station
// starts, not a passing failure.
std::optional<std::string> metricsFileRefused(const std::string& path);

// Replaces the file at `path` with `text` as one step: written beside it
// under another name, then renamed over it, so that a reader never sees it
// half-written. The reason when it could not be written.
std::optional<std::string> replaceFile(const std::string& path, const std::string& text);

} // namespace station
