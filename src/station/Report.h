// The production report over flash records: how many units passed and failed
// and how many passed first time, why runs failed, how each socket and image
// fared, and how long a run takes. A library, so that the window can show the
// same figures as zkflash-cli --report.
//
// A unit is an adapter serial number; a record without one (or marked
// "own_unit") is a unit of its own. A unit passed when its latest attempt that
// was not cancelled succeeded and failed when that attempt failed; a unit with
// only cancelled runs is neither. It passed first time when its earliest such
// attempt succeeded. A cancelled run says nothing about the unit: it is
// counted as a run, but it is no failure and no attempt.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "flash/FlashRun.h"

namespace station {

using TimePoint = std::chrono::system_clock::time_point;

// "2026-12-07", "2026-12-07T14:00", "2026-12-07T14:00:00.250+01:00" (also
// "Z"): the instant it names; without an offset the time is local. Nothing
// for text that is not such a date.
std::optional<TimePoint> parseIsoTime(std::string_view text);

struct ReportFilter {
    std::optional<TimePoint> since;       // records started before it are left out
    std::optional<std::string> workOrder; // only the records of this work order
};

struct RunCounts {
    int runs = 0;
    int passed = 0; // succeeded
    int failed = 0; // ended in any outcome but success or cancelled
    int cancelled = 0;
};

struct SocketRuns {
    std::string socket; // the fixture's label, else the USB path; "-" for none
    RunCounts counts;
};

struct ImageRuns {
    std::string file;
    std::string sha256; // empty when the record had none (a file too large)
    RunCounts counts;
};

struct CauseCount {
    // The outcome; for a serial failure with its text, without the errno tail:
    // "serial failure: Error opening serial port /dev/ttyUSB3 - Permission denied".
    std::string cause;
    int count = 0;
};

struct Report {
    ReportFilter filter;
    int records = 0;    // flash records read and kept by the filter
    int unreadable = 0; // lines that are no flash record
    int unopened = 0;   // record files that could not be opened or read to their end

    int units = 0;
    int unitsPassed = 0;
    int unitsFailed = 0;
    int firstPass = 0;                     // units whose first attempt succeeded
    std::optional<double> firstPassYield;  // firstPass over the units passed or failed
    std::optional<double> unitsPerHour;    // units over the first start to the last end
    std::optional<TimePoint> firstStarted; // of the records kept
    std::optional<TimePoint> lastEnded;

    RunCounts runs;
    std::optional<double> medianSeconds; // ended - started of the runs kept
    std::optional<double> p95Seconds;    // interpolated between the nearest runs

    std::vector<CauseCount> failures; // most frequent first, then by name
    std::vector<SocketRuns> sockets;  // by name
    std::vector<ImageRuns> images;    // by file name, then hash
};

// One flash record as the report reads it: what it counts, and the record's
// own fields as text for the rows of a spreadsheet or a unit's history (a
// number as written, empty when absent, null or no string or number).
struct RecordRow {
    TimePoint started;
    TimePoint ended;
    FlashOutcome outcome = FlashOutcome::Success;
    std::string cause;  // a failure's, as CauseCount has it; empty for success and cancelled
    std::string unit;   // the adapter serial; empty for a unit of its own
    std::string socket; // the fixture's label, else the USB path; "-" for none
    bool ownUnit = false;
    std::string startedText, endedText, host, port, socketPath, socketLabel, adapter, adapterSerial,
        target, file, size, sha256, program, version, operatorName, workOrder, attempt,
        transferSeconds, wireBytes;
    std::string portOpened; // "true" or "false"; empty in records from before it was kept
};

// Reads the record files in order, one line at a time: plain or gzip-compressed
// (as logrotate leaves them, "flashes.jsonl.2.gz"), told apart by their first
// bytes. Each line that is no flash record (not JSON, not an object, no valid
// "started", "ended" or "outcome") and each file that cannot be opened or read
// to its end is counted and named in `problems` ("flashes.jsonl.2.gz:17: not a
// flash record (not JSON)"); the rest is still read. `each`, when given, gets
// every record the filter keeps, in the order read.
Report readReport(const std::vector<std::string>& files, const ReportFilter& filter,
                  std::vector<std::string>& problems,
                  const std::function<void(const RecordRow&)>& each = nullptr);

// The report for people: a few lines of figures, then the failures, sockets
// and images as tables; hashes shortened to 12 hex digits.
std::string reportText(const Report& report);

// The same figures as one object with stable keys; times as isoTime() writes
// them, figures that cannot be known (no runs) as null.
Json reportJson(const Report& report);

// A spreadsheet's rows (RFC 4180, UTF-8, each ending in CR LF): the header
// row and a record's row. The columns: started, ended, seconds, host, port,
// socket, socket_label, adapter, adapter_serial, own_unit, target, file, size,
// sha256, program, version, operator, work_order, attempt, outcome, cause,
// transfer_seconds, wire_bytes, port_opened; times as the record has them. A cell that a
// spreadsheet would run as a formula (beginning with "=", "+", "-", "@", a tab
// or a CR) gets a leading apostrophe, which keeps it text.
std::string csvHeader();
std::string csvRow(const RecordRow& row);

// Puts runs in the order they started; runs that started together stay in
// the order read.
void sortByStart(std::vector<RecordRow>& runs);

// One unit's runs (rows in the order to show them): a table for people, or
// one object {"unit", "since", "work_order", "runs": [...]} whose runs have
// the keys of the CSV columns.
std::string unitText(const std::string& unit, const ReportFilter& filter,
                     const std::vector<RecordRow>& runs);
Json unitJson(const std::string& unit, const ReportFilter& filter,
              const std::vector<RecordRow>& runs);

} // namespace station
