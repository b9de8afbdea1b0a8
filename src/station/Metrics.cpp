#include "station/Metrics.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <system_error>

namespace station {

namespace {

constexpr const char* kPrefix = "zkflash_station_";

// The failure kinds, as label values; a loader that died told no outcome.
constexpr const char* kKinds[] = {"serial_failure", "wrong_mode", "no_banner",
                                  "send_error",     "too_large",  "loader_died"};

const char* kindOf(std::optional<FlashOutcome> outcome) {
    if (!outcome) {
        return "loader_died";
    }
    switch (*outcome) {
    case FlashOutcome::SerialFailure:
        return "serial_failure";
    case FlashOutcome::WrongMode:
        return "wrong_mode";
    case FlashOutcome::NoBanner:
        return "no_banner";
    case FlashOutcome::TooLarge:
        return "too_large";
    case FlashOutcome::SendError:
    case FlashOutcome::Success:
    case FlashOutcome::Cancelled:
        break;
    }
    return "send_error";
}

// A label value as the text format wants it: backslash, quote and line feed
// escaped.
std::string quoted(const std::string& value) {
    std::string out = "\"";
    for (const char c : value) {
        out += c == '\\' ? "\\\\" : c == '"' ? "\\\"" : c == '\n' ? "\\n" : std::string(1, c);
    }
    return out + "\"";
}

// The shortest text that reads back as the same number.
std::string number(double value) {
    char text[32];
    return {text, std::to_chars(text, text + sizeof text, value).ptr};
}

double unixSeconds(StationMetrics::Time when) {
    return std::chrono::duration<double>(when.time_since_epoch()).count();
}

class Writer {
public:
    void family(const char* name, const char* type, const char* help) {
        name_ = std::string(kPrefix) + name;
        text_ += "# HELP " + name_ + " " + help + "\n# TYPE " + name_ + " " + type + "\n";
    }
    void sample(const std::string& labels, double value, const char* suffix = "") {
        text_ += name_ + suffix + (labels.empty() ? "" : "{" + labels + "}") + " " + number(value) +
                 "\n";
    }
    std::string text() const { return text_; }

private:
    std::string name_;
    std::string text_;
};

} // namespace

StationMetrics::StationMetrics(MetricsInfo info, Time started)
    : info_(std::move(info)), started_(started) {
    for (const char* kind : kKinds) {
        failures_[kind] = 0;
    }
}

void StationMetrics::socket(const std::string& label) {
    bySocket_[label];
}

void StationMetrics::runEnded(const std::string& socket, std::optional<FlashOutcome> outcome,
                              int attempt, bool reachedUnit, double seconds) {
    if (!reachedUnit) {
        failures_[kindOf(outcome)] += outcome == FlashOutcome::Cancelled ? 0u : 1u;
        return;
    }
    Ends& ends = bySocket_[socket];
    const bool first = attempt == 1;
    firstAttempts_ += first && outcome != FlashOutcome::Cancelled ? 1u : 0u;
    if (outcome == FlashOutcome::Success) {
        ++ends.passed;
        firstPass_ += first ? 1u : 0u;
        // The time a good flash takes; failures end early or late for reasons
        // of their own.
        for (size_t i = 0; i < kBuckets.size(); ++i) {
            buckets_[i] += seconds <= kBuckets[i] ? 1u : 0u;
        }
        ++durations_;
        durationSum_ += seconds;
    } else if (outcome == FlashOutcome::Cancelled) {
        ++ends.cancelled;
    } else {
        ++ends.failed;
        ++failures_[kindOf(outcome)];
    }
}

std::string StationMetrics::text(Time now) const {
    Writer w;
    w.family("info", "gauge", "What the station flashes, and for whom.");
    w.sample("version=" + quoted(info_.version) + ",image=" + quoted(info_.image) +
                 ",sha256=" + quoted(info_.sha256) + ",work_order=" + quoted(info_.workOrder) +
                 ",operator=" + quoted(info_.operatorName),
             1);
    w.family("start_time_seconds", "gauge",
             "When the station started, in Unix time; the counters count from then.");
    w.sample("", unixSeconds(started_));
    w.family("last_update_time_seconds", "gauge", "When this file was written, in Unix time.");
    w.sample("", unixSeconds(now));
    w.family("units_total", "counter", "Units whose run ended, by socket and outcome.");
    for (const auto& [socket, ends] : bySocket_) {
        const std::string at = "socket=" + quoted(socket) + ",outcome=";
        w.sample(at + "\"passed\"", double(ends.passed));
        w.sample(at + "\"failed\"", double(ends.failed));
        w.sample(at + "\"cancelled\"", double(ends.cancelled));
    }
    w.family("failures_total", "counter",
             "Runs that failed, by the kind of failure; a port that never opened included.");
    for (const auto& [kind, count] : failures_) {
        w.sample("cause=" + quoted(kind), double(count));
    }
    w.family("units_first_attempt_total", "counter",
             "Units whose first attempt passed or failed: the first-pass yield's denominator.");
    w.sample("", double(firstAttempts_));
    w.family("units_first_pass_total", "counter", "Units that passed at their first attempt.");
    w.sample("", double(firstPass_));
    w.family("units_in_progress", "gauge", "Units being flashed or waiting for the operator.");
    w.sample("", inProgress_);
    w.family("flash_duration_seconds", "histogram",
             "How long the runs that passed took, a wait for the operator included.");
    for (size_t i = 0; i < kBuckets.size(); ++i) {
        w.sample("le=" + quoted(number(kBuckets[i])), double(buckets_[i]), "_bucket");
    }
    w.sample("le=\"+Inf\"", double(durations_), "_bucket");
    w.sample("", durationSum_, "_sum");
    w.sample("", double(durations_), "_count");
    return w.text();
}

std::optional<std::string> metricsFileRefused(const std::string& path) {
    const std::filesystem::path folder = std::filesystem::path(path).parent_path();
    std::error_code unknown;
    if (std::filesystem::is_directory(folder.empty() ? "." : folder, unknown)) {
        return std::nullopt;
    }
    return "no folder " + folder.string();
}

std::optional<std::string> replaceFile(const std::string& path, const std::string& text) {
    namespace fs = std::filesystem;
    // node_exporter reads only *.prom: a name without that ending is never
    // read half-written.
    fs::path temporary(path);
    temporary += ".tmp" + std::to_string(std::random_device{}());
    std::FILE* out = std::fopen(temporary.string().c_str(), "wb");
    if (!out) {
        return "cannot write in the folder of " + path + ": " + std::strerror(errno);
    }
    const bool written = std::fwrite(text.data(), 1, text.size(), out) == text.size();
    const int error = errno;
    std::error_code ignored;
    if (std::fclose(out) != 0 || !written) {
        fs::remove(temporary, ignored);
        return "cannot write " + path + ": " + std::strerror(written ? errno : error);
    }
    std::error_code renamed;
    fs::rename(temporary, path, renamed);
    if (renamed) {
        fs::remove(temporary, ignored);
        return "cannot replace " + path + ": " + renamed.message();
    }
    return std::nullopt;
}

} // namespace station
