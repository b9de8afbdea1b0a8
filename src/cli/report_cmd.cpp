// zkflash-cli --report: the production report over flash records, as text or
// as one JSON object; the records as CSV rows; one unit's runs.
#include "cli/cli.h"
#include "flash/FlashRecord.h"
#include "station/Report.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace cli {

namespace {

// Writes the text whole: a record's text may hold a NUL.
void write(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
}

} // namespace

int runReport(const Options& options) {
    std::vector<std::string> files = options.records;
    if (files.empty()) {
        const std::string path = defaultRecordPath();
        if (path.empty()) {
            std::fprintf(stderr,
                         "%s: no record file (neither XDG_STATE_HOME nor a home "
                         "directory is known)\n",
                         kProgram);
            return kExitUsage;
        }
        files.push_back(path);
    }
    station::ReportFilter filter;
    if (!options.since.empty()) {
        filter.since = station::parseIsoTime(options.since);
    }
    if (!options.workOrder.empty()) {
        filter.workOrder = options.workOrder;
    }
    // The records stream past: only a unit's few runs are kept, to be shown
    // in the order they started.
    std::vector<station::RecordRow> runs;
    std::function<void(const station::RecordRow&)> each;
    if (!options.unit.empty()) {
        each = [&runs, &options](const station::RecordRow& row) {
            if (row.unit == options.unit) {
                runs.push_back(row);
            }
        };
    } else if (options.csv) {
        write(station::csvHeader());
        each = [](const station::RecordRow& row) { write(station::csvRow(row)); };
    }
    std::vector<std::string> problems;
    const station::Report report = station::readReport(files, filter, problems, each);
    for (const auto& problem : problems) {
        std::fprintf(stderr, "%s: %s\n", kProgram, problem.c_str());
    }
    // A report missing a file's records would pass for the whole one.
    if (report.unopened > 0) {
        return kExitUsage;
    }
    if (!options.unit.empty()) {
        station::sortByStart(runs);
        std::string text;
        if (options.csv) {
            text = station::csvHeader();
            for (const auto& run : runs) {
                text += station::csvRow(run);
            }
        } else {
            text = options.json ? jsonLine(station::unitJson(options.unit, filter, runs))
                                : station::unitText(options.unit, filter, runs);
        }
        write(text);
    } else if (!options.csv) {
        write(options.json ? jsonLine(station::reportJson(report)) : station::reportText(report));
    }
    // Rows lost on a full disk must not pass for a whole report.
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
        std::fprintf(stderr, "%s: standard output: %s\n", kProgram, std::strerror(errno));
        return kExitUsage;
    }
    return kExitOk;
}

} // namespace cli
