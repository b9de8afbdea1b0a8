#include "station/Report.h"

#include "flash/FlashRecord.h"
#include "flash/calendar.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>

namespace station {

namespace {

using std::chrono::system_clock;

// Reads `count` decimal digits at `at`.
bool digits(std::string_view text, size_t& at, size_t count, int& value) {
    if (at + count > text.size()) {
        return false;
    }
    value = 0;
    for (size_t end = at + count; at < end; ++at) {
        if (text[at] < '0' || text[at] > '9') {
            return false;
        }
        value = value * 10 + (text[at] - '0');
    }
    return true;
}

bool skip(std::string_view text, size_t& at, char c) {
    if (at < text.size() && text[at] == c) {
        ++at;
        return true;
    }
    return false;
}

// One run as the report needs it.
struct Run {
    TimePoint started;
    TimePoint ended;
    FlashOutcome outcome = FlashOutcome::Success;
    std::string cause;  // for a failure
    std::string serial; // the unit's; empty for a unit of its own
    std::string socket;
    std::string file;
    std::string sha256;
    std::string workOrder;
};

// A string field, or a number's digits (a work order may be written as
// either); empty for anything else.
std::string textField(const Json& record, const char* key) {
    const auto it = record.find(key);
    if (it == record.end()) {
        return {};
    }
    if (it->is_string()) {
        return it->get<std::string>();
    }
    return it->is_number() ? it->dump() : std::string();
}

// The run a record line holds, or why it holds none.
std::optional<Run> parseRun(std::string_view line, std::string& why) {
    const Json record = Json::parse(line, nullptr, false);
    if (record.is_discarded()) {
        why = "not JSON";
        return std::nullopt;
    }
    if (!record.is_object()) {
        why = "not an object";
        return std::nullopt;
    }
    const auto started = parseIsoTime(textField(record, "started"));
    const auto ended = parseIsoTime(textField(record, "ended"));
    const auto outcome = outcomeNamed(textField(record, "outcome"));
    if (!started || !ended || !outcome) {
        why = !started ? "no valid \"started\""
              : !ended ? "no valid \"ended\""
                       : "no valid \"outcome\"";
        return std::nullopt;
    }
    Run run;
    run.started = *started;
    run.ended = *ended;
    run.outcome = *outcome;
    run.cause = outcomeName(*outcome);
    // Without the number: failures that differ only in it are one cause.
    if (const auto failure =
            *outcome == FlashOutcome::SerialFailure ? recordFailure(record) : std::nullopt) {
        run.cause += ": " + failureText(*failure, FailureForm::Reason);
    }
    const auto own = record.find("own_unit");
    if (own == record.end() || !own->is_boolean() || !own->get<bool>()) {
        run.serial = textField(record, "adapter_serial");
    }
    run.socket = textField(record, "socket_label");
    if (run.socket.empty()) {
        run.socket = textField(record, "socket");
    }
    if (run.socket.empty()) {
        run.socket = "-";
    }
    run.file = textField(record, "file");
    run.sha256 = textField(record, "sha256");
    run.workOrder = textField(record, "work_order");
    return run;
}

bool kept(const Run& run, const ReportFilter& filter) {
    return (!filter.since || run.started >= *filter.since) &&
           (!filter.workOrder || run.workOrder == *filter.workOrder);
}

// Appends the kept runs of one file; false when it could not be read.
bool readFile(const std::string& path, const ReportFilter& filter, std::vector<Run>& runs,
              Report& report, std::vector<std::string>& problems) {
    std::FILE* in = std::fopen(path.c_str(), "re");
    if (in == nullptr) {
        problems.push_back(path + ": " + std::strerror(errno));
        return false;
    }
    char* buffer = nullptr;
    size_t capacity = 0;
    ssize_t length = 0;
    for (int number = 1; (length = getline(&buffer, &capacity, in)) >= 0; ++number) {
        const std::string_view line(buffer, static_cast<size_t>(length));
        if (line.find_first_not_of(" \t\r\n") == std::string_view::npos) {
            continue;
        }
        std::string why;
        const auto run = parseRun(line, why);
        if (!run) {
            ++report.unreadable;
            problems.push_back(path + ":" + std::to_string(number) + ": not a flash record (" +
                               why + ")");
        } else if (kept(*run, filter)) {
            runs.push_back(*run);
        }
    }
    const int err = errno;
    const bool failed = std::ferror(in) != 0;
    std::free(buffer);
    std::fclose(in);
    if (failed) {
        problems.push_back(path + ": " + std::strerror(err));
    }
    return !failed;
}

void tally(RunCounts& counts, FlashOutcome outcome) {
    ++counts.runs;
    if (outcome == FlashOutcome::Success) {
        ++counts.passed;
    } else if (outcome == FlashOutcome::Cancelled) {
        ++counts.cancelled;
    } else {
        ++counts.failed;
    }
}

// The value at fraction `p` of the sorted values, between the nearest two.
double percentile(const std::vector<double>& sorted, double p) {
    const double at = p * static_cast<double>(sorted.size() - 1);
    const size_t lower = static_cast<size_t>(at);
    const size_t upper = std::min(lower + 1, sorted.size() - 1);
    return sorted[lower] + (sorted[upper] - sorted[lower]) * (at - static_cast<double>(lower));
}

void summarise(std::vector<Run> runs, Report& report) {
    std::stable_sort(runs.begin(), runs.end(),
                     [](const Run& a, const Run& b) { return a.started < b.started; });
    // Per unit: whether its first and its latest attempt succeeded.
    struct Unit {
        std::optional<bool> first;
        std::optional<bool> latest;
    };
    std::vector<Unit> units;
    std::map<std::string, size_t> bySerial;
    std::map<std::string, int> causes;
    std::map<std::string, RunCounts> sockets;
    std::map<std::pair<std::string, std::string>, RunCounts> images;
    std::vector<double> seconds;
    for (const Run& run : runs) {
        tally(report.runs, run.outcome);
        tally(sockets[run.socket], run.outcome);
        tally(images[{run.file, run.sha256}], run.outcome);
        // A clock stepped back during a run leaves it without a time of its own.
        if (run.ended >= run.started) {
            seconds.push_back(std::chrono::duration<double>(run.ended - run.started).count());
        }
        report.lastEnded = std::max(report.lastEnded.value_or(run.ended), run.ended);
        if (run.outcome != FlashOutcome::Success && run.outcome != FlashOutcome::Cancelled) {
            ++causes[run.cause];
        }
        size_t unit = units.size();
        if (run.serial.empty()) {
            units.emplace_back();
        } else if (const auto [it, added] = bySerial.try_emplace(run.serial, unit); !added) {
            unit = it->second;
        } else {
            units.emplace_back();
        }
        if (run.outcome != FlashOutcome::Cancelled) {
            const bool passed = run.outcome == FlashOutcome::Success;
            units[unit].first = units[unit].first.value_or(passed);
            units[unit].latest = passed;
        }
    }
    report.records = static_cast<int>(runs.size());
    report.units = static_cast<int>(units.size());
    for (const Unit& unit : units) {
        report.unitsPassed += unit.latest == true ? 1 : 0;
        report.unitsFailed += unit.latest == false ? 1 : 0;
        report.firstPass += unit.first == true ? 1 : 0;
    }
    if (const int judged = report.unitsPassed + report.unitsFailed; judged > 0) {
        report.firstPassYield = report.firstPass / static_cast<double>(judged);
    }
    if (!seconds.empty()) {
        std::sort(seconds.begin(), seconds.end());
        report.medianSeconds = percentile(seconds, 0.5);
        report.p95Seconds = percentile(seconds, 0.95);
    }
    if (!runs.empty()) {
        report.firstStarted = runs.front().started;
        const double span =
            std::chrono::duration<double>(*report.lastEnded - *report.firstStarted).count();
        if (span > 0) {
            report.unitsPerHour = report.units * 3600.0 / span;
        }
    }
    for (const auto& [cause, count] : causes) {
        report.failures.push_back({cause, count});
    }
    std::stable_sort(report.failures.begin(), report.failures.end(),
                     [](const CauseCount& a, const CauseCount& b) { return a.count > b.count; });
    for (const auto& [socket, counts] : sockets) {
        report.sockets.push_back({socket, counts});
    }
    for (const auto& [image, counts] : images) {
        report.images.push_back({image.first, image.second, counts});
    }
}

std::string fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

// Rows of cells in columns two spaces apart, indented by two; `align` has an
// 'l' or 'r' for each column.
std::string table(const std::vector<std::vector<std::string>>& rows, std::string_view align) {
    std::vector<size_t> widths(align.size(), 0);
    for (const auto& row : rows) {
        for (size_t i = 0; i < row.size(); ++i) {
            widths[i] = std::max(widths[i], row[i].size());
        }
    }
    std::string text;
    for (const auto& row : rows) {
        std::string line;
        for (size_t i = 0; i < row.size(); ++i) {
            const std::string pad(widths[i] - row[i].size(), ' ');
            line += "  " + (align[i] == 'l' ? row[i] + pad : pad + row[i]);
        }
        text += line.substr(0, line.find_last_not_of(' ') + 1) + "\n";
    }
    return text;
}

std::vector<std::string> countCells(const RunCounts& counts) {
    return {std::to_string(counts.runs), std::to_string(counts.passed),
            std::to_string(counts.failed), std::to_string(counts.cancelled)};
}

Json countsJson(const RunCounts& counts) {
    Json json;
    json["runs"] = counts.runs;
    json["passed"] = counts.passed;
    json["failed"] = counts.failed;
    json["cancelled"] = counts.cancelled;
    return json;
}

Json rounded(const std::optional<double>& value, double scale) {
    return value ? Json(std::round(*value * scale) / scale) : Json();
}

Json timeJson(const std::optional<TimePoint>& when) {
    return when ? Json(isoTime(*when)) : Json();
}

} // namespace

std::optional<TimePoint> parseIsoTime(std::string_view text) {
    size_t at = 0;
    int year = 0;
    int month = 0;
    int day = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
    int millis = 0;
    if (!digits(text, at, 4, year) || !skip(text, at, '-') || !digits(text, at, 2, month) ||
        !skip(text, at, '-') || !digits(text, at, 2, day)) {
        return std::nullopt;
    }
    if (skip(text, at, 'T')) {
        if (!digits(text, at, 2, hour) || !skip(text, at, ':') || !digits(text, at, 2, minute)) {
            return std::nullopt;
        }
        if (skip(text, at, ':')) {
            if (!digits(text, at, 2, second)) {
                return std::nullopt;
            }
            if (skip(text, at, '.')) {
                // Milliseconds, as the records have them; finer digits are cut.
                const size_t from = at;
                for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
                    millis = at - from < 3 ? millis * 10 + (text[at] - '0') : millis;
                }
                if (at == from) {
                    return std::nullopt;
                }
                for (size_t n = at - from; n < 3; ++n) {
                    millis *= 10;
                }
            }
        }
    }
    std::optional<int> offset; // minutes east of UTC
    if (skip(text, at, 'Z')) {
        offset = 0;
    } else if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
        const int sign = text[at++] == '-' ? -1 : 1;
        int hours = 0;
        int minutes = 0;
        if (!digits(text, at, 2, hours) || !skip(text, at, ':') || !digits(text, at, 2, minutes) ||
            hours > 23 || minutes > 59) {
            return std::nullopt;
        }
        offset = sign * (hours * 60 + minutes);
    }
    if (at != text.size() || month < 1 || month > 12 || day < 1 || hour > 23 || minute > 59 ||
        second > 59) {
        return std::nullopt;
    }
    tm fields{};
    fields.tm_year = year - 1900;
    fields.tm_mon = month - 1;
    fields.tm_mday = day;
    fields.tm_hour = hour;
    fields.tm_min = minute;
    fields.tm_sec = second;
    // 31 April rolls over into May: a day the month lacks is no date.
    tm utc = fields;
    time_t seconds = calendar::fromUtc(utc);
    if (utc.tm_mday != day) {
        return std::nullopt;
    }
    if (offset) {
        seconds -= *offset * 60;
    } else {
        fields.tm_isdst = -1; // whichever the local rules say for that day
        seconds = calendar::fromLocal(fields);
    }
    return system_clock::from_time_t(seconds) + std::chrono::milliseconds(millis);
}

Report readReport(const std::vector<std::string>& files, const ReportFilter& filter,
                  std::vector<std::string>& problems) {
    Report report;
    report.filter = filter;
    std::vector<Run> runs;
    for (const auto& file : files) {
        if (!readFile(file, filter, runs, report, problems)) {
            ++report.unopened;
        }
    }
    summarise(std::move(runs), report);
    return report;
}

std::string reportText(const Report& report) {
    const auto number = [](int n) { return std::to_string(n); };
    std::string text;
    if (report.filter.since) {
        text += "Since: " + isoTime(*report.filter.since) + "\n";
    }
    if (report.filter.workOrder) {
        text += "Work order: " + *report.filter.workOrder + "\n";
    }
    text += "Records: " + number(report.records);
    text += report.unreadable > 0 ? ", " + number(report.unreadable) + " unreadable\n" : "\n";
    const int open = report.units - report.unitsPassed - report.unitsFailed;
    text += "Units: " + number(report.units) + " (" + number(report.unitsPassed) + " passed, " +
            number(report.unitsFailed) + " failed" +
            (open > 0 ? ", " + number(open) + " only cancelled)\n" : ")\n");
    text += "First-pass yield: ";
    text += report.firstPassYield
                ? fixed(*report.firstPassYield * 100, 1) + " % (" + number(report.firstPass) +
                      " of " + number(report.unitsPassed + report.unitsFailed) + ")\n"
                : "-\n";
    text += "Runs: " + number(report.runs.runs) + " (" + number(report.runs.passed) + " passed, " +
            number(report.runs.failed) + " failed, " + number(report.runs.cancelled) +
            " cancelled)\n";
    text += "Time per run: ";
    text += report.medianSeconds
                ? "median " + fixed(*report.medianSeconds, 1) + " s, 95th percentile " +
                      fixed(*report.p95Seconds, 1) + " s\n"
                : "-\n";
    text += "Units per hour: " + (report.unitsPerHour ? fixed(*report.unitsPerHour, 1) : "-");
    text += report.firstStarted
                ? " (" + isoTime(*report.firstStarted) + " to " + isoTime(*report.lastEnded) + ")\n"
                : "\n";

    text += report.failures.empty() ? "\nFailures by cause: none\n" : "\nFailures by cause:\n";
    if (!report.failures.empty()) {
        std::vector<std::vector<std::string>> rows;
        for (const auto& failure : report.failures) {
            rows.push_back({number(failure.count), failure.cause});
        }
        text += table(rows, "rl");
    }
    if (!report.sockets.empty()) {
        std::vector<std::vector<std::string>> rows{
            {"socket", "runs", "passed", "failed", "cancelled"}};
        for (const auto& socket : report.sockets) {
            rows.push_back({socket.socket});
            const auto cells = countCells(socket.counts);
            rows.back().insert(rows.back().end(), cells.begin(), cells.end());
        }
        text += "\nSockets:\n" + table(rows, "lrrrr");
    }
    if (!report.images.empty()) {
        std::vector<std::vector<std::string>> rows{
            {"image", "sha256", "runs", "passed", "failed", "cancelled"}};
        for (const auto& image : report.images) {
            rows.push_back({image.file, image.sha256.empty() ? "-" : image.sha256.substr(0, 12)});
            const auto cells = countCells(image.counts);
            rows.back().insert(rows.back().end(), cells.begin(), cells.end());
        }
        text += "\nImages:\n" + table(rows, "llrrrr");
    }
    return text;
}

Json reportJson(const Report& report) {
    Json json;
    json["since"] = timeJson(report.filter.since);
    json["work_order"] = report.filter.workOrder ? Json(*report.filter.workOrder) : Json();
    json["records"] = report.records;
    json["unreadable"] = report.unreadable;
    Json units;
    units["count"] = report.units;
    units["passed"] = report.unitsPassed;
    units["failed"] = report.unitsFailed;
    units["first_pass"] = report.firstPass;
    units["first_pass_yield"] = rounded(report.firstPassYield, 1e4);
    units["per_hour"] = rounded(report.unitsPerHour, 1e2);
    json["units"] = units;
    Json runs;
    runs["count"] = report.runs.runs;
    runs["passed"] = report.runs.passed;
    runs["failed"] = report.runs.failed;
    runs["cancelled"] = report.runs.cancelled;
    runs["median_seconds"] = rounded(report.medianSeconds, 1e3);
    runs["p95_seconds"] = rounded(report.p95Seconds, 1e3);
    json["runs"] = runs;
    json["first_started"] = timeJson(report.firstStarted);
    json["last_ended"] = timeJson(report.lastEnded);
    json["failures"] = Json::array();
    for (const auto& failure : report.failures) {
        json["failures"].push_back({{"cause", failure.cause}, {"count", failure.count}});
    }
    json["sockets"] = Json::array();
    for (const auto& socket : report.sockets) {
        Json row = {{"socket", socket.socket}};
        row.update(countsJson(socket.counts));
        json["sockets"].push_back(row);
    }
    json["images"] = Json::array();
    for (const auto& image : report.images) {
        Json row = {{"file", image.file},
                    {"sha256", image.sha256.empty() ? Json() : Json(image.sha256)}};
        row.update(countsJson(image.counts));
        json["images"].push_back(row);
    }
    return json;
}

} // namespace station
